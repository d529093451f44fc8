#pragma once
// What the native object model works on: series as contiguous arrays, lines as structs, the
// settings as a struct, and an engine's containers and state over them.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "core/error.hpp"
#include "core/model.hpp"
#include "core/records.hpp"
#include "core/value_list.hpp"

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
    std::conditional_t<K == ValueKind::list, ValueList,
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

// What the native model keeps on a line while a rebuild may leave its value unweighed
// (core/model.hpp's WeighsLater); no line attribute. The sums cover the values but the last
// two and hold while the list has the stamp `stamp` (0: no sums). The range and weights of a
// value awaiting weighing are kept beside the list (Awaiting), for the few lines that await:
// the lines stay small for the rebuilds that build every one anew.
struct LaterState {
  uint64_t stamp = 0;
  double general = 0.0, magnitude = 0.0;
  bool unweighed = false;  // kerd_value awaits weighing
  bool listed = false;     // among the positions the model weighs when it settles

  void add(double value) {
    general += value;
    magnitude += std::abs(value);
  }
  void sum(std::span<const double> values) {
    // In any order: only ranges use these sums, and their margin covers the rounding.
    double g[4] = {}, a[4] = {};
    const std::size_t n = values.size() - 2;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
      for (std::size_t j = 0; j < 4; ++j) {
        g[j] += values[i + j];
        a[j] += std::abs(values[i + j]);
      }
    for (; i < n; ++i) g[0] += values[i], a[0] += std::abs(values[i]);
    general = (g[0] + g[1]) + (g[2] + g[3]);
    magnitude = (a[0] + a[1]) + (a[2] + a[3]);
  }
};

// One line; the base values are those the line was given when it was built.
struct Kerd {
  const Bars* bars = nullptr;
  int64_t bar_index = 0;
  int64_t last_bar_index = 0;
  double mintick = 0.0;

#define TORVEX_KERD_MEMBER(name, kind) native_type<ValueKind::kind> name{};
  TORVEX_KERD_ATTRS(TORVEX_KERD_MEMBER)
#undef TORVEX_KERD_MEMBER
  LaterState later;

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

}  // namespace torvex::core
