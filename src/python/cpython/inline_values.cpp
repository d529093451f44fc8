#include "python/cpython/inline_values.hpp"

#include <cstdint>

#include "python/cpython/type_cache.hpp"
#include "python/ref.hpp"

namespace torvex::py::cpython {

#ifdef TORVEX_CPYTHON_313

namespace {

// Whether the dictionary's values live in an object: 3.13 lays out a split dictionary's values
// as Include/internal/pycore_dict.h of the interpreter shows.
struct SplitValues {
  uint8_t capacity, size, embedded, valid;
};
bool embedded_values(PyObject* dict) {
  const auto* values =
      reinterpret_cast<const SplitValues*>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
  return values != nullptr && values->embedded != 0;
}

// The setter of a plain class's __dict__: the interpreter's own, shared by every class whose
// instances have a dictionary of their own making. Null where it cannot be found.
setter find_plain_dict_setter() {
  try {
    Ref name = intern("__dict__");
    Ref probe = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                                 "probe", PyDict_New()));
    PyObject* descr = mro_lookup(reinterpret_cast<PyTypeObject*>(probe.get()), name.get());
    if (descr == nullptr || Py_TYPE(descr) != &PyGetSetDescr_Type) return nullptr;
    return reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset->set;
  } catch (const PyError&) {
    PyErr_Clear();
    return nullptr;
  }
}

}  // namespace

bool writes_go_through_dict(PyObject* obj, PyObject* dict) {
  static const setter plain_dict_setter = find_plain_dict_setter();
  static PyObject* const dict_name = intern("__dict__").release();  // kept for the process
  PyTypeObject* type = Py_TYPE(obj);
  if ((type->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0) {
    if (plain_dict_setter == nullptr) return false;
    PyObject* descr;
    try {
      descr = mro_lookup(type, dict_name);
    } catch (const PyError&) {
      PyErr_Clear();
      return false;
    }
    if (descr == nullptr || Py_TYPE(descr) != &PyGetSetDescr_Type) return false;
    PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
    if (def->set != plain_dict_setter || def->set(obj, dict, def->closure) < 0) {
      PyErr_Clear();
      return false;
    }
  }
  // Still the values of another object that shares the dictionary: its writes go unseen too.
  return !embedded_values(dict);
}

#else

bool writes_go_through_dict(PyObject* obj, [[maybe_unused]] PyObject* dict) {
#ifdef Py_TPFLAGS_INLINE_VALUES
  return (Py_TYPE(obj)->tp_flags & Py_TPFLAGS_INLINE_VALUES) == 0;
#else
  static_cast<void>(obj);
  return true;
#endif
}

#endif

}  // namespace torvex::py::cpython
