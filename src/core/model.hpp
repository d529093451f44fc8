#pragma once
// The object-model seam. Every line and engine algorithm is a template over a model M that
// says how to reach the host's objects; the native model (native_model.hpp) keeps them as
// structs and arrays, the Python model (python/python_model.hpp) reads the host's own objects.
// What a model provides is stated as concepts at the end of this file, and every model
// asserts the ones it meets, so a misspelt member fails to compile instead of turning a path
// off.
//
// In the Python model every read and write is observable (a settings object may record its
// reads, a series may raise half-way), so algorithms perform each access at the point and in
// the order the behaviour requires, and never cache a setting across uses.
//
// Values cross the seam as: bar indices and counts int64_t, prices and numbers double, times
// double (host integer times compare exactly below 2^53), flags bool.
//
// Errors: a failing host access throws (core::Error in the native model, py::PyError in the
// Python model); algorithms never catch.
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/records.hpp"

namespace torvex::core {

// A series' stored values, oldest first: offset 0 (the current bar) is data[length - 1].
struct SeriesView {
  const double* data = nullptr;
  int64_t length = 0;

  // Whether the offsets from -y_far up to -y_near (0 <= y_near <= y_far) are all stored.
  bool reaches(int64_t y_far, int64_t y_near) const {
    return 0 <= y_near && y_near <= y_far && y_far < length;
  }
  const double* at_y(int64_t y) const { return data + (length - 1 - y); }
};

enum class ValueKind { index, time, price, flag, list };

struct AttrInfo {
  std::string_view name;
  ValueKind kind;
};

// The base indicator's values, in the order its constructor takes them.
enum class BaseValue : int { close, open, high, low, bar_index, time, last_bar_index, mintick };
inline constexpr std::array<std::string_view, 8> base_value_names{
    "close", "open", "high", "low", "bar_index", "time", "last_bar_index", "mintick"};

// A base value's position in that order.
constexpr std::size_t at(BaseValue value) {
  return static_cast<std::size_t>(value);
}

// Line attributes, in the order the line constructor takes them: the first
// kKerdRequiredAttrs are required, the others default to zero (or false).
#define TORVEX_KERD_ATTRS(X)                     \
  X(start_bar_index, index)                      \
  X(end_bar_index, index)                        \
  X(start_time, time)                            \
  X(end_time, time)                              \
  X(kerd_value, price)                           \
  X(kerd_accum_value, price)                     \
  X(snib_values, list)                           \
  X(close_avg_percent, price)                    \
  X(bar_crosses, index)                          \
  X(violated, flag)                              \
  X(extended, flag)                              \
  X(extend_end_bar_index, index)                 \
  X(bar_crosses_post_extend, index)              \
  X(historical_extend_bar_crosses_checked, flag) \
  X(post_extend_end_bar_index, index)

#define TORVEX_ENUMERATOR(name, kind) name,
#define TORVEX_ATTR_INFO(name, kind) {#name, ValueKind::kind},
enum class KerdAttr : int { TORVEX_KERD_ATTRS(TORVEX_ENUMERATOR) };
inline constexpr std::array kerd_attr_info =
    std::to_array<AttrInfo>({TORVEX_KERD_ATTRS(TORVEX_ATTR_INFO)});
inline constexpr std::size_t kKerdRequiredAttrs = 8;

constexpr const AttrInfo& info(KerdAttr attr) {
  return kerd_attr_info[static_cast<int>(attr)];
}

template <ValueKind K>
struct value_of;
template <>
struct value_of<ValueKind::index> {
  using type = int64_t;
};
template <>
struct value_of<ValueKind::time> {
  using type = double;
};
template <>
struct value_of<ValueKind::price> {
  using type = double;
};
template <>
struct value_of<ValueKind::flag> {
  using type = bool;
};

template <KerdAttr A>
using kerd_attr_type = typename value_of<info(A).kind>::type;

// flag: truth-tested; count: whole bars (int64_t); number: any real (double).
enum class SettingKind { flag, count, number };

struct SettingInfo {
  std::string_view name;
  SettingKind kind;
};

// Settings the engine reads, each at the moment of use.
#define TORVEX_SETTINGS(X)                      \
  X(debug, flag)                                \
  X(debug_start_time, number)                   \
  X(debug_end_time, number)                     \
  X(debug_start_price, number)                  \
  X(debug_end_price, number)                    \
  X(draw_from_recent, flag)                     \
  X(bar_count_to_snib, count)                   \
  X(high_snib_n, count)                         \
  X(high_snib_m, count)                         \
  X(low_snib_n, count)                          \
  X(low_snib_m, count)                          \
  X(high_snib_n_on_trend, count)                \
  X(high_snib_m_on_trend, count)                \
  X(low_snib_n_on_trend, count)                 \
  X(low_snib_m_on_trend, count)                 \
  X(only_body_cross, flag)                      \
  X(kerd_extend_bar_cross_threshold, number)    \
  X(allow_reuse_snib, flag)                     \
  X(kerd_overlap_ca_percent_multiplier, number) \
  X(bar_cross_threshold, number)                \
  X(last_snib_weight, number)                   \
  X(second_last_snib_weight, number)            \
  X(snib_weight, number)                        \
  X(kerd_length_threshold, number)

#define TORVEX_SETTING_INFO(name, kind) {#name, SettingKind::kind},
enum class Setting : int { TORVEX_SETTINGS(TORVEX_ENUMERATOR) };
inline constexpr std::array setting_info =
    std::to_array<SettingInfo>({TORVEX_SETTINGS(TORVEX_SETTING_INFO)});
#undef TORVEX_SETTING_INFO

constexpr const SettingInfo& info(Setting s) {
  return setting_info[static_cast<int>(s)];
}

// A setting holds what a value of this kind holds, converted alike.
constexpr ValueKind value_kind(SettingKind k) {
  return k == SettingKind::flag    ? ValueKind::flag
         : k == SettingKind::count ? ValueKind::index
                                   : ValueKind::price;
}

template <SettingKind K>
using setting_value_of = value_of<value_kind(K)>;

template <Setting S>
using setting_type = typename setting_value_of<info(S).kind>::type;

// The four pivot series, in the order intake handles them.
enum class PivotKind : int { normal_high, normal_low, trending_high, trending_low };

// Pivot record fields the rebuild reads (a pivot's time is a whole number, as its index).
#define TORVEX_PIVOT_FIELDS(X) \
  X(bar_index_at_pivot, index) \
  X(bar_time_at_pivot, index)  \
  X(price, price)              \
  X(close_avg_percent, price)

enum class PivotField : int { TORVEX_PIVOT_FIELDS(TORVEX_ENUMERATOR) };
inline constexpr std::array pivot_field_info =
    std::to_array<AttrInfo>({TORVEX_PIVOT_FIELDS(TORVEX_ATTR_INFO)});

constexpr const AttrInfo& info(PivotField f) {
  return pivot_field_info[static_cast<int>(f)];
}

template <PivotField F>
using pivot_field_type = typename value_of<info(F).kind>::type;

// Window record fields the engine reads and writes.
#define TORVEX_MAVET_FIELDS(X)          \
  X(break_kerd_at_price, price)         \
  X(break_kerd_at_bar_index, index)     \
  X(recover_at_bar_index, index)        \
  X(break_kerd_extend_bar_cross, index) \
  X(bar_count_close_above_kerd, index)  \
  X(vip_snib_count, index)              \
  X(recovered, flag)

enum class MavetField : int { TORVEX_MAVET_FIELDS(TORVEX_ENUMERATOR) };
inline constexpr std::array mavet_field_info =
    std::to_array<AttrInfo>({TORVEX_MAVET_FIELDS(TORVEX_ATTR_INFO)});
#undef TORVEX_ATTR_INFO
#undef TORVEX_ENUMERATOR

// Calls f.template operator()<E>() for every value of a table's enumeration, in table order.
template <class E, std::size_t N, class F>
constexpr void for_each_of(F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f.template operator()<static_cast<E>(I)>(), ...);
  }
  (std::make_index_sequence<N>{});
}
template <class F>
constexpr void for_each_setting(F&& f) {
  for_each_of<Setting, setting_info.size()>(f);
}
template <class F>
constexpr void for_each_kerd_attr(F&& f) {
  for_each_of<KerdAttr, kerd_attr_info.size()>(f);
}

