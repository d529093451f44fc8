#pragma once
// Conversions of host values at the point of use, shared by the records, the series and the
// Python object model.
#include <cstdint>

#include "python/ref.hpp"

namespace torvex::py {

int64_t to_index(PyObject* value);  // an int, an object with __index__, or an integral float
double to_number(PyObject* value);  // float(value)
bool to_flag(PyObject* value);      // the truth value
Ref from_index(int64_t value);
Ref from_number(double value);
Ref from_flag(bool value);
Ref from_time(double value);  // an integer when the value is whole, as host times are

}  // namespace torvex::py
