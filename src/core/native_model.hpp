#pragma once
// The native object model: lines as structs in a vector, series as contiguous arrays, settings
// as a struct. The C++ tests and benchmarks run on it, and hosts that hand over whole arrays
// can use it as a batch path.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/engine_bar_search.hpp"
#include "core/error.hpp"
#include "core/kerd.hpp"
#include "core/model.hpp"
#include "core/native_state.hpp"
#include "core/pymath.hpp"
#include "core/records.hpp"
#include "core/scratch.hpp"
#include "core/snib_reach.hpp"
#include "core/value_list.hpp"

namespace torvex::core {

class NativeModel {
 public:
  using Line = Kerd*;
  using Pivot = const Snib*;
  using Window = Mavet*;
  using SeriesRef = const Series&;
  using Key = double;

  explicit NativeModel(EngineState& state) : s_(state) {}

  // Lines.
  // A value left unweighed is weighed on its first read; a write replaces it.
  template <KerdAttr A>
  kerd_attr_type<A> get(Line line) const {
    if constexpr (A == KerdAttr::kerd_value) weigh(line);
    return line->field<A>();
  }
  template <KerdAttr A>
  void set(Line line, kerd_attr_type<A> value) const {
    if constexpr (A == KerdAttr::kerd_value) line->later.unweighed = false;
    line->field<A>() = value;
  }
  template <KerdAttr A>
  bool differs(Line a, Line b) const {
    if constexpr (A == KerdAttr::kerd_value) {
      // Outside the range of the value left unweighed, the other value differs from it.
      if (a->later.unweighed && !b->later.unweighed) {
        const ValueRange& range = awaiting(a).range;
        if (b->kerd_value < range.low || b->kerd_value > range.high) return true;
      }
      weigh(a);
      weigh(b);
    }
    return a->field<A>() != b->field<A>();
  }
  template <KerdAttr A>
  void copy(Line to, Line from) const {
    if constexpr (A == KerdAttr::kerd_value) {
      weigh(from);
      to->later.unweighed = false;
    }
    to->field<A>() = from->field<A>();
  }
  ScratchPool::Lease scratch() const { return scratch_.lease(); }
  std::size_t snib_count(Line line) const { return line->snib_values.size(); }
  void read_snib_values(Line line, std::vector<double>& out) const {
    out.insert(out.end(), line->snib_values.begin(), line->snib_values.end());
  }
  void extend_snib_values(Line self, Line target) const {
    self->snib_values.append(target->snib_values);  // the last two change: the sums lapse
  }
  // In place: the list keeps its buffer while it has room.
  void prepend_snib_values(Line self, Line target) const {
    ValueList& own = self->snib_values;
    LaterState& later = self->later;  // the new values join the general part
    const bool kept = later.stamp == own.stamp() && own.size() >= 2;
    if (kept)
      for (double value : target->snib_values) later.add(value);
    own.prepend(target->snib_values);  // self == target: the list twice
    later.stamp = kept ? own.stamp() : 0;
  }
  std::span<const double> snib_span(Line line) const { return line->snib_values; }
  // The weighted value of first's values joined with second's, as the crossing test computed
  // it, for the backward merge of first into second that may follow.
  void remember_merged_value(Line first, Line second, double last, double second_last,
                             double general, double value, uint64_t) const {
    merged_ = {first,
               second,
               first->snib_values.size(),
               second->snib_values.size(),
               {last, second_last, general},
               value,
               false};
  }
  // After that merge: second's values are now first's joined with its own.
  std::optional<double> recall_merged_value(Line first, Line second, double last,
                                            double second_last, double general) const {
    const MergedValue k = std::exchange(merged_, MergedValue{});
    if (k.unweighed || !k.follows(first, second, {last, second_last, general})) return std::nullopt;
    return k.value;
  }

  // ---- Weighing later (core/model.hpp), within the scope weigh_later() returns.
  class LaterScope {
   public:
    explicit LaterScope(const NativeModel& m) : m_(m) {
      if (m_.later_depth_++ == 0) m_.scope_ = ++scopes_;
    }
    LaterScope(const LaterScope&) = delete;
    LaterScope& operator=(const LaterScope&) = delete;
    ~LaterScope() {
      if (--m_.later_depth_ > 0) return;
      m_.forget_later();
      m_.scope_ = 0;
    }