constexpr const AttrInfo& info(MavetField f) {
  return mavet_field_info[static_cast<int>(f)];
}

template <MavetField F>
using mavet_field_type = typename value_of<info(F).kind>::type;

// What the rebuild hands to make_kerd: a new one-pivot line. The model adds the engine's
// series and base values and leaves the optional attributes at their defaults.
struct KerdSeed {
  int64_t start_bar_index;
  int64_t end_bar_index;
  int64_t start_time;
  int64_t end_time;
  double kerd_value;
  double kerd_accum_value;
  double snib_value;  // the single value of the new snib_values list
  double close_avg_percent;
};

// The four validation rules a judged window failed; true means violated.
struct Violations {
  bool extend_bar_cross = false;
  bool recover_window = false;
  bool signal_window = false;
  bool search_range_close_above_bar_count = false;

  bool none() const {
    return !(extend_bar_cross || recover_window || signal_window ||
             search_range_close_above_bar_count);
  }
};

// The flags of the first check form's single result, besides its window.
struct CheckOutcome {
  bool has_signal = false;
  bool close_above_low_and_kerd = false;
  Violations violations;
};

// Engine operations that other engine operations call, and that a host may override
// (core/engine_dispatch.hpp).
enum class EngineOperation : int {
  add_new_snibs_to_pending,
  sort_kerds_by_end_bar_index,
  remove_kerd_by_end_bar_index,
  sort_and_filter_kerds,
  clear_all_kerd,
  rebuild_kerd_from_most_recent_snib,
  extend_kerd_to_first_cross_from_history,
};

