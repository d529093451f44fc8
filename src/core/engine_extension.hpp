#pragma once
// Extension of lines to their first crossing bar, and the count of later crossings: on the
// current bar (extend_kerd_to_first_cross) and replayed over the bars since each line's end
// (extend_kerd_to_first_cross_from_history).
//
// A bar straddles a line when the extremes of its open, high, low and close lie strictly on
// both sides of the level; it is a counted cross when its body (only_body_cross) or its
// extremes do. A line is unextended, extended (at extend_end_bar_index) or checked (its first
// straddling bar after the extension has been seen).
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/engine_arith.hpp"
#include "core/engine_bar_search.hpp"
#include "core/kerd.hpp"
#include "core/model.hpp"
#include "core/pymath.hpp"
#include "core/replay_memo.hpp"

namespace torvex::core {

// One bar's prices, each series read once.
struct BarPrices {
  double close, open, high, low;
};

// The engine's four price series, fetched once per operation.
template <class M>
struct PriceSeries {
  typename M::SeriesRef close, open, high, low;
};

template <class M>
PriceSeries<M> price_series(M& m) {
  return PriceSeries<M>{m.close(), m.open(), m.high(), m.low()};
}

template <class M>
BarPrices read_bar(M& m, const PriceSeries<M>& series, int64_t offset) {
  BarPrices bar;
  bar.close = m.value(series.close, offset);
  bar.open = m.value(series.open, offset);
  bar.high = m.value(series.high, offset);
  bar.low = m.value(series.low, offset);
  return bar;
}

// A bar's extent for the two cross tests.
struct CrossBand {
  double ohlc_min, ohlc_max, bar_min, bar_max;

  bool straddles(double level) const { return ohlc_min < level && ohlc_max > level; }
  bool counts(double level) const { return bar_min < level && bar_max > level; }
};

// only_body_cross is read once for each end of the counted extent.
template <class M>
CrossBand cross_band(M& m, const BarPrices& bar) {
  const double ohlc_min = py_min(bar.close, bar.open, bar.high, bar.low);
  const double ohlc_max = py_max(bar.close, bar.open, bar.high, bar.low);
  const double body_min = py_min(bar.close, bar.open);
  const double body_max = py_max(bar.close, bar.open);
  const double bar_min = m.template setting<Setting::only_body_cross>() ? body_min : ohlc_min;
  const double bar_max = m.template setting<Setting::only_body_cross>() ? body_max : ohlc_max;
  return {ohlc_min, ohlc_max, bar_min, bar_max};
}

// The line's level as the cross tests of `band` compare it.
template <class M>
double level_against(M& m, const typename M::Line& line, const CrossBand& band) {
  return level_to_compare(m, line, band.ohlc_min, band.ohlc_max, band.bar_min, band.bar_max);
}

// A line's attributes as the rules read and write them: on the line through the model.
template <class M>
class ModelLine {
 public:
  ModelLine(M& m, const typename M::Line& line) : m_(m), line_(line) {}
  double level_against(const CrossBand& band) const { return core::level_against(m_, line_, band); }
  template <KerdAttr A>
  kerd_attr_type<A> get() const {
    return m_.template get<A>(line_);
  }
  template <KerdAttr A>
  void set(kerd_attr_type<A> value) const {
    m_.template set<A>(line_, value);
  }

