#pragma once
// Extension of lines to their first crossing bar, and the count of later crossings: on the
// current bar (extend_kerd_to_first_cross) and replayed over the bars since each line's end
// (extend_kerd_to_first_cross_from_history).
//
// A bar straddles a line when the extremes of its open, high, low and close lie strictly on
// both sides of the level; it is a counted cross when its body (only_body_cross) or its
// extremes do. A line is unextended, extended (at extend_end_bar_index) or checked (its first
// straddling bar after the extension has been seen).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/engine_arith.hpp"
#include "core/model.hpp"
#include "core/pymath.hpp"

namespace torvex::core {

// One bar's prices, each series read once.
struct BarPrices {
  double close, open, high, low;
};

// The engine's four price series, fetched once per operation.
template <class M>
struct PriceSeries {
  typename M::SeriesRef close, open, high, low;
};

template <class M>
PriceSeries<M> price_series(M& m) {
  return PriceSeries<M>{m.close(), m.open(), m.high(), m.low()};
}

template <class M>
BarPrices read_bar(M& m, const PriceSeries<M>& series, int64_t offset) {
  BarPrices bar;
  bar.close = m.value(series.close, offset);
  bar.open = m.value(series.open, offset);
  bar.high = m.value(series.high, offset);
  bar.low = m.value(series.low, offset);
  return bar;
}

// A bar's extent for the two cross tests.
struct CrossBand {
  double ohlc_min, ohlc_max, bar_min, bar_max;

  bool straddles(double level) const { return ohlc_min < level && ohlc_max > level; }
  bool counts(double level) const { return bar_min < level && bar_max > level; }
};

// only_body_cross is read once for each end of the counted extent.
template <class M>
CrossBand cross_band(M& m, const BarPrices& bar) {
  const double ohlc_min = py_min(bar.close, bar.open, bar.high, bar.low);
  const double ohlc_max = py_max(bar.close, bar.open, bar.high, bar.low);
  const double body_min = py_min(bar.close, bar.open);
  const double body_max = py_max(bar.close, bar.open);
  const double bar_min = m.template setting<Setting::only_body_cross>() ? body_min : ohlc_min;
  const double bar_max = m.template setting<Setting::only_body_cross>() ? body_max : ohlc_max;
  return {ohlc_min, ohlc_max, bar_min, bar_max};
}

// A checked line on a straddling bar: count it when it is a counted cross, then either move the
// line's post-extension end to this bar or, past the tolerance, mark the line violated.
template <class M>
void apply_checked_rule(M& m, typename M::Line line, const CrossBand& band, int64_t bar) {
  const double level = m.template get<KerdAttr::kerd_value>(line);
  if (!band.straddles(level)) return;
  if (band.counts(level)) {
    const int64_t count = m.template get<KerdAttr::bar_crosses_post_extend>(line);
    m.template set<KerdAttr::bar_crosses_post_extend>(line, narrow_index(wide(count) + 1));
  }
  const int64_t count = m.template get<KerdAttr::bar_crosses_post_extend>(line);
  if (count <= m.template setting<Setting::kerd_extend_bar_cross_threshold>())
    m.template set<KerdAttr::post_extend_end_bar_index>(line, bar);
  else
    m.template set<KerdAttr::violated>(line, true);
}

// An extended, unchecked line on a straddling bar after its extension bar: the first cross.
// The order of the last two writes differs between the two operations.
enum class FirstCrossOrder { checked_first, end_first };

template <class M>
void apply_first_cross_rule(M& m, typename M::Line line, const CrossBand& band, int64_t bar,
                            FirstCrossOrder order) {
  const double level = m.template get<KerdAttr::kerd_value>(line);
  if (!band.straddles(level)) return;
  if (band.counts(level)) {
    const int64_t count = m.template get<KerdAttr::bar_crosses_post_extend>(line);
    m.template set<KerdAttr::bar_crosses_post_extend>(line, narrow_index(wide(count) + 1));
  }
  if (order == FirstCrossOrder::checked_first) {
    m.template set<KerdAttr::historical_extend_bar_crosses_checked>(line, true);
    m.template set<KerdAttr::post_extend_end_bar_index>(line, bar);
  } else {
    m.template set<KerdAttr::post_extend_end_bar_index>(line, bar);
    m.template set<KerdAttr::historical_extend_bar_crosses_checked>(line, true);
  }
}

// Line writes held back for a scope where the model can hold them (HoldsLineWrites): the
// rules write a line's state bar after bar, and only its last state may be seen.
template <class M>
class HeldLineWrites {
 public:
  explicit HeldLineWrites(M& m) : m_(m) {
    if constexpr (HoldsLineWrites<M>) m_.hold_line_writes();
  }
  HeldLineWrites(const HeldLineWrites&) = delete;
  HeldLineWrites& operator=(const HeldLineWrites&) = delete;
  ~HeldLineWrites() {
    if constexpr (HoldsLineWrites<M>)
      if (!released_) m_.release_line_writes_on_error();
  }
  void release() {
    released_ = true;
    if constexpr (HoldsLineWrites<M>) m_.release_line_writes();
  }

