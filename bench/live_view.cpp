// The live view on the native model (the data ends at each bar as it is stepped) over the
// shared benchmark market's generator (bench/workload.hpp) with bar_count_to_snib 250, at
// several history lengths: the whole-history run (the host's window loop, as run_history runs
// it), the same run offering every processed pivot to every rebuild (the plain path the skip
// of unreachable pivots replaces), and a LiveStream fed the same bars (its own inputs computed
// as they arrive). Microseconds per bar; the per-bar cost must not grow with the history.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <map>

#include "core/engine_mavet_host_loop.hpp"
#include "core/live_stream.hpp"
#include "workload.hpp"

namespace {

using torvex::bench::make_workload;
using torvex::bench::Workload;
using torvex::core::NativeEngineRunner;
using torvex::core::WindowLoopArgs;

// The workload of `bars` bars, built once per length, with bar_count_to_snib 250.
const Workload& workload(std::size_t bars) {
  static std::map<std::size_t, Workload> made;
  auto found = made.find(bars);
  if (found == made.end()) {
    found = made.emplace(bars, make_workload(bars)).first;
    found->second.settings.bar_count_to_snib = 250;
  }
  return found->second;
}

benchmark::Counter per_bar(const benchmark::State& state, std::size_t bars) {
  return benchmark::Counter(static_cast<double>(state.iterations() * bars),
                            benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                            benchmark::Counter::kIs1000);
}

void live_run(benchmark::State& state, bool every_pivot) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  const WindowLoopArgs args;  // search_range 10, trap_recover_window_threshold 5
  std::size_t signals = 0;
  for (auto _ : state) {
    NativeEngineRunner runner(w.arrays(), w.settings, w.mintick, true);
    runner.model().keep_every_snib(every_pivot);
    signals = 0;
    for (std::size_t i = 0; i < w.size(); ++i) {
      const auto bar = torvex::core::run_window_loop_bar(runner, i, w.close_avg_percent[i], args);
      if (bar.result_v2 && bar.result_v2->success) ++signals;
    }
  }
  state.counters["time_per_bar"] = per_bar(state, w.size());
  state.counters["signals"] = static_cast<double>(signals);
}

void BM_LiveRun(benchmark::State& state) {
  live_run(state, false);
}
BENCHMARK(BM_LiveRun)->Arg(1000)->Arg(2500)->Arg(5000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_LiveRunEveryPivot(benchmark::State& state) {
  live_run(state, true);
}
BENCHMARK(BM_LiveRunEveryPivot)->Arg(1000)->Arg(2500)->Arg(5000)->Unit(benchmark::kMillisecond);

// The stream over the same bars, with the kit's default input windows.
void BM_StreamAdd(benchmark::State& state) {
  const Workload& w = workload(static_cast<std::size_t>(state.range(0)));
  torvex::core::StreamConfig config;
  config.settings = w.settings;
  config.mintick = w.mintick;
  config.inputs.pivots = {{{5, 5}, {5, 5}, {5, 3}, {5, 3}}};
  config.inputs.trend_ma_length = 50;
  config.inputs.trend_slope_bars = 10;
  config.inputs.trend_slope_percent = 2.0;
  config.inputs.close_avg_length = 14;
  torvex::core::set_pivot_widths(config.settings, {5, 5}, {5, 5}, {5, 3}, {5, 3});
  for (auto _ : state) {
    torvex::core::LiveStream stream(config);
    for (std::size_t i = 0; i < w.size(); ++i)
      benchmark::DoNotOptimize(stream.add({w.time[i], w.open[i], w.high[i], w.low[i], w.close[i]}));
  }
  state.counters["time_per_bar"] = per_bar(state, w.size());
}
BENCHMARK(BM_StreamAdd)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
