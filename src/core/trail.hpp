#pragma once
// The newest values of a series that arrives one value at a time, kept contiguous, oldest
// first, for windows over the latest bars. Values dropped from the front cost nothing until
// they are as many as a margin over those kept; then the kept ones move to the front, so the
// cost per value stays constant and the memory at most twice what is kept.
#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace torvex::core {

class Trail {
 public:
  void push(double value) { values_.push_back(value); }

  // Drops the `count` oldest values kept (all of them at most).
  void drop(std::size_t count) {
    first_ += std::min(count, size());
    if (first_ >= std::max<std::size_t>(size(), kMargin)) compact();
  }
  // Drops the oldest values beyond the newest `count`.
  void keep_newest(std::size_t count) {
    if (size() > count) drop(size() - count);
  }

  std::size_t size() const { return values_.size() - first_; }
  // The newest `count` values (at most size()), oldest first.
  std::span<const double> newest(std::size_t count) const {
    return {values_.data() + (values_.size() - count), count};
  }
  std::span<const double> all() const { return newest(size()); }
  const double* data() const { return values_.data() + first_; }
  // The value `back` values before the newest (0: the newest).
  double back(std::size_t back) const { return values_[values_.size() - 1 - back]; }

  // Storage held, in values (for memory accounting).
  std::size_t capacity() const { return values_.capacity(); }
  void assign(std::span<const double> values) {
    values_.assign(values.begin(), values.end());
    first_ = 0;
  }

 private:
  static constexpr std::size_t kMargin = 64;
  void compact() {
    values_.erase(values_.begin(), values_.begin() + static_cast<std::ptrdiff_t>(first_));
    first_ = 0;
    if (values_.capacity() > 4 * std::max<std::size_t>(values_.size(), kMargin))
      values_.shrink_to_fit();
  }

  std::vector<double> values_;
  std::size_t first_ = 0;
};

}  // namespace torvex::core