   private:
    const NativeModel& m_;
  };
  LaterScope weigh_later() const { return LaterScope(*this); }
  // Weighs every value left unweighed, for a reader of the lines' fields themselves.
  void weigh_all() const { forget_later(); }

  // The range of the weighted value of first's values joined with second's (a line of the
  // list with at least two values), from sums kept for second; nothing where the sums could
  // not bound it safely (weights not all positive, values not finite or of extreme size).
  std::optional<ValueRange> merged_value_range(Line first, Line second, double last,
                                               double second_last, double general) const {
    return joined_range(first->snib_values, second, last, second_last, general);
  }
  // `range` is the range merged_value_range gave: it bounds the value of the list the merge
  // makes.
  void keep_merge_unweighed(Line first, Line second, double last, double second_last,
                            double general, ValueRange range) const {
    merged_ = {first,
               second,
               first->snib_values.size(),
               second->snib_values.size(),
               {last, second_last, general},
               0.0,
               true,
               range};
  }
  // After that merge: second's value is left to be weighed when read.
  bool leave_merge_unweighed(Line first, Line second, double last, double second_last,
                             double general) const {
    if (!merged_.unweighed) return false;
    const MergedValue k = std::exchange(merged_, MergedValue{});
    // Only a line of the list: the scope's end finds it by its position.
    const uintptr_t offset =
        reinterpret_cast<uintptr_t>(second) - reinterpret_cast<uintptr_t>(s_.kerds->data());
    if (offset / sizeof(Kerd) >= s_.kerds->size() || offset % sizeof(Kerd) != 0 ||
        !k.follows(first, second, {last, second_last, general}))
      return false;
    const std::size_t y = offset / sizeof(Kerd);
    if (!second->later.listed) unweighed_.push_back(y);  // once, however often it waits
    second->later.listed = true;
    second->later.unweighed = true;
    if (y >= awaiting_.size()) awaiting_.resize(s_.kerds->size());
    awaiting_[y] = {k.range, {last, second_last, general}};
    return true;
  }
  std::optional<ValueRange> unweighed_value_range(Line line) const {
    if (!line->later.unweighed) return std::nullopt;
    return awaiting(line).range;
  }
  int64_t line_bar_index(Line line) const { return line->bar_index; }
  double line_mintick(Line line) const { return line->mintick; }
  const Series& line_close(Line line) const { return line->bars->close; }
  const Series& line_open(Line line) const { return line->bars->open; }

  // Series.
  double value(const Series& series, int64_t offset) const { return series.at(offset); }
  bool truth(const Series& series, int64_t offset) const { return series.at(offset) != 0.0; }
  std::optional<SeriesView> view(const Series& series) const {
    return SeriesView{series.data, series.length};
  }
  // The oldest bar from offset -from_y up to the current bar whose open, high, low and close
  // lie strictly on both sides of `level`, as its y (offset -y); -1 when none does. Fails as a
  // read at -from_y would when the series do not reach that far.
  int64_t find_straddle(const Series& close, const Series& open, const Series& high,
                        const Series& low, double level, int64_t from_y) const {
    for (const Series* series : {&close, &open, &high, &low}) series->at(-from_y);
    return oldest_straddle(*view(close), *view(open), *view(high), *view(low), level, from_y);
  }

  // Nothing here is host code: reads are unseen, and only the series' reach can fail.
  bool merge_tests_unseen(Line) const { return true; }
  uint64_t host_stamp() const { return 0; }
  uint64_t lines_stamp() const { return 0; }

  // Engine base values.
  int64_t bar_index() const { return s_.bar_index; }
  int64_t last_bar_index() const { return s_.last_bar_index; }
  double mintick() const { return s_.mintick; }
  const Series& close() const { return s_.bars.close; }
  const Series& open() const { return s_.bars.open; }
  const Series& high() const { return s_.bars.high; }
  const Series& low() const { return s_.bars.low; }
  const Series& time() const { return s_.bars.time; }
  const Series& pivot_series(PivotKind kind) const {
    switch (kind) {
      case PivotKind::normal_high:
        return s_.normal_high_snib;
      case PivotKind::normal_low:
        return s_.normal_low_snib;
      case PivotKind::trending_high:
        return s_.trending_high_snib;
      default:
        return s_.trending_low_snib;
    }
  }

  template <Setting S>
  setting_type<S> setting() const {
    return s_.settings->get<S>();
  }

