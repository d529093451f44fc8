// torvex.dto.torvex: the engine class Torvex. It derives from the host's BaseIndicator, holds
// the host's settings, lists, mapping and pivot series as the host passed them, and runs each
// engine operation of the core over those objects.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/engine_bar_search.hpp"
#include "core/engine_dispatch.hpp"
#include "core/engine_extension.hpp"
#include "core/engine_intake.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_update.hpp"
#include "core/engine_upkeep.hpp"
#include "python/args.hpp"
#include "python/engine_windows.hpp"
#include "python/entry.hpp"
#include "python/host_class.hpp"
#include "python/module_state.hpp"
#include "python/python_model.hpp"

namespace torvex::dto::torvex {

namespace {

using py::Ref;
using py::SeriesHandle;

// A series element as read, converted to a number only where the engine needs the number:
// the package's own series hold numbers already, host series hand over their objects.
struct RawValue {
  double number = 0.0;
  Ref object;  // null when `number` holds the value
};

// The engine operations that other operations call, by name, and the class's own functions
// for them: an engine object whose method is another function has it overridden.
struct Operations {
  std::array<Ref, core::kEngineOperationCount> name;
  std::array<Ref, core::kEngineOperationCount> own;
};

inline constexpr const char* kOperationNames[core::kEngineOperationCount] = {
    "add_new_snibs_to_pending",
    "sort_kerds_by_end_bar_index",
    "remove_kerd_by_end_bar_index",
    "sort_and_filter_kerds",
    "clear_all_kerd",
    "rebuild_kerd_from_most_recent_snib",
    "extend_kerd_to_first_cross_from_history"};

inline PyObject* call_argument(PyObject* value) {
  return value;
}
inline PyObject* call_argument(const SeriesHandle& series) {
  return series.object.get();
}

// A setting as last read, while no host code has run since: reading it again would run none
// either and give the same value.
struct KeptSetting {
  uint64_t epoch = ~uint64_t{0};  // the model's host epoch at the read; never current at first
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
class EngineModel : public py::PythonModel {
 public:
  EngineModel(py::ModelContext& context, PyObject* engine, const py::ModelClasses* classes,
              const Operations* operations)
      : PythonModel(context, engine, classes), operations_(operations) {
    keep_series_values();
  }
  using PythonModel::number;

  // An operation called by another runs as the engine object's own method when a host
  // subclass or the object itself replaces it; none when the class's own function stands.
  template <core::EngineOperation Op, class... Args>
  std::optional<bool> call_override(const Args&... args) const {
    constexpr auto op = static_cast<std::size_t>(Op);
    host_ran();  // the method's lookup and any override
    Ref method = py::get_attr(engine(), operations_->name[op].get());
    if (PyMethod_Check(method.get()) && PyMethod_GET_SELF(method.get()) == engine() &&
        PyMethod_GET_FUNCTION(method.get()) == operations_->own[op].get())
      return std::nullopt;
    std::array<PyObject*, sizeof...(Args) + 1> argv{call_argument(args)...};
    Ref result =
        Ref::steal(PyObject_Vectorcall(method.get(), argv.data(), sizeof...(Args), nullptr));
    if constexpr (Op == core::EngineOperation::add_new_snibs_to_pending)
      return py::to_flag(result.get());
    else
      return true;
  }

  RawValue raw(const SeriesHandle& series, int64_t offset) const {
    if (series.direct != nullptr) return RawValue{py::series_at(series.direct, offset), Ref()};
    host_ran();
    Ref key = Ref::steal(PyLong_FromLongLong(offset));
    return RawValue{0.0, Ref::steal(PyObject_GetItem(series.object.get(), key.get()))};
  }
  double number(const RawValue& value) const {
    if (!value.object) return value.number;
    if (!py::plain_number(value.object.get())) host_ran();
    return py::to_number(value.object.get());
  }

