#include "python/python_model.hpp"

#include <limits>

namespace torvex::py {

namespace {

Ref intern(const char* text) {
  return Ref::steal(PyUnicode_InternFromString(text));
}

Ref intern(std::string_view text) {
  Ref name =
      Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  PyObject* raw = name.release();
  PyUnicode_InternInPlace(&raw);
  return Ref::steal(raw);
}

Ref names_tuple(std::initializer_list<const Ref*> names) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const Ref* name : names) PyTuple_SET_ITEM(tuple.get(), i++, Ref(*name).release());
  return tuple;
}

Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
  PyObject* stack[4] = {obj, nullptr, nullptr, nullptr};
  std::size_t n = 1;
  for (PyObject* arg : args) stack[n++] = arg;
  return Ref::steal(PyObject_VectorcallMethod(name, stack, n, nullptr));
}

// The generic container paths call the container's own method, as `seq.append(x)` would.
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) {
  return call_method(obj, intern(name).get(), args);
}

[[noreturn]] void raise_list_index() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  throw PyError{};
}

}  // namespace

PlainAttrCache::Entry PlainAttrCache::look_up(PyTypeObject* type, PyObject* name) {
  // A class attribute without __get__ is returned as it is and one without __set__ leaves a
  // write to the instance; anything else may be a hook.
  PyObject* found = _PyType_Lookup(type, name);
  const Access get = found == nullptr                          ? Access::instance
                     : Py_TYPE(found)->tp_descr_get == nullptr ? Access::plain
                                                               : Access::hooked;
  return Entry{name, 0, get, found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr};
}

bool plain_numbers(PyObject* values) {
  if (!PyList_CheckExact(values) && !PyTuple_CheckExact(values)) return false;
  PyObject** items = PySequence_Fast_ITEMS(values);
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(values);
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!plain_number(items[i])) return false;
  return true;
}

void read_numbers(PyObject* values, std::vector<double>& out) {
  if (PyList_CheckExact(values)) {
    const Py_ssize_t count = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
      // A conversion hook may shrink the list: check before every read, hold the item.
      if (i >= PyList_GET_SIZE(values)) raise_list_index();
      Ref item = Ref::borrow(PyList_GET_ITEM(values, i));
      out.push_back(to_number(item.get()));
    }
    return;
  }
  if (PyTuple_CheckExact(values)) {
    const Py_ssize_t count = PyTuple_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref item = Ref::borrow(PyTuple_GET_ITEM(values, i));
      out.push_back(to_number(item.get()));
    }
    return;
  }
  const Py_ssize_t length = PyObject_Length(values);
  if (length < 0) throw PyError{};
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    Ref item = Ref::steal(PyObject_GetItem(values, key.get()));
    out.push_back(to_number(item.get()));
  }
}

Py_ssize_t seq_length(PyObject* seq) {
  if (PyList_CheckExact(seq)) return PyList_GET_SIZE(seq);
  const Py_ssize_t length = PyObject_Length(seq);
  if (length < 0) throw PyError{};
  return length;
}

Ref seq_item(PyObject* seq, Py_ssize_t index) {
  if (PyList_CheckExact(seq)) {
    if (index < 0 || index >= PyList_GET_SIZE(seq)) raise_list_index();
    return Ref::borrow(PyList_GET_ITEM(seq, index));
  }
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  return Ref::steal(PyObject_GetItem(seq, key.get()));
}

void seq_set_item(PyObject* seq, Py_ssize_t index, PyObject* value) {
  if (PyList_CheckExact(seq)) {
    if (index < 0 || index >= PyList_GET_SIZE(seq)) {
      PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
      throw PyError{};
    }
    check_status(PyList_SetItem(seq, index, Ref::borrow(value).release()));
    return;
  }
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  check_status(PyObject_SetItem(seq, key.get(), value));
}

void seq_append(PyObject* seq, PyObject* item) {
  if (PyList_CheckExact(seq)) {
    check_status(PyList_Append(seq, item));
    return;
  }
  call_method(seq, "append", {item});
}

void seq_extend(PyObject* seq, PyObject* items) {
  if (PyList_CheckExact(seq) && (PyList_CheckExact(items) || PyTuple_CheckExact(items))) {
    // Slice assignment at the end copies first, so a list may extend itself.
    const Py_ssize_t end = PyList_GET_SIZE(seq);
    check_status(PyList_SetSlice(seq, end, end, items));
    return;
  }
  call_method(seq, "extend", {items});
}

void seq_clear(PyObject* seq) {
  if (PyList_CheckExact(seq)) {
    check_status(PyList_SetSlice(seq, 0, PyList_GET_SIZE(seq), nullptr));
    return;
  }
  call_method(seq, "clear", {});
}