inline constexpr int kEngineOperationCount = 7;

// ---- The contract

template <class M>
using series_of_t = std::remove_cvref_t<typename M::SeriesRef>;

// Lines. M::Line is a cheap copyable handle to one line. A handle stays valid until the line
// list it came from changes: native handles point into a vector and move with any append,
// erase or reorder, so an algorithm takes handles afresh after changing the list (and a line
// from make_kerd only until the next make_kerd).
template <class M>
concept LineAccess = requires(M& m, const typename M::Line& h, std::vector<double>& out,
                              const series_of_t<M>& s) {
  { m.template get<KerdAttr::end_bar_index>(h) } -> std::same_as<int64_t>;
  { m.template get<KerdAttr::extended>(h) } -> std::same_as<bool>;
  m.template set<KerdAttr::kerd_value>(h, double{});
  { m.template differs<KerdAttr::kerd_value>(h, h) } -> std::same_as<bool>;
  m.template copy<KerdAttr::end_time>(h, h);
  { m.snib_count(h) } -> std::same_as<std::size_t>;
  m.read_snib_values(h, out);   // appends the values, earliest first
  m.extend_snib_values(h, h);   // appends target's values to self's list in place
  m.prepend_snib_values(h, h);  // self.snib_values = a new list: target's, then self's
  { m.line_bar_index(h) } -> std::same_as<int64_t>;
  { m.line_mintick(h) } -> std::same_as<double>;
  { m.line_close(h) } -> std::convertible_to<const series_of_t<M>&>;
  { m.line_open(h) } -> std::convertible_to<const series_of_t<M>&>;
  m.scratch();  // a lease on a reusable vector<double> (core/scratch.hpp)
  // Series: offset 0 is the current bar, -k the bar k bars back.
  { m.value(s, int64_t{}) } -> std::same_as<double>;
  { m.truth(s, int64_t{}) } -> std::same_as<bool>;
};

