#pragma once
// The Python object model: the core's algorithms run on the host's own objects. Lines are
// instances with dynamic attributes, read and written through interned names; the engine's
// lists and mapping are the host's objects, changed in place; settings are read by attribute
// at every use; series are read by offset, directly for the package's own series type and
// through the host's indexing otherwise. Every failed C-API call throws PyError with the
// host's error set, so host errors propagate unchanged.
//
// Every access that may run host code goes through the model's HostGateway
// (python/host_gateway.hpp), whose epochs say how long what was read stays what would be read
// again; an engine operation keeps settings and host series values for that long
// (EngineModel). The plain path alone is PlainModel (python/plain_model.hpp); this model's
// accelerators are defined one concern to a file, python_model_<concern>.cpp (.hpp for the
// templates), each file's first comment naming the plain call it replaces and the one rule
// that keeps it valid.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/model.hpp"
#include "core/records.hpp"
#include "core/replay_memo.hpp"
#include "core/scratch.hpp"
#include "core/value_list.hpp"
#include "python/attr_stamp.hpp"
#include "python/cpython/dict_layout.hpp"
#include "python/host_gateway.hpp"
#include "python/host_value.hpp"
#include "python/kept_epoch.hpp"
#include "python/line_records.hpp"
#include "python/model_context.hpp"
#include "python/model_handles.hpp"
#include "python/model_kept.hpp"
#include "python/record.hpp"
#include "python/record_args.hpp"
#include "python/ref.hpp"
#include "python/tick_rounding.hpp"

namespace torvex::py {

class PythonModel {
 public:
  using Line = LineHandle;
  using Pivot = Ref;
  using Window = Ref;
  using SeriesRef = SeriesHandle;
  using Key = Ref;

  // For line operations, engine is null; for an engine operation it is the engine instance,
  // whose attributes are read at each use.
  explicit PythonModel(ModelContext& ctx, PyObject* engine = nullptr,
                       const ModelClasses* classes = nullptr) noexcept
      : ctx_(ctx), engine_(engine), classes_(classes), host_(ctx) {
    host_.before_host_code(&PythonModel::before_host_code, this);
  }
  ~PythonModel();  // python/python_model_value_lists.cpp
  PythonModel(const PythonModel&) = delete;
  PythonModel& operator=(const PythonModel&) = delete;

  ModelContext& context() const { return ctx_; }
  PyObject* engine() const { return engine_; }

  // Caller arguments.
  double number(PyObject* value) const { return host_.number(value); }
  bool flag(PyObject* value) const { return host_.flag(value); }

  core::ScratchPool::Lease scratch() const { return ctx_.scratch.lease(); }

