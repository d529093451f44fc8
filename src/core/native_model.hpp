#pragma once
// The native object model: lines as structs in a vector, series as contiguous arrays, settings
// as a struct. The C++ tests and benchmarks run on it, and hosts that hand over whole arrays
// can use it as a batch path.
#include <algorithm>
#include <bit>
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
#include "core/model.hpp"
#include "core/pymath.hpp"
#include "core/records.hpp"
#include "core/scratch.hpp"

namespace torvex::core {

// A bar series up to the current bar: data[length - 1] is the current value.
struct Series {
  const double* data = nullptr;
  int64_t length = 0;

  double at(int64_t offset) const {
    const int64_t i = length - 1 + offset;
    if (offset > 0 || i < 0 || i >= length) out_of_reach(offset);
    return data[i];
  }

 private:
  // Kept out of line so that reads inline.
  [[noreturn, gnu::noinline, gnu::cold]] static void out_of_reach(int64_t offset) {
    throw Error(ErrorKind::index,
                "series offset " + std::to_string(offset) + " lies outside the series' history");
  }
};

// The series a line or engine shares with the host.
struct Bars {
  Series close, open, high, low, time;
};

// A line attribute's or setting's native type.
template <ValueKind K>
using native_type =
    std::conditional_t<K == ValueKind::list, std::vector<double>,
                       typename value_of<K == ValueKind::list ? ValueKind::price : K>::type>;
template <SettingKind K>
using setting_value_t = typename setting_value_of<K>::type;

// The native member of each table entry, by its enumerator (specialised below the structs).
template <KerdAttr A>
struct kerd_member;
template <Setting S>
struct setting_member;
template <MavetField F>
struct mavet_member;

// One line; the base values are those the line was given when it was built.
struct Kerd {
  const Bars* bars = nullptr;
  int64_t bar_index = 0;
  int64_t last_bar_index = 0;
  double mintick = 0.0;

#define TORVEX_KERD_MEMBER(name, kind) native_type<ValueKind::kind> name{};
  TORVEX_KERD_ATTRS(TORVEX_KERD_MEMBER)
#undef TORVEX_KERD_MEMBER

  template <KerdAttr A>
  auto& field() {
    return this->*kerd_member<A>::pointer;
  }
  template <KerdAttr A>
  const auto& field() const {
    return this->*kerd_member<A>::pointer;
  }
};

struct Settings {
#define TORVEX_SETTING_MEMBER(name, kind) setting_value_t<SettingKind::kind> name{};
  TORVEX_SETTINGS(TORVEX_SETTING_MEMBER)
#undef TORVEX_SETTING_MEMBER

  template <Setting S>
  setting_type<S>& field() {
    return this->*setting_member<S>::pointer;
  }
  template <Setting S>
  setting_type<S> get() const {
    return this->*setting_member<S>::pointer;
  }
};

#define TORVEX_MEMBER(table, type, enumeration, name) \
  template <>                                         \
  struct table<enumeration::name> {                   \
    static constexpr auto pointer = &type::name;      \
  };
#define TORVEX_KERD_POINTER(name, kind) TORVEX_MEMBER(kerd_member, Kerd, KerdAttr, name)
#define TORVEX_SETTING_POINTER(name, kind) TORVEX_MEMBER(setting_member, Settings, Setting, name)
#define TORVEX_MAVET_POINTER(name, kind) TORVEX_MEMBER(mavet_member, Mavet, MavetField, name)
TORVEX_KERD_ATTRS(TORVEX_KERD_POINTER)
TORVEX_SETTINGS(TORVEX_SETTING_POINTER)
TORVEX_MAVET_FIELDS(TORVEX_MAVET_POINTER)
#undef TORVEX_MAVET_POINTER
#undef TORVEX_SETTING_POINTER
#undef TORVEX_KERD_POINTER
#undef TORVEX_MEMBER

// Everything a native engine works on. The containers belong to whoever built the state and
// are changed in place; the series views are advanced by the caller before each bar.
struct EngineState {
  Settings* settings = nullptr;
  std::vector<Kerd>* kerds = nullptr;
  std::vector<Snib>* vip_snibs = nullptr;
  std::vector<Snib>* new_vip_snibs = nullptr;
  std::vector<Mavet>* mavets = nullptr;
  std::unordered_map<double, int64_t>* latest_mavets = nullptr;
  Series normal_high_snib, normal_low_snib, trending_high_snib, trending_low_snib;
  Bars bars;
  int64_t bar_index = 0;
  int64_t last_bar_index = 0;
  double mintick = 0.0;
};

// The containers of one native engine and its state over them; the series are shown by the
// owner (core/engine_runner.hpp's show_bars for whole arrays).
struct EngineStore {
  explicit EngineStore(const Settings& initial = {}, double mintick = 0.0) : settings(initial) {
    state.settings = &settings;
    state.kerds = &kerds;
    state.vip_snibs = &vip_snibs;
    state.new_vip_snibs = &new_vip_snibs;
    state.mavets = &mavets;
    state.latest_mavets = &latest_mavets;
    state.mintick = mintick;
  }
  EngineStore(const EngineStore&) = delete;
  EngineStore& operator=(const EngineStore&) = delete;