Ref seq_pop_first(PyObject* seq) {
  if (PyList_CheckExact(seq)) {
    if (PyList_GET_SIZE(seq) == 0) {
      PyErr_SetString(PyExc_IndexError, "pop from empty list");
      throw PyError{};
    }
    Ref item = Ref::borrow(PyList_GET_ITEM(seq, 0));
    check_status(PyList_SetSlice(seq, 0, 1, nullptr));
    return item;
  }
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return call_method(seq, "pop", {zero.get()});
}

Ref seq_pop_last(PyObject* seq) {
  if (PyList_CheckExact(seq)) {
    const Py_ssize_t size = PyList_GET_SIZE(seq);
    if (size == 0) {
      PyErr_SetString(PyExc_IndexError, "pop from empty list");
      throw PyError{};
    }
    Ref item = Ref::borrow(PyList_GET_ITEM(seq, size - 1));
    check_status(PyList_SetSlice(seq, size - 1, size, nullptr));
    return item;
  }
  return call_method(seq, "pop", {});
}

void seq_replace_all(PyObject* seq, PyObject* items) {
  if (PyList_CheckExact(seq)) {
    check_status(PyList_SetSlice(seq, 0, PyList_GET_SIZE(seq), items));
    return;
  }
  check_status(PySequence_SetSlice(seq, 0, std::numeric_limits<Py_ssize_t>::max(), items));
}

std::unique_ptr<ModelContext> ModelContext::create() {
  auto ctx = std::make_unique<ModelContext>();
  for (std::size_t i = 0; i < core::kerd_attr_info.size(); ++i)
    ctx->kerd_attr[i] = intern(core::kerd_attr_info[i].name);
  for (std::size_t i = 0; i < core::setting_info.size(); ++i)
    ctx->setting[i] = intern(core::setting_info[i].name);
  const char* pivot_fields[] = {"bar_index_at_pivot", "bar_time_at_pivot", "price",
                                "close_avg_percent"};
  for (std::size_t i = 0; i < 4; ++i) ctx->pivot_field[i] = intern(pivot_fields[i]);
  for (std::size_t i = 0; i < core::mavet_field_info.size(); ++i)
    ctx->mavet_field[i] = intern(core::mavet_field_info[i].name);
  const char* pivot_series[] = {"normal_high_snib", "normal_low_snib", "trending_high_snib",
                                "trending_low_snib"};
  for (std::size_t i = 0; i < 4; ++i) ctx->pivot_series[i] = intern(pivot_series[i]);

  ctx->close = intern("close");
  ctx->open = intern("open");
  ctx->high = intern("high");
  ctx->low = intern("low");
  ctx->bar_index = intern("bar_index");
  ctx->time = intern("time");
  ctx->last_bar_index = intern("last_bar_index");
  ctx->mintick = intern("mintick");
  ctx->settings = intern("settings");
  ctx->kerds = intern("kerds");
  ctx->vip_snibs = intern("vip_snibs");
  ctx->new_vip_snibs = intern("new_vip_snibs");
  ctx->mavets = intern("mavets");
  ctx->latest_mavets = intern("latest_mavets");
  ctx->round_to_mintick = intern("round_to_mintick");
  ctx->get = intern("get");

  using core::KerdAttr;
  const auto& a = ctx->kerd_attr;
  const auto at = [&](KerdAttr attr) { return &a[static_cast<int>(attr)]; };
  ctx->kerd_kwnames = names_tuple(
      {at(KerdAttr::start_bar_index), at(KerdAttr::end_bar_index), at(KerdAttr::start_time),
       at(KerdAttr::end_time), at(KerdAttr::kerd_value), at(KerdAttr::kerd_accum_value),
       at(KerdAttr::snib_values), at(KerdAttr::close_avg_percent), &ctx->close, &ctx->open,
       &ctx->high, &ctx->low, &ctx->time, &ctx->bar_index, &ctx->last_bar_index, &ctx->mintick});

  Ref n = intern("n"), m = intern("m"), close_at_pivot = intern("close_at_pivot"),
      is_high = intern("is_high"), is_trending = intern("is_trending");
  const auto& p = ctx->pivot_field;
  using core::PivotField;
  const auto pf = [&](PivotField f) { return &p[static_cast<int>(f)]; };
  ctx->snib_kwnames =
      names_tuple({&n, &m, pf(PivotField::price), &close_at_pivot,
                   pf(PivotField::bar_index_at_pivot), pf(PivotField::bar_time_at_pivot), &is_high,
                   &is_trending, pf(PivotField::close_avg_percent)});

  const auto& w = ctx->mavet_field;
  using core::MavetField;
  const auto mf = [&](MavetField f) { return &w[static_cast<int>(f)]; };
  ctx->mavet_kwnames = names_tuple(
      {mf(MavetField::break_kerd_at_price), mf(MavetField::break_kerd_at_bar_index),
       mf(MavetField::recover_at_bar_index), mf(MavetField::break_kerd_extend_bar_cross),
       mf(MavetField::bar_count_close_above_kerd), mf(MavetField::vip_snib_count)});
  return ctx;
}

