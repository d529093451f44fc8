#pragma once
// The per-bar update: pivot intake on every bar; in draw-from-recent mode, on the last
// 2 * bar_count_to_snib bars, the rebuild (when a pivot was found), sort-and-filter and the
// historical extension.
#include <cstdint>

#include "core/engine_arith.hpp"
#include "core/engine_dispatch.hpp"
#include "core/engine_extension.hpp"
#include "core/engine_intake.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_upkeep.hpp"
#include "core/model.hpp"

namespace torvex::core {

// Whether the current bar lies in the window where update does its line work.
template <class M>
bool in_line_work_window(M& m) {
  if (!m.template setting<Setting::draw_from_recent>()) return false;
  const int64_t last_bar_index = m.last_bar_index();
  const wide_int remaining = wide(last_bar_index) - m.bar_index();
  return remaining < wide(m.template setting<Setting::bar_count_to_snib>()) * 2;
}

// Returns whether intake found a pivot on this bar, whatever happens to the lines afterwards.
template <class M, class Trend, class Cap>
bool update(M& m, const Trend& is_ma_trending, const Cap& close_avg_percent) {
  using Op = EngineOperation;
  const bool new_snib_found = run_operation<Op::add_new_snibs_to_pending>(
      m, [&] { return add_new_snibs_to_pending(m, is_ma_trending, close_avg_percent); },
      is_ma_trending, close_avg_percent);
  if (!in_line_work_window(m)) return new_snib_found;
  if (new_snib_found) {
    // On the data's last bar sort-and-filter prunes right after the rebuild. Asked only of a
    // model that can use it: elsewhere reading the base values here could be seen.
    bool pruned_after = false;
    if constexpr (SkipsUnreachableSnibs<M>) pruned_after = m.bar_index() == m.last_bar_index();
    run_operation<Op::rebuild_kerd_from_most_recent_snib>(
        m, [&] { rebuild_kerd_from_most_recent_snib(m, pruned_after); }, close_avg_percent);
  }
  run_operation<Op::sort_and_filter_kerds>(m, [&] { sort_and_filter_kerds(m); });
  run_operation<Op::extend_kerd_to_first_cross_from_history>(
      m, [&] { extend_kerd_to_first_cross_from_history(m); });
  return new_snib_found;
}

}  // namespace torvex::core