  // Lines of the engine.
  std::size_t kerd_count() const { return s_.kerds->size(); }
  Line kerd_at(std::size_t i) const { return &(*s_.kerds)[i]; }
  void append_kerd(Line line) const { s_.kerds->push_back(*line); }
  void clear_kerds() const {
    forget_later();
    s_.kerds->clear();
  }
  void remove_first_kerd() const {
    forget_later();
    s_.kerds->erase(s_.kerds->begin());
  }
  void reorder_kerds(std::span<const std::size_t> order) const {
    forget_later();
    std::vector<Kerd> sorted;
    sorted.reserve(order.size());
    for (std::size_t i : order) sorted.push_back(std::move((*s_.kerds)[i]));
    *s_.kerds = std::move(sorted);
  }
  // The new line lives in the model until the next make_kerd call.
  Line make_kerd(const KerdSeed& seed) {
    merged_ = {};  // the new line takes the place of the last one
    fresh_.bars = &s_.bars;
    fresh_.bar_index = s_.bar_index;
    fresh_.last_bar_index = s_.last_bar_index;
    fresh_.mintick = s_.mintick;
    fresh_.start_bar_index = seed.start_bar_index;
    fresh_.end_bar_index = seed.end_bar_index;
    fresh_.start_time = static_cast<double>(seed.start_time);
    fresh_.end_time = static_cast<double>(seed.end_time);
    fresh_.kerd_value = seed.kerd_value;
    fresh_.kerd_accum_value = seed.kerd_accum_value;
    fresh_.snib_values.assign(1, seed.snib_value);  // keeps the vector's capacity
    fresh_.close_avg_percent = seed.close_avg_percent;
    fresh_.later = {};
    for_each_kerd_attr([this]<KerdAttr A>() {
      if constexpr (static_cast<std::size_t>(A) >= kKerdRequiredAttrs) fresh_.field<A>() = {};
    });
    return &fresh_;
  }

  // Pivots.
  // The leading processed pivots that no line kept by the pruning on this bar can use
  // (core/snib_reach.hpp); none while every pivot is to be offered.
  std::size_t unreachable_snibs() const {
    if (keep_every_snib_) return 0;
    return snib_reach_.unreachable(*s_.vip_snibs, s_.bar_index,
                                   setting<Setting::bar_count_to_snib>(),
                                   setting<Setting::kerd_length_threshold>());
  }
  // Offer every processed pivot to every rebuild (the plain path, for comparisons).
  void keep_every_snib(bool keep) { keep_every_snib_ = keep; }
  // The first `count` processed pivots left the list.
  void forget_snibs(std::size_t count) const {
    s_.vip_snibs->erase(s_.vip_snibs->begin(),
                        s_.vip_snibs->begin() + static_cast<std::ptrdiff_t>(count));
    snib_reach_.dropped(count);
  }
  std::size_t new_snib_count() const { return s_.new_vip_snibs->size(); }
  std::size_t vip_snib_count() const { return s_.vip_snibs->size(); }
  Pivot vip_snib_at(std::size_t i) const { return &(*s_.vip_snibs)[i]; }
  void append_new_snib(const Snib& snib) const { s_.new_vip_snibs->push_back(snib); }
  void pop_new_snib_to_vip() const {
    s_.vip_snibs->push_back(s_.new_vip_snibs->back());
    s_.new_vip_snibs->pop_back();
  }
  void move_new_snibs_to_vip() const {
    s_.vip_snibs->insert(s_.vip_snibs->end(), s_.new_vip_snibs->begin(), s_.new_vip_snibs->end());
    s_.new_vip_snibs->clear();
  }
  template <PivotField F>
  pivot_field_type<F> pivot(Pivot p) const {
    if constexpr (F == PivotField::bar_index_at_pivot)
      return p->bar_index_at_pivot;
    else if constexpr (F == PivotField::bar_time_at_pivot)
      return p->bar_time_at_pivot;
    else if constexpr (F == PivotField::price)
      return p->price;
    else
      return p->close_avg_percent;
  }

  // Windows.
  std::size_t mavet_count() const { return s_.mavets->size(); }
  Window mavet_at(std::size_t i) const { return &(*s_.mavets)[i]; }
  void append_mavet(const Mavet& window) const { s_.mavets->push_back(window); }
  void remove_first_mavet() const { s_.mavets->erase(s_.mavets->begin()); }
  template <MavetField F>
  mavet_field_type<F> window(Window w) const {
    return w->*mavet_member<F>::pointer;
  }
  template <MavetField F>
  void set_window(Window w, mavet_field_type<F> value) const {
    if constexpr (F == MavetField::recover_at_bar_index)
      w->recover_at_bar_index = to_int32(value);
    else if constexpr (F == MavetField::recovered)
      w->recovered = value;
    else
      static_assert(F == MavetField::recovered, "the engine writes only these two fields");
  }