// ---- lines

std::size_t PythonModel::snib_count(const Line& line) const {
  Ref values = attr(line.get(), name(core::KerdAttr::snib_values));
  return static_cast<std::size_t>(seq_length(container(values.get())));
}

void PythonModel::read_snib_values(const Line& line, std::vector<double>& out) const {
  Ref values = attr(line.get(), name(core::KerdAttr::snib_values));
  if (!plain_numbers(values.get())) host_ran();
  read_numbers(values.get(), out);
}

void PythonModel::extend_snib_values(const Line& self, const Line& target) const {
  Ref own = attr(self.get(), name(core::KerdAttr::snib_values));
  Ref added = attr(target.get(), name(core::KerdAttr::snib_values));
  if (!PyList_CheckExact(added.get()) && !PyTuple_CheckExact(added.get())) host_ran();
  seq_extend(container(own.get()), added.get());
}

void PythonModel::prepend_snib_values(const Line& self, const Line& target) const {
  Ref earlier = attr(target.get(), name(core::KerdAttr::snib_values));
  Ref own = attr(self.get(), name(core::KerdAttr::snib_values));
  if (!PyList_CheckExact(earlier.get()) || !PyList_CheckExact(own.get())) host_ran();
  Ref combined = Ref::steal(PyNumber_Add(earlier.get(), own.get()));
  put(self.get(), name(core::KerdAttr::snib_values), combined.get());
}

int64_t PythonModel::line_bar_index(const Line& line) const {
  return convert<core::ValueKind::index>(attr(line.get(), ctx_.bar_index.get()).get());
}

double PythonModel::line_mintick(const Line& line) const {
  return convert<core::ValueKind::price>(attr(line.get(), ctx_.mintick.get()).get());
}

bool PythonModel::differs(PyObject* a, PyObject* b, PyObject* attr_name) const {
  Ref left = attr(a, attr_name);
  Ref right = attr(b, attr_name);
  if (!plain_number(left.get()) || !plain_number(right.get())) host_ran();
  // The operator itself, not the identity shortcut of RichCompareBool: NaN differs from NaN.
  Ref result = Ref::steal(PyObject_RichCompare(left.get(), right.get(), Py_NE));
  return to_flag(result.get());
}

// ---- series

SeriesHandle PythonModel::series_of(Ref object) const {
  SeriesObject* direct = ctx_.series.as_series(object.get());
  return SeriesHandle{std::move(object), direct};
}

Ref PythonModel::attr(PyObject* obj, PyObject* attr_name, bool& plain) const {
  using Access = PlainAttrCache::Access;
  const Access access = ctx_.plain_attrs.get(obj, attr_name);
  plain = access != Access::hooked;
  if (!plain) {
    host_ran();
  } else if (access == Access::instance) {
    // What the generic lookup would find, without its dispatch: the instance's own entry.
    PyObject** dict = _PyObject_GetDictPtr(obj);
    if (dict != nullptr && *dict != nullptr) {
      PyObject* value = PyDict_GetItemWithError(*dict, attr_name);
      if (value != nullptr) return Ref::borrow(value);
      if (PyErr_Occurred()) throw PyError{};
    }
  }
  return get_attr(obj, attr_name);  // also for the lookup's own error
}

SeriesHandle PythonModel::series_attr(PyObject* owner, const Ref& attr_name) const {
  return series_of(attr(owner, attr_name.get()));
}

double PythonModel::host_value(const SeriesHandle& series, int64_t offset) const {
  if (!keep_series_values_) {
    host_ran();
    return to_number(item(series, offset).get());
  }
  if (!memo_) {
    memo_.emplace(ctx_.series_memo);
    memo_epoch_ = foreign_epoch_;
  }
  core::OffsetMemo& memo = memo_->memo();
  if (memo_epoch_ != foreign_epoch_) {
    memo.forget();
    for (Ref& held : memo_series_) held = Ref();
    memo_epoch_ = foreign_epoch_;
  }
  const int slot = memo.slot(series.object.get());
  double value;
  if (slot >= 0) {
    if (memo.find(slot, offset, value)) return value;
    if (!memo_series_[slot]) memo_series_[slot] = series.object;
  }
  // The read itself is host code, but not code that changes what the series holds.
  ++host_epoch_;
  Ref element = item(series, offset);
  if (!plain_double(element.get())) {
    host_ran();
    return to_number(element.get());
  }
  value = to_number(element.get());
  if (slot >= 0) memo.store(slot, offset, value);
  return value;
}