  // Lines.
  template <core::KerdAttr A>
  core::kerd_attr_type<A> get(const Line& line) const;
  template <core::KerdAttr A>
  void set(const Line& line, core::kerd_attr_type<A> value) const {
    PyObject* obj = built(line);
    if (LineRecord* rec = holding_ ? holdable(obj, line_slot(A)) : nullptr) {
      hold(*rec, line_slot(A), value);
      return;
    }
    set_line_attr(obj, line_slot(A), from_value<core::info(A).kind>(value).get());
  }
  // While held, writes of line attributes that nothing but host code could see (the lines of
  // the engine's line class, plain attributes) are kept in the lines' records and stored on
  // the lines before host code runs next, or at release. release_line_writes() may fail;
  // release_line_writes_on_error() stores them while an error is on its way out, keeping it.
  void hold_line_writes() const { holding_ = true; }
  void release_line_writes() const;
  void release_line_writes_on_error() const noexcept;
  template <core::KerdAttr A>
  bool differs(const Line& a, const Line& b) const;
  template <core::KerdAttr A>
  void copy(const Line& to, const Line& from) const {
    DeferredLine* deferred = from.pending();
    Ref value =
        deferred != nullptr ? deferred_attr<A>(*deferred) : line_attr(from.object(), line_slot(A));
    set_line_attr(built(to), line_slot(A), value.get());
  }
  std::size_t snib_count(const Line& line) const;
  void read_snib_values(const Line& line, std::vector<double>& out) const;
  // The values in place from the line's record where it keeps them, else read into scratch.
  std::span<const double> snib_values_view(const Line& line, std::vector<double>& scratch) const;
  std::pair<std::span<const double>, std::span<const double>> snib_values_views(
      const Line& first, const Line& second, std::vector<double>& scratch) const;
  // The weighted value of first's values joined with second's, as a merge crossing test
  // weighed it with no host code running (since stamp_before), for the backward merge of first
  // into second that may follow; handed back only while no host code has run since.
  void remember_merged_value(const Line& first, const Line& second, double last, double second_last,
                             double general, double value, uint64_t stamp_before) const;
  std::optional<double> recall_merged_value(const Line& first, const Line& second, double last,
                                            double second_last, double general) const;
  // The rebuild's lines are made with the collector held until host code runs.
  CollectorHold::Scope hold_collector() const noexcept { return host_.hold_collector(); }
  // Advances whenever host code may have run.
  uint64_t host_stamp() const { return host_.epoch(); }
  // Advances whenever host code may have changed the engine's line list or what the merge
  // tests read of its lines; from the first call on, host code that changed neither leaves it
  // (python/python_model_line_list.cpp).
  uint64_t lines_stamp() const;
  // Whether the rebuild's merge tests would read the line's attributes and the settings they
  // use from instance dictionaries, as plain values that convert without host code or error.
  bool merge_tests_unseen(const Line& line) const;
  void extend_snib_values(const Line& self, const Line& target) const;
  void prepend_snib_values(const Line& self, const Line& target) const;
  int64_t line_bar_index(const Line& line) const;
  double line_mintick(const Line& line) const;
  // Whether leaving out the reads of a line's state on a bar that does not straddle it goes
  // unseen: each attribute the replay reads there is present, read and converted without
  // running host code, and the replay's writes run none either.
  bool line_reads_unseen(const Line& line) const;
  // Whether, beyond that, every attribute of the line's state that the replay reads (the
  // level and the count after the extension too) is present, read without host code and
  // converted without host code or error: its state may then be read once and held.
  bool replay_state_unseen(const Line& line) const;
  SeriesHandle line_close(const Line& line) const {
    if (DeferredLine* deferred = line.pending()) return deferred_series(*deferred, 0);
    return series_of(line_attr(line, kLineSlotClose));
  }
  SeriesHandle line_open(const Line& line) const {
    if (DeferredLine* deferred = line.pending()) return deferred_series(*deferred, 1);
    return series_of(line_attr(line, kLineSlotOpen));
  }

  // Series.
  double value(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return series_at(series.direct, offset);
    return host_value(series, offset);
  }
  bool truth(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return series_truth(series_at(series.direct, offset));
    Ref element = host_.series_item(series.object.get(), offset);
    return host_.flag(element.get());
  }
  // The package's own series are read in place: no host code runs, only the range can fail.
  std::optional<core::SeriesView> view(const SeriesHandle& series) const {
    if (series.direct == nullptr) return std::nullopt;
    return core::SeriesView{series.direct->data, static_cast<int64_t>(series.direct->length)};
  }
  SeriesHandle series_of(Ref object) const;

  // Engine base values.
  int64_t bar_index() const { return engine_index(ctx_.str_bar_index, kept_bar_index_); }
  int64_t last_bar_index() const {
    return engine_index(ctx_.str_last_bar_index, kept_last_bar_index_);
  }
  double mintick() const { return host_.number(engine_attr(ctx_.str_mintick).get()); }
  SeriesHandle close() const { return engine_series(0, ctx_.str_close); }
  SeriesHandle open() const { return engine_series(1, ctx_.str_open); }
  SeriesHandle high() const { return engine_series(2, ctx_.str_high); }
  SeriesHandle low() const { return engine_series(3, ctx_.str_low); }
  SeriesHandle time() const { return engine_series(4, ctx_.str_time); }
  SeriesHandle pivot_series(core::PivotKind kind) const {
    return series_attr(engine_, ctx_.str_pivot_series[static_cast<int>(kind)]);
  }

  // Settings, read afresh from the engine's settings object at every use.
  template <core::Setting S>
  core::setting_type<S> setting() const {
    Ref settings = engine_attr(ctx_.str_settings);
    Ref value = host_.attr(settings.get(), ctx_.str_setting[static_cast<int>(S)].get());
    return host_.to_setting<core::info(S).kind>(value.get());
  }

  // Lines of the engine.
  std::size_t kerd_count() const;
  Line kerd_at(std::size_t i) const;
  void append_kerd(const Line& line) const;
  void clear_kerds() const;
  void remove_first_kerd() const;
  void reorder_kerds(std::span<const std::size_t> order) const;
  // A line of the package's own class whose attributes read back as stored is deferred (see
  // DeferredLine); any other is built by its class now.
  Line make_kerd(const core::KerdSeed& seed) const;

