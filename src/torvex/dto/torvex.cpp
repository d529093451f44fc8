// torvex.dto.torvex: the engine class Torvex. It derives from the host's BaseIndicator, holds
// the host's settings, lists, mapping and pivot series as the host passed them, and runs each
// engine operation of the core over those objects.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>

#include "core/engine_extension.hpp"
#include "core/engine_intake.hpp"
#include "core/engine_mavet_checks.hpp"
#include "core/engine_mavet_tracking.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_update.hpp"
#include "core/engine_upkeep.hpp"
#include "python/args.hpp"
#include "python/doc_text.hpp"
#include "python/engine_model.hpp"
#include "python/entry.hpp"
#include "python/host_class.hpp"
#include "python/module_state.hpp"
#include "python/plain_engine_model.hpp"
#include "python/window_model.hpp"

namespace torvex::dto::torvex {

namespace {

using py::EngineModel;
using py::PlainEngineModel;
using py::Ref;
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

// Runs `body` on the model the module's switch names (python/model_switch.hpp): the
// accelerated one (Fast: EngineModel for the engine's line work, WindowModel for the window
// operations), else the plain one.
template <class Fast, class Body>
auto on_model(PyObject* module, PyObject* engine, Body&& body) {
  TorvexModule& m = module_of(module);
#ifndef TORVEX_NO_ACCELERATORS
  if (m.context->accelerated) {
    if constexpr (std::is_same_v<Fast, EngineModel>) {
      EngineModel model(*m.context, engine, &m.classes, &m.operations);
      return body(model);
    } else {
      WindowModel model(*m.context, engine, &m.classes, *m.window_results);
      return body(model);
    }
  }
#endif
  PlainEngineModel model(*m.context, engine, &m.classes, m.operations, *m.window_results);
  return body(model);
}

// __init__(self, the engine attributes, the base values): the base values are optional.
constexpr std::size_t kEngineAttrs = 10;
constexpr std::size_t kFirstEngineAttr = 1;
constexpr std::size_t kFirstBaseValue = kFirstEngineAttr + kEngineAttrs;

// Each method's parameters, for its parser and its docstring alike.
constexpr auto kInit = [] {
  py::Signature<kFirstBaseValue + core::base_value_names.size()> sig{
      "__init__",
      {"self", "settings", "kerds", "vip_snibs", "new_vip_snibs", "mavets", "normal_high_snib",
       "normal_low_snib", "trending_high_snib", "trending_low_snib", "latest_mavets"},
      kFirstBaseValue};
  std::size_t i = kFirstBaseValue;
  for (std::string_view name : core::base_value_names) sig.params[i++] = name.data();
  return sig;
}();
constexpr py::Signature kAddNewSnibsToPending{
    "add_new_snibs_to_pending", {"self", "is_ma_trending", "close_avg_percent"}, 3};
// close_avg_percent is accepted and not used: every line takes its pivot's own.
constexpr py::Signature kRebuild{
    "rebuild_kerd_from_most_recent_snib", {"self", "close_avg_percent"}, 1};
constexpr py::Signature kUpdateMavet{"update_mavet",
                                     {"self", "trap_recover_window_threshold", "search_range",
                                      "low_above_kerd_threshold", "close_avg_percent"},
                                     5};
constexpr py::Signature kCommitLatestMavet{
    "commit_latest_mavet", {"self", "break_kerd_at_price"}, 2};
constexpr py::Signature kCheckMavet{
    "check_mavet",
    {"self", "close_avg_percent", "close_above_kerd_threshold", "trap_recover_window_threshold",
     "signal_window", "close_above_low_threshold", "bar_count_close_above_kerd_threshold"},
    7};
constexpr py::Signature kCheckMavetV3{
    "check_mavet_v3",
    {"self", "close_avg_percent", "close_above_kerd_threshold", "trap_recover_window_threshold",
     "signal_window", "close_above_low_threshold", "close_above_recover_low_threshold",
     "bar_count_close_above_kerd_threshold", "vvip_kerd_min_snib_count"},
    9};
constexpr py::Signature kUpdate{"update", {"self", "is_ma_trending", "close_avg_percent"}, 3};
constexpr py::Signature kGetSuccessByVvip{"get_success_by_vvip", {"self", "successes"}, 2};
constexpr py::Signature<1> kAddNewSnibsToProcessedArray{
    "add_new_snibs_to_processed_array", {"self"}, 1};
constexpr py::Signature<1> kSortKerds{"sort_kerds_by_end_bar_index", {"self"}, 1};
constexpr py::Signature<1> kRemoveKerd{"remove_kerd_by_end_bar_index", {"self"}, 1};
constexpr py::Signature<1> kExtendToFirstCross{"extend_kerd_to_first_cross", {"self"}, 1};
constexpr py::Signature<1> kSortAndFilter{"sort_and_filter_kerds", {"self"}, 1};
constexpr py::Signature<1> kClearAllKerd{"clear_all_kerd", {"self"}, 1};
constexpr py::Signature<1> kExtendFromHistory{
    "extend_kerd_to_first_cross_from_history", {"self"}, 1};

// An operation that takes only the engine: parses (self) and runs `body` on its model.
template <const auto& Sig, class Body>
PyObject* engine_operation(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, Body&& body) {
  return py::guarded([&] {
    const auto a = py::parse<Sig>(args, nargs, kwnames);
    on_model<EngineModel>(module, a["self"], body);
    return py::none();
  });
}

// A check's thresholds by name; the first form has no recover-low threshold nor minimum pivot
// count and leaves them null.
template <const auto& Sig>
core::WindowCheckArgs<PyObject*> thresholds_of(const py::Args<Sig>& a) {
  core::WindowCheckArgs<PyObject*> t{
      .close_avg_percent = a["close_avg_percent"],
      .close_above_kerd_threshold = a["close_above_kerd_threshold"],
      .trap_recover_window_threshold = a["trap_recover_window_threshold"],
      .signal_window = a["signal_window"],
      .close_above_low_threshold = a["close_above_low_threshold"],
      .bar_count_close_above_kerd_threshold = a["bar_count_close_above_kerd_threshold"]};
  if constexpr (py::Args<Sig>::has("vvip_kerd_min_snib_count")) {
    t.close_above_recover_low_threshold = a["close_above_recover_low_threshold"];
    t.vvip_kerd_min_snib_count = a["vvip_kerd_min_snib_count"];
  }
  return t;
}

// ---- Torvex methods (the instance arrives as the first argument)

PyObject* torvex_init(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kInit>(args, nargs, kwnames);
    TorvexModule& m = module_of(module);
    PyObject* self = a["self"];

    // super().__init__(close, open, high, low, bar_index, time, last_bar_index, mintick), with
    // None for the values the caller left out.
    std::array<PyObject*, core::base_value_names.size()> base_args{};
    for (std::size_t i = 0; i < base_args.size(); ++i) {
      PyObject* given = a.values[kFirstBaseValue + i];
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
      py::set_attr(self, names[i]->get(), a.values[kFirstEngineAttr + i]);
    return py::none();
  });
}

PyObject* torvex_add_new_snibs_to_pending(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kAddNewSnibsToPending>(args, nargs, kwnames);
    return on_model<EngineModel>(module, a["self"], [&](auto& model) {
      const auto trend = model.series_of(Ref::borrow(a["is_ma_trending"]));
      return py::from_flag(core::add_new_snibs_to_pending(model, trend, a["close_avg_percent"]));
    });
  });
}