  // The replay may search the package's own series in place for the next bar that matters:
  // the bars it passes over would be read without effect, and only_body_cross, read at each
  // of them, would be read again unchanged without running host code.
  bool can_find_straddle(const SeriesHandle& close, const SeriesHandle& open,
                         const SeriesHandle& high, const SeriesHandle& low) const {
    if (!close.direct || !open.direct || !high.direct || !low.direct) return false;
    constexpr auto slot = static_cast<std::size_t>(core::Setting::only_body_cross);
    return kept_[slot].epoch == host_epoch();
  }
  // The oldest y in from_y..0 whose bar at offset -y straddles level, or -1; fails as the
  // reads of the bar at -from_y would, in their order.
  int64_t find_straddle(const SeriesHandle& close, const SeriesHandle& open,
                        const SeriesHandle& high, const SeriesHandle& low, double level,
                        int64_t from_y) const {
    for (const SeriesHandle* series : {&close, &open, &high, &low})
      py::series_at(series->direct, -from_y);
    const int64_t count = from_y + 1;
    const auto oldest = [count](const SeriesHandle& series) {
      return series.direct->data + (series.direct->length - count);
    };
    const int64_t found = core::first_straddling_bar(oldest(close), oldest(open), oldest(high),
                                                     oldest(low), count, level);
    return found < 0 ? -1 : from_y - found;
  }

  // The engine's line list, which no operation rebinds, is looked up once per operation; its
  // length and elements are read at each use.
  std::size_t kerd_count() const {
    return static_cast<std::size_t>(py::seq_length(container(kerds().get())));
  }
  Line kerd_at(std::size_t i) const {
    return py::seq_item(container(kerds().get()), static_cast<Py_ssize_t>(i));
  }

  // Moves the last pending pivot to the processed list. It is appended there before it leaves
  // the pending list, so a processed list that refuses it loses nothing.
  void pop_new_snib_to_vip() const {
    Ref pending = attr(engine(), context().new_vip_snibs.get());
    const Py_ssize_t last = py::seq_length(container(pending.get())) - 1;
    Ref pivot = py::seq_item(pending.get(), last);
    Ref processed = attr(engine(), context().vip_snibs.get());
    py::seq_append(container(processed.get()), pivot.get());
    py::seq_pop_last(pending.get());
  }

  // Every setting is read from the settings object at its use, unless it was read plainly
  // (no hook, an exact number) with no host code run since; the engine's
  // `settings` attribute, which no operation rebinds, is looked up once per operation.
  template <core::Setting S>
  core::setting_type<S> setting() const {
    constexpr auto slot = static_cast<std::size_t>(S);
    KeptSetting& kept = kept_[slot];
    if (kept.epoch == host_epoch()) return kept.get<S>();
    if (!settings_) settings_ = attr(engine(), context().settings.get());
    bool plain = false;
    Ref value = attr(settings_.get(), context().setting[slot].get(), plain);
    const core::setting_type<S> result = setting_value<S>(value.get());
    const bool plain_value = core::info(S).kind == core::SettingKind::flag
                                 ? py::plain_flag(value.get())
                                 : py::plain_number(value.get());
    if (plain && plain_value) {
      kept.set<S>(result);
      kept.epoch = host_epoch();
    }
    return result;
  }

 private:
  const Ref& kerds() const {
    if (!kerds_) kerds_ = attr(engine(), context().kerds.get());
    return kerds_;
  }

  const Operations* operations_;
  mutable Ref settings_, kerds_;
  mutable std::array<KeptSetting, core::setting_info.size()> kept_{};
};

// Everything the module keeps; owned through the module state.
struct TorvexModule {
  std::unique_ptr<py::ModelContext> context;
  Ref base_indicator;
  Ref kerd, snib, mavet;  // the record and line classes the engine builds
  Ref torvex_class;
  Ref init_name;  // "__init__"
  py::ModelClasses classes;
  std::unique_ptr<py::WindowResults> window_results;  // the check results' classes and names
  Operations operations;

