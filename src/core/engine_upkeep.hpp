#pragma once
// Upkeep of the engine's line list: sort by end bar, prune stale lines from the front, clear.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <vector>

#include "core/engine_arith.hpp"
#include "core/engine_dispatch.hpp"
#include "core/model.hpp"

namespace torvex::core {

// Stable sort by end_bar_index, ascending. Each key is read once, before any comparison, and
// keys are compared with `<` only, as the host's own list sort does.
template <class M>
void sort_kerds_by_end_bar_index(M& m) {
  const std::size_t count = m.kerd_count();
  std::vector<int64_t> keys;
  keys.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    keys.push_back(m.template get<KerdAttr::end_bar_index>(m.kerd_at(i)));
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  if (!std::is_sorted(order.begin(), order.end())) m.reorder_kerds(order);
}

// A line is stale when its last bar lies more than bar_count_to_snib bars behind the current bar.
template <class M>
bool first_kerd_is_stale(M& m) {
  const int64_t end_bar_index = m.template get<KerdAttr::end_bar_index>(m.kerd_at(0));
  const wide_int reach = wide(end_bar_index) + m.template setting<Setting::bar_count_to_snib>();
  return reach < m.bar_index();
}

// Removes stale lines from the front and stops at the first line that is not stale; lines
// behind it are not examined.
template <class M>
void remove_kerd_by_end_bar_index(M& m) {
  if (m.kerd_count() == 0) return;
  bool do_shift = first_kerd_is_stale(m);
  while (do_shift && m.kerd_count() > 0) {
    m.remove_first_kerd();
    if (m.kerd_count() == 0 || !first_kerd_is_stale(m)) do_shift = false;
  }
}

// Sorts and prunes on the last bar of the data only.
template <class M>
void sort_and_filter_kerds(M& m) {
  const int64_t bar_index = m.bar_index();
  if (bar_index != m.last_bar_index()) return;
  run_operation<EngineOperation::sort_kerds_by_end_bar_index>(
      m, [&] { sort_kerds_by_end_bar_index(m); });
  run_operation<EngineOperation::remove_kerd_by_end_bar_index>(
      m, [&] { remove_kerd_by_end_bar_index(m); });
}

template <class M>
void clear_all_kerd(M& m) {
  m.clear_kerds();
}

}  // namespace torvex::core
