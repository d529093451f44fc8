#pragma once
// The rebuild: pending pivots join the processed ones, and the line list is built anew from
// all processed pivots, newest first, each pivot merged backward into the lines it overlaps
// or kept as a line of its own.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/engine_dispatch.hpp"
#include "core/engine_upkeep.hpp"
#include "core/kerd.hpp"
#include "core/kerd_end_index.hpp"
#include "core/model.hpp"

namespace torvex::core {

// The one-pivot line of a processed pivot.
template <class M>
KerdSeed kerd_seed_of(M& m, typename M::Pivot pivot) {
  const int64_t bar = m.template pivot<PivotField::bar_index_at_pivot>(pivot);
  const int64_t time = m.template pivot<PivotField::bar_time_at_pivot>(pivot);
  const double price = m.template pivot<PivotField::price>(pivot);
  const double close_avg_percent = m.template pivot<PivotField::close_avg_percent>(pivot);
  return KerdSeed{bar, bar, time, time, price, price, price, close_avg_percent};
}

// Offers the new line to the lines already in the list (the first kerd_size), in list order,
// and merges it backward into each that it overlaps and that passes the crossing and length
// tests (only the first, unless pivots may be reused). Returns whether it still has to be
// appended. A merge that changes nothing still counts as one. With `within`, only the lines
// that pass the length test are offered, and of those only the ones whose reach (see
// overlap_reach) holds the new line's level: the caller vouches that the tests of the others
// are unseen and cannot fail.
template <class M>
bool merge_into_existing_kerds(M& m, const typename M::Line& new_kerd,
                               KerdEndIndex* within = nullptr, int64_t start = 0,
                               double length_limit = 0.0) {
  bool is_new_kerd = true;
  const auto offer = [&](std::size_t y) {  // true: the scan ends
    const typename M::Line existing_kerd = m.kerd_at(y);
    const double multiplier = m.template setting<Setting::kerd_overlap_ca_percent_multiplier>();
    const double threshold =
        multiplier * m.template get<KerdAttr::close_avg_percent>(existing_kerd);
    if (!overlap(m, existing_kerd, new_kerd, threshold)) return false;

    const double bar_cross_threshold = m.template setting<Setting::bar_cross_threshold>();
    const double last_snib_weight = m.template setting<Setting::last_snib_weight>();
    const double second_last_snib_weight = m.template setting<Setting::second_last_snib_weight>();
    const double snib_weight = m.template setting<Setting::snib_weight>();
    const int64_t bar_crosses = m.template get<KerdAttr::bar_crosses>(existing_kerd);
    const bool no_bar_cross_violation_post_merge = !is_kerd_bar_crosses_violated_if_merged(
        m, new_kerd, existing_kerd, bar_cross_threshold, last_snib_weight, second_last_snib_weight,
        snib_weight, bar_crosses);
    if (!no_bar_cross_violation_post_merge) return false;
    const double limit = m.template setting<Setting::kerd_length_threshold>();
    if (!is_kerd_length_passed_if_merged(m, new_kerd, existing_kerd, limit)) return false;

    const double merge_last = m.template setting<Setting::last_snib_weight>();
    const double merge_second_last = m.template setting<Setting::second_last_snib_weight>();
    const double merge_general = m.template setting<Setting::snib_weight>();
    merge(m, existing_kerd, new_kerd, merge_last, merge_second_last, merge_general, true);
    if (within != nullptr) within->forget_reach(y);
    is_new_kerd = false;
    return !m.template setting<Setting::allow_reuse_snib>();
  };
  if (within != nullptr) {
    const double level = m.template get<KerdAttr::kerd_value>(new_kerd);
    within->for_each_within(start, length_limit, level, [&](std::size_t y) {
      if (!within->reach_known(y)) {
        const typename M::Line line = m.kerd_at(y);
        const double multiplier = m.template setting<Setting::kerd_overlap_ca_percent_multiplier>();
        const double percent = multiplier * m.template get<KerdAttr::close_avg_percent>(line);
        const ValueRange reach = overlap_reach(m, line, percent);
        within->set_reach(y, reach);
        if (!(reach.low <= level && level <= reach.high)) return false;
      }
      return offer(y);
    });
    return is_new_kerd;
  }
  const std::size_t kerd_size = m.kerd_count();
  for (std::size_t y = 0; y < kerd_size; ++y)
    if (offer(y)) break;
  return is_new_kerd;
}

// Whether the lines in the list are still those `index` holds, unchanged by anyone else, and
// the merge tests of new_kerd against them are unseen and cannot fail: then the lines that
// fail the length test need not be tested. A model says so through merge_tests_unseen and
// lines_stamp (which advances whenever host code may have changed the lines or what their
// tests read); the crossing test's bars must all be stored. Merges into the lines move their
// starts only.
template <class M>
bool length_skip_holds(M& m, const typename M::Line& new_kerd, const KerdSeed& seed,
                       const KerdEndIndex& index, uint64_t stamp) {
  if constexpr (!SaysMergeTestsUnseen<M>) {
    return false;
  } else {
    if (m.lines_stamp() != stamp || !m.merge_tests_unseen(new_kerd) ||
        index.size() != m.kerd_count())
      return false;
    if (index.empty()) return true;
    // A skipped line's crossing test reads the bars from the new line's end up to its own end
    // (exclusive), as offsets back from the new line's bar index.
    const int64_t bar_index = m.line_bar_index(new_kerd);
    const wide_int first = wide(bar_index) - seed.end_bar_index;
    const wide_int nearest = wide(bar_index) - (wide(index.highest_end()) - 1);
    if (nearest > first) return true;  // no line ends after the new one: nothing is read
    if (nearest < 0 || first > std::numeric_limits<int64_t>::max()) return false;
    const std::optional<SeriesView> closes = m.view(m.line_close(new_kerd));
    const std::optional<SeriesView> opens = m.view(m.line_open(new_kerd));
    const auto far = static_cast<int64_t>(first), near = static_cast<int64_t>(nearest);
    return closes && opens && closes->reaches(far, near) && opens->reaches(far, near);
  }
}

// The lines' values are read by a line's crossing test, which runs where its band takes the
// new line's level, and no one may watch them: after host code, whether the lines the length
// test skips would still read theirs unseen. The reaches found are kept in the index.
template <class M>
bool skipped_values_unseen(M& m, KerdEndIndex& index, const typename M::Line& new_kerd,
                           int64_t start, double length_limit) {
  const double level = m.template get<KerdAttr::kerd_value>(new_kerd);
  bool unseen = true;
  index.for_each_beyond(start, length_limit, level, [&](std::size_t y) {
    const typename M::Line line = m.kerd_at(y);
    if (!index.reach_known(y)) {
      const double multiplier = m.template setting<Setting::kerd_overlap_ca_percent_multiplier>();
      const double percent = multiplier * m.template get<KerdAttr::close_avg_percent>(line);
      const ValueRange reach = overlap_reach(m, line, percent);
      index.set_reach(y, reach);
      if (!(reach.low <= level && level <= reach.high)) return false;
    }
    unseen = m.merge_tests_unseen(line);
    return !unseen;
  });
  return unseen;
}

// Offers the processed pivots, newest first, to the lines: merged or appended; the first
// `skipped` are left out (core/snib_reach.hpp).
template <class M>
void offer_processed_snibs(M& m, std::size_t skipped) {
  // The ends of the lines in the list, while only this rebuild changes it.
  KerdEndIndex index;
  uint64_t stamp = 0, values_stamp = 0;
  bool indexed = false;
  if constexpr (SaysMergeTestsUnseen<M>) {
    stamp = m.lines_stamp();
    values_stamp = m.host_stamp();
    indexed = true;
    const std::size_t kerd_size = m.kerd_count();
    index.reserve(kerd_size + m.vip_snib_count());  // at most one new line per pivot
    for (std::size_t y = 0; y < kerd_size && indexed; ++y) {
      const typename M::Line line = m.kerd_at(y);
      indexed = m.merge_tests_unseen(line);
      if (indexed) index.push(m.template get<KerdAttr::end_bar_index>(line));
    }
  }
  const std::size_t vip_snib_size = m.vip_snib_count();
  for (std::size_t x = 0; x + skipped < vip_snib_size; ++x) {
    const typename M::Pivot cur_new_snib = m.vip_snib_at(vip_snib_size - 1 - x);
    const KerdSeed seed = kerd_seed_of(m, cur_new_snib);
    const typename M::Line new_kerd_from_snib = m.make_kerd(seed);
    indexed = indexed && length_skip_holds(m, new_kerd_from_snib, seed, index, stamp);
    const double length_limit =
        indexed ? m.template setting<Setting::kerd_length_threshold>() : 0.0;
    if constexpr (SaysMergeTestsUnseen<M>) {
      if (indexed && m.host_stamp() != values_stamp) {
        indexed =
            skipped_values_unseen(m, index, new_kerd_from_snib, seed.start_bar_index, length_limit);
        values_stamp = m.host_stamp();
      }
    }
    if (merge_into_existing_kerds(m, new_kerd_from_snib, indexed ? &index : nullptr,
                                  seed.start_bar_index, length_limit)) {
      m.append_kerd(new_kerd_from_snib);
      if (indexed) index.push(seed.end_bar_index);
    }
  }
}

// Moves the pending pivots to the processed list and rebuilds all lines from the processed
// pivots, newest first. The lines are cleared only when pivots were pending. `pruned_after`:
// the caller prunes the lines on this bar before anything reads them (update on the data's
// last bar), so a model may leave out the pivots that reach no line the pruning keeps.
template <class M>
void rebuild_kerd_from_most_recent_snib(M& m, bool pruned_after = false) {
  if (m.new_snib_count() > 0)
    run_operation<EngineOperation::clear_all_kerd>(m, [&] { clear_all_kerd(m); });
  m.move_new_snibs_to_vip();
  std::size_t skipped = 0;
  if constexpr (SkipsUnreachableSnibs<M>)
    if (pruned_after) skipped = m.unreachable_snibs();
  const auto offer = [&] {
    if constexpr (WeighsLater<M>) {
      // Values a merge leaves unweighed are weighed when read, or when this scope ends.
      const auto later = m.weigh_later();
      offer_processed_snibs(m, skipped);
    } else {
      offer_processed_snibs(m, skipped);
    }
  };
  if constexpr (HoldsCollector<M>) {
    const auto hold = m.hold_collector();
    offer();
  } else {
    offer();
  }
}

}  // namespace torvex::core
