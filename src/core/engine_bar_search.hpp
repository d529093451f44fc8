#pragma once
// Searches over contiguous bar arrays for the native model: the first bar whose price extremes
// lie strictly on both sides of a level. Extremes are taken as Python's min and max take them
// (pairwise, in close, open, high, low order), so NaN prices give the same answer as the
// bar-by-bar tests; two bars are tested per vector step.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "core/pymath.hpp"

namespace torvex::core {

namespace bar_search_detail {

typedef double pair_of_doubles __attribute__((vector_size(16)));
typedef int64_t pair_of_masks __attribute__((vector_size(16)));

inline pair_of_doubles load_pair(const double* p) {
  pair_of_doubles v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Mask lanes set where bars i and i + 1 straddle `level`.
inline pair_of_masks straddle_pair(const double* c, const double* o, const double* h,
                                   const double* l, pair_of_doubles level) {
  const pair_of_doubles close = load_pair(c), open = load_pair(o), high = load_pair(h),
                        low = load_pair(l);
  pair_of_doubles lowest = close;
  lowest = open < lowest ? open : lowest;
  lowest = high < lowest ? high : lowest;
  lowest = low < lowest ? low : lowest;
  pair_of_doubles highest = close;
  highest = open > highest ? open : highest;
  highest = high > highest ? high : highest;
  highest = low > highest ? low : highest;
  return (lowest < level) & (highest > level);
}

}  // namespace bar_search_detail

// Index of the first of bars 0 .. count - 1 that straddles `level`, or -1.
inline int64_t first_straddling_bar(const double* close, const double* open, const double* high,
                                    const double* low, int64_t count, double level) {
  using namespace bar_search_detail;
  const pair_of_doubles levels = {level, level};
  int64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const pair_of_masks first = straddle_pair(close + i, open + i, high + i, low + i, levels);
    const pair_of_masks second =
        straddle_pair(close + i + 2, open + i + 2, high + i + 2, low + i + 2, levels);
    if ((first[0] | first[1] | second[0] | second[1]) != 0) break;
  }
  for (; i < count; ++i) {
    if (py_min(close[i], open[i], high[i], low[i]) < level &&
        py_max(close[i], open[i], high[i], low[i]) > level)
      return i;
  }
  return -1;
}

// Bar extremes of fixed arrays, kept per bar and per block of bars, so that a search skips the
// blocks lying wholly on one side of a level. Only for bars that never change.
class BarExtremesIndex {
 public:
  static constexpr int64_t kBlock = 16;

  BarExtremesIndex(std::span<const double> close, std::span<const double> open,
                   std::span<const double> high, std::span<const double> low)
      : close_(close.data()), open_(open.data()), high_(high.data()), low_(low.data()) {
    const auto count = static_cast<int64_t>(close.size());
    lowest_.resize(close.size());
    highest_.resize(close.size());
    const int64_t blocks = (count + kBlock - 1) / kBlock;
    block_lowest_.assign(static_cast<std::size_t>(blocks), kInf);
    block_highest_.assign(static_cast<std::size_t>(blocks), -kInf);
    for (int64_t i = 0; i < count; ++i) {
      const double lowest = py_min(close[i], open[i], high[i], low[i]);
      const double highest = py_max(close[i], open[i], high[i], low[i]);
      lowest_[i] = lowest;
      highest_[i] = highest;
      // A NaN extreme never passes the straddle test, so it cannot keep a block from a skip.
      double& block_lowest = block_lowest_[i / kBlock];
      double& block_highest = block_highest_[i / kBlock];
      if (lowest < block_lowest) block_lowest = lowest;
      if (highest > block_highest) block_highest = highest;
    }
  }

  // Whether the four arrays are the ones indexed.
  bool covers(const double* close, const double* open, const double* high,
              const double* low) const {
    return close == close_ && open == open_ && high == high_ && low == low_;
  }

  // Index of the first bar in [begin, end) that straddles `level`, or -1.
  int64_t first_straddling_bar(int64_t begin, int64_t end, double level) const {
    int64_t i = begin;
    while (i < end) {
      const int64_t block = i / kBlock;
      const int64_t block_end = std::min((block + 1) * kBlock, end);
      // A whole block below or above the level (or a NaN level) holds no straddling bar.
      if (block_lowest_[block] < level && block_highest_[block] > level) {
        for (int64_t j = i; j < block_end; ++j)
          if (lowest_[j] < level && highest_[j] > level) return j;
      }
      i = block_end;
    }
    return -1;
  }

 private:
  static constexpr double kInf = std::numeric_limits<double>::infinity();
  const double *close_, *open_, *high_, *low_;
  std::vector<double> lowest_, highest_, block_lowest_, block_highest_;
};

}  // namespace torvex::core
