#include "python/engine_windows.hpp"

#include <array>

#include "core/engine_mavet_checks.hpp"
#include "core/engine_mavet_tracking.hpp"
#include "python/args.hpp"
#include "python/entry.hpp"

namespace torvex::py {

namespace {

WindowModel model_of(const WindowBinding& b, PyObject* engine) {
  return WindowModel(b.context, engine, &b.classes, b.results);
}

}  // namespace

PyObject* update_mavet(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Signature sig{"update_mavet",
                               {"self", "trap_recover_window_threshold", "search_range",
                                "low_above_kerd_threshold", "close_avg_percent"},
                               5};
    std::array<PyObject*, 5> a{};
    parse_args(sig, args, nargs, kwnames, a);
    WindowModel m = model_of(b, a[0]);
    core::update_mavet(m, a[1], a[2], a[3], a[4]);
    return none();
  });
}

PyObject* commit_latest_mavet(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Signature sig{"commit_latest_mavet", {"self", "break_kerd_at_price"}, 2};
    std::array<PyObject*, 2> a{};
    parse_args(sig, args, nargs, kwnames, a);
    WindowModel m = model_of(b, a[0]);
    core::commit_latest_mavet(m, a[1]);
    return none();
  });
}

PyObject* check_mavet(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Signature sig{
        "check_mavet",
        {"self", "close_avg_percent", "close_above_kerd_threshold", "trap_recover_window_threshold",
         "signal_window", "close_above_low_threshold", "bar_count_close_above_kerd_threshold"},
        7};
    std::array<PyObject*, 7> a{};
    parse_args(sig, args, nargs, kwnames, a);
    core::WindowCheckArgs<PyObject*> thresholds;
    thresholds.close_avg_percent = a[1];
    thresholds.close_above_kerd_threshold = a[2];
    thresholds.trap_recover_window_threshold = a[3];
    thresholds.signal_window = a[4];
    thresholds.close_above_low_threshold = a[5];
    thresholds.bar_count_close_above_kerd_threshold = a[6];
    WindowModel m = model_of(b, a[0]);
    return core::check_mavet(m, thresholds);
  });
}

PyObject* check_mavet_v3(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Signature sig{
        "check_mavet_v3",
        {"self", "close_avg_percent", "close_above_kerd_threshold", "trap_recover_window_threshold",
         "signal_window", "close_above_low_threshold", "close_above_recover_low_threshold",
         "bar_count_close_above_kerd_threshold", "vvip_kerd_min_snib_count"},
        9};
    std::array<PyObject*, 9> a{};
    parse_args(sig, args, nargs, kwnames, a);
    const core::WindowCheckArgs<PyObject*> thresholds{a[1], a[2], a[3], a[4],
                                                      a[5], a[6], a[7], a[8]};
    WindowModel m = model_of(b, a[0]);
    return core::check_mavet_v3(m, thresholds);
  });
}

PyObject* get_success_by_vvip(const WindowBinding& b, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
  return guarded([&] {
    static const Signature sig{"get_success_by_vvip", {"self", "successes"}, 2};
    std::array<PyObject*, 2> a{};
    parse_args(sig, args, nargs, kwnames, a);
    WindowModel m = model_of(b, a[0]);
    const Ref successes = Ref::borrow(a[1]);
    auto chosen = core::get_success_by_vvip(m, successes);
    return chosen ? std::move(*chosen) : none();
  });
}

}  // namespace torvex::py
