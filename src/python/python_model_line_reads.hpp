#pragma once
// Accelerator: a line's attributes read through its record (python_model_line_records.cpp),
// or, for a line without one, straight from the instance dictionary where the class says the
// read is plain. Replaces HostGateway::attr(line, name) and the number's conversion at every
// read. Valid while the record's epoch stands: no host code has run since the read, or only host
// code that changed no watched dictionary (python/kept_epoch.hpp); and the line's class is as it
// was when its slots were found plain (its version tag).
#include "python/python_model.hpp"

namespace torvex::py {

template <core::KerdAttr A>
core::kerd_attr_type<A> PythonModel::get(const Line& line) const {
  if (const DeferredLine* deferred = line.pending()) return deferred_number<A>(*deferred);
  using T = core::kerd_attr_type<A>;
  constexpr int slot = line_slot(A);
  PyObject* obj = line.object();
  LineRecord* rec = existing_record(obj);
  if (rec != nullptr && (rec->known & LineRecord::bit(slot)) != 0) return rec->number_of<T>(slot);
  // Most first reads: a plain value in the instance dictionary, taken as the number alone.
  T result;
  if (PyObject* found =
          rec != nullptr ? plain_dict_value(*rec, slot) : unrecorded_plain_value(obj, slot);
      found != nullptr && HostGateway::convert_in_place<core::info(A).kind>(found, result)) {
    if (rec != nullptr) rec->set_number(slot, result);
    return result;
  }
  if (rec == nullptr) rec = record(obj);
  const uint64_t before = host_.epoch();
  // The record holds what it kept for as long as the conversion takes.
  if (PyObject* kept = rec != nullptr ? rec->value(slot).get() : nullptr) {
    result = host_.to_value<core::info(A).kind>(kept);
  } else {
    Ref value = line_attr(obj, rec, slot);
    result = host_.to_value<core::info(A).kind>(value.get());
  }
  // Read and converted without host code: the record's object gives this number again.
  if (rec != nullptr && host_.epoch() == before && rec->value(slot)) rec->set_number(slot, result);
  return result;
}

template <core::KerdAttr A>
bool PythonModel::differs(const Line& a, const Line& b) const {
  constexpr int slot = line_slot(A);
  // A deferred line's attribute is compared as its number where that needs no object.
  Ref left = a.pending() != nullptr ? Ref() : line_attr(a, slot);
  Ref right = b.pending() != nullptr ? Ref() : line_attr(b, slot);
  if (left && !right && b.pending() != nullptr) {
    if (const std::optional<bool> known = deferred_differs<A>(*b.pending(), left.get()))
      return *known;
  } else if (right && !left && a.pending() != nullptr) {
    if (const std::optional<bool> known = deferred_differs<A>(*a.pending(), right.get()))
      return *known;
  }
  if (!left) left = line_attr(a, slot);
  if (!right) right = line_attr(b, slot);
  return host_.differ(left.get(), right.get());
}

template <class T>
void PythonModel::hold(LineRecord& rec, int slot, T value) const {
  if ((rec.held & LineRecord::bit(slot)) == 0) records_list_->held.emplace_back(&rec, slot);
  rec.set_value(slot, Ref());
  rec.set_number(slot, value);
  rec.held |= LineRecord::bit(slot);
  rec.forget_answers();
}

inline PyObject* PythonModel::unrecorded_plain_value(PyObject* line, int slot) const {
  bool learned = true;
  if (keep_line_records_) {
    // A line read in runs, its reads kept: its dictionary and slots are looked up once.
    UnrecordedLine& last = unrecorded_;
    if (last.line.get() != line || last.epoch != host_.epoch()) {
      if (!exactly(line, &ModelClasses::kerd)) return nullptr;
      last.line = Ref::borrow(line);
      last.plain_get = plain_line_slots(line).get;
      last.dict = last.plain_get != 0 ? Ref::borrow(exact_instance_dict(line)) : Ref();
      last.epoch = host_.epoch();
    }
    if ((last.plain_get & LineRecord::bit(slot)) == 0 || !last.dict) return nullptr;
    return slot_value(last.dict.get(), slot, learned);
  }
  if (!exactly(line, &ModelClasses::kerd) ||
      (plain_line_slots(line).get & LineRecord::bit(slot)) == 0)
    return nullptr;
  PyObject* dict = exact_instance_dict(line);
  return dict != nullptr ? slot_value(dict, slot, learned) : nullptr;
}

}  // namespace torvex::py
