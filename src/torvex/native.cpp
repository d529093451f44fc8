// torvex.native: the native batch path. Hosts hand over plain data (lists of floats, dicts for
// lines and bars); the same core algorithms run on the native object model and plain results
// come back. It also lets tests compare the two object models on identical inputs.
//
// A line is a dict with the line attributes and its base values bar_index and mintick
// (snib_values a list of numbers; the optional attributes default as in Kerd). Bars are a dict
// with lists "close" and "open", oldest first, the last element the current bar.
#include <array>
#include <span>
#include <string_view>
#include <vector>

#include "core/engine_mavet_host_loop.hpp"
#include "core/engine_runner.hpp"
#include "core/kerd.hpp"
#include "core/native_model.hpp"
#include "python/args.hpp"
#include "python/doc_text.hpp"
#include "python/entry.hpp"
#include "python/gc_pause.hpp"
#include "python/live_inputs_type.hpp"
#include "python/live_stream_type.hpp"
#include "python/module_state.hpp"
#include "python/native_records.hpp"
#include "python/native_windows.hpp"
#include "python/python_model.hpp"  // read_numbers

namespace torvex::native {

namespace {

using core::KerdAttr;
using py::Ref;

// The setting names, interned once: every batch call reads each of them.
struct NativeModule {
  std::array<Ref, core::setting_info.size()> setting_names;

  int traverse(visitproc, void*) const { return 0; }  // strings only
  void clear() {
    for (Ref& name : setting_names) name = Ref();
  }
};

using Holder = py::ModuleHolder<NativeModule>;

// The value under key, or null when absent.
PyObject* lookup(PyObject* dict, const char* key) {
  if (!PyDict_Check(dict)) {
    PyErr_Format(PyExc_TypeError, "expected a dict, not %.200s", Py_TYPE(dict)->tp_name);
    throw py::PyError{};
  }
  PyObject* value = PyDict_GetItemString(dict, key);  // borrowed
  if (value == nullptr && PyErr_Occurred()) throw py::PyError{};
  return value;
}

PyObject* require(PyObject* dict, const char* key) {
  PyObject* value = lookup(dict, key);
  if (value == nullptr) {
    // As a dict raises it: the key itself is the error's argument.
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (name) PyErr_SetObject(PyExc_KeyError, name.get());
    throw py::PyError{};
  }
  return value;
}

template <class T>
T read(PyObject* dict, const char* key, T fallback) {
  PyObject* value = lookup(dict, key);
  if (value == nullptr) return fallback;
  if constexpr (std::is_same_v<T, int64_t>)
    return py::to_index(value);
  else
    return py::to_number(value);
}

// The line's base values, then its attributes in table order: the required ones must be
// there, the optional ones keep their defaults when absent.
core::Kerd line_from(PyObject* dict, const core::Bars* bars) {
  core::Kerd k;
  k.bars = bars;
  k.bar_index = read<int64_t>(dict, "bar_index", 0);
  k.last_bar_index = read<int64_t>(dict, "last_bar_index", 0);
  k.mintick = read<double>(dict, "mintick", 0.0);
  core::for_each_kerd_attr([&]<KerdAttr A>() {
    constexpr core::AttrInfo info = core::info(A);
    const char* key = info.name.data();
    if constexpr (static_cast<std::size_t>(A) < core::kKerdRequiredAttrs) {
      PyObject* value = require(dict, key);
      if constexpr (info.kind == core::ValueKind::list) {
        std::vector<double> values;
        py::read_numbers(value, values);
        k.field<A>() = values;
      } else {
        k.field<A>() = py::to_value<info.kind>(value);
      }
    } else if (PyObject* value = lookup(dict, key)) {
      k.field<A>() = py::to_value<info.kind>(value);
    }
  });
  return k;
}

// Bars held for one call: the arrays and the series views over them.
struct BarData {
  std::vector<double> close, open;
  core::Bars bars;

