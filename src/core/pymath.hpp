#pragma once
// Python's numeric semantics where the behaviour depends on them: min/max over values that may
// be NaN (order-dependent, as Python compares pairwise), round-half-even to an integer, and the
// conversions into 32-bit record fields.
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/error.hpp"

namespace torvex::core {

// min(a, b, ...) as Python computes it: keep the first, replace it when a later one is smaller.
inline double py_min(double first) {
  return first;
}
template <class... Rest>
double py_min(double first, double second, Rest... rest) {
  return py_min(second < first ? second : first, rest...);
}

// max(a, b, ...) as Python computes it: replace the kept value when a later one is larger.
inline double py_max(double first) {
  return first;
}
template <class... Rest>
double py_max(double first, double second, Rest... rest) {
  return py_max(second > first ? second : first, rest...);
}

// round(x) to the nearest integer, ties to even, failing as Python does on NaN and infinity.
inline double py_round_half_even(double x) {
  if (std::isnan(x)) throw Error(ErrorKind::value, "cannot convert float NaN to integer");
  if (std::isinf(x)) throw Error(ErrorKind::overflow, "cannot convert float infinity to integer");
  // The default rounding mode rounds ties to even; adding zero turns -0.0 into 0.0, as an
  // integer has no sign of its own.
  return std::nearbyint(x) + 0.0;
}

inline constexpr const char* kInt32Overflow = "value too large to convert to int";

// An integer entering a signed 32-bit record field.
inline int32_t to_int32(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
    throw Error(ErrorKind::overflow, kInt32Overflow);
  return static_cast<int32_t>(value);
}

// A float entering a signed 32-bit record field: truncated toward zero, as int() does.
inline int32_t to_int32(double value) {
  if (std::isnan(value)) throw Error(ErrorKind::value, "cannot convert float NaN to integer");
  if (std::isinf(value))
    throw Error(ErrorKind::overflow, "cannot convert float infinity to integer");
  double t = std::trunc(value);
  if (t < -2147483648.0 || t > 2147483647.0) throw Error(ErrorKind::overflow, kInt32Overflow);
  return static_cast<int32_t>(t);
}

// Python's `a / b` on floats.
inline double py_div(double a, double b) {
  if (b == 0.0) throw Error(ErrorKind::zero_division, "float division by zero");
  return a / b;
}

// A price rounded to a whole multiple of the tick, halves to the even multiple.
inline double round_to_mintick(double price, double mintick) {
  return py_round_half_even(py_div(price, mintick)) * mintick;
}

}  // namespace torvex::core
