#pragma once
// The kit's host inputs computed as bars arrive: the four pivot series (a pivot reported m bars
// after its bar), the trend flag and the average range of each new bar, equal bit for bit to
// the whole-column functions of torvex.kit.indicators at that bar. Work and memory per bar are
// bounded by the windows: each value is computed over the window that decides it, and each
// mean sums its window in numpy's order (core/numpy_sum.hpp), never as a running sum.
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "core/error.hpp"
#include "core/numpy_sum.hpp"
#include "core/trail.hpp"

namespace torvex::core {

// The windows of the inputs; pivot widths in intake order (normal high, normal low, trending
// high, trending low).
struct InputSettings {
  struct Width {
    int64_t n = 0, m = 0;
  };
  std::array<Width, 4> pivots{};
  int64_t trend_ma_length = 1;
  int64_t trend_slope_bars = 1;
  double trend_slope_percent = 0.0;
  int64_t close_avg_length = 1;
};

// One bar's inputs, in the order a host hands them to the engine.
struct BarInputs {
  double normal_high_snib, normal_low_snib, trending_high_snib, trending_low_snib;
  bool is_ma_trending;
  double close_avg_percent;
};

// The names of the settings, for messages, in InputSettings' order.
inline constexpr std::array<const char*, 8> kPivotWidthNames{
    "high_snib_n",          "high_snib_m",          "low_snib_n",          "low_snib_m",
    "high_snib_n_on_trend", "high_snib_m_on_trend", "low_snib_n_on_trend", "low_snib_m_on_trend"};

// Fails, naming the setting, where the whole-column functions refuse a window.
inline void check_input_settings(const InputSettings& s) {
  const auto need = [](int64_t value, int64_t least, const char* name) {
    if (value < least)
      throw Error(ErrorKind::value, std::string(name) + " must be at least " +
                                        std::to_string(least) + ", not " + std::to_string(value));
  };
  for (std::size_t k = 0; k < s.pivots.size(); ++k) {
    need(s.pivots[k].n, 0, kPivotWidthNames[2 * k]);
    need(s.pivots[k].m, 0, kPivotWidthNames[2 * k + 1]);
  }
  need(s.trend_ma_length, 1, "trend_ma_length");
  need(s.trend_slope_bars, 1, "trend_slope_bars");
  need(s.close_avg_length, 1, "close_avg_length");
}

class LiveInputs {
 public:
  explicit LiveInputs(const InputSettings& settings) : s_(settings) { check_input_settings(s_); }

  // Takes the next bar and returns its inputs.
  BarInputs add(double high, double low, double close) {
    highs_.push(high);
    lows_.push(low);
    closes_.push(close);
    ranges_.push((high - low) / close * 100.0);
    ++bars_;
    BarInputs out;
    out.normal_high_snib = pivot<true>(highs_, s_.pivots[0]);
    out.normal_low_snib = pivot<false>(lows_, s_.pivots[1]);
    out.trending_high_snib = pivot<true>(highs_, s_.pivots[2]);
    out.trending_low_snib = pivot<false>(lows_, s_.pivots[3]);
    out.is_ma_trending = trending();
    out.close_avg_percent = average_range();
    trim();
    return out;
  }

  int64_t bars() const { return bars_; }
  const InputSettings& settings() const { return s_; }

  // ---- state, for copies that live apart (pickling): the bars taken and the trailing values
  struct State {
    int64_t bars = 0;
    double warm_sum = 0.0;
    std::span<const double> highs, lows, closes, ranges, averages;
  };
  State state() const {
    return {bars_,         warm_sum_,     highs_.all(),   lows_.all(),
            closes_.all(), ranges_.all(), averages_.all()};
  }
  // Fails unless `state` is one that bars under these settings could have left.
  void restore(const State& state) {
    const auto fits = [&](std::span<const double> values, std::size_t most) {
      return values.size() == std::min<uint64_t>(static_cast<uint64_t>(state.bars), most);
    };
    if (state.bars < 0 || !fits(state.highs, high_span()) || !fits(state.lows, low_span()) ||
        !fits(state.closes, clamp(s_.trend_ma_length)) ||
        !fits(state.ranges, clamp(s_.close_avg_length)) ||
        !fits(state.averages, clamp(s_.trend_slope_bars) + 1))
      throw Error(ErrorKind::value, "the inputs' state does not fit their settings");
    bars_ = state.bars;
    warm_sum_ = state.warm_sum;
    highs_.assign(state.highs);
    lows_.assign(state.lows);
    closes_.assign(state.closes);
    ranges_.assign(state.ranges);
    averages_.assign(state.averages);
  }

