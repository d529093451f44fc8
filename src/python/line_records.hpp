#pragma once
// What an engine operation has read of its lines, for the lines whose reads run no host code:
// the attribute objects as read, a line's pivot values as numbers, and what the merge tests
// and the replay asked of it. Kept while no host code runs (the model drops them when its
// gateway's epoch moves) and never past the operation: host code between two engine calls is
// not seen by the gateway. The model's own writes to such a line are written through.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/model.hpp"
#include "core/scratch.hpp"
#include "core/value_list.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// The attributes kept: the line's own in KerdAttr order, then these base values.
inline constexpr int kLineSlotBarIndex = static_cast<int>(core::kerd_attr_info.size());
inline constexpr int kLineSlotMintick = kLineSlotBarIndex + 1;
inline constexpr int kLineSlotClose = kLineSlotBarIndex + 2;
inline constexpr int kLineSlotOpen = kLineSlotBarIndex + 3;
inline constexpr int kLineSlots = kLineSlotBarIndex + 4;
static_assert(kLineSlots <= 32, "a record's slot masks are 32 bits");

constexpr int line_slot(core::KerdAttr attr) {
  return static_cast<int>(attr);
}

// A list's items, held, in the list's order, with room in front: a merge puts another line's
// items before a line's own again and again, and then moves none of them (amortised).
class HeldItems {
 public:
  std::size_t size() const { return slots_.size() - front_; }
  // Whether `items` are these very objects, by address.
  bool same(std::span<PyObject* const> items) const {
    static_assert(sizeof(Ref) == sizeof(PyObject*), "a Ref is its pointer");
    return items.size() == size() &&
           std::memcmp(slots_.data() + front_, items.data(), items.size() * sizeof(PyObject*)) == 0;
  }
  void clear() {
    slots_.clear();
    front_ = 0;
  }
  // Takes `items` in front of those held.
  void prepend(std::span<PyObject* const> items) {
    const std::size_t n = items.size();
    if (n > front_) regrow(n);
    front_ -= n;
    for (std::size_t i = 0; i < n; ++i) slots_[front_ + i] = Ref::borrow(items[i]);
  }

 private:
  void regrow(std::size_t n) {
    const std::size_t held = size();
    const std::size_t room = n + held / 2 + 4;
    if (held == 0) {  // the storage is kept
      slots_.clear();
      slots_.resize(room);
    } else {
      std::vector<Ref> grown(room + held);
      std::move(slots_.begin() + static_cast<std::ptrdiff_t>(front_), slots_.end(),
                grown.begin() + static_cast<std::ptrdiff_t>(room));
      slots_.swap(grown);
    }
    front_ = room;
  }

  std::vector<Ref> slots_;  // null before front_
  std::size_t front_ = 0;
};

struct LineRecord {
  enum class Known : int8_t { unknown, no, yes };

  Ref line;  // held, so that no other object takes its address while the record lasts
  // The line's exact instance dictionary (null when it has none), and the slots whose reads
  // and writes run no host code by the line's class (PlainAttrCache::get, set): a plain read
  // of such a slot finds its value in that dictionary.
  Ref dict;
  uint32_t plain_get = 0;
  uint32_t plain_set = 0;
  bool places_learned = false;  // the slots' places in `dict` were looked for (SlotPlaces)
  // The numbers of `numbers_list` while it has `numbers_length` items: an exact list of plain
  // numbers, read once.
  Ref numbers_list;
  Py_ssize_t numbers_length = 0;
  core::ValueList numbers;  // room at the front: a backward merge moves none of them
  // The list's items the numbers were read from, or none (taken at the first check after host
  // code, or with the numbers: ModelContext::take_items_early). Plain numbers never change and a
  // held object keeps its address, so while the list holds these very objects its numbers are
  // `numbers`.
  HeldItems items;
  // Host code ran since the numbers were read: they stand only once the list is found to hold
  // the same items (nothing tells of a list's changes).
  bool numbers_unchecked = false;
  // The list a backward merge made and stored as the line's snib_values (held through
  // `values`); null once anything else is stored there.
  PyObject* made_list = nullptr;
  Known merge_tests_unseen = Known::unknown;
  Known reads_unseen = Known::unknown;
  Known replay_state_unseen = Known::unknown;
  // Slots whose number is known (`number`): converted from `values` without host code, or
  // written by the model and held back (`held`, with `values` null until the object is made).
  union Number {
    int64_t index;
    double real;
    bool flag;
  };
  std::array<Number, kLineSlots> number{};
  uint32_t known = 0;
  uint32_t held = 0;
  uint64_t checked = 0;  // the gateway's epoch the record was last found current in

