#pragma once
// Accelerator: kept reads past host code. Replaces, for the line records and the kept settings,
// "dropped whenever the gateway's epoch moves" by "dropped when the kept epoch moves". The one
// rule: the kept epoch stands across host code that changed no watched dictionary (the kept
// watch's count of changes when the host code began is its count now), no class kept from
// (the line class, the settings object's class) got a new version tag, the settings object kept
// from still has the dictionary stamped, and the engine's epoch stands; every object kept from
// in the epoch has its exact instance dictionary watched, or the epoch ends with the next host
// code. Where a record is next used (PythonModel::recheck) its line's dictionary is checked, its
// pivot values' numbers are marked to be checked against the list's items, by address, at their
// next use (no one watches a list), and the answers built on them are forgotten. Before 3.12
// nothing counts the changes and every host code ends the epoch.
#include <array>
#include <cstdint>

#include "python/attr_stamp.hpp"
#include "python/ref.hpp"

namespace torvex::py {

class KeptEpoch {
 public:
  // The gateway is about to run host code: the first run since the epoch was checked takes
  // the count of changes the rest are weighed against.
  void host_code_starts(const DictWatch& watch) noexcept {
    if (ran_) return;
    ran_ = true;
    changes_ = watch.changes();
  }
  // Whether the epoch must be checked: host code ran since (the gateway's epoch moved).
  bool stale(uint64_t host_epoch) const noexcept { return host_epoch != checked_; }
  uint64_t current() const noexcept { return epoch_; }
  // Checks the epoch against the rule once host code ran; engine_epoch is the model's.
  void check(uint64_t host_epoch, uint64_t engine_epoch, const DictWatch& watch);
  // Reads of an object of `type` whose instance dictionary `dict` holds them are kept in the
  // current epoch; the epoch ends at the next host code where they cannot be watched.
  void keep_line(PyObject* line, PyObject* dict, const DictWatch& watch);
  // The same for the settings object (its dictionary is checked with the epoch).
  void keep_settings(PyObject* settings, const DictWatch& watch);

 private:
  bool holds(uint64_t engine_epoch, const DictWatch& watch) const noexcept;
  bool keep_type(PyTypeObject* type) noexcept;

  uint64_t epoch_ = 1;               // kept values of epoch 0 (or of none) are never current
  uint64_t checked_ = ~uint64_t{0};  // the first use checks
  uint64_t engine_epoch_ = 0;
  bool ran_ = false;
  uint64_t changes_ = 0;
  bool sound_ = true;  // every object kept from is watched
  struct KeptType {
    PyTypeObject* type = nullptr;  // not held: version tags are not reused
    unsigned int version = 0;
  };
  std::array<KeptType, 2> types_{};
  Ref settings_;  // the settings object kept from, and its stamp
  AttrStamp settings_stamp_;
};

}  // namespace torvex::py
