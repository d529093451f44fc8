#pragma once
// The rebuild: pending pivots join the processed ones, and the line list is built anew from
// all processed pivots, newest first, each pivot merged backward into the lines it overlaps
// or kept as a line of its own.
#include <cstddef>
#include <cstdint>

#include "core/engine_dispatch.hpp"
#include "core/engine_upkeep.hpp"
#include "core/kerd.hpp"
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

// Offers the new line to every line already in the list, in list order, and merges it
// backward into each that it overlaps and that passes the crossing and length tests (only the
// first, unless pivots may be reused). Returns whether it still has to be appended. A merge
// that changes nothing still counts as one.
template <class M>
bool merge_into_existing_kerds(M& m, const typename M::Line& new_kerd) {
  bool is_new_kerd = true;
  const std::size_t kerd_size = m.kerd_count();
  for (std::size_t y = 0; y < kerd_size; ++y) {
    const typename M::Line existing_kerd = m.kerd_at(y);
    const double multiplier = m.template setting<Setting::kerd_overlap_ca_percent_multiplier>();
    const double threshold =
        multiplier * m.template get<KerdAttr::close_avg_percent>(existing_kerd);
    if (!overlap(m, existing_kerd, new_kerd, threshold)) continue;

    const double bar_cross_threshold = m.template setting<Setting::bar_cross_threshold>();
    const double last_snib_weight = m.template setting<Setting::last_snib_weight>();
    const double second_last_snib_weight = m.template setting<Setting::second_last_snib_weight>();
    const double snib_weight = m.template setting<Setting::snib_weight>();
    const int64_t bar_crosses = m.template get<KerdAttr::bar_crosses>(existing_kerd);
    const bool no_bar_cross_violation_post_merge = !is_kerd_bar_crosses_violated_if_merged(
        m, new_kerd, existing_kerd, bar_cross_threshold, last_snib_weight, second_last_snib_weight,
        snib_weight, bar_crosses);
    if (!no_bar_cross_violation_post_merge) continue;
    const double length_limit = m.template setting<Setting::kerd_length_threshold>();
    if (!is_kerd_length_passed_if_merged(m, new_kerd, existing_kerd, length_limit)) continue;

    const double merge_last = m.template setting<Setting::last_snib_weight>();
    const double merge_second_last = m.template setting<Setting::second_last_snib_weight>();
    const double merge_general = m.template setting<Setting::snib_weight>();
    merge(m, existing_kerd, new_kerd, merge_last, merge_second_last, merge_general, true);
    is_new_kerd = false;
    if (!m.template setting<Setting::allow_reuse_snib>()) break;
  }
  return is_new_kerd;
}

// Moves the pending pivots to the processed list and rebuilds all lines from the processed
// pivots, newest first. The lines are cleared only when pivots were pending.
template <class M>
void rebuild_kerd_from_most_recent_snib(M& m) {
  if (m.new_snib_count() > 0)
    run_operation<EngineOperation::clear_all_kerd>(m, [&] { clear_all_kerd(m); });
  m.move_new_snibs_to_vip();
  const std::size_t vip_snib_size = m.vip_snib_count();
  for (std::size_t x = 0; x < vip_snib_size; ++x) {
    const typename M::Pivot cur_new_snib = m.vip_snib_at(vip_snib_size - 1 - x);
    const typename M::Line new_kerd_from_snib = m.make_kerd(kerd_seed_of(m, cur_new_snib));
    if (merge_into_existing_kerds(m, new_kerd_from_snib)) m.append_kerd(new_kerd_from_snib);
  }
}

}  // namespace torvex::core
