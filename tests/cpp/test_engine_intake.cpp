// Pivot intake and the move to the processed list, on the native model.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/engine_intake.hpp"
#include "test_engine_fixture.hpp"

namespace torvex::core::testing {
namespace {

// Ten rising bars; normal pivots are 2 bars back, trending ones 1 bar back.
class IntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 10; ++i) market.add({100.0 + i, 101.0 + i, 99.0 + i, 100.5 + i});
    open_debug_window(market.settings);
    set_pivot_widths(market.settings, {5, 2}, {4, 2}, {3, 1}, {2, 1});
  }
  // Reports pivots of all four kinds on bar 9 with the trend flag off 2 back and on 1 back.
  void all_four_on_last_bar() {
    market.normal_high_snib[9] = 110.0;
    market.normal_low_snib[9] = 95.0;
    market.trending_high_snib[9] = 111.0;
    market.trending_low_snib[9] = 96.0;
    market.is_ma_trending[7] = 0.0;
    market.is_ma_trending[8] = 1.0;
    market.at(9);
  }
  bool intake(double close_avg_percent = 0.75) {
    NativeModel m(market.state);
    return add_new_snibs_to_pending(m, market.trend_series, close_avg_percent);
  }

  Market market;
};

TEST_F(IntakeTest, AdmitsAllFourKindsInKindOrderWithTheirFields) {
  all_four_on_last_bar();
  ASSERT_TRUE(intake(0.75));
  const auto& got = market.new_vip_snibs;
  ASSERT_EQ(got.size(), 4u);
  const double prices[] = {110.0, 95.0, 111.0, 96.0};
  const int ns[] = {5, 4, 3, 2};
  const int ms[] = {2, 2, 1, 1};
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(got[k].n, ns[k]);
    EXPECT_EQ(got[k].m, ms[k]);
    EXPECT_EQ(got[k].price, prices[k]);
    EXPECT_EQ(got[k].close_at_pivot, market.close[9 - ms[k]]);
    EXPECT_EQ(got[k].bar_index_at_pivot, 9 - ms[k]);
    EXPECT_EQ(got[k].bar_time_at_pivot, 1000 + 60 * 9);  // the confirming bar's time
    EXPECT_EQ(got[k].is_high, k % 2 == 0);
    EXPECT_EQ(got[k].is_trending, k >= 2);
    EXPECT_FALSE(got[k].used);
    EXPECT_EQ(got[k].close_avg_percent, 0.75);
  }
}

TEST_F(IntakeTest, TrendFlagAtThePivotBarDecidesBetweenNormalAndTrending) {
  all_four_on_last_bar();
  market.is_ma_trending[7] = 1.0;  // normal kinds need it falsy 2 bars back
  market.is_ma_trending[8] = 0.0;  // trending kinds need it truthy 1 bar back
  EXPECT_FALSE(intake());
  EXPECT_TRUE(market.new_vip_snibs.empty());

  market.is_ma_trending[7] = 0.0;
  EXPECT_TRUE(intake());
  ASSERT_EQ(market.new_vip_snibs.size(), 2u);
  EXPECT_FALSE(market.new_vip_snibs[0].is_trending);
  EXPECT_FALSE(market.new_vip_snibs[1].is_trending);
}

TEST_F(IntakeTest, AllNaNReadsOnlyTheTimeWindowAndTheRecentFlag) {
  market.at(9);
  market.settings.debug_start_time = 1e9;  // after the bar: the end bound is not read
  RecordingModel m(market.state);
  EXPECT_FALSE(add_new_snibs_to_pending(m, market.trend_series, 1.0));
  EXPECT_EQ(m.reads, (std::vector<Setting>{Setting::debug_start_time, Setting::draw_from_recent}));

  market.settings.debug_start_time = 0;
  market.settings.draw_from_recent = true;
  market.settings.bar_count_to_snib = 5;
  m.reads.clear();
  EXPECT_FALSE(add_new_snibs_to_pending(m, market.trend_series, 1.0));
  EXPECT_EQ(m.reads, (std::vector<Setting>{Setting::debug_start_time, Setting::debug_end_time,
                                           Setting::draw_from_recent, Setting::bar_count_to_snib}));
  EXPECT_TRUE(market.new_vip_snibs.empty());
}

TEST_F(IntakeTest, AnAdmittedPivotReadsItsSettingsInRecordOrder) {
  market.normal_high_snib[9] = 110.0;
  market.at(9);
  RecordingModel m(market.state);
  ASSERT_TRUE(add_new_snibs_to_pending(m, market.trend_series, 1.0));
  EXPECT_EQ(m.reads,
            (std::vector<Setting>{Setting::debug_start_time, Setting::debug_end_time,
                                  Setting::draw_from_recent, Setting::high_snib_m,
                                  Setting::debug_start_price, Setting::debug_end_price,
                                  Setting::debug, Setting::high_snib_n, Setting::high_snib_m,
                                  Setting::high_snib_m, Setting::high_snib_m}));
}