PyObject* torvex_add_new_snibs_to_processed_array(PyObject* module, PyObject* const* args,
                                                  Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation<kAddNewSnibsToProcessedArray>(
      module, args, nargs, kwnames, [](auto& m) { core::add_new_snibs_to_processed_array(m); });
}

PyObject* torvex_sort_kerds_by_end_bar_index(PyObject* module, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation<kSortKerds>(module, args, nargs, kwnames,
                                      [](auto& m) { core::sort_kerds_by_end_bar_index(m); });
}

PyObject* torvex_remove_kerd_by_end_bar_index(PyObject* module, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation<kRemoveKerd>(module, args, nargs, kwnames,
                                       [](auto& m) { core::remove_kerd_by_end_bar_index(m); });
}

PyObject* torvex_extend_kerd_to_first_cross(PyObject* module, PyObject* const* args,
                                            Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation<kExtendToFirstCross>(
      module, args, nargs, kwnames, [](auto& m) { core::extend_kerd_to_first_cross(m); });
}

PyObject* torvex_sort_and_filter_kerds(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return engine_operation<kSortAndFilter>(module, args, nargs, kwnames,
                                          [](auto& m) { core::sort_and_filter_kerds(m); });
}

PyObject* torvex_clear_all_kerd(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return engine_operation<kClearAllKerd>(module, args, nargs, kwnames,
                                         [](auto& m) { core::clear_all_kerd(m); });
}

PyObject* torvex_rebuild_kerd_from_most_recent_snib(PyObject* module, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kRebuild>(args, nargs, kwnames);
    on_model<EngineModel>(module, a["self"],
                          [](auto& model) { core::rebuild_kerd_from_most_recent_snib(model); });
    return py::none();
  });
}

PyObject* torvex_extend_kerd_to_first_cross_from_history(PyObject* module, PyObject* const* args,
                                                         Py_ssize_t nargs, PyObject* kwnames) {
  return engine_operation<kExtendFromHistory>(module, args, nargs, kwnames, [](auto& m) {
    core::extend_kerd_to_first_cross_from_history(m);
  });
}

PyObject* torvex_update_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kUpdateMavet>(args, nargs, kwnames);
    on_model<WindowModel>(module, a["self"], [&](auto& m) {
      core::update_mavet(m, a["trap_recover_window_threshold"], a["search_range"],
                         a["low_above_kerd_threshold"], a["close_avg_percent"]);
    });
    return py::none();
  });
}

PyObject* torvex_commit_latest_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kCommitLatestMavet>(args, nargs, kwnames);
    on_model<WindowModel>(module, a["self"],
                          [&](auto& m) { core::commit_latest_mavet(m, a["break_kerd_at_price"]); });
    return py::none();
  });
}

