// Window tracking on the native model: the previous-close gate, the three break conditions,
// the recorded fields, front-only ageing and the commit mapping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "core/engine_mavet_tracking.hpp"
#include "test_engine_windows_market.hpp"

namespace torvex::core {
namespace {

using testing::WindowMarket;

struct BreakCase {
  const char* name;
  double prev_close, close, low;
  bool opens;
};

class BreakConditions : public ::testing::TestWithParam<BreakCase> {};

// Level 100, threshold factor 1 + 2 * 0.01 * 1 = 1.02: a low within 102 of the level counts.
TEST_P(BreakConditions, OpensAWindowOnlyWhenOneConditionHolds) {
  const BreakCase& c = GetParam();
  WindowMarket market;
  market.line(100.0);
  market.bar(9, c.prev_close, c.prev_close - 1);
  market.bar(10, c.close, c.low);
  market.at(10);
  auto m = market.model();
  update_mavet(m, 5.0, int64_t{0}, 1.0, 2.0);
  EXPECT_EQ(market.mavets.size(), c.opens ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Window, BreakConditions,
    ::testing::Values(BreakCase{"close_below", 101, 99.5, 99, true},
                      BreakCase{"broke_intrabar_closed_above", 101, 100.5, 99.9, true},
                      BreakCase{"low_within_threshold", 101, 103, 101.5, true},
                      BreakCase{"low_at_threshold", 101, 103, 102, true},
                      BreakCase{"low_beyond_threshold", 101, 103, 102.01, false},
                      BreakCase{"close_at_level_low_below", 101, 100, 99, false},
                      BreakCase{"low_at_level_close_above", 101, 101, 100, false},
                      BreakCase{"previous_close_at_level", 100, 99, 98, true},
                      BreakCase{"previous_close_below_level", 99.99, 99, 98, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The threshold is ((percent * 0.01) * threshold + 1) times the level; these values make every
// other grouping come out a few ulps lower.
TEST(UpdateMavet, NearLevelMarginIsComputedInItsOwnOrder) {
  const double level = 94.51, percent = 2.149, threshold = 1.43;
  const double edge = 97.41435845700002;
  for (double low : {edge, std::nextafter(edge, 200.0)}) {
    WindowMarket market;
    market.line(level);
    market.bar(9, 120, 119);
    market.bar(10, 120, low);
    market.at(10);
    auto m = market.model();
    update_mavet(m, 5.0, int64_t{0}, threshold, percent);
    EXPECT_EQ(market.mavets.size(), low == edge ? 1u : 0u) << low;
  }
}

TEST(UpdateMavet, RecordsTheLineAndTheSearchRange) {
  WindowMarket market;
  // Closes of bars 5..9 against level 100: 100, 99, 101, 98, 100 -> three at or above.
  const double closes[] = {100, 99, 101, 98, 100};
  for (int i = 0; i < 5; ++i) market.bar(5 + i, closes[i], closes[i] - 1);
  market.bar(4, 50, 49);  // outside a search range of 5
  market.bar(10, 99, 98);
  market.line(100.0, 2, 4);
  market.at(10);
  auto m = market.model();
  update_mavet(m, 5.0, int64_t{5}, 1.0, 1.0);
  ASSERT_EQ(market.mavets.size(), 1u);
  const Mavet& w = market.mavets[0];
  EXPECT_EQ(w.break_kerd_at_price, 100.0);
  EXPECT_EQ(w.break_kerd_at_bar_index, 10);
  EXPECT_EQ(w.recover_at_bar_index, -1);
  EXPECT_EQ(w.break_kerd_extend_bar_cross, 2);
  EXPECT_EQ(w.bar_count_close_above_kerd, 3);
  EXPECT_EQ(w.vip_snib_count, 4);
  EXPECT_FALSE(w.recovered);

  market.mavets.clear();
  update_mavet(m, 5.0, int64_t{0}, 1.0, 1.0);
  ASSERT_EQ(market.mavets.size(), 1u);
  EXPECT_EQ(market.mavets[0].bar_count_close_above_kerd, 0);
}

TEST(UpdateMavet, EveryBrokenLineGetsItsOwnWindowEachBar) {
  WindowMarket market;
  market.line(100.0);
  market.line(99.5);
  market.line(90.0);  // not broken
  market.bar(9, 101, 100);
  market.bar(10, 99, 98);
  market.bar(11, 101, 100);
  market.bar(12, 99, 98);
  auto m = market.model();
  for (int64_t i : {10, 11, 12}) {
    market.at(i);
    update_mavet(m, 5.0, int64_t{0}, 1.0, 1.0);
  }
  // Bar 11's previous close (99) is below both levels: no window; bar 12 breaks again.
  ASSERT_EQ(market.mavets.size(), 4u);
  EXPECT_EQ(market.mavets[0].break_kerd_at_bar_index, 10);
  EXPECT_EQ(market.mavets[1].break_kerd_at_price, 99.5);
  EXPECT_EQ(market.mavets[2].break_kerd_at_bar_index, 12);
  EXPECT_EQ(market.mavets[3].break_kerd_at_bar_index, 12);
}

TEST(UpdateMavet, AgesOutFromTheFrontAtTheExactBoundary) {
  WindowMarket market;
  market.window(100, 100);
  market.window(100, 100);
  market.window(100, 103);
  auto m = market.model();
  market.at(106);  // 100 + 2 * 3 is not below 106
  update_mavet(m, 2.0, int64_t{0}, 1.0, 1.0);
  EXPECT_EQ(market.mavets.size(), 3u);
  market.at(107);
  update_mavet(m, 2.0, int64_t{0}, 1.0, 1.0);
  ASSERT_EQ(market.mavets.size(), 1u);
  EXPECT_EQ(market.mavets[0].break_kerd_at_bar_index, 103);
}

TEST(UpdateMavet, AnExpiredWindowBehindALiveOneWaits) {
  WindowMarket market;
  market.window(100, 150);
  market.window(100, 10);
  market.window(100, 10, 0, 0, 0).recovered = true;
  auto m = market.model();
  market.at(151);
  update_mavet(m, 2.0, int64_t{0}, 1.0, 1.0);
  EXPECT_EQ(market.mavets.size(), 3u);
  market.at(157);
  update_mavet(m, 2.0, int64_t{0}, 1.0, 1.0);
  EXPECT_TRUE(market.mavets.empty());
}

TEST(UpdateMavet, ACountThatDoesNotFitFailsAndKeepsEarlierWindows) {
  WindowMarket market;
  market.window(50, 0);  // old enough to age out, had the call got that far
  market.line(100.0);
  market.line(100.0, int64_t{std::numeric_limits<int32_t>::max()} + 1);
  market.line(100.0);
  market.bar(9, 101, 100);
  market.bar(10, 99, 98);
  market.at(10);
  auto m = market.model();
  try {
    update_mavet(m, 1.0, int64_t{0}, 1.0, 1.0);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::overflow);
    EXPECT_STREQ(e.what(), "value too large to convert to int");
  }
  ASSERT_EQ(market.mavets.size(), 2u);
  EXPECT_EQ(market.mavets[0].break_kerd_at_price, 50);
  EXPECT_EQ(market.mavets[1].break_kerd_at_bar_index, 10);
}

TEST(UpdateMavet, ASearchRangeBeyondTheSeriesFails) {
  WindowMarket market;
  market.line(100.0);
  market.line(100.0);
  market.bar(2, 101, 100);
  market.bar(3, 99, 98);
  market.at(3);
  auto m = market.model();
  // Three bars back reach bar 0; four do not.
  update_mavet(m, 1.0, int64_t{3}, 1.0, 1.0);
  EXPECT_EQ(market.mavets.size(), 2u);
  market.mavets.clear();
  EXPECT_THROW(update_mavet(m, 1.0, int64_t{4}, 1.0, 1.0), Error);
  EXPECT_TRUE(market.mavets.empty());
}

TEST(CommitLatestMavet, KeysByRoundedPriceAndKeepsTheLatestBar) {
  WindowMarket market;
  auto m = market.model();
  market.at(20);
  commit_latest_mavet(m, 100.004);
  market.at(30);
  commit_latest_mavet(m, 99.996);  // rounds to the same tick
  market.at(31);
  commit_latest_mavet(m, 101.0);
  ASSERT_EQ(market.latest_mavets.size(), 2u);
  EXPECT_EQ(market.latest_mavets.at(round_to_mintick(100.0, 0.01)), 30);
  EXPECT_EQ(market.latest_mavets.at(round_to_mintick(101.0, 0.01)), 31);
}

}  // namespace
}  // namespace torvex::core