  explicit BarData(PyObject* dict) {
    if (dict != Py_None) {
      py::read_numbers(require(dict, "close"), close);
      py::read_numbers(require(dict, "open"), open);
    }
    bars.close = {close.data(), static_cast<int64_t>(close.size())};
    bars.open = {open.data(), static_cast<int64_t>(open.size())};
  }
};

// A native model over no engine: only the line operations are used.
struct LineModel {
  core::EngineState state;
  core::NativeModel model{state};
};

// The two lines a call compares or merges, read from their dicts in order, and a model.
struct LinePair : LineModel {
  core::Kerd line, other;
  LinePair(PyObject* first, PyObject* second, const core::Bars* bars = nullptr)
      : line(line_from(first, bars)), other(line_from(second, bars)) {}
};

double number(PyObject* value) {
  return py::to_number(value);
}

// Each function's parameters, for its parser and its docstring alike.
constexpr py::Signature kCalculateWeightedKerdValue{
    "calculate_weighted_kerd_value",
    {"snib_values", "last_snib_weight", "second_last_snib_weight", "snib_weight"},
    4};
constexpr py::Signature kRoundToMintick{"round_to_mintick", {"line", "price"}, 2};
constexpr py::Signature kNotEqual{"not_equal", {"line", "target"}, 2};
constexpr py::Signature kOverlap{"overlap", {"line", "target", "threshold"}, 3};
constexpr py::Signature kIsKerdBarCrossesViolatedIfMerged{
    "is_kerd_bar_crosses_violated_if_merged",
    {"bars", "line", "end_kerd", "bar_cross_threshold", "last_snib_weight",
     "second_last_snib_weight", "snib_weight", "current_cross_count"},
    8};
constexpr py::Signature kIsKerdLengthPassedIfMerged{
    "is_kerd_length_passed_if_merged", {"line", "end_kerd", "length_limit"}, 3};
constexpr py::Signature kMerge{
    "merge",
    {"line", "target", "last_snib_weight", "second_last_snib_weight", "snib_weight", "backward"},
    6};
constexpr py::Signature kRunEngine{
    "run_engine", {"market", "settings", "mintick", "close_avg_percent"}, 4};

PyObject* calculate_weighted_kerd_value(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kCalculateWeightedKerdValue>(args, nargs, kwnames);
    std::vector<double> values;
    py::read_numbers(a["snib_values"], values);
    LineModel lm;
    return py::from_number(core::calculate_weighted_kerd_value(
        lm.model, values, number(a["last_snib_weight"]), number(a["second_last_snib_weight"]),
        number(a["snib_weight"])));
  });
}

PyObject* round_to_mintick(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kRoundToMintick>(args, nargs, kwnames);
    core::Kerd line = line_from(a["line"], nullptr);
    LineModel lm;
    return py::from_number(core::round_to_mintick(lm.model, &line, number(a["price"])));
  });
}

PyObject* not_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kNotEqual>(args, nargs, kwnames);
    LinePair p(a["line"], a["target"]);
    return py::from_flag(core::not_equal(p.model, &p.line, &p.other));
  });
}

PyObject* overlap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kOverlap>(args, nargs, kwnames);
    LinePair p(a["line"], a["target"]);
    return py::from_flag(core::overlap(p.model, &p.line, &p.other, number(a["threshold"])));
  });
}

PyObject* crosses_violated(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kIsKerdBarCrossesViolatedIfMerged>(args, nargs, kwnames);
    BarData bars(a["bars"]);
    LinePair p(a["line"], a["end_kerd"], &bars.bars);
    return py::from_flag(core::is_kerd_bar_crosses_violated_if_merged(
        p.model, &p.line, &p.other, number(a["bar_cross_threshold"]), number(a["last_snib_weight"]),
        number(a["second_last_snib_weight"]), number(a["snib_weight"]),
        number(a["current_cross_count"])));
  });
}

