#pragma once
// Integer arithmetic on bar indices and counts as the host's integers behave: sums, differences
// and comparisons are exact for every 64-bit operand, and a result that must be stored back
// into a 64-bit slot fails instead of wrapping.
#include <cstdint>
#include <limits>

#include "core/error.hpp"

namespace torvex::core {

__extension__ typedef __int128 wide_int;

inline int64_t narrow_index(wide_int value) {
  if (value < std::numeric_limits<int64_t>::min() || value > std::numeric_limits<int64_t>::max())
    throw Error(ErrorKind::overflow, "Python int too large to convert to C long");
  return static_cast<int64_t>(value);
}

inline wide_int wide(int64_t value) {
  return value;
}

}  // namespace torvex::core