  // Pivots.
  std::size_t new_snib_count() const;
  std::size_t vip_snib_count() const;
  Pivot vip_snib_at(std::size_t i) const;
  void append_new_snib(const core::Snib& snib) const;
  void pop_new_snib_to_vip() const;
  void move_new_snibs_to_vip() const;
  template <core::PivotField F>
  core::pivot_field_type<F> pivot(const Pivot& p) const;

  // Windows.
  std::size_t mavet_count() const;
  Window mavet_at(std::size_t i) const;
  void append_mavet(const core::Mavet& window) const;
  void remove_first_mavet() const;
  // The package's own window record's fields run no host code, and are read and written where
  // the record stores them; a host's record may run host code.
  template <core::MavetField F>
  core::mavet_field_type<F> window(const Window& w) const;
  template <core::MavetField F>
  void set_window(const Window& w, core::mavet_field_type<F> value) const;

  // The latest-window mapping, keyed by the engine's own tick rounding.
  Key round_key(double price) const;
  // engine.round_to_mintick(price), computed here where that call would run the stand-in's
  // rounding and read the tick plainly; nothing where the call must be made.
  std::optional<double> rounded_here(double price) const;
  bool latest_contains(const Key& key) const;
  int64_t latest_get(const Key& key, int64_t fallback) const;
  void latest_set(const Key& key, int64_t bar) const;

 protected:
  // Names the state of the engine's plain attributes: the same while they would read the same,
  // through host code that leaves the engine's class and instance dictionary as they were.
  uint64_t engine_epoch() const {
    if (host_.epoch() != engine_checked_) renew_engine_epoch();
    return engine_epoch_;
  }
  void renew_engine_epoch() const;
  // engine.<name>; a kept value is found first where the name's probe starts.
  Ref engine_attr(const Ref& name) const {
    if (keep_engine_attrs_) {
      const KeptEngineAttr& home = engine_attrs_[kept_attr_home(name.get())];
      if (home.name == name.get() && home.epoch == engine_epoch()) return home.value;
    }
    bool kept;
    return engine_attr(name, kept);
  }
  // The only way to host objects (see python/host_gateway.hpp).
  HostGateway& host() const { return host_; }
  // cls(*args[:nargs], **dict(zip(kwnames, args[nargs:]))): built in place where cls is one of
  // the package's record classes as made and every argument converts without host code, as
  // the call would build it.
  Ref make_record(PyObject* cls, PyObject* const* args, std::size_t nargs, PyObject* kwnames) const;
  // Keep the values read from host series for the rest of the operation, while no host code
  // other than those reads has run. A host series is taken to give the same value for the
  // same offset until host code runs: its reads change none of its values, and its values do
  // not follow the lines and lists the engine writes.
  void keep_series_values() { keep_series_values_ = true; }
  // The epoch of what is kept of lines and settings (python/kept_epoch.hpp); settings kept.
  uint64_t kept_epoch() const {
    if (kept_.stale(host_.epoch()))
      kept_.check(host_.epoch(), engine_ != nullptr ? engine_epoch() : 0, ctx_.kept_watch);
    return kept_.current();
  }
  void keep_settings(PyObject* settings) const { kept_.keep_settings(settings, ctx_.kept_watch); }
  // Keep the engine's own plain attributes while no host code runs.
  void keep_engine_attrs() { keep_engine_attrs_ = true; }
  // Whether reading bar_index, or the time series' handle, would give the kept value without
  // running host code; the time series is also the package's own.
  bool bar_index_kept() const {
    return keep_engine_attrs_ && kept_bar_index_.epoch == engine_epoch();
  }
  bool time_kept_in_place() const {
    const KeptEngineSeries& time = kept_series_[4];
    return keep_engine_attrs_ && time.epoch == engine_epoch() && time.handle.direct != nullptr;
  }
  // Also keep what is read of the lines of the engine's line class whose reads run no host
  // code (python/line_records.hpp): worth its upkeep where lines are read more than once.
  void keep_line_records() { keep_engine_attrs_ = keep_line_records_ = true; }
  // Drops the records of lines held by nothing else, between operations that keep the others:
  // each such line goes where it would have gone had the records ended with the operation.
  void drop_unheld_records() const;

