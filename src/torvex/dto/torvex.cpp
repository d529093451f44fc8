// torvex.dto.torvex: the engine class Torvex. It derives from the host's BaseIndicator, holds
// the host's settings, lists, mapping and pivot series as the host passed them, and runs each
// engine operation of the core over those objects.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/engine_extension.hpp"
#include "core/engine_intake.hpp"
#include "core/engine_mavet_checks.hpp"
#include "core/engine_mavet_tracking.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_update.hpp"
#include "core/engine_upkeep.hpp"
#include "python/args.hpp"
#include "python/engine_model.hpp"
#include "python/entry.hpp"
#include "python/host_class.hpp"
#include "python/module_state.hpp"
#include "python/window_model.hpp"

namespace torvex::dto::torvex {

namespace {

using py::EngineModel;
using py::Ref;
using py::SeriesHandle;
using py::WindowModel;

// Everything the module keeps; owned through the module state.
struct TorvexModule {
  std::unique_ptr<py::ModelContext> context;
  Ref base_indicator;
  Ref kerd, snib, mavet;  // the record and line classes the engine builds
  Ref torvex_class;
  Ref str_init;  // "__init__"
  py::ModelClasses classes;
  std::unique_ptr<py::WindowResults> window_results;  // the check results' classes and names
  py::EngineOperations operations;

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

WindowModel window_model_of(PyObject* module, PyObject* engine) {
  TorvexModule& m = module_of(module);
  return WindowModel(*m.context, engine, &m.classes, *m.window_results);
}

// An operation that takes only the engine: parses (self) and runs `body` on its model.
template <class Body>
PyObject* engine_operation(PyObject* module, const char* name, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return py::guarded([&] {
    std::array<PyObject*, 1> a{};
    py::parse_args(py::Signature{name, {"self"}, 1}, args, nargs, kwnames, a);
    EngineModel model = model_of(module, a[0]);
    body(model);
    return py::none();
  });
}

// ---- Torvex methods (the instance arrives as the first argument)

// __init__(self, the engine attributes, the base values): the base values are optional.
constexpr std::size_t kEngineAttrs = 10;
constexpr std::size_t kFirstEngineAttr = 1;
constexpr std::size_t kFirstBaseValue = kFirstEngineAttr + kEngineAttrs;

PyObject* torvex_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{
        "__init__",
        {"self", "settings", "kerds", "vip_snibs", "new_vip_snibs", "mavets", "normal_high_snib",
         "normal_low_snib", "trending_high_snib", "trending_low_snib", "latest_mavets", "close",
         "open", "high", "low", "bar_index", "time", "last_bar_index", "mintick"},
        kFirstBaseValue};
    static_assert(std::size(sig.params) == kFirstBaseValue + core::base_value_names.size());
    std::array<PyObject*, std::size(sig.params)> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    TorvexModule& m = module_of(module);
    PyObject* self = a[0];

    // super().__init__(close, open, high, low, bar_index, time, last_bar_index, mintick), with
    // None for the values the caller left out.
    std::array<PyObject*, core::base_value_names.size()> base_args{};
    for (std::size_t i = 0; i < base_args.size(); ++i) {
      PyObject* given = a[kFirstBaseValue + i];
      base_args[i] = given != nullptr ? given : Py_None;
    }
    Ref parent = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                         m.torvex_class.get(), self, nullptr));
    Ref base_init = py::get_attr(parent.get(), m.str_init.get());
    Ref ignored = Ref::steal(
        PyObject_Vectorcall(base_init.get(), base_args.data(), base_args.size(), nullptr));

    // The engine attributes, in parameter order: the host's own objects.
    const py::ModelContext& c = *m.context;
    const Ref* names[kEngineAttrs] = {&c.str_settings,        &c.str_kerds,
                                      &c.str_vip_snibs,       &c.str_new_vip_snibs,
                                      &c.str_mavets,          &c.str_pivot_series[0],
                                      &c.str_pivot_series[1], &c.str_pivot_series[2],
                                      &c.str_pivot_series[3], &c.str_latest_mavets};
    for (std::size_t i = 0; i < kEngineAttrs; ++i)
      py::set_attr(self, names[i]->get(), a[kFirstEngineAttr + i]);
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
    return py::from_flag(core::add_new_snibs_to_pending(model, trend, a[2]));
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

PyObject* torvex_update_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{"update_mavet",
                                   {"self", "trap_recover_window_threshold", "search_range",
                                    "low_above_kerd_threshold", "close_avg_percent"},
                                   5};
    std::array<PyObject*, 5> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    WindowModel m = window_model_of(module, a[0]);
    core::update_mavet(m, a[1], a[2], a[3], a[4]);
    return py::none();
  });
}