PyObject* length_passed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kIsKerdLengthPassedIfMerged>(args, nargs, kwnames);
    LinePair p(a["line"], a["end_kerd"]);
    return py::from_flag(core::is_kerd_length_passed_if_merged(p.model, &p.line, &p.other,
                                                               number(a["length_limit"])));
  });
}

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kMerge>(args, nargs, kwnames);
    LinePair p(a["line"], a["target"]);
    core::merge(p.model, &p.line, &p.other, number(a["last_snib_weight"]),
                number(a["second_last_snib_weight"]), number(a["snib_weight"]),
                py::to_flag(a["backward"]));
    return py::line_dict(p.line);
  });
}

// ---- the engine over whole arrays

// The settings the engine reads, taken once from an object's attributes in table order.
core::Settings settings_from(PyObject* module, PyObject* obj) {
  return py::engine_settings_from(obj, Holder::of(module).setting_names.data());
}

// A market handed over as a dict of lists, oldest bar first, and the list of each bar's close
// average percentage: every column must have one value per bar.
struct MarketData {
  core::MarketColumns columns;
  std::vector<double> close_avg_percent;
  core::MarketArrays market;  // views of columns

  MarketData(PyObject* dict, PyObject* percents) {
    for (std::size_t i = 0; i < core::market_column_names.size(); ++i)
      py::read_numbers(require(dict, core::market_column_names[i].data()), columns.column(i));
    py::read_numbers(percents, close_avg_percent);
    for (std::size_t i = 0; i < core::market_column_names.size(); ++i) {
      if (columns.column(i).size() != close_avg_percent.size()) {
        PyErr_SetString(PyExc_ValueError, "every market column needs one value per bar");
        throw py::PyError{};
      }
    }
    market = columns.arrays();
  }
  MarketData(const MarketData&) = delete;
  MarketData& operator=(const MarketData&) = delete;
};

// run_engine(market, settings, mintick, close_avg_percent): update on every bar of the market
// in turn; after each bar (found, lines, processed pivot count, pending pivot count).
PyObject* run_engine(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guarded([&] {
    const auto a = py::parse<kRunEngine>(args, nargs, kwnames);
    const MarketData data(a["market"], a["close_avg_percent"]);
    core::NativeEngineRunner runner(data.market, settings_from(module, a["settings"]),
                                    py::to_number(a["mintick"]));
    const py::GcPause pause;
    Ref out = Ref::steal(PyList_New(0));
    for (std::size_t bar = 0; bar < data.close_avg_percent.size(); ++bar) {
      const bool found = runner.update_at(bar, data.close_avg_percent[bar]);
      Ref lines = Ref::steal(PyList_New(0));
      for (const core::Kerd& kerd : runner.kerds())
        py::check_status(PyList_Append(lines.get(), py::line_dict(kerd).get()));
      Ref step = Ref::steal(Py_BuildValue("(OOnn)", py::bool_object(found), lines.get(),
                                          static_cast<Py_ssize_t>(runner.vip_snibs().size()),
                                          static_cast<Py_ssize_t>(runner.new_vip_snibs().size())));
      py::check_status(PyList_Append(out.get(), step.get()));
    }
    return out;
  });
}

// The window loops' parameters.
constexpr py::Signature<8> window_loop_signature(const char* name) {
  return {name,
          {"market", "settings", "mintick", "close_avg_percent", "thresholds", "form", "all_bars",
           "live"},
          5};
}
constexpr auto kRunWindowLoop = window_loop_signature("run_window_loop");
constexpr auto kRunHistory = window_loop_signature("run_history");
// form=3, all_bars=False, live=False
constexpr auto kWindowLoopDefault = [](py::TextWriter& w, std::size_t i) {
  w << (i == py::Args<kRunWindowLoop>::Name("form").index() ? "3" : "False");
};

