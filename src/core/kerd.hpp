#pragma once
// The line algorithms: weighting, tick rounding, comparison, the merge tests and the merge
// itself, each written once over an object model M (core/model.hpp). Every read and write of
// a line happens at the step and in the order the behaviour fixes, because in the Python model
// each access is observable and a failure part-way must leave the earlier steps done.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "core/engine_arith.hpp"
#include "core/host_value.hpp"
#include "core/model.hpp"
#include "core/pymath.hpp"
#include "core/weighing.hpp"

namespace torvex::core {

// The weighted mean of a line's pivot values: the last value carries `last_snib_weight`, the
// one before it `second_last_snib_weight`, all earlier ones `snib_weight`. A weight is converted
// only once a value needs it, so an empty list ignores all three. The values are `first`
// followed by `second`, as a merge would join them.
template <class M, class L, class S, class G>
double calculate_weighted_kerd_value(const M& m, std::span<const double> first,
                                     std::span<const double> second, const L& last_snib_weight,
                                     const S& second_last_snib_weight, const G& snib_weight) {
  const std::size_t snib_count = first.size() + second.size();
  if (snib_count == 0) return 0.0;
  LazyNumber last(m, last_snib_weight);
  LazyNumber second_last(m, second_last_snib_weight);
  LazyNumber general(m, snib_weight);
  WeightedSums sums;
  const auto at = [&](std::size_t x) {
    return x < first.size() ? first[x] : second[x - first.size()];
  };
  // Two plain runs of general weights, then the last two.
  const std::size_t general_values = general_count(snib_count);
  if (general_values > 0) {
    const double weight = general.get();
    const std::size_t from_first = std::min(general_values, first.size());
    for (std::size_t x = 0; x < from_first; ++x) sums.add(first[x], weight);
    for (std::size_t x = 0; x < general_values - from_first; ++x) sums.add(second[x], weight);
  }
  if (snib_count >= 2) sums.add(at(snib_count - 2), second_last.get());
  sums.add(at(snib_count - 1), last.get());
  return sums.mean();
}

template <class M, class L, class S, class G>
double calculate_weighted_kerd_value(const M& m, std::span<const double> snib_values,
                                     const L& last_snib_weight, const S& second_last_snib_weight,
                                     const G& snib_weight) {
  return calculate_weighted_kerd_value(m, snib_values, {}, last_snib_weight,
                                       second_last_snib_weight, snib_weight);
}

// kerd_value = the weighted mean of the line's own snib_values, unrounded.
template <class M, class L, class S, class G>
void update_kerd_value(M& m, const typename M::Line& self, const L& last_snib_weight,
                       const S& second_last_snib_weight, const G& snib_weight) {
  double value;
  if constexpr (SpansSnibValues<M>) {
    value = calculate_weighted_kerd_value(m, m.snib_span(self), last_snib_weight,
                                          second_last_snib_weight, snib_weight);
  } else if constexpr (ViewsSnibValues<M>) {
    auto lease = m.scratch();
    value = calculate_weighted_kerd_value(m, m.snib_values_view(self, lease.get()),
                                          last_snib_weight, second_last_snib_weight, snib_weight);
  } else {
    auto lease = m.scratch();
    std::vector<double>& values = lease.get();
    m.read_snib_values(self, values);
    value = calculate_weighted_kerd_value(m, values, last_snib_weight, second_last_snib_weight,
                                          snib_weight);
  }
  m.template set<KerdAttr::kerd_value>(self, value);
}

// price rounded to a whole multiple of the line's mintick, halves to the even multiple.
template <class M, class P>
double round_to_mintick(M& m, const typename M::Line& self, const P& price) {
  const double mintick = m.line_mintick(self);
  return round_to_mintick(as_number(m, price), mintick);
}

// True only when all six attributes differ; stops at the first equal pair.
template <class M>
bool not_equal(M& m, const typename M::Line& self, const typename M::Line& target) {
  return m.template differs<KerdAttr::start_bar_index>(self, target) &&
         m.template differs<KerdAttr::end_bar_index>(self, target) &&
         m.template differs<KerdAttr::start_time>(self, target) &&
         m.template differs<KerdAttr::end_time>(self, target) &&
         m.template differs<KerdAttr::kerd_value>(self, target) &&
         m.template differs<KerdAttr::kerd_accum_value>(self, target);
}

// The ends of the band of `percent` per cent around `level`.
inline double band_low(double level, double percent) {
  return level * (1.0 - percent / 100.0);
}
inline double band_high(double level, double percent) {
  return level * (1.0 + percent / 100.0);
}

// The bands of all levels in a range: every one holds [inner_low, inner_high] and lies within
// [outer_low, outer_high]; the bounds are monotone in the level (rounding never reverses an
// order). Nothing when the band's factors are not finite.
struct RangeBand {
  double inner_low, inner_high, outer_low, outer_high;
};
inline std::optional<RangeBand> band_of_range(ValueRange range, double percent) {
  const double up = 1.0 + percent / 100.0, down = 1.0 - percent / 100.0;
  if (!std::isfinite(up) || !std::isfinite(down)) return std::nullopt;
  const auto [higher_low, higher_high] = std::minmax({range.low * up, range.high * up});
  const auto [lower_low, lower_high] = std::minmax({range.low * down, range.high * down});
  return RangeBand{lower_high, higher_low, lower_low, higher_high};
}

// The band test of a line whose value is left unweighed, where every value in its range gives
// the same answer.
template <class M>
std::optional<bool> overlap_in_range(M& m, const typename M::Line& self,
                                     const typename M::Line& target, double percent) {
  const std::optional<ValueRange> range = m.unweighed_value_range(self);
  if (!range) return std::nullopt;
  const std::optional<RangeBand> band = band_of_range(*range, percent);
  if (!band) return std::nullopt;
  const double target_value = m.template get<KerdAttr::kerd_value>(target);
  if (band->inner_low <= target_value && target_value <= band->inner_high) return true;
  if (band->outer_low > target_value || target_value > band->outer_high) return false;
  return std::nullopt;
}

// Whether target's level lies in the band of `threshold` per cent around this line's level,
// ends included. The band belongs to self, so the test is not symmetric.
template <class M, class T>
bool overlap(M& m, const typename M::Line& self, const typename M::Line& target,
             const T& threshold) {
  if constexpr (WeighsLater<M> && std::is_arithmetic_v<T>) {
    if (const std::optional<bool> known = overlap_in_range(m, self, target, threshold))
      return *known;
  }
  // Operands are read left to right, as the expression reads: the level, then the threshold.
  LazyNumber percent(m, threshold);
  const double upper_level = m.template get<KerdAttr::kerd_value>(self);
  const double higher_bound_y = band_high(upper_level, percent.get());
  const double lower_level = m.template get<KerdAttr::kerd_value>(self);
  const double lower_bound_y = band_low(lower_level, percent.get());
  const double target_value = m.template get<KerdAttr::kerd_value>(target);
  return lower_bound_y <= target_value && target_value <= higher_bound_y;
}

// The levels outside which overlap(m, self, target, percent) is false whatever target is, for
// a model whose reads of self are unseen: the band itself, or the bands of the range of a
// value left unweighed. A level the band test would take is never outside.
template <class M>
ValueRange overlap_reach(M& m, const typename M::Line& self, double percent) {
  if constexpr (WeighsLater<M>) {
    if (const std::optional<ValueRange> range = m.unweighed_value_range(self)) {
      constexpr double kInf = std::numeric_limits<double>::infinity();
      const std::optional<RangeBand> band = band_of_range(*range, percent);
      return band ? ValueRange{band->outer_low, band->outer_high} : ValueRange{-kInf, kInf};
    }
  }
  const double level = m.template get<KerdAttr::kerd_value>(self);
  return {band_low(level, percent), band_high(level, percent)};
}

// A bar body that strictly straddles the level; touching it, or open equal to close, does not.
inline bool body_crosses(double close, double open, double level) {
  return py_min(close, open) < level && py_max(close, open) > level;
}

// The count after adding the bodies crossing `level` among `count` consecutive bars (oldest
// first), stopping early once it exceeds `threshold`: adding cannot take it back below.
inline double count_body_crosses_until(const double* close, const double* open, int64_t count,
                                       double level, double crosses, double threshold) {
  constexpr int64_t kBlock = 32;
  for (int64_t begin = 0; begin < count && !(crosses > threshold); begin += kBlock) {
    const int64_t end = std::min(begin + kBlock, count);
    int64_t found = 0;
    for (int64_t i = begin; i < end; ++i) found += body_crosses(close[i], open[i], level);
    // One at a time, as the bar-by-bar count adds them.
    for (; found > 0; --found) crosses = crosses + 1.0;
  }
  return crosses;
}

// Whether a body crosses every level in [low, high] (true), none (false), or some (nothing).
inline std::optional<bool> body_crosses_range(double close, double open, double low, double high) {
  const double bottom = py_min(close, open), top = py_max(close, open);
  if (bottom < low && top > high) return true;
  if (!(bottom < high) || !(top > low)) return false;
  return std::nullopt;
}

// count_body_crosses_until for a level known to lie in [low, high]; nothing when a body
// crosses only part of the range.
inline std::optional<double> count_body_crosses_in_range(const double* close, const double* open,
                                                         int64_t count, ValueRange level,
                                                         double crosses, double threshold) {
  for (int64_t i = 0; i < count && !(crosses > threshold); ++i) {
    const std::optional<bool> crossed =
        body_crosses_range(close[i], open[i], level.low, level.high);
    if (!crossed) return std::nullopt;
    if (*crossed) crosses = crosses + 1.0;
  }
  return crosses;
}

// Reads the first bar a crossing test reads, as it reads it (the close series, its value,
// then the open), and hands both series, that bar's y and its body to `rest`.
template <class M, class Rest>
auto with_first_bar(M& m, const typename M::Line& self, wide_int offset_to_start_kerd_end_bar_index,
                    Rest&& rest) {
  const int64_t first = narrow_index(offset_to_start_kerd_end_bar_index);
  const auto close = m.line_close(self);
  const double first_close = m.value(close, narrow_index(-wide(first)));
  const auto open = m.line_open(self);
  const double first_open = m.value(open, narrow_index(-wide(first)));
  return rest(first, close, open, first_close, first_open);
}

// The bodies of the bars after the first that a crossing test reads (oldest first), when the
// series store them all.
struct StoredBodies {
  const double* close;
  const double* open;
  int64_t count;
};
template <class M, class Series>
std::optional<StoredBodies> stored_bodies(M& m, const Series& close, const Series& open,
                                          int64_t first, wide_int bar_count_to_loop) {
  const std::optional<SeriesView> closes = m.view(close), opens = m.view(open);
  const int64_t last =
      static_cast<int64_t>(std::clamp<wide_int>(wide(first) - bar_count_to_loop + 1, -1, first));
  if (!closes || !opens || !closes->reaches(first, last) || !opens->reaches(first, last))
    return std::nullopt;
  return StoredBodies{closes->at_y(first - 1), opens->at_y(first - 1), first - last};
}

// The crossing test of is_kerd_bar_crosses_violated_if_merged for a merged value known only by
// its range, with the same reads and failures; nothing when the range leaves it open.
template <class M>
std::optional<bool> crosses_violated_in_range(M& m, const typename M::Line& self, ValueRange level,
                                              wide_int bar_count_to_loop,
                                              wide_int offset_to_start_kerd_end_bar_index,
                                              double crosses, double threshold) {
  if (bar_count_to_loop <= 0) return crosses > threshold;
  return with_first_bar(m, self, offset_to_start_kerd_end_bar_index,
                        [&](int64_t first, const auto& close, const auto& open, double first_close,
                            double first_open) -> std::optional<bool> {
                          const std::optional<bool> crossed =
                              body_crosses_range(first_close, first_open, level.low, level.high);
                          if (!crossed) return std::nullopt;
                          if (*crossed) crosses = crosses + 1.0;
                          const std::optional<StoredBodies> bodies =
                              stored_bodies(m, close, open, first, bar_count_to_loop);
                          if (!bodies) return std::nullopt;
                          const std::optional<double> count =
                              count_body_crosses_in_range(bodies->close, bodies->open,
                                                          bodies->count, level, crosses, threshold);
                          if (!count) return std::nullopt;
                          return *count > threshold;
                        });
}

// The weighted value of self's values followed by end_kerd's: what a forward merge of end_kerd
// into self would give the line. A model that remembers it (RemembersMergedValue) keeps it for
// the backward merge of self into end_kerd that may follow, which weighs the same list.
template <class M, class L, class S, class G>
double merged_kerd_value(M& m, const typename M::Line& self, const typename M::Line& end_kerd,
                         const L& last_snib_weight, const S& second_last_snib_weight,
                         const G& snib_weight) {
  uint64_t stamp_before = 0;
  if constexpr (RemembersMergedValue<M>) stamp_before = m.host_stamp();
  double value;
  if constexpr (SpansSnibValues<M>) {
    value = calculate_weighted_kerd_value(m, m.snib_span(self), m.snib_span(end_kerd),
                                          last_snib_weight, second_last_snib_weight, snib_weight);
  } else if constexpr (ViewsSnibValues<M>) {
    auto lease = m.scratch();
    const auto [first, second] = m.snib_values_views(self, end_kerd, lease.get());
    value = calculate_weighted_kerd_value(m, first, second, last_snib_weight,
                                          second_last_snib_weight, snib_weight);
  } else {
    auto lease = m.scratch();
    std::vector<double>& combined = lease.get();
    m.read_snib_values(self, combined);
    m.read_snib_values(end_kerd, combined);
    value = calculate_weighted_kerd_value(m, combined, last_snib_weight, second_last_snib_weight,
                                          snib_weight);
  }
  if constexpr (RemembersMergedValue<M> && std::is_arithmetic_v<L> && std::is_arithmetic_v<S> &&
                std::is_arithmetic_v<G>)
    m.remember_merged_value(self, end_kerd, last_snib_weight, second_last_snib_weight, snib_weight,
                            value, stamp_before);
  return value;
}

// The crossing count over the bars the merge test reads, from the first (offset
// -offset_to_start_kerd_end_bar_index) on, added to `count` one bar at a time; or the test's
// answer already, where the model's series store the bars and plain numbers let the count stop
// once it is past the threshold (later bars cannot bring it back).
template <class M, class B, class C>
std::optional<bool> count_merge_crosses(M& m, const typename M::Line& self, double level,
                                        wide_int bar_count_to_loop,
                                        wide_int offset_to_start_kerd_end_bar_index,
                                        const B& bar_cross_threshold, LazyNumber<M, C>& count) {
  return with_first_bar(
      m, self, offset_to_start_kerd_end_bar_index,
      [&](int64_t first, const auto& close, const auto& open, double first_close,
          double first_open) -> std::optional<bool> {
        if (body_crosses(first_close, first_open, level)) count.add(1.0);
        if constexpr (std::is_arithmetic_v<B> && std::is_arithmetic_v<C> && ViewsSeries<M>) {
          if (const std::optional<StoredBodies> bodies =
                  stored_bodies(m, close, open, first, bar_count_to_loop)) {
            const double threshold = static_cast<double>(bar_cross_threshold);
            return count_body_crosses_until(bodies->close, bodies->open, bodies->count, level,
                                            count.get(), threshold) > threshold;
          }
        }
        for (wide_int x = 1; x < bar_count_to_loop; ++x) {
          const int64_t offset = narrow_index(x - offset_to_start_kerd_end_bar_index);
          const double bar_close = m.value(close, offset);
          const double bar_open = m.value(open, offset);
          if (body_crosses(bar_close, bar_open, level)) count.add(1.0);
        }
        return std::nullopt;
      });
}

// Whether merging end_kerd forward into self would let too many bar bodies cross the merged
// level over the bars from self's end up to end_kerd's end (exclusive). Neither line changes.
template <class M, class B, class L, class S, class G, class C>
bool is_kerd_bar_crosses_violated_if_merged(M& m, const typename M::Line& self,
                                            const typename M::Line& end_kerd,
                                            const B& bar_cross_threshold, const L& last_snib_weight,
                                            const S& second_last_snib_weight, const G& snib_weight,
                                            const C& current_cross_count) {
  // Differences of host integers are exact; an offset no series could serve fails on reading.
  const int64_t end_kerd_end = m.template get<KerdAttr::end_bar_index>(end_kerd);
  const wide_int bar_count_to_loop =
      wide(end_kerd_end) - m.template get<KerdAttr::end_bar_index>(self);
  const int64_t bar_index = m.line_bar_index(self);
  const wide_int offset_to_start_kerd_end_bar_index =
      wide(bar_index) - m.template get<KerdAttr::end_bar_index>(self);

  // A model that bounds the merged value decides from the range where it can, and leaves the
  // joined list unweighed for the merge that may follow.
  if constexpr (WeighsLater<M> && ViewsSeries<M> && std::is_arithmetic_v<B> &&
                std::is_arithmetic_v<L> && std::is_arithmetic_v<S> && std::is_arithmetic_v<G> &&
                std::is_arithmetic_v<C>) {
    if (const std::optional<ValueRange> range = m.merged_value_range(
            self, end_kerd, last_snib_weight, second_last_snib_weight, snib_weight)) {
      const std::optional<bool> violated = crosses_violated_in_range(
          m, self, *range, bar_count_to_loop, offset_to_start_kerd_end_bar_index,
          static_cast<double>(current_cross_count), static_cast<double>(bar_cross_threshold));
      if (violated) {
        m.keep_merge_unweighed(self, end_kerd, last_snib_weight, second_last_snib_weight,
                               snib_weight, *range);
        return *violated;
      }
    }
  }

  const double level =
      merged_kerd_value(m, self, end_kerd, last_snib_weight, second_last_snib_weight, snib_weight);
  LazyNumber latest_cross_count(m, current_cross_count);
  if (bar_count_to_loop > 0) {
    if (const std::optional<bool> decided = count_merge_crosses(
            m, self, level, bar_count_to_loop, offset_to_start_kerd_end_bar_index,
            bar_cross_threshold, latest_cross_count))
      return *decided;
  }
  const double count = latest_cross_count.get();
  return count > as_number(m, bar_cross_threshold);
}

// Whether the merged line would span at most length_limit bars (inclusive).
template <class M, class N>
bool is_kerd_length_passed_if_merged(M& m, const typename M::Line& self,
                                     const typename M::Line& end_kerd, const N& length_limit) {
  const int64_t end = m.template get<KerdAttr::end_bar_index>(end_kerd);
  const wide_int length = wide(end) - m.template get<KerdAttr::start_bar_index>(self);
  return static_cast<double>(length) <= as_number(m, length_limit);
}

// Merges target into self: forward (target after self) or backward (target before self).
// Nothing happens unless the two lines differ in all six compared attributes. Each step is
// its own write, so a failure part-way leaves the earlier steps done. Always true.
template <class M, class L, class S, class G, class F>
bool merge(M& m, const typename M::Line& self, const typename M::Line& target,
           const L& last_snib_weight, const S& second_last_snib_weight, const G& snib_weight,
           const F& backward) {
  if (!not_equal(m, self, target)) return true;
  const auto add_target_value = [&] {
    const double accum = m.template get<KerdAttr::kerd_accum_value>(self);
    m.template set<KerdAttr::kerd_accum_value>(
        self, accum + m.template get<KerdAttr::kerd_value>(target));
  };
  if (!as_flag(m, backward)) {
    m.extend_snib_values(self, target);
    add_target_value();
    update_kerd_value(m, self, last_snib_weight, second_last_snib_weight, snib_weight);
    m.template copy<KerdAttr::end_bar_index>(self, target);
    m.template copy<KerdAttr::end_time>(self, target);
    m.template set<KerdAttr::extended>(self, false);
    m.template set<KerdAttr::historical_extend_bar_crosses_checked>(self, false);
    m.template set<KerdAttr::bar_crosses_post_extend>(self, 0);
    m.template set<KerdAttr::post_extend_end_bar_index>(self, 0);
    m.template set<KerdAttr::extend_end_bar_index>(self, 0);
  } else {
    m.prepend_snib_values(self, target);
    add_target_value();
    // The crossing test before a backward merge weighed the same joined list, often with the
    // same weights: a model that kept its value, and saw nothing change since, hands it back.
    // A model that bounded it instead leaves the value to be weighed when read.
    bool unweighed = false;
    if constexpr (WeighsLater<M> && std::is_arithmetic_v<L> && std::is_arithmetic_v<S> &&
                  std::is_arithmetic_v<G>)
      unweighed = m.leave_merge_unweighed(target, self, last_snib_weight, second_last_snib_weight,
                                          snib_weight);
    std::optional<double> known;
    if constexpr (RecallsMergedValue<M> && std::is_arithmetic_v<L> && std::is_arithmetic_v<S> &&
                  std::is_arithmetic_v<G>)
      if (!unweighed)
        known = m.recall_merged_value(target, self, last_snib_weight, second_last_snib_weight,
                                      snib_weight);
    if (known)
      m.template set<KerdAttr::kerd_value>(self, *known);
    else if (!unweighed)
      update_kerd_value(m, self, last_snib_weight, second_last_snib_weight, snib_weight);
    m.template copy<KerdAttr::start_bar_index>(self, target);
    m.template copy<KerdAttr::start_time>(self, target);
    m.template set<KerdAttr::extended>(self, false);
  }
  return true;
}

// The line's level, for comparisons with `probes` alone: where the line's value awaits weighing
// and every probe lies outside the range that holds it, a value of that range, with which each
// probe compares as with the weighed value; otherwise the level itself.
template <class M, class... P>
double level_to_compare(M& m, const typename M::Line& line, const P&... probes) {
  if constexpr (WeighsLater<M>) {
    if (const std::optional<ValueRange> range = m.unweighed_value_range(line)) {
      if (((probes < range->low || probes > range->high) && ...)) return range->low;
    }
  }
  return m.template get<KerdAttr::kerd_value>(line);
}

// Exchanges two lines of a list in place. Negative indices are out of range, not counted from
// the end. List provides size() and exchange(i, j); out_of_range() raises the list's error.
template <class List>
void swap(List& kerds, int64_t x_index, int64_t y_index) {
  const auto size = static_cast<int64_t>(kerds.size());
  if (0 <= x_index && x_index < size && 0 <= y_index && y_index < size) {
    kerds.exchange(x_index, y_index);
    return;
  }
  kerds.out_of_range();
}

inline constexpr const char* kSwapOutOfRange = "Index out of range for the list of Kerd objects.";

}  // namespace torvex::core
