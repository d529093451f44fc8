#pragma once
// A native engine over whole arrays, advanced bar by bar as a host advances its series: the
// batch path for hosts that hand over complete data, and the driver of the native benchmarks
// and comparisons.
#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/engine_bar_search.hpp"
#include "core/engine_update.hpp"
#include "core/native_model.hpp"

namespace torvex::core {

// The arrays of one market, one element per bar; they must outlive the runner.
struct MarketArrays {
  std::span<const double> close, open, high, low, time;
  std::span<const double> normal_high_snib, normal_low_snib, trending_high_snib, trending_low_snib;
  std::span<const double> is_ma_trending;  // truth-tested
  std::size_t size() const { return close.size(); }
};

// Shows the market's bars up to `index` as the engine's series: the current bar is `index`.
// Returns the trend flags' series, which the engine takes as an argument.
inline Series show_bars(EngineState& state, const MarketArrays& market, std::size_t index) {
  const auto visible = static_cast<int64_t>(index) + 1;
  const auto view = [visible](std::span<const double> data) {
    return Series{data.data(), visible};
  };
  state.bars = Bars{view(market.close), view(market.open), view(market.high), view(market.low),
                    view(market.time)};
  state.normal_high_snib = view(market.normal_high_snib);
  state.normal_low_snib = view(market.normal_low_snib);
  state.trending_high_snib = view(market.trending_high_snib);
  state.trending_low_snib = view(market.trending_low_snib);
  state.bar_index = static_cast<int64_t>(index);
  return view(market.is_ma_trending);
}

// The native model over a runner's fixed arrays: its bar search uses an index of the bar
// extremes; other series are searched bar by bar.
class RunnerModel : public NativeModel {
 public:
  RunnerModel(EngineState& state, const BarExtremesIndex& index)
      : NativeModel(state), index_(index) {}

  int64_t find_straddle(const Series& close, const Series& open, const Series& high,
                        const Series& low, double level, int64_t from_y) const {
    if (!index_.covers(close.data, open.data, high.data, low.data) || close.length != open.length ||
        close.length != high.length || close.length != low.length)
      return NativeModel::find_straddle(close, open, high, low, level, from_y);
    for (const Series* series : {&close, &open, &high, &low}) series->at(-from_y);
    const int64_t found =
        index_.first_straddling_bar(close.length - 1 - from_y, close.length, level);
    return found < 0 ? -1 : close.length - 1 - found;
  }

 private:
  const BarExtremesIndex& index_;
};

static_assert(ObjectModel<RunnerModel> && ViewsSeries<RunnerModel> &&
              SearchesStraddles<RunnerModel>);

class NativeEngineRunner {
 public:
  NativeEngineRunner(const MarketArrays& market, const Settings& settings, double mintick)
      : market_(market),
        store_(settings, mintick),
        index_(market.close, market.open, market.high, market.low),
        model_(store_.state, index_) {
    store_.state.last_bar_index = static_cast<int64_t>(market.size()) - 1;
  }
  NativeEngineRunner(const NativeEngineRunner&) = delete;
  NativeEngineRunner& operator=(const NativeEngineRunner&) = delete;

  // Makes bar `index` the current bar: every series shows the bars up to it.
  void advance_to(std::size_t index) { trend_ = show_bars(store_.state, market_, index); }

  // Advances to bar `index` and runs the per-bar update there.
  bool update_at(std::size_t index, double close_avg_percent) {
    advance_to(index);
    return update(model_, trend_, close_avg_percent);
  }

  RunnerModel& model() { return model_; }
  Settings& settings() { return store_.settings; }
  const std::vector<Kerd>& kerds() const { return store_.kerds; }
  const std::vector<Snib>& vip_snibs() const { return store_.vip_snibs; }
  const std::vector<Snib>& new_vip_snibs() const { return store_.new_vip_snibs; }

 private:
  MarketArrays market_;
  EngineStore store_;
  Series trend_;
  BarExtremesIndex index_;
  RunnerModel model_;
};

}  // namespace torvex::core
