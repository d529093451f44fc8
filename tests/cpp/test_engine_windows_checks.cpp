// The window checks on the native model: the recovery states of the third form, the four
// validations, the choice of the reported outcome, and the first form's differences.
//
// Unless a test says otherwise: a window at level 100 broken at bar 40, every margin 1 % of the
// price (close_avg_percent 1, thresholds 1), so the level margin is 101 and a low L is cleared
// by a close above L * 1.01.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/engine_mavet_checks.hpp"
#include "core/engine_mavet_tracking.hpp"
#include "test_engine_windows_market.hpp"

namespace torvex::core {
namespace {

using testing::WindowMarket;

WindowCheckArgs<double> args(double trap = 10, double signal_window = 10,
                             double bar_count_threshold = 5, double vvip_min = 3) {
  WindowCheckArgs<double> a;
  a.close_avg_percent = 1;
  a.close_above_kerd_threshold = 1;
  a.trap_recover_window_threshold = trap;
  a.signal_window = signal_window;
  a.close_above_low_threshold = 1;
  a.close_above_recover_low_threshold = 1;
  a.bar_count_close_above_kerd_threshold = bar_count_threshold;
  a.vvip_kerd_min_snib_count = vvip_min;
  return a;
}

// A bar 45 that completes a recovery at once: close 103 clears the level and the two-bar low
// (bar 44's 99).
void recovering_bar(WindowMarket& market, int64_t i = 45) {
  market.bar(i - 1, 100, 99);
  market.bar(i, 103, 101);
}

struct StateRow {
  const char* name;
  int32_t recover_at;  // window state before the bar
  bool recovered;
  int64_t bar;
  double close, low;  // the bar; bar 44 has low 101, bar 45 (a recovery bar) low 101.5
  int32_t expect_recover_at;
  bool expect_judged;
};

class RecoveryStates : public ::testing::TestWithParam<StateRow> {};

TEST_P(RecoveryStates, MoveAsTheTableSays) {
  const StateRow& row = GetParam();
  WindowMarket market;
  market.bar(44, 100, 101);
  market.bar(45, 102, 101.5);
  market.bar(row.bar, row.close, row.low);
  Mavet& w = market.window(100, 40);
  w.recover_at_bar_index = row.recover_at;
  w.recovered = row.recovered;
  market.at(row.bar);
  auto m = market.model();
  const MavetResultV2 result = check_mavet_v3(m, args());
  EXPECT_EQ(w.recover_at_bar_index, row.expect_recover_at);
  EXPECT_EQ(w.recovered, row.recovered || row.expect_judged);
  EXPECT_EQ(result.success.has_value(), row.expect_judged);
  EXPECT_FALSE(result.failure.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    ThirdForm, RecoveryStates,
    ::testing::Values(
        // Waiting: at the margin (101 is not above 100 * 1.01) nothing starts.
        StateRow{"waiting_close_at_margin", -1, false, 45, 101, 100, -1, false},
        // Above the margin but not above the two-bar low's (101 * 1.01 = 102.01).
        StateRow{"waiting_to_recovering", -1, false, 45, 102, 101.5, 45, false},
        StateRow{"waiting_to_judged", -1, false, 45, 102.02, 101.5, 45, true},
        StateRow{"recovering_to_waiting", 45, false, 46, 101, 100, -1, false},
        // After the recovery bar the close must clear its low: 101.5 * 1.01 = 102.515.
        StateRow{"recovering_stays", 45, false, 46, 102.5, 102, 45, false},
        StateRow{"recovering_to_judged", 45, false, 46, 102.52, 102, 45, true},
        StateRow{"judged_stays_on_a_low_close", 45, true, 46, 90, 89, 45, false},
        StateRow{"judged_stays_on_a_high_close", 45, true, 46, 110, 109, 45, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckMavetV3, AfterTheRecoveryBarOnlyItsLowCounts) {
  // Recovery bar 45 with low 100.5 (cleared above 101.505); bars 46 and 47 have lows 102 and
  // 102.5, so the two-bar low's margin is 103.02, which close 103 does not clear.
  WindowMarket market;
  market.bar(45, 102, 100.5);
  market.bar(46, 102, 102);
  market.bar(47, 103, 102.5);
  market.window(100, 40).recover_at_bar_index = 45;
  market.at(47);
  auto m = market.model();
  const MavetResultV2 result = check_mavet_v3(m, args());
  ASSERT_TRUE(result.success.has_value());
  EXPECT_EQ(result.success->mavet->recover_at_bar_index, 45);
}

struct RuleCase {
  const char* name;
  double trap, signal_window, bar_count_threshold;
  int32_t extend_bar_cross;
  bool committed;  // level committed at bar 40
  Violations expected;
};

// The case's window (10 closes above in its search range) recovering at bar 45, judged there
// (a span of 6 bars).
class EachRule : public ::testing::TestWithParam<RuleCase> {
 protected:
  void SetUp() override {
    const RuleCase& c = GetParam();
    recovering_bar(market);
    market.window(100, 40, 10, c.extend_bar_cross);
    if (c.committed) market.latest_mavets[round_to_mintick(100, 0.01)] = 40;
    market.at(45);
  }
  WindowCheckArgs<double> rule_args() const {
    const RuleCase& c = GetParam();
    return args(c.trap, c.signal_window, c.bar_count_threshold);
  }
  // The result's violations are exactly the case's.
  template <class Result>
  void expect_violations(const Result& r) const {
    const Violations& want = GetParam().expected;
    EXPECT_EQ(r.violate_extend_bar_cross, want.extend_bar_cross);
    EXPECT_EQ(r.violate_recover_window, want.recover_window);
    EXPECT_EQ(r.violate_signal_window, want.signal_window);
    EXPECT_EQ(r.violate_search_range_close_above_bar_count,
              want.search_range_close_above_bar_count);
  }

  WindowMarket market;
};

INSTANTIATE_TEST_SUITE_P(
    Validation, EachRule,
    ::testing::Values(
        RuleCase{"recover_window", 5, 10, 5, 0, false, {.recover_window = true}},
        RuleCase{"signal_window", 10, 10, 5, 0, true, {.signal_window = true}},
        RuleCase{
            "search_range", 10, 10, 11, 0, false, {.search_range_close_above_bar_count = true}},
        RuleCase{"extend_bar_cross", 10, 10, 5, 4, false, {.extend_bar_cross = true}},
        RuleCase{"all_four", 5, 10, 11, 4, true, {true, true, true, true}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(EachRule, ThirdFormReportsExactlyTheRulesThatFailed) {
  auto m = market.model();
  const MavetResultV2 result = check_mavet_v3(m, rule_args());
  ASSERT_TRUE(result.failure.has_value());
  ASSERT_FALSE(result.success.has_value());
  const MavetFailure& f = *result.failure;
  EXPECT_TRUE(f.close_above_low_and_kerd);
  expect_violations(f);
  ASSERT_TRUE(f.mavet.has_value());
  EXPECT_EQ(f.mavet->recover_at_bar_index, 45);
  EXPECT_TRUE(f.mavet->recovered);
}

TEST_P(EachRule, FirstFormReportsExactlyTheRulesThatFailed) {
  auto m = market.model();
  const MavetResult r = check_mavet(m, rule_args());
  EXPECT_FALSE(r.has_signal);
  EXPECT_TRUE(r.close_above_low_and_kerd);
  expect_violations(r);
  EXPECT_FALSE(r.mavet.has_value());
  EXPECT_EQ(market.mavets[0].recover_at_bar_index, 45);
  EXPECT_FALSE(market.mavets[0].recovered);
  EXPECT_EQ(market.latest_mavets.size(), GetParam().committed ? 1u : 0u);
}

struct Boundary {
  int64_t bar;
  double trap;
  int64_t committed_at;  // -1: nothing committed
  bool passes;
};

class RuleBoundaries : public ::testing::TestWithParam<Boundary> {};

TEST_P(RuleBoundaries, ThirdFormPassesOnlyInsideTheLimits) {
  const Boundary& b = GetParam();
  WindowMarket market;
  recovering_bar(market, b.bar);
  market.window(100, static_cast<int32_t>(b.bar - 5));  // a recovery span of 6 bars
  if (b.committed_at >= 0) market.latest_mavets[round_to_mintick(100, 0.01)] = b.committed_at;
  market.at(b.bar);
  auto m = market.model();
  const MavetResultV2 result = check_mavet_v3(m, args(b.trap, 10));
  EXPECT_EQ(result.success.has_value(), b.passes);
}

// The names of the cases below, in their order.
std::string boundary_name(const ::testing::TestParamInfo<Boundary>& info) {
  static constexpr const char* names[] = {
      "recover_window_at_its_limit", "recover_window_one_bar_short", "signal_window_at_its_limit",
      "signal_window_past_its_limit"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Validation, RuleBoundaries,
                         ::testing::Values(Boundary{45, 6, -1, true}, Boundary{45, 5, -1, false},
                                           Boundary{100, 6, 90, false}, Boundary{101, 6, 90, true}),
                         boundary_name);

TEST(CheckMavetV3, NoWindowsGiveAnEmptyResult) {
  WindowMarket market;
  market.at(45);
  auto m = market.model();
  const MavetResultV2 result = check_mavet_v3(m, args());
  EXPECT_FALSE(result.success.has_value());
  EXPECT_FALSE(result.failure.has_value());
}

TEST(CheckMavetV3, AVvipSuccessWinsOverAnEarlierOne) {
  for (int32_t second_count : {2, 3}) {
    WindowMarket market;
    recovering_bar(market);
    market.window(100, 40, 10, 0, 2);
    market.window(99, 40, 10, 0, second_count);
    market.at(45);
    auto m = market.model();
    const MavetResultV2 result = check_mavet_v3(m, args());
    ASSERT_TRUE(result.success.has_value());
    EXPECT_TRUE(result.success->has_signal);
    EXPECT_EQ(result.success->is_vvip_signal, second_count == 3);
    EXPECT_EQ(result.success->mavet->break_kerd_at_price, second_count == 3 ? 99 : 100);
  }
}

TEST(CheckMavetV3, ASuccessWinsOverFailuresAndEveryJudgedWindowIsMarked) {
  for (bool success_first : {true, false}) {
    WindowMarket market;
    recovering_bar(market);
    market.window(100, 40, 10, success_first ? 0 : 4);
    market.window(99, 40, 10, success_first ? 4 : 0);
    market.at(45);
    auto m = market.model();
    const MavetResultV2 result = check_mavet_v3(m, args());
    EXPECT_FALSE(result.failure.has_value());
    ASSERT_TRUE(result.success.has_value());
    EXPECT_EQ(result.success->mavet->break_kerd_at_price, success_first ? 100 : 99);
    EXPECT_TRUE(market.mavets[0].recovered);
    EXPECT_TRUE(market.mavets[1].recovered);
  }
}

TEST(CheckMavetV3, TheLastFailureIsReported) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40, 10, 4);
  market.window(99, 40, 0, 0);
  market.at(45);
  auto m = market.model();
  const MavetResultV2 result = check_mavet_v3(m, args());
  ASSERT_TRUE(result.failure.has_value());
  EXPECT_EQ(result.failure->mavet->break_kerd_at_price, 99);
  EXPECT_FALSE(result.failure->violate_extend_bar_cross);
  EXPECT_TRUE(result.failure->violate_search_range_close_above_bar_count);
}

TEST(CheckMavetV3, AnUnreachableRecoveryBarFailsAndKeepsEarlierMarks) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40);
  market.window(100, 40).recover_at_bar_index = -5;  // before the first bar
  market.window(100, 40);
  market.at(45);
  auto m = market.model();
  EXPECT_THROW(check_mavet_v3(m, args()), Error);
  EXPECT_TRUE(market.mavets[0].recovered);
  EXPECT_FALSE(market.mavets[2].recovered);
  EXPECT_EQ(market.mavets[2].recover_at_bar_index, -1);
}

TEST(CheckMavetV3, NeverCommits) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40);
  market.at(45);
  auto m = market.model();
  ASSERT_TRUE(check_mavet_v3(m, args()).success.has_value());
  EXPECT_TRUE(market.latest_mavets.empty());
}

TEST(GetSuccessByVvip, PicksTheFirstVvipElseTheFirst) {
  WindowMarket market;
  auto m = market.model();
  std::vector<MavetSuccess> successes;
  EXPECT_FALSE(get_success_by_vvip(m, successes).has_value());
  successes = {{true, false, Mavet{1}}, {true, true, Mavet{2}}, {true, true, Mavet{3}}};
  EXPECT_EQ(*get_success_by_vvip(m, successes), &successes[1]);
  successes[1].is_vvip_signal = successes[2].is_vvip_signal = false;
  EXPECT_EQ(*get_success_by_vvip(m, successes), &successes[0]);
}

TEST(CheckMavet, NoWindowsGiveAnAllFalseResult) {
  WindowMarket market;
  market.at(45);
  auto m = market.model();
  const MavetResult r = check_mavet(m, args());
  EXPECT_FALSE(r.has_signal || r.close_above_low_and_kerd || r.violate_extend_bar_cross ||
               r.violate_recover_window || r.violate_signal_window ||
               r.violate_search_range_close_above_bar_count || r.mavet.has_value());
}

TEST(CheckMavet, ReportsAndCommitsOnlyTheFirstPass) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40);
  market.window(100.5, 40);
  market.at(45);
  auto m = market.model();
  const MavetResult r = check_mavet(m, args());
  EXPECT_TRUE(r.has_signal && r.close_above_low_and_kerd);
  ASSERT_TRUE(r.mavet.has_value());
  EXPECT_EQ(r.mavet->break_kerd_at_price, 100);
  EXPECT_EQ(r.mavet->recover_at_bar_index, 45);
  EXPECT_EQ(market.mavets[1].recover_at_bar_index, -1);
  ASSERT_EQ(market.latest_mavets.size(), 1u);
  EXPECT_EQ(market.latest_mavets.at(round_to_mintick(100, 0.01)), 45);
}

TEST(CheckMavet, APassClearsTheFlagsOfAnEarlierFailure) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40, 10, 4);
  market.window(99, 40);
  market.at(45);
  auto m = market.model();
  const MavetResult r = check_mavet(m, args());
  EXPECT_TRUE(r.has_signal);
  EXPECT_FALSE(r.violate_extend_bar_cross);
  EXPECT_EQ(r.mavet->break_kerd_at_price, 99);
}

