#pragma once
// LiveInputs in the flat byte form of core/state_codec.hpp: its settings, then its state.
#include "core/live_inputs.hpp"
#include "core/state_codec.hpp"

namespace torvex::core {

inline void write_input_settings(StateWriter& w, const InputSettings& s) {
  for (const InputSettings::Width& width : s.pivots) {
    w.put(width.n);
    w.put(width.m);
  }
  w.put(s.trend_ma_length);
  w.put(s.trend_slope_bars);
  w.put(s.trend_slope_percent);
  w.put(s.close_avg_length);
}

inline InputSettings read_input_settings(StateReader& r) {
  InputSettings s;
  for (InputSettings::Width& width : s.pivots) {
    width.n = r.get<int64_t>();
    width.m = r.get<int64_t>();
  }
  s.trend_ma_length = r.get<int64_t>();
  s.trend_slope_bars = r.get<int64_t>();
  s.trend_slope_percent = r.get<double>();
  s.close_avg_length = r.get<int64_t>();
  return s;
}

inline void write_live_inputs(StateWriter& w, const LiveInputs& inputs) {
  write_input_settings(w, inputs.settings());
  const LiveInputs::State state = inputs.state();
  w.put(state.bars);
  w.put(state.warm_sum);
  for (std::span<const double> values :
       {state.highs, state.lows, state.closes, state.ranges, state.averages})
    w.put_values(values);
}

// Fails (ValueError) on settings the inputs refuse or a state they could not have left.
inline LiveInputs read_live_inputs(StateReader& r) {
  LiveInputs inputs(read_input_settings(r));
  const auto bars = r.get<int64_t>();
  const auto warm_sum = r.get<double>();
  std::vector<double> columns[5];
  for (std::vector<double>& values : columns) values = r.get_values();
  inputs.restore({bars, warm_sum, columns[0], columns[1], columns[2], columns[3], columns[4]});
  return inputs;
}

}  // namespace torvex::core
