#pragma once
// A LiveStream in the flat byte form of core/state_codec.hpp: its config, then its parts.
// Reading checks that the parts hold together; values inside records are taken as they come
// (the engine's own checks meet any value, as they meet any a host gives).
#include <cstdint>
#include <utility>

#include "core/live_inputs_codec.hpp"
#include "core/live_stream.hpp"
#include "core/state_codec.hpp"

namespace torvex::core {

inline constexpr const char* kStreamStateKind = "LiveStream/1";

namespace detail {

template <class T>
void put_value(StateWriter& w, const T& value) {
  if constexpr (std::is_same_v<T, bool>)
    w.put<uint8_t>(value ? 1 : 0);
  else
    w.put(value);
}

template <class T>
void get_value(StateReader& r, T& value) {
  if constexpr (std::is_same_v<T, bool>)
    value = r.get_flag();
  else
    value = r.get<T>();
}

// Visits a config's fields in one order, for writing and reading alike.
template <class Config, class Visit>
void visit_config(Config& c, Visit&& visit) {
  for_each_setting([&]<Setting S>() { visit(c.settings.template field<S>()); });
#define TORVEX_VISIT_THRESHOLD(name, kind, fallback) visit(c.args.name);
  TORVEX_WINDOW_THRESHOLDS(TORVEX_VISIT_THRESHOLD)
#undef TORVEX_VISIT_THRESHOLD
  visit(c.args.first_form);
  visit(c.args.all_bars);
  visit(c.mintick);
}

template <class Line, class Visit>
void visit_kerd(Line& k, Visit&& visit) {
  visit(k.bar_index);
  visit(k.last_bar_index);
  visit(k.mintick);
  for_each_kerd_attr([&]<KerdAttr A>() {
    if constexpr (info(A).kind != ValueKind::list) visit(k.template field<A>());
  });
}

template <class Pivot, class Visit>
void visit_snib(Pivot& p, Visit&& visit) {
  visit(p.n);
  visit(p.m);
  visit(p.price);
  visit(p.close_at_pivot);
  visit(p.bar_index_at_pivot);
  visit(p.bar_time_at_pivot);
  visit(p.is_high);
  visit(p.is_trending);
  visit(p.used);
  visit(p.close_avg_percent);
}

template <class Window, class Visit>
void visit_mavet(Window& w, Visit&& visit) {
  visit(w.break_kerd_at_price);
  visit(w.break_kerd_at_bar_index);
  visit(w.recover_at_bar_index);
  visit(w.break_kerd_extend_bar_cross);
  visit(w.bar_count_close_above_kerd);
  visit(w.vip_snib_count);
  visit(w.recovered);
}

// Records as a count and then each one; `least` bytes at least per record on reading.
template <class T, class Visit>
void put_records(StateWriter& w, const std::vector<T>& records, Visit visit) {
  w.put<uint64_t>(records.size());
  for (const T& record : records) visit(record, [&](const auto& v) { put_value(w, v); });
}

template <class T, class Visit>
std::vector<T> get_records(StateReader& r, std::size_t least, Visit visit) {
  std::vector<T> records(r.get_count(least));
  for (T& record : records) visit(record, [&](auto& v) { get_value(r, v); });
  return records;
}

}  // namespace detail

inline void write_live_stream(StateWriter& w, const LiveStream& stream) {
  using namespace detail;
  StreamConfig config = stream.config();
  visit_config(config, [&](const auto& v) { put_value(w, v); });
  const LiveStream::Parts p = stream.parts();
  write_live_inputs(w, p.inputs);
  for (const std::vector<double>& column : p.columns) w.put_values(column);
  w.put(p.first_bar);
  w.put(p.bars);
  w.put(p.last_time);
  w.put<uint64_t>(p.kerds.size());
  for (const Kerd& line : p.kerds) {
    visit_kerd(line, [&](const auto& v) { put_value(w, v); });
    w.put_values(line.snib_values);
  }
  for (const auto* snibs : {&p.vip_snibs, &p.new_vip_snibs})
    put_records(w, *snibs, [](const Snib& s, auto&& visit) { visit_snib(s, visit); });
  put_records(w, p.mavets, [](const Mavet& m, auto&& visit) { visit_mavet(m, visit); });
  w.put<uint64_t>(p.latest_mavets.size());
  for (const auto& [key, bar] : p.latest_mavets) {
    w.put(key);
    w.put(bar);
  }
}

// Fails (ValueError) on a blob cut or padded, parts that do not hold together or settings the
// inputs refuse.
inline LiveStream read_live_stream(StateReader& r) {
  using namespace detail;
  StreamConfig config;
  visit_config(config, [&](auto& v) { get_value(r, v); });
  LiveStream::Parts p(read_live_inputs(r));
  config.inputs = p.inputs.settings();
  for (std::vector<double>& column : p.columns) column = r.get_values();
  p.first_bar = r.get<int64_t>();
  p.bars = r.get<int64_t>();
  p.last_time = r.get<double>();
  p.kerds.resize(r.get_count(64));
  for (Kerd& line : p.kerds) {
    visit_kerd(line, [&](auto& v) { get_value(r, v); });
    line.snib_values = r.get_values();
  }
  for (auto* snibs : {&p.vip_snibs, &p.new_vip_snibs})
    *snibs = get_records<Snib>(r, 16, [](Snib& s, auto&& visit) { visit_snib(s, visit); });
  p.mavets = get_records<Mavet>(r, 16, [](Mavet& m, auto&& visit) { visit_mavet(m, visit); });
  p.latest_mavets.resize(r.get_count(16));
  for (auto& [key, bar] : p.latest_mavets) {
    key = r.get<double>();
    bar = r.get<int64_t>();
  }
  r.finish();
  return LiveStream(config, std::move(p));
}

}  // namespace torvex::core
