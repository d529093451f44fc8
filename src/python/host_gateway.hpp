#pragma once
// The one way the Python model reaches host objects. Every access that may run host code (an
// attribute behind a hook, a conversion hook, a host container's own methods, a call, a host
// series' indexing) goes through a HostGateway, which ends the current epoch unless it can
// tell that no host code runs. Whatever a model keeps of what it read (settings, host series
// values) holds only within one epoch, so a new access cannot leave a kept value stale by
// being forgotten: there is no other way to make it. Finalizers are left out: they may run at
// any allocation, and nothing here waits for them.
#include <array>
#include <cstdint>
#include <vector>

#include "core/model.hpp"
#include "python/attr_stamp.hpp"
#include "python/cpython/type_cache.hpp"
#include "python/gc_pause.hpp"
#include "python/host_value.hpp"
#include "python/ref.hpp"

namespace torvex::py {

namespace record {
struct Field;
class OwnRecords;
}  // namespace record

// obj.name and obj.name = value, as the protocol does them.
inline Ref get_attr(PyObject* obj, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(obj, name));
}
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  check_status(PyObject_SetAttr(obj, name, value));
}

// Whether reading or writing obj.name goes straight to the instance (the generic lookup, and
// no class attribute that would take part), so that no host code runs. What the class holds is
// remembered per type version (a changed class gets a new one) and name; names must outlive
// the cache.
class PlainAttrCache {
 public:
  // Runs no host code: the class has no attribute of that name, or one without __get__.
  bool get(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    return type->tp_getattro == PyObject_GenericGetAttr && entry(type, name).get;
  }
  bool set(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    return type->tp_setattro == PyObject_GenericSetAttr && entry(type, name).set;
  }
  // Whether obj.name is a field of one of the package's own records (pivot, window), read and
  // written by its C accessors: the class's own getset descriptor, no host code.
  bool record_field(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    return type->tp_getattro == PyObject_GenericGetAttr &&
           type->tp_setattro == PyObject_GenericSetAttr && entry(type, name).record_field;
  }
  // The record field (see record_field) obj.name reads: its value is what is stored at the
  // field's place in obj. Null for anything else.
  const record::Field* stored_field(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr)
      return nullptr;
    return entry(type, name).stored;
  }

 private:
  struct Entry {
    PyObject* name = nullptr;
    unsigned int version = 0;  // 0: no entry
    bool get = false;
    bool set = false;
    bool record_field = false;
    const record::Field* stored = nullptr;
  };
  const Entry& entry(PyTypeObject* type, PyObject* name) {
    // Version tags are unique among types and renewed when a class changes; without one,
    // nothing is kept.
    const unsigned int version = cpython::tagged_version(type, name);
    if (version == 0) return uncached_ = look_up(type, name);
    // Two ways per set, indexed by a multiplicative hash: interned names sit at like offsets
    // of allocator pools, so their addresses' low bits alone collide, and two names sharing a
    // set would otherwise evict each other on every use.
    const std::uint64_t key =
        (static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(name)) ^ version) *
        0x9E3779B97F4A7C15ull;
    Entry* set = &entries_[static_cast<std::size_t>(key >> 56) * 2];  // one of 256 sets
    if (set[0].name == name && set[0].version == version) return set[0];
    if (set[1].name == name && set[1].version == version) return set[1];
    // The newest entry goes first; the one it displaces stays in the second way.
    set[1] = set[0];
    set[0] = look_up(type, name);
    set[0].version = version;
    return set[0];
  }
  Entry look_up(PyTypeObject* type, PyObject* name) const;

  std::array<Entry, 2 * 256> entries_{};
  Entry uncached_;
  const record::OwnRecords* records_ = nullptr;

 public:
  // The package's own record classes, whose fields record_field() tells.
  void set_records(const record::OwnRecords* records) { records_ = records; }
};

// The class attribute `name` as the generic lookup finds it along the type's MRO (borrowed;
// null when none), without running host code. Raises PyError only for a failed dict lookup.
PyObject* class_attribute(PyTypeObject* type, PyObject* name);

