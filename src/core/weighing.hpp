#pragma once
// Weighing lists of pivot values: the sums of one weighted mean, and many lists weighed side by
// side, each exactly as calculate_weighted_kerd_value (core/kerd.hpp) weighs one.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace torvex::core {

// The sums of a weighted mean, each value added in index order from 0.0, which fixes the
// floating-point result.
struct WeightedSums {
  double norm = 0.0;
  double sum_val = 0.0;

  void add(double value, double weight) {
    norm = norm + weight;
    sum_val = sum_val + value * weight;
  }
  double mean() const { return norm != 0.0 ? sum_val / norm : 0.0; }
};

// All values of a list but the last two carry the general weight.
inline std::size_t general_count(std::size_t snib_count) {
  return snib_count >= 2 ? snib_count - 2 : 0;
}

// One list to weigh with plain weights, and where its value goes.
struct WeighJob {
  std::span<const double> values;
  double last, second_last, general;
  double* out;
};

// The norms of runs of one general weight, each added one at a time from 0.0 as a weighing
// adds them: element k is the norm after k values. Kept from one batch of weighings to the next
// while the weight stays, and grown as longer lists come.
class NormTable {
 public:
  // The norms of up to `count` values of weight `weight`.
  const double* upto(double weight, std::size_t count) {
    if (norms_.empty() || std::bit_cast<uint64_t>(weight) != weight_bits_) {
      norms_.assign(1, 0.0);
      weight_bits_ = std::bit_cast<uint64_t>(weight);
    }
    while (norms_.size() <= count) norms_.push_back(norms_.back() + weight);
    return norms_.data();
  }

 private:
  std::vector<double> norms_;
  uint64_t weight_bits_ = 0;
};

namespace detail {

// The rest of a job whose first `done` general values are in `sums`.
inline void finish_weighing(const WeighJob& job, WeightedSums sums, std::size_t done) {
  const std::span<const double> v = job.values;
  for (std::size_t x = done; x < general_count(v.size()); ++x) sums.add(v[x], job.general);
  if (v.size() >= 2) sums.add(v[v.size() - 2], job.second_last);
  if (!v.empty()) sums.add(v.back(), job.last);
  *job.out = sums.mean();
}

typedef double LanePair __attribute__((vector_size(16)));

// Jobs weighed eight at a time, one per lane: each lane adds its own job's general values in
// their order, and a lane whose job is done takes the next, so that the lanes stay busy
// whatever the lengths. One sum waits on each addition; eight side by side do not wait on one
// another. With `norms`, every job's general weight is the table's and its norm is read from
// it; otherwise each lane adds its own.
template <bool kTable>
void weigh_in_lanes(std::span<const WeighJob> jobs, const double* norms) {
  constexpr std::size_t kLanes = 8, kPairs = kLanes / 2;
  constexpr std::size_t kIdle = std::numeric_limits<std::size_t>::max();
  double sum[kLanes], norm[kLanes], weight[kLanes];
  const double* at[kLanes];
  std::size_t left[kLanes], job[kLanes];
  std::size_t next = 0;
  const auto take = [&](std::size_t lane) {
    job[lane] = next < jobs.size() ? next++ : kIdle;
    sum[lane] = norm[lane] = weight[lane] = 0.0;
    if (job[lane] == kIdle) return;
    at[lane] = jobs[job[lane]].values.data();
    left[lane] = general_count(jobs[job[lane]].values.size());
    weight[lane] = jobs[job[lane]].general;
  };
  for (std::size_t lane = 0; lane < kLanes; ++lane) take(lane);
  for (;;) {
    std::size_t steps = kIdle, donor = kIdle;
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      while (job[lane] != kIdle && left[lane] == 0) {
        const WeighJob& done = jobs[job[lane]];
        const std::size_t count = general_count(done.values.size());
        finish_weighing(done, {kTable ? norms[count] : norm[lane], sum[lane]}, count);
        take(lane);
      }
      if (job[lane] == kIdle) continue;
      steps = std::min(steps, left[lane]);
      if (donor == kIdle || left[lane] > left[donor]) donor = lane;
    }
    if (donor == kIdle) return;
    // An idle lane reads the longest job's values alongside it, and its sums are dropped.
    for (std::size_t lane = 0; lane < kLanes; ++lane)
      if (job[lane] == kIdle) at[lane] = at[donor];
    LanePair sums[kPairs], norms_of[kPairs], weights[kPairs];
    for (std::size_t p = 0; p < kPairs; ++p) {
      sums[p] = LanePair{sum[2 * p], sum[2 * p + 1]};
      norms_of[p] = LanePair{norm[2 * p], norm[2 * p + 1]};
      weights[p] = LanePair{weight[2 * p], weight[2 * p + 1]};
    }
    for (std::size_t x = 0; x < steps; ++x) {
      for (std::size_t p = 0; p < kPairs; ++p) {
        const LanePair values{at[2 * p][x], at[2 * p + 1][x]};
        sums[p] = sums[p] + values * weights[p];
        if constexpr (!kTable) norms_of[p] = norms_of[p] + weights[p];
      }
    }
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      sum[lane] = sums[lane / 2][lane % 2];
      norm[lane] = norms_of[lane / 2][lane % 2];
      at[lane] += steps;
      if (job[lane] != kIdle) left[lane] -= steps;
    }
  }
}

}  // namespace detail

// The weighted values of several lists, each exactly as calculate_weighted_kerd_value gives
// it. When all share one general weight, their norms come from `norms` (if given).
inline void weigh_together(std::span<const WeighJob> jobs, NormTable* norms = nullptr) {
  if (jobs.empty()) return;
  bool shared = norms != nullptr;
  std::size_t longest = 0;
  for (const WeighJob& job : jobs) {
    shared = shared &&
             std::bit_cast<uint64_t>(job.general) == std::bit_cast<uint64_t>(jobs.front().general);
    longest = std::max(longest, general_count(job.values.size()));
  }
  if (shared)
    detail::weigh_in_lanes<true>(jobs, norms->upto(jobs.front().general, longest));
  else
    detail::weigh_in_lanes<false>(jobs, nullptr);
}

}  // namespace torvex::core
