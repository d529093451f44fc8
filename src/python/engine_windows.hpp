#pragma once
// The engine's window operations as methods of the host class Torvex: update_mavet,
// commit_latest_mavet, check_mavet, check_mavet_v3 and get_success_by_vvip. Each parses its
// arguments (the instance first) and runs the core algorithm over the host's objects.
//
// The engine module keeps what they need and lists them in its method table through
// WindowMethods<find>, where find(module) returns the module's WindowBinding:
//
//   {"update_mavet", fast(py::WindowMethods<windows_of>::update_mavet), kFast,
//    py::window_docs::update_mavet},
#include <span>

#include "core/engine_runner.hpp"
#include "python/python_model.hpp"
#include "python/python_results.hpp"
#include "python/ref.hpp"

namespace torvex::py {

struct WindowBinding {
  ModelContext& context;
  const ModelClasses& classes;
  const WindowResults& results;
};

PyObject* update_mavet(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept;
PyObject* commit_latest_mavet(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
PyObject* check_mavet(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
PyObject* check_mavet_v3(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* get_success_by_vvip(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;

template <WindowBinding (*Find)(PyObject* module)>
struct WindowMethods {
  static PyObject* update_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return py::update_mavet(Find(module), args, nargs, kwnames);
  }
  static PyObject* commit_latest_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return py::commit_latest_mavet(Find(module), args, nargs, kwnames);
  }
  static PyObject* check_mavet(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return py::check_mavet(Find(module), args, nargs, kwnames);
  }
  static PyObject* check_mavet_v3(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    return py::check_mavet_v3(Find(module), args, nargs, kwnames);
  }
  static PyObject* get_success_by_vvip(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return py::get_success_by_vvip(Find(module), args, nargs, kwnames);
  }
};

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

// Docstrings of the five methods, in the form the host's introspection reads.
namespace window_docs {

inline constexpr const char* update_mavet =
    "update_mavet($module, self, trap_recover_window_threshold, search_range, "
    "low_above_kerd_threshold, close_avg_percent)\n--\n\n"
    "Open a window on every line the current bar breaks, then drop expired windows from the "
    "front of mavets.";
inline constexpr const char* commit_latest_mavet =
    "commit_latest_mavet($module, self, break_kerd_at_price)\n--\n\n"
    "Record the current bar index under round_to_mintick(break_kerd_at_price) in "
    "latest_mavets.";
inline constexpr const char* check_mavet =
    "check_mavet($module, self, close_avg_percent, close_above_kerd_threshold, "
    "trap_recover_window_threshold, signal_window, close_above_low_threshold, "
    "bar_count_close_above_kerd_threshold)\n--\n\n"
    "Judge each waiting window once; report and commit the first that passes, as a "
    "MavetResult.";
inline constexpr const char* check_mavet_v3 =
    "check_mavet_v3($module, self, close_avg_percent, close_above_kerd_threshold, "
    "trap_recover_window_threshold, signal_window, close_above_low_threshold, "
    "close_above_recover_low_threshold, bar_count_close_above_kerd_threshold, "
    "vvip_kerd_min_snib_count)\n--\n\n"
    "Track and judge the recoveries of the open windows; return a MavetResultV2 with the best "
    "success of the bar, else its last failure.";
inline constexpr const char* get_success_by_vvip =
    "get_success_by_vvip($module, self, successes)\n--\n\n"
    "The first success whose is_vvip_signal is true, else the first one; None when empty.";

}  // namespace window_docs

}  // namespace torvex::py
