// The merge crossing scan on the native model: bars scanned per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/kerd.hpp"
#include "core/native_model.hpp"

namespace {

using namespace torvex::core;

void BM_CrossingScan(benchmark::State& state) {
  const auto bars = static_cast<int64_t>(state.range(0));
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> price(95.0, 105.0);
  std::vector<double> open(static_cast<std::size_t>(bars)), close(open.size());
  for (std::size_t i = 0; i < open.size(); ++i) {
    open[i] = price(rng);
    close[i] = price(rng);
  }
  Bars series;
  series.open = {open.data(), bars};
  series.close = {close.data(), bars};

  Kerd self;
  self.bars = &series;
  self.bar_index = bars - 1;
  self.start_bar_index = 0;
  self.end_bar_index = 0;
  self.snib_values = {99.0, 100.0, 101.0};
  Kerd end_kerd = self;
  end_kerd.end_bar_index = bars - 1;
  end_kerd.snib_values = {100.5};

  EngineState engine;
  NativeModel model(engine);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        is_kerd_bar_crosses_violated_if_merged(model, &self, &end_kerd, 3.0, 3.0, 2.0, 1.0, 0.0));
  }
  state.SetItemsProcessed(state.iterations() * (bars - 1));
  state.counters["bars/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * (bars - 1)), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_CrossingScan)->Arg(64)->Arg(1024)->Arg(16384);

}  // namespace

BENCHMARK_MAIN();
