// The rebuild from the processed pivots, and the per-bar update that drives it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/engine_extension.hpp"
#include "core/engine_intake.hpp"
#include "core/engine_rebuild.hpp"
#include "core/engine_update.hpp"
#include "core/kerd_end_index.hpp"
#include "test_engine_fixture.hpp"

namespace torvex::core::testing {
namespace {

Snib pivot(int32_t bar, double price) {
  Snib snib;
  snib.price = price;
  snib.bar_index_at_pivot = bar;
  snib.bar_time_at_pivot = 1000 + 60 * bar;
  snib.close_avg_percent = 1.0;
  return snib;
}

// Thirty bars far below the pivots, so no body crosses a line unless a test says so.
class RebuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 30; ++i) market.add_flat(50.0);
    market.at(29);
    Settings& s = market.settings;
    s.kerd_overlap_ca_percent_multiplier = 1.0;  // a 1 % band around lines of percentage 1
    s.bar_cross_threshold = 3;
    set_snib_weights(s, 3, 2, 1);
    s.kerd_length_threshold = 100;
  }
  void rebuild() {
    NativeModel m(market.state);
    rebuild_kerd_from_most_recent_snib(m);
  }

  Market market;
};

TEST_F(RebuildTest, NewestPivotStartsTheLineAndOlderOnesMergeBackward) {
  market.kerds.push_back(market.line(5, 70.0));  // cleared: pivots are pending
  market.vip_snibs = {pivot(10, 100.0)};
  market.new_vip_snibs = {pivot(15, 100.5), pivot(20, 100.2)};
  rebuild();
  EXPECT_TRUE(market.new_vip_snibs.empty());
  ASSERT_EQ(market.vip_snibs.size(), 3u);
  EXPECT_EQ(market.vip_snibs[2].price, 100.2);
  ASSERT_EQ(market.kerds.size(), 1u);
  const Kerd& line = market.kerds[0];
  EXPECT_EQ(line.snib_values, (std::vector<double>{100.0, 100.5, 100.2}));
  EXPECT_EQ(line.start_bar_index, 10);
  EXPECT_EQ(line.end_bar_index, 20);
  EXPECT_EQ(line.start_time, 1600.0);
  EXPECT_EQ(line.end_time, 2200.0);
  EXPECT_EQ(line.kerd_accum_value, 100.2 + 100.5 + 100.0);
  EXPECT_EQ(line.kerd_value, (100.0 * 1 + 100.5 * 2 + 100.2 * 3) / 6);
  EXPECT_EQ(line.bar_index, 29);
}

TEST_F(RebuildTest, WithNothingPendingEveryPivotIsOfferedAgain) {
  market.new_vip_snibs = {pivot(10, 100.0), pivot(15, 100.5), pivot(20, 100.2)};
  rebuild();
  rebuild();
  // The newest pivot's line shares its end bar with the line: that merge changes nothing and
  // drops the pivot. The middle pivot merges again (start 15), after which the oldest one does.
  ASSERT_EQ(market.kerds.size(), 1u);
  EXPECT_EQ(market.kerds[0].snib_values, (std::vector<double>{100.0, 100.5, 100.0, 100.5, 100.2}));
  EXPECT_EQ(market.kerds[0].start_bar_index, 10);
  EXPECT_EQ(market.vip_snibs.size(), 3u);
}

TEST_F(RebuildTest, BothListsEmptyChangeNothing) {
  market.kerds.push_back(market.line(5, 70.0));
  rebuild();
  ASSERT_EQ(market.kerds.size(), 1u);
  EXPECT_EQ(market.kerds[0].snib_values, (std::vector<double>{70.0}));
}

struct OfferCase {
  const char* name;
  double price;                // of the offered pivot at bar 10
  double bar_cross_threshold;  // bodies on bars 10..19 cross 100 when crossing is set
  bool crossing;
  double length_limit;
  bool allow_reuse;
  std::vector<std::size_t> receivers;  // existing lines that took the pivot
  bool appended;
};

class OfferTest : public RebuildTest, public ::testing::WithParamInterface<OfferCase> {};