 private:
  M& m_;
  const typename M::Line& line_;
};

// A checked line on a straddling bar: count it when it is a counted cross, then either move the
// line's post-extension end to this bar or, past the tolerance, mark the line violated.
template <class M, class L>
void apply_checked_rule(M& m, L&& line, const CrossBand& band, int64_t bar) {
  const double level = line.level_against(band);
  if (!band.straddles(level)) return;
  if (band.counts(level)) {
    const int64_t count = line.template get<KerdAttr::bar_crosses_post_extend>();
    line.template set<KerdAttr::bar_crosses_post_extend>(narrow_index(wide(count) + 1));
  }
  const int64_t count = line.template get<KerdAttr::bar_crosses_post_extend>();
  if (count <= m.template setting<Setting::kerd_extend_bar_cross_threshold>())
    line.template set<KerdAttr::post_extend_end_bar_index>(bar);
  else
    line.template set<KerdAttr::violated>(true);
}

// An extended, unchecked line on a straddling bar after its extension bar: the first cross.
// The order of the last two writes differs between the two operations.
enum class FirstCrossOrder { checked_first, end_first };

template <class L>
void apply_first_cross_rule(L&& line, const CrossBand& band, int64_t bar, FirstCrossOrder order) {
  const double level = line.level_against(band);
  if (!band.straddles(level)) return;
  if (band.counts(level)) {
    const int64_t count = line.template get<KerdAttr::bar_crosses_post_extend>();
    line.template set<KerdAttr::bar_crosses_post_extend>(narrow_index(wide(count) + 1));
  }
  if (order == FirstCrossOrder::checked_first) {
    line.template set<KerdAttr::historical_extend_bar_crosses_checked>(true);
    line.template set<KerdAttr::post_extend_end_bar_index>(bar);
  } else {
    line.template set<KerdAttr::post_extend_end_bar_index>(bar);
    line.template set<KerdAttr::historical_extend_bar_crosses_checked>(true);
  }
}

// Line writes held back for a scope where the model can hold them (HoldsLineWrites): the
// rules write a line's state bar after bar, and only its last state may be seen.
template <class M>
class HeldLineWrites {
 public:
  explicit HeldLineWrites(M& m) : m_(m) {
    if constexpr (HoldsLineWrites<M>) m_.hold_line_writes();
  }
  HeldLineWrites(const HeldLineWrites&) = delete;
  HeldLineWrites& operator=(const HeldLineWrites&) = delete;
  ~HeldLineWrites() {
    if constexpr (HoldsLineWrites<M>)
      if (!released_) m_.release_line_writes_on_error();
  }
  void release() {
    released_ = true;
    if constexpr (HoldsLineWrites<M>) m_.release_line_writes();
  }

 private:
  M& m_;
  bool released_ = false;
};

// Carries every line through the current bar: extends unextended lines at a straddling bar
// whose time differs from the line's end time, checks extended lines at their next straddling
// bar, and counts crossings of checked lines.
template <class M>
void extend_kerd_to_first_cross(M& m) {
  const std::size_t kerd_size = m.kerd_count();
  if (kerd_size == 0) return;
  // The current bar's prices do not depend on the line.
  const BarPrices bar = read_bar(m, price_series(m), 0);
  HeldLineWrites<M> writes(m);
  for (std::size_t x = 0; x < kerd_size; ++x) {
    const typename M::Line line = m.kerd_at(x);
    const CrossBand band = cross_band(m, bar);
    // Operands are read left to right, as the conditions read.
    const auto after_extension_bar = [&] {
      const int64_t bar = m.bar_index();
      return bar > m.template get<KerdAttr::extend_end_bar_index>(line);
    };
    const auto time_differs = [&] {
      const double time = m.value(m.time(), 0);
      return time != m.template get<KerdAttr::end_time>(line);
    };
    if (m.template get<KerdAttr::extended>(line) &&
        !m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line) &&
        after_extension_bar()) {
      apply_first_cross_rule(ModelLine<M>(m, line), band, m.bar_index(),
                             FirstCrossOrder::checked_first);
    } else if (m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line)) {
      apply_checked_rule(m, ModelLine<M>(m, line), band, m.bar_index());
    } else {
      const double level = level_against(m, line, band);
      if (band.straddles(level) && time_differs()) {
        m.template set<KerdAttr::extended>(line, true);
        m.template set<KerdAttr::extend_end_bar_index>(line, m.bar_index());
      }
    }
  }
  writes.release();
}

// A bar of the replay that straddles the line: its y (offset -y) and extent.
struct StraddlingBar {
  int64_t y;
  CrossBand band;
};

