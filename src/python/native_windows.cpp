#include "python/native_windows.hpp"

#include <array>
#include <bit>
#include <vector>

#include "core/engine_mavet_host_loop.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"
#include "python/native_records.hpp"

namespace torvex::py {

namespace {

// The loop's tuples hold numbers, flags, None and other such tuples, so they can be in no
// cycle: the collector need not walk them, as it would after every few hundred, again and
// again over a long history (it leaves such tuples itself, but only after its first walk).
Ref untracked(Ref tuple) {
  PyObject_GC_UnTrack(tuple.get());
  return tuple;
}

Ref window_tuple(const core::Mavet& w) {
  Ref items[] = {
      from_number(w.break_kerd_at_price),       from_index(w.break_kerd_at_bar_index),
      from_index(w.recover_at_bar_index),       from_index(w.break_kerd_extend_bar_cross),
      from_index(w.bar_count_close_above_kerd), from_index(w.vip_snib_count),
      Ref::borrow(bool_object(w.recovered))};
  Ref tuple = Ref::steal(PyTuple_New(std::size(items)));
  for (Py_ssize_t i = 0; Ref & item : items) PyTuple_SET_ITEM(tuple.get(), i++, item.release());
  return untracked(std::move(tuple));
}

bool same_window(const core::Mavet& a, const core::Mavet& b) {
  // Bitwise on the price: a tuple made from -0.0 or a NaN must not stand for another value.
  return std::bit_cast<uint64_t>(a.break_kerd_at_price) ==
             std::bit_cast<uint64_t>(b.break_kerd_at_price) &&
         a.break_kerd_at_bar_index == b.break_kerd_at_bar_index &&
         a.recover_at_bar_index == b.recover_at_bar_index &&
         a.break_kerd_extend_bar_cross == b.break_kerd_extend_bar_cross &&
         a.bar_count_close_above_kerd == b.bar_count_close_above_kerd &&
         a.vip_snib_count == b.vip_snib_count && a.recovered == b.recovered;
}

// The tuples of a run that later bars may share, as they are immutable and of immutable items:
// the windows (most bars leave most windows as they were, in the same order, some dropped or
// added) and the third-form result with neither a failure nor a success.
class BarTuples {
 public:
  // Starts a bar: its windows are looked up among the previous bar's.
  void next_bar() {
    std::swap(previous_, current_);
    current_.clear();
    cursor_ = 0;
  }

  // The tuple of the bar's next window (borrowed): the previous bar's tuple of the same window
  // when there is one, looked for from after the last one found, as the order is kept.
  PyObject* add(const core::Mavet& w) {
    for (std::size_t j = cursor_; j < previous_.size(); ++j) {
      if (same_window(previous_[j].window, w)) {
        cursor_ = j + 1;
        current_.push_back(previous_[j]);
        return current_.back().tuple.get();
      }
    }
    current_.push_back({w, window_tuple(w)});
    return current_.back().tuple.get();
  }

  // A result's window: mostly one of the bar's windows, whose tuple is already made.
  Ref of(const std::optional<core::Mavet>& w) const {
    if (!w) return none();
    for (const Made& m : current_)
      if (same_window(m.window, *w)) return m.tuple;
    return window_tuple(*w);
  }

  Ref neither() {
    if (!neither_) neither_ = untracked(Ref::steal(PyTuple_Pack(2, Py_None, Py_None)));
    return neither_;
  }

 private:
  struct Made {
    core::Mavet window;
    Ref tuple;
  };
  std::vector<Made> previous_, current_;
  std::size_t cursor_ = 0;
  Ref neither_;
};

// A check result as a tuple: has_signal where the result has one, the check flags, the window.
template <class Result>
Ref check_tuple(const Result& r, const BarTuples& made) {
  Ref window = made.of(r.mavet);
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
  return untracked(std::move(tuple));
}

Ref result_tuple(const core::MavetResult& r, BarTuples& made) {
  return check_tuple(r, made);
}

Ref result_tuple(const core::MavetResultV2& r, BarTuples& made) {
  if (!r.failure && !r.success) return made.neither();
  Ref failure = none(), success = none();
  if (r.failure) failure = check_tuple(*r.failure, made);
  if (r.success) {
    Ref window = made.of(r.success->mavet);
    success =
        untracked(Ref::steal(PyTuple_Pack(3, bool_object(r.success->has_signal),
                                          bool_object(r.success->is_vvip_signal), window.get())));
  }
  return untracked(Ref::steal(PyTuple_Pack(2, failure.get(), success.get())));
}

}  // namespace

core::WindowLoopArgs loop_args(PyObject* thresholds, PyObject* form) {
  core::WindowLoopArgs a;
#define TORVEX_READ_THRESHOLD(name, kind, fallback) \
  a.name = to_setting<core::SettingKind::kind>(named_attr(thresholds, #name).get());
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

Ref check_result(const core::WindowLoopBar& bar) {
  BarTuples made;
  return bar.result      ? result_tuple(*bar.result, made)
         : bar.result_v2 ? result_tuple(*bar.result_v2, made)
                         : none();
}

Ref run_native_window_loop(core::NativeEngineRunner& runner,
                           std::span<const double> close_avg_percent, PyObject* thresholds,
                           PyObject* form, bool all_bars) {
  core::WindowLoopArgs args = loop_args(thresholds, form);
  args.all_bars = all_bars;
  const core::EngineState& state = runner.model().state();
  BarTuples made;
  Ref bars = Ref::steal(PyList_New(static_cast<Py_ssize_t>(close_avg_percent.size())));
  for (std::size_t i = 0; i < close_avg_percent.size(); ++i) {
    const core::WindowLoopBar bar =
        core::run_window_loop_bar(runner, i, close_avg_percent[i], args);
    // The windows first, so that the result's window can be one of their tuples.
    const std::vector<core::Mavet>& open = *state.mavets;
    made.next_bar();
    Ref windows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(open.size())));
    for (std::size_t k = 0; k < open.size(); ++k)
      PyList_SET_ITEM(windows.get(), static_cast<Py_ssize_t>(k),
                      Ref::borrow(made.add(open[k])).release());
    Ref result = bar.result      ? result_tuple(*bar.result, made)
                 : bar.result_v2 ? result_tuple(*bar.result_v2, made)
                                 : none();
    PyList_SET_ITEM(bars.get(), static_cast<Py_ssize_t>(i),
                    Ref::steal(PyTuple_Pack(2, result.get(), windows.get())).release());
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
  BarTuples made;
  Ref outcomes = Ref::steal(PyList_New(0));
  for (std::size_t i = 0; i < close_avg_percent.size(); ++i) {
    const core::WindowLoopBar bar =
        core::run_window_loop_bar(runner, i, close_avg_percent[i], args);
    Ref result;
    if (bar.result && (bar.result->has_signal || bar.result->close_above_low_and_kerd)) {
      result = result_tuple(*bar.result, made);
    } else if (bar.result_v2 &&
               (core::is_kerd_satisfied(*bar.result_v2) || bar.result_v2->failure)) {
      result = result_tuple(*bar.result_v2, made);
    } else {
      continue;
    }
    Ref step = Ref::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(i), result.get()));
    check_status(PyList_Append(outcomes.get(), step.get()));
  }
  return outcomes;
}

}  // namespace torvex::py