 private:
  PyObject* name(core::KerdAttr attr) const {
    return ctx_.str_kerd_attr[static_cast<int>(attr)].get();
  }
  // Whether obj is exactly of the engine's line, pivot or window class (a ModelClasses member).
  bool exactly(PyObject* obj, PyObject* ModelClasses::*cls) const {
    return classes_ != nullptr && Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(classes_->*cls);
  }
  // The line's record when its reads are kept (all dropped as the kept epoch ends); or null.
  LineRecord* record(PyObject* line) const {
    if (!keep_line_records_ || !exactly(line, &ModelClasses::kerd)) return nullptr;
    if (records_list_ == nullptr || records_epoch_ != kept_epoch()) renew_records();
    if (LineRecord* found = checked(records_list_->find(line))) return found;
    return &new_record(line);
  }
  // The line's record when it has one for the current epoch; null otherwise.
  LineRecord* existing_record(PyObject* line) const {
    // A line whose class host code changed is read as any other class's: its record's reads
    // were found plain for the line class.
    if (records_list_ == nullptr || !exactly(line, &ModelClasses::kerd) ||
        records_epoch_ != kept_epoch())
      return nullptr;
    // The line last read without a record has none yet (new_record forgets it).
    if (unrecorded_.line.get() == line && unrecorded_.epoch == host_.epoch()) return nullptr;
    return checked(records_list_->find(line));
  }
  // The record, checked again after host code (begun again where its line's dictionary moved).
  LineRecord* checked(LineRecord* rec) const {
    if (rec != nullptr && rec->checked != host_.epoch()) recheck(*rec);
    return rec;
  }
  void recheck(LineRecord& rec) const;
  LineRecord& new_record(PyObject* line) const;
  void fill_record(LineRecord& rec) const;  // rec.line's
  // Starts the records afresh for the current epoch.
  void renew_records() const;
  // What the line's class says of the line slots' names (see ModelContext::PlainLineSlots).
  const ModelContext::PlainLineSlots& plain_line_slots(PyObject* line) const {
    PyTypeObject* type = Py_TYPE(line);
    const ModelContext::PlainLineSlots& known = ctx_.plain_line_slots;
    if (type == known.type && type_version(type) == known.version && known.version != 0)
      return known;
    return learn_plain_line_slots(line);
  }
  const ModelContext::PlainLineSlots& learn_plain_line_slots(PyObject* line) const;
  // The line's record when a write of slot may be held back: plain to write and to read.
  LineRecord* holdable(PyObject* line, int slot) const {
    LineRecord* rec = record(line);
    // A record's line is of the line class, which only host code could change.
    if (rec == nullptr || (rec->plain_get & rec->plain_set & LineRecord::bit(slot)) == 0)
      return nullptr;
    return rec;
  }
  template <class T>
  void hold(LineRecord& rec, int slot, T value) const;
  // The line's object, built now if it is deferred.
  PyObject* built(const Line& line) const {
    if (line.pending() != nullptr) build_deferred();
    return line.object();
  }
  // Builds the deferred line as the package's classes would: the base values, then the
  // line's attributes, stored without host code.
  void build_deferred() const;
  Ref make_on_host_base(PyObject* cls, DeferredLine& line) const;  // the line's class called
  template <core::KerdAttr A>
  static core::kerd_attr_type<A> deferred_number(const DeferredLine& line);
  // Whether `other` != the deferred line's attribute, as the host compares the two, when
  // `other` is an exact int or float and that needs no object; nothing otherwise.
  template <core::KerdAttr A>
  static std::optional<bool> deferred_differs(const DeferredLine& line, PyObject* other);
  // other != value, for an exact int or float `other` compared exactly, as the host would
  // compare it with an int (or a float) holding value; nothing for any other object.
  static std::optional<bool> number_differs(PyObject* other, int64_t value);
  static std::optional<bool> number_differs(PyObject* other, double value);
  // The deferred line's close (which 0) or open (1) series, kept while no host code runs: the
  // crossing tests of one new line read them again and again.
  const SeriesHandle& deferred_series(DeferredLine& line, std::size_t which) const {
    DeferredLine::KeptSeries& kept = line.series[which];
    if (kept.epoch != host_.epoch()) {
      kept.handle = series_of(line.base[which]);
      kept.epoch = host_.epoch();
    }
    return kept.handle;
  }
  // The deferred line's one pivot value as its list holds it, made once.
  Ref deferred_value(DeferredLine& line) const;
  // The deferred line's attribute object for a line slot: made once, or the base value.
  Ref deferred_attr(DeferredLine& line, int slot) const;
  // The deferred line's attribute A: made once.
  template <core::KerdAttr A>
  const Ref& deferred_attr(DeferredLine& line) const;
  template <core::KerdAttr A>
  Ref new_deferred_attr(DeferredLine& line) const;
  // Anything the model needs before host code runs: the deferred line built, held writes
  // stored, the line list seen.
  static void before_host_code(void* model);
  // For lines_stamp: the engine's line list as the first host code after a check finds it,
  // and whether it and its lines are still that.
  void see_line_list() const noexcept;
  bool line_list_stands() const;
  // The engine's line list when its kept value is current and an exact list; null otherwise.
  PyObject* kept_line_list() const noexcept;
  // The object of a held slot, made now and still held.
  void make_held_object(LineRecord& rec, int slot) const;
  // Stores every held write on its line, in the order of their first writes.
  void store_held() const;
  // Writes the slot of the record's line, a write the record says is plain (plain_set) while
  // no host code has run since the record was made; the status of the write.
  int store_plain(LineRecord& rec, int slot, PyObject* value) const;
  // line.<slot's name>, from its record where it was read or written since host code last ran.
  Ref line_attr(PyObject* line, int slot) const { return line_attr(line, record(line), slot); }
  Ref line_attr(PyObject* line, LineRecord* rec, int slot) const;  // rec: record(line)
  // Whether reading (writing) the slot's attribute of the line runs no host code; rec, the
  // line's record or null, answers for its line.
  bool plain_read(PyObject* line, const LineRecord* rec, int slot) const {
    if (rec != nullptr) return (rec->plain_get & LineRecord::bit(slot)) != 0;
    return ctx_.plain_attrs.get(line, ctx_.line_slot_names[static_cast<std::size_t>(slot)]);
  }
  bool plain_write(PyObject* line, const LineRecord* rec, int slot) const;
  // The slot's value in the line's instance dictionary (borrowed); null when not there.
  PyObject* dict_value(PyObject* line, LineRecord* rec, int slot) const {
    if (rec == nullptr)
      return instance_value(line, ctx_.line_slot_names[static_cast<std::size_t>(slot)]);
    PyObject* dict = rec->dict.get();
    return dict != nullptr ? slot_value(dict, slot, rec->places_learned) : nullptr;
  }
  // The slot's value where a plain read finds it, the line's instance dictionary (borrowed),
  // for a slot the record keeps no object of; null otherwise.
  PyObject* plain_dict_value(LineRecord& rec, int slot) const {
    PyObject* dict = rec.dict.get();
    if (dict == nullptr || (rec.plain_get & LineRecord::bit(slot)) == 0 || rec.value(slot))
      return nullptr;
    return slot_value(dict, slot, rec.places_learned);
  }
  // The same for a line without a record: the gateway's plain read of a line of the line
  // class, told plain by the class's slots (the slots' places are not learned here).
  PyObject* unrecorded_plain_value(PyObject* line, int slot) const;
  // The slot's value in `dict`, a line's exact instance dictionary (borrowed); null when not
  // there. `learned`: see SlotPlaces::find.
  PyObject* slot_value(PyObject* dict, int slot, bool& learned) const {
    if (cpython::split_table(dict))
      if (PyObject* found = ctx_.line_slot_places.find(dict, ctx_.line_slot_index, slot, learned))
        return found;
    return dict_item(dict, ctx_.line_slot_names[static_cast<std::size_t>(slot)]);
  }
  Ref line_attr(const Line& line, int slot) const {
    if (DeferredLine* deferred = line.pending()) return deferred_attr(*deferred, slot);
    return line_attr(line.object(), slot);
  }
  void set_line_attr(PyObject* line, int slot, PyObject* value) const;
  // The numbers of `list`, line's snib_values as just read, from its record (read into it first
  // when it is an exact list of numbers that convert without host code or error); or null.
  const core::ValueList* known_numbers(PyObject* line, PyObject* list) const;
  const core::ValueList* known_numbers(const Line& line, PyObject* list) const {
    if (const DeferredLine* deferred = line.pending())
      return list == deferred->made[line_slot(core::KerdAttr::snib_values)].get()
                 ? &deferred->numbers
                 : nullptr;
    return known_numbers(line.object(), list);
  }
  // The line's snib_values when the merge tests' other reads of the line are unseen (see
  // merge_tests_unseen); null otherwise. attr(slot) gives the value found in the line's
  // instance dictionary by a read that runs no host code, null otherwise.
  template <class Attr>
  PyObject* line_merge_reads_unseen(const Attr& attr) const;
  bool line_reads_unseen(PyObject* line, LineRecord* rec) const;
  // Whether `list` is the one a backward merge made for the record's line and still its
  // value, held by nothing but the line, the record and `held` references of
  // the caller's.
  bool unseen_made_list(const LineRecord& rec, PyObject* list, Py_ssize_t held) const;
  // Puts the values of `earlier` (or, null, of the deferred line) before those of `own`, a list
  // unseen_made_list, in `own` itself where python/cpython/ may; false where it may not.
  bool prepend_unseen(const Ref& own, const Ref& earlier, DeferredLine* deferred) const;
  // A new line's record, filled with what it was built with (the base values too, with_base).
  void record_new_line(PyObject* line, std::span<PyObject* const, PlainKerdMaker::kValues> stored,
                       PyObject* values, double value, bool with_base = true) const;
  void write_attr(PyObject* obj, PyObject* attr_name, PyObject* value) const;
  // Whether the field is read by the C accessor of exactly the package's pivot or window
  // record class.
  bool own_pivot_field(PyObject* p, PyObject* field) const {
    return exactly(p, &ModelClasses::snib) && ctx_.plain_attrs.record_field(p, field);
  }
  bool own_window_field(PyObject* w, PyObject* field) const {
    return exactly(w, &ModelClasses::mavet) && ctx_.plain_attrs.record_field(w, field);
  }
  // PlainAttrCache::stored_field, kept per field for the pivot class's current version tag: a
  // rebuild reads four fields of every pivot.
  template <core::PivotField F>
  const record::Field* stored_pivot_field(PyObject* p, PyObject* field) const;
  // Where the package's own window record stores a field of kind F; null for any other record
  // or field (own_window_field's, and stored as F needs).
  template <core::MavetField F>
  using stored_type = std::conditional_t<
      core::info(F).kind == core::ValueKind::flag, bool,
      std::conditional_t<core::info(F).kind == core::ValueKind::index, int32_t, double>>;
  template <core::MavetField F>
  const record::Field* stored_window_field(PyObject* w, PyObject* field) const;
  // obj.name from the instance dictionary when the lookup would find it there and run no
  // host code; null otherwise (absent, or not provably plain).
  PyObject* unseen_attr(PyObject* obj, PyObject* attr_name) const;
  PyObject* require_engine() const;
  // As engine_attr; `kept` says whether the value stays valid for the epoch.
  Ref engine_attr(const Ref& name, bool& kept) const;
  // The engine's values a new line copies, in the base initialiser's order: close, open, high,
  // low, bar_index, time, last_bar_index, mintick. Read as engine_attr reads them, and kept
  // together while every one of them is kept: one check per new line instead of eight.
  static constexpr std::size_t kBaseValues = 8;
  const std::array<Ref, kBaseValues>& engine_base_values() const;
  // An engine attribute as a bar index, kept as the number while its object is kept (see
  // engine_attr) and converted without host code.
  int64_t engine_index(const Ref& name, KeptEngineIndex& kept) const;
  // One of the engine's five bar series, kept as its handle while its object is kept.
  SeriesHandle engine_series(std::size_t which, const Ref& name) const {
    KeptEngineSeries& kept = kept_series_[which];
    if (!keep_engine_attrs_) return series_attr(engine_, name);
    const uint64_t epoch = engine_epoch();
    if (kept.epoch == epoch) return kept.handle;
    const uint64_t before = host_.epoch();
    SeriesHandle handle = series_attr(engine_, name);
    if (host_.epoch() == before) kept = KeptEngineSeries{epoch, handle};
    return handle;
  }
  // An engine list, used in place.
  PyObject* engine_list(const Ref& name, Ref& held) const {
    held = engine_attr(name);
    return held.get();
  }
  // The length of, and an item of, an engine list.
  std::size_t list_count(const Ref& name) const;
  Ref list_at(const Ref& name, std::size_t i) const;
  // cls(**dict(zip(kwnames, args))), the way every record and line is built.
  template <std::size_t N>
  Ref call_with_keywords(PyObject* cls, const std::array<Ref, N>& args, const Ref& kwnames) const;
  SeriesHandle series_attr(PyObject* owner, const Ref& name) const;
  double host_value(const SeriesHandle& series, int64_t offset) const;
  PyObject* record_class(PyObject* cls, const char* what) const;

