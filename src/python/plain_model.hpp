#pragma once
// The plain path of the Python object model: the core's algorithms on the host's own objects,
// every access made through the gateway (python/host_gateway.hpp) at the step and in the order
// the behaviour fixes, and nothing kept from one access to the next. Lines are instances with
// dynamic attributes; the engine's lists and mapping are the host's objects, changed in place;
// settings are read by attribute at every use; series are read by indexing with the bar
// offset; records and lines are built by calling their classes.
//
// The accelerated model (python/python_model.hpp) derives from it and replaces calls of it
// where a rule of its own says the replacement cannot be told from the call. With the
// accelerators off (python/model_switch.hpp) every operation runs on this model alone.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/model.hpp"
#include "core/records.hpp"
#include "core/scratch.hpp"
#include "python/host_gateway.hpp"
#include "python/host_value.hpp"
#include "python/model_context.hpp"
#include "python/ref.hpp"

namespace torvex::py {

class PlainModel {
 public:
  using Line = Ref;
  using Pivot = Ref;
  using Window = Ref;
  using SeriesRef = Ref;
  using Key = Ref;

  // For line operations, engine is null; for an engine operation it is the engine instance.
  explicit PlainModel(ModelContext& ctx, PyObject* engine = nullptr,
                      const ModelClasses* classes = nullptr, bool plain_gateway = true) noexcept
      : ctx_(ctx), engine_(engine), classes_(classes), host_(ctx, plain_gateway) {}
  PlainModel(const PlainModel&) = delete;
  PlainModel& operator=(const PlainModel&) = delete;

  ModelContext& context() const { return ctx_; }
  PyObject* engine() const { return engine_; }

  // Caller arguments, converted at their use.
  double number(PyObject* value) const { return host_.number(value); }
  bool flag(PyObject* value) const { return host_.flag(value); }
  // A range bound as range() takes it.
  int64_t count(PyObject* value) const { return host_.count(value); }
  core::ScratchPool::Lease scratch() const { return ctx_.scratch.lease(); }

  // Lines: line.<attribute>, read, converted, written at each use.
  template <core::KerdAttr A>
  core::kerd_attr_type<A> get(const Ref& line) const {
    Ref value = host_.attr(line.get(), name(A));
    return host_.to_value<core::info(A).kind>(value.get());
  }
  template <core::KerdAttr A>
  void set(const Ref& line, core::kerd_attr_type<A> value) const {
    host_.set_attr(line.get(), name(A), from_value<core::info(A).kind>(value).get());
  }
  // a.<attribute> != b.<attribute>, as the host compares them.
  template <core::KerdAttr A>
  bool differs(const Ref& a, const Ref& b) const {
    Ref left = host_.attr(a.get(), name(A));
    Ref right = host_.attr(b.get(), name(A));
    return host_.differ(left.get(), right.get());
  }
  // to.<attribute> = from.<attribute>, the object itself.
  template <core::KerdAttr A>
  void copy(const Ref& to, const Ref& from) const {
    Ref value = host_.attr(from.get(), name(A));
    host_.set_attr(to.get(), name(A), value.get());
  }
  std::size_t snib_count(const Ref& line) const;
  void read_snib_values(const Ref& line, std::vector<double>& out) const;
  // self.snib_values.extend(target.snib_values)
  void extend_snib_values(const Ref& self, const Ref& target) const;
  // self.snib_values = target.snib_values + self.snib_values
  void prepend_snib_values(const Ref& self, const Ref& target) const;
  int64_t line_bar_index(const Ref& line) const;
  double line_mintick(const Ref& line) const;
  Ref line_close(const Ref& line) const { return host_.attr(line.get(), ctx_.str_close.get()); }
  Ref line_open(const Ref& line) const { return host_.attr(line.get(), ctx_.str_open.get()); }
  // Every read of a line's state is made, also on the bars that cannot change it.
  bool line_reads_unseen(const Ref&) const { return false; }

  // Series: series[offset], the host's own indexing with the bar offset as key.
  Ref series_of(Ref object) const { return object; }
  double value(const Ref& series, int64_t offset) const {
    return host_.number(host_.series_item(series.get(), offset).get());
  }
  bool truth(const Ref& series, int64_t offset) const {
    return host_.flag(host_.series_item(series.get(), offset).get());
  }
  // An element as read, converted by number(): intake reads all four pivot series first.
  Ref raw(const Ref& series, int64_t offset) const {
    return host_.series_item(series.get(), offset);
  }
  double number(const Ref& value) const { return host_.number(value.get()); }

  // Engine base values and series: engine.<name> at each use.
  int64_t bar_index() const { return host_.index(engine_attr(ctx_.str_bar_index).get()); }
  int64_t last_bar_index() const { return host_.index(engine_attr(ctx_.str_last_bar_index).get()); }
  double mintick() const { return host_.number(engine_attr(ctx_.str_mintick).get()); }
  Ref close() const { return engine_attr(ctx_.str_close); }
  Ref open() const { return engine_attr(ctx_.str_open); }
  Ref high() const { return engine_attr(ctx_.str_high); }
  Ref low() const { return engine_attr(ctx_.str_low); }
  Ref time() const { return engine_attr(ctx_.str_time); }
  Ref pivot_series(core::PivotKind kind) const {
    return engine_attr(ctx_.str_pivot_series[static_cast<int>(kind)]);
  }

