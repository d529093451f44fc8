#pragma once
// Support and resistance around a price: the nearest standing lines below and above it.
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>

#include "core/native_state.hpp"

namespace torvex::core {

struct NearestLevel {
  double level;
  int64_t pivots;  // the line's pivot count
};

struct NearestLevels {
  std::optional<NearestLevel> support, resistance;
};

// Among the unviolated lines with a level: the highest at or below `price` (support) and the
// lowest above it (resistance); the first line in order wins a tie, and a NaN price has none.
inline NearestLevels nearest_levels(std::span<const Kerd> lines, double price) {
  NearestLevels out;
  if (std::isnan(price)) return out;
  for (const Kerd& line : lines) {
    const double level = line.kerd_value;
    if (line.violated || std::isnan(level)) continue;
    const NearestLevel found{level, static_cast<int64_t>(line.snib_values.size())};
    if (level <= price) {
      if (!out.support || level > out.support->level) out.support = found;
    } else if (!out.resistance || level < out.resistance->level) {
      out.resistance = found;
    }
  }
  return out;
}

}  // namespace torvex::core