// Two existing lines at 100 (bar 20) and 100.3 (bar 25); one processed pivot at bar 10.
TEST_P(OfferTest, APivotGoesToTheLinesThatPassAllThreeTests) {
  const OfferCase& c = GetParam();
  if (c.crossing)
    for (int i = 10; i < 20; ++i) market.open[i] = 99, market.close[i] = 101;
  market.settings.bar_cross_threshold = c.bar_cross_threshold;
  market.settings.kerd_length_threshold = c.length_limit;
  market.settings.allow_reuse_snib = c.allow_reuse;
  market.kerds = {market.line(20, 100.0), market.line(25, 100.3)};
  market.vip_snibs = {pivot(10, c.price)};
  rebuild();
  ASSERT_EQ(market.kerds.size(), c.appended ? 3u : 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    const bool received = std::find(c.receivers.begin(), c.receivers.end(), k) != c.receivers.end();
    EXPECT_EQ(market.kerds[k].snib_values.size(), received ? 2u : 1u) << "line " << k;
    EXPECT_EQ(market.kerds[k].start_bar_index, received ? 10 : 20 + 5 * static_cast<int>(k));
  }
  if (c.appended) {
    EXPECT_EQ(market.kerds[2].snib_values, (std::vector<double>{c.price}));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tests, OfferTest,
    ::testing::Values(OfferCase{"first_only", 100.1, 3, false, 100, false, {0}, false},
                      OfferCase{"reuse_all", 100.1, 3, false, 100, true, {0, 1}, false},
                      OfferCase{"no_overlap", 110.0, 3, false, 100, true, {}, true},
                      OfferCase{"crossing_fails", 100.0, 3, true, 100, true, {}, true},
                      OfferCase{
                          "crossing_at_threshold", 100.05, 10, true, 100, true, {0, 1}, false},
                      // Same level as the first line: that merge changes nothing, yet counts.
                      OfferCase{"merge_changes_nothing", 100.0, 3, false, 100, false, {}, false},
                      OfferCase{"length_fails_for_one", 100.1, 3, false, 12, true, {0}, false},
                      OfferCase{"length_fails", 100.1, 3, false, 9, true, {}, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RebuildTest, OnePairReadsItsSettingsInTestOrder) {
  market.kerds = {market.line(20, 100.0)};
  market.vip_snibs = {pivot(10, 100.1)};
  RecordingModel m(market.state);
  rebuild_kerd_from_most_recent_snib(m);
  EXPECT_EQ(m.reads, (std::vector<Setting>{
                         Setting::kerd_overlap_ca_percent_multiplier, Setting::bar_cross_threshold,
                         Setting::last_snib_weight, Setting::second_last_snib_weight,
                         Setting::snib_weight, Setting::kerd_length_threshold,
                         Setting::last_snib_weight, Setting::second_last_snib_weight,
                         Setting::snib_weight, Setting::allow_reuse_snib}));
}

// Merges may leave a line's value to be weighed later: a rebuild that fails part-way (a
// crossing test reading past the stored bars) still leaves every value weighed in full.
TEST_F(RebuildTest, AFailingRebuildLeavesNoValueUnweighed) {
  market.kerds = {market.line(20, 100.0)};
  // Offered newest first: 12 and 10 merge, -10 reads bars the market does not hold.
  market.vip_snibs = {pivot(-10, 100.02), pivot(10, 100.1), pivot(12, 100.05)};
  EXPECT_THROW(rebuild(), Error);
  const Kerd& k = market.kerds.at(0);
  ASSERT_EQ(k.snib_values, (std::vector<double>{100.1, 100.05, 100.0}));
  NativeModel m(market.state);
  const double weighed = calculate_weighted_kerd_value(m, k.snib_values, 3.0, 2.0, 1.0);
  EXPECT_EQ(std::bit_cast<uint64_t>(k.kerd_value), std::bit_cast<uint64_t>(weighed));
}

// update over ten bars whose pivots arrive through the normal-high series.
class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 10; ++i) market.add({60, 61, 59, 60});
    Settings& s = market.settings;
    open_debug_window(s);
    s.draw_from_recent = true;
    s.bar_count_to_snib = 2;
    s.high_snib_m = 1;
    s.kerd_overlap_ca_percent_multiplier = 1;
    s.last_snib_weight = 1;
    s.kerd_length_threshold = 100;
  }
  bool update_at(int64_t bar) {
    market.at(bar);
    NativeModel m(market.state);
    return update(m, market.trend_series, 1.0);
  }

  Market market;
};

