#include "python/host_value.hpp"

#include <climits>
#include <cmath>

namespace torvex::py {

namespace {

constexpr double kTwo63 = 9223372036854775808.0;

}  // namespace

int64_t to_index(PyObject* value) {
  if (PyFloat_Check(value)) {
    const double d = PyFloat_AS_DOUBLE(value);
    if (std::isfinite(d) && d == std::floor(d) && d >= -kTwo63 && d < kTwo63)
      return static_cast<int64_t>(d);
    // Not a whole number: fall through to the integer protocol's own TypeError.
  }
  Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
  const long long result = PyLong_AsLongLong(index.get());
  if (result == -1 && PyErr_Occurred()) throw PyError{};
  return result;
}

int64_t to_saturated_index(PyObject* value) {
  Ref index = PyLong_Check(value) ? Ref::borrow(value) : Ref::steal(PyNumber_Index(value));
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
  if (result == -1 && PyErr_Occurred()) throw PyError{};
  return result;
}

double to_number(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) throw PyError{};
  return result;
}

bool to_flag(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False || value == Py_None) return false;
  return check_status(PyObject_IsTrue(value)) != 0;
}

Ref from_index(int64_t value) {
  return Ref::steal(PyLong_FromLongLong(value));
}

Ref from_number(double value) {
  return Ref::steal(PyFloat_FromDouble(value));
}

Ref from_flag(bool value) {
  return Ref::borrow(bool_object(value));
}

Ref from_time(double value) {
  if (std::isfinite(value) && value == std::floor(value) && value >= -kTwo63 && value < kTwo63)
    return from_index(static_cast<int64_t>(value));
  return from_number(value);
}

}  // namespace torvex::py
