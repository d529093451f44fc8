#pragma once
// The conversions a value goes through on its way into a record field.
#include <cstdint>

#include "python/ref.hpp"

namespace torvex::py::record {

// The value as a Python int: integers as they are, other objects through their integer
// conversion (__int__, else __index__), so floats truncate toward zero. TypeError "an integer
// is required" when there is none; errors raised by the conversion propagate.
Ref to_integer(PyObject* value);

// A signed 32-bit field: OverflowError "value too large to convert to int" outside its range.
int32_t to_int32(PyObject* value);

// A double field takes any real number and a boolean field the truth value of any object,
// converted as every host value is: py::to_number and py::to_flag (python/host_value.hpp).

// A reference to a record class: None or an instance of type (or of a derived class), else
// TypeError "Cannot convert <value's type> to <type>".
void check_record(PyObject* value, PyTypeObject* type);

}  // namespace torvex::py::record