  static constexpr uint32_t bit(int slot) { return uint32_t{1} << slot; }
  template <class T>
  T number_of(int slot) const {
    const Number& n = number[static_cast<std::size_t>(slot)];
    if constexpr (std::is_same_v<T, int64_t>)
      return n.index;
    else if constexpr (std::is_same_v<T, bool>)
      return n.flag;
    else
      return n.real;
  }
  template <class T>
  void set_number(int slot, T value) {
    Number& n = number[static_cast<std::size_t>(slot)];
    if constexpr (std::is_same_v<T, int64_t>)
      n.index = value;
    else if constexpr (std::is_same_v<T, bool>)
      n.flag = value;
    else
      n.real = value;
    known |= bit(slot);
  }
  // The slot's object as read or written; null when not known.
  const Ref& value(int slot) const { return values_[static_cast<std::size_t>(slot)]; }
  // Sets the slot's object, leaving what is known of its number as it is.
  void set_value(int slot, Ref value) {
    values_[static_cast<std::size_t>(slot)] = std::move(value);
    objects_ |= bit(slot);
  }
  // The slot's object as read or written, replacing what was known of it.
  void keep(int slot, Ref value) {
    set_value(slot, std::move(value));
    known &= ~bit(slot);
    held &= ~bit(slot);
  }
  // Lets go of every object kept: only the slots ever set are visited.
  void drop_values() {
    for (uint32_t set = objects_; set != 0; set &= set - 1)
      values_[static_cast<std::size_t>(std::countr_zero(set))] = Ref();
    objects_ = 0;
  }

  // The numbers when they are those of `list` as it stands.
  const core::ValueList* numbers_of(PyObject* list) const {
    if (numbers_list.get() != list || PyList_GET_SIZE(list) != numbers_length || numbers_unchecked)
      return nullptr;
    return &numbers;
  }
  // The numbers are those of `list`; no items are taken yet (take_items).
  void set_numbers(PyObject* list) {
    items.clear();
    numbers_list = Ref::borrow(list);
    numbers_length = PyList_GET_SIZE(list);
    numbers_unchecked = false;
  }
  // The numbers are those of `list`, whose items after its first few are the items taken, if
  // any were (the numbers were theirs): only the first few are taken.
  void set_numbers_front(PyObject* list) {
    if (items.size() != 0) {
      const std::size_t added = static_cast<std::size_t>(PyList_GET_SIZE(list)) - items.size();
      items.prepend(std::span(PySequence_Fast_ITEMS(list), added));
    }
    numbers_list = Ref::borrow(list);
    numbers_length = PyList_GET_SIZE(list);
    numbers_unchecked = false;
  }
  // Takes the items of `list`, found to hold the numbers: taken only where host code runs
  // beside the lines, so that a line no host code runs beside costs nothing.
  void take_items(PyObject* list) {
    items.clear();
    items.prepend(
        std::span(PySequence_Fast_ITEMS(list), static_cast<std::size_t>(PyList_GET_SIZE(list))));
  }
  // Whether `list` holds exactly the items taken: by address, no number read.
  bool same_items(PyObject* list) const {
    return items.same(
        std::span(PySequence_Fast_ITEMS(list), static_cast<std::size_t>(PyList_GET_SIZE(list))));
  }
  void forget_numbers() {
    numbers_list = Ref();
    items.clear();
  }
  // Forgets all that was kept of the line, which it still holds.
  void restart() {
    dict = Ref();
    plain_get = plain_set = 0;
    places_learned = false;
    drop_values();
    forget_numbers();
    numbers.clear();
    made_list = nullptr;
    forget_answers();
    known = held = 0;
  }
  // A write may change what the tests would find.
  void forget_answers() {
    merge_tests_unseen = reads_unseen = replay_state_unseen = Known::unknown;
  }

 private:
  std::array<Ref, kLineSlots> values_;  // by slot
  uint32_t objects_ = 0;                // slots whose object may be set
};

