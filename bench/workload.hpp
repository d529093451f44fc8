#pragma once
// The engine benchmark's market, bar for bar the same as bench/workload.py builds it: a seeded
// random walk of daily-like bars (moves around 1 %), the host-side pivot series (n=5, m=5
// normal; n=3, m=2 trending), trend flags from a moving-average slope and the average bar range
// in percent. Only +, -, *, / and comparisons are used, in the same order as the Python
// version, so both produce identical doubles.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/engine_runner.hpp"
#include "core/native_model.hpp"

namespace torvex::bench {

// The market's columns (is_ma_trending 1.0 while trending, else 0.0) and what a run takes
// besides them.
struct Workload : core::MarketColumns {
  std::vector<double> close_avg_percent;
  core::Settings settings;
  double mintick = 0.01;
};

inline constexpr uint64_t kWorkloadSeed = 20240601;
inline constexpr std::size_t kWorkloadBars = 5000;

// splitmix64, as in bench/workload.py.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  double uniform() {  // in [0, 1)
    state_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
  }

 private:
  uint64_t state_;
};

// Pivot highs of `values` reported m bars after the pivot: strictly above the n bars before
// it, at least as high as the m bars after it. Lows use sign = -1.
inline std::vector<double> pivots(const std::vector<double>& values, int n, int m, double sign) {
  const auto count = static_cast<int64_t>(values.size());
  std::vector<double> reported(values.size(), std::numeric_limits<double>::quiet_NaN());
  for (int64_t p = n; p + m < count; ++p) {
    const double v = sign * values[p];
    bool pivot = true;
    for (int64_t j = p - n; j < p && pivot; ++j) pivot = v > sign * values[j];
    for (int64_t j = p + 1; j <= p + m && pivot; ++j) pivot = v >= sign * values[j];
    if (pivot) reported[p + m] = values[p];
  }
  return reported;
}

// Mean of values[t - length + 1 .. t], summed oldest first; the first bars average what exists.
inline double trailing_mean(const std::vector<double>& values, int64_t t, int64_t length) {
  const int64_t first = t - length + 1 < 0 ? 0 : t - length + 1;
  double sum = 0.0;
  for (int64_t j = first; j <= t; ++j) sum = sum + values[j];
  return sum / static_cast<double>(t - first + 1);
}

inline Workload make_workload(std::size_t bars = kWorkloadBars, uint64_t seed = kWorkloadSeed) {
  Workload w;
  Random random(seed);
  double previous = 100.0;
  for (std::size_t i = 0; i < bars; ++i) {
    const double open = previous * (1.0 + (random.uniform() - 0.5) * 0.004);
    const double close = previous * (1.0 + (random.uniform() - 0.5) * 0.0346);
    const double top = open > close ? open : close;
    const double bottom = open < close ? open : close;
    const double high = top * (1.0 + random.uniform() * 0.006);
    const double low = bottom * (1.0 - random.uniform() * 0.006);
    w.add_bar(open, high, low, close, 1000000000.0 + 86400.0 * static_cast<double>(i));
    previous = close;
  }
  w.normal_high_snib = pivots(w.high, 5, 5, 1.0);
  w.normal_low_snib = pivots(w.low, 5, 5, -1.0);
  w.trending_high_snib = pivots(w.high, 3, 2, 1.0);
  w.trending_low_snib = pivots(w.low, 3, 2, -1.0);

  // Trending while the 20-bar average of the closes moved 1.5 % or more over 5 bars.
  std::vector<double> average(bars);
  for (std::size_t t = 0; t < bars; ++t)
    average[t] = trailing_mean(w.close, static_cast<int64_t>(t), 20);
  std::vector<double> range_percent(bars);
  for (std::size_t t = 0; t < bars; ++t)
    range_percent[t] = (w.high[t] - w.low[t]) / w.close[t] * 100.0;
  for (std::size_t t = 0; t < bars; ++t) {
    bool trending = false;
    if (t >= 25) {
      const double move = average[t] - average[t - 5];
      const double size = move < 0.0 ? -move : move;
      trending = size * 100.0 >= 1.5 * average[t - 5];
    }
    w.is_ma_trending[t] = trending ? 1.0 : 0.0;
    w.close_avg_percent.push_back(trailing_mean(range_percent, static_cast<int64_t>(t), 14));
  }

  core::Settings& s = w.settings;
  s.debug = false;
  core::open_debug_window(s);
  s.draw_from_recent = true;
  s.bar_count_to_snib = 1500;
  core::set_pivot_widths(s, {5, 5}, {5, 5}, {3, 2}, {3, 2});
  s.only_body_cross = true;
  s.kerd_extend_bar_cross_threshold = 3;
  s.allow_reuse_snib = true;
  s.kerd_overlap_ca_percent_multiplier = 0.5;
  s.bar_cross_threshold = 3;
  core::set_snib_weights(s, 3, 2, 1);
  s.kerd_length_threshold = 120;
  return w;
}

// The default workload, built once per benchmark binary.
inline const Workload& shared_workload() {
  static const Workload w = make_workload();
  return w;
}

// The workload's columns as a native engine runner takes them.
inline core::MarketArrays market_arrays(const Workload& w) {
  return w.arrays();
}

}  // namespace torvex::bench
