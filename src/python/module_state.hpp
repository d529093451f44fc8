#pragma once
// Per-module state held as one C++ object. The module's state is a pointer to a T that the
// module's exec function creates and the module's m_free deletes; until exec has run the
// pointer is null. T keeps its Python references as members and reports them through
// `int traverse(visitproc, void*) const` and `void clear()`, which m_traverse and m_clear
// forward to.
#include <algorithm>
#include <utility>

#include "python/module_alias.hpp"
#include "python/ref.hpp"

namespace torvex::py {

template <class T>
class ModuleHolder {
 public:
  // The module definition's m_size.
  static constexpr Py_ssize_t state_size = sizeof(T*);

  // The module's object; only after exec has created it.
  static T& of(PyObject* module) { return *slot(module); }

  // The module's object, or null before exec has run: for a module that may be any module
  // built from this definition.
  static T* find(PyObject* module) {
    T** state = static_cast<T**>(PyModule_GetState(module));
    return state != nullptr ? *state : nullptr;
  }

  // Creates the module's object; the first step of exec.
  static T& create(PyObject* module) {
    T*& object = slot(module);
    object = new T();
    return *object;
  }

  static int traverse(PyObject* module, visitproc visit, void* arg) {
    const T* object = find(module);
    return object != nullptr ? object->traverse(visit, arg) : 0;
  }

  static int clear(PyObject* module) {
    if (T* object = find(module)) object->clear();
    return 0;
  }

  static void free(void* module) {
    T** state = static_cast<T**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (state != nullptr) delete std::exchange(*state, nullptr);
  }

  // The definition of a module with this state, run by `exec`.
  template <int (*exec)(PyObject*)>
  static constexpr PyModuleDef definition(const char* name, const char* doc,
                                          PyMethodDef* functions) {
    return {PyModuleDef_HEAD_INIT, name,     doc,   sizeof(T*), functions,
            Slots<exec>::slots,    traverse, clear, free};
  }

 private:
  static T*& slot(PyObject* module) { return *static_cast<T**>(PyModule_GetState(module)); }

  // One module object per definition whichever name imports it (module_alias.hpp).
  template <int (*exec)(PyObject*)>
  struct Slots {
    static int exec_once(PyObject* module) {
      int adopted = module_alias::readopt(module);
      if (adopted != 0) return std::min(adopted, 0);
      return exec(module) < 0 ? -1 : module_alias::settle(module);
    }
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(&module_alias::create)},
        {Py_mod_exec, reinterpret_cast<void*>(&exec_once)},
        {0, nullptr},
    };
  };
};

}  // namespace torvex::py
