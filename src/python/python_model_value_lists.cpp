// Accelerator: a line's pivot values kept as numbers. Replaces
// HostGateway::read_numbers(line.snib_values) at every read: the numbers of an exact list of
// plain numbers are kept in the line's record, with the item objects they were read from. Valid
// while the list is still the record's value of snib_values and holds those very items (held
// by the record, so no other object takes their addresses; plain numbers never change), checked
// by address at the first use after host code (a record checked again, PythonModel::recheck);
// the first such check of a list, whose items are not held yet, compares its numbers one by one
// and takes them: nothing tells of a list's changes. While the module's operations check lists
// after host code (ModelContext::take_items_early), the items are taken where the numbers are
// had instead, read or joined: then at hand, and never compared one by one.
#include <cstring>

#include "python/python_model.hpp"

namespace torvex::py {

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

// Whether the items of `list` are exactly `numbers`, as read_plain_numbers would read them.
bool same_plain_numbers(PyObject* list, const core::ValueList& numbers) {
  if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != numbers.size()) return false;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
    double value;
    if (PyFloat_CheckExact(item)) {
      value = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item) || PyBool_Check(item)) {
      value = PyLong_AsDouble(item);
      if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
      }
    } else {
      return false;
    }
    // Bit for bit: a zero's sign and a NaN's payload are the number's too.
    const double kept = numbers[i];
    if (std::memcmp(&value, &kept, sizeof value) != 0) return false;
  }
  return true;
}

}  // namespace

const core::ValueList* PythonModel::known_numbers(PyObject* line, PyObject* list) const {
  LineRecord* rec = record(line);
  if (rec == nullptr || !PyList_CheckExact(list) ||
      rec->value(line_slot(core::KerdAttr::snib_values)).get() != list)
    return nullptr;
  if (rec->numbers_unchecked && rec->numbers_list.get() == list) {
    numbers_checked_ = true;
    if (rec->same_items(list)) {
      rec->numbers_unchecked = false;
    } else if (rec->items.size() == 0 && same_plain_numbers(list, rec->numbers)) {
      ctx_.take_items_early = true;
      rec->take_items(list);
      rec->numbers_unchecked = false;
    }
  }
  if (const core::ValueList* known = rec->numbers_of(list)) return known;
  auto lease = scratch();
  if (!read_plain_numbers(list, lease.get())) return nullptr;
  rec->numbers.assign(lease.get());
  rec->set_numbers(list);
  numbers_read_ = true;
  if (ctx_.take_items_early) rec->take_items(list);
  return &rec->numbers;
}

PythonModel::~PythonModel() {
  // An operation that read lists and checked none after host code: the next ones take items
  // only once they must.
  if (numbers_read_ && !numbers_checked_) ctx_.take_items_early = false;
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

}  // namespace torvex::py
