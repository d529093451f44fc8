#pragma once
// The object-model seam. Every line and engine algorithm is a template over a model M that
// says how to reach the host's objects; the native model (native_model.hpp) keeps them as
// structs and arrays, the Python model (python/python_model.hpp) reads the host's own objects.
//
// In the Python model every read and write is observable (a settings object may record its
// reads, a series may raise half-way), so algorithms perform each access at the point and in
// the order the behaviour requires, and never cache a setting across uses.
//
// Values cross the seam as: bar indices and counts int64_t, prices and numbers double, times
// double (host integer times compare exactly below 2^53), flags bool.
//
// What a model M provides (H = M::Line, a cheap copyable handle to one line; P = M::Pivot, one
// pivot record; W = M::Window, one window record; S = M::Series, one bar series; K = M::Key, a
// key of the latest-window mapping):
//
//   Lines (attributes named by KerdAttr, value types by kerd_attr_type):
//     m.template get<A>(H) / m.template set<A>(H, value)
//     m.template differs<A>(H a, H b) -> bool   a.attr != b.attr, as the host compares them
//     m.template copy<A>(H to, H from)         to.attr = from.attr, the value unchanged
//     m.snib_count(H)                      number of values in snib_values
//     m.read_snib_values(H, std::vector<double>& out)   appends the values, earliest first
//     m.extend_snib_values(H self, H target)   appends target's values to self's list in place
//     m.prepend_snib_values(H self, H target)  self.snib_values = new list: target's then self's
//     m.line_bar_index(H), m.line_mintick(H)   the line's own base values
//     m.line_close(H), m.line_open(H)          the line's series
//   Working buffer (core/scratch.hpp):
//     m.scratch() -> ScratchPool::Lease      a reusable vector<double> for gathered values
//   Caller arguments (core/host_value.hpp): algorithms take numbers and flags as template
//   parameters; plain C++ values pass through, anything else is converted at its use by
//     m.number(x) -> double, m.flag(x) -> bool
//   Series:
//     m.value(S, offset) -> double         offset 0 the current bar, -k k bars back
//     m.truth(S, offset) -> bool           truth value of that element
//     optional m.raw(S, offset) -> R       the element unconverted, for a model whose elements
//                                          can fail conversion (converted by m.number(R)); used
//                                          where the conversion must wait (pivot intake)
//     optional m.find_straddle(close, open, high, low, level, from_y) -> int64_t   the oldest y
//                                          in from_y..0 whose bar at offset -y straddles level,
//                                          or -1; failing as a read at -from_y would. A model
//                                          without it has the replay read every bar.
//     optional m.can_find_straddle(close, open, high, low) -> bool   whether find_straddle may
//                                          stand in for the bar-by-bar reads (and the settings
//                                          reads between them) now; true when absent
//     optional m.view(S) -> std::optional<SeriesView>   the stored values, when reading them
//                                          runs no host code and fails only outside the stored
//                                          range; none otherwise. Valid until host code runs.
//   Unseen reads (both optional; without them every merge test runs):
//     m.host_stamp() -> uint64_t           advances whenever host code may have run
//     m.merge_tests_unseen(H line) -> bool  whether the rebuild's merge tests read nothing a
//                                          host can see of the line (and of the settings), and
//                                          can fail only where a series' stored range ends
//   Engine base values (read at the moment of use):
//     m.bar_index(), m.last_bar_index() -> int64_t; m.mintick() -> double
//     m.close(), m.open(), m.high(), m.low(), m.time() -> S
//     m.pivot_series(PivotKind) -> S      the four pivot series
//   Settings (named by Setting, value types by setting_type):
//     m.template setting<X>()
//   Containers of the engine, always changed in place:
//     kerds:         m.kerd_count(), m.kerd_at(i) -> H, m.append_kerd(H), m.clear_kerds(),
//                    m.remove_first_kerd(), m.reorder_kerds(std::span<const size_t> order)
//                    (new list position j takes old element order[j])
//     pivots:        m.new_snib_count(), m.vip_snib_count(), m.vip_snib_at(i) -> P,
//                    m.append_new_snib(const Snib&), m.pop_new_snib_to_vip() (moves the last
//                    pending pivot to the end of the processed list),
//                    m.move_new_snibs_to_vip() (appends all pending in order, then clears them)
//     pivot fields:  m.template pivot<F>(P) for F in PivotField
//     lines:         m.make_kerd(const KerdSeed&) -> H (a new line sharing the engine's series)
//     windows:       m.mavet_count(), m.mavet_at(i) -> W, m.append_mavet(const Mavet&),
//                    m.remove_first_mavet(), m.template window<F>(W), m.template
//                    set_window<F>(W, value) for F in MavetField
//     latest map:    m.round_key(double price) -> K (the base class's tick rounding),
//                    m.latest_contains(K), m.latest_get(K, int64_t fallback),
//                    m.latest_set(K, int64_t bar)
//     results of the window checks (value types are the model's own; C = M::WindowCopy):
//                    m.copy_window(W) -> C     a copy made by the window's own copy operation
//                    m.make_result(const CheckOutcome&, std::optional<C>) -> M::Result
//                    m.make_success(bool is_vvip, C) -> M::Success
//                    m.make_failure(const Violations&, C) -> M::Failure
//                    successes: L = M::SuccessList, m.new_success_list() -> L (empty),
//                    m.append_success(L&, M::Success), m.success_count(const L&),
//                    m.success_at(const L&, i) -> E, m.success_is_vvip(E) -> bool; any
//                    list the host passes to get_success_by_vvip is read the same way
//                    m.make_result_v2_success(the chosen element E, or none),
//                    m.make_result_v2_failure(M::Failure), m.make_result_v2_empty() -> M::ResultV2
//                    optional: m.dispatch_get_success_by_vvip(L&) lets the engine object's own
//                    (overridable) get_success_by_vvip choose; without it the core's is used
//   optional: m.call_override<EngineOperation>(args...) -> std::optional<bool> lets the engine
//                    object's own method answer for an operation another one calls
//                    (core/engine_dispatch.hpp); none means the core's runs
//   A caller's whole-number argument (a range bound) that is not a C++ integer is converted at
//   its use by m.count(x) -> int64_t (core/engine_mavet_numbers.hpp).
//
// Errors: a failing host access throws (core::Error in the native model, py::PyError in the
// Python model); algorithms never catch.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

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

