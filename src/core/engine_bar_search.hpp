#pragma once
// Searches over contiguous bar arrays for the native model: the first bar whose price extremes
// lie strictly on both sides of a level. Extremes are taken as Python's min and max take them
// (pairwise, in close, open, high, low order), so NaN prices give the same answer as the
// bar-by-bar tests; two bars, or four where the processor can, are tested per vector step.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "core/model.hpp"
#include "core/pymath.hpp"

namespace torvex::core {

namespace bar_search_detail {

typedef double pair_of_doubles __attribute__((vector_size(16)));
typedef int64_t pair_of_masks __attribute__((vector_size(16)));

// Sets the mask lanes where the bars at c, o, h, l on (one per lane) straddle `level`. Vectors
// go by reference: a 256-bit one passed by value would take an ABI of its own.
template <class Doubles, class Masks>
[[gnu::always_inline]] inline void straddle_lanes(const double* c, const double* o, const double* h,
                                                  const double* l, const Doubles& level,
                                                  Masks& mask) {
  Doubles close, open, high, low;
  std::memcpy(&close, c, sizeof close);
  std::memcpy(&open, o, sizeof open);
  std::memcpy(&high, h, sizeof high);
  std::memcpy(&low, l, sizeof low);
  Doubles lowest = close;
  lowest = open < lowest ? open : lowest;
  lowest = high < lowest ? high : lowest;
  lowest = low < lowest ? low : lowest;
  Doubles highest = close;
  highest = open > highest ? open : highest;
  highest = high > highest ? high : highest;
  highest = low > highest ? low : highest;
  mask = (lowest < level) & (highest > level);
}

#if defined(__x86_64__) && defined(__GNUC__)
// Where the processor has them, four bars per vector step: the same tests, lane by lane.
typedef double quad_of_doubles __attribute__((vector_size(32)));
typedef int64_t quad_of_masks __attribute__((vector_size(32)));

// Visits the straddling bars of the runs of eight from `i` on, four bars per vector step; `i`
// ends at the first bar not examined. False when visit stopped the walk.
template <class Visit>
[[gnu::target("avx2")]] bool visit_runs_of_eight(const double* close, const double* open,
                                                 const double* high, const double* low,
                                                 int64_t count, double level, Visit& visit,
                                                 int64_t& i) {
  const quad_of_doubles levels = {level, level, level, level};
  for (; i + 8 <= count; i += 8) {
    quad_of_masks lanes[2];
    straddle_lanes(close + i, open + i, high + i, low + i, levels, lanes[0]);
    straddle_lanes(close + i + 4, open + i + 4, high + i + 4, low + i + 4, levels, lanes[1]);
    const quad_of_masks hits = lanes[0] | lanes[1];
    if ((hits[0] | hits[1] | hits[2] | hits[3]) == 0) continue;
    for (int64_t k = 0; k < 8; ++k)
      if (lanes[k / 4][k % 4] != 0 && !visit(i + k)) return false;
  }
  return true;
}
#endif

}  // namespace bar_search_detail

// Calls visit(i) for each of bars 0 .. count - 1 that straddles `level`, in order, while it
// returns true.
template <class Visit>
void for_each_straddling_bar(const double* close, const double* open, const double* high,
                             const double* low, int64_t count, double level, Visit&& visit) {
  int64_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  if (count >= 16 && __builtin_cpu_supports("avx2") &&
      !bar_search_detail::visit_runs_of_eight(close, open, high, low, count, level, visit, i))
    return;
#endif
  using namespace bar_search_detail;
  const pair_of_doubles levels = {level, level};
  for (; i + 4 <= count; i += 4) {
    pair_of_masks lanes[2];
    straddle_lanes(close + i, open + i, high + i, low + i, levels, lanes[0]);
    straddle_lanes(close + i + 2, open + i + 2, high + i + 2, low + i + 2, levels, lanes[1]);
    if ((lanes[0][0] | lanes[0][1] | lanes[1][0] | lanes[1][1]) == 0) continue;
    for (int64_t k = 0; k < 4; ++k)
      if (lanes[k / 2][k % 2] != 0 && !visit(i + k)) return;
  }
  for (; i < count; ++i) {
    if (py_min(close[i], open[i], high[i], low[i]) < level &&
        py_max(close[i], open[i], high[i], low[i]) > level && !visit(i))
      return;
  }
}

// Index of the first of bars 0 .. count - 1 that straddles `level`, or -1.
inline int64_t first_straddling_bar(const double* close, const double* open, const double* high,
                                    const double* low, int64_t count, double level) {
  int64_t found = -1;
  for_each_straddling_bar(close, open, high, low, count, level, [&](int64_t i) {
    found = i;
    return false;
  });
  return found;
}

// The oldest bar from offset -from_y up to the current bar (offset 0) of four stored series whose
// extremes lie strictly on both sides of `level`, as its y; -1 when none does. The caller has
// seen that every series reaches offset -from_y.
inline int64_t oldest_straddle(const SeriesView& close, const SeriesView& open,
                               const SeriesView& high, const SeriesView& low, double level,
                               int64_t from_y) {
  const int64_t count = from_y + 1;
  const auto oldest = [count](const SeriesView& s) { return s.data + (s.length - count); };
  const int64_t found =
      first_straddling_bar(oldest(close), oldest(open), oldest(high), oldest(low), count, level);
  return found < 0 ? -1 : from_y - found;
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
