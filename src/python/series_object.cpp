#include "python/series_object.hpp"

namespace torvex::py {

void set_series_index_error(long long offset, Py_ssize_t length) noexcept {
  if (offset > 0) {
    PyErr_Format(PyExc_IndexError,
                 "series index %lld is ahead of the current bar: use 0 or a negative offset",
                 offset);
  } else if (length == 0) {
    PyErr_Format(PyExc_IndexError, "series index %lld: the series has no bars yet", offset);
  } else {
    PyErr_Format(PyExc_IndexError,
                 "series index %lld reaches before the first bar: %zd bar%s visible", offset,
                 length, length == 1 ? " is" : "s are");
  }
}

SeriesObject* SeriesTypeCache::lookup(PyObject* obj) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed; sys.modules of this interpreter
  Ref name = Ref::steal(PyUnicode_FromString(kSeriesModuleName));
  Ref module;
  if (PyDict_CheckExact(modules)) {
    module = Ref::borrow(PyDict_GetItemWithError(modules, name.get()));
    if (!module && PyErr_Occurred()) throw PyError{};
  } else {
    module = Ref::steal_or_null(PyObject_GetItem(modules, name.get()));
    if (!module) {
      if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError{};
      PyErr_Clear();
    }
  }
  // Only a module built from our definition has our state; Python code cannot make one.
  if (!module || !PyModule_Check(module.get())) return nullptr;
  PyModuleDef* def = PyModule_GetDef(module.get());
  if (def == nullptr || def->m_name == nullptr ||
      std::strcmp(def->m_name, kSeriesModuleName) != 0 ||
      def->m_size != SeriesModuleHolder::state_size)
    return nullptr;
  const SeriesModuleState* state = SeriesModuleHolder::find(module.get());
  if (state == nullptr || state->series_type.get() != reinterpret_cast<PyObject*>(Py_TYPE(obj)))
    return nullptr;
  type_ = state->series_type;
  return reinterpret_cast<SeriesObject*>(obj);
}

}  // namespace torvex::py
