#pragma once
// The Python model as the engine operations use it: the engine object's attributes looked up
// once per operation where no operation rebinds them, settings and host series values kept
// while no host code has run since they were read, and the operations another operation calls
// dispatched to the engine object's own method where a host replaces it.
#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "core/engine_bar_search.hpp"
#include "core/engine_dispatch.hpp"
#include "core/model.hpp"
#include "python/engine_operations.hpp"
#include "python/python_model.hpp"

namespace torvex::py {

// A series element as read, converted to a number only where the engine needs the number:
// the package's own series hold numbers already, host series hand over their objects.
struct RawValue {
  double number = 0.0;
  Ref object;  // null when `number` holds the value
};

inline PyObject* call_argument(const SeriesHandle& series) {
  return series.object.get();
}

// A setting as last read, while the kept epoch stands: reading it again would run no host code
// either and give the same value.
struct KeptSetting {
  uint64_t epoch = 0;  // the model's kept epoch at the read; never current at first
  bool flag = false;
  int64_t count = 0;
  double number = 0.0;

  template <core::Setting S>
  core::setting_type<S> get() const {
    if constexpr (core::info(S).kind == core::SettingKind::flag)
      return flag;
    else if constexpr (core::info(S).kind == core::SettingKind::count)
      return count;
    else
      return number;
  }
  template <core::Setting S>
  void set(core::setting_type<S> value) {
    if constexpr (core::info(S).kind == core::SettingKind::flag)
      flag = value;
    else if constexpr (core::info(S).kind == core::SettingKind::count)
      count = value;
    else
      number = value;
  }
};

// The Python model as the engine operations use it. An operation reads the same past bars and
// settings many times over (once per line, once per merge test); what it read is kept while
// no host code has run since, so each repeat costs no host call.
class EngineModel : public PythonModel {
 public:
  EngineModel(ModelContext& context, PyObject* engine, const ModelClasses* classes,
              const EngineOperations* operations)
      : PythonModel(context, engine, classes), operations_(operations) {
    keep_series_values();
    keep_line_records();
  }
  using PythonModel::number;

  // An operation called by another runs as the engine object's own method when a host
  // subclass or the object itself replaces it; none when the class's own function stands.
  template <core::EngineOperation Op, class... Args>
  std::optional<bool> call_override(const Args&... args) const {
    constexpr auto op = static_cast<std::size_t>(Op);
    // Told without host code, what the operations before found stays known for this one.
    if (host().binds_own_method(engine(), operations_->name[op].get(),
                                operations_->own[op].get())) {
      drop_unheld_records();
      return std::nullopt;
    }
    return call_operation<Op>(host(), engine(), *operations_, args...);
  }

  RawValue raw(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return RawValue{series_at(series.direct, offset), Ref()};
    return RawValue{0.0, host().series_item(series.object.get(), offset)};
  }
  double number(const RawValue& value) const {
    if (!value.object) return value.number;
    return host().number(value.object.get());
  }

  // The replay may search the package's own series in place for the next bar that matters:
  // the bars it passes over would be read without effect, and only_body_cross, read at each
  // of them, would be read again unchanged without running host code.
  bool can_find_straddle(const SeriesHandle& close, const SeriesHandle& open,
                         const SeriesHandle& high, const SeriesHandle& low) const {
    if (!close.direct || !open.direct || !high.direct || !low.direct) return false;
    constexpr auto slot = static_cast<std::size_t>(core::Setting::only_body_cross);
    return kept_[slot].epoch == kept_epoch();
  }
  // The oldest y in from_y..0 whose bar at offset -y straddles level, or -1; fails as the
  // reads of the bar at -from_y would, in their order.
  int64_t find_straddle(const SeriesHandle& close, const SeriesHandle& open,
                        const SeriesHandle& high, const SeriesHandle& low, double level,
                        int64_t from_y) const {
    for (const SeriesHandle* series : {&close, &open, &high, &low})
      series_at(series->direct, -from_y);
    return core::oldest_straddle(*view(close), *view(open), *view(high), *view(low), level, from_y);
  }

  // The replay may hold a line's state in locals where no read it makes at a straddling bar
  // runs host code: the settings it reads and bar_index are kept, the time series is read in
  // place, and so is the line's state (PythonModel::replay_state_unseen).
  bool replays_locally(const Line& line) const {
    const uint64_t epoch = kept_epoch();
    for (core::Setting s :
         {core::Setting::only_body_cross, core::Setting::kerd_extend_bar_cross_threshold})
      if (kept_[static_cast<std::size_t>(s)].epoch != epoch) return false;
    return bar_index_kept() && time_kept_in_place() && replay_state_unseen(line);
  }
  // Replays held in locals are remembered where the package's own series name their contents.
  uint64_t series_contents(const SeriesHandle& series) const {
    return series.direct != nullptr ? series.direct->contents : 0;
  }
  // Null when there is no room for it: the replay then goes through every bar.
  core::ReplayMemo* replay_memo() const {
    std::unique_ptr<core::ReplayMemo>& memo = context().replays;
    if (!memo) memo.reset(new (std::nothrow) core::ReplayMemo());
    return memo.get();
  }

  // The engine's line list, which no operation rebinds, is looked up once per operation; its
  // length and elements are read at each use.
  std::size_t kerd_count() const { return static_cast<std::size_t>(host().length(kerds().get())); }
  Line kerd_at(std::size_t i) const {
    return host().item(kerds().get(), static_cast<Py_ssize_t>(i));
  }

  // Moves the last pending pivot to the processed list. It is appended there before it leaves
  // the pending list, so a processed list that refuses it loses nothing.
  void pop_new_snib_to_vip() const {
    Ref pending = host().attr(engine(), context().str_new_vip_snibs.get());
    const Py_ssize_t last = host().length(pending.get()) - 1;
    Ref pivot = host().item(pending.get(), last);
    Ref processed = host().attr(engine(), context().str_vip_snibs.get());
    host().append(processed.get(), pivot.get());
    host().pop_last(pending.get());
  }

  // Every setting is read from the settings object at its use, unless it was read in the
  // current kept epoch (python/kept_epoch.hpp) by a read that ran no host code itself; the
  // engine's `settings` attribute, which no operation rebinds, is looked up once per operation.
  template <core::Setting S>
  core::setting_type<S> setting() const {
    constexpr auto slot = static_cast<std::size_t>(S);
    KeptSetting& kept = kept_[slot];
    if (kept.epoch == kept_epoch()) return kept.get<S>();
    Ref settings = engine_attr(context().str_settings);
    const uint64_t before = host().epoch();
    const uint64_t epoch = kept_epoch();
    Ref value = host().attr(settings.get(), context().str_setting[slot].get());
    const core::setting_type<S> result = host().to_setting<core::info(S).kind>(value.get());
    if (host().epoch() == before) {
      kept.set<S>(result);
      kept.epoch = epoch;
      keep_settings(settings.get());
    }
    return result;
  }

 private:
  Ref kerds() const { return engine_attr(context().str_kerds); }

  const EngineOperations* operations_;
  mutable std::array<KeptSetting, core::setting_info.size()> kept_{};
};

static_assert(core::EngineAccess<EngineModel> && core::ReadsRawElements<EngineModel> &&
              core::HoldsLineWrites<EngineModel> && core::ViewsSeries<EngineModel> &&
              core::SearchesStraddles<EngineModel> && core::GatesStraddleSearch<EngineModel> &&
              core::ReplaysLocally<EngineModel> && core::RemembersReplays<EngineModel> &&
              core::OverridesOperations<EngineModel>);

}  // namespace torvex::py