Ref PythonModel::item(const SeriesHandle& series, int64_t offset) {
  // The host's own indexing with the offset as key: a sequence would count a negative index
  // from its end, which a bar series does not.
  Ref key = Ref::steal(PyLong_FromLongLong(offset));
  return Ref::steal(PyObject_GetItem(series.object.get(), key.get()));
}

// ---- engine

PyObject* PythonModel::require_engine() const {
  if (engine_ == nullptr) {
    PyErr_SetString(PyExc_SystemError, "engine attribute read by a line operation");
    throw PyError{};
  }
  return engine_;
}

Ref PythonModel::engine_attr(const Ref& attr_name) const {
  return attr(require_engine(), attr_name.get());
}

PyObject* PythonModel::record_class(PyObject* cls, const char* what) const {
  if (cls == nullptr) {
    PyErr_Format(PyExc_SystemError, "no %s class given to the object model", what);
    throw PyError{};
  }
  return cls;
}

std::size_t PythonModel::kerd_count() const {
  return static_cast<std::size_t>(seq_length(container(engine_attr(ctx_.kerds).get())));
}

PythonModel::Line PythonModel::kerd_at(std::size_t i) const {
  return seq_item(container(engine_attr(ctx_.kerds).get()), static_cast<Py_ssize_t>(i));
}

void PythonModel::append_kerd(const Line& line) const {
  seq_append(container(engine_attr(ctx_.kerds).get()), line.get());
}

void PythonModel::clear_kerds() const {
  seq_clear(container(engine_attr(ctx_.kerds).get()));
}

void PythonModel::remove_first_kerd() const {
  seq_pop_first(container(engine_attr(ctx_.kerds).get()));
}

void PythonModel::reorder_kerds(std::span<const std::size_t> order) const {
  Ref kerds = engine_attr(ctx_.kerds);
  container(kerds.get());
  Ref sorted = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
  for (std::size_t j = 0; j < order.size(); ++j) {
    Ref line = seq_item(kerds.get(), static_cast<Py_ssize_t>(order[j]));
    PyList_SET_ITEM(sorted.get(), static_cast<Py_ssize_t>(j), line.release());
  }
  seq_replace_all(kerds.get(), sorted.get());
}

PythonModel::Line PythonModel::make_kerd(const core::KerdSeed& seed) const {
  PyObject* cls = record_class(classes_ ? classes_->kerd : nullptr, "line");
  Ref values = Ref::steal(PyList_New(1));
  PyList_SET_ITEM(values.get(), 0, from_number(seed.snib_value).release());
  // Keyword order of kerd_kwnames; the engine's values are read in base-value order.
  Ref args[16] = {from_index(seed.start_bar_index),
                  from_index(seed.end_bar_index),
                  from_index(seed.start_time),
                  from_index(seed.end_time),
                  from_number(seed.kerd_value),
                  from_number(seed.kerd_accum_value),
                  std::move(values),
                  from_number(seed.close_avg_percent)};
  args[8] = engine_attr(ctx_.close);
  args[9] = engine_attr(ctx_.open);
  args[10] = engine_attr(ctx_.high);
  args[11] = engine_attr(ctx_.low);
  args[13] = engine_attr(ctx_.bar_index);
  args[12] = engine_attr(ctx_.time);
  args[14] = engine_attr(ctx_.last_bar_index);
  args[15] = engine_attr(ctx_.mintick);
  PyObject* stack[16];
  for (int i = 0; i < 16; ++i) stack[i] = args[i].get();
  host_ran();  // the line class's initialiser is the host's
  return Ref::steal(PyObject_Vectorcall(cls, stack, 0, ctx_.kerd_kwnames.get()));
}

// ---- pivots

std::size_t PythonModel::new_snib_count() const {
  return static_cast<std::size_t>(seq_length(container(engine_attr(ctx_.new_vip_snibs).get())));
}

std::size_t PythonModel::vip_snib_count() const {
  return static_cast<std::size_t>(seq_length(container(engine_attr(ctx_.vip_snibs).get())));
}

PythonModel::Pivot PythonModel::vip_snib_at(std::size_t i) const {
  return seq_item(container(engine_attr(ctx_.vip_snibs).get()), static_cast<Py_ssize_t>(i));
}