// The engine: its base values and series (read at the moment of use), its settings, and its
// containers, always changed in place.
template <class M>
concept EngineAccess = LineAccess<M> &&
    requires(M& m, const typename M::Line& h, const typename M::Pivot& p,
             const typename M::Window& w, const typename M::Key& key,
             std::span<const std::size_t> order, const KerdSeed& seed, const Snib& snib,
             const Mavet& window) {
  { m.bar_index() } -> std::same_as<int64_t>;
  { m.last_bar_index() } -> std::same_as<int64_t>;
  { m.mintick() } -> std::same_as<double>;
  { m.close() } -> std::convertible_to<const series_of_t<M>&>;
  { m.time() } -> std::convertible_to<const series_of_t<M>&>;
  { m.pivot_series(PivotKind::normal_high) } -> std::convertible_to<const series_of_t<M>&>;
  { m.template setting<Setting::debug>() } -> std::same_as<bool>;
  { m.template setting<Setting::bar_count_to_snib>() } -> std::same_as<int64_t>;
  { m.template setting<Setting::snib_weight>() } -> std::same_as<double>;
  // kerds; reorder: new position j takes old element order[j]
  { m.kerd_count() } -> std::same_as<std::size_t>;
  { m.kerd_at(std::size_t{}) } -> std::convertible_to<typename M::Line>;
  m.append_kerd(h);
  m.clear_kerds();
  m.remove_first_kerd();
  m.reorder_kerds(order);
  { m.make_kerd(seed) } -> std::convertible_to<typename M::Line>;  // shares the engine's series
  // pivots: pop moves the last pending one to the end of the processed list; move appends
  // all pending in order, then clears them
  { m.new_snib_count() } -> std::same_as<std::size_t>;
  { m.vip_snib_count() } -> std::same_as<std::size_t>;
  { m.vip_snib_at(std::size_t{}) } -> std::convertible_to<typename M::Pivot>;
  m.append_new_snib(snib);
  m.pop_new_snib_to_vip();
  m.move_new_snibs_to_vip();
  { m.template pivot<PivotField::price>(p) } -> std::same_as<double>;
  // windows
  { m.mavet_count() } -> std::same_as<std::size_t>;
  { m.mavet_at(std::size_t{}) } -> std::convertible_to<typename M::Window>;
  m.append_mavet(window);
  m.remove_first_mavet();
  { m.template window<MavetField::recovered>(w) } -> std::same_as<bool>;
  m.template set_window<MavetField::recovered>(w, bool{});
  // the latest-window mapping, keyed by the engine's own tick rounding
  { m.round_key(double{}) } -> std::convertible_to<typename M::Key>;
  { m.latest_contains(key) } -> std::same_as<bool>;
  { m.latest_get(key, int64_t{}) } -> std::same_as<int64_t>;
  m.latest_set(key, int64_t{});
};

// The window checks' results, in the model's own types; successes are read through the
// model, as is any list a host passes to get_success_by_vvip.
template <class M>
concept CheckResults = requires(M& m, const typename M::Window& w, typename M::SuccessList& list,
                                const CheckOutcome& outcome, const Violations& violations) {
  { m.copy_window(w) } -> std::convertible_to<typename M::WindowCopy>;
  {
    m.make_result(outcome, std::optional<typename M::WindowCopy>{})
    } -> std::convertible_to<typename M::Result>;
  { m.make_success(bool{}, m.copy_window(w)) } -> std::convertible_to<typename M::Success>;
  { m.make_failure(violations, m.copy_window(w)) } -> std::convertible_to<typename M::Failure>;
  { m.new_success_list() } -> std::convertible_to<typename M::SuccessList>;
  m.append_success(list, m.make_success(bool{}, m.copy_window(w)));
  { m.success_count(list) } -> std::same_as<std::size_t>;
  { m.success_is_vvip(m.success_at(list, std::size_t{})) } -> std::same_as<bool>;
  { m.make_result_v2_empty() } -> std::convertible_to<typename M::ResultV2>;
  {
    m.make_result_v2_failure(m.make_failure(violations, m.copy_window(w)))
    } -> std::convertible_to<typename M::ResultV2>;
};

