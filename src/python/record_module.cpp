// Module set-up and per-module state of the record modules.
#include <utility>

#include "python/record.hpp"

namespace torvex::py::record {

namespace {

void drop(PyObject*& slot) noexcept {
  Ref::steal_or_null(std::exchange(slot, nullptr));
}

void drop(PyTypeObject*& slot) noexcept {
  Ref::steal_or_null(reinterpret_cast<PyObject*>(std::exchange(slot, nullptr)));
}

}  // namespace

ModuleState& module_state(PyObject* module) {
  if (PyModule_GetState(module) == nullptr) throw PyError{};
  return ModuleHolder::of(module);
}

ModuleState& module_state(PyObject* self, PyModuleDef* module) {
  PyObject* object = PyType_GetModuleByDef(Py_TYPE(self), module);
  if (object == nullptr) throw PyError{};
  return module_state(object);
}

int detail::exec_module(const RecordModule& module, PyObject* object,
                        std::span<const RecordClass* const> classes,
                        std::span<PyType_Spec* const> specs) {
  return guarded_status([&] {
    if (classes.size() > max_classes || module.names.size() > max_names) {
      PyErr_SetString(PyExc_SystemError, "record module too large for its state");
      throw PyError{};
    }
    ModuleState& state = ModuleHolder::create(object);
    for (std::size_t i = 0; i < classes.size(); ++i) {
      const RecordClass& cls = *classes[i];
      if (cls.index != static_cast<int>(i)) {
        PyErr_Format(PyExc_SystemError, "%s listed out of its index order", cls.name);
        throw PyError{};
      }
      Ref type = Ref::steal(PyType_FromModuleAndSpec(object, specs[i], nullptr));
      check_status(PyModule_AddType(object, reinterpret_cast<PyTypeObject*>(type.get())));
      state.types[i] = reinterpret_cast<PyTypeObject*>(type.release());
      state.classes[i] = &cls;
      state.reconstructors[i] =
          Ref::steal(PyObject_GetAttrString(object, cls.reconstructor)).release();
    }
    for (std::size_t i = 0; i < module.names.size(); ++i) {
      state.names[i] = intern(module.names[i]).release();
    }
    state.dict_name = intern("__dict__").release();
    state.update_name = intern("update").release();
  });
}

int ModuleState::traverse(visitproc visit, void* arg) const {
  for (PyTypeObject* type : types) Py_VISIT(type);
  for (PyObject* function : reconstructors) Py_VISIT(function);
  return 0;
}

void ModuleState::clear() noexcept {
  for (PyTypeObject*& type : types) drop(type);
  for (PyObject*& function : reconstructors) drop(function);
  for (PyObject*& name : names) drop(name);
  drop(dict_name);
  drop(update_name);
}

}  // namespace torvex::py::record