  int traverse(visitproc visit, void* arg) const;
  void clear();
};

using Holder = py::ModuleHolder<TorvexModule>;

TorvexModule& module_of(PyObject* module) {
  return Holder::of(module);
}

EngineModel model_of(PyObject* module, PyObject* engine) {
  TorvexModule& m = module_of(module);
  return EngineModel(*m.context, engine, &m.classes, &m.operations);
}

// What the window operations (python/engine_windows.hpp) need of the module.
py::WindowBinding windows_of(PyObject* module) {
  TorvexModule& m = module_of(module);
  return py::WindowBinding{*m.context, m.classes, *m.window_results};
}
using WindowMethods = py::WindowMethods<windows_of>;

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyCFunction fast(FastFunction fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

Ref boolean(bool value) {
  return Ref::borrow(value ? Py_True : Py_False);
}

// An operation that takes only the engine: parses (self) and runs `body` on its model.
template <class Body>
PyObject* engine_operation(PyObject* module, const char* name, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return py::guarded([&] {
    std::array<PyObject*, 1> a{};
    py::parse_args({name, {"self"}, 1}, args, nargs, kwnames, a);
    EngineModel model = model_of(module, a[0]);
    body(model);
    return py::none();
  });
}

// ---- Torvex methods (the instance arrives as the first argument)

PyObject* torvex_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{
        "__init__",
        {"self", "settings", "kerds", "vip_snibs", "new_vip_snibs", "mavets", "normal_high_snib",
         "normal_low_snib", "trending_high_snib", "trending_low_snib", "latest_mavets", "close",
         "open", "high", "low", "bar_index", "time", "last_bar_index", "mintick"},
        11};
    std::array<PyObject*, 19> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    TorvexModule& m = module_of(module);
    PyObject* self = a[0];

    // super().__init__(close, open, high, low, bar_index, time, last_bar_index, mintick), with
    // None for the values the caller left out.
    std::array<PyObject*, 8> base_args{};
    for (std::size_t i = 0; i < base_args.size(); ++i)
      base_args[i] = a[11 + i] != nullptr ? a[11 + i] : Py_None;
    Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                         m.torvex_class.get(), self, nullptr));
    Ref base_init = py::get_attr(parent.get(), m.init_name.get());
    Ref ignored = Ref::steal(PyObject_Vectorcall(base_init.get(), base_args.data(), 8, nullptr));

    // The ten engine attributes, in parameter order: the host's own objects.
    const Ref* names[10] = {&m.context->settings,        &m.context->kerds,
                            &m.context->vip_snibs,       &m.context->new_vip_snibs,
                            &m.context->mavets,          &m.context->pivot_series[0],
                            &m.context->pivot_series[1], &m.context->pivot_series[2],
                            &m.context->pivot_series[3], &m.context->latest_mavets};
    for (std::size_t i = 0; i < 10; ++i) py::set_attr(self, names[i]->get(), a[1 + i]);
    return py::none();
  });
}

PyObject* torvex_add_new_snibs_to_pending(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{
        "add_new_snibs_to_pending", {"self", "is_ma_trending", "close_avg_percent"}, 3};
    std::array<PyObject*, 3> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    EngineModel model = model_of(module, a[0]);
    const SeriesHandle trend = model.series_of(Ref::borrow(a[1]));
    return boolean(core::add_new_snibs_to_pending(model, trend, a[2]));
  });
}

PyObject* torvex_add_new_snibs_to_processed_array(PyObject* module, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation(module, "add_new_snibs_to_processed_array", args, nargs, kwnames,
                          [](EngineModel& m) { core::add_new_snibs_to_processed_array(m); });
}

PyObject* torvex_sort_kerds_by_end_bar_index(PyObject* module, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation(module, "sort_kerds_by_end_bar_index", args, nargs, kwnames,
                          [](EngineModel& m) { core::sort_kerds_by_end_bar_index(m); });
}

PyObject* torvex_remove_kerd_by_end_bar_index(PyObject* module, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation(module, "remove_kerd_by_end_bar_index", args, nargs, kwnames,
                          [](EngineModel& m) { core::remove_kerd_by_end_bar_index(m); });
}

PyObject* torvex_extend_kerd_to_first_cross(PyObject* module, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation(module, "extend_kerd_to_first_cross", args, nargs, kwnames,
                          [](EngineModel& m) { core::extend_kerd_to_first_cross(m); });
}

PyObject* torvex_sort_and_filter_kerds(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return engine_operation(module, "sort_and_filter_kerds", args, nargs, kwnames,
                          [](EngineModel& m) { core::sort_and_filter_kerds(m); });
}

PyObject* torvex_clear_all_kerd(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return engine_operation(module, "clear_all_kerd", args, nargs, kwnames,
                          [](EngineModel& m) { core::clear_all_kerd(m); });
}

