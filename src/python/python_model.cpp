// The Python model's operations on the host's objects as the plain path makes them: the
// engine's lists of lines, pivots and windows changed in place, records made by calling their
// classes, the latest-window mapping, series handles, writes of the engine's attributes. The
// accelerators they call on are in python_model_<concern>.cpp.
#include "python/python_model.hpp"

#include <utility>

namespace torvex::py {

void PythonModel::write_attr(PyObject* obj, PyObject* attr_name, PyObject* value) const {
  host_.set_attr(obj, attr_name, value);
  if (obj == engine_) {
    for (KeptEngineAttr& kept : engine_attrs_) kept = KeptEngineAttr{};
    kept_bar_index_ = kept_last_bar_index_ = KeptEngineIndex{};
    kept_series_ = {};
    kept_base_.epoch = ~uint64_t{0};
    engine_stamp_.drop();
    engine_checked_ = ~uint64_t{0};
  }
}

int64_t PythonModel::line_bar_index(const Line& line) const {
  // An exact int converts as it did when the deferred line was made.
  if (const DeferredLine* deferred = line.pending(); deferred && deferred->merge_reads_unseen)
    return deferred->bar_index;
  return host_.index(line_attr(line, kLineSlotBarIndex).get());
}

double PythonModel::line_mintick(const Line& line) const {
  return host_.number(line_attr(line, kLineSlotMintick).get());
}

SeriesHandle PythonModel::series_of(Ref object) const {
  SeriesObject* direct = ctx_.series.as_series(object.get());
  return SeriesHandle{std::move(object), direct};
}

SeriesHandle PythonModel::series_attr(PyObject* owner, const Ref& attr_name) const {
  if (owner == engine_) return series_of(engine_attr(attr_name));
  return series_of(host_.attr(owner, attr_name.get()));
}

PyObject* PythonModel::require_engine() const {
  if (engine_ == nullptr) {
    PyErr_SetString(PyExc_SystemError, "engine attribute read by a line operation");
    throw PyError{};
  }
  return engine_;
}

PyObject* PythonModel::record_class(PyObject* cls, const char* what) const {
  if (cls == nullptr) {
    PyErr_Format(PyExc_SystemError, "no %s class given to the object model", what);
    throw PyError{};
  }
  return cls;
}

std::size_t PythonModel::list_count(const Ref& name) const {
  Ref list;
  return static_cast<std::size_t>(host_.length(engine_list(name, list)));
}

Ref PythonModel::list_at(const Ref& name, std::size_t i) const {
  Ref list;
  return host_.item(engine_list(name, list), static_cast<Py_ssize_t>(i));
}

std::size_t PythonModel::kerd_count() const {
  return list_count(ctx_.str_kerds);
}

PythonModel::Line PythonModel::kerd_at(std::size_t i) const {
  return list_at(ctx_.str_kerds, i);
}

void PythonModel::append_kerd(const Line& line) const {
  Ref kerds;
  PyObject* list = engine_list(ctx_.str_kerds, kerds);
  host_.append(list, built(line));
}

void PythonModel::clear_kerds() const {
  Ref kerds;
  host_.clear(engine_list(ctx_.str_kerds, kerds));
}

void PythonModel::remove_first_kerd() const {
  Ref kerds;
  host_.pop_first(engine_list(ctx_.str_kerds, kerds));
}

void PythonModel::reorder_kerds(std::span<const std::size_t> order) const {
  Ref kerds;
  PyObject* list = engine_list(ctx_.str_kerds, kerds);
  Ref sorted = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
  for (std::size_t j = 0; j < order.size(); ++j) {
    Ref line = host_.item(list, static_cast<Py_ssize_t>(order[j]));
    PyList_SET_ITEM(sorted.get(), static_cast<Py_ssize_t>(j), line.release());
  }
  host_.replace_all(list, sorted.get());
}

std::size_t PythonModel::new_snib_count() const {
  return list_count(ctx_.str_new_vip_snibs);
}

std::size_t PythonModel::vip_snib_count() const {
  return list_count(ctx_.str_vip_snibs);
}

PythonModel::Pivot PythonModel::vip_snib_at(std::size_t i) const {
  return list_at(ctx_.str_vip_snibs, i);
}

void PythonModel::append_new_snib(const core::Snib& snib) const {
  PyObject* cls = record_class(classes_ ? classes_->snib : nullptr, "pivot record");
  Ref record = call_with_keywords(cls, snib_record_args(snib), ctx_.snib_kwnames);
  Ref pending;
  host_.append(engine_list(ctx_.str_new_vip_snibs, pending), record.get());
}

void PythonModel::pop_new_snib_to_vip() const {
  Ref pending, processed;
  Ref pivot = host_.pop_last(engine_list(ctx_.str_new_vip_snibs, pending));
  host_.append(engine_list(ctx_.str_vip_snibs, processed), pivot.get());
}

void PythonModel::move_new_snibs_to_vip() const {
  Ref pending, processed;
  PyObject* from = engine_list(ctx_.str_new_vip_snibs, pending);
  host_.extend(engine_list(ctx_.str_vip_snibs, processed), from);
  host_.clear(from);
}

std::size_t PythonModel::mavet_count() const {
  return list_count(ctx_.str_mavets);
}

PythonModel::Window PythonModel::mavet_at(std::size_t i) const {
  return list_at(ctx_.str_mavets, i);
}

void PythonModel::append_mavet(const core::Mavet& window) const {
  PyObject* cls = record_class(classes_ ? classes_->mavet : nullptr, "window record");
  Ref record = call_with_keywords(cls, mavet_record_args(window), ctx_.mavet_kwnames);
  if (window.recovered)
    host_.set_attr(record.get(),
                   ctx_.str_mavet_field[static_cast<int>(core::MavetField::recovered)].get(),
                   Py_True);
  Ref mavets;
  host_.append(engine_list(ctx_.str_mavets, mavets), record.get());
}

void PythonModel::remove_first_mavet() const {
  Ref mavets;
  host_.pop_first(engine_list(ctx_.str_mavets, mavets));
}

PythonModel::Key PythonModel::round_key(double price) const {
  if (const std::optional<double> rounded = rounded_here(price)) return from_number(*rounded);
  Ref value = from_number(price);
  PyObject* args[2] = {require_engine(), value.get()};
  return host_.call_method(ctx_.str_round_to_mintick.get(), args, 2);
}

std::optional<double> PythonModel::rounded_here(double price) const {
  PyObject* engine = require_engine();
  if (!ctx_.tick_rounding.runs_stand_in(engine, ctx_.str_round_to_mintick.get()) ||
      !ctx_.plain_attrs.get(engine, ctx_.str_mintick.get()))
    return std::nullopt;
  return TickRounding::rounded(price, engine_attr(ctx_.str_mintick).get());
}

bool PythonModel::latest_contains(const Key& key) const {
  return host_.contains(engine_attr(ctx_.str_latest_mavets).get(), key.get());
}

int64_t PythonModel::latest_get(const Key& key, int64_t fallback) const {
  return host_.get_index(engine_attr(ctx_.str_latest_mavets).get(), key.get(), fallback);
}

void PythonModel::latest_set(const Key& key, int64_t bar) const {
  host_.set_index(engine_attr(ctx_.str_latest_mavets).get(), key.get(), bar);
}

}  // namespace torvex::py