TEST_F(UpdateTest, WithoutDrawFromRecentOnlyPivotsAreCollected) {
  market.settings.draw_from_recent = false;
  market.normal_high_snib[9] = 61.0;
  market.kerds.push_back(market.line(0, 60.0));
  EXPECT_TRUE(update_at(9));
  EXPECT_EQ(market.new_vip_snibs.size(), 1u);
  ASSERT_EQ(market.kerds.size(), 1u);
  EXPECT_FALSE(market.kerds[0].extended);  // no extension either
}

TEST_F(UpdateTest, LineWorkStartsOneBarInsideTheEndWindow) {
  market.kerds.push_back(market.line(0, 60.0));  // every bar straddles it
  EXPECT_FALSE(update_at(5));                    // 4 bars to come: 4 == 2 * 2, outside
  EXPECT_FALSE(market.kerds[0].extended);
  EXPECT_FALSE(update_at(6));  // no pivot: no rebuild, but the extension runs
  ASSERT_EQ(market.kerds.size(), 1u);
  EXPECT_TRUE(market.kerds[0].historical_extend_bar_crosses_checked);
}

TEST_F(UpdateTest, APivotInTheEndWindowRebuildsSortsAndExtends) {
  market.normal_high_snib[8] = 60.5;  // pivot bar 7, admitted: 1 bar to come < 2
  market.kerds.push_back(market.line(0, 70.0));
  EXPECT_TRUE(update_at(8));
  ASSERT_EQ(market.kerds.size(), 1u);  // cleared and rebuilt from the one pivot
  EXPECT_EQ(market.kerds[0].end_bar_index, 7);
  EXPECT_EQ(market.vip_snibs.size(), 1u);
  // The line's end time is the confirming bar's: that bar cannot extend it, the next one does.
  EXPECT_FALSE(market.kerds[0].extended);
  EXPECT_FALSE(update_at(9));
  ASSERT_EQ(market.kerds.size(), 1u);
  EXPECT_EQ(market.kerds[0].extend_end_bar_index, 9);
}

// The native model without its shortcuts: every merge test runs and weighs gathered values.
class EveryTestModel : public NativeModel {
 public:
  using NativeModel::NativeModel;
  template <class... Args>
  bool merge_tests_unseen(Args&&...) const = delete;
  template <class... Args>
  std::span<const double> snib_span(Args&&...) const = delete;
  template <class... Args>
  void remember_merged_value(Args&&...) const = delete;
  template <class... Args>
  void weigh_later(Args&&...) const = delete;
};

struct FlowCase {
  uint32_t seed;
  bool allow_reuse;
  double length_limit;
  std::array<double, 3> weights = {3, 2, 1};  // last, second last, general
};

class FlowTest : public ::testing::TestWithParam<FlowCase> {};