PyObject* torvex_rebuild_kerd_from_most_recent_snib(PyObject* module, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    // close_avg_percent is accepted and not used: every line takes its pivot's own.
    static const py::Signature sig{
        "rebuild_kerd_from_most_recent_snib", {"self", "close_avg_percent"}, 1};
    std::array<PyObject*, 2> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    EngineModel model = model_of(module, a[0]);
    core::rebuild_kerd_from_most_recent_snib(model);
    return py::none();
  });
}

PyObject* torvex_extend_kerd_to_first_cross_from_history(PyObject* module, PyObject* const* args,
                                                         Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation(module, "extend_kerd_to_first_cross_from_history", args, nargs, kwnames,
                          [](EngineModel& m) { core::extend_kerd_to_first_cross_from_history(m); });
}

PyObject* torvex_update(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{"update", {"self", "is_ma_trending", "close_avg_percent"}, 3};
    std::array<PyObject*, 3> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    EngineModel model = model_of(module, a[0]);
    const SeriesHandle trend = model.series_of(Ref::borrow(a[1]));
    return boolean(core::update(model, trend, a[2]));
  });
}

// ---- tables

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// The class's operations in declaration order. The window operations (update_mavet,
// check_mavet, check_mavet_v3, commit_latest_mavet) stand between the historical extension and
// update, and get_success_by_vvip after update.
PyMethodDef torvex_methods[] = {
    {"__init__", fast(torvex_init), kFast,
     "__init__($module, self, settings, kerds, vip_snibs, new_vip_snibs, mavets, "
     "normal_high_snib, normal_low_snib, trending_high_snib, trending_low_snib, latest_mavets, "
     "close=None, open=None, high=None, low=None, bar_index=None, time=None, "
     "last_bar_index=None, mintick=None)\n--\n\n"
     "Initialise the base indicator with the eight base values, then keep the settings, the "
     "host's lists, mapping and pivot series as given."},
    {"add_new_snibs_to_pending", fast(torvex_add_new_snibs_to_pending), kFast,
     "add_new_snibs_to_pending($module, self, is_ma_trending, close_avg_percent)\n--\n\n"
     "Append a pivot record to new_vip_snibs for each pivot the four pivot series report on "
     "this bar and the filters admit; True when any was appended."},
    {"add_new_snibs_to_processed_array", fast(torvex_add_new_snibs_to_processed_array), kFast,
     "add_new_snibs_to_processed_array($module, self)\n--\n\n"
     "Move every pending pivot to vip_snibs, the last pending one first."},
    {"sort_kerds_by_end_bar_index", fast(torvex_sort_kerds_by_end_bar_index), kFast,
     "sort_kerds_by_end_bar_index($module, self)\n--\n\n"
     "Sort kerds in place by end_bar_index, ascending and stable."},
    {"remove_kerd_by_end_bar_index", fast(torvex_remove_kerd_by_end_bar_index), kFast,
     "remove_kerd_by_end_bar_index($module, self)\n--\n\n"
     "Remove stale lines from the front of kerds, stopping at the first line that is not."},
    {"extend_kerd_to_first_cross", fast(torvex_extend_kerd_to_first_cross), kFast,
     "extend_kerd_to_first_cross($module, self)\n--\n\n"
     "Extend each Kerd object in the list to the first valid cross after extension."},
    {"sort_and_filter_kerds", fast(torvex_sort_and_filter_kerds), kFast,
     "sort_and_filter_kerds($module, self)\n--\n\n"
     "On the last bar, sort kerds by end_bar_index and remove stale lines from the front."},
    {"clear_all_kerd", fast(torvex_clear_all_kerd), kFast,
     "clear_all_kerd($module, self)\n--\n\n"
     "Empty kerds in place."},
    {"rebuild_kerd_from_most_recent_snib", fast(torvex_rebuild_kerd_from_most_recent_snib), kFast,
     "rebuild_kerd_from_most_recent_snib($module, self, close_avg_percent=None)\n--\n\n"
     "Move the pending pivots to vip_snibs and rebuild kerds from all processed pivots, newest "
     "first, by backward merges."},
    {"extend_kerd_to_first_cross_from_history",
     fast(torvex_extend_kerd_to_first_cross_from_history), kFast,
     "extend_kerd_to_first_cross_from_history($module, self)\n--\n\n"
     "Replay the extension rules over the bars since each unchecked line's end."},
    {"update_mavet", fast(WindowMethods::update_mavet), kFast, py::window_docs::update_mavet},
    {"check_mavet", fast(WindowMethods::check_mavet), kFast, py::window_docs::check_mavet},
    {"check_mavet_v3", fast(WindowMethods::check_mavet_v3), kFast, py::window_docs::check_mavet_v3},
    {"commit_latest_mavet", fast(WindowMethods::commit_latest_mavet), kFast,
     py::window_docs::commit_latest_mavet},
    {"update", fast(torvex_update), kFast,
     "update($module, self, is_ma_trending, close_avg_percent)\n--\n\n"
     "Take in this bar's pivots; near the end of the data in draw-from-recent mode, rebuild, "
     "sort, prune and extend the lines. True when a pivot was found."},
    {"get_success_by_vvip", fast(WindowMethods::get_success_by_vvip), kFast,
     py::window_docs::get_success_by_vvip},
};

