#include "python/cpython/type_cache.hpp"

#include "python/ref.hpp"

namespace torvex::py::cpython {

PyObject* mro_lookup(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    // Static built-in types keep their dictionary elsewhere since 3.12.
    Ref dict = Ref::steal_or_null(PyType_GetDict(base));
#else
    Ref dict = Ref::borrow(base->tp_dict);
#endif
    if (!dict) continue;
    // Borrowed from a dictionary the class keeps.
    PyObject* found = PyDict_GetItemWithError(dict.get(), name);
    if (found != nullptr) return found;
    if (PyErr_Occurred()) throw PyError{};
  }
  return nullptr;
}

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#ifdef TORVEX_CPYTHON_PRIVATE
  return _PyType_Lookup(type, name);
#else
  return mro_lookup(type, name);
#endif
}

unsigned int type_version([[maybe_unused]] PyTypeObject* type) noexcept {
#if defined(TORVEX_CPYTHON_311) || defined(TORVEX_CPYTHON_312)
  if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) return 0;
  return type->tp_version_tag;
#elif defined(TORVEX_CPYTHON_313)
  return type->tp_version_tag;  // from 3.13 on any tag but 0 is current
#else
  return 0;
#endif
}

unsigned int tagged_version(PyTypeObject* type, [[maybe_unused]] PyObject* name) {
#ifdef TORVEX_CPYTHON_PRIVATE
  if (type_version(type) == 0) _PyType_Lookup(type, name);
#endif
  return type_version(type);
}

}  // namespace torvex::py::cpython