PyObject* torvex_commit_latest_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{"commit_latest_mavet", {"self", "break_kerd_at_price"}, 2};
    std::array<PyObject*, 2> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    WindowModel m = window_model_of(module, a[0]);
    core::commit_latest_mavet(m, a[1]);
    return py::none();
  });
}

PyObject* torvex_check_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{
        "check_mavet",
        {"self", "close_avg_percent", "close_above_kerd_threshold", "trap_recover_window_threshold",
         "signal_window", "close_above_low_threshold", "bar_count_close_above_kerd_threshold"},
        7};
    std::array<PyObject*, 7> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    core::WindowCheckArgs<PyObject*> thresholds;
    thresholds.close_avg_percent = a[1];
    thresholds.close_above_kerd_threshold = a[2];
    thresholds.trap_recover_window_threshold = a[3];
    thresholds.signal_window = a[4];
    thresholds.close_above_low_threshold = a[5];
    thresholds.bar_count_close_above_kerd_threshold = a[6];
    WindowModel m = window_model_of(module, a[0]);
    return core::check_mavet(m, thresholds);
  });
}

PyObject* torvex_check_mavet_v3(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{
        "check_mavet_v3",
        {"self", "close_avg_percent", "close_above_kerd_threshold", "trap_recover_window_threshold",
         "signal_window", "close_above_low_threshold", "close_above_recover_low_threshold",
         "bar_count_close_above_kerd_threshold", "vvip_kerd_min_snib_count"},
        9};
    std::array<PyObject*, 9> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    const core::WindowCheckArgs<PyObject*> thresholds{a[1], a[2], a[3], a[4],
                                                      a[5], a[6], a[7], a[8]};
    WindowModel m = window_model_of(module, a[0]);
    return core::check_mavet_v3(m, thresholds);
  });
}

PyObject* torvex_update(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{"update", {"self", "is_ma_trending", "close_avg_percent"}, 3};
    std::array<PyObject*, 3> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    EngineModel model = model_of(module, a[0]);
    const SeriesHandle trend = model.series_of(Ref::borrow(a[1]));
    return py::from_flag(core::update(model, trend, a[2]));
  });
}

PyObject* torvex_get_success_by_vvip(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&] {
    static const py::Signature sig{"get_success_by_vvip", {"self", "successes"}, 2};
    std::array<PyObject*, 2> a{};
    py::parse_args(sig, args, nargs, kwnames, a);
    WindowModel m = window_model_of(module, a[0]);
    const Ref successes = Ref::borrow(a[1]);
    auto chosen = core::get_success_by_vvip(m, successes);
    return chosen ? std::move(*chosen) : py::none();
  });
}

// ---- tables

