#pragma once
// Conversions of host values at the point of use, shared by the records, the series and the
// Python object model.
#include <cstdint>

#include "core/model.hpp"

#include "python/ref.hpp"

namespace torvex::py {

int64_t to_index(PyObject* value);  // an int, an object with __index__, or an integral float
// An int or an object with __index__, where one past 64 bits saturates: a bound or a list
// index that far out lies outside every range as the saturated one does.
int64_t to_saturated_index(PyObject* value);
double to_number(PyObject* value);  // float(value)
bool to_flag(PyObject* value);      // the truth value
Ref from_index(int64_t value);
Ref from_number(double value);
Ref from_flag(bool value);
// True or False borrowed, for argument lists: both live as long as the interpreter.
inline PyObject* bool_object(bool value) {
  return value ? Py_True : Py_False;
}
Ref from_time(double value);  // an integer when the value is whole, as host times are

// The same by the kind a table gives a line attribute, window field or setting.
template <core::ValueKind K>
typename core::value_of<K>::type to_value(PyObject* value) {
  if constexpr (K == core::ValueKind::flag)
    return to_flag(value);
  else if constexpr (K == core::ValueKind::index)
    return to_index(value);
  else
    return to_number(value);
}
template <core::SettingKind K>
typename core::setting_value_of<K>::type to_setting(PyObject* value) {
  return to_value<core::value_kind(K)>(value);
}
template <core::ValueKind K, class T>
Ref from_value(T value) {
  if constexpr (K == core::ValueKind::index)
    return from_index(value);
  else if constexpr (K == core::ValueKind::flag)
    return from_flag(value);
  else if constexpr (K == core::ValueKind::time)
    return from_time(value);
  else
    return from_number(value);
}

}  // namespace torvex::py
