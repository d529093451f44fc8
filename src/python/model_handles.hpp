#pragma once
// What the Python model hands the core's algorithms: a series (the host object, and the direct
// reader of the package's own series), and a line, built or deferred.
#include <array>
#include <cstdint>

#include "core/model.hpp"
#include "core/value_list.hpp"
#include "python/ref.hpp"
#include "python/series_object.hpp"

namespace torvex::py {

// A series as the algorithms see it: the host object, and the direct reader when it is the
// package's own series type.
struct SeriesHandle {
  Ref object;
  SeriesObject* direct = nullptr;
};

// A new line of the package's own line class, not built yet: building it runs no host code and
// its attributes read back as stored, so until it must be an object (appended, about to be seen
// by host code, or used where only an object will do) it is its seed, the engine's base values
// read for it, and the attribute objects made so far, which the built line then holds.
struct DeferredLine {
  core::KerdSeed seed{};
  std::array<Ref, core::base_value_names.size()> base;  // base initialiser order
  std::array<Ref, core::kerd_attr_info.size()> made;    // KerdAttr order; null: not made yet
  core::ValueList numbers;                              // its one pivot value
  Ref value;   // that value's object, the one its list holds; null: not made yet
  Ref object;  // the line, once built
  // Its close and open series (base[0], base[1]) as series_of gives them, while the host
  // epoch is the one noted (~0: not yet).
  struct KeptSeries {
    SeriesHandle handle;
    uint64_t epoch = ~uint64_t{0};
  };
  std::array<KeptSeries, 2> series;
  bool pending = false;             // made and not built
  bool merge_reads_unseen = false;  // see PythonModel::merge_tests_unseen; also: bar_index
  int64_t bar_index = 0;            // base[4] converted, an exact int, when merge_reads_unseen
};

// A line as the algorithms hold it: a built line, or the model's deferred line (valid, as any
// line from make_kerd, until the next make_kerd).
class LineHandle {
 public:
  LineHandle() = default;
  LineHandle(Ref object) noexcept : object_(std::move(object)) {}  // NOLINT: every built line
  explicit LineHandle(DeferredLine& deferred) noexcept : deferred_(&deferred) {}

  // The deferred line while it is not built; null otherwise.
  DeferredLine* pending() const {
    return deferred_ != nullptr && deferred_->pending ? deferred_ : nullptr;
  }
  // The line's object; null while pending.
  PyObject* object() const {
    return deferred_ != nullptr ? deferred_->object.get() : object_.get();
  }
  // Tells lines apart while no host code runs: a deferred line is not its object yet.
  const void* identity() const {
    return pending() != nullptr ? static_cast<const void*>(deferred_) : object();
  }

 private:
  Ref object_;
  DeferredLine* deferred_ = nullptr;
};

}  // namespace torvex::py