// The window loops' shared entry: parses (market, settings, mintick, close_avg_percent,
// thresholds, form=3, all_bars=False, live=False), makes the runner over the market (in the
// live view with `live`) and hands both to `loop`, which returns the result.
template <const auto& Sig, class Loop>
PyObject* window_loop_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Loop loop) {
  return py::guarded([&] {
    const auto a = py::parse<Sig>(args, nargs, kwnames);
    const MarketData data(a["market"], a["close_avg_percent"]);
    const bool live = a["live"] != nullptr && py::to_flag(a["live"]);
    core::NativeEngineRunner runner(data.market, settings_from(module, a["settings"]),
                                    py::to_number(a["mintick"]), live);
    Ref form = a["form"] != nullptr ? Ref::borrow(a["form"]) : Ref::steal(PyLong_FromLong(3));
    const bool all_bars = a["all_bars"] != nullptr && py::to_flag(a["all_bars"]);
    const py::GcPause pause;
    return loop(runner, data.close_avg_percent, a["thresholds"], form.get(), all_bars);
  });
}

// run_window_loop(market, settings, mintick, close_avg_percent, thresholds, form=3,
// all_bars=False): a host's window loop on every bar (update, update_mavet, the check of `form`,
// the commit of a signal); with all_bars also the host's line work (the move of new pivots and
// the rebuild after a bar's update found one, the extension to the first cross on every bar).
PyObject* run_window_loop(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return window_loop_entry<kRunWindowLoop>(module, args, nargs, kwnames,
                                           py::run_native_window_loop);
}

// run_history(...): the same loop, handing back only what a run keeps: (outcomes as
// run_native_outcomes gives them, the lines at the end as dicts, the pivots, the processed then
// the pending, as (bar_index_at_pivot, price, is_high, is_trending)).
PyObject* run_history(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return window_loop_entry<kRunHistory>(
      module, args, nargs, kwnames,
      [](core::NativeEngineRunner& runner, std::span<const double> close_avg_percent,
         PyObject* thresholds, PyObject* form, bool all_bars) {
        Ref outcomes =
            py::run_native_outcomes(runner, close_avg_percent, thresholds, form, all_bars);
        Ref lines = Ref::steal(PyList_New(0));
        for (const core::Kerd& kerd : runner.kerds())
          py::check_status(PyList_Append(lines.get(), py::line_dict(kerd).get()));
        Ref pivots = Ref::steal(PyList_New(0));
        for (const auto* list : {&runner.vip_snibs(), &runner.new_vip_snibs()}) {
          for (const core::Snib& snib : *list)
            py::check_status(PyList_Append(pivots.get(), py::pivot_tuple(snib).get()));
        }
        return Ref::steal(PyTuple_Pack(3, outcomes.get(), lines.get(), pivots.get()));
      });
}

PyMethodDef functions[] = {
    py::method<kCalculateWeightedKerdValue, "The weighted line value of a list of numbers.", false>(
        py::fast(calculate_weighted_kerd_value)),
    py::method<kRoundToMintick, "price rounded to the line's mintick.", false>(
        py::fast(round_to_mintick)),
    py::method<kNotEqual, "Whether the two lines differ in all six compared attributes.", false>(
        py::fast(not_equal)),
    py::method<kOverlap, "Whether target's level lies in line's band.", false>(py::fast(overlap)),
    py::method<kIsKerdBarCrossesViolatedIfMerged,
               "The merge crossing test over the bars' close and open lists.", false>(
        py::fast(crosses_violated)),
    py::method<kIsKerdLengthPassedIfMerged, "The merge length test.", false>(
        py::fast(length_passed)),
    py::method<kMerge, "The line after merging target into it, as a new dict.", false>(
        py::fast(merge)),
    py::method<kRunEngine,
               "Run the engine's update on every bar of a market given as lists (close, open, "
               "high, low, time, the four pivot series and is_ma_trending); after each bar a tuple "
               "(found, lines as dicts, processed pivot count, pending pivot count).",
               false>(py::fast(run_engine)),
    py::method<kRunWindowLoop,
               "Run a host's window loop on every bar of a market given as in run_engine: update, "
               "update_mavet, check_mavet (form 1) or check_mavet_v3 (form 3) and the commit of "
               "each signal, with the window thresholds read from thresholds' attributes. With "
               "all_bars, after update the host's line work too: add_new_snibs_to_processed_array "
               "and rebuild_kerd_from_most_recent_snib on a bar where update found a pivot, then "
               "extend_kerd_to_first_cross on every bar. With live, last_bar_index is each "
               "bar's own index before its update (the live view); otherwise the market's last "
               "bar (the end view). Returns ([(result, windows) per bar], "
               "latest_mavets) as plain tuples and a dict.",
               false, kWindowLoopDefault>(py::fast(run_window_loop)),
    py::method<kRunHistory,
               "Run the window loop of run_window_loop over the whole market and hand back what a "
               "run keeps: ([(bar, result)] on the bars with a signal or a failure, the lines at "
               "the end as dicts, the pivots (processed, then pending) as (bar_index_at_pivot, "
               "price, is_high, is_trending)).",
               false, kWindowLoopDefault>(py::fast(run_history)),
    {nullptr, nullptr, 0, nullptr},
};