struct DebugCase {
  double start_time, end_time, start_price, end_price;
  bool debug, admitted;
};

class IntakeDebugTest : public IntakeTest, public ::testing::WithParamInterface<DebugCase> {};

TEST_P(IntakeDebugTest, DebugWindowsGateAdmissionOnlyWhenDebugging) {
  const DebugCase c = GetParam();
  market.normal_high_snib[9] = 110.0;
  market.at(9);
  const double now = 1000 + 60 * 9;
  market.settings.debug = c.debug;
  market.settings.debug_start_time = now + c.start_time;
  market.settings.debug_end_time = now + c.end_time;
  market.settings.debug_start_price = c.start_price;
  market.settings.debug_end_price = c.end_price;
  EXPECT_EQ(intake(), c.admitted);
  EXPECT_EQ(market.new_vip_snibs.size(), c.admitted ? 1u : 0u);
}

// The names of the cases below, in their order.
std::string debug_case_name(const ::testing::TestParamInfo<DebugCase>& info) {
  static constexpr const char* names[] = {"time_bounds_inclusive",      "bar_before_the_window",
                                          "bar_after_the_window",       "price_low_bound_exclusive",
                                          "price_high_bound_exclusive", "not_debugging"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    Windows, IntakeDebugTest,
    ::testing::Values(DebugCase{0, 0, 100, 120, true, true},     // time bounds inclusive
                      DebugCase{1, 5, 100, 120, true, false},    // bar before the window
                      DebugCase{-5, -1, 100, 120, true, false},  // bar after the window
                      DebugCase{-5, 5, 110, 120, true, false},   // price bound exclusive
                      DebugCase{-5, 5, 100, 110, true, false},   // price bound exclusive
                      DebugCase{1, 5, 110, 110, false, true}),   // not debugging: no effect
    debug_case_name);

TEST_F(IntakeTest, RecentWindowAdmitsOnlyTheLastBarCountBars) {
  market.settings.draw_from_recent = true;
  market.settings.bar_count_to_snib = 3;
  market.normal_high_snib[6] = 108.0;
  market.normal_high_snib[7] = 109.0;
  market.at(6);  // 3 bars still to come: outside
  EXPECT_FALSE(intake());
  market.at(7);
  EXPECT_TRUE(intake());
  ASSERT_EQ(market.new_vip_snibs.size(), 1u);
  EXPECT_EQ(market.new_vip_snibs[0].price, 109.0);
}

TEST_F(IntakeTest, ASeriesThatCannotReachMBarsBackFailsAfterEarlierKinds) {
  market.normal_high_snib[1] = 105.0;
  market.trending_high_snib[1] = 106.0;
  market.settings.high_snib_m = 1;
  market.settings.high_snib_m_on_trend = 2;  // needs bar -1
  market.at(1);
  EXPECT_THROW(intake(), Error);
  ASSERT_EQ(market.new_vip_snibs.size(), 1u);
  EXPECT_EQ(market.new_vip_snibs[0].price, 105.0);
}

TEST_F(IntakeTest, ARecordFieldOutside32BitsAppendsNothingForThatKind) {
  market.time[9] = 3e9;
  market.normal_high_snib[9] = 110.0;
  market.at(9);
  try {
    intake();
    FAIL() << "expected an overflow";
  } catch (const Error& error) {
    EXPECT_EQ(error.kind(), ErrorKind::overflow);
    EXPECT_STREQ(error.what(), "value too large to convert to int");
  }
  EXPECT_TRUE(market.new_vip_snibs.empty());
}

TEST_F(IntakeTest, TheMoveTakesPendingPivotsLastFirst) {
  market.at(9);
  NativeModel m(market.state);
  add_new_snibs_to_processed_array(m);
  EXPECT_TRUE(market.vip_snibs.empty());

  market.vip_snibs.push_back(Snib{.price = 1.0});
  for (double price : {2.0, 3.0, 4.0}) market.new_vip_snibs.push_back(Snib{.price = price});
  add_new_snibs_to_processed_array(m);
  EXPECT_TRUE(market.new_vip_snibs.empty());
  std::vector<double> prices;
  for (const Snib& snib : market.vip_snibs) prices.push_back(snib.price);
  EXPECT_EQ(prices, (std::vector<double>{1.0, 4.0, 3.0, 2.0}));
}

}  // namespace
}  // namespace torvex::core::testing
