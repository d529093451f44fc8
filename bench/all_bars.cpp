// The all-bars flow on the native model (a host doing the line work itself, draw_from_recent
// off: see bench/all_bars.py) over the shared benchmark market, and the rebuild's cost against
// the number of processed pivots on a longer market of the same kind.
//
//     build/bench_all_bars [SWEEP_BARS]
//
// bench/all_bars.py runs this and prints its output beside the Python model's figures.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

#include "core/engine_intake.hpp"
#include "core/engine_mavet_host_loop.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_runner.hpp"
#include "workload.hpp"

namespace {

using torvex::bench::market_arrays;
using torvex::bench::Workload;
using torvex::core::NativeEngineRunner;
// CPU time of this process: the machine is shared, and wall time counts the others' work.
double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Workload flow_workload(std::size_t bars) {
  Workload w = torvex::bench::make_workload(bars);
  w.settings.draw_from_recent = false;
  w.settings.only_body_cross = true;
  w.settings.allow_reuse_snib = false;
  return w;
}

// Seconds of one whole run of the flow; the signal count through `signals`.
double run_flow(const Workload& w, std::size_t& signals) {
  torvex::core::WindowLoopArgs args;  // search_range 10, trap_recover_window_threshold 5
  args.all_bars = true;
  signals = 0;
  const double start = cpu_seconds();
  NativeEngineRunner runner(market_arrays(w), w.settings, w.mintick);
  for (std::size_t i = 0; i < w.size(); ++i) {
    const auto bar = torvex::core::run_window_loop_bar(runner, i, w.close_avg_percent[i], args);
    if (bar.result_v2 && bar.result_v2->success && bar.result_v2->success->has_signal) ++signals;
  }
  return cpu_seconds() - start;
}

// As bench/all_bars.py's sweep: the flow's intake over the market, and on the first pivot bar
// where the processed pivots reach each count, the rebuild of that bar timed.
void rebuild_sweep(const Workload& w) {
  const std::vector<std::size_t> counts{100, 250, 500, 1000, 1500, 2000};
  NativeEngineRunner runner(market_arrays(w), w.settings, w.mintick);
  auto& m = runner.model();
  auto& vip = *m.state().vip_snibs;
  auto& pending = *m.state().new_vip_snibs;
  std::size_t next = 0;
  std::vector<double> per_pivot;
  std::printf("rebuild cost from pending pivots (lines built anew), native model (%zu bars)\n",
              w.size());
  std::printf("  processed pivots   lines   us per rebuild   us per pivot per rebuild\n");
  for (std::size_t i = 0; i < w.size() && next < counts.size(); ++i) {
    if (!runner.update_at(i, w.close_avg_percent[i])) continue;
    torvex::core::add_new_snibs_to_processed_array(m);
    if (vip.size() < counts[next]) continue;
    ++next;
    const std::vector<torvex::core::Snib> kept = vip;
    int repeats = 0;
    double spent = 0.0;
    while (spent < 0.2 || repeats < 3) {
      vip.assign(kept.begin(), kept.end() - 1);  // the newest pending again: a fresh rebuild
      pending.assign(kept.end() - 1, kept.end());
      const double start = cpu_seconds();
      torvex::core::rebuild_kerd_from_most_recent_snib(m);
      spent += cpu_seconds() - start;
      ++repeats;
    }
    const double each = spent / repeats;
    per_pivot.push_back(each / static_cast<double>(vip.size()));
    std::printf("  %16zu %7zu %16.1f %26.3f\n", vip.size(), runner.kerds().size(), each * 1e6,
                per_pivot.back() * 1e6);
  }
  if (!per_pivot.empty())
    std::printf("  largest / smallest per pivot: %.2f\n",
                *std::max_element(per_pivot.begin(), per_pivot.end()) /
                    *std::min_element(per_pivot.begin(), per_pivot.end()));
}

// The rebuild's cost within the flow itself: the lines are never cleared (the host moved the
// pending pivots first), so each rebuild offers every processed pivot to lines whose pivot
// lists keep growing. The mean of the rebuilds from each count of pivots up to 10 % more.
void flow_rebuild_sweep(const Workload& w) {
  const std::vector<std::size_t> counts{100, 250, 500, 1000, 1500, 2000};
  NativeEngineRunner runner(market_arrays(w), w.settings, w.mintick);
  auto& m = runner.model();
  std::vector<std::pair<std::size_t, double>> rebuilds;
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (runner.update_at(i, w.close_avg_percent[i])) {
      torvex::core::add_new_snibs_to_processed_array(m);
      const double start = cpu_seconds();
      torvex::core::rebuild_kerd_from_most_recent_snib(m);
      rebuilds.emplace_back(runner.vip_snibs().size(), cpu_seconds() - start);
      if (rebuilds.back().first > counts.back() * 11 / 10) break;
    }
    torvex::core::extend_kerd_to_first_cross(m);
  }
  std::printf("rebuild cost within the flow, native model (%zu bars)\n", w.size());
  std::printf("  processed pivots   lines   us per rebuild   us per pivot per rebuild\n");
  for (std::size_t count : counts) {
    double sum = 0.0;
    int n = 0;
    for (const auto& [pivots, seconds] : rebuilds)
      if (count <= pivots && pivots * 10 <= count * 11) sum += seconds, ++n;
    if (n == 0) continue;
    const double each = sum / n;
    std::printf("  %16zu       - %16.1f %26.3f\n", count, each * 1e6,
                each / static_cast<double>(count) * 1e6);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t sweep_bars = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16000;
  const Workload w = flow_workload(torvex::bench::kWorkloadBars);
  std::size_t signals = 0;
  double best = run_flow(w, signals);
  for (int run = 1; run < 5; ++run) best = std::min(best, run_flow(w, signals));
  const double us = best / static_cast<double>(w.size()) * 1e6;
  std::printf(
      "all-bars flow, native model (core loop): %9.3f us/bar, %zu signals; %8.0f x the "
      "pure-Python reference\n",
      us, signals, 21700.0 / us);
  Workload long_market = flow_workload(sweep_bars);
  // Pivot records keep times in 32 bits: the long market's days count from 0.
  for (std::size_t i = 0; i < long_market.size(); ++i)
    long_market.time[i] = 86400.0 * static_cast<double>(i);
  rebuild_sweep(long_market);
  flow_rebuild_sweep(long_market);
  return 0;
}