// SETTINGS: ((name, kind), ...) of every setting the engine reads, kind "flag", "count" or
// "number", in table order; MARKET_COLUMNS: the names of a market's columns, in table order;
// WINDOW_THRESHOLDS: the names of the thresholds the window loops read, in the order read.
int exec_module(PyObject* module) {
  return py::guarded_status([&] {
    NativeModule& m = Holder::create(module);
    for (std::size_t i = 0; i < core::setting_info.size(); ++i)
      m.setting_names[i] = py::intern(core::setting_info[i].name);
    constexpr const char* kinds[] = {"flag", "count", "number"};
    Ref table = Ref::steal(PyTuple_New(core::setting_info.size()));
    for (std::size_t i = 0; i < core::setting_info.size(); ++i) {
      const core::SettingInfo& setting = core::setting_info[i];
      PyTuple_SET_ITEM(
          table.get(), static_cast<Py_ssize_t>(i),
          Py_BuildValue("(s#s)", setting.name.data(), static_cast<Py_ssize_t>(setting.name.size()),
                        kinds[static_cast<int>(setting.kind)]));
      if (PyTuple_GET_ITEM(table.get(), static_cast<Py_ssize_t>(i)) == nullptr) throw py::PyError{};
    }
    py::check_status(PyModule_AddObjectRef(module, "SETTINGS", table.get()));
    Ref columns = Ref::steal(PyTuple_New(core::market_column_names.size()));
    for (std::size_t i = 0; i < core::market_column_names.size(); ++i) {
      PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i),
                       py::intern(core::market_column_names[i]).release());
    }
    py::check_status(PyModule_AddObjectRef(module, "MARKET_COLUMNS", columns.get()));
    Ref thresholds = Ref::steal(PyTuple_New(core::window_threshold_info.size()));
    for (std::size_t i = 0; i < core::window_threshold_info.size(); ++i) {
      PyTuple_SET_ITEM(thresholds.get(), static_cast<Py_ssize_t>(i),
                       py::intern(core::window_threshold_info[i].name).release());
    }
    py::check_status(PyModule_AddObjectRef(module, "WINDOW_THRESHOLDS", thresholds.get()));
    py::check_status(
        PyModule_AddObjectRef(module, "LiveInputs", py::make_live_inputs_type(module).get()));
    py::check_status(
        PyModule_AddObjectRef(module, "LiveStream", py::make_live_stream_type(module).get()));
  });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "torvex.native",
    "The native batch path: the core algorithms on plain data.",
    Holder::state_size,
    functions,
    slots,
    Holder::traverse,
    Holder::clear,
    Holder::free,
};

}  // namespace

}  // namespace torvex::native

PyMODINIT_FUNC PyInit_native() {
  return PyModuleDef_Init(&torvex::native::module_def);
}
