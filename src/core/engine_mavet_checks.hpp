#pragma once
// The window checks: the first form (judge once, report and commit the first pass) and the
// third form (track the recovery bar, judge completed recoveries, report one outcome per bar).
//
// The caller's thresholds are converted where they are first used, so a threshold that a call
// never needs is never looked at.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/engine_mavet_numbers.hpp"
#include "core/host_value.hpp"
#include "core/model.hpp"

namespace torvex::core {

// The host's thresholds of one check call. The first form has no recovery-low margin and no
// vvip count and never reads those two.
template <class N>
struct WindowCheckArgs {
  N close_avg_percent{};
  N close_above_kerd_threshold{};
  N trap_recover_window_threshold{};
  N signal_window{};
  N close_above_low_threshold{};
  N close_above_recover_low_threshold{};
  N bar_count_close_above_kerd_threshold{};
  N vvip_kerd_min_snib_count{};
};

namespace detail {

// The converted thresholds of one call.
template <class M, class N>
struct Thresholds {
  Thresholds(const M& m, const WindowCheckArgs<N>& a)
      : percent(m, a.close_avg_percent),
        kerd_factor(percent, m, a.close_above_kerd_threshold),
        low_factor(percent, m, a.close_above_low_threshold),
        recover_low_factor(percent, m, a.close_above_recover_low_threshold),
        trap_recover_window(m, a.trap_recover_window_threshold),
        signal_window(m, a.signal_window),
        bar_count_close_above_kerd(m, a.bar_count_close_above_kerd_threshold),
        vvip_kerd_min_snib_count(m, a.vvip_kerd_min_snib_count) {}

