#pragma once
// Searches over contiguous bar arrays for the native model: the first bar whose price extremes
// lie strictly on both sides of a level. Extremes are taken as Python's min and max take them
// (pairwise, in close, open, high, low order), so NaN prices give the same answer as the
// bar-by-bar tests; two bars are tested per vector step.
#include <bit>
#include <cstdint>
#include <cstring>

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

}  // namespace torvex::core
