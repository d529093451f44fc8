#pragma once
// The Python object model: the core's algorithms run on the host's own objects. Lines are
// instances with dynamic attributes, read and written through interned names; the engine's
// lists and mapping are the host's objects, changed in place; settings are read by attribute
// at every use; series are read by offset, directly for the package's own series type and
// through the host's indexing otherwise. Every failed C-API call throws PyError with the
// host's error set, so host errors propagate unchanged.
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
#include "python/ref.hpp"
#include "python/series_object.hpp"

namespace torvex::py {

// Conversions of host values at the point of use.
int64_t to_index(PyObject* value);  // an int, an object with __index__, or an integral float
double to_number(PyObject* value);  // float(value)
bool to_flag(PyObject* value);      // the truth value
Ref from_index(int64_t value);
Ref from_number(double value);
Ref from_flag(bool value);
Ref from_time(double value);  // an integer when the value is whole, as host times are

inline Ref get_attr(PyObject* obj, PyObject* name) {
  return Ref::steal(PyObject_GetAttr(obj, name));
}
inline void set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  check_status(PyObject_SetAttr(obj, name, value));
}

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

  ModelContext& context() const { return ctx_; }
  PyObject* engine() const { return engine_; }

  // Caller arguments.
  double number(PyObject* value) const { return to_number(value); }
  bool flag(PyObject* value) const { return to_flag(value); }

  core::ScratchPool::Lease scratch() const { return ctx_.scratch.lease(); }

  // Lines.
  template <core::KerdAttr A>
  core::kerd_attr_type<A> get(const Line& line) const {
    Ref value = get_attr(line.get(), name(A));
    return convert<core::info(A).kind>(value.get());
  }
  template <core::KerdAttr A>
  void set(const Line& line, core::kerd_attr_type<A> value) const {
    set_attr(line.get(), name(A), make<core::info(A).kind>(value).get());
  }
  template <core::KerdAttr A>
  bool differs(const Line& a, const Line& b) const {
    return differs(a.get(), b.get(), name(A));
  }
  template <core::KerdAttr A>
  void copy(const Line& to, const Line& from) const {
    Ref value = get_attr(from.get(), name(A));
    set_attr(to.get(), name(A), value.get());
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
    return to_number(item(series, offset).get());
  }
  bool truth(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return series_truth(series_at(series.direct, offset));
    return to_flag(item(series, offset).get());
  }
  // The package's own series are read in place: no host code runs, only the range can fail.
  std::optional<core::SeriesView> view(const SeriesHandle& series) const {
    if (series.direct == nullptr) return std::nullopt;
    return core::SeriesView{series.direct->data, static_cast<int64_t>(series.direct->length)};
  }
  SeriesHandle series_of(Ref object) const;

  // Engine base values.
  int64_t bar_index() const { return to_index(engine_attr(ctx_.bar_index).get()); }
  int64_t last_bar_index() const { return to_index(engine_attr(ctx_.last_bar_index).get()); }
  double mintick() const { return to_number(engine_attr(ctx_.mintick).get()); }
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
    Ref value = get_attr(settings.get(), ctx_.setting[static_cast<int>(S)].get());
    if constexpr (core::info(S).kind == core::SettingKind::flag)
      return to_flag(value.get());
    else if constexpr (core::info(S).kind == core::SettingKind::count)
      return to_index(value.get());
    else
      return to_number(value.get());
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
    Ref value = get_attr(p.get(), ctx_.pivot_field[static_cast<int>(F)].get());
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
    Ref value = get_attr(w.get(), ctx_.mavet_field[static_cast<int>(F)].get());
    return convert<core::info(F).kind>(value.get());
  }
  template <core::MavetField F>
  void set_window(const Window& w, core::mavet_field_type<F> value) const {
    set_attr(w.get(), ctx_.mavet_field[static_cast<int>(F)].get(),
             make<core::info(F).kind>(value).get());
  }

  // The latest-window mapping, keyed by the engine's own tick rounding.
  Key round_key(double price) const;
  bool latest_contains(const Key& key) const;
  int64_t latest_get(const Key& key, int64_t fallback) const;
  void latest_set(const Key& key, int64_t bar) const;

 private:
  PyObject* name(core::KerdAttr attr) const { return ctx_.kerd_attr[static_cast<int>(attr)].get(); }
  template <core::ValueKind K>
  static auto convert(PyObject* value) {
    if constexpr (K == core::ValueKind::index)
      return to_index(value);
    else if constexpr (K == core::ValueKind::flag)
      return to_flag(value);
    else
      return to_number(value);
  }
  template <core::ValueKind K, class T>
  static Ref make(T value) {
    if constexpr (K == core::ValueKind::index)
      return from_index(value);
    else if constexpr (K == core::ValueKind::flag)
      return from_flag(value);
    else if constexpr (K == core::ValueKind::time)
      return from_time(value);
    else
      return from_number(value);
  }
  static bool differs(PyObject* a, PyObject* b, PyObject* name);
  PyObject* require_engine() const;
  Ref engine_attr(const Ref& name) const;
  SeriesHandle series_attr(PyObject* owner, const Ref& name) const;
  static Ref item(const SeriesHandle& series, int64_t offset);
  PyObject* record_class(PyObject* cls, const char* what) const;

  ModelContext& ctx_;
  PyObject* engine_;  // borrowed from the caller's arguments; null for line operations
  const ModelClasses* classes_;
};

}  // namespace torvex::py
