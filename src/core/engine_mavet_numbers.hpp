#pragma once
// Arithmetic shared by window tracking and the window checks, kept to the exact order of
// operations of the host language so that prices agree to the last bit.
#include <cstdint>
#include <limits>
#include <type_traits>

#include "core/host_value.hpp"

namespace torvex::core {

// The factor a percentage threshold applies to a price: ((percent * 0.01) * threshold) + 1.
inline double margin_factor(double close_avg_percent, double threshold) {
  return close_avg_percent * 0.01 * threshold + 1;
}

// A margin factor computed from two caller numbers at its first use, the percentage converted
// before the threshold as the product evaluates them.
template <class M, class N>
class LazyFactor {
 public:
  LazyFactor(LazyNumber<M, N>& percent, const M& m, const N& threshold)
      : percent_(percent), threshold_(m, threshold) {}

  double get() {
    if (!ready_) {
      const double percent = percent_.get();
      factor_ = margin_factor(percent, threshold_.get());
      ready_ = true;
    }
    return factor_;
  }

 private:
  LazyNumber<M, N>& percent_;
  LazyNumber<M, N> threshold_;
  double factor_ = 0;
  bool ready_ = false;
};

// A whole number of bars handed in by a caller (a range bound): native callers pass integers,
// the Python model converts the host's object with m.count(x).
template <class M, class C>
int64_t as_count(const M& m, const C& value) {
  if constexpr (std::is_integral_v<C>)
    return static_cast<int64_t>(value);
  else
    return m.count(value);
}

// a - b for comparison with a host number. Exact while the difference fits 64 bits (bar
// indices always do); a host value far outside that range still compares on the right side
// instead of wrapping around.
inline double index_difference(int64_t a, int64_t b) {
  int64_t difference;
  if (__builtin_sub_overflow(a, b, &difference))
    return static_cast<double>(a) - static_cast<double>(b);
  return static_cast<double>(difference);
}

// a - b as a series offset; saturates where the series' own range check rejects it anyway.
inline int64_t offset_difference(int64_t a, int64_t b) {
  constexpr int64_t far = std::numeric_limits<int64_t>::max() / 2;
  int64_t difference;
  if (__builtin_sub_overflow(a, b, &difference)) return a < b ? -far : far;
  if (difference > far) return far;
  if (difference < -far) return -far;
  return difference;
}

}  // namespace torvex::core
