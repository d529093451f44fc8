// Accelerator: line records. Replaces HostGateway::attr(line, name) and
// HostGateway::set_attr(line, name, value) for the lines of the engine's own line class: each
// read is kept in the line's record, with its number, and a write to a slot that reads and
// writes plainly goes straight into the instance dictionary. Valid while the kept epoch
// (python/kept_epoch.hpp) stands, the records being renewed whenever it moves, and the line's
// class has the version tag its slots were found plain under.
#include "python/python_model.hpp"

namespace torvex::py {

void PythonModel::renew_records() const {
  store_held();
  if (!records_) {
    records_.emplace(ctx_.line_records);
    records_list_ = &records_->get();
  }
  records_list_->forget();
  records_epoch_ = kept_epoch();
}

void PythonModel::recheck(LineRecord& rec) const {
  // The kept epoch stood: the line's class and every watched dictionary are as they were. Not
  // watched: whether the line still has that dictionary, and its pivot values' list's items.
  // A list a merge made stays the record's: its reference count shows whether host code kept
  // hold of it (unseen_made_list).
  if (exact_instance_dict(rec.line.get()) != rec.dict.get()) {
    rec.restart();  // in place: the caller's other records stay where they are
    fill_record(rec);
    return;
  }
  rec.checked = host_.epoch();
  rec.numbers_unchecked = true;
  rec.forget_answers();
}

void PythonModel::drop_unheld_records() const {
  if (unrecorded_.line && Py_REFCNT(unrecorded_.line.get()) == 1) unrecorded_ = UnrecordedLine{};
  if (records_list_ == nullptr || records_epoch_ != kept_epoch()) return;
  records_list_->drop_unheld();
  if (last_new_line_ != nullptr && !last_new_line_->line) last_new_line_ = nullptr;
}

LineRecord& PythonModel::new_record(PyObject* line) const {
  if (unrecorded_.line.get() == line) unrecorded_ = UnrecordedLine{};
  LineRecord& rec = records_list_->add(line);
  fill_record(rec);
  return rec;
}

void PythonModel::fill_record(LineRecord& rec) const {
  PyObject* line = rec.line.get();
  const ModelContext::PlainLineSlots& plain = plain_line_slots(line);
  rec.plain_get = plain.get;
  rec.plain_set = plain.set;
  if (plain.get != 0) rec.dict = Ref::borrow(exact_instance_dict(line));
  rec.checked = host_.epoch();
  kept_.keep_line(line, rec.dict.get(), ctx_.kept_watch);
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

}  // namespace torvex::py