 private:
  M& m_;
  bool released_ = false;
};

// Carries every line through the current bar: extends unextended lines at a straddling bar
// whose time differs from the line's end time, checks extended lines at their next straddling
// bar, and counts crossings of checked lines.
template <class M>
void extend_kerd_to_first_cross(M& m) {
  const std::size_t kerd_size = m.kerd_count();
  if (kerd_size == 0) return;
  // The current bar's prices do not depend on the line.
  const BarPrices bar = read_bar(m, price_series(m), 0);
  HeldLineWrites<M> writes(m);
  for (std::size_t x = 0; x < kerd_size; ++x) {
    const typename M::Line line = m.kerd_at(x);
    const CrossBand band = cross_band(m, bar);
    // Operands are read left to right, as the conditions read.
    const auto after_extension_bar = [&] {
      const int64_t bar = m.bar_index();
      return bar > m.template get<KerdAttr::extend_end_bar_index>(line);
    };
    const auto time_differs = [&] {
      const double time = m.value(m.time(), 0);
      return time != m.template get<KerdAttr::end_time>(line);
    };
    if (m.template get<KerdAttr::extended>(line) &&
        !m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line) &&
        after_extension_bar()) {
      apply_first_cross_rule(m, line, band, m.bar_index(), FirstCrossOrder::checked_first);
    } else if (m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line)) {
      apply_checked_rule(m, line, band, m.bar_index());
    } else {
      const double level = m.template get<KerdAttr::kerd_value>(line);
      if (band.straddles(level) && time_differs()) {
        m.template set<KerdAttr::extended>(line, true);
        m.template set<KerdAttr::extend_end_bar_index>(line, m.bar_index());
      }
    }
  }
  writes.release();
}

// A bar of the replay that straddles the line: its y (offset -y) and extent.
struct StraddlingBar {
  int64_t y;
  CrossBand band;
};

// The oldest bar from offset -from_y up to the current bar that straddles `level`. Every bar
// up to it is read, with its extent, as the replay reads it; a model that can search its bars
// directly (m.find_straddle, when m.can_find_straddle allows) reads only the bar it finds.
template <class M>
std::optional<StraddlingBar> next_straddling_bar(M& m, const PriceSeries<M>& series, double level,
                                                 int64_t from_y) {
  if constexpr (SearchesStraddles<M>) {
    bool searchable = true;
    if constexpr (GatesStraddleSearch<M>)
      searchable = m.can_find_straddle(series.close, series.open, series.high, series.low);
    if (searchable) {
      const int64_t y =
          m.find_straddle(series.close, series.open, series.high, series.low, level, from_y);
      if (y < 0) return std::nullopt;
      return StraddlingBar{y, cross_band(m, read_bar(m, series, -y))};
    }
  }
  for (int64_t y = from_y; y >= 0; --y) {
    const CrossBand band = cross_band(m, read_bar(m, series, -y));
    if (band.straddles(level)) return StraddlingBar{y, band};
  }
  return std::nullopt;
}