TEST(CheckMavet, TwoFailuresReportTheSecondsFlags) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40, 10, 4);
  market.window(99, 40, 0);
  market.at(45);
  auto m = market.model();
  const MavetResult r = check_mavet(m, args());
  EXPECT_FALSE(r.has_signal);
  EXPECT_TRUE(r.close_above_low_and_kerd);
  EXPECT_FALSE(r.violate_extend_bar_cross);
  EXPECT_TRUE(r.violate_search_range_close_above_bar_count);
  // A failed window is not retried.
  market.bar(46, 104, 102);
  market.at(46);
  const MavetResult again = check_mavet(m, args());
  EXPECT_FALSE(again.close_above_low_and_kerd);
}

TEST(CheckMavet, ItsCommitSpacesLaterSignalsOnTheLevel) {
  WindowMarket market;
  recovering_bar(market, 45);
  market.window(100, 40);
  market.at(45);
  auto m = market.model();
  ASSERT_TRUE(check_mavet(m, args()).has_signal);
  market.window(100.004, 48);  // rounds to the same level
  recovering_bar(market, 50);
  market.at(50);
  const MavetResult r = check_mavet(m, args());
  EXPECT_TRUE(r.violate_signal_window);
  EXPECT_EQ(market.latest_mavets.at(round_to_mintick(100, 0.01)), 45);
}

TEST(CheckMavet, ACloseAtTheMarginIsNoRecovery) {
  WindowMarket market;
  market.bar(44, 100, 90);
  market.bar(45, 101, 95);  // 100 * 1.01 is exactly 101
  market.window(100, 40);
  market.at(45);
  auto m = market.model();
  EXPECT_FALSE(check_mavet(m, args()).close_above_low_and_kerd);
  EXPECT_EQ(market.mavets[0].recover_at_bar_index, -1);
  market.bar(45, std::nextafter(101.0, 200.0), 95);
  EXPECT_TRUE(check_mavet(m, args()).has_signal);
}

TEST(CheckMavet, IgnoresTheRecoveredFlagAndSkipsASetRecoveryBar) {
  WindowMarket market;
  recovering_bar(market);
  market.window(100, 40).recover_at_bar_index = 44;  // set by the third form, never judged here
  market.window(99, 40).recovered = true;
  market.at(45);
  auto m = market.model();
  const MavetResult r = check_mavet(m, args());
  EXPECT_TRUE(r.has_signal);
  EXPECT_EQ(r.mavet->break_kerd_at_price, 99);
  EXPECT_EQ(market.mavets[0].recover_at_bar_index, 44);
}

}  // namespace
}  // namespace torvex::core
