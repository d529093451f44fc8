#pragma once
// The Python object model: the core's algorithms run on the host's own objects. Lines are
// instances with dynamic attributes, read and written through interned names; the engine's
// lists and mapping are the host's objects, changed in place; settings are read by attribute
// at every use; series are read by offset, directly for the package's own series type and
// through the host's indexing otherwise. Every failed C-API call throws PyError with the
// host's error set, so host errors propagate unchanged.
//
// The model knows when host code may have run: an attribute reached through a hook (property,
// __getattr__, a descriptor), a conversion hook (__float__, __index__, __bool__), a host
// container's own methods, a call. Until then what it read stays what it would read again, so
// an engine operation may keep it (EngineModel: settings and host series values). A plain
// instance attribute, an exact list, int, float or bool involves none. Finalizers are left out:
// they may run at any allocation, and nothing here waits for them.
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "core/model.hpp"
#include "core/records.hpp"
#include "core/scratch.hpp"
#include "python/host_value.hpp"
#include "python/ref.hpp"
#include "python/series_object.hpp"

namespace torvex::py {

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
  enum class Access : unsigned char {
    hooked,    // may run host code
    plain,     // runs none: a class attribute without __get__, or none at all
    instance,  // runs none, and only the instance dictionary can hold the attribute
  };
  Access get(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr) return Access::hooked;
    return entry(type, name).get;
  }
  bool set(PyObject* obj, PyObject* name) {
    PyTypeObject* type = Py_TYPE(obj);
    return type->tp_setattro == PyObject_GenericSetAttr && entry(type, name).set;
  }

 private:
  struct Entry {
    PyObject* name = nullptr;
    unsigned int version = 0;  // 0: no entry
    Access get = Access::hooked;
    bool set = false;
  };
  const Entry& entry(PyTypeObject* type, PyObject* name) {
    // Version tags are unique among types and renewed when a class changes.
    const unsigned int version =
        (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
    if (version == 0) return uncached_ = look_up(type, name);
    Entry& slot =
        entries_[((reinterpret_cast<std::uintptr_t>(name) >> 4) * 31 + version) % entries_.size()];
    if (slot.name != name || slot.version != version) {
      slot = look_up(type, name);
      slot.version = version;
    }
    return slot;
  }
  static Entry look_up(PyTypeObject* type, PyObject* name);

  std::array<Entry, 512> entries_{};
  Entry uncached_;
};

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
void seq_append(PyObject* seq, PyObject* item);
void seq_extend(PyObject* seq, PyObject* items);
void seq_clear(PyObject* seq);
Ref seq_pop_first(PyObject* seq);
Ref seq_pop_last(PyObject* seq);
void seq_replace_all(PyObject* seq, PyObject* items);  // seq[:] = items

// Interned names and per-module caches; one per module, kept in the module state.
class ModelContext {
 public:
  static std::unique_ptr<ModelContext> create();  // raises PyError

  std::array<Ref, core::kerd_attr_info.size()> kerd_attr;
  std::array<Ref, core::setting_info.size()> setting;
  std::array<Ref, 4> pivot_field;  // PivotField order
  std::array<Ref, core::mavet_field_info.size()> mavet_field;
  std::array<Ref, 4> pivot_series;  // PivotKind order
  Ref close, open, high, low, bar_index, time, last_bar_index, mintick;
  Ref settings, kerds, vip_snibs, new_vip_snibs, mavets, latest_mavets;
  Ref round_to_mintick, get;
  Ref kerd_kwnames;   // the sixteen keywords a new line is built with
  Ref snib_kwnames;   // the pivot record's keywords, without `used`
  Ref mavet_kwnames;  // the window record's constructor keywords

  SeriesTypeCache series;
  core::ScratchPool scratch;
  core::OffsetMemoPool series_memo;
  PlainAttrCache plain_attrs;

  int traverse(visitproc visit, void* arg) const { return series.traverse(visit, arg); }
  void clear() noexcept { series.clear(); }
};

// The classes an engine builds records and lines from (borrowed from the module state).
struct ModelClasses {
  PyObject* kerd = nullptr;
  PyObject* snib = nullptr;
  PyObject* mavet = nullptr;
};

// A series as the algorithms see it: the host object, and the direct reader when it is the
// package's own series type.
struct SeriesHandle {
  Ref object;
  SeriesObject* direct = nullptr;
};

class PythonModel {
 public:
  using Line = Ref;
  using Pivot = Ref;
  using Window = Ref;
  using SeriesRef = SeriesHandle;
  using Key = Ref;

