// A host's full per-bar loop on the native model over the shared benchmark market
// (bench/workload.hpp): update, update_mavet, check_mavet_v3 and the commit of each signal,
// with search_range 10 and trap_recover_window_threshold 5. Reports microseconds per bar and,
// for comparison, the same run without the window calls.
#include <benchmark/benchmark.h>

#include <cstddef>

#include "core/engine_mavet_host_loop.hpp"
#include "core/engine_runner.hpp"
#include "workload.hpp"

namespace {

using torvex::bench::market_arrays;
using torvex::bench::shared_workload;
using torvex::bench::Workload;
using torvex::core::NativeEngineRunner;
using torvex::core::WindowLoopArgs;

benchmark::Counter per_bar(const benchmark::State& state, std::size_t bars) {
  return benchmark::Counter(static_cast<double>(state.iterations() * bars),
                            benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                            benchmark::Counter::kIs1000);
}

void BM_HostLoop(benchmark::State& state) {
  const Workload& w = shared_workload();
  const WindowLoopArgs args;  // search_range 10, trap_recover_window_threshold 5
  std::size_t signals = 0, failures = 0, windows = 0;
  for (auto _ : state) {
    NativeEngineRunner runner(market_arrays(w), w.settings, w.mintick);
    signals = failures = windows = 0;
    for (std::size_t i = 0; i < w.size(); ++i) {
      const auto bar = torvex::core::run_window_loop_bar(runner, i, w.close_avg_percent[i], args);
      windows += runner.model().mavet_count();
      if (bar.result_v2 && bar.result_v2->success) ++signals;
      if (bar.result_v2 && bar.result_v2->failure) ++failures;
    }
  }
  state.counters["time_per_bar"] = per_bar(state, w.size());
  state.counters["signals"] = static_cast<double>(signals);
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["open_windows_per_bar"] =
      static_cast<double>(windows) / static_cast<double>(w.size());
}
BENCHMARK(BM_HostLoop)->Unit(benchmark::kMillisecond);

// The same market with update alone: what the window calls add is the difference.
void BM_UpdateOnly(benchmark::State& state) {
  const Workload& w = shared_workload();
  for (auto _ : state) {
    NativeEngineRunner runner(market_arrays(w), w.settings, w.mintick);
    for (std::size_t i = 0; i < w.size(); ++i)
      benchmark::DoNotOptimize(runner.update_at(i, w.close_avg_percent[i]));
  }
  state.counters["time_per_bar"] = per_bar(state, w.size());
}
BENCHMARK(BM_UpdateOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
