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
        settings_(settings),
        index_(market.close, market.open, market.high, market.low),
        model_(state_, index_) {
    state_.settings = &settings_;
    state_.kerds = &kerds_;
    state_.vip_snibs = &vip_snibs_;
    state_.new_vip_snibs = &new_vip_snibs_;
    state_.mavets = &mavets_;
    state_.latest_mavets = &latest_mavets_;
    state_.mintick = mintick;
    state_.last_bar_index = static_cast<int64_t>(market.size()) - 1;
  }
  NativeEngineRunner(const NativeEngineRunner&) = delete;
  NativeEngineRunner& operator=(const NativeEngineRunner&) = delete;

  // Makes bar `index` the current bar: every series shows the bars up to it.
  void advance_to(std::size_t index) {
    const auto visible = static_cast<int64_t>(index) + 1;
    const auto view = [visible](std::span<const double> data) {
      return Series{data.data(), visible};
    };
    state_.bars = Bars{view(market_.close), view(market_.open), view(market_.high),
                       view(market_.low), view(market_.time)};
    state_.normal_high_snib = view(market_.normal_high_snib);
    state_.normal_low_snib = view(market_.normal_low_snib);
    state_.trending_high_snib = view(market_.trending_high_snib);
    state_.trending_low_snib = view(market_.trending_low_snib);
    trend_ = view(market_.is_ma_trending);
    state_.bar_index = static_cast<int64_t>(index);
  }

  // Advances to bar `index` and runs the per-bar update there.
  bool update_at(std::size_t index, double close_avg_percent) {
    advance_to(index);
    return update(model_, trend_, close_avg_percent);
  }

  RunnerModel& model() { return model_; }
  Settings& settings() { return settings_; }
  const std::vector<Kerd>& kerds() const { return kerds_; }
  const std::vector<Snib>& vip_snibs() const { return vip_snibs_; }
  const std::vector<Snib>& new_vip_snibs() const { return new_vip_snibs_; }

 private:
  MarketArrays market_;
  Settings settings_;
  std::vector<Kerd> kerds_;
  std::vector<Snib> vip_snibs_, new_vip_snibs_;
  std::vector<Mavet> mavets_;
  std::unordered_map<double, int64_t> latest_mavets_;
  Series trend_;
  EngineState state_;
  BarExtremesIndex index_;
  RunnerModel model_;
};

}  // namespace torvex::core