void PythonModel::append_new_snib(const core::Snib& snib) const {
  PyObject* cls = record_class(classes_ ? classes_->snib : nullptr, "pivot record");
  Ref args[9] = {from_index(snib.n),
                 from_index(snib.m),
                 from_number(snib.price),
                 from_number(snib.close_at_pivot),
                 from_index(snib.bar_index_at_pivot),
                 from_index(snib.bar_time_at_pivot),
                 from_flag(snib.is_high),
                 from_flag(snib.is_trending),
                 from_number(snib.close_avg_percent)};
  PyObject* stack[9];
  for (int i = 0; i < 9; ++i) stack[i] = args[i].get();
  host_ran();
  Ref record = Ref::steal(PyObject_Vectorcall(cls, stack, 0, ctx_.snib_kwnames.get()));
  seq_append(container(engine_attr(ctx_.new_vip_snibs).get()), record.get());
}

void PythonModel::pop_new_snib_to_vip() const {
  Ref pivot = seq_pop_last(container(engine_attr(ctx_.new_vip_snibs).get()));
  seq_append(container(engine_attr(ctx_.vip_snibs).get()), pivot.get());
}

void PythonModel::move_new_snibs_to_vip() const {
  Ref pending = engine_attr(ctx_.new_vip_snibs);
  container(pending.get());
  seq_extend(container(engine_attr(ctx_.vip_snibs).get()), pending.get());
  seq_clear(pending.get());
}

// ---- windows

std::size_t PythonModel::mavet_count() const {
  return static_cast<std::size_t>(seq_length(container(engine_attr(ctx_.mavets).get())));
}

PythonModel::Window PythonModel::mavet_at(std::size_t i) const {
  return seq_item(container(engine_attr(ctx_.mavets).get()), static_cast<Py_ssize_t>(i));
}

void PythonModel::append_mavet(const core::Mavet& window) const {
  PyObject* cls = record_class(classes_ ? classes_->mavet : nullptr, "window record");
  Ref args[6] = {from_number(window.break_kerd_at_price),
                 from_index(window.break_kerd_at_bar_index),
                 window.recover_at_bar_index == -1 ? Ref::borrow(Py_None)
                                                   : from_index(window.recover_at_bar_index),
                 from_index(window.break_kerd_extend_bar_cross),
                 from_index(window.bar_count_close_above_kerd),
                 from_index(window.vip_snib_count)};
  PyObject* stack[6];
  for (int i = 0; i < 6; ++i) stack[i] = args[i].get();
  host_ran();
  Ref record = Ref::steal(PyObject_Vectorcall(cls, stack, 0, ctx_.mavet_kwnames.get()));
  if (window.recovered)
    set_attr(record.get(), ctx_.mavet_field[static_cast<int>(core::MavetField::recovered)].get(),
             Py_True);
  seq_append(container(engine_attr(ctx_.mavets).get()), record.get());
}

void PythonModel::remove_first_mavet() const {
  seq_pop_first(container(engine_attr(ctx_.mavets).get()));
}

// ---- latest-window mapping

PythonModel::Key PythonModel::round_key(double price) const {
  PyObject* engine = require_engine();
  host_ran();
  Ref value = from_number(price);
  return call_method(engine, ctx_.round_to_mintick.get(), {value.get()});
}

bool PythonModel::latest_contains(const Key& key) const {
  Ref latest = engine_attr(ctx_.latest_mavets);
  host_ran();  // the key's own hashing and comparison
  if (PyDict_CheckExact(latest.get()))
    return check_status(PyDict_Contains(latest.get(), key.get())) != 0;
  return check_status(PySequence_Contains(latest.get(), key.get())) != 0;
}

int64_t PythonModel::latest_get(const Key& key, int64_t fallback) const {
  Ref latest = engine_attr(ctx_.latest_mavets);
  host_ran();
  if (PyDict_CheckExact(latest.get())) {
    PyObject* found = PyDict_GetItemWithError(latest.get(), key.get());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw PyError{};
      return fallback;
    }
    Ref held = Ref::borrow(found);
    return to_index(held.get());
  }
  Ref default_value = from_index(fallback);
  Ref found = call_method(latest.get(), ctx_.get.get(), {key.get(), default_value.get()});
  return to_index(found.get());
}

void PythonModel::latest_set(const Key& key, int64_t bar) const {
  Ref latest = engine_attr(ctx_.latest_mavets);
  host_ran();
  Ref value = from_index(bar);
  check_status(PyObject_SetItem(latest.get(), key.get(), value.get()));
}

}  // namespace torvex::py