// The replay's rules for one bar at offset -y, as written: the line's state is read on every
// bar, and only a straddling bar changes it. Unlike the current-bar operation, extension needs
// the bar's time to be strictly later than the line's end time, and an extended, unchecked
// line is left alone on bars up to its extension bar.
template <class M>
void replay_bar(M& m, typename M::Line line, const CrossBand& band, double level, int64_t y) {
  const int64_t bar = narrow_index(wide(m.bar_index()) - y);
  if (m.template get<KerdAttr::extended>(line)) {
    if (!m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line) &&
        bar > m.template get<KerdAttr::extend_end_bar_index>(line)) {
      apply_first_cross_rule(m, line, band, bar, FirstCrossOrder::end_first);
    } else if (m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line)) {
      apply_checked_rule(m, line, band, bar);
    }
  } else if (band.straddles(level) &&
             m.template get<KerdAttr::end_time>(line) < m.value(m.time(), -y)) {
    m.template set<KerdAttr::extend_end_bar_index>(line, bar);
    m.template set<KerdAttr::extended>(line, true);
  }
}

// Whether the reads of the line's state on a bar that does not straddle it can be left out:
// true unless the model says they could be seen (a host line lacking an attribute, or with a
// hook on one).
template <class M>
bool line_reads_unseen(M& m, typename M::Line line) {
  if constexpr (SaysLineReadsUnseen<M>)
    return m.line_reads_unseen(line);
  else
    return true;
}

// Replays the rules for one unchecked line over the bars from its end to the current bar,
// oldest first. A bar that does not straddle the line changes nothing in any state, so where
// reading the line's state is unseen only straddling bars are visited.
template <class M>
void replay_kerd_history(M& m, const PriceSeries<M>& series, typename M::Line line,
                         int64_t bar_count_to_loop) {
  // No rule changes the level.
  const double level = m.template get<KerdAttr::kerd_value>(line);
  int64_t from_y = std::max<int64_t>(bar_count_to_loop - 1, 0);
  if (!line_reads_unseen(m, line)) {
    for (int64_t y = from_y; y >= 0; --y)
      replay_bar(m, line, cross_band(m, read_bar(m, series, -y)), level, y);
    return;
  }
  while (const std::optional<StraddlingBar> hit = next_straddling_bar(m, series, level, from_y)) {
    replay_bar(m, line, hit->band, level, hit->y);
    if (hit->y == 0) break;
    from_y = hit->y - 1;
  }
}

// Brings every line up to date: checked lines see the current bar only, the others are
// replayed from the bar after their end.
template <class M>
void extend_kerd_to_first_cross_from_history(M& m) {
  const std::size_t kerd_size = m.kerd_count();
  if (kerd_size == 0) return;
  const PriceSeries<M> series = price_series(m);
  HeldLineWrites<M> writes(m);
  for (std::size_t x = 0; x < kerd_size; ++x) {
    const typename M::Line line = m.kerd_at(x);
    const int64_t bar_index = m.bar_index();
    const wide_int bar_count_to_loop =
        wide(bar_index) - m.template get<KerdAttr::end_bar_index>(line);
    const CrossBand band = cross_band(m, read_bar(m, series, 0));
    if (m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line)) {
      apply_checked_rule(m, line, band, m.bar_index());
      continue;
    }
    // Only max(bar_count_to_loop - 1, 0) matters; a count beyond any series' reach fails at
    // its first read.
    const int64_t loop = static_cast<int64_t>(
        std::clamp<wide_int>(bar_count_to_loop, 0, std::numeric_limits<int64_t>::max()));
    replay_kerd_history(m, series, line, loop);
  }
  writes.release();
}

}  // namespace torvex::core