  // For line operations, engine is null; for an engine operation it is the engine instance,
  // whose attributes are read at each use.
  explicit PythonModel(ModelContext& ctx, PyObject* engine = nullptr,
                       const ModelClasses* classes = nullptr) noexcept
      : ctx_(ctx), engine_(engine), classes_(classes) {}
  PythonModel(const PythonModel&) = delete;
  PythonModel& operator=(const PythonModel&) = delete;

  ModelContext& context() const { return ctx_; }
  PyObject* engine() const { return engine_; }

  // Caller arguments.
  double number(PyObject* value) const {
    if (!plain_number(value)) host_ran();
    return to_number(value);
  }
  bool flag(PyObject* value) const {
    if (!plain_flag(value)) host_ran();
    return to_flag(value);
  }

  core::ScratchPool::Lease scratch() const { return ctx_.scratch.lease(); }

  // Lines.
  template <core::KerdAttr A>
  core::kerd_attr_type<A> get(const Line& line) const {
    Ref value = attr(line.get(), name(A));
    return convert<core::info(A).kind>(value.get());
  }
  template <core::KerdAttr A>
  void set(const Line& line, core::kerd_attr_type<A> value) const {
    put(line.get(), name(A), from_value<core::info(A).kind>(value).get());
  }
  template <core::KerdAttr A>
  bool differs(const Line& a, const Line& b) const {
    return differs(a.get(), b.get(), name(A));
  }
  template <core::KerdAttr A>
  void copy(const Line& to, const Line& from) const {
    Ref value = attr(from.get(), name(A));
    put(to.get(), name(A), value.get());
  }
  std::size_t snib_count(const Line& line) const;
  void read_snib_values(const Line& line, std::vector<double>& out) const;
  void extend_snib_values(const Line& self, const Line& target) const;
  void prepend_snib_values(const Line& self, const Line& target) const;
  int64_t line_bar_index(const Line& line) const;
  double line_mintick(const Line& line) const;
  SeriesHandle line_close(const Line& line) const { return series_attr(line.get(), ctx_.close); }
  SeriesHandle line_open(const Line& line) const { return series_attr(line.get(), ctx_.open); }

  // Series.
  double value(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return series_at(series.direct, offset);
    return host_value(series, offset);
  }
  bool truth(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return series_truth(series_at(series.direct, offset));
    host_ran();
    return to_flag(item(series, offset).get());
  }
  // The package's own series are read in place: no host code runs, only the range can fail.
  std::optional<core::SeriesView> view(const SeriesHandle& series) const {
    if (series.direct == nullptr) return std::nullopt;
    return core::SeriesView{series.direct->data, static_cast<int64_t>(series.direct->length)};
  }
  SeriesHandle series_of(Ref object) const;

  // Engine base values.
  int64_t bar_index() const {
    return convert<core::ValueKind::index>(engine_attr(ctx_.bar_index).get());
  }
  int64_t last_bar_index() const {
    return convert<core::ValueKind::index>(engine_attr(ctx_.last_bar_index).get());
  }
  double mintick() const {
    return convert<core::ValueKind::price>(engine_attr(ctx_.mintick).get());
  }
  SeriesHandle close() const { return series_attr(engine_, ctx_.close); }
  SeriesHandle open() const { return series_attr(engine_, ctx_.open); }
  SeriesHandle high() const { return series_attr(engine_, ctx_.high); }
  SeriesHandle low() const { return series_attr(engine_, ctx_.low); }
  SeriesHandle time() const { return series_attr(engine_, ctx_.time); }
  SeriesHandle pivot_series(core::PivotKind kind) const {
    return series_attr(engine_, ctx_.pivot_series[static_cast<int>(kind)]);
  }

  // Settings, read afresh from the engine's settings object at every use.
  template <core::Setting S>
  core::setting_type<S> setting() const {
    Ref settings = engine_attr(ctx_.settings);
    Ref value = attr(settings.get(), ctx_.setting[static_cast<int>(S)].get());
    return setting_value<S>(value.get());
  }

  // Lines of the engine.
  std::size_t kerd_count() const;
  Line kerd_at(std::size_t i) const;
  void append_kerd(const Line& line) const;
  void clear_kerds() const;
  void remove_first_kerd() const;
  void reorder_kerds(std::span<const std::size_t> order) const;
  Line make_kerd(const core::KerdSeed& seed) const;

  // Pivots.
  std::size_t new_snib_count() const;
  std::size_t vip_snib_count() const;
  Pivot vip_snib_at(std::size_t i) const;
  void append_new_snib(const core::Snib& snib) const;
  void pop_new_snib_to_vip() const;
  void move_new_snibs_to_vip() const;
  template <core::PivotField F>
  core::pivot_field_type<F> pivot(const Pivot& p) const {
    Ref value = attr(p.get(), ctx_.pivot_field[static_cast<int>(F)].get());
    if (!plain_number(value.get())) host_ran();
    if constexpr (std::is_same_v<core::pivot_field_type<F>, int64_t>)
      return to_index(value.get());
    else
      return to_number(value.get());
  }

