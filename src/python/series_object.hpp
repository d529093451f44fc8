#pragma once
// The package's own bar series, torvex.series.Series, as other modules see it: its object
// layout, direct reads at an offset, and recognition of the type without importing anything.
//
// A series is a growable buffer of doubles of which the first `length` are visible bars; bars
// from `length` to `size` are preloaded and become visible as the host advances. Offset 0 is
// the last visible bar, -k the bar k bars before it.
//
// Readers fetch `data` on every read and never keep it across a call into Python: appending may
// move the buffer. What is stored at a position stays there until the series is initialised
// again, which gives it new `contents`: readers may keep what they found in the stored values
// for as long as the series' `contents` is the one they found it under.
#include <cstdint>
#include <cstring>

#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace torvex::py {

struct SeriesObject {
  PyObject_HEAD double* data;  // `capacity` doubles, owned (PyMem)
  Py_ssize_t length;           // visible bars
  Py_ssize_t size;             // stored bars, visible and preloaded: length <= size <= capacity
  Py_ssize_t capacity;         // allocated doubles
  uint64_t contents;           // names the stored values; never 0, never given twice
};

inline constexpr const char* kSeriesModuleName = "torvex.series";
inline constexpr const char* kSeriesTypeName = "torvex.series.Series";

// State of module torvex.series; other modules read the type from it once they have checked
// the module's definition, so rebinding `torvex.series.Series` cannot fool them.
struct SeriesModuleState {
  Ref series_type;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(series_type.get());
    return 0;
  }
  void clear() { series_type = Ref(); }
};
using SeriesModuleHolder = ModuleHolder<SeriesModuleState>;

// The value `offset` bars from the current one; false when the offset is positive or reaches
// past the first visible bar.
inline bool series_value(const SeriesObject* series, long long offset, double& out) noexcept {
  if (offset > 0 || offset <= -static_cast<long long>(series->length)) return false;
  out = series->data[series->length - 1 + offset];
  return true;
}

// Sets IndexError with the message the type's own indexing gives for `offset`.
void set_series_index_error(long long offset, Py_ssize_t length) noexcept;

// The value at `offset`, or PyError with IndexError set, as `series[offset]` raises.
inline double series_at(const SeriesObject* series, long long offset) {
  double value;
  if (!series_value(series, offset, value)) {
    set_series_index_error(offset, series->length);
    throw PyError{};
  }
  return value;
}

// Truth of a stored value as Python tests a float: NaN is true.
inline bool series_truth(double value) noexcept {
  return value != 0.0;
}

// Recognises torvex.series.Series instances for modules that do not import torvex.series: if
// an object is one, that module is loaded, so its type is found through sys.modules and kept.
// Only the exact type is recognised; a subclass may override indexing and is read through the
// sequence protocol. Keep one cache in a module's state: construct it in place, call
// traverse/clear from the module's m_traverse/m_clear.
class SeriesTypeCache {
 public:
  // The object as a series, or nullptr when it is not exactly our type. Raises PyError only
  // when sys.modules itself cannot be read.
  SeriesObject* as_series(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (reinterpret_cast<PyObject*>(type) == type_.get())
      return reinterpret_cast<SeriesObject*>(obj);
    if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(SeriesObject)) ||
        std::strcmp(type->tp_name, kSeriesTypeName) != 0)
      return nullptr;
    return lookup(obj);
  }

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(type_.get());
    return 0;
  }
  void clear() noexcept { type_ = Ref(); }

 private:
  SeriesObject* lookup(PyObject* obj);  // the slow path: first sight of the type
  Ref type_;
};

}  // namespace torvex::py