// obj's instance dictionary (borrowed) when it has one and it is an exact dict; null otherwise.
PyObject* exact_instance_dict(PyObject* obj);
// dict[name] (borrowed) for an exact dict, or null when the name is not in it.
PyObject* dict_item(PyObject* dict, PyObject* name);
// obj.name as found in obj's instance dictionary (borrowed from it), or null when it has none
// or the name is not in it. For a name whose lookup is plain (PlainAttrCache::get), what is
// found there is what the generic lookup gives.
PyObject* instance_value(PyObject* obj, PyObject* name);
// What the generic lookup of obj.name finds along obj's class (borrowed), where nothing in
// obj's own dictionary can come first; null where it finds nothing there or that cannot be told
// without host code.
PyObject* unshadowed_class_attribute(PyObject* obj, PyObject* name);
// Whether `function` is a C function bound to the module named `module`.
bool bound_to_module(PyObject* function, const char* module);

// Values whose conversion to a number or a truth value runs no host code.
inline bool plain_number(PyObject* value) {
  return PyFloat_CheckExact(value) || PyLong_CheckExact(value) || PyBool_Check(value);
}
inline bool plain_flag(PyObject* value) {
  return value == Py_None || plain_number(value);
}
// Also a float subclass (numpy's float64, say): float() takes its stored value as it is.
inline bool plain_double(PyObject* value) {
  return PyFloat_Check(value) || plain_number(value);
}
// An exact list or tuple of such numbers.
bool plain_numbers(PyObject* values);

// Appends the elements of a sized, indexable host object as floats, reading obj[0], obj[1], ...
// up to its length taken once; a list that shrinks meanwhile raises IndexError as indexing
// would.
void read_numbers(PyObject* values, std::vector<double>& out);

// Host containers changed in place: exact lists directly, anything else through its own
// indexing and methods, so a container of another kind gives its own error.
Py_ssize_t seq_length(PyObject* seq);
Ref seq_item(PyObject* seq, Py_ssize_t index);
void seq_set_item(PyObject* seq, Py_ssize_t index, PyObject* value);

class ModelContext;

// Every integer up to this magnitude is a double exactly.
inline constexpr int64_t kExactInDouble = int64_t{1} << 53;

class HostGateway {
 public:
  // A plain gateway (the plain model's) makes every attribute access as the protocol does,
  // without telling whether it runs host code: nothing is kept on its word.
  explicit HostGateway(ModelContext& ctx, bool plain = false) noexcept : ctx_(ctx), plain_(plain) {}
  HostGateway(const HostGateway&) = delete;
  HostGateway& operator=(const HostGateway&) = delete;

  // While set, called before any host code runs (and before the epoch moves): a model stores
  // what it held back, so that host code sees it.
  void before_host_code(void (*call)(void*), void* arg) {
    before_ = call;
    before_arg_ = arg;
  }

  // The collector kept off while the scope lasts and no host code has run (see CollectorHold).
  CollectorHold::Scope hold_collector() noexcept { return CollectorHold::Scope(collector_); }

  // Advances with every run of host code, a host series' own reads included.
  uint64_t epoch() const { return epoch_; }
  // Advances with host code other than a host series' reads.
  uint64_t foreign_epoch() const { return foreign_epoch_; }

  // Whether obj.name would be `function`, wrapped as an instance method in obj's class, bound
  // to obj: told without running host code (the generic lookup, nothing of that name in obj's
  // instance dictionary), so that no epoch ends. False where that cannot be told so.
  bool binds_own_method(PyObject* obj, PyObject* name, PyObject* function) const;
  // Attributes; `plain` tells whether the read ran no host code.
  Ref attr(PyObject* obj, PyObject* name, bool& plain);
  Ref attr(PyObject* obj, PyObject* name) {
    bool plain;
    return attr(obj, name, plain);
  }
  void set_attr(PyObject* obj, PyObject* name, PyObject* value);

