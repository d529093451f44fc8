#include "python/python_model.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "python/cpython/list_storage.hpp"

namespace torvex::py {

// ---- lines

void PythonModel::renew_records() const {
  store_held();
  if (!records_) {
    records_.emplace(ctx_.line_records);
    records_list_ = &records_->get();
  }
  records_list_->forget();
  records_epoch_ = host_.epoch();
}

void PythonModel::drop_unheld_records() const {
  if (unrecorded_.line && Py_REFCNT(unrecorded_.line.get()) == 1) unrecorded_ = UnrecordedLine{};
  if (records_list_ == nullptr || records_epoch_ != host_.epoch()) return;
  records_list_->drop_unheld();
  if (last_new_line_ != nullptr && !last_new_line_->line) last_new_line_ = nullptr;
}

LineRecord& PythonModel::new_record(PyObject* line) const {
  if (unrecorded_.line.get() == line) unrecorded_ = UnrecordedLine{};
  LineRecord& rec = records_list_->add(line);
  const ModelContext::PlainLineSlots& plain = plain_line_slots(line);
  rec.plain_get = plain.get;
  rec.plain_set = plain.set;
  if (plain.get != 0) rec.dict = Ref::borrow(exact_instance_dict(line));
  return rec;
}

const ModelContext::PlainLineSlots& PythonModel::learn_plain_line_slots(PyObject* line) const {
  PyTypeObject* type = Py_TYPE(line);
  ModelContext::PlainLineSlots& known = ctx_.plain_line_slots;
  ModelContext::PlainLineSlots found;
  for (std::size_t s = 0; s < ctx_.line_slot_names.size(); ++s) {
    const uint32_t bit = LineRecord::bit(static_cast<int>(s));
    if (ctx_.plain_attrs.get(line, ctx_.line_slot_names[s])) found.get |= bit;
    if (ctx_.plain_attrs.set(line, ctx_.line_slot_names[s])) found.set |= bit;
  }
  // The cache's lookups gave the class a version tag where it can have one.
  found.version = type_version(type);
  if (found.version != 0) found.type = type;
  known = found;
  return known;
}

bool PythonModel::plain_write(PyObject* line, const LineRecord* rec, int slot) const {
  if (rec != nullptr) return (rec->plain_set & LineRecord::bit(slot)) != 0;
  return ctx_.plain_attrs.set(line, ctx_.line_slot_names[static_cast<std::size_t>(slot)]);
}

Ref PythonModel::line_attr(PyObject* line, LineRecord* rec, int slot) const {
  PyObject* attr_name = ctx_.line_slot_names[static_cast<std::size_t>(slot)];
  if (rec != nullptr) {
    if ((rec->held & LineRecord::bit(slot)) != 0) make_held_object(*rec, slot);
    const Ref& kept = rec->value(slot);
    if (kept) return kept;
    // A plain read finds the value in the instance dictionary when it is there.
    if (plain_read(line, rec, slot))
      if (PyObject* found = dict_value(line, rec, slot)) {
        rec->keep(slot, Ref::borrow(found));
        return kept;
      }
  } else if (PyObject* found = unrecorded_plain_value(line, slot)) {
    return Ref::borrow(found);
  }
  bool plain;
  Ref value = host_.attr(line, attr_name, plain);
  // A read that ran no host code leaves the record current.
  if (rec != nullptr && plain) rec->keep(slot, value);
  return value;
}

void PythonModel::make_held_object(LineRecord& rec, int slot) const {
  if (rec.value(slot)) return;
  Ref object;
  switch (core::kerd_attr_info[static_cast<std::size_t>(slot)].kind) {
    case core::ValueKind::index:
      object = from_index(rec.number_of<int64_t>(slot));
      break;
    case core::ValueKind::flag:
      object = from_flag(rec.number_of<bool>(slot));
      break;
    case core::ValueKind::time:
      object = from_time(rec.number_of<double>(slot));
      break;
    default:
      object = from_number(rec.number_of<double>(slot));
  }
  rec.set_value(slot, std::move(object));
}

void PythonModel::store_held() const {
  if (records_list_ == nullptr) return;
  std::vector<std::pair<LineRecord*, int>>& held = records_list_->held;
  for (std::size_t i = 0; i < held.size(); ++i) {
    auto [rec, slot] = held[i];
    if ((rec->held & LineRecord::bit(slot)) == 0) continue;
    make_held_object(*rec, slot);
    rec->held &= ~LineRecord::bit(slot);
    // Plain when it was held, and no host code has run since.
    const int status = store_plain(*rec, slot, rec->value(slot).get());
    if (status < 0) {
      held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      throw PyError{};
    }
  }
  held.clear();
}

void PythonModel::before_host_code(void* model) {
  const auto* self = static_cast<const PythonModel*>(model);
  if (self->deferred_.pending) self->build_deferred();
  if (self->holding_) self->store_held();
}

void PythonModel::release_line_writes() const {
  holding_ = false;
  store_held();
}

void PythonModel::release_line_writes_on_error() const noexcept {
  holding_ = false;
  if (records_list_ == nullptr || records_list_->held.empty()) return;
  // The error on its way out stays the one raised; a failure to store meanwhile is dropped.
  SavedError saved;
  while (!records_list_->held.empty()) {
    try {
      store_held();
    } catch (const PyError&) {
      PyErr_Clear();
    }
  }
}

void PythonModel::write_attr(PyObject* obj, PyObject* attr_name, PyObject* value) const {
  host_.set_attr(obj, attr_name, value);
  if (obj == engine_) {
    for (KeptAttr& kept : engine_attrs_) kept = KeptAttr{};
    kept_bar_index_ = kept_last_bar_index_ = KeptIndex{};
    kept_series_ = {};
    kept_base_.epoch = ~uint64_t{0};
    engine_stamp_.drop();
    engine_checked_ = ~uint64_t{0};
  }
}

int PythonModel::store_plain(LineRecord& rec, int slot, PyObject* value) const {
  PyObject* attr_name = ctx_.line_slot_names[static_cast<std::size_t>(slot)];
  // The generic setattr stores into the instance dictionary, which no host code replaced since
  // the record took it.
  if (rec.dict) return PyDict_SetItem(rec.dict.get(), attr_name, value);
  return PyObject_SetAttr(rec.line.get(), attr_name, value);
}

void PythonModel::set_line_attr(PyObject* line, int slot, PyObject* value) const {
  LineRecord* rec = record(line);
  if (rec != nullptr && rec->dict &&
      (rec->plain_get & rec->plain_set & LineRecord::bit(slot)) != 0) {
    // Where the generic store puts it, and a plain read finds it: without looking the name
    // up along the class again.
    check_status(store_plain(*rec, slot, value));
  } else {
    const uint64_t before = host_.epoch();
    write_attr(line, ctx_.line_slot_names[static_cast<std::size_t>(slot)], value);
    if (host_.epoch() != before) return;
    rec = record(line);
    if (rec == nullptr) return;
  }
  // A plain write lands in the instance dictionary, where a plain read finds it.
  rec->keep(slot, (rec->plain_get & LineRecord::bit(slot)) != 0 ? Ref::borrow(value) : Ref());
  rec->forget_answers();
  if (slot == line_slot(core::KerdAttr::snib_values)) {
    rec->forget_numbers();
    rec->made_list = nullptr;
  }
}

namespace {

// Appends the numbers of an exact list whose items all convert without host code or error;
// false (with `out` as it was) otherwise.
bool read_plain_numbers(PyObject* list, std::vector<double>& out) {
  if (!PyList_CheckExact(list)) return false;
  const Py_ssize_t count = PyList_GET_SIZE(list);
  const std::size_t before = out.size();
  out.reserve(before + static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (PyFloat_CheckExact(item)) {
      out.push_back(PyFloat_AS_DOUBLE(item));
      continue;
    }
    double value = -1.0;
    if (PyLong_CheckExact(item) || PyBool_Check(item)) value = PyLong_AsDouble(item);
    if (value == -1.0 && (!(PyLong_CheckExact(item) || PyBool_Check(item)) || PyErr_Occurred())) {
      PyErr_Clear();
      out.resize(before);
      return false;
    }
    out.push_back(value);
  }
  return true;
}

}  // namespace

const core::ValueList* PythonModel::known_numbers(PyObject* line, PyObject* list) const {
  LineRecord* rec = record(line);
  if (rec == nullptr || !PyList_CheckExact(list) ||
      rec->value(line_slot(core::KerdAttr::snib_values)).get() != list)
    return nullptr;
  if (const core::ValueList* known = rec->numbers_of(list)) return known;
  auto lease = scratch();
  if (!read_plain_numbers(list, lease.get())) return nullptr;
  rec->numbers.assign(lease.get());
  rec->set_numbers(list);
  return &rec->numbers;
}

std::size_t PythonModel::snib_count(const Line& line) const {
  if (const DeferredLine* deferred = line.pending()) return deferred->numbers.size();
  Ref values = line_attr(line.object(), line_slot(core::KerdAttr::snib_values));
  return static_cast<std::size_t>(host_.length(values.get()));
}

void PythonModel::read_snib_values(const Line& line, std::vector<double>& out) const {
  if (const DeferredLine* deferred = line.pending()) {
    out.insert(out.end(), deferred->numbers.begin(), deferred->numbers.end());
    return;
  }
  Ref values = line_attr(line.object(), line_slot(core::KerdAttr::snib_values));
  if (const core::ValueList* known = known_numbers(line.object(), values.get())) {
    out.insert(out.end(), known->begin(), known->end());
    return;
  }
  host_.read_numbers(values.get(), out);
}

std::span<const double> PythonModel::snib_values_view(const Line& line,
                                                      std::vector<double>& scratch) const {
  if (const DeferredLine* deferred = line.pending()) return deferred->numbers;
  Ref values = line_attr(line.object(), line_slot(core::KerdAttr::snib_values));
  if (const core::ValueList* known = known_numbers(line.object(), values.get())) return *known;
  const std::size_t from = scratch.size();
  host_.read_numbers(values.get(), scratch);
  return std::span<const double>(scratch).subspan(from);
}

std::pair<std::span<const double>, std::span<const double>> PythonModel::snib_values_views(
    const Line& first, const Line& second, std::vector<double>& scratch) const {
  constexpr int slot = line_slot(core::KerdAttr::snib_values);
  // A deferred line's values need no list: read as its list would be, they are its numbers.
  const auto numbers = [&](const Line& line, Ref& list) -> const core::ValueList* {
    if (const DeferredLine* deferred = line.pending()) return &deferred->numbers;
    list = line_attr(line.object(), slot);
    return known_numbers(line.object(), list.get());
  };
  Ref earlier, later;
  const core::ValueList* first_known = numbers(first, earlier);
  if (first_known == nullptr) host_.read_numbers(earlier.get(), scratch);
  const uint64_t before = host_.epoch();
  const core::ValueList* second_known = numbers(second, later);
  // Host code ran: the records, the first line's numbers with them, go at the next lookup.
  if (first_known != nullptr && host_.epoch() != before) {
    scratch.assign(first_known->begin(), first_known->end());
    first_known = nullptr;
  }
  const std::size_t split = scratch.size();
  if (second_known == nullptr) host_.read_numbers(later.get(), scratch);
  const std::span<const double> all(scratch);
  return {first_known != nullptr ? std::span<const double>(*first_known) : all.first(split),
          second_known != nullptr ? std::span<const double>(*second_known) : all.subspan(split)};
}

void PythonModel::remember_merged_value(const Line& first, const Line& second, double last,
                                        double second_last, double general, double value,
                                        uint64_t stamp_before) const {
  merged_ = {};
  if (host_.epoch() != stamp_before) return;  // host code ran while the value was weighed
  merged_ = {
      first.identity(), second.identity(), {last, second_last, general}, value, host_.epoch()};
}

std::optional<double> PythonModel::recall_merged_value(const Line& first, const Line& second,
                                                       double last, double second_last,
                                                       double general) const {
  const MergedValue k = std::exchange(merged_, MergedValue{});
  const double weights[3] = {last, second_last, general};
  for (int i = 0; i < 3; ++i)
    if (std::bit_cast<uint64_t>(weights[i]) != std::bit_cast<uint64_t>(k.weights[i]))
      return std::nullopt;
  if (k.first == nullptr || k.first != first.identity() || k.second != second.identity() ||
      k.epoch != host_.epoch())
    return std::nullopt;
  return k.value;
}

void PythonModel::extend_snib_values(const Line& self, const Line& target) const {
  constexpr int slot = line_slot(core::KerdAttr::snib_values);
  PyObject* line = built(self);
  Ref own = line_attr(line, slot);
  Ref added = line_attr(target, slot);
  // The joined numbers, when both lists' are known, for self's record.
  std::vector<double> joined;
  bool known = false;
  if (const core::ValueList* first = known_numbers(line, own.get())) {
    if (const core::ValueList* second = known_numbers(target, added.get())) {
      joined.reserve(first->size() + second->size());
      joined.assign(first->begin(), first->end());
      joined.insert(joined.end(), second->begin(), second->end());
      known = true;
    }
  }
  const uint64_t before = host_.epoch();
  host_.extend(own.get(), added.get());
  if (host_.epoch() != before) return;
  if (LineRecord* rec = record(line); rec != nullptr) {
    rec->forget_answers();
    rec->forget_numbers();
    rec->made_list = nullptr;
    if (known && rec->value(slot).get() == own.get()) {
      rec->numbers.assign(joined);
      rec->set_numbers(own.get());
    }
  }
}

bool PythonModel::prepend_unseen(const Ref& own, const Ref& earlier, DeferredLine* deferred) const {
  if (earlier)
    return cpython::prepend_in_place(
        own.get(), std::span(PySequence_Fast_ITEMS(earlier.get()),
                             static_cast<std::size_t>(PyList_GET_SIZE(earlier.get()))));
  Ref value = deferred_value(*deferred);
  PyObject* const item = value.get();
  return cpython::prepend_in_place(own.get(), std::span(&item, 1));
}

bool PythonModel::unseen_made_list(const LineRecord& rec, PyObject* list, Py_ssize_t held) const {
  constexpr int slot = line_slot(core::KerdAttr::snib_values);
  if (rec.made_list != list || rec.value(slot).get() != list) return false;
  // The line's attribute, the record's two references and the caller's: no one else holds it.
  const Py_ssize_t ours = 2 + (rec.numbers_list.get() == list ? 1 : 0);
  return Py_REFCNT(list) == held + ours;
}

void PythonModel::prepend_snib_values(const Line& self, const Line& target) const {
  constexpr int slot = line_slot(core::KerdAttr::snib_values);
  // A deferred target's list is made only where it is joined as a list.
  DeferredLine* deferred = target.pending();
  Ref earlier = deferred != nullptr ? Ref() : line_attr(target, slot);
  PyObject* line = built(self);
  Ref own = line_attr(line, slot);
  const core::ValueList* first =
      deferred != nullptr ? &deferred->numbers : known_numbers(target, earlier.get());
  const core::ValueList* second = first ? known_numbers(line, own.get()) : nullptr;
  LineRecord* rec = second != nullptr ? record(line) : nullptr;
  // The record's numbers become target's, then its own; target's may be the same record's.
  const auto join_numbers = [&] {
    if (first == &rec->numbers) {
      const std::vector<double> earlier_numbers(first->begin(), first->end());
      rec->numbers.prepend(earlier_numbers);
    } else {
      rec->numbers.prepend(*first);
    }
  };
  // A list this operation made by an earlier merge, which no host code has seen since: a new
  // list in its place could not be told from it, so it takes the values itself.
  if (rec != nullptr && unseen_made_list(*rec, own.get(), 1) &&
      prepend_unseen(own, earlier, deferred)) {
    join_numbers();
    rec->set_numbers(own.get());
    rec->forget_answers();
    return;
  }
  uint64_t before = 0;
  Ref combined;
  if (target.pending() != nullptr && PyList_CheckExact(own.get())) {
    // The deferred line's one-value list would only be copied into the joined one: its
    // value goes first in a new list, sized exactly as concatenation sizes it.
    before = host_.epoch();
    const Py_ssize_t size = PyList_GET_SIZE(own.get());
    combined = Ref::steal(PyList_New(size + 1));
    PyList_SET_ITEM(combined.get(), 0, deferred_value(*deferred).release());
    for (Py_ssize_t i = 0; i < size; ++i)
      PyList_SET_ITEM(combined.get(), i + 1, Ref::borrow(PyList_GET_ITEM(own.get(), i)).release());
  } else {
    if (!earlier) earlier = line_attr(target, slot);
    before = host_.epoch();
    combined = host_.concat(earlier.get(), own.get());
  }
  if (host_.epoch() != before || second == nullptr) {
    set_line_attr(line, slot, combined.get());
    return;
  }
  join_numbers();
  set_line_attr(line, slot, combined.get());
  if (host_.epoch() != before) return;
  rec = record(line);
  if (rec->value(slot).get() == combined.get()) {
    rec->set_numbers(combined.get());
    rec->made_list = combined.get();
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

bool PythonModel::line_reads_unseen(const Line& line) const {
  using core::KerdAttr;
  PyObject* obj = built(line);
  LineRecord* rec = record(obj);
  if (rec != nullptr && rec->reads_unseen != LineRecord::Known::unknown)
    return rec->reads_unseen == LineRecord::Known::yes;
  const bool unseen = line_reads_unseen(obj, rec);
  if (rec != nullptr) rec->reads_unseen = unseen ? LineRecord::Known::yes : LineRecord::Known::no;
  return unseen;
}

namespace {

template <core::ValueKind K>
bool learn_as(LineRecord& rec, int slot, PyObject* value) {
  typename core::value_of<K>::type number;
  if (!HostGateway::convert_in_place<K>(value, number)) return false;
  rec.set_number(slot, number);
  return true;
}

// Makes the slot's number known when `value`, the object a plain read of it gives, converts
// in place (HostGateway::convert_in_place); false otherwise.
bool learn_number(LineRecord& rec, int slot, PyObject* value) {
  using core::ValueKind;
  switch (core::kerd_attr_info[static_cast<std::size_t>(slot)].kind) {
    case ValueKind::index:
      return learn_as<ValueKind::index>(rec, slot, value);
    case ValueKind::time:
      return learn_as<ValueKind::time>(rec, slot, value);
    case ValueKind::price:
      return learn_as<ValueKind::price>(rec, slot, value);
    case ValueKind::flag:
      return learn_as<ValueKind::flag>(rec, slot, value);
    default:
      return false;
  }
}

}  // namespace

bool PythonModel::line_reads_unseen(PyObject* obj, LineRecord* rec) const {
  using core::KerdAttr;
  for (KerdAttr a : {KerdAttr::extended, KerdAttr::historical_extend_bar_crosses_checked,
                     KerdAttr::extend_end_bar_index, KerdAttr::end_time}) {
    if (!plain_read(obj, rec, line_slot(a))) return false;
    // A known number was read plainly and converted without host code, or written by the
    // model (stored before host code runs).
    if (rec != nullptr && (rec->known & LineRecord::bit(line_slot(a))) != 0) continue;
    // A plain lookup runs no host code; one that finds nothing means the replay as written
    // raises there.
    Ref value = rec != nullptr ? rec->value(line_slot(a)) : Ref();
    if (!value) {
      // No class attribute comes ahead of the instance's own value: it is what getattr gives.
      if (PyObject* found = dict_value(obj, rec, line_slot(a)))
        value = Ref::borrow(found);
      else
        value = Ref::steal_or_null(PyObject_GetAttr(obj, name(a)));
    }
    if (!value) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
      PyErr_Clear();
      return false;
    }
    if (rec != nullptr) {
      // The replay reads it next: as its number where that needs no conversion.
      if (learn_number(*rec, line_slot(a), value.get())) continue;
      rec->set_value(line_slot(a), value);
    }
    const bool flag =
        a == KerdAttr::extended || a == KerdAttr::historical_extend_bar_crosses_checked;
    if (!(flag ? plain_flag(value.get()) : plain_double(value.get()))) return false;
  }
  for (KerdAttr a : {KerdAttr::extended, KerdAttr::historical_extend_bar_crosses_checked,
                     KerdAttr::extend_end_bar_index, KerdAttr::bar_crosses_post_extend,
                     KerdAttr::post_extend_end_bar_index, KerdAttr::violated}) {
    if (!plain_write(obj, rec, line_slot(a))) return false;
  }
  return true;
}

namespace {

// Whether the conversion of a value the replay reads as a number of kind K runs no host code
// and cannot fail.
bool converts_cleanly(PyObject* value, core::ValueKind kind) {
  switch (kind) {
    case core::ValueKind::flag:
      return plain_flag(value);
    case core::ValueKind::index: {
      if (PyFloat_CheckExact(value)) {
        const double d = PyFloat_AS_DOUBLE(value);
        return std::isfinite(d) && d == std::floor(d) && d >= -0x1p63 && d < 0x1p63;
      }
      if (!PyLong_CheckExact(value) && !PyBool_Check(value)) return false;
      int overflow = 0;
      PyLong_AsLongLongAndOverflow(value, &overflow);
      return overflow == 0;
    }
    default: {
      if (PyFloat_Check(value)) return true;
      if (!PyLong_CheckExact(value) && !PyBool_Check(value)) return false;
      if (PyLong_AsDouble(value) == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
      return true;
    }
  }
}

}  // namespace

bool PythonModel::replay_state_unseen(const Line& line) const {
  using core::KerdAttr;
  PyObject* obj = built(line);
  LineRecord* rec = record(obj);
  if (rec == nullptr) return false;
  if (rec->replay_state_unseen != LineRecord::Known::unknown)
    return rec->replay_state_unseen == LineRecord::Known::yes;
  bool unseen = line_reads_unseen(line);
  for (KerdAttr a : {KerdAttr::extended, KerdAttr::historical_extend_bar_crosses_checked,
                     KerdAttr::extend_end_bar_index, KerdAttr::end_time, KerdAttr::kerd_value,
                     KerdAttr::bar_crosses_post_extend}) {
    if (!unseen) break;
    const int slot = line_slot(a);
    if ((rec->known & LineRecord::bit(slot)) != 0) continue;  // read or written as a number
    if (!plain_read(obj, rec, slot)) {
      unseen = false;
      break;
    }
    PyObject* value = rec->value(slot).get();
    if (value == nullptr) value = dict_value(obj, rec, slot);
    if (value != nullptr && learn_number(*rec, slot, value)) continue;
    unseen = value != nullptr && converts_cleanly(value, core::info(a).kind);
  }
  rec->replay_state_unseen = unseen ? LineRecord::Known::yes : LineRecord::Known::no;
  return unseen;
}

// ---- series

SeriesHandle PythonModel::series_of(Ref object) const {
  SeriesObject* direct = ctx_.series.as_series(object.get());
  return SeriesHandle{std::move(object), direct};
}

PyObject* PythonModel::unseen_attr(PyObject* obj, PyObject* attr_name) const {
  if (!ctx_.plain_attrs.get(obj, attr_name)) return nullptr;
  return instance_value(obj, attr_name);
}

namespace {

// An exact int that converts to a bar index, and that index.
bool plain_index(PyObject* value, int64_t& index) {
  return value != nullptr && HostGateway::convert_in_place<core::ValueKind::index>(value, index);
}
bool plain_index(PyObject* value) {
  int64_t index = 0;
  return plain_index(value, index);
}

}  // namespace

bool PythonModel::merge_tests_unseen(const Line& line) const {
  using core::KerdAttr;
  using core::Setting;
  if (settings_checked_ != host_.epoch() + 1) {  // the settings the tests read, once per epoch
    settings_checked_ = host_.epoch() + 1;
    settings_unseen_ = false;
    PyObject* settings =
        engine_ != nullptr ? unseen_attr(engine_, ctx_.str_settings.get()) : nullptr;
    if (settings == nullptr) return false;
    for (Setting setting :
         {Setting::kerd_overlap_ca_percent_multiplier, Setting::bar_cross_threshold,
          Setting::last_snib_weight, Setting::second_last_snib_weight, Setting::snib_weight,
          Setting::kerd_length_threshold, Setting::allow_reuse_snib}) {
      PyObject* value = unseen_attr(settings, ctx_.str_setting[static_cast<int>(setting)].get());
      if (value == nullptr || !plain_number(value)) return false;
    }
    settings_unseen_ = true;
  }
  if (!settings_unseen_) return false;
  if (const DeferredLine* deferred = line.pending()) return deferred->merge_reads_unseen;
  PyObject* obj = line.object();
  LineRecord* rec = record(obj);
  if (rec != nullptr && rec->merge_tests_unseen != LineRecord::Known::unknown)
    return rec->merge_tests_unseen == LineRecord::Known::yes;
  // The instance dictionary lacks what is held back.
  if (rec != nullptr && rec->held != 0) return false;
  // What is found in the instance dictionary is what a read would give: kept for the reads.
  PyObject* values = line_merge_reads_unseen([&](int slot) {
    PyObject* value = unseen_attr(obj, ctx_.line_slot_names[static_cast<std::size_t>(slot)]);
    if (value != nullptr && rec != nullptr) rec->keep(slot, Ref::borrow(value));
    return value;
  });
  const bool unseen =
      values != nullptr && (known_numbers(obj, values) != nullptr || plain_numbers(values));
  if (rec != nullptr)
    rec->merge_tests_unseen = unseen ? LineRecord::Known::yes : LineRecord::Known::no;
  return unseen;
}

template <class Attr>
PyObject* PythonModel::line_merge_reads_unseen(const Attr& attr) const {
  using core::KerdAttr;
  for (KerdAttr a : {KerdAttr::close_avg_percent, KerdAttr::kerd_value}) {
    PyObject* value = attr(line_slot(a));
    if (value == nullptr || !plain_number(value)) return nullptr;
  }
  for (KerdAttr a : {KerdAttr::bar_crosses, KerdAttr::start_bar_index, KerdAttr::end_bar_index})
    if (!plain_index(attr(line_slot(a)))) return nullptr;
  if (!plain_index(attr(kLineSlotBarIndex))) return nullptr;
  if (attr(kLineSlotClose) == nullptr || attr(kLineSlotOpen) == nullptr) return nullptr;
  return attr(line_slot(KerdAttr::snib_values));
}

void PythonModel::record_new_line(PyObject* line,
                                  std::span<PyObject* const, PlainKerdMaker::kValues> stored,
                                  PyObject* values, double value) const {
  LineRecord* rec = record(line);
  if (rec == nullptr) return;
  // The line built before, once merged into another, is held by its record alone.
  if (last_new_line_ != nullptr && last_new_line_ != rec)
    records_list_->drop_if_unheld(*last_new_line_);
  last_new_line_ = rec;
  // Stored under plain_kerd_names: the eight base values, then the line's attributes.
  const bool plain = ctx_.plain_kerd.reads_plain();
  const auto fill = [&](int slot, PyObject* object) {
    if (plain || ctx_.plain_attrs.get(line, ctx_.line_slot_names[static_cast<std::size_t>(slot)]))
      rec->set_value(slot, Ref::borrow(object));
  };
  for (std::size_t i = 0; i < core::kerd_attr_info.size(); ++i)
    fill(static_cast<int>(i), stored[8 + i]);
  fill(kLineSlotBarIndex, stored[4]);
  fill(kLineSlotMintick, stored[7]);
  fill(kLineSlotClose, stored[0]);
  fill(kLineSlotOpen, stored[1]);
  if (rec->value(line_slot(core::KerdAttr::snib_values)).get() == values) {
    rec->numbers.assign(1, value);
    rec->set_numbers(values);
  }
  PyObject* list = line_merge_reads_unseen([&](int slot) { return rec->value(slot).get(); });
  rec->merge_tests_unseen = list != nullptr && rec->numbers_of(list) != nullptr
                                ? LineRecord::Known::yes
                                : LineRecord::Known::no;
}

SeriesHandle PythonModel::series_attr(PyObject* owner, const Ref& attr_name) const {
  if (owner == engine_) return series_of(engine_attr(attr_name));
  return series_of(host_.attr(owner, attr_name.get()));
}

double PythonModel::host_value(const SeriesHandle& series, int64_t offset) const {
  if (!keep_series_values_)
    return host_.number(host_.series_item(series.object.get(), offset).get());
  if (!memo_) {
    memo_.emplace(ctx_.series_memo);
    memo_epoch_ = host_.foreign_epoch();
  }
  core::OffsetMemo& memo = memo_->get();
  if (memo_epoch_ != host_.foreign_epoch()) {
    memo.forget();
    for (Ref& held : memo_series_) held = Ref();
    memo_epoch_ = host_.foreign_epoch();
  }
  const int slot = memo.slot(series.object.get());
  double value;
  if (slot >= 0) {
    if (memo.find(slot, offset, value)) return value;
    if (!memo_series_[slot]) memo_series_[slot] = series.object;
  }
  const uint64_t before = host_.foreign_epoch();
  Ref element = host_.series_item(series.object.get(), offset, true);
  value = host_.number(element.get());
  if (slot >= 0 && host_.foreign_epoch() == before) memo.store(slot, offset, value);
  return value;
}

// ---- engine

PyObject* PythonModel::require_engine() const {
  if (engine_ == nullptr) {
    PyErr_SetString(PyExc_SystemError, "engine attribute read by a line operation");
    throw PyError{};
  }
  return engine_;
}

void PythonModel::renew_engine_epoch() const {
  engine_checked_ = host_.epoch();
  if (engine_epoch_ != 0 && engine_stamp_.holds(engine_)) return;
  // Epochs count up from one: a kept value of another epoch is never taken for current.
  ++engine_epoch_;
  try {
    engine_stamp_.take(engine_, ctx_.dict_watch);
  } catch (const PyError&) {
    PyErr_Clear();  // no stamp: every epoch of the host's is a new one of the engine's
  }
}

Ref PythonModel::engine_attr(const Ref& attr_name, bool& kept_now) const {
  PyObject* engine = require_engine();
  kept_now = false;
  if (!keep_engine_attrs_) return host_.attr(engine, attr_name.get());
  // A plain read gives the same object again while the engine's class and instance dictionary
  // stay as they were, and until the model writes it.
  const uint64_t epoch = engine_epoch();
  const uint64_t host_epoch = host_.epoch();
  // Probing stops at the name or a free place.
  const std::size_t mask = engine_attrs_.size() - 1;
  KeptAttr* slot = nullptr;
  for (std::size_t i = kept_attr_home(attr_name.get()), n = 0; n < engine_attrs_.size();
       i = (i + 1) & mask, ++n) {
    KeptAttr& kept = engine_attrs_[i];
    if (kept.name == attr_name.get() || kept.name == nullptr) {
      if (kept.name != nullptr && kept.epoch == epoch) {
        kept_now = true;
        return kept.value;
      }
      slot = &kept;
      break;
    }
  }
  bool plain;
  Ref value = host_.attr(engine, attr_name.get(), plain);
  if (plain && slot != nullptr) {
    *slot = KeptAttr{attr_name.get(), value, epoch};
    kept_now = host_.epoch() == host_epoch;
  }
  return value;
}

const std::array<Ref, PythonModel::kBaseValues>& PythonModel::engine_base_values() const {
  const uint64_t epoch = keep_engine_attrs_ ? engine_epoch() : 0;
  const uint64_t host_epoch = host_.epoch();
  if (keep_engine_attrs_ && kept_base_.epoch == epoch) return kept_base_.values;
  kept_base_.epoch = ~uint64_t{0};
  const Ref* const names[kBaseValues] = {
      &ctx_.str_close,     &ctx_.str_open, &ctx_.str_high,           &ctx_.str_low,
      &ctx_.str_bar_index, &ctx_.str_time, &ctx_.str_last_bar_index, &ctx_.str_mintick};
  bool all_kept = true;
  for (std::size_t i = 0; i < kBaseValues; ++i) {
    bool kept;
    kept_base_.values[i] = engine_attr(*names[i], kept);
    all_kept = all_kept && kept;
  }
  if (keep_engine_attrs_ && all_kept && host_.epoch() == host_epoch) kept_base_.epoch = epoch;
  return kept_base_.values;
}

int64_t PythonModel::engine_index(const Ref& attr_name, KeptIndex& kept) const {
  if (!keep_engine_attrs_) return host_.index(engine_attr(attr_name).get());
  const uint64_t epoch = engine_epoch();
  if (kept.epoch == epoch) return kept.value;
  const uint64_t host_epoch = host_.epoch();
  const int64_t value = host_.index(engine_attr(attr_name).get());
  if (host_.epoch() == host_epoch) kept = KeptIndex{epoch, value};
  return value;
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

template <std::size_t N>
Ref PythonModel::call_with_keywords(PyObject* cls, const Ref (&args)[N], const Ref& kwnames) const {
  PyObject* stack[N];
  for (std::size_t i = 0; i < N; ++i) stack[i] = args[i].get();
  return make_record(cls, stack, 0, kwnames.get());
}

Ref PythonModel::make_record(PyObject* cls, PyObject* const* args, std::size_t nargs,
                             PyObject* kwnames) const {
  const auto count =
      static_cast<Py_ssize_t>(nargs) + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  const record::RecordClass* own = ctx_.own_records.of(cls);
  // A record's conversions run host code only for other values than plain ones and records.
  for (Py_ssize_t i = 0; own != nullptr && i < count; ++i) {
    PyObject* arg = args[i];
    if (!plain_flag(arg) &&
        ctx_.own_records.of(reinterpret_cast<PyObject*>(Py_TYPE(arg))) == nullptr)
      own = nullptr;
  }
  if (own == nullptr) return host_.call(cls, args, nargs, kwnames);
  return record::construct(*own, reinterpret_cast<PyTypeObject*>(cls), args,
                           static_cast<Py_ssize_t>(nargs), kwnames);
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

std::optional<bool> PythonModel::number_differs(PyObject* other, int64_t value) {
  if (PyLong_CheckExact(other)) {
    int overflow = 0;
    const long long own = PyLong_AsLongLongAndOverflow(other, &overflow);
    return overflow != 0 || own != value;
  }
  if (PyFloat_CheckExact(other) && -kExactInDouble <= value && value <= kExactInDouble)
    return PyFloat_AS_DOUBLE(other) != static_cast<double>(value);
  return std::nullopt;
}

std::optional<bool> PythonModel::number_differs(PyObject* other, double value) {
  if (PyFloat_CheckExact(other)) return PyFloat_AS_DOUBLE(other) != value;
  if (PyLong_CheckExact(other)) {
    int overflow = 0;
    const long long own = PyLong_AsLongLongAndOverflow(other, &overflow);
    if (overflow == 0 && -kExactInDouble <= own && own <= kExactInDouble)
      return static_cast<double>(own) != value;
  }
  return std::nullopt;
}

Ref PythonModel::deferred_attr(DeferredLine& line, int slot) const {
  using core::KerdAttr;
  switch (slot) {
    case kLineSlotBarIndex:
      return line.base[4];
    case kLineSlotMintick:
      return line.base[7];
    case kLineSlotClose:
      return line.base[0];
    case kLineSlotOpen:
      return line.base[1];
    default:
      break;
  }
  Ref& made = line.made[static_cast<std::size_t>(slot)];
  if (made) return made;
  core::for_each_kerd_attr([&]<KerdAttr A>() {
    if (line_slot(A) == slot) made = new_deferred_attr<A>(line);
  });
  return made;
}

Ref PythonModel::deferred_value(DeferredLine& line) const {
  if (!line.value) line.value = from_number(line.seed.snib_value);
  return line.value;
}

void PythonModel::build_deferred() const {
  DeferredLine& line = deferred_;
  line.pending = false;
  // Stored under plain_kerd_names: the eight base values, then the line's attributes, made
  // now where no read made them before.
  std::array<PyObject*, PlainKerdMaker::kValues> stored{};
  for (std::size_t i = 0; i < line.base.size(); ++i) stored[i] = line.base[i].get();
  core::for_each_kerd_attr([&]<core::KerdAttr A>() {
    stored[line.base.size() + static_cast<std::size_t>(line_slot(A))] =
        deferred_attr<A>(line).get();
  });
  Ref object = kerd_template_.make(classes_->kerd, ctx_.plain_kerd_names, stored);
  record_new_line(object.get(), stored, line.made[line_slot(core::KerdAttr::snib_values)].get(),
                  line.seed.snib_value);
  line.object = std::move(object);
}

PythonModel::Line PythonModel::make_kerd(const core::KerdSeed& seed) const {
  PyObject* cls = record_class(classes_ ? classes_->kerd : nullptr, "line");
  DeferredLine& line = deferred_;
  // The line made before is the list's now, or merged and dropped.
  line.pending = false;
  line.object = Ref();
  for (Ref& made : line.made)
    if (made) made = Ref();
  line.value = Ref();
  line.seed = seed;
  line.numbers.assign(1, seed.snib_value);
  const std::array<Ref, kBaseValues>& base = engine_base_values();
  for (std::size_t i = 0; i < kBaseValues; ++i) {
    if (line.base[i].get() == base[i].get()) continue;
    line.base[i] = base[i];
    if (i < line.series.size()) line.series[i].epoch = ~uint64_t{0};
  }
  if (ctx_.plain_kerd.applies(cls, ctx_.plain_kerd_names)) {
    line.pending = true;
    // Reads of its attributes find them as stored: they wait. Else it is built now.
    if (!ctx_.plain_kerd.reads_plain()) build_deferred();
    line.merge_reads_unseen = plain_index(line.base[4].get(), line.bar_index);
    return Line(line);
  }
  // The class's initialiser, with the keywords of kerd_kwnames.
  Ref args[16];
  for (std::size_t i = 0; i < core::kKerdRequiredAttrs; ++i)
    args[i] = deferred_attr(line, static_cast<int>(i));
  const std::size_t order[8] = {0, 1, 2, 3, 5, 4, 6, 7};  // close, open, high, low, time, ...
  for (std::size_t i = 0; i < 8; ++i) args[8 + i] = line.base[order[i]];
  line = DeferredLine{};
  return call_with_keywords(cls, args, ctx_.kerd_kwnames);
}

// ---- pivots

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
  Ref args[9] = {from_index(snib.n),
                 from_index(snib.m),
                 from_number(snib.price),
                 from_number(snib.close_at_pivot),
                 from_index(snib.bar_index_at_pivot),
                 from_index(snib.bar_time_at_pivot),
                 from_flag(snib.is_high),
                 from_flag(snib.is_trending),
                 from_number(snib.close_avg_percent)};
  Ref record = call_with_keywords(cls, args, ctx_.snib_kwnames);
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

// ---- windows

std::size_t PythonModel::mavet_count() const {
  return list_count(ctx_.str_mavets);
}

PythonModel::Window PythonModel::mavet_at(std::size_t i) const {
  return list_at(ctx_.str_mavets, i);
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
  Ref record = call_with_keywords(cls, args, ctx_.mavet_kwnames);
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

// ---- latest-window mapping

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
  Ref latest = engine_attr(ctx_.str_latest_mavets);
  return host_.contains(latest.get(), key.get());
}

int64_t PythonModel::latest_get(const Key& key, int64_t fallback) const {
  Ref latest = engine_attr(ctx_.str_latest_mavets);
  return host_.get_index(latest.get(), key.get(), fallback);
}

void PythonModel::latest_set(const Key& key, int64_t bar) const {
  Ref latest = engine_attr(ctx_.str_latest_mavets);
  Ref value = from_index(bar);
  host_.set_item(latest.get(), key.get(), value.get());
}

}  // namespace torvex::py
