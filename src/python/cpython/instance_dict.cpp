#include "python/cpython/instance_dict.hpp"

#include "python/ref.hpp"

namespace torvex::py::cpython {

PyObject* instance_dict(PyObject* obj) {
#ifdef TORVEX_CPYTHON_PRIVATE
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot != nullptr ? *slot : nullptr;
#else
  PyTypeObject* type = Py_TYPE(obj);
  bool has_dict = type->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
  has_dict = has_dict || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0;
#endif
  if (!has_dict) return nullptr;
  // obj holds the dictionary as long as no one replaces it: handed over borrowed, as the
  // private path's is.
  Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
  return dict.get();
#endif
}

}  // namespace torvex::py::cpython