// The class's operations in declaration order.
PyMethodDef torvex_methods[] = {
    {"__init__", py::fast(torvex_init), py::kFastCall,
     "__init__($module, self, settings, kerds, vip_snibs, new_vip_snibs, mavets, "
     "normal_high_snib, normal_low_snib, trending_high_snib, trending_low_snib, latest_mavets, "
     "close=None, open=None, high=None, low=None, bar_index=None, time=None, "
     "last_bar_index=None, mintick=None)\n--\n\n"
     "Initialise the base indicator with the eight base values, then keep the settings, the "
     "host's lists, mapping and pivot series as given."},
    {"add_new_snibs_to_pending", py::fast(torvex_add_new_snibs_to_pending), py::kFastCall,
     "add_new_snibs_to_pending($module, self, is_ma_trending, close_avg_percent)\n--\n\n"
     "Append a pivot record to new_vip_snibs for each pivot the four pivot series report on "
     "this bar and the filters admit; True when any was appended."},
    {"add_new_snibs_to_processed_array", py::fast(torvex_add_new_snibs_to_processed_array),
     py::kFastCall,
     "add_new_snibs_to_processed_array($module, self)\n--\n\n"
     "Move every pending pivot to vip_snibs, the last pending one first."},
    {"sort_kerds_by_end_bar_index", py::fast(torvex_sort_kerds_by_end_bar_index), py::kFastCall,
     "sort_kerds_by_end_bar_index($module, self)\n--\n\n"
     "Sort kerds in place by end_bar_index, ascending and stable."},
    {"remove_kerd_by_end_bar_index", py::fast(torvex_remove_kerd_by_end_bar_index), py::kFastCall,
     "remove_kerd_by_end_bar_index($module, self)\n--\n\n"
     "Remove stale lines from the front of kerds, stopping at the first line that is not."},
    {"extend_kerd_to_first_cross", py::fast(torvex_extend_kerd_to_first_cross), py::kFastCall,
     "extend_kerd_to_first_cross($module, self)\n--\n\n"
     "Extend each Kerd object in the list to the first valid cross after extension."},
    {"sort_and_filter_kerds", py::fast(torvex_sort_and_filter_kerds), py::kFastCall,
     "sort_and_filter_kerds($module, self)\n--\n\n"
     "On the last bar, sort kerds by end_bar_index and remove stale lines from the front."},
    {"clear_all_kerd", py::fast(torvex_clear_all_kerd), py::kFastCall,
     "clear_all_kerd($module, self)\n--\n\n"
     "Empty kerds in place."},
    {"rebuild_kerd_from_most_recent_snib", py::fast(torvex_rebuild_kerd_from_most_recent_snib),
     py::kFastCall,
     "rebuild_kerd_from_most_recent_snib($module, self, close_avg_percent=None)\n--\n\n"
     "Move the pending pivots to vip_snibs and rebuild kerds from all processed pivots, newest "
     "first, by backward merges."},
    {"extend_kerd_to_first_cross_from_history",
     py::fast(torvex_extend_kerd_to_first_cross_from_history), py::kFastCall,
     "extend_kerd_to_first_cross_from_history($module, self)\n--\n\n"
     "Replay the extension rules over the bars since each unchecked line's end."},
    {"update_mavet", py::fast(torvex_update_mavet), py::kFastCall,
     "update_mavet($module, self, trap_recover_window_threshold, search_range, "
     "low_above_kerd_threshold, close_avg_percent)\n--\n\n"
     "Open a window on every line the current bar breaks, then drop expired windows from the "
     "front of mavets."},
    {"check_mavet", py::fast(torvex_check_mavet), py::kFastCall,
     "check_mavet($module, self, close_avg_percent, close_above_kerd_threshold, "
     "trap_recover_window_threshold, signal_window, close_above_low_threshold, "
     "bar_count_close_above_kerd_threshold)\n--\n\n"
     "Judge each waiting window once; report and commit the first that passes, as a "
     "MavetResult."},
    {"check_mavet_v3", py::fast(torvex_check_mavet_v3), py::kFastCall,
     "check_mavet_v3($module, self, close_avg_percent, close_above_kerd_threshold, "
     "trap_recover_window_threshold, signal_window, close_above_low_threshold, "
     "close_above_recover_low_threshold, bar_count_close_above_kerd_threshold, "
     "vvip_kerd_min_snib_count)\n--\n\n"
     "Track and judge the recoveries of the open windows; return a MavetResultV2 with the best "
     "success of the bar, else its last failure."},
    {"commit_latest_mavet", py::fast(torvex_commit_latest_mavet), py::kFastCall,
     "commit_latest_mavet($module, self, break_kerd_at_price)\n--\n\n"
     "Record the current bar index under round_to_mintick(break_kerd_at_price) in "
     "latest_mavets."},
    {"update", py::fast(torvex_update), py::kFastCall,
     "update($module, self, is_ma_trending, close_avg_percent)\n--\n\n"
     "Take in this bar's pivots; near the end of the data in draw-from-recent mode, rebuild, "
     "sort, prune and extend the lines. True when a pivot was found."},
    {"get_success_by_vvip", py::fast(torvex_get_success_by_vvip), py::kFastCall,
     "get_success_by_vvip($module, self, successes)\n--\n\n"
     "The first success whose is_vvip_signal is true, else the first one; None when empty."},
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
    m.str_init = py::intern("__init__");

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
      m.operations.name[i] = py::intern(py::kEngineOperationNames[i]);
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
  operations = py::EngineOperations{};
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