// The line last read without a record, held while it is the last (as a record holds its
// line), with what a record would take of it, for the gateway's epoch it was taken in.
struct UnrecordedLine {
  Ref line;
  Ref dict;  // its exact instance dictionary; null when it has none or no slot reads plainly
  uint32_t plain_get = 0;
  uint64_t epoch = ~uint64_t{0};
};

// The line slots by their names, told apart by address: the names are the context's interned
// strings, one object each.
class SlotNames {
 public:
  void assign(std::span<PyObject* const, kLineSlots> names);
  // The slot named by that very object; -1 for any other object.
  int slot(PyObject* name) const {
    for (std::size_t i = place(name);; i = (i + 1) & (kPlaces - 1)) {
      if (places_[i].name == name) return places_[i].slot;
      if (places_[i].name == nullptr) return -1;
    }
  }
  PyObject* name(int slot) const { return names_[static_cast<std::size_t>(slot)]; }

 private:
  static constexpr std::size_t kPlaces = 64;  // a power of two, at most half full
  static std::size_t place(PyObject* name) {
    const auto bits = static_cast<uint64_t>(reinterpret_cast<std::uintptr_t>(name));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 58);
  }
  struct Place {
    PyObject* name = nullptr;
    int slot = -1;
  };
  std::array<Place, kPlaces> places_{};
  std::array<PyObject*, kLineSlots> names_{};
};

// Where the slots' names usually sit in the iteration order of a line's split instance
// dictionary: lines are built storing their attributes in one order, so their dictionaries,
// sharing one key table, list them at the same places. An entry found at its place under that
// very name object is the one a lookup of the name finds, as a split table holds exact str
// keys only, and reading it there costs less than hashing into the table.
class SlotPlaces {
 public:
  // The value of the slot's name in `dict`, a split dictionary, when found at its place, or
  // found by a pass over it that learns every slot's place unless `learned` (a record's
  // places_learned: once per record); null otherwise. Runs no host code.
  PyObject* find(PyObject* dict, const SlotNames& names, int slot, bool& learned) {
    Py_ssize_t pos = places_[static_cast<std::size_t>(slot)];
    PyObject* key;
    PyObject* value;
    if (PyDict_Next(dict, &pos, &key, &value) && key == names.name(slot)) return value;
    return learned ? nullptr : learn(dict, names, slot, learned);
  }

 private:
  PyObject* learn(PyObject* dict, const SlotNames& names, int slot, bool& learned);

  std::array<Py_ssize_t, kLineSlots> places_{};
};

// The records of one operation, by line. Storage is kept for the next operation: after
// warm-up no record allocates.
class LineRecords {
 public:
  LineRecord* find(PyObject* line) {
    // Reads come in runs on one or two lines (a line and the line it is tested against).
    if (recent_[0].line == line) return recent_[0].record;
    if (recent_[1].line == line) {
      std::swap(recent_[0], recent_[1]);
      return recent_[0].record;
    }
    LineRecord* found = look_up(line);
    if (found != nullptr) remember(line, found);
    return found;
  }
  LineRecord& add(PyObject* line);  // line has no record yet
  // Drops the record of a line that nothing but the record holds any more, so that the line
  // goes when it would have gone without it.
  void drop_if_unheld(LineRecord& record);
  void drop_unheld();  // drop_if_unheld for every record
  void forget();       // drops every record and what it holds

  // Writes held back, in the order of their first write: (record, slot).
  std::vector<std::pair<LineRecord*, int>> held;

 private:
  struct Entry {
    PyObject* line = nullptr;  // null: empty; kDropped: a dropped record's place
    LineRecord* record = nullptr;
  };
  std::size_t slot_of(PyObject* line) const;
  LineRecord* look_up(PyObject* line) const;
  void remember(PyObject* line, LineRecord* record) {
    recent_[1] = recent_[0];
    recent_[0] = Entry{line, record};
  }
  void grow();
  static void clear(LineRecord& record);

  std::vector<std::unique_ptr<LineRecord>> records_;  // the first used_ are taken
  std::size_t used_ = 0;
  std::vector<LineRecord*> dropped_;  // taken, and free again
  // Linear probing, a power of two in size. A dropped line's place is taken again by the next
  // line added there: a new line often gets the address of the one dropped just before.
  std::vector<Entry> table_;
  std::size_t filled_ = 0;         // places that are not empty
  std::array<Entry, 2> recent_{};  // the lines found last
  int shift_ = 64;
};

using LineRecordsPool = core::ReusePool<LineRecords>;

}  // namespace torvex::py