  LazyNumber<M, N> percent;
  LazyFactor<M, N> kerd_factor, low_factor, recover_low_factor;
  LazyNumber<M, N> trap_recover_window, signal_window, bar_count_close_above_kerd,
      vvip_kerd_min_snib_count;
};

// The current close against one window's level and against the two-bar low, read for each
// window in the order the check evaluates them.
struct ClosesAbove {
  double close;
  bool kerd;  // close_above_kerd
  bool low;   // close_above_low
};

template <class M, class N, class W>
ClosesAbove closes_above(M& m, W window, Thresholds<M, N>& t) {
  ClosesAbove c{};
  c.close = m.value(m.close(), 0);
  c.kerd =
      c.close > m.template window<MavetField::break_kerd_at_price>(window) * t.kerd_factor.get();
  // The lower of the two lows: the previous one when strictly below the current one.
  const double previous_low = m.value(m.low(), -1);
  const double current_low = m.value(m.low(), 0);
  const double two_bar_low = previous_low < current_low ? previous_low : current_low;
  c.low = c.close > two_bar_low * t.low_factor.get();
  return c;
}

// The four rules a judged recovery must pass, all of them evaluated.
template <class M, class N, class W>
Violations validate(M& m, W window, bool has_mavet, double kerd_value, Thresholds<M, N>& t) {
  using F = MavetField;
  const double recovery_span =
      index_difference(m.template window<F::recover_at_bar_index>(window),
                       m.template window<F::break_kerd_at_bar_index>(window)) +
      1;
  const bool pass_recover_window = recovery_span <= t.trap_recover_window.get();

  bool pass_signal_window = true;
  if (has_mavet) {
    const int64_t bar_index = m.bar_index();
    const int64_t committed_at = m.latest_get(m.round_key(kerd_value), 0);
    pass_signal_window = index_difference(bar_index, committed_at) > t.signal_window.get();
  }

  const bool pass_search_range_close_above_kerd =
      static_cast<double>(m.template window<F::bar_count_close_above_kerd>(window)) >=
      t.bar_count_close_above_kerd.get();
  const bool pass_extend_bar_cross =
      static_cast<double>(m.template window<F::break_kerd_extend_bar_cross>(window)) <=
      m.template setting<Setting::kerd_extend_bar_cross_threshold>();

  return Violations{
      .extend_bar_cross = !pass_extend_bar_cross,
      .recover_window = !pass_recover_window,
      .signal_window = !pass_signal_window,
      .search_range_close_above_bar_count = !pass_search_range_close_above_kerd,
  };
}

}  // namespace detail

// The first success whose level counts as vvip, else the first success; none when empty.
template <class M, class List>
auto get_success_by_vvip(M& m, const List& successes)
    -> std::optional<decltype(m.success_at(successes, 0))> {
  const std::size_t size = m.success_count(successes);
  if (size == 0) return std::nullopt;
  for (std::size_t x = 0; x < size; ++x) {
    auto success = m.success_at(successes, x);
    if (m.success_is_vvip(success)) return success;
  }
  return m.success_at(successes, 0);
}

// First form: each waiting window is judged once, on the first bar whose close clears both
// margins; the walk stops at the first window that passes, which is committed at once.
template <class M, class N>
typename M::Result check_mavet(M& m, const WindowCheckArgs<N>& args) {
  using F = MavetField;
  detail::Thresholds<M, N> t(m, args);

  CheckOutcome outcome{};
  std::optional<typename M::WindowCopy> passed;
  const std::size_t mavet_size = m.mavet_count();
  for (std::size_t x = 0; x < mavet_size; ++x) {
    auto window = m.mavet_at(x);
    const double kerd_value = m.template window<F::break_kerd_at_price>(window);
    const bool has_mavet = m.latest_contains(m.round_key(kerd_value));
    const detail::ClosesAbove above = detail::closes_above(m, window, t);

    if (m.template window<F::recover_at_bar_index>(window) != -1) continue;
    if (!(above.kerd && above.low)) continue;

    m.template set_window<F::recover_at_bar_index>(window, m.bar_index());
    const Violations violations = detail::validate(m, window, has_mavet, kerd_value, t);
    outcome.close_above_low_and_kerd = true;
    if (violations.none()) {
      // A pass also clears the flags a failing window earlier in the walk left.
      outcome.has_signal = true;
      outcome.violations = Violations{};
      passed = m.copy_window(window);
      const int64_t bar_index = m.bar_index();
      m.latest_set(m.round_key(kerd_value), bar_index);
      break;
    }
    outcome.violations = violations;
  }
  return m.make_result(outcome, std::move(passed));
}

// Third form: follows each window's run of closes above its level, judges a recovery when the
// close also clears the relevant low, and reports the best success of the bar, else its last
// failure, else nothing. Every judged window is marked, whether or not its record is reported.
template <class M, class N>
typename M::ResultV2 check_mavet_v3(M& m, const WindowCheckArgs<N>& args) {
  using F = MavetField;
  detail::Thresholds<M, N> t(m, args);

  auto successes = m.new_success_list();
  std::optional<typename M::Failure> last_failure;
  for (std::size_t x = 0; x < m.mavet_count(); ++x) {
    auto window = m.mavet_at(x);
    const double kerd_value = m.template window<F::break_kerd_at_price>(window);
    const bool has_mavet = m.latest_contains(m.round_key(kerd_value));
    const detail::ClosesAbove above = detail::closes_above(m, window, t);

    if (m.template window<F::recovered>(window)) continue;
    if (!above.kerd) {
      // A close at or below the margin cancels a recovery in progress.
      m.template set_window<F::recover_at_bar_index>(window, int64_t{-1});
      continue;
    }
    if (m.template window<F::recover_at_bar_index>(window) == -1)
      m.template set_window<F::recover_at_bar_index>(window, m.bar_index());

    const int64_t bar_index = m.bar_index();
    const int64_t recover_at = m.template window<F::recover_at_bar_index>(window);
    const int64_t recovery_bar_offset = offset_difference(bar_index, recover_at);
    const bool close_above_recovery_bar =
        above.close > m.value(m.low(), -recovery_bar_offset) * t.recover_low_factor.get();
    const bool on_recovery_bar = bar_index == recover_at;
    const bool after_recovery_bar = bar_index > recover_at;
    if (!((on_recovery_bar && above.low) || (after_recovery_bar && close_above_recovery_bar)))
      continue;

    m.template set_window<F::recovered>(window, true);
    const Violations violations = detail::validate(m, window, has_mavet, kerd_value, t);
    if (violations.none()) {
      const bool is_vvip = static_cast<double>(m.template window<F::vip_snib_count>(window)) >=
                           t.vvip_kerd_min_snib_count.get();
      m.append_success(successes, m.make_success(is_vvip, m.copy_window(window)));
    } else {
      // Only the last failure can be reported; earlier ones are still made, copies and all.
      last_failure.emplace(m.make_failure(violations, m.copy_window(window)));
    }
  }

  if (m.success_count(successes) > 0) {
    // A model whose engine can be subclassed lets an override of get_success_by_vvip choose.
    if constexpr (DispatchesSuccessChoice<M>)
      return m.make_result_v2_success(m.dispatch_get_success_by_vvip(successes));
    else
      return m.make_result_v2_success(get_success_by_vvip(m, successes));
  }
  if (last_failure) return m.make_result_v2_failure(std::move(*last_failure));
  return m.make_result_v2_empty();
}

}  // namespace torvex::core