 private:
  // A window length as a count of values to keep (a window longer than any history is kept
  // whole as it arrives).
  static std::size_t clamp(int64_t length) {
    constexpr auto most = static_cast<int64_t>(std::numeric_limits<std::size_t>::max() / 4);
    return static_cast<std::size_t>(std::min(length, most));
  }
  static std::size_t span_of(InputSettings::Width w) { return clamp(w.n) + clamp(w.m) + 1; }
  std::size_t high_span() const { return std::max(span_of(s_.pivots[0]), span_of(s_.pivots[2])); }
  std::size_t low_span() const { return std::max(span_of(s_.pivots[1]), span_of(s_.pivots[3])); }

  // The pivot reported on the newest bar: the bar m back is one when it is strictly beyond each
  // of the n bars before it and at least level with each of the m after it (highs; lows mirror
  // it). A NaN anywhere in the window makes no pivot, as numpy's maximum propagates it. None is
  // NaN, with the sign the whole-column function leaves (lows are negated twice).
  template <bool High>
  double pivot(const Trail& values, InputSettings::Width w) const {
    const double none =
        High ? std::numeric_limits<double>::quiet_NaN() : -std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = clamp(w.n), m = clamp(w.m);
    if (static_cast<uint64_t>(bars_) < n + m + 1) return none;
    const std::span<const double> window = values.newest(n + m + 1);
    const double v = window[n];
    const auto beyond = [](double a, double b) { return High ? a > b : a < b; };
    const auto level = [](double a, double b) { return High ? a >= b : a <= b; };
    bool keep = true;
    for (std::size_t i = 0; i < n && keep; ++i) keep = beyond(v, window[i]);
    for (std::size_t i = n + 1; i <= n + m && keep; ++i) keep = level(v, window[i]);
    return keep ? v : none;
  }

  // Whether the moving average of the closes moved at least trend_slope_percent percent over
  // the last trend_slope_bars bars; false while either average is missing.
  bool trending() {
    const std::size_t length = clamp(s_.trend_ma_length);
    const double average = static_cast<uint64_t>(bars_) >= length
                               ? numpy_mean(closes_.newest(length).data(), length)
                               : std::numeric_limits<double>::quiet_NaN();
    averages_.push(average);
    const std::size_t slope = clamp(s_.trend_slope_bars);
    if (static_cast<uint64_t>(bars_) <= slope) return false;
    const double then = averages_.back(slope);
    return std::fabs(average - then) * 100.0 >= s_.trend_slope_percent * std::fabs(then);
  }

  // The mean range in percent of the close over the last close_avg_length bars; over the first
  // bars the mean of those so far, summed in order as a cumulative sum is.
  double average_range() {
    const std::size_t length = clamp(s_.close_avg_length);
    if (static_cast<uint64_t>(bars_) < length) {
      warm_sum_ += ranges_.back(0);
      return warm_sum_ / static_cast<double>(bars_);
    }
    return numpy_mean(ranges_.newest(length).data(), length);
  }

  void trim() {
    highs_.keep_newest(high_span());
    lows_.keep_newest(low_span());
    closes_.keep_newest(clamp(s_.trend_ma_length));
    ranges_.keep_newest(clamp(s_.close_avg_length));
    averages_.keep_newest(clamp(s_.trend_slope_bars) + 1);
  }

  InputSettings s_;
  int64_t bars_ = 0;
  double warm_sum_ = -0.0;  // the cumulative sum of the first ranges, from the first itself
  Trail highs_, lows_, closes_, ranges_, averages_;
};

}  // namespace torvex::core
