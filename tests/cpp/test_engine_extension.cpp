// Extension to the first cross on the current bar, and its replay over a line's history.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/engine_extension.hpp"
#include "test_engine_fixture.hpp"

namespace torvex::core::testing {
namespace {

constexpr double kLevel = 100.0;
constexpr Bar kAbove{105, 106, 104, 105};
constexpr Bar kBody{99, 102, 98, 101};     // body straddles the level
constexpr Bar kWick{101, 103, 99, 102};    // only the low wick reaches below
constexpr Bar kTouch{101, 103, 100, 102};  // low touches the level exactly
constexpr Bar kDoji{101, 102, 98, 101};    // open equals close, range straddles

struct LineState {
  bool extended = false;
  bool checked = false;
  int64_t extend_end = 0;
  int64_t crosses = 0;
  int64_t post_end = 0;
  bool violated = false;

  bool operator==(const LineState&) const = default;
};

void PrintTo(const LineState& s, std::ostream* os) {
  *os << "{ext " << s.extended << " chk " << s.checked << " ext_end " << s.extend_end << " crosses "
      << s.crosses << " post_end " << s.post_end << " viol " << s.violated << "}";
}

LineState state_of(const Kerd& kerd) {
  return {kerd.extended,
          kerd.historical_extend_bar_crosses_checked,
          kerd.extend_end_bar_index,
          kerd.bar_crosses_post_extend,
          kerd.post_extend_end_bar_index,
          kerd.violated};
}

void set_state(Kerd& kerd, const LineState& s) {
  kerd.extended = s.extended;
  kerd.historical_extend_bar_crosses_checked = s.checked;
  kerd.extend_end_bar_index = s.extend_end;
  kerd.bar_crosses_post_extend = s.crosses;
  kerd.post_extend_end_bar_index = s.post_end;
  kerd.violated = s.violated;
}

// Bars 0..9 lie above the level; bar 10, the current bar, is given by the test.
class ExtensionTest : public ::testing::Test {
 protected:
  void build(Bar current, int64_t end_bar_index = 5) {
    for (int i = 0; i < 10; ++i) market.add(kAbove);
    market.add(current);
    market.at(10);
    market.kerds.push_back(market.line(end_bar_index, kLevel));
  }
  Kerd& line() { return market.kerds.front(); }

