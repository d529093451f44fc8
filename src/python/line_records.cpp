#include "python/line_records.hpp"

#include <algorithm>
#include <bit>

namespace torvex::py {

namespace {

PyObject* const kDropped = Py_None;  // never a line of the records

}  // namespace

void SlotNames::assign(std::span<PyObject* const, kLineSlots> names) {
  places_ = {};
  for (std::size_t s = 0; s < names.size(); ++s) {
    names_[s] = names[s];
    std::size_t i = place(names[s]);
    while (places_[i].name != nullptr) i = (i + 1) & (kPlaces - 1);
    places_[i] = Place{names[s], static_cast<int>(s)};
  }
}

PyObject* SlotPlaces::learn(PyObject* dict, const SlotNames& names, int slot, bool& learned) {
  learned = true;
  PyObject* found = nullptr;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  for (Py_ssize_t at = pos; PyDict_Next(dict, &pos, &key, &value); at = pos) {
    const int s = names.slot(key);
    if (s < 0) continue;
    places_[static_cast<std::size_t>(s)] = at;
    if (s == slot) found = value;
  }
  return found;
}

std::size_t LineRecords::slot_of(PyObject* line) const {
  const auto bits = static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(line));
  return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> shift_);
}

LineRecord* LineRecords::look_up(PyObject* line) const {
  if (table_.empty()) return nullptr;
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = slot_of(line);; i = (i + 1) & mask) {
    const Entry& entry = table_[i];
    if (entry.line == line) return entry.record;
    if (entry.line == nullptr) return nullptr;
  }
}

void LineRecords::grow() {
  const std::size_t size = table_.empty() ? 64 : table_.size() * 2;
  table_.assign(size, Entry{});
  shift_ = 64 - std::countr_zero(size);
  filled_ = 0;
  const std::size_t mask = size - 1;
  for (std::size_t r = 0; r < used_; ++r) {
    LineRecord& record = *records_[r];
    if (!record.line) continue;  // dropped
    std::size_t i = slot_of(record.line.get());
    while (table_[i].line != nullptr) i = (i + 1) & mask;
    table_[i] = Entry{record.line.get(), &record};
    ++filled_;
  }
}

LineRecord& LineRecords::add(PyObject* line) {
  if ((filled_ + 1) * 2 > table_.size()) grow();
  LineRecord* record;
  if (!dropped_.empty()) {
    record = dropped_.back();
    dropped_.pop_back();
  } else {
    if (used_ == records_.size()) records_.push_back(std::make_unique<LineRecord>());
    record = records_[used_++].get();
  }
  record->line = Ref::borrow(line);
  // The line is not in the table: the first dropped or empty place on its probe path is free.
  const std::size_t mask = table_.size() - 1;
  std::size_t i = slot_of(line);
  while (table_[i].line != nullptr && table_[i].line != kDropped) i = (i + 1) & mask;
  if (table_[i].line == nullptr) ++filled_;
  table_[i] = Entry{line, record};
  remember(line, record);
  return *record;
}

void LineRecords::drop_if_unheld(LineRecord& record) {
  if (!record.line || Py_REFCNT(record.line.get()) != 1) return;
  const std::size_t mask = table_.size() - 1;
  std::size_t i = slot_of(record.line.get());
  while (table_[i].record != &record) i = (i + 1) & mask;
  table_[i] = Entry{kDropped, nullptr};  // later lines' probes pass over it
  for (Entry& entry : recent_)
    if (entry.record == &record) entry = Entry{};
  clear(record);
  dropped_.push_back(&record);
}

void LineRecords::drop_unheld() {
  for (std::size_t r = 0; r < used_; ++r) drop_if_unheld(*records_[r]);
}

void LineRecords::clear(LineRecord& record) {
  record.line = Ref();
  record.restart();
}

void LineRecords::forget() {
  if (used_ == 0) return;
  for (std::size_t r = 0; r < used_; ++r) clear(*records_[r]);
  used_ = 0;
  dropped_.clear();
  held.clear();
  recent_ = {};
  std::fill(table_.begin(), table_.end(), Entry{});
  filled_ = 0;
}

}  // namespace torvex::py