  ModelContext& ctx_;
  PyObject* engine_;  // borrowed from the caller's arguments; null for line operations
  const ModelClasses* classes_;
  mutable HostGateway host_;

  struct MergedValue {
    const void* first = nullptr;  // identities only, compared while no host code has run
    const void* second = nullptr;
    double weights[3] = {};
    double value = 0.0;
    uint64_t epoch = 0;
  };
  mutable MergedValue merged_;
  struct KeptField {
    unsigned int version = 0;  // 0: none
    const record::Field* stored = nullptr;
  };
  mutable std::array<KeptField, core::pivot_field_info.size()> pivot_fields_{};
  mutable DeferredLine deferred_;          // the line make_kerd made last, when deferred
  mutable KerdTemplate kerd_template_;     // the deferred lines' dictionaries copy it
  mutable uint64_t settings_checked_ = 0;  // the kept epoch settings_unseen_ was found in
  mutable bool settings_unseen_ = false;

  // Host series values read in this operation, valid within one foreign epoch. The
  // series kept are held, so none can be replaced by another at the same address.
  bool keep_series_values_ = false;
  mutable std::optional<core::OffsetMemoPool::Lease> memo_;
  mutable std::array<Ref, core::OffsetMemo::kSeries> memo_series_;
  mutable uint64_t memo_epoch_ = 0;

