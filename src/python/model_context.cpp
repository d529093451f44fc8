#include "python/model_context.hpp"

#include <initializer_list>

#include "python/model_switch.hpp"

namespace torvex::py {

namespace {

Ref names_tuple(std::initializer_list<const Ref*> names) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const Ref* name : names) PyTuple_SET_ITEM(tuple.get(), i++, Ref(*name).release());
  return tuple;
}

template <std::size_t N, std::size_t M>
void intern_all(std::array<Ref, N>& names, const std::array<core::AttrInfo, M>& table) {
  static_assert(N == M);
  for (std::size_t i = 0; i < N; ++i) names[i] = intern(table[i].name);
}

}  // namespace

std::unique_ptr<ModelContext> ModelContext::create() {
  auto ctx = std::make_unique<ModelContext>();
  ctx->accelerated = accelerators_on();
  ctx->plain_attrs.set_records(&ctx->own_records);
  ctx->intern_names();
  ctx->make_keywords();
  ctx->name_line_slots();
  return ctx;
}

void ModelContext::intern_names() {
  intern_all(str_kerd_attr, core::kerd_attr_info);
  for (std::size_t i = 0; i < core::setting_info.size(); ++i)
    str_setting[i] = intern(core::setting_info[i].name);
  intern_all(str_pivot_field, core::pivot_field_info);
  intern_all(str_mavet_field, core::mavet_field_info);
  const char* pivot_series[] = {"normal_high_snib", "normal_low_snib", "trending_high_snib",
                                "trending_low_snib"};
  for (std::size_t i = 0; i < str_pivot_series.size(); ++i)
    str_pivot_series[i] = intern(pivot_series[i]);

  for (std::size_t i = 0; i < str_base_value.size(); ++i)
    str_base_value[i] = intern(core::base_value_names[i]);
  using core::BaseValue;
  str_close = str_base_value[core::at(BaseValue::close)];
  str_open = str_base_value[core::at(BaseValue::open)];
  str_high = str_base_value[core::at(BaseValue::high)];
  str_low = str_base_value[core::at(BaseValue::low)];
  str_bar_index = str_base_value[core::at(BaseValue::bar_index)];
  str_time = str_base_value[core::at(BaseValue::time)];
  str_last_bar_index = str_base_value[core::at(BaseValue::last_bar_index)];
  str_mintick = str_base_value[core::at(BaseValue::mintick)];

  str_settings = intern("settings");
  str_kerds = intern("kerds");
  str_vip_snibs = intern("vip_snibs");
  str_new_vip_snibs = intern("new_vip_snibs");
  str_mavets = intern("mavets");
  str_latest_mavets = intern("latest_mavets");
  str_round_to_mintick = intern("round_to_mintick");
  str_get = intern("get");
  str_append = intern("append");
  str_extend = intern("extend");
  str_clear = intern("clear");
  str_pop = intern("pop");
}

void ModelContext::make_keywords() {
  using core::KerdAttr;
  const auto attr = [&](KerdAttr a) { return &str_kerd_attr[static_cast<int>(a)]; };
  kerd_kwnames = names_tuple(
      {attr(KerdAttr::start_bar_index), attr(KerdAttr::end_bar_index), attr(KerdAttr::start_time),
       attr(KerdAttr::end_time), attr(KerdAttr::kerd_value), attr(KerdAttr::kerd_accum_value),
       attr(KerdAttr::snib_values), attr(KerdAttr::close_avg_percent), &str_close, &str_open,
       &str_high, &str_low, &str_time, &str_bar_index, &str_last_bar_index, &str_mintick});

  using core::PivotField;
  const auto pivot = [&](PivotField f) { return &str_pivot_field[static_cast<int>(f)]; };
  Ref n = intern("n"), m = intern("m"), close_at_pivot = intern("close_at_pivot"),
      is_high = intern("is_high"), is_trending = intern("is_trending");
  snib_kwnames =
      names_tuple({&n, &m, pivot(PivotField::price), &close_at_pivot,
                   pivot(PivotField::bar_index_at_pivot), pivot(PivotField::bar_time_at_pivot),
                   &is_high, &is_trending, pivot(PivotField::close_avg_percent)});

  using core::MavetField;
  const auto field = [&](MavetField f) { return &str_mavet_field[static_cast<int>(f)]; };
  mavet_kwnames = names_tuple(
      {field(MavetField::break_kerd_at_price), field(MavetField::break_kerd_at_bar_index),
       field(MavetField::recover_at_bar_index), field(MavetField::break_kerd_extend_bar_cross),
       field(MavetField::bar_count_close_above_kerd), field(MavetField::vip_snib_count)});
}

void ModelContext::name_line_slots() {
  // The eight base values, then the line's attributes, in the order a new line stores them.
  for (std::size_t i = 0; i < str_base_value.size(); ++i)
    plain_kerd_names[i] = str_base_value[i].get();
  const std::size_t attrs = str_kerd_attr.size();
  for (std::size_t i = 0; i < attrs; ++i) {
    plain_kerd_names[str_base_value.size() + i] = str_kerd_attr[i].get();
    line_slot_names[i] = str_kerd_attr[i].get();
  }
  line_slot_names[kLineSlotBarIndex] = str_bar_index.get();
  line_slot_names[kLineSlotMintick] = str_mintick.get();
  line_slot_names[kLineSlotClose] = str_close.get();
  line_slot_names[kLineSlotOpen] = str_open.get();
  line_slot_index.assign(line_slot_names);
}

}  // namespace torvex::py
