#include "python/kept_epoch.hpp"

#include "python/cpython/instance_dict.hpp"

namespace torvex::py {

void KeptEpoch::check(uint64_t host_epoch, uint64_t engine_epoch, const DictWatch& watch) {
  const bool stands = ran_ && holds(engine_epoch, watch);
  checked_ = host_epoch;
  ran_ = false;
  if (stands) return;
  ++epoch_;
  engine_epoch_ = engine_epoch;
  sound_ = true;
  types_ = {};
  settings_ = Ref();
  settings_stamp_.drop();
}

bool KeptEpoch::holds(uint64_t engine_epoch, const DictWatch& watch) const noexcept {
  if (!sound_ || engine_epoch != engine_epoch_ || !watch.counts() || watch.changes() != changes_)
    return false;
  for (const KeptType& kept : types_)
    if (kept.type != nullptr && type_version(kept.type) != kept.version) return false;
  return !settings_ || settings_stamp_.same_dict(settings_.get());
}

bool KeptEpoch::keep_type(PyTypeObject* type) noexcept {
  const unsigned int version = type_version(type);
  if (version == 0) return false;
  for (KeptType& kept : types_) {
    if (kept.type == type) return kept.version == version;
    if (kept.type == nullptr) {
      kept = KeptType{type, version};
      return true;
    }
  }
  return false;
}

void KeptEpoch::keep_line(PyObject* line, PyObject* dict, const DictWatch& watch) {
  if (!sound_) return;
  sound_ = dict != nullptr && keep_type(Py_TYPE(line)) && watch.watch(line, dict);
}

void KeptEpoch::keep_settings(PyObject* settings, const DictWatch& watch) {
  if (!sound_ || settings_.get() == settings) return;
  // One settings object an epoch: the engine's, which the engine's epoch keeps the same.
  sound_ = !settings_ && keep_type(Py_TYPE(settings));
  if (!sound_) return;
  try {
    sound_ = settings_stamp_.take(settings, watch);
  } catch (const PyError&) {
    PyErr_Clear();
    sound_ = false;
  }
  if (sound_) settings_ = Ref::borrow(settings);
}

}  // namespace torvex::py