  // The latest-window mapping, keyed by the tick-rounded price.
  Key round_key(double price) const { return round_to_mintick(price, s_.mintick); }
  bool latest_contains(Key key) const { return s_.latest_mavets->contains(key); }
  int64_t latest_get(Key key, int64_t fallback) const {
    auto found = s_.latest_mavets->find(key);
    return found == s_.latest_mavets->end() ? fallback : found->second;
  }
  void latest_set(Key key, int64_t bar) const { (*s_.latest_mavets)[key] = bar; }

  // Results of the window checks, as plain records.
  using WindowCopy = Mavet;
  using Result = MavetResult;
  using Success = MavetSuccess;
  using Failure = MavetFailure;
  using ResultV2 = MavetResultV2;
  using SuccessList = std::vector<MavetSuccess>;

  Mavet copy_window(Window w) const { return *w; }
  MavetResult make_result(const CheckOutcome& o, std::optional<Mavet> mavet) const {
    const Violations& v = o.violations;
    return {
        o.has_signal,    o.close_above_low_and_kerd,           v.extend_bar_cross, v.recover_window,
        v.signal_window, v.search_range_close_above_bar_count, std::move(mavet)};
  }
  MavetSuccess make_success(bool is_vvip, Mavet mavet) const {
    return {true, is_vvip, std::move(mavet)};
  }
  MavetFailure make_failure(const Violations& v, Mavet mavet) const {
    return {true,
            v.extend_bar_cross,
            v.recover_window,
            v.signal_window,
            v.search_range_close_above_bar_count,
            std::move(mavet)};
  }
  SuccessList new_success_list() const { return {}; }
  void append_success(SuccessList& list, MavetSuccess success) const {
    list.push_back(std::move(success));
  }
  std::size_t success_count(const SuccessList& list) const { return list.size(); }
  const MavetSuccess* success_at(const SuccessList& list, std::size_t i) const { return &list[i]; }
  bool success_is_vvip(const MavetSuccess* success) const { return success->is_vvip_signal; }
  MavetResultV2 make_result_v2_success(std::optional<const MavetSuccess*> chosen) const {
    MavetResultV2 result;
    if (chosen) result.success = **chosen;
    return result;
  }
  MavetResultV2 make_result_v2_failure(MavetFailure failure) const {
    MavetResultV2 result;
    result.failure = std::move(failure);
    return result;
  }
  MavetResultV2 make_result_v2_empty() const { return {}; }

  EngineState& state() const { return s_; }

 private:
  struct MergedValue {
    Line first = nullptr, second = nullptr;
    std::size_t first_size = 0, second_size = 0;
    double weights[3] = {};
    double value = 0.0;
    bool unweighed = false;  // only the range was known
    ValueRange range{};      // then, the range

    // Whether this was kept for the backward merge of first into second just made.
    bool follows(Line f, Line s, const std::array<double, 3>& w) const {
      for (int i = 0; i < 3; ++i)
        if (std::bit_cast<uint64_t>(w[i]) != std::bit_cast<uint64_t>(weights[i])) return false;
      return first != nullptr && first == f && second == s && first_size == f->snib_values.size() &&
             first_size + second_size == s->snib_values.size();
    }
  };

  // The sums of a line's values, summed anew when the list changed otherwise than by a
  // prepend; none outside a scope.
  LaterState* sums_of(Line line) const {
    if (scope_ == 0) return nullptr;
    LaterState& later = line->later;
    const ValueList& values = line->snib_values;
    if (later.stamp != values.stamp()) {
      later.sum(values);
      later.stamp = values.stamp();
    }
    return &later;
  }
  // The range and weights of a line awaiting weighing: a line of the list, which does not move
  // while it awaits (forget_later comes first).
  struct Awaiting {
    ValueRange range{};
    double weights[3] = {};
  };
  const Awaiting& awaiting(Line line) const {
    return awaiting_[static_cast<std::size_t>(line - s_.kerds->data())];
  }
  void weigh(Line line) const {
    if (!line->later.unweighed) return;
    line->later.unweighed = false;
    const Awaiting& a = awaiting(line);
    line->kerd_value =
        calculate_weighted_kerd_value(*this, std::span<const double>(line->snib_values),
                                      a.weights[0], a.weights[1], a.weights[2]);
  }
  // Weighs every value left unweighed: the lines are about to move, or the scope ends.
  void forget_later() const {
    jobs_.clear();
    for (std::size_t y : unweighed_) {
      if (y >= s_.kerds->size()) continue;
      Kerd& line = (*s_.kerds)[y];
      line.later.listed = false;
      if (!line.later.unweighed) continue;  // weighed when read
      line.later.unweighed = false;
      const Awaiting& a = awaiting_[y];
      jobs_.push_back(
          {line.snib_values, a.weights[0], a.weights[1], a.weights[2], &line.kerd_value});
    }
    weigh_together(jobs_, &norms_);
    unweighed_.clear();
  }

