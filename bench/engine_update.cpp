// The engine's per-bar update on the native model, over the shared benchmark market
// (bench/workload.hpp): the whole run, the rebuild against the number of processed pivots, and
// the historical replay against the number of lines and the bars they reach back.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

#include "core/engine_extension.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_runner.hpp"
#include "workload.hpp"

namespace {

using torvex::bench::market_arrays;
using torvex::bench::shared_workload;
using torvex::bench::Workload;
using torvex::core::NativeEngineRunner;

// update on every bar of the run; reports microseconds per bar.
void BM_UpdateWholeRun(benchmark::State& state) {
  const Workload& w = shared_workload();
  std::size_t lines = 0;
  for (auto _ : state) {
    NativeEngineRunner runner(market_arrays(w), w.settings, w.mintick);
    for (std::size_t i = 0; i < w.size(); ++i)
      benchmark::DoNotOptimize(runner.update_at(i, w.close_avg_percent[i]));
    lines = runner.kerds().size();
  }
  state.counters["time_per_bar"] = benchmark::Counter(
      static_cast<double>(state.iterations() * w.size()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
  state.counters["lines_at_end"] = static_cast<double>(lines);
}
BENCHMARK(BM_UpdateWholeRun)->Unit(benchmark::kMillisecond);

// One rebuild from the first `pivots` pivots of the run, on the last bar.
void BM_Rebuild(benchmark::State& state) {
  const Workload& w = shared_workload();
  const auto pivots = static_cast<std::size_t>(state.range(0));
  // Collect the run's pivots without line work.
  torvex::core::Settings collect = w.settings;
  collect.draw_from_recent = false;
  NativeEngineRunner runner(market_arrays(w), collect, w.mintick);
  for (std::size_t i = 0; i < w.size(); ++i) runner.update_at(i, w.close_avg_percent[i]);
  std::vector<torvex::core::Snib> all = runner.new_vip_snibs();
  if (all.size() < pivots) {
    state.SkipWithError("the run has fewer pivots");
    return;
  }
  // Rebuild on the last bar with the most recent `pivots` pivots, the newest one pending.
  NativeEngineRunner engine(market_arrays(w), w.settings, w.mintick);
  engine.advance_to(w.size() - 1);
  auto& s = engine.model().state();
  std::vector<torvex::core::Snib> recent(all.end() - static_cast<std::ptrdiff_t>(pivots),
                                         all.end());
  const torvex::core::Snib newest = recent.back();
  recent.pop_back();
  *s.vip_snibs = recent;
  std::size_t lines = 0;
  for (auto _ : state) {
    s.new_vip_snibs->push_back(newest);
    torvex::core::rebuild_kerd_from_most_recent_snib(engine.model());
    s.vip_snibs->pop_back();
    lines = s.kerds->size();
  }
  state.counters["lines"] = static_cast<double>(lines);
}
BENCHMARK(BM_Rebuild)
    ->Arg(50)
    ->Arg(100)
    ->Arg(200)
    ->Arg(400)
    ->Arg(800)
    ->Unit(benchmark::kMicrosecond);

// The historical replay of `lines` unchecked lines that end `reach` bars back and are never
// crossed: each call walks every line over its whole reach.
void BM_HistoryReplay(benchmark::State& state) {
  const Workload& w = shared_workload();
  const auto lines = static_cast<std::size_t>(state.range(0));
  const auto reach = static_cast<int64_t>(state.range(1));
  NativeEngineRunner engine(market_arrays(w), w.settings, w.mintick);
  const std::size_t last = w.size() - 1;
  engine.advance_to(last);
  auto& s = engine.model().state();
  for (std::size_t i = 0; i < lines; ++i) {
    torvex::core::Kerd kerd;
    kerd.bars = &s.bars;
    kerd.end_bar_index = kerd.start_bar_index = static_cast<int64_t>(last) - reach;
    kerd.kerd_value = 1e9;  // above every bar
    s.kerds->push_back(kerd);
  }
  for (auto _ : state) torvex::core::extend_kerd_to_first_cross_from_history(engine.model());
  state.counters["time_per_line_bar"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(lines * reach),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert, benchmark::Counter::kIs1000);
}
BENCHMARK(BM_HistoryReplay)
    ->Args({10, 100})
    ->Args({10, 1000})
    ->Args({100, 100})
    ->Args({100, 1000})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