// The oldest bar from offset -from_y up to the current bar that straddles `level`. Every bar
// up to it is read, with its extent, as the replay reads it; a model that can search its bars
// directly (m.find_straddle, when m.can_find_straddle allows) reads only the bar it finds.
template <class M>
std::optional<StraddlingBar> next_straddling_bar(M& m, const PriceSeries<M>& series, double level,
                                                 int64_t from_y) {
  if constexpr (SearchesStraddles<M>) {
    bool searchable = true;
    if constexpr (GatesStraddleSearch<M>)
      searchable = m.can_find_straddle(series.close, series.open, series.high, series.low);
    if (searchable) {
      const int64_t y =
          m.find_straddle(series.close, series.open, series.high, series.low, level, from_y);
      if (y < 0) return std::nullopt;
      return StraddlingBar{y, cross_band(m, read_bar(m, series, -y))};
    }
  }
  for (int64_t y = from_y; y >= 0; --y) {
    const CrossBand band = cross_band(m, read_bar(m, series, -y));
    if (band.straddles(level)) return StraddlingBar{y, band};
  }
  return std::nullopt;
}

// The replay's rules for one bar at offset -y, as written: the line's state is read on every
// bar, and only a straddling bar changes it. Unlike the current-bar operation, extension needs
// the bar's time to be strictly later than the line's end time, and an extended, unchecked
// line is left alone on bars up to its extension bar.
template <class M, class L>
void replay_bar(M& m, L&& line, const CrossBand& band, double level, int64_t y) {
  const int64_t bar = narrow_index(wide(m.bar_index()) - y);
  if (line.template get<KerdAttr::extended>()) {
    if (!line.template get<KerdAttr::historical_extend_bar_crosses_checked>() &&
        bar > line.template get<KerdAttr::extend_end_bar_index>()) {
      apply_first_cross_rule(line, band, bar, FirstCrossOrder::end_first);
    } else if (line.template get<KerdAttr::historical_extend_bar_crosses_checked>()) {
      apply_checked_rule(m, line, band, bar);
    }
  } else if (band.straddles(level) &&
             line.template get<KerdAttr::end_time>() < m.value(m.time(), -y)) {
    line.template set<KerdAttr::extend_end_bar_index>(bar);
    line.template set<KerdAttr::extended>(true);
  }
}

// A line's state through one replay, held in locals: read once before it, and written back
// once after it, each attribute with its last value, in the order of their first writes. For
// where the model says that reading and writing the line's state at every straddling bar
// instead could not be told from this (m.replays_locally).
template <class M>
class LocalReplayLine {
 public:
  // Each attribute the rules read, read once.
  LocalReplayLine(M& m, const typename M::Line& line) : m_(m), line_(line) {
    read<KerdAttr::extended>();
    read<KerdAttr::historical_extend_bar_crosses_checked>();
    read<KerdAttr::extend_end_bar_index>();
    read<KerdAttr::end_time>();
    read<KerdAttr::kerd_value>();
    read<KerdAttr::bar_crosses_post_extend>();
  }

  // Whether a replay from offset -from_y can raise nothing but the errors it would raise before
  // its first write: no count or bar index past 64 bits.
  bool fits(int64_t bar_index, int64_t from_y) const {
    return get<KerdAttr::bar_crosses_post_extend>() <=
               std::numeric_limits<int64_t>::max() - from_y - 1 &&
           wide(bar_index) - from_y >= std::numeric_limits<int64_t>::min();
  }

  template <KerdAttr A>
  kerd_attr_type<A> get() const {
    return field<A>(*this);
  }
  double level_against(const CrossBand&) const { return get<KerdAttr::kerd_value>(); }
  template <KerdAttr A>
  void set(kerd_attr_type<A> value) {
    field<A>(*this) = value;
    const auto bit = uint32_t{1} << static_cast<int>(A);
    if ((written_ & bit) == 0) order_[written_count_++] = A;
    written_ |= bit;
  }