  // Lines and engine attributes read in this operation, valid within one epoch.
  bool keep_engine_attrs_ = false;
  bool keep_line_records_ = false;
  mutable std::optional<LineRecordsPool::Lease> records_;
  mutable LineRecords* records_list_ = nullptr;  // records_'s
  mutable uint64_t records_epoch_ = 0;           // the kept epoch of the records
  mutable KeptEpoch kept_;
  mutable bool numbers_read_ = false, numbers_checked_ = false;  // read; checked after host code
  mutable LineRecord* last_new_line_ = nullptr;                  // the record of the line made last
  mutable UnrecordedLine unrecorded_;
  mutable bool holding_ = false;                           // line writes are held back
  mutable std::array<KeptEngineAttr, 64> engine_attrs_{};  // by the name's hash
  // Names are the context's interned strings, one object each: placed by address.
  static std::size_t kept_attr_home(PyObject* name) {
    return static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(name) >> 4) & 63;
  }
  mutable uint64_t engine_epoch_ = 0;               // 0: nothing kept is current
  mutable uint64_t engine_checked_ = ~uint64_t{0};  // the host epoch engine_epoch_ is of
  mutable AttrStamp engine_stamp_;
  mutable KeptEngineIndex kept_bar_index_, kept_last_bar_index_;
  mutable std::array<KeptEngineSeries, 5> kept_series_;  // close, open, high, low, time
  struct KeptBase {
    uint64_t epoch = ~uint64_t{0};
    std::array<Ref, kBaseValues> values;
  };
  mutable KeptBase kept_base_;
  mutable SeenLineList line_list_;  // what lines_stamp weighs host code against
};

template <std::size_t N>
Ref PythonModel::call_with_keywords(PyObject* cls, const std::array<Ref, N>& args,
                                    const Ref& kwnames) const {
  return make_record(cls, borrowed(args).data(), 0, kwnames.get());
}

// The line operations run on it directly; the engine models add to it.
static_assert(core::EngineAccess<PythonModel> && core::ViewsSeries<PythonModel> &&
              core::ConvertsArguments<PythonModel, PyObject*>);
static_assert(core::SaysMergeTestsUnseen<PythonModel> && core::HoldsCollector<PythonModel> &&
              core::RemembersMergedValue<PythonModel> && core::RecallsMergedValue<PythonModel> &&
              core::ViewsSnibValues<PythonModel>);
static_assert(!core::SearchesStraddles<PythonModel> && !core::OverridesOperations<PythonModel> &&
              !core::SpansSnibValues<PythonModel>);

}  // namespace torvex::py

// Members defined apart, one concern each.
#include "python/python_model_deferred.hpp"
#include "python/python_model_line_reads.hpp"
#include "python/python_model_record_fields.hpp"
