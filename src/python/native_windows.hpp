#pragma once
// The host's window loop on the native model, with its results as Python values: the batch
// path for hosts that hand over whole arrays.
#include <span>

#include "core/engine_mavet_host_loop.hpp"
#include "core/engine_runner.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// The native form of a host's window loop (core/engine_mavet_host_loop.hpp) for hosts and
// tests that hand over whole arrays: runs every bar of the runner's market with the window
// thresholds read from `thresholds`' attributes and check form `form` (1 or 3), and with the
// host's line work on every bar when `all_bars` (core::WindowLoopArgs::all_bars). Returns
// ([(result, windows) per bar], latest_mavets): windows as 7-tuples in field order, a third-form
// result as (failure, success) with failure (close_above_low_and_kerd, the four violations,
// window) and success (has_signal, is_vvip_signal, window), a first-form result as its six
// flags and window, and None on a bar without windows to check.
Ref run_native_window_loop(core::NativeEngineRunner& runner,
                           std::span<const double> close_avg_percent, PyObject* thresholds,
                           PyObject* form, bool all_bars = false);

// The same loop handing back only the bars a host acts on, as [(bar, result)]: a signal (a
// third-form success with has_signal, a first-form has_signal) or a failure (a third-form
// failure, a first-form close_above_low_and_kerd without a signal), results as above.
Ref run_native_outcomes(core::NativeEngineRunner& runner, std::span<const double> close_avg_percent,
                        PyObject* thresholds, PyObject* form, bool all_bars);

// The window thresholds read from `thresholds`' attributes, in the order
// TORVEX_WINDOW_THRESHOLDS lists them, and the check form `form` (1 or 3; ValueError else).
core::WindowLoopArgs loop_args(PyObject* thresholds, PyObject* form);

// One bar's check result in the form run_native_window_loop gives it; None where no check ran.
Ref check_result(const core::WindowLoopBar& bar);

}  // namespace torvex::py
