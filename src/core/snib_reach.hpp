#pragma once
// Which processed pivots a rebuild can still use, where its lines are pruned on the same bar.
//
// In draw-from-recent mode on the data's last bar (every bar of the live view), update's
// rebuild is followed at once by sort-and-filter, which keeps only the lines whose end (the bar
// of the pivot that started them; backward merges move starts only) is at least
// bar_index - bar_count_to_snib. A processed pivot reaches what stays only through a line that
// stays: its own, or one it joins, and a join passes the length test only when the joined
// line's end lies at most kerd_length_threshold bars after the pivot. A pivot that can do
// neither changes no line that stays, whatever it merges into, and neither does any pivot the
// rebuild takes after it that can do neither; and the rebuild takes the processed pivots
// newest first. So a leading run of such pivots can be left out of the rebuild, and, as the
// bar only grows, out of every later one.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/engine_arith.hpp"
#include "core/records.hpp"

namespace torvex::core {

// Whether a pivot at `pivot_bar` can start or join a line that the pruning on `bar_index`
// keeps. Once false it stays false on every later bar with the same two settings.
inline bool snib_reaches_kept_lines(int64_t pivot_bar, int64_t bar_index, int64_t bar_count_to_snib,
                                    double kerd_length_threshold) {
  if (!(wide(pivot_bar) + bar_count_to_snib < bar_index)) return true;  // its own line stays
  // The length test of a join into the kept line with the earliest end: any later end makes
  // the line longer still.
  const wide_int earliest_end = wide(bar_index) - bar_count_to_snib;
  return static_cast<double>(earliest_end - pivot_bar) <= kerd_length_threshold;
}

// The leading processed pivots that reach no kept line on the bar, found from where the last
// call on the same list left off.
class SnibReach {
 public:
  std::size_t unreachable(const std::vector<Snib>& snibs, int64_t bar_index,
                          int64_t bar_count_to_snib, double kerd_length_threshold) {
    // Start over where the list may have changed beneath the leading run, the bar went back or
    // a setting changed.
    if (first_ > snibs.size() || bar_index < bar_ || bar_count_to_snib != bar_count_to_snib_ ||
        !same(kerd_length_threshold, kerd_length_threshold_))
      first_ = 0;
    bar_ = bar_index;
    bar_count_to_snib_ = bar_count_to_snib;
    kerd_length_threshold_ = kerd_length_threshold;
    while (first_ < snibs.size() &&
           !snib_reaches_kept_lines(snibs[first_].bar_index_at_pivot, bar_index, bar_count_to_snib,
                                    kerd_length_threshold))
      ++first_;
    return first_;
  }
  // The list lost its first `count` pivots.
  void dropped(std::size_t count) { first_ = count <= first_ ? first_ - count : 0; }

 private:
  static bool same(double a, double b) { return a == b || (a != a && b != b); }
  std::size_t first_ = 0;
  int64_t bar_ = 0;
  int64_t bar_count_to_snib_ = 0;
  double kerd_length_threshold_ = 0.0;
};

}  // namespace torvex::core