  // Windows.
  std::size_t mavet_count() const;
  Window mavet_at(std::size_t i) const;
  void append_mavet(const core::Mavet& window) const;
  void remove_first_mavet() const;
  template <core::MavetField F>
  core::mavet_field_type<F> window(const Window& w) const {
    Ref value = attr(w.get(), ctx_.mavet_field[static_cast<int>(F)].get());
    return convert<core::info(F).kind>(value.get());
  }
  template <core::MavetField F>
  void set_window(const Window& w, core::mavet_field_type<F> value) const {
    put(w.get(), ctx_.mavet_field[static_cast<int>(F)].get(),
        from_value<core::info(F).kind>(value).get());
  }

  // The latest-window mapping, keyed by the engine's own tick rounding.
  Key round_key(double price) const;
  bool latest_contains(const Key& key) const;
  int64_t latest_get(const Key& key, int64_t fallback) const;
  void latest_set(const Key& key, int64_t bar) const;

 protected:
  // Host code may have run (or is about to): whatever was read before may read differently now.
  void host_ran() const {
    ++host_epoch_;
    ++foreign_epoch_;
  }
  // Advances with every run of host code, a host series' own reads included.
  uint64_t host_epoch() const { return host_epoch_; }
  // Keep the values read from host series for the rest of the operation, while no host code
  // other than those reads has run. A host series is taken to give the same value for the
  // same offset until host code runs: its reads change none of its values, and its values do
  // not follow the lines and lists the engine writes.
  void keep_series_values() { keep_series_values_ = true; }

  // Attribute access, noting hooks that may run host code; `plain` tells whether none ran.
  Ref attr(PyObject* obj, PyObject* attr_name, bool& plain) const;
  Ref attr(PyObject* obj, PyObject* attr_name) const {
    bool plain;
    return attr(obj, attr_name, plain);
  }
  void put(PyObject* obj, PyObject* attr_name, PyObject* value) const {
    if (!ctx_.plain_attrs.set(obj, attr_name)) host_ran();
    set_attr(obj, attr_name, value);
  }
  // A host container used in place: an exact list runs no host code.
  PyObject* container(PyObject* seq) const {
    if (!PyList_CheckExact(seq)) host_ran();
    return seq;
  }
  template <core::Setting S>
  core::setting_type<S> setting_value(PyObject* value) const {
    constexpr bool flag = core::info(S).kind == core::SettingKind::flag;
    if (!(flag ? plain_flag(value) : plain_number(value))) host_ran();
    return to_setting<core::info(S).kind>(value);
  }

 private:
  PyObject* name(core::KerdAttr attr) const { return ctx_.kerd_attr[static_cast<int>(attr)].get(); }
  template <core::ValueKind K>
  typename core::value_of<K>::type convert(PyObject* value) const {
    if (!(K == core::ValueKind::flag ? plain_flag(value) : plain_number(value))) host_ran();
    return to_value<K>(value);
  }
  bool differs(PyObject* a, PyObject* b, PyObject* name) const;
  PyObject* require_engine() const;
  Ref engine_attr(const Ref& name) const;
  SeriesHandle series_attr(PyObject* owner, const Ref& name) const;
  static Ref item(const SeriesHandle& series, int64_t offset);
  double host_value(const SeriesHandle& series, int64_t offset) const;
  PyObject* record_class(PyObject* cls, const char* what) const;

  ModelContext& ctx_;
  PyObject* engine_;  // borrowed from the caller's arguments; null for line operations
  const ModelClasses* classes_;

  mutable uint64_t host_epoch_ = 0;
  mutable uint64_t foreign_epoch_ = 0;  // host code other than a host series' reads

  // Host series values read in this operation, valid while memo_epoch_ == foreign_epoch_. The
  // series kept are held, so none can be replaced by another at the same address.
  bool keep_series_values_ = false;
  mutable std::optional<core::OffsetMemoPool::Lease> memo_;
  mutable std::array<Ref, core::OffsetMemo::kSeries> memo_series_;
  mutable uint64_t memo_epoch_ = 0;
};

// The line operations run on it directly; the engine models add to it.
static_assert(core::EngineAccess<PythonModel> && core::ViewsSeries<PythonModel> &&
              core::ConvertsArguments<PythonModel, PyObject*>);
static_assert(!core::SearchesStraddles<PythonModel> && !core::OverridesOperations<PythonModel> &&
              !core::SaysMergeTestsUnseen<PythonModel> && !core::SpansSnibValues<PythonModel>);

}  // namespace torvex::py
