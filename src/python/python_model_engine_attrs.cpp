// Accelerator: the engine's attributes kept. Replaces HostGateway::attr(engine, name) at every
// use (bar_index, the series, the lists, the settings object, the base values of a new line).
// Valid while the engine's epoch stands: its class keeps its version tag and its instance
// dictionary is unchanged (AttrStamp: a dictionary watcher, or the dictionary's version tag),
// and the model has not written the engine.
#include "python/python_model.hpp"

namespace torvex::py {

void PythonModel::renew_engine_epoch() const {
  engine_checked_ = host_.epoch();
  if (engine_epoch_ != 0 && engine_stamp_.holds(engine_)) return;
  // Epochs count up from one: a kept value of another epoch is never taken for current.
  ++engine_epoch_;
  try {
    engine_stamp_.take(engine_, ctx_.dict_watch);
  } catch (const PyError&) {
    PyErr_Clear();  // no stamp: every epoch of the host's is a new one of the engine's
  }
}

Ref PythonModel::engine_attr(const Ref& attr_name, bool& kept_now) const {
  PyObject* engine = require_engine();
  kept_now = false;
  if (!keep_engine_attrs_) return host_.attr(engine, attr_name.get());
  // A plain read gives the same object again while the engine's class and instance dictionary
  // stay as they were, and until the model writes it.
  const uint64_t epoch = engine_epoch();
  const uint64_t host_epoch = host_.epoch();
  // Probing stops at the name or a free place.
  const std::size_t mask = engine_attrs_.size() - 1;
  KeptEngineAttr* slot = nullptr;
  for (std::size_t i = kept_attr_home(attr_name.get()), n = 0; n < engine_attrs_.size();
       i = (i + 1) & mask, ++n) {
    KeptEngineAttr& kept = engine_attrs_[i];
    if (kept.name == attr_name.get() || kept.name == nullptr) {
      if (kept.name != nullptr && kept.epoch == epoch) {
        kept_now = true;
        return kept.value;
      }
      slot = &kept;
      break;
    }
  }
  bool plain;
  Ref value = host_.attr(engine, attr_name.get(), plain);
  if (plain && slot != nullptr) {
    *slot = KeptEngineAttr{attr_name.get(), value, epoch};
    kept_now = host_.epoch() == host_epoch;
  }
  return value;
}

const std::array<Ref, PythonModel::kBaseValues>& PythonModel::engine_base_values() const {
  const uint64_t epoch = keep_engine_attrs_ ? engine_epoch() : 0;
  const uint64_t host_epoch = host_.epoch();
  if (keep_engine_attrs_ && kept_base_.epoch == epoch) return kept_base_.values;
  kept_base_.epoch = ~uint64_t{0};
  const Ref* const names[kBaseValues] = {
      &ctx_.str_close,     &ctx_.str_open, &ctx_.str_high,           &ctx_.str_low,
      &ctx_.str_bar_index, &ctx_.str_time, &ctx_.str_last_bar_index, &ctx_.str_mintick};
  bool all_kept = true;
  for (std::size_t i = 0; i < kBaseValues; ++i) {
    bool kept;
    kept_base_.values[i] = engine_attr(*names[i], kept);
    all_kept = all_kept && kept;
  }
  if (keep_engine_attrs_ && all_kept && host_.epoch() == host_epoch) kept_base_.epoch = epoch;
  return kept_base_.values;
}

int64_t PythonModel::engine_index(const Ref& attr_name, KeptEngineIndex& kept) const {
  if (!keep_engine_attrs_) return host_.index(engine_attr(attr_name).get());
  const uint64_t epoch = engine_epoch();
  if (kept.epoch == epoch) return kept.value;
  const uint64_t host_epoch = host_.epoch();
  const int64_t value = host_.index(engine_attr(attr_name).get());
  if (host_.epoch() == host_epoch) kept = KeptEngineIndex{epoch, value};
  return value;
}

}  // namespace torvex::py
