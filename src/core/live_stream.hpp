#pragma once
// One instrument in the live view, bar by bar, on the native model: each bar is added as it
// closes, its inputs computed as it arrives (core/live_inputs.hpp), and the host's step run
// with the data ending at that bar (core/engine_mavet_host_loop.hpp), exactly as a
// whole-history live run steps it. The stream keeps only what the rules can still reach: the
// processed pivots a rebuild can use (core/snib_reach.hpp) and the bars from the oldest one
// anything kept may read.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/engine_arith.hpp"
#include "core/engine_mavet_host_loop.hpp"
#include "core/levels.hpp"
#include "core/live_inputs.hpp"
#include "core/native_model.hpp"
#include "core/trail.hpp"

namespace torvex::core {

// What a stream is made with: the engine's settings, the host's window thresholds and check
// form (and whether it does the line work itself: draw_from_recent off), the price step, and
// the windows of its inputs.
struct StreamConfig {
  Settings settings;
  WindowLoopArgs args;
  double mintick = 0.0;
  InputSettings inputs;
};

// One bar as the host closes it.
struct StreamBar {
  double time, open, high, low, close;
};

// What a bar gives: its index, the window check's result (neither when no window was open to
// check), the nearest standing lines around its close and the pivots intake took on it (the
// stream may later let them go; its caller keeps them).
struct StreamOutcome {
  int64_t bar = 0;
  WindowLoopBar check;
  NearestLevels levels;
  std::vector<Snib> taken;
};

class LiveStream {
 public:
  explicit LiveStream(const StreamConfig& config) : config_(config), inputs_(config.inputs) {
    config_.args.all_bars = !config_.settings.draw_from_recent;
    make_engine();
  }
  LiveStream(const LiveStream& other);
  LiveStream& operator=(const LiveStream&) = delete;

  // Closes a bar: its outcome, the stream advanced. A bad bar (a price or time that is no
  // finite number, a time not after the previous bar's or beyond the engine's 32-bit times)
  // fails before anything changes.
  StreamOutcome add(const StreamBar& bar);
  // The outcome a bar would have, the stream unchanged.
  StreamOutcome peek(const StreamBar& bar) const {
    LiveStream trial(*this);
    return trial.add(bar);
  }

  int64_t bars() const { return bars_; }
  const StreamConfig& config() const { return config_; }
  const std::vector<Kerd>& kerds() const { return store_->kerds; }
  const std::vector<Snib>& vip_snibs() const { return store_->vip_snibs; }
  const std::vector<Snib>& new_vip_snibs() const { return store_->new_vip_snibs; }
  // Bars kept, from bar first_kept_bar() on (for memory accounting).
  std::size_t kept_bars() const { return columns_[0].size(); }
  int64_t first_kept_bar() const { return first_bar_; }

  // ---- state, for a copy that lives apart (core/live_stream_codec.hpp)
  struct Parts;
  Parts parts() const;
  // A stream over the given parts, which must fit together and the config.
  LiveStream(const StreamConfig& config, Parts&& parts);

 private:
  // The columns of the bars kept, in market column order (core/engine_runner.hpp).
  enum Column : std::size_t { close, open, high, low, time, nh, nl, th, tl, trend, kColumns };

  void make_engine() {
    store_ = std::make_unique<EngineStore>(config_.settings, config_.mintick);
    model_ = std::make_unique<NativeModel>(store_->state);
  }
  void check_bar(const StreamBar& bar) const;
  StreamOutcome step(const StreamBar& bar);
  void show_bars();
  void taken_since(std::size_t had, std::vector<Snib>& taken) const;
  int64_t oldest_needed() const;
  void forget_unreachable();
  void forget_expired_commits();

