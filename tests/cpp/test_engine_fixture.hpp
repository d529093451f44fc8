#pragma once
// A hand-made market for the engine tests: bars appended one by one, the engine's state over
// them, and a model that records the settings it reads and the series offsets it visits.
#include <cmath>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/engine_runner.hpp"
#include "core/model.hpp"
#include "core/native_model.hpp"

namespace torvex::core::testing {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Bar {
  double open, high, low, close;
};

// Every series of an engine over whole arrays; at(i) makes bar i the current bar.
class Market : public EngineStore, public MarketColumns {
 public:
  Market() : EngineStore({}, 0.01) {}
  Market(const Market&) = delete;
  Market& operator=(const Market&) = delete;

  // Appends a bar; its time is 1000 + 60 * index unless given.
  int64_t add(Bar bar, double bar_time = kNaN) {
    const auto index = static_cast<int64_t>(size());
    add_bar(bar.open, bar.high, bar.low, bar.close,
            std::isnan(bar_time) ? 1000.0 + 60.0 * static_cast<double>(index) : bar_time);
    return index;
  }
  // A flat bar at one price.
  int64_t add_flat(double price, double bar_time = kNaN) {
    return add({price, price, price, price}, bar_time);
  }

  // Makes bar `index` the current bar; the data ends at `last` (default: the last bar added).
  void at(int64_t index, int64_t last = -1) {
    trend_series = show_bars(state, arrays(), static_cast<std::size_t>(index));
    state.last_bar_index = last >= 0 ? last : static_cast<int64_t>(size()) - 1;
  }

  // A line as the rebuild would make it from one pivot, built on the current bar.
  Kerd line(int64_t end_bar_index, double value, double end_time = kNaN) const {
    Kerd kerd;
    kerd.bars = &state.bars;
    kerd.bar_index = state.bar_index;
    kerd.last_bar_index = state.last_bar_index;
    kerd.mintick = state.mintick;
    kerd.start_bar_index = end_bar_index;
    kerd.end_bar_index = end_bar_index;
    kerd.start_time = kerd.end_time =
        std::isnan(end_time) ? 1000.0 + 60.0 * static_cast<double>(end_bar_index) : end_time;
    kerd.kerd_value = kerd.kerd_accum_value = value;
    kerd.snib_values = {value};
    kerd.close_avg_percent = 1.0;
    return kerd;
  }

  Series trend_series;
};

// The native model, recording every settings read and every series offset read. It has no
// direct bar search and no skipped merge tests, so the replay and the rebuild read every bar
// and setting as a host's objects would be read.
class RecordingModel : public NativeModel {
 public:
  using NativeModel::NativeModel;

  template <class... Args>
  int64_t find_straddle(Args&&...) const = delete;
  template <class... Args>
  bool merge_tests_unseen(Args&&...) const = delete;

  template <Setting S>
  setting_type<S> setting() {
    reads.push_back(S);
    return NativeModel::template setting<S>();
  }
  double value(const Series& series, int64_t offset) {
    offsets.emplace_back(&series, offset);
    return NativeModel::value(series, offset);
  }

  std::vector<Setting> reads;
  std::vector<std::pair<const Series*, int64_t>> offsets;
};

static_assert(ObjectModel<RecordingModel> && !SearchesStraddles<RecordingModel> &&
              !SaysMergeTestsUnseen<RecordingModel>);

}  // namespace torvex::core::testing