  void write_back() const {
    for (int i = 0; i < written_count_; ++i) (this->*ops[index(order_[i])].write)();
  }

  // The writes so far, each attribute with its last value; false when there are more than
  // `writes` holds.
  bool writes(ReplayWrites& out) const {
    if (written_count_ > static_cast<int>(ReplayWrites::kMost)) return false;
    out.count = written_count_;
    for (int i = 0; i < written_count_; ++i) {
      out.attr[i] = order_[i];
      out.bits[i] = (this->*ops[index(order_[i])].bits)();
    }
    return true;
  }
  // Makes the writes of a replay from the same start, as they were made.
  void resume(const ReplayWrites& writes) {
    for (int i = 0; i < writes.count; ++i)
      (this->*ops[index(writes.attr[i])].set_bits)(writes.bits[i]);
  }

 private:
  static constexpr std::size_t index(KerdAttr attr) { return static_cast<std::size_t>(attr); }
  // The local that holds attribute A.
  template <KerdAttr A, class Self>
  static auto& field(Self& self) {
    constexpr auto i = static_cast<std::size_t>(A);
    if constexpr (std::is_same_v<kerd_attr_type<A>, bool>)
      return self.flags_[i];
    else if constexpr (std::is_same_v<kerd_attr_type<A>, int64_t>)
      return self.indices_[i];
    else
      return self.reals_[i];
  }
  template <KerdAttr A>
  void read() {
    field<A>(*this) = m_.template get<A>(line_);
  }
  template <KerdAttr A>
  void write() const {
    m_.template set<A>(line_, field<A>(*this));
  }
  template <KerdAttr A>
  uint64_t bits() const {
    if constexpr (std::is_same_v<kerd_attr_type<A>, double>)
      return std::bit_cast<uint64_t>(field<A>(*this));
    else
      return static_cast<uint64_t>(field<A>(*this));
  }
  template <KerdAttr A>
  void set_bits(uint64_t value) {
    if constexpr (std::is_same_v<kerd_attr_type<A>, double>)
      set<A>(std::bit_cast<double>(value));
    else if constexpr (std::is_same_v<kerd_attr_type<A>, bool>)
      set<A>(value != 0);
    else
      set<A>(static_cast<int64_t>(value));
  }
  // write, bits and set_bits by attribute; none for the list, which no rule writes.
  struct Ops {
    void (LocalReplayLine::*write)() const = nullptr;
    uint64_t (LocalReplayLine::*bits)() const = nullptr;
    void (LocalReplayLine::*set_bits)(uint64_t) = nullptr;
  };
  static constexpr auto ops = []<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<Ops, sizeof...(I)>{[] {
      constexpr auto A = static_cast<KerdAttr>(I);
      if constexpr (info(A).kind == ValueKind::list)
        return Ops{};
      else
        return Ops{&LocalReplayLine::write<A>, &LocalReplayLine::bits<A>,
                   &LocalReplayLine::set_bits<A>};
    }()...};
  }
  (std::make_index_sequence<kerd_attr_info.size()>{});

  M& m_;
  const typename M::Line& line_;
  std::array<bool, kerd_attr_info.size()> flags_{};
  std::array<int64_t, kerd_attr_info.size()> indices_{};
  std::array<double, kerd_attr_info.size()> reals_{};
  // The writes, in the order of their first writes.
  std::array<KerdAttr, kerd_attr_info.size()> order_{};
  int written_count_ = 0;
  uint32_t written_ = 0;
};

// Whether the reads of the line's state on a bar that does not straddle it can be left out:
// true unless the model says they could be seen (a host line lacking an attribute, or with a
// hook on one).
template <class M>
bool line_reads_unseen(M& m, typename M::Line line) {
  if constexpr (SaysLineReadsUnseen<M>)
    return m.line_reads_unseen(line);
  else
    return true;
}