// Everything the engine operations use.
template <class M>
concept ObjectModel = EngineAccess<M> && CheckResults<M>;

// ---- Optional hooks, each used where its concept holds

// The element unconverted, for a model whose elements can fail conversion (converted by
// m.number(raw)); used where the conversion must wait (pivot intake).
template <class M>
concept ReadsRawElements = requires(M& m, const series_of_t<M>& s) {
  { m.number(m.raw(s, int64_t{})) } -> std::same_as<double>;
};

// The stored values, when reading them runs no host code and fails only outside the stored
// range; none otherwise. Valid until host code runs.
template <class M>
concept ViewsSeries = requires(M& m, const series_of_t<M>& s) {
  { m.view(s) } -> std::same_as<std::optional<SeriesView>>;
};

// The oldest y in from_y..0 whose bar at offset -y straddles level, or -1; failing as a read at
// -from_y would. Without it the replay reads every bar.
template <class M>
concept SearchesStraddles = requires(M& m, const series_of_t<M>& s) {
  { m.find_straddle(s, s, s, s, double{}, int64_t{}) } -> std::same_as<int64_t>;
};

// Whether find_straddle may stand in for the bar-by-bar reads (and the settings reads between
// them) now; taken as true when absent.
template <class M>
concept GatesStraddleSearch = requires(M& m, const series_of_t<M>& s) {
  { m.can_find_straddle(s, s, s, s) } -> std::same_as<bool>;
};

// Whether a line's state may go unread on the replay's bars that cannot change it: false when
// leaving the reads out could be seen (an attribute missing, or behind host code); taken as
// true when absent.
template <class M>
concept SaysLineReadsUnseen = requires(M& m, const typename M::Line& line) {
  { m.line_reads_unseen(line) } -> std::convertible_to<bool>;
};

// Whether the replay of a line may hold the line's state in locals, read once before it and
// written once after it (core/engine_extension.hpp, LocalReplayLine): true where each read and
// write of the line's state, each settings read and each read of the engine's values that the
// replay makes at a straddling bar would run no host code and could not fail, so that only
// the state left after the replay can be seen. Asked where find_straddle may be used, whose
// series the replay then reads in place (m.view).
template <class M>
concept ReplaysLocally = SearchesStraddles<M> && ViewsSeries<M> &&
    requires(M& m, const typename M::Line& line) {
  { m.replays_locally(line) } -> std::convertible_to<bool>;
};

// A model may keep what replays held in locals (ReplaysLocally) found, in a table of its own
// (core/replay_memo.hpp), where it can name what each bar series stores: series_contents gives
// a name never given to other contents, under which the values at every stored position stay
// as they are, or 0 when it cannot name them.
class ReplayMemo;
template <class M>
concept RemembersReplays = ReplaysLocally<M> && requires(M& m, const series_of_t<M>& s) {
  { m.series_contents(s) } -> std::same_as<uint64_t>;
  { m.replay_memo() } -> std::same_as<ReplayMemo*>;  // null when it keeps none
};

// Within a scope, the model may hold back writes of line attributes that only host code could
// see until host code runs or the scope ends: release_line_writes() stores them (and may fail),
// release_line_writes_on_error() stores them while an error leaves the scope, keeping that
// error.
template <class M>
concept HoldsLineWrites = requires(M& m) {
  m.hold_line_writes();
  m.release_line_writes();
  m.release_line_writes_on_error();
};

// The engine object's own (overridable) get_success_by_vvip chooses; without it the core's.
template <class M>
concept DispatchesSuccessChoice = requires(M& m, const typename M::SuccessList& list) {
  m.dispatch_get_success_by_vvip(list);
};

