#include "python/native_windows.hpp"

#include <array>

#include "core/engine_mavet_host_loop.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"

namespace torvex::py {

namespace {

Ref window_tuple(const core::Mavet& w) {
  return Ref::steal(Py_BuildValue("(diiiiiO)", w.break_kerd_at_price, w.break_kerd_at_bar_index,
                                  w.recover_at_bar_index, w.break_kerd_extend_bar_cross,
                                  w.bar_count_close_above_kerd, w.vip_snib_count,
                                  bool_object(w.recovered)));
}

Ref window_or_none(const std::optional<core::Mavet>& w) {
  return w ? window_tuple(*w) : none();
}

// A check result as a tuple: has_signal where the result has one, the check flags, the window.
template <class Result>
Ref check_tuple(const Result& r) {
  Ref window = window_or_none(r.mavet);
#define TORVEX_FLAG_ITEM(name) bool_object(r.name),
  PyObject* const items[] = {TORVEX_CHECK_FLAGS(TORVEX_FLAG_ITEM) window.get()};
#undef TORVEX_FLAG_ITEM
  constexpr bool signal = requires {
    r.has_signal;
  };
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(signal + std::size(items))));
  Py_ssize_t i = 0;
  if constexpr (signal)
    PyTuple_SET_ITEM(tuple.get(), i++, Ref::borrow(bool_object(r.has_signal)).release());
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Ref::borrow(item).release());
  return tuple;
}

Ref result_tuple(const core::MavetResult& r) {
  return check_tuple(r);
}

Ref result_tuple(const core::MavetResultV2& r) {
  Ref failure = none(), success = none();
  if (r.failure) failure = check_tuple(*r.failure);
  if (r.success) {
    Ref window = window_or_none(r.success->mavet);
    success = Ref::steal(Py_BuildValue("(OOO)", bool_object(r.success->has_signal),
                                       bool_object(r.success->is_vvip_signal), window.get()));
  }
  return Ref::steal(PyTuple_Pack(2, failure.get(), success.get()));
}

core::WindowLoopArgs loop_args(PyObject* thresholds, PyObject* form) {
  core::WindowLoopArgs a;
#define TORVEX_READ_THRESHOLD(name, kind, fallback) \
  a.name = to_setting<core::SettingKind::kind>(     \
      Ref::steal(PyObject_GetAttrString(thresholds, #name)).get());
  TORVEX_WINDOW_THRESHOLDS(TORVEX_READ_THRESHOLD)
#undef TORVEX_READ_THRESHOLD
  const int64_t which = to_index(form);
  if (which != 1 && which != 3) {
    PyErr_SetString(PyExc_ValueError, "form must be 1 (check_mavet) or 3 (check_mavet_v3)");
    throw PyError{};
  }
  a.first_form = which == 1;
  return a;
}

}  // namespace

Ref run_native_window_loop(core::NativeEngineRunner& runner,
                           std::span<const double> close_avg_percent, PyObject* thresholds,
                           PyObject* form, bool all_bars) {
  core::WindowLoopArgs args = loop_args(thresholds, form);
  args.all_bars = all_bars;
  const core::EngineState& state = runner.model().state();
  Ref bars = Ref::steal(PyList_New(0));
  for (std::size_t i = 0; i < close_avg_percent.size(); ++i) {
    const core::WindowLoopBar bar =
        core::run_window_loop_bar(runner, i, close_avg_percent[i], args);
    Ref result = bar.result      ? result_tuple(*bar.result)
                 : bar.result_v2 ? result_tuple(*bar.result_v2)
                                 : none();
    Ref windows = Ref::steal(PyList_New(0));
    for (const core::Mavet& w : *state.mavets)
      check_status(PyList_Append(windows.get(), window_tuple(w).get()));
    Ref step = Ref::steal(PyTuple_Pack(2, result.get(), windows.get()));
    check_status(PyList_Append(bars.get(), step.get()));
  }
  Ref latest = Ref::steal(PyDict_New());
  for (const auto& [key, bar] : *state.latest_mavets) {
    Ref k = from_number(key), v = from_index(bar);
    check_status(PyDict_SetItem(latest.get(), k.get(), v.get()));
  }
  return Ref::steal(PyTuple_Pack(2, bars.get(), latest.get()));
}

Ref run_native_outcomes(core::NativeEngineRunner& runner, std::span<const double> close_avg_percent,
                        PyObject* thresholds, PyObject* form, bool all_bars) {
  core::WindowLoopArgs args = loop_args(thresholds, form);
  args.all_bars = all_bars;
  Ref outcomes = Ref::steal(PyList_New(0));
  for (std::size_t i = 0; i < close_avg_percent.size(); ++i) {
    const core::WindowLoopBar bar =
        core::run_window_loop_bar(runner, i, close_avg_percent[i], args);
    Ref result;
    if (bar.result && (bar.result->has_signal || bar.result->close_above_low_and_kerd)) {
      result = result_tuple(*bar.result);
    } else if (bar.result_v2 && ((bar.result_v2->success && bar.result_v2->success->has_signal) ||
                                 bar.result_v2->failure)) {
      result = result_tuple(*bar.result_v2);
    } else {
      continue;
    }
    Ref step = Ref::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(i), result.get()));
    check_status(PyList_Append(outcomes.get(), step.get()));
  }
  return outcomes;
}

}  // namespace torvex::py