// `from <module> import <name>` for each name, bound in the module under the same name.
Ref bind_import(PyObject* module, const char* module_name, const char* name) {
  Ref value = py::import_from(module_name, name);
  py::check_status(PyModule_AddObjectRef(module, name, value.get()));
  return value;
}

int exec_module(PyObject* module) {
  return py::guarded_status([&] {
    TorvexModule& m = Holder::create(module);
    m.context = py::ModelContext::create();
    m.init_name = Ref::steal(PyUnicode_InternFromString("__init__"));

    Ref math = Ref::steal(PyImport_ImportModule("math"));
    py::check_status(PyModule_AddObjectRef(module, "math", math.get()));
    bind_import(module, "backtrader", "DataSeries");
    m.base_indicator = bind_import(module, "indicators.common.base_indicator", "BaseIndicator");
    bind_import(module, "settings", "Settings");
    m.kerd = bind_import(module, "kerd", "Kerd");
    m.snib = bind_import(module, "snib", "Snib");
    m.mavet = bind_import(module, "mavet", "Mavet");
    Ref result = bind_import(module, "mavet", "MavetResult");
    Ref failure = bind_import(module, "mavet", "MavetFailure");
    Ref success = bind_import(module, "mavet", "MavetSuccess");
    Ref result_v2 = bind_import(module, "mavet", "MavetResultV2");
    m.window_results =
        py::WindowResults::create(result.get(), failure.get(), success.get(), result_v2.get());
    m.classes = py::ModelClasses{m.kerd.get(), m.snib.get(), m.mavet.get()};

    m.torvex_class = py::make_host_class(
        module, m.base_indicator.get(),
        {"Torvex", "The per-instrument support-and-resistance engine.", torvex_methods});
    py::check_status(PyModule_AddObjectRef(module, "Torvex", m.torvex_class.get()));
    for (std::size_t i = 0; i < m.operations.name.size(); ++i) {
      m.operations.name[i] = Ref::steal(PyUnicode_InternFromString(kOperationNames[i]));
      // Read from the class, an instance method gives back the function it wraps.
      m.operations.own[i] = py::get_attr(m.torvex_class.get(), m.operations.name[i].get());
    }
  });
}

int TorvexModule::traverse(visitproc visit, void* arg) const {
  Py_VISIT(base_indicator.get());
  Py_VISIT(kerd.get());
  Py_VISIT(snib.get());
  Py_VISIT(mavet.get());
  Py_VISIT(torvex_class.get());
  for (const Ref& own : operations.own) Py_VISIT(own.get());
  if (window_results) {
    if (int status = window_results->traverse(visit, arg)) return status;
  }
  return context ? context->traverse(visit, arg) : 0;
}

void TorvexModule::clear() {
  classes = py::ModelClasses{};
  operations = Operations{};
  torvex_class = Ref();
  kerd = snib = mavet = Ref();
  base_indicator = Ref();
  if (window_results) window_results->clear();
  if (context) context->clear();
}

PyModuleDef module_def = Holder::definition<exec_module>(
    "torvex.dto.torvex", "The support-and-resistance engine: the class Torvex.", nullptr);

}  // namespace

}  // namespace torvex::dto::torvex

PyMODINIT_FUNC PyInit_torvex() {
  return PyModuleDef_Init(&torvex::dto::torvex::module_def);
}
