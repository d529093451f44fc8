#pragma once
// Window tracking: opening windows on broken lines, ageing them out from the front, and
// committing the bar of the latest acted-on window per tick-rounded price.
//
// The caller's numbers (N) and the search range (C) are converted where they are first used,
// so a call that never reaches a use never looks at the value.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/engine_mavet_numbers.hpp"
#include "core/host_value.hpp"
#include "core/kerd.hpp"
#include "core/model.hpp"
#include "core/pymath.hpp"
#include "core/records.hpp"

namespace torvex::core {

// The closes at or above `level` over offsets -range to -1, counted in place when the series'
// reads are unseen and all in reach; false when they must be read one by one. In place, a line
// the previous close is below is left uncounted (-1 in count): its count is never used.
template <class M, class S>
bool count_closes_directly(M& m, const S& close, int64_t range, double level, int64_t& count) {
  if constexpr (ViewsSeries<M>) {
    const std::optional<SeriesView> closes = m.view(close);
    if (!closes || !closes->reaches(range, 1)) return false;
    const double* oldest = closes->at_y(range);
    if (oldest[range - 1] < level) {
      count = -1;
      return true;
    }
    for (int64_t i = 0; i < range; ++i) count += oldest[i] >= level;
    return true;
  } else {
    return false;
  }
}

// The closes at or above `level` over offsets -range to -1, read from the oldest; -1 where it is
// known without them that the previous close is below the level (count_closes_directly).
template <class M>
int64_t count_closes_above(M& m, int64_t range, double level) {
  int64_t count = 0;
  if (range < 1) return count;
  auto&& close = m.close();
  if (count_closes_directly(m, close, range, level, count)) return count;
  for (int64_t y = range; y >= 1; --y)
    if (m.value(close, -y) >= level) ++count;
  return count;
}

// The prices the window tests below compare with a line's level on the current bar (the closes
// back to -range, oldest first, up to the current one, and the current low), gathered once for
// all lines; unusable where the series do not store them all or one is NaN.
struct WindowTestPrices {
  bool gathered = false, usable = false;
  const double* closes = nullptr;
  int64_t count = 0;
  double low = 0.0, lowest = 0.0, highest = 0.0;
};

// For a line whose value awaits weighing, a value of the range that holds it with which the
// window tests below answer as with the weighed value: the prices they compare, and the low
// against the level's near band, all fall alike for every value of the range. Nothing
// otherwise, and for a model that weighs at once.
template <class M, class N, class C>
std::optional<double> level_stand_in(M& m, const typename M::Line& line, const C& search_range,
                                     LazyFactor<M, N>& near_factor, WindowTestPrices& prices) {
  if constexpr (WeighsLater<M> && ViewsSeries<M> && std::is_arithmetic_v<N> &&
                std::is_integral_v<C>) {
    const std::optional<ValueRange> level = m.unweighed_value_range(line);
    if (!level) return std::nullopt;
    if (!prices.gathered) {
      prices.gathered = true;
      const int64_t range = as_count(m, search_range);
      const std::optional<SeriesView> closes = m.view(m.close()), lows = m.view(m.low());
      if (range < 1 || !closes || !lows || !closes->reaches(range, 0) || !lows->reaches(0, 0))
        return std::nullopt;
      prices.closes = closes->at_y(range);
      prices.count = range + 1;
      prices.low = *lows->at_y(0);
      prices.lowest = prices.highest = prices.low;
      prices.usable = !std::isnan(prices.low);
      for (int64_t i = 0; i < prices.count; ++i) {
        const double close = prices.closes[i];
        prices.usable = prices.usable && !std::isnan(close);
        prices.lowest = std::min(prices.lowest, close);
        prices.highest = std::max(prices.highest, close);
      }
    }
    if (!prices.usable) return std::nullopt;
    // Most lines lie clear of all the prices, on one side.
    if (!(level->low > prices.highest || level->high < prices.lowest)) {
      const auto apart = [&](double price) { return price < level->low || price > level->high; };
      for (int64_t i = 0; i < prices.count; ++i)
        if (!apart(prices.closes[i])) return std::nullopt;
      if (!apart(prices.low)) return std::nullopt;
    }
    if (prices.low > level->high) {
      // The near test then weighs the level by the factor, which is monotone while finite.
      const double factor = near_factor.get();
      if (!std::isfinite(factor) ||
          (level->low * factor >= prices.low) != (level->high * factor >= prices.low))
        return std::nullopt;
    }
    return level->low;
  } else {
    return std::nullopt;
  }
}

// Opens a window on every line the current bar breaks (or whose level its low comes within
// the threshold of), then drops expired windows from the front of the window list.
template <class M, class N, class C>
void update_mavet(M& m, const N& trap_recover_window_threshold, const C& search_range,
                  const N& low_above_kerd_threshold, const N& close_avg_percent) {
  LazyNumber<M, N> percent(m, close_avg_percent);
  LazyFactor<M, N> near_factor(percent, m, low_above_kerd_threshold);
  std::optional<int64_t> range;
  WindowTestPrices prices;

  const std::size_t kerd_size = m.kerd_count();
  for (std::size_t x = 0; x < kerd_size; ++x) {
    auto line = m.kerd_at(x);
    // A value left unweighed is weighed only for a window made on it, or where the bar's prices
    // cannot tell how it compares.
    const std::optional<double> stand_in =
        level_stand_in(m, line, search_range, near_factor, prices);
    const double kerd_value = stand_in ? *stand_in : m.template get<KerdAttr::kerd_value>(line);

    // Counted for every line, also those the previous-close gate skips below.
    if (!range) range = as_count(m, search_range);
    const int64_t bar_count_close_above_kerd = count_closes_above(m, *range, kerd_value);
    if (bar_count_close_above_kerd < 0 || m.value(m.close(), -1) < kerd_value) continue;

    const double close = m.value(m.close(), 0);
    const bool close_below_kerd = close < kerd_value;
    const double low = m.value(m.low(), 0);
    const bool break_but_close_above = close > kerd_value && low < kerd_value;
    const bool low_above_current_kerd = low > kerd_value && kerd_value * near_factor.get() >= low;
    if (!(close_below_kerd || break_but_close_above || low_above_current_kerd)) continue;

    // All values are taken before any is converted, as a constructor call evaluates its
    // arguments first; a value that does not fit leaves the window unmade.
    const int64_t bar_index = m.bar_index();
    const int64_t extend_bar_cross = m.template get<KerdAttr::bar_crosses_post_extend>(line);
    const auto snib_count = static_cast<int64_t>(m.snib_count(line));
    Mavet window;
    window.break_kerd_at_price = stand_in ? m.template get<KerdAttr::kerd_value>(line) : kerd_value;
    window.break_kerd_at_bar_index = to_int32(bar_index);
    window.recover_at_bar_index = -1;
    window.break_kerd_extend_bar_cross = to_int32(extend_bar_cross);
    window.bar_count_close_above_kerd = to_int32(bar_count_close_above_kerd);
    window.vip_snib_count = to_int32(snib_count);
    m.append_mavet(window);
  }

  if (m.mavet_count() == 0) return;
  // Only the front is examined: an expired window behind a live one waits its turn.
  const double lifetime = as_number(m, trap_recover_window_threshold) * 3;
  while (m.mavet_count() > 0) {
    const auto front = m.mavet_at(0);
    const auto broke_at = m.template window<MavetField::break_kerd_at_bar_index>(front);
    if (!(static_cast<double>(broke_at) + lifetime < static_cast<double>(m.bar_index()))) break;
    m.remove_first_mavet();
  }
}

// Records the current bar as the latest commit of the window level's rounded price. The price
// goes to the tick rounding as the caller gave it.
template <class M, class P>
void commit_latest_mavet(M& m, const P& break_kerd_at_price) {
  auto rounded_price = m.round_key(break_kerd_at_price);
  const int64_t bar_index = m.bar_index();
  m.latest_set(rounded_price, bar_index);
}

}  // namespace torvex::core