PyObject* torvex_check_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kCheckMavet>(args, nargs, kwnames);
    return on_model<WindowModel>(module, a["self"],
                                 [&](auto& m) { return core::check_mavet(m, thresholds_of(a)); });
  });
}

PyObject* torvex_check_mavet_v3(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kCheckMavetV3>(args, nargs, kwnames);
    return on_model<WindowModel>(
        module, a["self"], [&](auto& m) { return core::check_mavet_v3(m, thresholds_of(a)); });
  });
}

PyObject* torvex_update(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kUpdate>(args, nargs, kwnames);
    return on_model<EngineModel>(module, a["self"], [&](auto& model) {
      const auto trend = model.series_of(Ref::borrow(a["is_ma_trending"]));
      return py::from_flag(core::update(model, trend, a["close_avg_percent"]));
    });
  });
}

PyObject* torvex_get_success_by_vvip(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kGetSuccessByVvip>(args, nargs, kwnames);
    return on_model<WindowModel>(module, a["self"], [&](auto& m) {
      const Ref successes = Ref::borrow(a["successes"]);
      auto chosen = core::get_success_by_vvip(m, successes);
      return chosen ? std::move(*chosen) : py::none();
    });
  });
}

// ---- tables

// The class's operations in declaration order.
PyMethodDef torvex_methods[] = {
    py::method<kInit,
               "Initialise the base indicator with the eight base values, then keep the "
               "settings, the host's lists, mapping and pivot series as given.">(
        py::fast(torvex_init)),
    py::method<kAddNewSnibsToPending,
               "Append a pivot record to new_vip_snibs for each pivot the four pivot series "
               "report on this bar and the filters admit; True when any was appended.">(
        py::fast(torvex_add_new_snibs_to_pending)),
    py::method<kAddNewSnibsToProcessedArray,
               "Move every pending pivot to vip_snibs, the last pending one first.">(
        py::fast(torvex_add_new_snibs_to_processed_array)),
    py::method<kSortKerds, "Sort kerds in place by end_bar_index, ascending and stable.">(
        py::fast(torvex_sort_kerds_by_end_bar_index)),
    py::method<
        kRemoveKerd,
        "Remove stale lines from the front of kerds, stopping at the first line that is not.">(
        py::fast(torvex_remove_kerd_by_end_bar_index)),
    py::method<kExtendToFirstCross,
               "Extend each Kerd object in the list to the first valid cross after extension.">(
        py::fast(torvex_extend_kerd_to_first_cross)),
    py::method<
        kSortAndFilter,
        "On the last bar, sort kerds by end_bar_index and remove stale lines from the front.">(
        py::fast(torvex_sort_and_filter_kerds)),
    py::method<kClearAllKerd, "Empty kerds in place.">(py::fast(torvex_clear_all_kerd)),
    py::method<kRebuild,
               "Move the pending pivots to vip_snibs and rebuild kerds from all processed "
               "pivots, newest first, by backward merges.">(
        py::fast(torvex_rebuild_kerd_from_most_recent_snib)),
    py::method<kExtendFromHistory,
               "Replay the extension rules over the bars since each unchecked line's end.">(
        py::fast(torvex_extend_kerd_to_first_cross_from_history)),
    py::method<kUpdateMavet,
               "Open a window on every line the current bar breaks, then drop expired windows "
               "from the front of mavets.">(py::fast(torvex_update_mavet)),
    py::method<kCheckMavet,
               "Judge each waiting window once; report and commit the first that passes, as a "
               "MavetResult.">(py::fast(torvex_check_mavet)),
    py::method<kCheckMavetV3,
               "Track and judge the recoveries of the open windows; return a MavetResultV2 "
               "with the best success of the bar, else its last failure.">(
        py::fast(torvex_check_mavet_v3)),
    py::method<kCommitLatestMavet,
               "Record the current bar index under round_to_mintick(break_kerd_at_price) in "
               "latest_mavets.">(py::fast(torvex_commit_latest_mavet)),
    py::method<kUpdate,
               "Take in this bar's pivots; near the end of the data in draw-from-recent mode, "
               "rebuild, sort, prune and extend the lines. True when a pivot was found.">(
        py::fast(torvex_update)),
    py::method<
        kGetSuccessByVvip,
        "The first success whose is_vvip_signal is true, else the first one; None when empty.">(
        py::fast(torvex_get_success_by_vvip)),
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
    // The package's own records among them, known by identity from here on.
    for (PyObject* cls :
         {m.snib.get(), m.mavet.get(), result.get(), failure.get(), success.get(), result_v2.get()})
      m.context->own_records.adopt(cls);
    m.classes = py::ModelClasses{m.kerd.get(), m.snib.get(), m.mavet.get()};

    m.torvex_class = py::make_host_class(
        module, m.base_indicator.get(),
        {"Torvex", "The per-instrument support-and-resistance engine.", torvex_methods});
    py::check_status(PyModule_AddObjectRef(module, "Torvex", m.torvex_class.get()));
    // Whether the operations run on the accelerated model (python/model_switch.hpp).
    py::check_status(
        PyModule_AddObjectRef(module, "_accelerated", py::bool_object(m.context->accelerated)));
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
