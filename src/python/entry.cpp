#include "python/entry.hpp"

namespace torvex::py {

void raise_core_error(const core::Error& error) noexcept {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case core::ErrorKind::type:
      type = PyExc_TypeError;
      break;
    case core::ErrorKind::value:
      type = PyExc_ValueError;
      break;
    case core::ErrorKind::index:
      type = PyExc_IndexError;
      break;
    case core::ErrorKind::overflow:
      type = PyExc_OverflowError;
      break;
    case core::ErrorKind::zero_division:
      type = PyExc_ZeroDivisionError;
      break;
    case core::ErrorKind::attribute:
      type = PyExc_AttributeError;
      break;
    case core::ErrorKind::not_implemented:
      type = PyExc_NotImplementedError;
      break;
  }
  PyErr_SetString(type, error.what());
}

void raise_current_exception() {
  try {
    throw;
  } catch (const core::Error& error) {
    raise_core_error(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  }
}

}  // namespace torvex::py