  std::optional<ValueRange> joined_range(std::span<const double> first, Line second, double last,
                                         double second_last, double general) const {
    // Short lists weigh faster than their range decides.
    constexpr std::size_t kShortList = 32;
    const ValueList& values = second->snib_values;
    if (values.size() < 2 || first.size() + values.size() < kShortList) return std::nullopt;
    LaterState* later = sums_of(second);
    if (later == nullptr) return std::nullopt;
    LaterState joined = *later;
    for (double value : first) joined.add(value);
    return weighed_range(joined, first.size() + values.size(), values, last, second_last, general);
  }

  // The range of the weighted value of `count` values: their general part summed in `sums`,
  // the last two those of `tail`. With positive weights, the value summed in order lies within
  // (2 count + 3) u of the real weighted mean, and this mean within (count + 9) u, where u is
  // 2^-53 of the weighted mean of the magnitudes (the sums see each value at most `count`
  // times); the margin is twice that and more. Extreme sizes, where products could leave the
  // normal range, get no range.
  static std::optional<ValueRange> weighed_range(const LaterState& sums, std::size_t count,
                                                 std::span<const double> tail, double last,
                                                 double second_last, double general) {
    for (double w : {last, second_last, general})
      if (!(w > 0.0) || !std::isfinite(w)) return std::nullopt;
    const double v2 = tail[tail.size() - 2], v1 = tail[tail.size() - 1];
    const double sum = general * sums.general + second_last * v2 + last * v1;
    const double norm = general * static_cast<double>(count - 2) + second_last + last;
    const double magnitude =
        general * sums.magnitude + second_last * std::abs(v2) + last * std::abs(v1);
    constexpr double kTiny = 1e-250, kHuge = 1e250;
    if (!std::isfinite(sum) || !(magnitude <= kHuge) || !(norm >= kTiny && norm <= kHuge) ||
        (magnitude != 0.0 && magnitude < kTiny) || count > (std::size_t{1} << 40))
      return std::nullopt;
    const double mean = sum / norm;
    const double margin = (8.0 * static_cast<double>(count) + 128.0) * 0x1p-53 * (magnitude / norm);
    return ValueRange{mean - margin, mean + margin};
  }

  EngineState& s_;
  Kerd fresh_;
  mutable MergedValue merged_;
  mutable ScratchPool scratch_;
  mutable std::vector<std::size_t> unweighed_;  // positions of lines awaiting weighing
  mutable std::vector<Awaiting> awaiting_;      // by position in the list
  mutable std::vector<WeighJob> jobs_;          // forget_later's, kept for their room
  mutable NormTable norms_;                     // forget_later's, kept while the weight stays
  mutable SnibReach snib_reach_;
  bool keep_every_snib_ = false;
  mutable uint64_t scope_ = 0;  // this model's scope while one is open
  mutable int later_depth_ = 0;
  inline static std::atomic<uint64_t> scopes_{0};
};

static_assert(ObjectModel<NativeModel> && ViewsSeries<NativeModel> &&
              SearchesStraddles<NativeModel> && SaysMergeTestsUnseen<NativeModel> &&
              SpansSnibValues<NativeModel> && RemembersMergedValue<NativeModel> &&
              RecallsMergedValue<NativeModel> && WeighsLater<NativeModel> &&
              SkipsUnreachableSnibs<NativeModel>);
static_assert(!ReadsRawElements<NativeModel> && !GatesStraddleSearch<NativeModel> &&
              !DispatchesSuccessChoice<NativeModel> && !OverridesOperations<NativeModel>);

}  // namespace torvex::core