// A host's all-bars flow (update; on a pivot the move and the rebuild, which offers every
// processed pivot again to the lines; the extension) on a random market on a coarse grid, so
// that levels meet bodies exactly: the shortcuts change no line after any rebuild.
TEST_P(FlowTest, ShortcutsChangeNoLine) {
  const FlowCase c = GetParam();
  Market fast, slow;
  uint32_t state = c.seed;
  const auto next = [&state](int range) {
    state = state * 1664525u + 1013904223u;
    return static_cast<int>((state >> 8) % static_cast<uint32_t>(range));
  };
  double price = 20.0;
  for (int i = 0; i < 400; ++i) {
    const double open = price + (next(3) - 1) * 0.25, close = price + (next(7) - 3) * 0.25;
    const Bar bar{open, std::max(open, close) + next(3) * 0.25,
                  std::min(open, close) - next(3) * 0.25, close};
    const double pivot = next(4) == 0 ? price + (next(9) - 4) * 0.25 : kNaN;
    for (Market* m : {&fast, &slow}) {
      m->add(bar);
      if (i >= 5) (next(2) == 0 ? m->normal_high_snib : m->normal_low_snib).back() = pivot;
    }
    price = std::clamp(close, 10.0, 30.0);
  }
  for (Market* m : {&fast, &slow}) {
    Settings& s = m->settings;
    s.draw_from_recent = false;
    s.high_snib_m = s.low_snib_m = 2;
    open_debug_window(s);
    s.only_body_cross = true;
    s.kerd_extend_bar_cross_threshold = 2;
    s.allow_reuse_snib = c.allow_reuse;
    s.kerd_overlap_ca_percent_multiplier = 0.5;
    s.bar_cross_threshold = 2;
    set_snib_weights(s, c.weights[0], c.weights[1], c.weights[2]);
    s.kerd_length_threshold = c.length_limit;
  }
  NativeModel fast_model(fast.state);
  EveryTestModel slow_model(slow.state);
  const auto bar_of = [](auto& model, Market& market, int64_t i) {
    market.at(i);
    if (update(model, market.trend_series, 4.0)) {  // bands of 2 %
      add_new_snibs_to_processed_array(model);
      rebuild_kerd_from_most_recent_snib(model);
    }
    extend_kerd_to_first_cross(model);
  };
  std::size_t merged = 0;
  for (int64_t i = 0; i < 400; ++i) {
    bar_of(fast_model, fast, i);
    bar_of(slow_model, slow, i);
    ASSERT_EQ(fast.kerds.size(), slow.kerds.size()) << "bar " << i;
    for (std::size_t k = 0; k < fast.kerds.size(); ++k) {
      const Kerd &a = fast.kerds[k], &b = slow.kerds[k];
      ASSERT_EQ(a.snib_values, b.snib_values) << "bar " << i << " line " << k;
      ASSERT_EQ(std::bit_cast<uint64_t>(a.kerd_value), std::bit_cast<uint64_t>(b.kerd_value));
      ASSERT_EQ(a.kerd_accum_value, b.kerd_accum_value);
      ASSERT_EQ(a.start_bar_index, b.start_bar_index);
      ASSERT_EQ(a.end_bar_index, b.end_bar_index);
      ASSERT_EQ(a.extended, b.extended);
      ASSERT_EQ(a.bar_crosses_post_extend, b.bar_crosses_post_extend);
      ASSERT_EQ(a.violated, b.violated);
      merged += a.snib_values.size() > 1;
    }
  }
  EXPECT_GT(merged, 0u);  // the market does merge lines
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct ReachCase {
  const char* name;
  std::vector<int64_t> ends;  // appended in order
  int64_t start;
  double length_limit;
};

class EndIndexTest : public ::testing::TestWithParam<ReachCase> {};

// The index offers exactly the positions, ascending, that the length test passes, as it
// computes that test (the difference converted to double), and whose reach holds the level
// (any level but NaN while the reach is not known), and stops where the visit asks. Reaches
// are set on some positions (one of them NaN, which holds no level) and forgotten on others.
// Beyond, the positions the length test fails whose reach is unknown or holds the level.
TEST_P(EndIndexTest, OffersTheLinesInReachInListOrder) {
  const ReachCase& c = GetParam();
  KerdEndIndex index;
  for (int64_t end : c.ends) index.push(end);
  std::vector<ValueRange> reaches(c.ends.size(), ValueRange{-kInfinity, kInfinity});
  std::vector<bool> known(c.ends.size(), false);
  const auto offers_those_in_reach = [&](double level) {
    // Within: the length test passes and the reach holds the level. Beyond: the length test
    // fails and the reach, if known, holds the level.
    std::vector<std::size_t> within, beyond;
    for (std::size_t y = 0; y < c.ends.size(); ++y) {
      const wide_int length = wide(c.ends[y]) - c.start;
      const bool holds = reaches[y].low <= level && level <= reaches[y].high;
      if (static_cast<double>(length) <= c.length_limit) {
        if (holds) within.push_back(y);
      } else if (holds || !known[y]) {
        beyond.push_back(y);
      }
    }
    for (bool past : {false, true}) {
      const std::vector<std::size_t>& expected = past ? beyond : within;
      for (std::size_t stop_after : {std::size_t{1}, expected.size() + 1}) {
        std::vector<std::size_t> seen;
        const auto visit = [&](std::size_t y) {
          seen.push_back(y);
          return seen.size() == stop_after;
        };
        if (past)
          index.for_each_beyond(c.start, c.length_limit, level, visit);
        else
          index.for_each_within(c.start, c.length_limit, level, visit);
        const std::size_t count = std::min(stop_after, expected.size());
        EXPECT_EQ(seen, std::vector<std::size_t>(expected.begin(), expected.begin() + count))
            << level << (past ? " beyond" : " within");
      }
    }
  };
  offers_those_in_reach(12.0);  // no reach known yet
  for (std::size_t y = 0; y < c.ends.size(); y += 3) {
    const double low = static_cast<double>(y % 40);
    reaches[y] = y % 9 == 6 ? ValueRange{kNaN, kNaN} : ValueRange{low, low + 10.0};
    index.set_reach(y, reaches[y]);
    known[y] = true;
    if (y % 5 == 0) {
      index.forget_reach(y);
      reaches[y] = {-kInfinity, kInfinity};
      known[y] = false;
    }
    EXPECT_EQ(index.reach_known(y), y % 5 != 0);
  }
  for (double level : {-1.0, 12.0, 30.5, kInfinity, kNaN}) offers_those_in_reach(level);
}

std::vector<int64_t> scattered_ends(std::size_t count, uint32_t seed) {
  std::vector<int64_t> ends;
  for (std::size_t i = 0; i < count; ++i) {
    seed = seed * 1664525u + 1013904223u;
    ends.push_back(static_cast<int64_t>(seed >> 20) - 2048);  // -2048..2047, any order
  }
  return ends;
}

std::vector<int64_t> falling_ends(std::size_t count, int64_t step = 3) {  // as a rebuild appends
  std::vector<int64_t> ends;
  for (std::size_t i = 0; i < count; ++i) ends.push_back(5000 - step * static_cast<int64_t>(i));
  return ends;
}

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Reaches, EndIndexTest,
    ::testing::Values(
        ReachCase{"empty", {}, 0, 10}, ReachCase{"scattered", scattered_ends(700, 7), 0, 100},
        ReachCase{"scattered_fraction", scattered_ends(300, 9), -40, 12.5},
        ReachCase{"scattered_negative", scattered_ends(300, 3), 100, -1500.25},
        ReachCase{"falling", falling_ends(1000), 2500, 120},
        // The reach ends exactly on one line, at several places within a block.
        ReachCase{"falling_edge_0", falling_ends(64, 1), 4900, 69},
        ReachCase{"falling_edge_1", falling_ends(64, 1), 4900, 70},
        ReachCase{"falling_edge_5", falling_ends(64, 1), 4900, 74},
        ReachCase{"falling_none", falling_ends(100), 9000, -1e9},
        ReachCase{"nan", scattered_ends(50, 1), 0, kNaN},
        ReachCase{"infinite", scattered_ends(50, 2), 0, kInf},
        ReachCase{"minus_infinite", scattered_ends(50, 2), 0, -kInf},
        // Differences beyond 2^53 round: the test's own rounding decides.
        ReachCase{"rounding", {kMax, kMax - 1, 0, kMin, 1}, -3, 9223372036854775808.0},
        ReachCase{"rounding_below", {kMax, kMax - 600, kMax - 1100}, 0, 9223372036854774784.0},
        ReachCase{"extremes", {kMin, kMax, 0}, kMax, -1.8446744073709552e19}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Markets, FlowTest,
    ::testing::Values(FlowCase{1, false, 30}, FlowCase{2, true, 30}, FlowCase{3, false, 1000},
                      FlowCase{4, true, 8}, FlowCase{5, false, -1},
                      FlowCase{6, false, 1000, {0.3, 1.7, 0.9}},
                      FlowCase{7, true, 60, {1e-3, 2.5, 7.0}}, FlowCase{8, false, 1000, {3, 2, -1}},
                      FlowCase{9, false, 1000, {3, 0, 1}}),
    [](const auto& info) { return "seed_" + std::to_string(info.param.seed); });

}  // namespace
}  // namespace torvex::core::testing
