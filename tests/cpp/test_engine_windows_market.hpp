#pragma once
// A hand-made market for the window tests: bars 0..capacity-1 with a flat default price,
// windows and lines built directly, and the engine's view advanced to any bar.
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/engine_runner.hpp"
#include "core/native_model.hpp"
#include "core/records.hpp"

namespace torvex::core::testing {

class WindowMarket : public EngineStore {
 public:
  explicit WindowMarket(int64_t capacity = 200) : EngineStore({}, 0.01) {
    for (int64_t i = 0; i < capacity; ++i) bars_.add_bar(100.0, 101.0, 99.0, 100.0, 0.0);
    settings.kerd_extend_bar_cross_threshold = 3;
    at(0);
  }

  // The engine now stands on bar i: series show bars 0..i.
  void at(int64_t i) {
    show_bars(state, bars_.arrays(), static_cast<std::size_t>(i));
    state.last_bar_index = static_cast<int64_t>(bars_.size()) - 1;
  }

  // Shapes bar i; open and high follow so the bar stays consistent.
  void bar(int64_t i, double close, double low) {
    bars_.close[i] = close;
    bars_.open[i] = close;
    bars_.low[i] = low;
    bars_.high[i] = close + 1;
  }

  Kerd& line(double level, int64_t bar_crosses_post_extend = 0, int snib_count = 1) {
    Kerd k;
    k.bars = &state.bars;
    k.kerd_value = level;
    k.bar_crosses_post_extend = bar_crosses_post_extend;
    k.snib_values.assign(snib_count, level);
    kerds.push_back(k);
    return kerds.back();
  }

  Mavet& window(double price, int32_t broke_at, int32_t bar_count_close_above_kerd = 10,
                int32_t extend_bar_cross = 0, int32_t vip_snib_count = 1) {
    Mavet w;
    w.break_kerd_at_price = price;
    w.break_kerd_at_bar_index = broke_at;
    w.bar_count_close_above_kerd = bar_count_close_above_kerd;
    w.break_kerd_extend_bar_cross = extend_bar_cross;
    w.vip_snib_count = vip_snib_count;
    mavets.push_back(w);
    return mavets.back();
  }

  NativeModel model() { return NativeModel(state); }
  int64_t bar_index() const { return state.bar_index; }

 private:
  MarketColumns bars_;
};

}  // namespace torvex::core::testing