  // Conversions of host values.
  // The common plain values, converted in place: no host code, no error, the value
  // converting would give. False for any other value.
  template <core::ValueKind K>
  static bool convert_in_place(PyObject* value, typename core::value_of<K>::type& out) {
    if constexpr (K == core::ValueKind::flag) {
      if (value != Py_True && value != Py_False) return false;
      out = value == Py_True;
      return true;
    } else {
      if constexpr (K != core::ValueKind::index) {
        if (PyFloat_CheckExact(value)) {
          out = PyFloat_AS_DOUBLE(value);
          return true;
        }
      }
      if (!PyLong_CheckExact(value)) return false;
      int overflow = 0;
      const long long index = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0) return false;  // one past 64 bits raises, as converting does
      if constexpr (K == core::ValueKind::index) {
        out = index;
      } else {
        // Beyond, the host's rounding decides.
        if (index < -kExactInDouble || index > kExactInDouble) return false;
        out = static_cast<double>(index);
      }
      return true;
    }
  }
  template <core::ValueKind K>
  typename core::value_of<K>::type to_value(PyObject* value) {
    typename core::value_of<K>::type result;
    if (convert_in_place<K>(value, result)) return result;
    const bool plain = K == core::ValueKind::flag    ? plain_flag(value)
                       : K == core::ValueKind::index ? plain_number(value)
                                                     : plain_double(value);
    if (!plain) ran();
    return py::to_value<K>(value);
  }
  template <core::SettingKind K>
  typename core::setting_value_of<K>::type to_setting(PyObject* value) {
    return to_value<core::value_kind(K)>(value);
  }
  double number(PyObject* value) { return to_value<core::ValueKind::price>(value); }
  bool flag(PyObject* value) { return to_value<core::ValueKind::flag>(value); }
  int64_t index(PyObject* value) { return to_value<core::ValueKind::index>(value); }
  // A range bound as range() takes it: an integer or an object with __index__; one past 64
  // bits saturates.
  int64_t count(PyObject* value);

  // Host containers used in place: an exact list runs no host code.
  Py_ssize_t length(PyObject* seq) {
    if (PyList_CheckExact(seq)) return PyList_GET_SIZE(seq);
    return host_length(seq);
  }
  Ref item(PyObject* seq, Py_ssize_t index) {
    if (PyList_CheckExact(seq) && 0 <= index && index < PyList_GET_SIZE(seq))
      return Ref::borrow(PyList_GET_ITEM(seq, index));
    return host_item(seq, index);
  }
  void append(PyObject* seq, PyObject* item);
  void extend(PyObject* seq, PyObject* items);
  void clear(PyObject* seq);
  Ref pop_first(PyObject* seq);
  Ref pop_last(PyObject* seq);
  void replace_all(PyObject* seq, PyObject* items);
  void read_numbers(PyObject* values, std::vector<double>& out);
  bool differ(PyObject* a, PyObject* b);  // a != b as the host compares them
  Ref concat(PyObject* a, PyObject* b);   // a + b

  // The latest-window mapping: a key's own hashing and comparison are host code.
  bool contains(PyObject* mapping, PyObject* key);
  int64_t get_index(PyObject* mapping, PyObject* key, int64_t fallback);  // mapping.get
  void set_item(PyObject* mapping, PyObject* key, PyObject* value);
  void set_index(PyObject* mapping, PyObject* key, int64_t bar) {  // mapping[key] = bar
    Ref value = from_index(bar);
    set_item(mapping, key, value.get());
  }

  // Calls: always host code.
  Ref call(PyObject* callable, PyObject* const* args, std::size_t nargs, PyObject* kwnames);
  Ref call_method(PyObject* name, PyObject* const* args, std::size_t nargs);  // args[0]: self
  // A host series' element at a bar offset, indexed by the host with the offset as key.
  // `kept`: the caller keeps the value for the epoch, taking the read to change no value.
  Ref series_item(PyObject* series, int64_t offset, bool kept = false);

 private:
  Py_ssize_t host_length(PyObject* seq);
  Ref host_item(PyObject* seq, Py_ssize_t index);
  void ran() {
    about_to_run();
    ++epoch_;
    ++foreign_epoch_;
  }
  void about_to_run() {
    collector_.release();
    if (before_ != nullptr) before_(before_arg_);
  }

  ModelContext& ctx_;  // the interned names and the attribute cache
  bool plain_;
  uint64_t epoch_ = 0;
  uint64_t foreign_epoch_ = 0;
  void (*before_)(void*) = nullptr;
  void* before_arg_ = nullptr;
  CollectorHold collector_;
};

// An exact int (or bool) that converts to a bar index without host code, and that index.
inline bool plain_index(PyObject* value, int64_t& index) {
  return value != nullptr && HostGateway::convert_in_place<core::ValueKind::index>(value, index);
}
inline bool plain_index(PyObject* value) {
  int64_t index = 0;
  return plain_index(value, index);
}

}  // namespace torvex::py
