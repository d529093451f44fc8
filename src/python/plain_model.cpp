#include "python/plain_model.hpp"

#include "python/record_args.hpp"

namespace torvex::py {

// ---- lines

std::size_t PlainModel::snib_count(const Ref& line) const {
  Ref values = host_.attr(line.get(), name(core::KerdAttr::snib_values));
  return static_cast<std::size_t>(host_.length(values.get()));
}

void PlainModel::read_snib_values(const Ref& line, std::vector<double>& out) const {
  Ref values = host_.attr(line.get(), name(core::KerdAttr::snib_values));
  host_.read_numbers(values.get(), out);
}

void PlainModel::extend_snib_values(const Ref& self, const Ref& target) const {
  Ref own = host_.attr(self.get(), name(core::KerdAttr::snib_values));
  Ref added = host_.attr(target.get(), name(core::KerdAttr::snib_values));
  host_.extend(own.get(), added.get());
}

void PlainModel::prepend_snib_values(const Ref& self, const Ref& target) const {
  PyObject* values = name(core::KerdAttr::snib_values);
  Ref earlier = host_.attr(target.get(), values);
  Ref own = host_.attr(self.get(), values);
  Ref combined = host_.concat(earlier.get(), own.get());
  host_.set_attr(self.get(), values, combined.get());
}

int64_t PlainModel::line_bar_index(const Ref& line) const {
  return host_.index(host_.attr(line.get(), ctx_.str_bar_index.get()).get());
}

double PlainModel::line_mintick(const Ref& line) const {
  return host_.number(host_.attr(line.get(), ctx_.str_mintick.get()).get());
}

// ---- the engine's lists

PyObject* PlainModel::require_engine() const {
  if (engine_ == nullptr) {
    PyErr_SetString(PyExc_SystemError, "engine attribute read by a line operation");
    throw PyError{};
  }
  return engine_;
}

std::size_t PlainModel::list_count(const Ref& list_name) const {
  Ref list = engine_attr(list_name);
  return static_cast<std::size_t>(host_.length(list.get()));
}

Ref PlainModel::list_at(const Ref& list_name, std::size_t i) const {
  Ref list = engine_attr(list_name);
  return host_.item(list.get(), static_cast<Py_ssize_t>(i));
}

void PlainModel::append_kerd(const Ref& line) const {
  Ref kerds = engine_attr(ctx_.str_kerds);
  host_.append(kerds.get(), line.get());
}

void PlainModel::clear_kerds() const {
  Ref kerds = engine_attr(ctx_.str_kerds);
  host_.clear(kerds.get());
}

void PlainModel::remove_first_kerd() const {
  Ref kerds = engine_attr(ctx_.str_kerds);
  host_.pop_first(kerds.get());
}

void PlainModel::reorder_kerds(std::span<const std::size_t> order) const {
  Ref kerds = engine_attr(ctx_.str_kerds);
  Ref sorted = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
  for (std::size_t j = 0; j < order.size(); ++j) {
    Ref line = host_.item(kerds.get(), static_cast<Py_ssize_t>(order[j]));
    PyList_SET_ITEM(sorted.get(), static_cast<Py_ssize_t>(j), line.release());
  }
  host_.replace_all(kerds.get(), sorted.get());
}

PyObject* PlainModel::record_class(PyObject* ModelClasses::*cls, const char* what) const {
  PyObject* found = classes_ != nullptr ? classes_->*cls : nullptr;
  if (found == nullptr) {
    PyErr_Format(PyExc_SystemError, "no %s class given to the object model", what);
    throw PyError{};
  }
  return found;
}

std::array<Ref, core::base_value_names.size()> PlainModel::base_values() const {
  using core::BaseValue;
  std::array<Ref, core::base_value_names.size()> base;
  for (std::size_t i = 0; i < base.size(); ++i) base[i] = engine_attr(ctx_.str_base_value[i]);
  return base;
}

Ref PlainModel::call_kerd_class(const core::KerdSeed& seed,
                                const std::array<Ref, core::base_value_names.size()>& base,
                                PyObject* snib_values) const {
  using core::BaseValue;
  PyObject* cls = record_class(&ModelClasses::kerd, "line");
  // The keywords of ctx_.kerd_kwnames: the line's eight attributes, then the series and values.
  const Ref made[] = {from_index(seed.start_bar_index), from_index(seed.end_bar_index),
                      from_index(seed.start_time),      from_index(seed.end_time),
                      from_number(seed.kerd_value),     from_number(seed.kerd_accum_value)};
  Ref close_avg_percent = from_number(seed.close_avg_percent);
  PyObject* args[16] = {made[0].get(),
                        made[1].get(),
                        made[2].get(),
                        made[3].get(),
                        made[4].get(),
                        made[5].get(),
                        snib_values,
                        close_avg_percent.get(),
                        base[core::at(BaseValue::close)].get(),
                        base[core::at(BaseValue::open)].get(),
                        base[core::at(BaseValue::high)].get(),
                        base[core::at(BaseValue::low)].get(),
                        base[core::at(BaseValue::time)].get(),
                        base[core::at(BaseValue::bar_index)].get(),
                        base[core::at(BaseValue::last_bar_index)].get(),
                        base[core::at(BaseValue::mintick)].get()};
  return host_.call(cls, args, 0, ctx_.kerd_kwnames.get());
}

Ref PlainModel::make_kerd(const core::KerdSeed& seed) const {
  const std::array<Ref, core::base_value_names.size()> base = base_values();
  Ref values = Ref::steal(PyList_New(1));
  PyList_SET_ITEM(values.get(), 0, from_number(seed.snib_value).release());
  return call_kerd_class(seed, base, values.get());
}

// ---- pivots

void PlainModel::append_new_snib(const core::Snib& snib) const {
  PyObject* cls = record_class(&ModelClasses::snib, "pivot record");
  const auto made = snib_record_args(snib);
  Ref record = make_record(cls, borrowed(made).data(), 0, ctx_.snib_kwnames.get());
  Ref pending = engine_attr(ctx_.str_new_vip_snibs);
  host_.append(pending.get(), record.get());
}

void PlainModel::pop_new_snib_to_vip() const {
  Ref pending = engine_attr(ctx_.str_new_vip_snibs);
  const Py_ssize_t last = host_.length(pending.get()) - 1;
  Ref pivot = host_.item(pending.get(), last);
  Ref processed = engine_attr(ctx_.str_vip_snibs);
  host_.append(processed.get(), pivot.get());
  host_.pop_last(pending.get());
}

void PlainModel::move_new_snibs_to_vip() const {
  Ref pending = engine_attr(ctx_.str_new_vip_snibs);
  Ref processed = engine_attr(ctx_.str_vip_snibs);
  host_.extend(processed.get(), pending.get());
  host_.clear(pending.get());
}

// ---- windows

void PlainModel::append_mavet(const core::Mavet& window) const {
  PyObject* cls = record_class(&ModelClasses::mavet, "window record");
  const auto made = mavet_record_args(window);
  Ref record = make_record(cls, borrowed(made).data(), 0, ctx_.mavet_kwnames.get());
  if (window.recovered)
    host_.set_attr(record.get(),
                   ctx_.str_mavet_field[static_cast<int>(core::MavetField::recovered)].get(),
                   Py_True);
  Ref mavets = engine_attr(ctx_.str_mavets);
  host_.append(mavets.get(), record.get());
}

void PlainModel::remove_first_mavet() const {
  Ref mavets = engine_attr(ctx_.str_mavets);
  host_.pop_first(mavets.get());
}

// ---- the latest-window mapping

PlainModel::Key PlainModel::round_key(double price) const {
  Ref value = from_number(price);
  return round_key(value.get());
}

PlainModel::Key PlainModel::round_key(PyObject* price) const {
  PyObject* args[2] = {require_engine(), price};
  return host_.call_method(ctx_.str_round_to_mintick.get(), args, 2);
}

}  // namespace torvex::py
