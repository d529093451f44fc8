#pragma once
// Sums of doubles in the order numpy's add.reduce makes them over a contiguous run (as
// sliding_window_view(values, n).sum(axis=1) does for each window): pairwise, in blocks of up
// to 128 values, each block summed by eight interleaved accumulators, the result added to the
// reduction's starting 0.0. A running sum rounds differently; a streaming host that must equal
// the whole-column means sums each window this way.
#include <cstddef>

namespace torvex::core {

// numpy's pairwise summation of n values.
inline double numpy_pairwise_sum(const double* a, std::size_t n) {
  if (n < 8) {
    double sum = -0.0;  // keeps a sum of negative zeros negative, as numpy does
    for (std::size_t i = 0; i < n; ++i) sum += a[i];
    return sum;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - n % 8; i += 8)
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) sum += a[i];
    return sum;
  }
  std::size_t half = n / 2;
  half -= half % 8;
  return numpy_pairwise_sum(a, half) + numpy_pairwise_sum(a + half, n - half);
}

// add.reduce over n values: the pairwise sum added to the reduction's starting value.
inline double numpy_sum(const double* a, std::size_t n) {
  return 0.0 + numpy_pairwise_sum(a, n);
}

// mean(axis=...) of one window: its sum divided by its length.
inline double numpy_mean(const double* a, std::size_t n) {
  return numpy_sum(a, n) / static_cast<double>(n);
}

}  // namespace torvex::core