// Line attributes, in the order the line constructor sets them.
enum class KerdAttr : int {
  start_bar_index,
  end_bar_index,
  start_time,
  end_time,
  kerd_value,
  kerd_accum_value,
  snib_values,
  close_avg_percent,
  bar_crosses,
  violated,
  extended,
  extend_end_bar_index,
  bar_crosses_post_extend,
  historical_extend_bar_crosses_checked,
  post_extend_end_bar_index,
};

enum class ValueKind { index, time, price, flag, list };

struct AttrInfo {
  std::string_view name;
  ValueKind kind;
};

inline constexpr std::array<AttrInfo, 15> kerd_attr_info{{
    {"start_bar_index", ValueKind::index},
    {"end_bar_index", ValueKind::index},
    {"start_time", ValueKind::time},
    {"end_time", ValueKind::time},
    {"kerd_value", ValueKind::price},
    {"kerd_accum_value", ValueKind::price},
    {"snib_values", ValueKind::list},
    {"close_avg_percent", ValueKind::price},
    {"bar_crosses", ValueKind::index},
    {"violated", ValueKind::flag},
    {"extended", ValueKind::flag},
    {"extend_end_bar_index", ValueKind::index},
    {"bar_crosses_post_extend", ValueKind::index},
    {"historical_extend_bar_crosses_checked", ValueKind::flag},
    {"post_extend_end_bar_index", ValueKind::index},
}};

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