  Settings settings;
  std::vector<Kerd> kerds;
  std::vector<Snib> vip_snibs, new_vip_snibs;
  std::vector<Mavet> mavets;
  std::unordered_map<double, int64_t> latest_mavets;
  EngineState state;
};

class NativeModel {
 public:
  using Line = Kerd*;
  using Pivot = const Snib*;
  using Window = Mavet*;
  using SeriesRef = const Series&;
  using Key = double;

  explicit NativeModel(EngineState& state) : s_(state) {}

  // Lines.
  template <KerdAttr A>
  kerd_attr_type<A> get(Line line) const {
    return line->field<A>();
  }
  template <KerdAttr A>
  void set(Line line, kerd_attr_type<A> value) const {
    line->field<A>() = value;
  }
  template <KerdAttr A>
  bool differs(Line a, Line b) const {
    return a->field<A>() != b->field<A>();
  }
  template <KerdAttr A>
  void copy(Line to, Line from) const {
    to->field<A>() = from->field<A>();
  }
  ScratchPool::Lease scratch() const { return scratch_.lease(); }
  std::size_t snib_count(Line line) const { return line->snib_values.size(); }
  void read_snib_values(Line line, std::vector<double>& out) const {
    out.insert(out.end(), line->snib_values.begin(), line->snib_values.end());
  }
  void extend_snib_values(Line self, Line target) const {
    // Copy first: self and target may be the same line.
    const std::vector<double> added = target->snib_values;
    self->snib_values.insert(self->snib_values.end(), added.begin(), added.end());
  }
  // In place: the list keeps its buffer while it has room.
  void prepend_snib_values(Line self, Line target) const {
    std::vector<double>& own = self->snib_values;
    if (self == target) {  // target then self: the list twice
      const std::size_t count = own.size();
      own.resize(2 * count);
      std::copy_n(own.begin(), count, own.begin() + static_cast<std::ptrdiff_t>(count));
      return;
    }
    own.insert(own.begin(), target->snib_values.begin(), target->snib_values.end());
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
               value};
  }
  // After that merge: second's values are now first's joined with its own.
  std::optional<double> recall_merged_value(Line first, Line second, double last,
                                            double second_last, double general) const {
    const MergedValue k = std::exchange(merged_, MergedValue{});
    const double weights[3] = {last, second_last, general};
    for (int i = 0; i < 3; ++i)
      if (std::bit_cast<uint64_t>(weights[i]) != std::bit_cast<uint64_t>(k.weights[i]))
        return std::nullopt;
    if (k.first == nullptr || k.first != first || k.second != second ||
        k.first_size != first->snib_values.size() ||
        k.first_size + k.second_size != second->snib_values.size())
      return std::nullopt;
    return k.value;
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
    const int64_t count = from_y + 1;
    const int64_t found = first_straddling_bar(
        close.data + (close.length - count), open.data + (open.length - count),
        high.data + (high.length - count), low.data + (low.length - count), count, level);
    return found < 0 ? -1 : from_y - found;
  }

  // Nothing here is host code: reads are unseen, and only the series' reach can fail.
  bool merge_tests_unseen(Line) const { return true; }
  uint64_t host_stamp() const { return 0; }

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
  void clear_kerds() const { s_.kerds->clear(); }
  void remove_first_kerd() const { s_.kerds->erase(s_.kerds->begin()); }
  void reorder_kerds(std::span<const std::size_t> order) const {
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
    for_each_kerd_attr([this]<KerdAttr A>() {
      if constexpr (static_cast<std::size_t>(A) >= kKerdRequiredAttrs) fresh_.field<A>() = {};
    });
    return &fresh_;
  }

  // Pivots.
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
  };

  EngineState& s_;
  Kerd fresh_;
  mutable MergedValue merged_;
  mutable ScratchPool scratch_;
};

static_assert(ObjectModel<NativeModel> && ViewsSeries<NativeModel> &&
              SearchesStraddles<NativeModel> && SaysMergeTestsUnseen<NativeModel> &&
              SpansSnibValues<NativeModel> && RemembersMergedValue<NativeModel> &&
              RecallsMergedValue<NativeModel>);
static_assert(!ReadsRawElements<NativeModel> && !GatesStraddleSearch<NativeModel> &&
              !DispatchesSuccessChoice<NativeModel> && !OverridesOperations<NativeModel>);

}  // namespace torvex::core