  StreamConfig config_;
  LiveInputs inputs_;
  std::array<Trail, kColumns> columns_;
  int64_t first_bar_ = 0;  // the bar of the columns' first kept value
  int64_t bars_ = 0;
  double last_time_ = 0.0;
  std::unique_ptr<EngineStore> store_;
  std::unique_ptr<NativeModel> model_;
  Series trend_;
  std::size_t commits_kept_ = 0;  // latest_mavets' size after its last sweep
  std::string failure_;           // why a step failed part-way; the stream cannot go on
};

struct LiveStream::Parts {
  explicit Parts(LiveInputs taken) : inputs(std::move(taken)) {}
  LiveInputs inputs;
  std::array<std::vector<double>, kColumns> columns;
  int64_t first_bar = 0, bars = 0;
  double last_time = 0.0;
  std::vector<Kerd> kerds;
  std::vector<Snib> vip_snibs, new_vip_snibs;
  std::vector<Mavet> mavets;
  std::vector<std::pair<double, int64_t>> latest_mavets;
};

inline LiveStream::LiveStream(const LiveStream& other)
    : config_(other.config_),
      inputs_(other.inputs_),
      columns_(other.columns_),
      first_bar_(other.first_bar_),
      bars_(other.bars_),
      last_time_(other.last_time_),
      commits_kept_(other.commits_kept_),
      failure_(other.failure_) {
  make_engine();
  EngineStore& store = *store_;
  store.kerds = other.store_->kerds;
  for (Kerd& line : store.kerds) line.bars = &store.state.bars;
  store.vip_snibs = other.store_->vip_snibs;
  store.new_vip_snibs = other.store_->new_vip_snibs;
  store.mavets = other.store_->mavets;
  store.latest_mavets = other.store_->latest_mavets;
  show_bars();
}

inline StreamOutcome LiveStream::add(const StreamBar& bar) {
  if (!failure_.empty()) throw Error(ErrorKind::value, failure_);
  check_bar(bar);
  try {
    return step(bar);
  } catch (const std::exception& error) {
    failure_ = "the stream failed at bar " + std::to_string(bars_) + " (" + error.what() +
               ") and cannot go on";
    throw;
  }
}

// A number as Python's repr of a float would show it, near enough for a message.
inline std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

inline void LiveStream::check_bar(const StreamBar& bar) const {
  const auto fail = [&](const std::string& why) {
    throw Error(ErrorKind::value, "bar " + std::to_string(bars_) + ": " + why);
  };
  const std::array<std::pair<const char*, double>, 5> fields{{{"time", bar.time},
                                                              {"open", bar.open},
                                                              {"high", bar.high},
                                                              {"low", bar.low},
                                                              {"close", bar.close}}};
  for (const auto& [name, value] : fields)
    if (!std::isfinite(value)) fail(std::string(name) + " is not a finite number");
  if (bars_ > 0 && !(bar.time > last_time_))
    fail("time " + number_text(bar.time) + " is not after the previous bar's " +
         number_text(last_time_));
  // Pivot records hold the time and the bar index as 32-bit whole numbers.
  if (std::trunc(bar.time) < -2147483648.0 || std::trunc(bar.time) > 2147483647.0)
    fail("time " + number_text(bar.time) + " does not fit the engine's 32-bit times");
  if (bars_ >= std::numeric_limits<int32_t>::max()) fail("a stream holds at most 2^31 - 1 bars");
}

inline StreamOutcome LiveStream::step(const StreamBar& bar) {
  const BarInputs in = inputs_.add(bar.high, bar.low, bar.close);
  const std::array<double, kColumns> values{bar.close,
                                            bar.open,
                                            bar.high,
                                            bar.low,
                                            bar.time,
                                            in.normal_high_snib,
                                            in.normal_low_snib,
                                            in.trending_high_snib,
                                            in.trending_low_snib,
                                            in.is_ma_trending ? 1.0 : 0.0};
  for (std::size_t c = 0; c < kColumns; ++c) columns_[c].push(values[c]);
  show_bars();
  StreamOutcome out;
  out.bar = bars_;
  // Intake appends to the pending list, and the pending list is empty when a bar's step starts
  // in the live view (a bar that takes a pivot moves every pending one to the processed list),
  // and nothing leaves either list during a step: the bar's pivots are the lists' new tail.
  const std::size_t had = store_->vip_snibs.size() + store_->new_vip_snibs.size();
  {
    const auto later = model_->weigh_later();  // every value weighed when it ends
    out.check = window_loop_step(*model_, trend_, static_cast<std::size_t>(bars_),
                                 in.close_avg_percent, config_.args);
  }
  out.levels = nearest_levels(store_->kerds, bar.close);
  taken_since(had, out.taken);
  ++bars_;
  last_time_ = bar.time;
  forget_unreachable();
  return out;
}

// The pivots beyond the first `had` of the processed then pending lists.
inline void LiveStream::taken_since(std::size_t had, std::vector<Snib>& taken) const {
  for (const auto* snibs : {&store_->vip_snibs, &store_->new_vip_snibs}) {
    const std::size_t skip = std::min(had, snibs->size());
    taken.insert(taken.end(), snibs->begin() + static_cast<std::ptrdiff_t>(skip), snibs->end());
    had -= skip;
  }
}

// The engine's series show the bars kept, the newest current; the data ends at it.
inline void LiveStream::show_bars() {
  const auto view = [&](Column c) {
    return Series{columns_[c].data(), static_cast<int64_t>(columns_[c].size())};
  };
  EngineState& state = store_->state;
  state.bars = Bars{view(close), view(open), view(high), view(low), view(time)};
  state.normal_high_snib = view(nh);
  state.normal_low_snib = view(nl);
  state.trending_high_snib = view(th);
  state.trending_low_snib = view(tl);
  trend_ = view(trend);
  state.bar_index = state.last_bar_index =
      first_bar_ + static_cast<int64_t>(columns_[0].size()) - 1;
}

// The oldest bar the next step may read: the previous close and low, the closes and trend
// flags the pivots' confirmation delays and the search range reach back to, every kept
// pivot's bar (a merge's crossing test starts there), the bar after each line's end (the
// replay starts there) and each window's break and recovery bars.
inline int64_t LiveStream::oldest_needed() const {
  const wide_int next = bars_;
  wide_int oldest = next - 1;
  const Settings& s = config_.settings;
  for (int64_t m : {s.high_snib_m, s.low_snib_m, s.high_snib_m_on_trend, s.low_snib_m_on_trend})
    oldest = std::min(oldest, next - m);
  oldest = std::min(oldest, next - std::max<int64_t>(config_.args.search_range, 0));
  for (const auto* snibs : {&store_->vip_snibs, &store_->new_vip_snibs})
    for (const Snib& snib : *snibs) oldest = std::min<wide_int>(oldest, snib.bar_index_at_pivot);
  for (const Kerd& line : store_->kerds) oldest = std::min(oldest, wide(line.end_bar_index) + 1);
  for (const Mavet& window : store_->mavets) {
    oldest = std::min<wide_int>(oldest, window.break_kerd_at_bar_index);
    if (window.recover_at_bar_index >= 0)
      oldest = std::min<wide_int>(oldest, window.recover_at_bar_index);
  }
  return static_cast<int64_t>(std::max<wide_int>(oldest, first_bar_));
}

// Drops what no later step can reach: in draw-from-recent mode the leading processed pivots
// no kept line can use from the next bar on, then the bars before the oldest still needed.
inline void LiveStream::forget_unreachable() {
  if (config_.settings.draw_from_recent) {
    SnibReach reach;
    const std::size_t gone =
        reach.unreachable(store_->vip_snibs, bars_, config_.settings.bar_count_to_snib,
                          config_.settings.kerd_length_threshold);
    if (gone > 0) model_->forget_snibs(gone);
  }
  const auto gone = static_cast<std::size_t>(oldest_needed() - first_bar_);
  if (gone > 0) {
    for (Trail& column : columns_) column.drop(gone);
    first_bar_ += static_cast<int64_t>(gone);
    show_bars();
  }
  forget_expired_commits();
}

// A committed level older than signal_window bars passes the signal-window rule as a level
// never committed does, on this bar and every later one: such entries go, in sweeps whenever
// the mapping has doubled.
inline void LiveStream::forget_expired_commits() {
  auto& latest = store_->latest_mavets;
  const double window = config_.args.signal_window;
  if (std::isnan(window) || latest.size() < std::max<std::size_t>(16, 2 * commits_kept_)) return;
  std::erase_if(latest,
                [&](const auto& entry) { return index_difference(bars_, entry.second) > window; });
  commits_kept_ = latest.size();
}

inline LiveStream::Parts LiveStream::parts() const {
  Parts p(inputs_);
  for (std::size_t c = 0; c < kColumns; ++c) {
    const std::span<const double> kept = columns_[c].all();
    p.columns[c].assign(kept.begin(), kept.end());
  }
  p.first_bar = first_bar_;
  p.bars = bars_;
  p.last_time = last_time_;
  p.kerds = store_->kerds;
  p.vip_snibs = store_->vip_snibs;
  p.new_vip_snibs = store_->new_vip_snibs;
  p.mavets = store_->mavets;
  p.latest_mavets.assign(store_->latest_mavets.begin(), store_->latest_mavets.end());
  return p;
}

inline LiveStream::LiveStream(const StreamConfig& config, Parts&& p) : LiveStream(config) {
  const InputSettings& mine = config_.inputs;
  const InputSettings& theirs = p.inputs.settings();
  bool fits = p.first_bar >= 0 && p.inputs.bars() == p.bars &&
              mine.trend_ma_length == theirs.trend_ma_length &&
              mine.trend_slope_bars == theirs.trend_slope_bars &&
              std::bit_cast<uint64_t>(mine.trend_slope_percent) ==
                  std::bit_cast<uint64_t>(theirs.trend_slope_percent) &&
              mine.close_avg_length == theirs.close_avg_length;
  for (std::size_t k = 0; k < mine.pivots.size(); ++k)
    fits = fits && mine.pivots[k].n == theirs.pivots[k].n && mine.pivots[k].m == theirs.pivots[k].m;
  const std::size_t kept = p.columns[0].size();
  for (const std::vector<double>& column : p.columns) fits = fits && column.size() == kept;
  fits = fits && (p.bars == 0 ? kept == 0 : kept > 0 && wide(p.first_bar) + kept == p.bars);
  if (!fits) throw Error(ErrorKind::value, "the stream's state does not hold together");
  inputs_ = std::move(p.inputs);
  for (std::size_t c = 0; c < kColumns; ++c) columns_[c].assign(p.columns[c]);
  first_bar_ = p.first_bar;
  bars_ = p.bars;
  last_time_ = p.last_time;
  EngineStore& store = *store_;
  store.kerds = std::move(p.kerds);
  for (Kerd& line : store.kerds) line.bars = &store.state.bars;
  store.vip_snibs = std::move(p.vip_snibs);
  store.new_vip_snibs = std::move(p.new_vip_snibs);
  store.mavets = std::move(p.mavets);
  store.latest_mavets.insert(p.latest_mavets.begin(), p.latest_mavets.end());
  commits_kept_ = store.latest_mavets.size();
  show_bars();
}

}  // namespace torvex::core