// The engine object's own method answers for an operation another one calls
// (core/engine_dispatch.hpp); none means the core's runs.
template <class M>
concept OverridesOperations = requires(M& m) {
  {
    m.template call_override<EngineOperation::clear_all_kerd>()
    } -> std::same_as<std::optional<bool>>;
};

// Whether the rebuild's merge tests of a line read nothing a host can see of the line (and of
// the settings), and can fail only where a series' stored range ends; lines_stamp advances
// whenever host code may have changed the line list or what those tests read of its lines.
// Without them every merge test runs.
template <class M>
concept SaysMergeTestsUnseen = requires(M& m, const typename M::Line& line) {
  { m.lines_stamp() } -> std::convertible_to<uint64_t>;
  { m.merge_tests_unseen(line) } -> std::convertible_to<bool>;
};

// A line's values in place (valid until the line changes).
template <class M>
concept SpansSnibValues = requires(M& m, const typename M::Line& h) {
  { m.snib_span(h) } -> std::convertible_to<std::span<const double>>;
};
// A line's values as read_snib_values reads them, handed over in place where the model keeps
// them as numbers, else read into `scratch`; the pair form reads the first line's, then the
// second's. Valid until the model next reads or writes a line.
template <class M>
concept ViewsSnibValues = requires(M& m, const typename M::Line& h, std::vector<double>& s) {
  { m.snib_values_view(h, s) } -> std::same_as<std::span<const double>>;
  {
    m.snib_values_views(h, h, s)
    } -> std::same_as<std::pair<std::span<const double>, std::span<const double>>>;
};
// The weighted value of two lines' values joined, kept by the crossing test (with the
// host_stamp from before it read them) for the backward merge that may follow, and handed back
// to that merge while nothing has changed.
template <class M>
concept RemembersMergedValue = requires(M& m, const typename M::Line& h, double w, uint64_t t) {
  { m.host_stamp() } -> std::convertible_to<uint64_t>;
  m.remember_merged_value(h, h, w, w, w, w, t);
};
template <class M>
concept RecallsMergedValue = requires(M& m, const typename M::Line& h, double w) {
  { m.recall_merged_value(h, h, w, w, w) } -> std::same_as<std::optional<double>>;
};

// While the scope hold_collector() returns lasts, a model may keep the host's cyclic collector
// from running in the middle of the engine's own work (the rebuild's making of lines).
template <class M>
concept HoldsCollector = requires(M& m) {
  m.hold_collector();
};

// Within the scope weigh_later() returns (a rebuild, or a native runner's whole run), a model
// may bound a backward merge's weighted value from sums it keeps instead of weighing the joined
// list: the crossing test decides from the range where every bar does, the merge then leaves
// the line's value to be weighed when it is read (at the latest when the scope ends), and the
// band test and the comparisons of level_to_compare bound it.
struct ValueRange {
  double low, high;  // the exact value lies within, ends included
};
template <class M>
concept WeighsLater = requires(M& m, const typename M::Line& h, double w, ValueRange r) {
  m.weigh_later();
  { m.merged_value_range(h, h, w, w, w) } -> std::same_as<std::optional<ValueRange>>;
  m.keep_merge_unweighed(h, h, w, w, w, r);
  { m.leave_merge_unweighed(h, h, w, w, w) } -> std::same_as<bool>;
  { m.unweighed_value_range(h) } -> std::same_as<std::optional<ValueRange>>;
};

// The leading processed pivots a rebuild may leave out where the lines it makes are pruned on
// the same bar (core/snib_reach.hpp): a model that keeps no host code between the rebuild and
// the pruning says how many.
template <class M>
concept SkipsUnreachableSnibs = requires(M& m) {
  { m.unreachable_snibs() } -> std::same_as<std::size_t>;
};

// A caller's arguments that are no C++ numbers (host objects), converted at their use.
template <class M, class Arg>
concept ConvertsArguments = requires(const M& m, const Arg& x) {
  { m.number(x) } -> std::same_as<double>;
  { m.flag(x) } -> std::same_as<bool>;
};

}  // namespace torvex::core
