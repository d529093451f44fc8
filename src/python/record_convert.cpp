#include "python/record_convert.hpp"

#include <limits>

namespace torvex::py::record {

Ref to_integer(PyObject* value) {
  if (PyLong_Check(value)) return Ref::borrow(value);
  const PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
  // PyNumber_Long would also parse strings and buffers; a record field takes numbers only.
  if (number == nullptr || (number->nb_int == nullptr && number->nb_index == nullptr)) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    throw PyError{};
  }
  return Ref::steal(PyNumber_Long(value));
}

int32_t to_int32(PyObject* value) {
  const Ref integer = to_integer(value);
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw PyError{};
  if (overflow != 0 || result < std::numeric_limits<int32_t>::min() ||
      result > std::numeric_limits<int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    throw PyError{};
  }
  return static_cast<int32_t>(result);
}

void check_record(PyObject* value, PyTypeObject* type) {
  if (value == Py_None || PyObject_TypeCheck(value, type)) return;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name,
               type->tp_name);
  throw PyError{};
}

}  // namespace torvex::py::record