// Whether the replay of the line may hold its state in locals (LocalReplayLine).
template <class M>
bool replays_locally(M& m, const PriceSeries<M>& series, const typename M::Line& line) {
  if constexpr (GatesStraddleSearch<M>)
    if (!m.can_find_straddle(series.close, series.open, series.high, series.low)) return false;
  return m.replays_locally(line);
}

// The start of a replay held in locals from offset -from_y (ReplayStart); none where the model
// cannot name a series' contents. The settings are read as the rules read them: in this replay
// reading them runs no host code (m.replays_locally).
template <class M>
std::optional<ReplayStart> replay_start(M& m, const PriceSeries<M>& series,
                                        const LocalReplayLine<M>& state, double level,
                                        int64_t from_y) {
  ReplayStart start;
  const typename M::SeriesRef time = m.time();
  const std::array<const typename M::SeriesRef*, 5> all{&series.close, &series.open, &series.high,
                                                        &series.low, &time};
  for (std::size_t s = 0; s < all.size(); ++s) {
    const std::optional<SeriesView> view = m.view(*all[s]);
    start.contents[s] = m.series_contents(*all[s]);
    if (!view || start.contents[s] == 0) return std::nullopt;
    start.position[s] = view->length - 1 - from_y;
  }
  start.first_bar = m.bar_index() - from_y;  // fits: LocalReplayLine::fits
  start.extend_end_bar_index = state.template get<KerdAttr::extend_end_bar_index>();
  start.bar_crosses_post_extend = state.template get<KerdAttr::bar_crosses_post_extend>();
  start.end_time = std::bit_cast<uint64_t>(state.template get<KerdAttr::end_time>());
  start.kerd_value = std::bit_cast<uint64_t>(state.template get<KerdAttr::kerd_value>());
  start.level = std::bit_cast<uint64_t>(level);
  start.cross_threshold =
      std::bit_cast<uint64_t>(m.template setting<Setting::kerd_extend_bar_cross_threshold>());
  start.extended = state.template get<KerdAttr::extended>();
  start.checked = state.template get<KerdAttr::historical_extend_bar_crosses_checked>();
  start.only_body_cross = m.template setting<Setting::only_body_cross>();
  return start;
}

// The replay of a line held in locals over the bars from offset -from_y to the current bar, in
// place: each straddling bar is found in the stored prices and its extent taken from them.
// Fails as the reads of the bar at -from_y would, before any write. Where the model remembers
// replays (RemembersReplays), a replay from the same start over the first bars of these goes
// on from the state it left.
template <class M>
void replay_in_place(M& m, const PriceSeries<M>& series, LocalReplayLine<M>& state, double level,
                     int64_t from_y) {
  for (const auto* s : {&series.close, &series.open, &series.high, &series.low})
    m.value(*s, -from_y);
  const int64_t count = from_y + 1;
  std::optional<ReplayStart> start;
  ReplayMemo* memo = nullptr;
  int64_t known = 0;  // the first bars, replayed before from this start
  if constexpr (RemembersReplays<M>) {
    memo = m.replay_memo();
    if (memo != nullptr) start = replay_start(m, series, state, level, from_y);
    if (start) {
      const ReplayMemo::Found* found = memo->recall(*start);
      if (found != nullptr && found->bars <= count) {
        known = found->bars;
        state.resume(found->writes);
      }
    }
  }
  const int64_t first_y = from_y - known;
  const auto oldest = [&](const typename M::SeriesRef& s) { return m.view(s)->at_y(first_y); };
  const double *close = oldest(series.close), *open = oldest(series.open),
               *high = oldest(series.high), *low = oldest(series.low);
  for_each_straddling_bar(close, open, high, low, count - known, level, [&](int64_t i) {
    const BarPrices bar{close[i], open[i], high[i], low[i]};
    replay_bar(m, state, cross_band(m, bar), level, first_y - i);
    return true;
  });
  if constexpr (RemembersReplays<M>) {
    ReplayWrites writes;
    if (start && count > known && state.writes(writes)) memo->remember(*start, count, writes);
  }
}

