// Accelerator: merged pivot values joined in place. Replaces line.snib_values = earlier + own
// (HostGateway::concat and a write) where the line's list is one an earlier merge made, still
// the line's (the kept epoch stands): it takes the values itself. Valid while no one but the
// line and its record holds that list (its reference count), so a new list could not be told
// from it, host code having run since or not; the list's storage is grown where python/cpython/
// may (prepend_in_place), else a new list is made.
#include "python/python_model.hpp"

#include "python/cpython/list_storage.hpp"

namespace torvex::py {

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
      if (ctx_.take_items_early) rec->take_items(own.get());
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
  // A list an earlier merge made, which no one else holds: a new list in its place could not
  // be told from it, so it takes the values itself.
  if (rec != nullptr && unseen_made_list(*rec, own.get(), 1) &&
      prepend_unseen(own, earlier, deferred)) {
    join_numbers();
    rec->set_numbers_front(own.get());
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
    if (ctx_.take_items_early) rec->take_items(combined.get());
  }
}

}  // namespace torvex::py
