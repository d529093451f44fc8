#pragma once
// A native engine over whole arrays, advanced bar by bar as a host advances its series: the
// batch path for hosts that hand over complete data, and the driver of the native benchmarks
// and comparisons.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/engine_bar_search.hpp"
#include "core/engine_update.hpp"
#include "core/native_model.hpp"

namespace torvex::core {

// A market's columns, one value per bar, in the order a batch caller names them: the bars,
// the four pivot series (NaN where no pivot is reported) and the trend flags (truth-tested).
#define TORVEX_MARKET_COLUMNS(X) \
  X(close)                       \
  X(open)                        \
  X(high)                        \
  X(low)                         \
  X(time)                        \
  X(normal_high_snib)            \
  X(normal_low_snib)             \
  X(trending_high_snib)          \
  X(trending_low_snib)           \
  X(is_ma_trending)

#define TORVEX_COLUMN_NAME(name) #name,
inline constexpr std::array market_column_names =
    std::to_array<std::string_view>({TORVEX_MARKET_COLUMNS(TORVEX_COLUMN_NAME)});
#undef TORVEX_COLUMN_NAME

// The arrays of one market, one element per bar; they must outlive the runner.
struct MarketArrays {
#define TORVEX_COLUMN_VIEW(name) std::span<const double> name;
  TORVEX_MARKET_COLUMNS(TORVEX_COLUMN_VIEW)
#undef TORVEX_COLUMN_VIEW
  std::size_t size() const {
    return close.size();
  }
};

// A market that owns its columns; the one builder of markets for the batch path, the
// benchmarks and the tests.
struct MarketColumns {
#define TORVEX_COLUMN(name) std::vector<double> name;
  TORVEX_MARKET_COLUMNS(TORVEX_COLUMN)
#undef TORVEX_COLUMN

  // Column i of the table.
  std::vector<double>& column(std::size_t i) {
    return this->*members[i];
  }
  const std::vector<double>& column(std::size_t i) const {
    return this->*members[i];
  }
  std::size_t size() const {
    return close.size();
  }

  // Appends a bar with no pivot and no trend.
  void add_bar(double open_price, double high_price, double low_price, double close_price,
               double bar_time) {
    open.push_back(open_price);
    high.push_back(high_price);
    low.push_back(low_price);
    close.push_back(close_price);
    time.push_back(bar_time);
    for (auto* pivots :
         {&normal_high_snib, &normal_low_snib, &trending_high_snib, &trending_low_snib})
      pivots->push_back(std::numeric_limits<double>::quiet_NaN());
    is_ma_trending.push_back(0.0);
  }

  MarketArrays arrays() const {
#define TORVEX_COLUMN_SPAN(name) name,
    return MarketArrays{TORVEX_MARKET_COLUMNS(TORVEX_COLUMN_SPAN)};
#undef TORVEX_COLUMN_SPAN
  }

 private:
#define TORVEX_COLUMN_MEMBER(name) &MarketColumns::name,
  static constexpr std::vector<double> MarketColumns::*members[] = {
      TORVEX_MARKET_COLUMNS(TORVEX_COLUMN_MEMBER)};
#undef TORVEX_COLUMN_MEMBER
};

// Settings for an engine built by hand (benchmarks, tests), one group at a time.

// A debug window over every time and price: it filters out no pivot.
inline void open_debug_window(Settings& s) {
  const double inf = std::numeric_limits<double>::infinity();
  s.debug_start_time = s.debug_start_price = -inf;
  s.debug_end_time = s.debug_end_price = inf;
}

// Bars before and after a pivot.
struct PivotWidth {
  int64_t n, m;
};

// The widths of the four pivot series, in intake order.
inline void set_pivot_widths(Settings& s, PivotWidth normal_high, PivotWidth normal_low,
                             PivotWidth trending_high, PivotWidth trending_low) {
  using Width = int64_t Settings::*;
  constexpr std::pair<Width, Width> members[] = {
      {&Settings::high_snib_n, &Settings::high_snib_m},
      {&Settings::low_snib_n, &Settings::low_snib_m},
      {&Settings::high_snib_n_on_trend, &Settings::high_snib_m_on_trend},
      {&Settings::low_snib_n_on_trend, &Settings::low_snib_m_on_trend}};
  const PivotWidth widths[] = {normal_high, normal_low, trending_high, trending_low};
  for (std::size_t i = 0; i < std::size(widths); ++i) {
    s.*members[i].first = widths[i].n;
    s.*members[i].second = widths[i].m;
  }
}

// The weights of a line's last value, the one before it and every earlier one.
inline void set_snib_weights(Settings& s, double last, double second_last, double earlier) {
  s.last_snib_weight = last;
  s.second_last_snib_weight = second_last;
  s.snib_weight = earlier;
}

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
  // The end view: the data ends at the market's last bar. The live view (`live`): the data
  // ends at the current bar, as for a host that sets last_bar_index before every bar.
  NativeEngineRunner(const MarketArrays& market, const Settings& settings, double mintick,
                     bool live = false)
      : market_(market),
        store_(settings, mintick),
        index_(market.close, market.open, market.high, market.low),
        model_(store_.state, index_),
        live_(live) {
    store_.state.last_bar_index = static_cast<int64_t>(market.size()) - 1;
  }
  NativeEngineRunner(const NativeEngineRunner&) = delete;
  NativeEngineRunner& operator=(const NativeEngineRunner&) = delete;

  // Makes bar `index` the current bar: every series shows the bars up to it.
  void advance_to(std::size_t index) {
    trend_ = show_bars(store_.state, market_, index);
    if (live_) store_.state.last_bar_index = static_cast<int64_t>(index);
  }

  // Advances to bar `index` and runs the per-bar update there.
  bool update_at(std::size_t index, double close_avg_percent) {
    advance_to(index);
    return update(model_, trend_, close_avg_percent);
  }

  RunnerModel& model() { return model_; }
  // The current bar's trend flags, as update takes them.
  const Series& trend() const { return trend_; }
  Settings& settings() { return store_.settings; }
  // The lines, every value weighed.
  const std::vector<Kerd>& kerds() const {
    model_.weigh_all();
    return store_.kerds;
  }
  const std::vector<Snib>& vip_snibs() const { return store_.vip_snibs; }
  const std::vector<Snib>& new_vip_snibs() const { return store_.new_vip_snibs; }

 private:
  MarketArrays market_;
  EngineStore store_;
  Series trend_;
  BarExtremesIndex index_;
  RunnerModel model_;
  bool live_;
  // Values a rebuild leaves unweighed stay so from one operation to the next, until read.
  NativeModel::LaterScope later_{model_};
};

}  // namespace torvex::core