// Replays the rules for one unchecked line over the bars from its end to the current bar,
// oldest first. A bar that does not straddle the line changes nothing in any state, so where
// reading the line's state is unseen only straddling bars are visited.
template <class M>
void replay_kerd_history(M& m, const PriceSeries<M>& series, typename M::Line line,
                         int64_t bar_count_to_loop) {
  // No rule changes the level.
  const double level = m.template get<KerdAttr::kerd_value>(line);
  int64_t from_y = std::max<int64_t>(bar_count_to_loop - 1, 0);
  if (!line_reads_unseen(m, line)) {
    for (int64_t y = from_y; y >= 0; --y)
      replay_bar(m, ModelLine<M>(m, line), cross_band(m, read_bar(m, series, -y)), level, y);
    return;
  }
  if constexpr (ReplaysLocally<M>) {
    if (replays_locally(m, series, line)) {
      LocalReplayLine<M> state(m, line);
      if (state.fits(m.bar_index(), from_y)) {
        replay_in_place(m, series, state, level, from_y);
        state.write_back();
        return;
      }
    }
  }
  while (const std::optional<StraddlingBar> hit = next_straddling_bar(m, series, level, from_y)) {
    replay_bar(m, ModelLine<M>(m, line), hit->band, level, hit->y);
    if (hit->y == 0) break;
    from_y = hit->y - 1;
  }
}

// The current bar's prices, as each line of the historical operation reads them: read once
// where the model reads its series in place (m.view) and the bar is stored, and again only
// after host code may have run (m.host_stamp); read by each line in turn otherwise.
template <class M>
class CurrentBar {
 public:
  CurrentBar(M& m, const PriceSeries<M>& series) : m_(m), series_(series) {}

  BarPrices read() {
    if constexpr (ViewsSeries<M>) {
      if (known_ && stamp() == stamp_) return bar_;
      known_ = stored();
      if (known_) {
        bar_ = read_bar(m_, series_, 0);
        stamp_ = stamp();
        return bar_;
      }
    }
    return read_bar(m_, series_, 0);
  }

 private:
  bool stored() const {
    for (const auto* s : {&series_.close, &series_.open, &series_.high, &series_.low}) {
      const std::optional<SeriesView> view = m_.view(*s);
      if (!view || !view->reaches(0, 0)) return false;
    }
    return true;
  }
  uint64_t stamp() const {
    if constexpr (requires { m_.host_stamp(); })
      return m_.host_stamp();
    else
      return 0;
  }

  M& m_;
  const PriceSeries<M>& series_;
  BarPrices bar_{};
  uint64_t stamp_ = 0;
  bool known_ = false;
};

// Brings every line up to date: checked lines see the current bar only, the others are
// replayed from the bar after their end.
template <class M>
void extend_kerd_to_first_cross_from_history(M& m) {
  const std::size_t kerd_size = m.kerd_count();
  if (kerd_size == 0) return;
  const PriceSeries<M> series = price_series(m);
  CurrentBar<M> current(m, series);
  HeldLineWrites<M> writes(m);
  for (std::size_t x = 0; x < kerd_size; ++x) {
    const typename M::Line line = m.kerd_at(x);
    const int64_t bar_index = m.bar_index();
    const wide_int bar_count_to_loop =
        wide(bar_index) - m.template get<KerdAttr::end_bar_index>(line);
    const CrossBand band = cross_band(m, current.read());
    if (m.template get<KerdAttr::historical_extend_bar_crosses_checked>(line)) {
      apply_checked_rule(m, ModelLine<M>(m, line), band, m.bar_index());
      continue;
    }
    // Only max(bar_count_to_loop - 1, 0) matters; a count beyond any series' reach fails at
    // its first read.
    const int64_t loop = static_cast<int64_t>(
        std::clamp<wide_int>(bar_count_to_loop, 0, std::numeric_limits<int64_t>::max()));
    replay_kerd_history(m, series, line, loop);
  }
  writes.release();
}

}  // namespace torvex::core