  Market market;
};

struct CurrentBarCase {
  const char* name;
  LineState before;
  Bar bar;
  bool only_body_cross;
  double threshold;
  bool same_time;  // the bar's time equals the line's end time
  LineState after;
};

class CurrentBarTest : public ExtensionTest,
                       public ::testing::WithParamInterface<CurrentBarCase> {};

TEST_P(CurrentBarTest, AppliesTheFirstRuleThatHolds) {
  const CurrentBarCase& c = GetParam();
  build(c.bar);
  market.settings.only_body_cross = c.only_body_cross;
  market.settings.kerd_extend_bar_cross_threshold = c.threshold;
  set_state(line(), c.before);
  if (c.same_time) line().end_time = market.time[10];
  NativeModel m(market.state);
  extend_kerd_to_first_cross(m);
  EXPECT_EQ(state_of(line()), c.after);
}

// The current bar is bar 10.
INSTANTIATE_TEST_SUITE_P(
    Rules, CurrentBarTest,
    ::testing::Values(
        CurrentBarCase{"extends", {}, kBody, true, 3, false, {true, false, 10}},
        CurrentBarCase{"touch_is_no_straddle", {}, kTouch, true, 3, false, {}},
        CurrentBarCase{"same_time_blocks", {}, kBody, true, 3, true, {}},
        CurrentBarCase{"wick_extends", {}, kWick, true, 3, false, {true, false, 10}},
        CurrentBarCase{
            "first_cross_counts", {true, false, 7}, kBody, true, 3, false, {true, true, 7, 1, 10}},
        CurrentBarCase{"first_cross_wick_body_only",
                       {true, false, 7},
                       kWick,
                       true,
                       3,
                       false,
                       {true, true, 7, 0, 10}},
        CurrentBarCase{"first_cross_wick_counts_ohlc",
                       {true, false, 7},
                       kWick,
                       false,
                       3,
                       false,
                       {true, true, 7, 1, 10}},
        CurrentBarCase{
            "first_cross_no_straddle", {true, false, 7}, kTouch, true, 3, false, {true, false, 7}},
        CurrentBarCase{
            "extension_bar_again", {true, false, 10}, kBody, true, 3, false, {true, false, 10}},
        CurrentBarCase{"extension_bar_ahead_moves_back",
                       {true, false, 12},
                       kBody,
                       true,
                       3,
                       false,
                       {true, false, 10}},
        CurrentBarCase{"threshold_zero_violates",
                       {true, true, 7, 0, 8},
                       kBody,
                       true,
                       0,
                       false,
                       {true, true, 7, 1, 8, true}},
        CurrentBarCase{"within_threshold_moves_end",
                       {true, true, 7, 0, 8},
                       kBody,
                       true,
                       1,
                       false,
                       {true, true, 7, 1, 10}},
        CurrentBarCase{"past_threshold_uncounted_violates",
                       {true, true, 7, 3, 8},
                       kWick,
                       true,
                       1,
                       false,
                       {true, true, 7, 3, 8, true}},
        CurrentBarCase{"checked_without_extended",
                       {false, true, 7, 0, 8},
                       kBody,
                       true,
                       3,
                       false,
                       {false, true, 7, 1, 10}},
        CurrentBarCase{"checked_no_straddle",
                       {true, true, 7, 2, 8},
                       kTouch,
                       false,
                       0,
                       false,
                       {true, true, 7, 2, 8}},
        CurrentBarCase{"doji_never_counted",
                       {true, true, 7, 1, 8},
                       kDoji,
                       true,
                       1,
                       false,
                       {true, true, 7, 1, 10}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExtensionTest, RepeatedCallsOnOneBarCountTwice) {
  build(kBody);
  market.settings.kerd_extend_bar_cross_threshold = 5;
  set_state(line(), {true, true, 7, 0, 8});
  NativeModel m(market.state);
  extend_kerd_to_first_cross(m);
  extend_kerd_to_first_cross(m);
  EXPECT_EQ(line().bar_crosses_post_extend, 2);
  extend_kerd_to_first_cross_from_history(m);
  EXPECT_EQ(line().bar_crosses_post_extend, 3);
}

TEST_F(ExtensionTest, ReadsTheBodyFlagTwicePerLineAndTheThresholdOnlyWhenTested) {
  build(kBody);
  market.kerds.push_back(market.line(5, 200.0));  // never straddled
  set_state(line(), {true, true, 7, 0, 8});
  set_state(market.kerds[1], {true, true, 7, 0, 8});
  RecordingModel m(market.state);
  extend_kerd_to_first_cross(m);
  EXPECT_EQ(m.reads, (std::vector<Setting>{Setting::only_body_cross, Setting::only_body_cross,
                                           Setting::kerd_extend_bar_cross_threshold,
                                           Setting::only_body_cross, Setting::only_body_cross}));

  market.kerds.clear();
  m.reads.clear();
  m.offsets.clear();
  extend_kerd_to_first_cross(m);
  extend_kerd_to_first_cross_from_history(m);
  EXPECT_TRUE(m.reads.empty());
  EXPECT_TRUE(m.offsets.empty());
}

// The replay, with bars 0..9 set one by one; the current bar is bar 9.
class HistoryTest : public ::testing::Test {
 protected:
  void bars(std::initializer_list<Bar> list) {
    for (Bar bar : list) market.add(bar);
    market.at(static_cast<int64_t>(market.close.size()) - 1);
    market.settings.only_body_cross = true;
    market.settings.kerd_extend_bar_cross_threshold = 3;
  }
  Kerd& add_line(int64_t end_bar_index, double level = kLevel) {
    market.kerds.push_back(market.line(end_bar_index, level));
    return market.kerds.back();
  }
  // Replays with the native bar search and, on a copy of the lines, bar by bar; both must
  // leave the same lines and fail alike.
  void replay() {
    std::vector<Kerd> generic = market.kerds;
    std::swap(generic, market.kerds);
    std::optional<Error> generic_error;
    try {
      RecordingModel m(market.state);
      extend_kerd_to_first_cross_from_history(m);
    } catch (const Error& error) {
      generic_error = error;
    }
    std::swap(generic, market.kerds);
    std::optional<Error> native_error;
    try {
      NativeModel m(market.state);
      extend_kerd_to_first_cross_from_history(m);
    } catch (const Error& error) {
      native_error = error;
    }
    EXPECT_EQ(generic_error.has_value(), native_error.has_value());
    for (std::size_t i = 0; i < generic.size(); ++i)
      EXPECT_EQ(state_of(generic[i]), state_of(market.kerds[i])) << "line " << i;
    if (native_error) throw *native_error;
  }

  Market market;
};

TEST_F(HistoryTest, WalksFromExtensionThroughFirstCrossToTheCheckedRule) {
  // Bar 6 straddles (extension), 7 does not, 8 is a counted cross (first cross), 9 counts.
  bars({kAbove, kAbove, kAbove, kBody, kAbove, kAbove, kBody, kAbove, kBody, kBody});
  add_line(4);
  replay();
  EXPECT_EQ(state_of(market.kerds[0]), (LineState{true, true, 6, 2, 9}));
}

TEST_F(HistoryTest, BarsUpToTheExtensionBarLeaveAnExtendedLineAlone) {
  bars({kAbove, kAbove, kAbove, kBody, kBody, kBody, kAbove, kAbove, kWick, kAbove});
  Kerd& kerd = add_line(2);
  set_state(kerd, {true, false, 5});  // extended on bar 5 by an earlier call
  replay();
  // Bars 3..5 straddle but lie at or before the extension bar; bar 8 is the first cross.
  EXPECT_EQ(state_of(market.kerds[0]), (LineState{true, true, 5, 0, 8}));
}

TEST_F(HistoryTest, PastTheThresholdEveryStraddleViolatesAndTheEndStops) {
  bars({kAbove, kBody, kBody, kAbove, kBody, kWick, kBody, kAbove, kAbove, kAbove});
  market.settings.kerd_extend_bar_cross_threshold = 1;
  add_line(0);
  replay();
  // Extended on 1, first cross on 2 (count 1), 4 makes 2 > 1: violated; 5 and 6 too.
  EXPECT_EQ(state_of(market.kerds[0]), (LineState{true, true, 1, 3, 2, true}));
}

TEST_F(HistoryTest, WithoutBodyCrossWicksCount) {
  bars({kAbove, kWick, kWick, kWick, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove});
  market.settings.only_body_cross = false;
  add_line(0);
  replay();
  EXPECT_EQ(state_of(market.kerds[0]), (LineState{true, true, 1, 2, 3}));
}

TEST_F(HistoryTest, VisitsOldestFirstFromTheBarAfterTheEnd) {
  bars({kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove});
  add_line(4);  // bar_count_to_loop 5
  RecordingModel m(market.state);
  extend_kerd_to_first_cross_from_history(m);
  std::vector<int64_t> close_offsets;
  for (auto [series, offset] : m.offsets)
    if (series == &market.state.bars.close) close_offsets.push_back(offset);
  // The current bar for the line's current-bar values, then the replay.
  EXPECT_EQ(close_offsets, (std::vector<int64_t>{0, -4, -3, -2, -1, 0}));
  // Two body-flag reads for the current bar, then two per replayed bar.
  EXPECT_EQ(m.reads, std::vector<Setting>(12, Setting::only_body_cross));
}

struct EndCase {
  int64_t end_bar_index;
  double end_time;  // relative to the current bar's time
  bool extended;
};

class HistoryEndTest : public HistoryTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(HistoryEndTest, LinesEndingAtOrAfterTheBarSeeOnlyTheCurrentBar) {
  bars({kAbove, kBody, kBody, kBody, kBody, kBody, kBody, kBody, kBody, kBody});
  const EndCase c = GetParam();
  add_line(c.end_bar_index, kLevel).end_time = market.time[9] + c.end_time;
  replay();
  EXPECT_EQ(market.kerds[0].extended, c.extended);
  EXPECT_EQ(market.kerds[0].extend_end_bar_index, c.extended ? 9 : 0);
}

// The names of the cases below, in their order.
std::string end_case_name(const ::testing::TestParamInfo<EndCase>& info) {
  static constexpr const char* names[] = {"ends_on_the_bar", "time_must_be_later",
                                          "ends_after_the_bar", "ends_one_bar_back",
                                          "time_not_later"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Ends, HistoryEndTest,
                         ::testing::Values(EndCase{9, -1, true},   // bar_count_to_loop 0
                                           EndCase{9, 0, false},   // time must be later
                                           EndCase{12, -1, true},  // ends after the bar
                                           EndCase{8, -61, true},  // one bar back
                                           EndCase{8, 0, false}),  // time not later
                         end_case_name);

TEST_F(HistoryTest, AStraddlingBarNotLaterThanTheEndTimeNeverExtends) {
  bars({kAbove, kBody, kBody, kBody, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove});
  add_line(0).end_time = market.time[3];
  replay();
  EXPECT_FALSE(market.kerds[0].extended);
}

TEST_F(HistoryTest, AChangeMadeBeforeAFailingLineStays) {
  bars({kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kAbove, kBody, kAbove});
  add_line(6);
  add_line(-5);  // reaches before the first bar
  add_line(6);
  EXPECT_THROW(replay(), Error);
  EXPECT_TRUE(market.kerds[0].extended);
  EXPECT_FALSE(market.kerds[2].extended);
}

// Random bars, some with NaN prices (whose min and max depend on the order of the values), and
// random lines in every state: the bar search and the bar-by-bar replay agree.
TEST_F(HistoryTest, BarSearchAgreesWithTheBarByBarReplay) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> price(95.0, 105.0);
  std::uniform_int_distribution<int> pick(0, 99);
  for (int i = 0; i < 400; ++i) {
    Bar bar{price(random), price(random), price(random), price(random)};
    bar.high = std::max({bar.open, bar.close, bar.high});
    bar.low = std::min({bar.open, bar.close, bar.low});
    if (pick(random) < 3) (pick(random) < 50 ? bar.high : bar.open) = kNaN;
    market.add(bar);
  }
  bars({});
  market.settings.kerd_extend_bar_cross_threshold = 4;
  for (int k = 0; k < 200; ++k) {
    Kerd& kerd = add_line(pick(random) * 4, price(random));
    const int state = pick(random) % 3;
    set_state(kerd, {state > 0, state > 1, kerd.end_bar_index + pick(random), pick(random) % 5, 0,
                     false});
  }
  market.settings.only_body_cross = false;
  replay();
  market.settings.only_body_cross = true;
  replay();
}

// The block index over fixed arrays finds the same first straddling bar as the plain search,
// NaN prices and NaN levels included.
TEST(BarExtremesIndexTest, FindsWhatThePlainSearchFinds) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> price(90.0, 110.0);
  std::uniform_int_distribution<int> pick(0, 999);
  std::vector<double> close, open, high, low;
  double level = 100.0;
  for (int i = 0; i < 3000; ++i) {
    level += price(random) / 50.0 - 2.0;  // a walk that drifts away and back
    close.push_back(level + price(random) / 20.0 - 5.0);
    open.push_back(level + price(random) / 20.0 - 5.0);
    high.push_back(std::max(close.back(), open.back()) + 0.3);
    low.push_back(std::min(close.back(), open.back()) - 0.3);
    if (pick(random) < 5) (pick(random) < 500 ? low.back() : close.back()) = kNaN;
  }
  const BarExtremesIndex index(close, open, high, low);
  for (int trial = 0; trial < 2000; ++trial) {
    const int64_t begin = pick(random) * 3;
    const int64_t end = std::min<int64_t>(3000, begin + pick(random) * 2);
    const double at = trial % 50 == 0 ? kNaN : close[pick(random) * 3] + price(random) / 100.0;
    const int64_t plain =
        first_straddling_bar(close.data() + begin, open.data() + begin, high.data() + begin,
                             low.data() + begin, end - begin, at);
    EXPECT_EQ(index.first_straddling_bar(begin, end, at), plain < 0 ? -1 : begin + plain)
        << "trial " << trial;
  }
}

// Visiting every straddling bar finds the bars that the bar-by-bar test finds, in order, NaN
// prices and NaN levels included, and stops where the visitor says.
TEST(StraddlingBarsTest, VisitsWhatTheBarByBarTestFinds) {
  std::mt19937_64 random(12);
  std::uniform_real_distribution<double> offset(-1.5, 1.5);
  std::uniform_int_distribution<int> pick(0, 999);
  std::vector<double> close, open, high, low;
  for (int i = 0; i < 400; ++i) {
    close.push_back(100.0 + offset(random));
    open.push_back(100.0 + offset(random));
    high.push_back(std::max(close.back(), open.back()) + offset(random) / 3.0 + 0.5);
    low.push_back(std::min(close.back(), open.back()) - offset(random) / 3.0 - 0.5);
    if (pick(random) < 10) (pick(random) < 500 ? high.back() : open.back()) = kNaN;
  }
  for (int trial = 0; trial < 600; ++trial) {
    const int64_t begin = pick(random) % 300;
    const int64_t count = pick(random) % (400 - begin);
    const double level = trial % 40 == 0 ? kNaN : 100.0 + offset(random);
    const std::size_t stop_after = trial % 3 == 0 ? 2 : SIZE_MAX;
    std::vector<int64_t> expected, visited;
    for (int64_t i = begin; i < begin + count && expected.size() < stop_after; ++i) {
      if (py_min(close[i], open[i], high[i], low[i]) < level &&
          py_max(close[i], open[i], high[i], low[i]) > level)
        expected.push_back(i - begin);
    }
    for_each_straddling_bar(close.data() + begin, open.data() + begin, high.data() + begin,
                            low.data() + begin, count, level, [&](int64_t i) {
                              visited.push_back(i);
                              return visited.size() < stop_after;
                            });
    EXPECT_EQ(visited, expected) << "trial " << trial;
  }
}

}  // namespace
}  // namespace torvex::core::testing