// Settings the engine reads, each at the moment of use.
enum class Setting : int {
  debug,
  debug_start_time,
  debug_end_time,
  debug_start_price,
  debug_end_price,
  draw_from_recent,
  bar_count_to_snib,
  high_snib_n,
  high_snib_m,
  low_snib_n,
  low_snib_m,
  high_snib_n_on_trend,
  high_snib_m_on_trend,
  low_snib_n_on_trend,
  low_snib_m_on_trend,
  only_body_cross,
  kerd_extend_bar_cross_threshold,
  allow_reuse_snib,
  kerd_overlap_ca_percent_multiplier,
  bar_cross_threshold,
  last_snib_weight,
  second_last_snib_weight,
  snib_weight,
  kerd_length_threshold,
};

// flag: truth-tested; count: whole bars (int64_t); number: any real (double).
enum class SettingKind { flag, count, number };

struct SettingInfo {
  std::string_view name;
  SettingKind kind;
};

inline constexpr std::array<SettingInfo, 24> setting_info{{
    {"debug", SettingKind::flag},
    {"debug_start_time", SettingKind::number},
    {"debug_end_time", SettingKind::number},
    {"debug_start_price", SettingKind::number},
    {"debug_end_price", SettingKind::number},
    {"draw_from_recent", SettingKind::flag},
    {"bar_count_to_snib", SettingKind::count},
    {"high_snib_n", SettingKind::count},
    {"high_snib_m", SettingKind::count},
    {"low_snib_n", SettingKind::count},
    {"low_snib_m", SettingKind::count},
    {"high_snib_n_on_trend", SettingKind::count},
    {"high_snib_m_on_trend", SettingKind::count},
    {"low_snib_n_on_trend", SettingKind::count},
    {"low_snib_m_on_trend", SettingKind::count},
    {"only_body_cross", SettingKind::flag},
    {"kerd_extend_bar_cross_threshold", SettingKind::number},
    {"allow_reuse_snib", SettingKind::flag},
    {"kerd_overlap_ca_percent_multiplier", SettingKind::number},
    {"bar_cross_threshold", SettingKind::number},
    {"last_snib_weight", SettingKind::number},
    {"second_last_snib_weight", SettingKind::number},
    {"snib_weight", SettingKind::number},
    {"kerd_length_threshold", SettingKind::number},
}};

constexpr const SettingInfo& info(Setting s) {
  return setting_info[static_cast<int>(s)];
}

template <SettingKind K>
struct setting_value_of;
template <>
struct setting_value_of<SettingKind::flag> {
  using type = bool;
};
template <>
struct setting_value_of<SettingKind::count> {
  using type = int64_t;
};
template <>
struct setting_value_of<SettingKind::number> {
  using type = double;
};

template <Setting S>
using setting_type = typename setting_value_of<info(S).kind>::type;

// The four pivot series, in the order intake handles them.
enum class PivotKind : int { normal_high, normal_low, trending_high, trending_low };

// Pivot record fields the rebuild reads.
enum class PivotField : int { bar_index_at_pivot, bar_time_at_pivot, price, close_avg_percent };

template <PivotField F>
using pivot_field_type =
    std::conditional_t<F == PivotField::bar_index_at_pivot || F == PivotField::bar_time_at_pivot,
                       int64_t, double>;

// Window record fields the engine reads and writes.
enum class MavetField : int {
  break_kerd_at_price,
  break_kerd_at_bar_index,
  recover_at_bar_index,
  break_kerd_extend_bar_cross,
  bar_count_close_above_kerd,
  vip_snib_count,
  recovered,
};

inline constexpr std::array<AttrInfo, 7> mavet_field_info{{
    {"break_kerd_at_price", ValueKind::price},
    {"break_kerd_at_bar_index", ValueKind::index},
    {"recover_at_bar_index", ValueKind::index},
    {"break_kerd_extend_bar_cross", ValueKind::index},
    {"bar_count_close_above_kerd", ValueKind::index},
    {"vip_snib_count", ValueKind::index},
    {"recovered", ValueKind::flag},
}};

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

}  // namespace torvex::core