  // engine.settings.<name>, both read at every use.
  template <core::Setting S>
  core::setting_type<S> setting() const {
    Ref settings = engine_attr(ctx_.str_settings);
    Ref value = host_.attr(settings.get(), ctx_.str_setting[static_cast<int>(S)].get());
    return host_.to_setting<core::info(S).kind>(value.get());
  }

  // The engine's lists, engine.<list> at each use, changed in place.
  std::size_t kerd_count() const { return list_count(ctx_.str_kerds); }
  Ref kerd_at(std::size_t i) const { return list_at(ctx_.str_kerds, i); }
  void append_kerd(const Ref& line) const;
  void clear_kerds() const;
  void remove_first_kerd() const;
  // kerds[:] = [kerds[i] for i in order]
  void reorder_kerds(std::span<const std::size_t> order) const;
  // Kerd(**the seed's attributes, the engine's series and base values)
  Ref make_kerd(const core::KerdSeed& seed) const;

  std::size_t new_snib_count() const { return list_count(ctx_.str_new_vip_snibs); }
  std::size_t vip_snib_count() const { return list_count(ctx_.str_vip_snibs); }
  Ref vip_snib_at(std::size_t i) const { return list_at(ctx_.str_vip_snibs, i); }
  void append_new_snib(const core::Snib& snib) const;
  // The last pending pivot is appended to the processed list before it leaves the pending
  // one, so that a processed list that refuses it loses nothing.
  void pop_new_snib_to_vip() const;
  void move_new_snibs_to_vip() const;
  template <core::PivotField F>
  core::pivot_field_type<F> pivot(const Ref& p) const {
    Ref value = host_.attr(p.get(), ctx_.str_pivot_field[static_cast<int>(F)].get());
    if constexpr (std::is_same_v<core::pivot_field_type<F>, int64_t>)
      return host_.index(value.get());
    else
      return host_.number(value.get());
  }

  std::size_t mavet_count() const { return list_count(ctx_.str_mavets); }
  Ref mavet_at(std::size_t i) const { return list_at(ctx_.str_mavets, i); }
  void append_mavet(const core::Mavet& window) const;
  void remove_first_mavet() const;
  template <core::MavetField F>
  core::mavet_field_type<F> window(const Ref& w) const {
    Ref value = host_.attr(w.get(), ctx_.str_mavet_field[static_cast<int>(F)].get());
    return host_.to_value<core::info(F).kind>(value.get());
  }
  template <core::MavetField F>
  void set_window(const Ref& w, core::mavet_field_type<F> value) const {
    Ref object = from_value<core::info(F).kind>(value);
    host_.set_attr(w.get(), ctx_.str_mavet_field[static_cast<int>(F)].get(), object.get());
  }

  // The latest-window mapping, keyed by engine.round_to_mintick(price).
  Key round_key(double price) const;
  Key round_key(PyObject* price) const;
  bool latest_contains(const Key& key) const {
    return host_.contains(engine_attr(ctx_.str_latest_mavets).get(), key.get());
  }
  int64_t latest_get(const Key& key, int64_t fallback) const {
    return host_.get_index(engine_attr(ctx_.str_latest_mavets).get(), key.get(), fallback);
  }
  void latest_set(const Key& key, int64_t bar) const {
    host_.set_index(engine_attr(ctx_.str_latest_mavets).get(), key.get(), bar);
  }

  // cls(*args[:nargs], **dict(zip(kwnames, args[nargs:]))): how every record and line is built.
  Ref make_record(PyObject* cls, PyObject* const* args, std::size_t nargs,
                  PyObject* kwnames) const {
    return host_.call(cls, args, nargs, kwnames);
  }

 protected:
  HostGateway& host() const { return host_; }
  PyObject* name(core::KerdAttr attr) const {
    return ctx_.str_kerd_attr[static_cast<int>(attr)].get();
  }
  PyObject* require_engine() const;
  Ref engine_attr(const Ref& attr_name) const {
    return host_.attr(require_engine(), attr_name.get());
  }
  std::size_t list_count(const Ref& list_name) const;
  Ref list_at(const Ref& list_name, std::size_t i) const;
  PyObject* record_class(PyObject* ModelClasses::*cls, const char* what) const;
  // The engine's base values a new line is given, read in the base initialiser's order.
  std::array<Ref, core::base_value_names.size()> base_values() const;
  // The line class called with the seed's attributes and `base`, by keyword.
  Ref call_kerd_class(const core::KerdSeed& seed,
                      const std::array<Ref, core::base_value_names.size()>& base,
                      PyObject* snib_values) const;

  ModelContext& ctx_;
  PyObject* engine_;  // borrowed from the caller's arguments; null for line operations
  const ModelClasses* classes_;
  mutable HostGateway host_;
};

static_assert(core::EngineAccess<PlainModel> && core::ReadsRawElements<PlainModel> &&
              core::ConvertsArguments<PlainModel, PyObject*> &&
              core::SaysLineReadsUnseen<PlainModel>);
static_assert(!core::ViewsSeries<PlainModel> && !core::SearchesStraddles<PlainModel> &&
              !core::HoldsLineWrites<PlainModel> && !core::SaysMergeTestsUnseen<PlainModel> &&
              !core::ViewsSnibValues<PlainModel> && !core::RemembersMergedValue<PlainModel> &&
              !core::HoldsCollector<PlainModel>);

}  // namespace torvex::py
