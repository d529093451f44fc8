// Accelerator: reads left out where nothing could tell. Replaces the replay's and the merge
// tests' reads of a line's state and of the settings on a bar that does not need them. Valid
// where each read left out would find a plain value in the instance dictionary that converts
// without host code or error (so reading it runs no code and raises nothing), answered once per
// record, that is while no host code runs.
#include "python/python_model.hpp"

namespace torvex::py {

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

PyObject* PythonModel::unseen_attr(PyObject* obj, PyObject* attr_name) const {
  if (!ctx_.plain_attrs.get(obj, attr_name)) return nullptr;
  return instance_value(obj, attr_name);
}

bool PythonModel::merge_tests_unseen(const Line& line) const {
  using core::KerdAttr;
  using core::Setting;
  if (settings_checked_ != kept_epoch()) {  // the settings the tests read, once per epoch
    settings_checked_ = kept_epoch();
    settings_unseen_ = false;
    PyObject* settings =
        engine_ != nullptr ? unseen_attr(engine_, ctx_.str_settings.get()) : nullptr;
    if (settings == nullptr) return false;
    kept_.keep_settings(settings, ctx_.kept_watch);
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
                                  PyObject* values, double value, bool with_base) const {
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
  if (rec->value(line_slot(core::KerdAttr::snib_values)).get() == values) {
    rec->numbers.assign(1, value);
    rec->set_numbers(values);
  }
  // Base values a host's initialiser stored are read where they are needed.
  if (!with_base) return;
  fill(kLineSlotBarIndex, stored[4]);
  fill(kLineSlotMintick, stored[7]);
  fill(kLineSlotClose, stored[0]);
  fill(kLineSlotOpen, stored[1]);
  PyObject* list = line_merge_reads_unseen([&](int slot) { return rec->value(slot).get(); });
  rec->merge_tests_unseen = list != nullptr && rec->numbers_of(list) != nullptr
                                ? LineRecord::Known::yes
                                : LineRecord::Known::no;
}

}  // namespace torvex::py
