#pragma once
// A host's window loop on the native engine: per bar update, update_mavet, a check form and,
// on a signal, the commit; in the all-bars flow the host also does the line work itself (the
// move of new pivots and the rebuild on a bar with a pivot, the extension on every bar). The
// benchmark and the comparison with the Python model drive it; a Python host writes the same
// loop itself.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/engine_extension.hpp"
#include "core/engine_intake.hpp"
#include "core/engine_mavet_checks.hpp"
#include "core/engine_mavet_tracking.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_runner.hpp"
#include "core/engine_update.hpp"

namespace torvex::core {

// The window thresholds of the loop, in the order it reads them from a host's object, with
// the defaults of a daily run.
#define TORVEX_WINDOW_THRESHOLDS(X)                  \
  X(trap_recover_window_threshold, number, 5)        \
  X(search_range, count, 10)                         \
  X(low_above_kerd_threshold, number, 0.5)           \
  X(close_above_kerd_threshold, number, 0.2)         \
  X(signal_window, number, 10)                       \
  X(close_above_low_threshold, number, 0.5)          \
  X(close_above_recover_low_threshold, number, 0.5)  \
  X(bar_count_close_above_kerd_threshold, number, 5) \
  X(vvip_kerd_min_snib_count, number, 3)

#define TORVEX_THRESHOLD_INFO(name, kind, fallback) {#name, SettingKind::kind},
inline constexpr std::array window_threshold_info =
    std::to_array<SettingInfo>({TORVEX_WINDOW_THRESHOLDS(TORVEX_THRESHOLD_INFO)});
#undef TORVEX_THRESHOLD_INFO

struct WindowLoopArgs {
#define TORVEX_THRESHOLD_MEMBER(name, kind, fallback) \
  typename setting_value_of<SettingKind::kind>::type name = fallback;
  TORVEX_WINDOW_THRESHOLDS(TORVEX_THRESHOLD_MEMBER)
#undef TORVEX_THRESHOLD_MEMBER
  bool first_form = false;  // check_mavet instead of check_mavet_v3
  bool all_bars = false;    // the host's own line work on every bar
};

// What one bar's check reported: the result of the form in use.
struct WindowLoopBar {
  std::optional<MavetResult> result;
  std::optional<MavetResultV2> result_v2;
};

// Windows open from the first bar whose closes reach search_range back (and one bar back).
inline std::size_t first_window_bar(const WindowLoopArgs& a) {
  return a.search_range > 1 ? static_cast<std::size_t>(a.search_range) : 1;
}

// The loop's step on the current bar `index` of model m, whose series show that bar: update
// with the bar's trend flags and average range, then the host's own calls.
template <class M, class Trend>
WindowLoopBar window_loop_step(M& m, const Trend& is_ma_trending, std::size_t index,
                               double close_avg_percent, const WindowLoopArgs& a) {
  const bool found = update(m, is_ma_trending, close_avg_percent);
  if (a.all_bars) {
    if (found) {
      add_new_snibs_to_processed_array(m);
      rebuild_kerd_from_most_recent_snib(m);
    }
    extend_kerd_to_first_cross(m);
  }
  if (index >= first_window_bar(a))
    update_mavet(m, a.trap_recover_window_threshold, a.search_range, a.low_above_kerd_threshold,
                 close_avg_percent);

  WindowCheckArgs<double> check{close_avg_percent,
                                a.close_above_kerd_threshold,
                                a.trap_recover_window_threshold,
                                a.signal_window,
                                a.close_above_low_threshold,
                                a.close_above_recover_low_threshold,
                                a.bar_count_close_above_kerd_threshold,
                                a.vvip_kerd_min_snib_count};
  WindowLoopBar bar;
  if (m.mavet_count() == 0) return bar;
  if (a.first_form) {
    bar.result = check_mavet(m, check);  // commits its own signal
    return bar;
  }
  bar.result_v2 = check_mavet_v3(m, check);
  const auto& success = bar.result_v2->success;
  if (is_kerd_satisfied(*bar.result_v2) && success->mavet)
    commit_latest_mavet(m, success->mavet->break_kerd_at_price);
  return bar;
}

// Runs bar `index` of the loop on `runner`.
inline WindowLoopBar run_window_loop_bar(NativeEngineRunner& runner, std::size_t index,
                                         double close_avg_percent, const WindowLoopArgs& a) {
  runner.advance_to(index);
  return window_loop_step(runner.model(), runner.trend(), index, close_avg_percent, a);
}

}  // namespace torvex::core
