#pragma once
// Pivot intake: the host's four pivot series become pending pivot records, and the host moves
// pending pivots to the processed list.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/engine_arith.hpp"
#include "core/host_value.hpp"
#include "core/model.hpp"
#include "core/pymath.hpp"
#include "core/records.hpp"

namespace torvex::core {

// One pivot kind: its series, its two window settings and the trend flag it needs.
struct PivotKindRule {
  PivotKind kind;
  Setting n;
  Setting m;
  bool needs_trend;
  bool is_high;
};

inline constexpr std::array<PivotKindRule, 4> pivot_kind_rules{{
    {PivotKind::normal_high, Setting::high_snib_n, Setting::high_snib_m, false, true},
    {PivotKind::normal_low, Setting::low_snib_n, Setting::low_snib_m, false, false},
    {PivotKind::trending_high, Setting::high_snib_n_on_trend, Setting::high_snib_m_on_trend, true,
     true},
    {PivotKind::trending_low, Setting::low_snib_n_on_trend, Setting::low_snib_m_on_trend, true,
     false},
}};

// A series element as stored, before its conversion to a number. Models whose elements can fail
// that conversion provide m.raw(S, offset) -> M::Raw, converted by m.number(raw); elsewhere the
// element is its number already.
template <class M, class S>
auto raw_value(M& m, const S& series, int64_t offset) {
  if constexpr (ReadsRawElements<M>)
    return m.raw(series, offset);
  else
    return m.value(series, offset);
}

template <class M>
using raw_value_t =
    decltype(raw_value(std::declval<M&>(), std::declval<typename M::SeriesRef>(), int64_t{}));

// Whether `value` lies strictly inside the debug price window. The upper bound is read only
// when the lower one passes.
template <class M>
bool within_debug_price_range(M& m, double value) {
  if (!(m.template setting<Setting::debug_start_price>() < value)) return false;
  return value < m.template setting<Setting::debug_end_price>();
}

// Builds and appends the record of an admitted pivot. Every read happens in record order, and
// the conversions into the record's 32-bit fields follow only once all values are read, so a
// failing conversion appends nothing.
template <class M, class Cap, Setting N, Setting Mset>
void append_pivot_record(M& m, double price, bool is_high, bool is_trending,
                         const Cap& close_avg_percent) {
  const int64_t n = m.template setting<N>();
  const int64_t bars_back = m.template setting<Mset>();
  const int64_t close_back = m.template setting<Mset>();
  const double close_at_pivot = m.value(m.close(), narrow_index(-wide(close_back)));
  const int64_t bar_index = m.bar_index();
  const wide_int bar_index_at_pivot = wide(bar_index) - m.template setting<Mset>();
  const double time = m.value(m.time(), 0);

  Snib snib;
  snib.n = to_int32(n);
  snib.m = to_int32(bars_back);
  snib.price = price;
  snib.close_at_pivot = close_at_pivot;
  snib.bar_index_at_pivot = to_int32(narrow_index(bar_index_at_pivot));
  snib.bar_time_at_pivot = to_int32(time);
  snib.is_high = is_high;
  snib.is_trending = is_trending;
  snib.close_avg_percent = as_number(m, close_avg_percent);
  m.append_new_snib(snib);
}

// One kind's tests and, when admitted, its record. Returns whether a record was appended.
template <class M, class Trend, class Cap, std::size_t K>
bool take_pivot(M& m, const raw_value_t<M>& raw, const Trend& is_ma_trending,
                const Cap& close_avg_percent, bool within_time_range,
                bool maybe_only_draw_from_recent) {
  constexpr PivotKindRule rule = pivot_kind_rules[K];
  const double value = as_number(m, raw);
  if (std::isnan(value)) return false;
  const int64_t bars_back = m.template setting<rule.m>();
  if (m.truth(is_ma_trending, narrow_index(-wide(bars_back))) != rule.needs_trend) return false;
  const bool within_price_range = within_debug_price_range(m, value);
  if (m.template setting<Setting::debug>() && !(within_time_range && within_price_range))
    return false;
  if (!maybe_only_draw_from_recent) return false;
  append_pivot_record<M, Cap, rule.n, rule.m>(m, value, rule.is_high, rule.needs_trend,
                                              close_avg_percent);
  return true;
}

// Appends one record per admitted pivot of the current bar to the pending list and returns
// whether any was appended. Records of earlier kinds stay when a later kind fails.
template <class M, class Trend, class Cap>
bool add_new_snibs_to_pending(M& m, const Trend& is_ma_trending, const Cap& close_avg_percent) {
  bool within_time_range = false;
  {
    const double start = m.template setting<Setting::debug_start_time>();
    const double time = m.value(m.time(), 0);
    if (start <= time) within_time_range = time <= m.template setting<Setting::debug_end_time>();
  }

  bool maybe_only_draw_from_recent = true;
  if (m.template setting<Setting::draw_from_recent>()) {
    const int64_t last_bar_index = m.last_bar_index();
    const wide_int remaining = wide(last_bar_index) - m.bar_index();
    maybe_only_draw_from_recent = remaining < m.template setting<Setting::bar_count_to_snib>();
  }

  bool new_snib_found = false;
  // All four values are read before any is tested.
  const std::array<raw_value_t<M>, 4> values{
      raw_value(m, m.pivot_series(PivotKind::normal_high), 0),
      raw_value(m, m.pivot_series(PivotKind::normal_low), 0),
      raw_value(m, m.pivot_series(PivotKind::trending_high), 0),
      raw_value(m, m.pivot_series(PivotKind::trending_low), 0),
  };
  const auto take = [&]<std::size_t K>() {
    if (take_pivot<M, Trend, Cap, K>(m, values[K], is_ma_trending, close_avg_percent,
                                     within_time_range, maybe_only_draw_from_recent))
      new_snib_found = true;
  };
  take.template operator()<0>();
  take.template operator()<1>();
  take.template operator()<2>();
  take.template operator()<3>();
  return new_snib_found;
}

// Moves every pending pivot to the processed list, last pending first.
template <class M>
void add_new_snibs_to_processed_array(M& m) {
  while (m.new_snib_count() > 0) m.pop_new_snib_to_vip();
}

}  // namespace torvex::core
