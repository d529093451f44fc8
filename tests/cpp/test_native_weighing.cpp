// Values a rebuild leaves unweighed on the native model: their ranges hold the exact weighed
// value, and every test answered from a range answers as the exact value would.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/engine_extension.hpp"
#include "core/engine_mavet_tracking.hpp"
#include "core/kerd.hpp"
#include "core/native_model.hpp"
#include "test_engine_fixture.hpp"

namespace torvex::core {
namespace {

struct RangeCase {
  const char* name;
  std::size_t count;  // values of the line in the list
  double scale;       // values lie within 10 % of it
  std::array<double, 3> weights;
  bool bounded;  // whether the model gives a range at all
};

std::vector<double> random_values(std::size_t count, double scale, uint64_t seed) {
  std::vector<double> values;
  for (std::size_t i = 0; i < count; ++i) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    const double unit = static_cast<double>(seed >> 11) * 0x1p-53;  // [0, 1)
    values.push_back(scale * (0.9 + 0.2 * unit));
  }
  return values;
}

class WeighLaterTest : public ::testing::TestWithParam<RangeCase> {
 protected:
  // The list's line left unweighed after the backward merge of a one-pivot line into it.
  void merge_unweighed(const NativeModel& m) {
    kerds_ = {Kerd{}};
    kerds_[0].snib_values = values_;
    Kerd pivot;
    pivot.snib_values = {first_};
    const auto [last, second_last, general] = GetParam().weights;
    const std::optional<ValueRange> range =
        m.merged_value_range(&pivot, &kerds_[0], last, second_last, general);
    ASSERT_TRUE(range);
    m.keep_merge_unweighed(&pivot, &kerds_[0], last, second_last, general, *range);
    m.prepend_snib_values(&kerds_[0], &pivot);
    ASSERT_TRUE(m.leave_merge_unweighed(&pivot, &kerds_[0], last, second_last, general));
  }
  double exact() { return exact(values_); }
  double exact(const std::vector<double>& values) {
    const auto [last, second_last, general] = GetParam().weights;
    std::vector<double> joined{first_};
    joined.insert(joined.end(), values.begin(), values.end());
    NativeModel m(state_);
    return calculate_weighted_kerd_value(m, joined, last, second_last, general);
  }

  void SetUp() override {
    values_ = random_values(GetParam().count, GetParam().scale, GetParam().count);
    first_ = GetParam().scale * 1.03125;
    state_.kerds = &kerds_;
  }

  std::vector<double> values_;
  double first_ = 0.0;
  std::vector<Kerd> kerds_;
  EngineState state_;
};

// Sums kept for a line's list from one scope to the next hold only while the list is the same:
// values changed between scopes, even to a list of the same length, are summed anew.
TEST_P(WeighLaterTest, TheRangeHoldsTheWeighedValue) {
  const RangeCase& c = GetParam();
  kerds_ = {Kerd{}};
  kerds_[0].snib_values = values_;
  Kerd pivot;
  pivot.snib_values = {first_};
  NativeModel m(state_);
  for (double factor : {1.0, 1.5, 0.5}) {
    std::vector<double> scaled = values_;
    for (double& v : scaled) v *= factor;
    if (factor != 1.0) kerds_[0].snib_values = scaled;  // same length
    EXPECT_FALSE(m.merged_value_range(&pivot, &kerds_[0], c.weights[0], c.weights[1],
                                      c.weights[2]));  // outside a scope
    const auto later = m.weigh_later();
    const std::optional<ValueRange> range =
        m.merged_value_range(&pivot, &kerds_[0], c.weights[0], c.weights[1], c.weights[2]);
    ASSERT_EQ(range.has_value(), c.bounded);
    if (!range) return;
    const double value = exact(scaled);
    EXPECT_LE(range->low, value) << factor;
    EXPECT_GE(range->high, value) << factor;
    EXPECT_LT(range->high - range->low, 1e-9 * std::abs(value));  // narrow enough to decide
  }
}

// Levels at and next to the band's ends and to the value itself: the answers from the range
// (or from the value weighed on the spot) are those of the exact value.
class UnweighedTest : public WeighLaterTest {};

TEST_P(UnweighedTest, AnswersAsTheWeighedValue) {
  const double value = exact();
  const double percent = 0.75;
  Kerd exact_line;
  exact_line.kerd_value = value;
  std::vector<double> levels;
  for (double edge : {value * (1.0 + percent / 100.0), value * (1.0 - percent / 100.0), value})
    for (double level : {std::nextafter(edge, 0.0), edge, std::nextafter(edge, 1e300)})
      levels.push_back(level);
  for (double level : levels) {
    Kerd target;
    target.kerd_value = level;
    target.start_bar_index = 1;  // all six attributes differ from the line's
    NativeModel m(state_);
    {
      const auto later = m.weigh_later();
      merge_unweighed(m);
      EXPECT_EQ(overlap(m, &kerds_[0], &target, percent), overlap(m, &exact_line, &target, percent))
          << level;
    }
    {
      const auto later = m.weigh_later();
      merge_unweighed(m);
      EXPECT_EQ(m.differs<KerdAttr::kerd_value>(&kerds_[0], &target), level != value) << level;
    }
    EXPECT_EQ(std::bit_cast<uint64_t>(kerds_[0].kerd_value), std::bit_cast<uint64_t>(value));
  }
}

// The reach of a line, weighed or unweighed, holds every level its band test takes; for a
// weighed line it is the band itself. Levels at and next to the band's ends and the reach's.
TEST_P(UnweighedTest, TheReachHoldsEveryLevelTheBandTestTakes) {
  const double value = exact();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  for (double percent : {0.75, -0.75, 0.0, 250.0, kInf, kNaN}) {
    Kerd exact_line;
    exact_line.kerd_value = value;
    NativeModel m(state_);
    const auto later = m.weigh_later();
    merge_unweighed(m);
    const ValueRange unweighed = overlap_reach(m, &kerds_[0], percent);
    const ValueRange weighed = overlap_reach(m, &exact_line, percent);
    std::vector<double> levels{kNaN, -kInf, kInf};
    for (double edge : {band_low(value, percent), band_high(value, percent), value, unweighed.low,
                        unweighed.high})
      for (double level : {std::nextafter(edge, -kInf), edge, std::nextafter(edge, kInf)})
        levels.push_back(level);
    for (double level : levels) {
      Kerd target;
      target.kerd_value = level;
      const bool takes = overlap(m, &exact_line, &target, percent);
      EXPECT_EQ(weighed.low <= level && level <= weighed.high, takes) << percent << " " << level;
      if (takes) {
        EXPECT_TRUE(unweighed.low <= level && level <= unweighed.high) << percent << " " << level;
      }
    }
    EXPECT_TRUE(kerds_[0].later.unweighed);  // the reach itself weighs nothing
  }
}

// Bodies touching the merged level, straddling it by one step, or clear of it, counted
// against every threshold: the answer from the range is the exact value's.
TEST_P(UnweighedTest, CrossingTestAnswersAsTheWeighedValue) {
  const double level = exact();
  const double below = std::nextafter(level, 0.0), above = std::nextafter(level, 1e300);
  std::vector<double> open{level, level, level, below, level, below, level, below, level, level};
  std::vector<double> close{level, level,     above,       level, level,
                            above, 2 * level, 0.5 * level, above, level};
  Bars bars;
  bars.open = {open.data(), static_cast<int64_t>(open.size())};
  bars.close = {close.data(), static_cast<int64_t>(close.size())};
  Kerd pivot;
  pivot.bars = &bars;
  pivot.bar_index = 9;
  pivot.end_bar_index = 1;  // the test reads bars 1 to 8
  pivot.snib_values = {first_};
  kerds_ = {Kerd{}};
  kerds_[0].snib_values = values_;
  kerds_[0].end_bar_index = 9;
  const auto [last, second_last, general] = GetParam().weights;
  for (int64_t threshold = 0; threshold <= 6; ++threshold) {
    NativeModel m(state_);
    const bool weighed = is_kerd_bar_crosses_violated_if_merged(
        m, &pivot, &kerds_[0], threshold, last, second_last, general, int64_t{0});
    const auto later = m.weigh_later();
    EXPECT_EQ(is_kerd_bar_crosses_violated_if_merged(m, &pivot, &kerds_[0], threshold, last,
                                                     second_last, general, int64_t{0}),
              weighed)
        << threshold;
  }
}

// Bars whose prices lie at the weighed value, a step either side of it, at and beyond the ends
// of the range that holds it, at the ends of its near band, or clear of all that on both sides
// or above, and bars whose low alone lies in the range (above an open below it, as a host's
// data may have it): extension and window tracking, with the line's value left unweighed,
// change the line and the windows as they do with the weighed line. Bars that neither cross the
// line nor come near it leave the value unweighed.
TEST_P(UnweighedTest, ExtensionAndWindowsAnswerAsTheWeighedValue) {
  const double value = exact();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::optional<ValueRange> range;
  {
    // The range a merge leaves, from a line that holds the same values.
    NativeModel m(state_);
    const auto later = m.weigh_later();
    merge_unweighed(m);
    range = m.unweighed_value_range(&kerds_[0]);
  }
  ASSERT_TRUE(range);
  const double near_factor = margin_factor(1.0, 0.5);  // as update_mavet's arguments below
  const auto around = [&](std::initializer_list<double> edges) {
    std::vector<double> prices{value * 0.95, value * 1.05};
    for (double edge : edges)
      for (double price : {std::nextafter(edge, -kInf), edge, std::nextafter(edge, kInf)})
        prices.push_back(price);
    return prices;
  };
  // Each market's bodies (open and close) and wicks (the third price of a bar) come from its
  // two lists.
  const std::vector<double> edges = around({value, range->low, range->high});
  const std::vector<double> clear{value * 0.95, value * 1.05};
  const std::vector<double> band =
      around({value * near_factor, range->low * near_factor, range->high * near_factor});
  const std::vector<double> above{value * 1.07, value * 1.05};  // above the line and its band
  const std::vector<double> inside{range->low, value};  // lows the range's ends answer apart
  const std::pair<const std::vector<double>*, const std::vector<double>*> markets[] = {
      {&edges, &edges}, {&band, &band},   {&clear, &edges},
      {&clear, &clear}, {&above, &above}, {&clear, &inside}};
  for (const auto& [bodies, wicks] : markets) {
    const bool far = bodies == &above, low_as_given = wicks == &inside;
    testing::Market unweighed, weighed;
    Kerd line = unweighed.line(0, value, 0.0);
    line.close_avg_percent = 0.5;
    uint64_t seed = GetParam().count;
    const auto pick = [&](const std::vector<double>& prices) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return prices[(seed >> 33) % prices.size()];
    };
    for (int bar = 0; bar < 200; ++bar) {
      const double open = pick(*bodies), close = pick(*bodies), other = pick(*wicks);
      const testing::Bar prices_of{open, std::max({open, close, other}),
                                   low_as_given ? other : std::min({open, close, other}), close};
      unweighed.add(prices_of);
      weighed.add(prices_of);
    }
    line.snib_values = values_;
    line.snib_values.prepend(std::span<const double>(&first_, 1));
    weighed.kerds = {line};
    weighed.kerds[0].kerd_value = value;
    const auto [last, second_last, general] = GetParam().weights;
    NativeModel unweighed_model(unweighed.state), weighed_model(weighed.state);
    const auto later = unweighed_model.weigh_later();  // a runner's: open for every bar
    bool stayed_unweighed = true;
    for (int64_t bar = 3; bar < 200; ++bar) {
      // Each bar starts from the weighed market's line and windows, the line's value left
      // unweighed by a merge as a rebuild leaves it.
      Kerd pivot;
      pivot.snib_values = {first_};
      unweighed.kerds = {weighed.kerds[0]};
      unweighed.kerds[0].snib_values = values_;
      unweighed.kerds[0].kerd_value = testing::kNaN;  // never read while it waits
      unweighed.mavets = weighed.mavets;
      const std::optional<ValueRange> merged = unweighed_model.merged_value_range(
          &pivot, &unweighed.kerds[0], last, second_last, general);
      ASSERT_TRUE(merged);
      unweighed_model.keep_merge_unweighed(&pivot, &unweighed.kerds[0], last, second_last, general,
                                           *merged);
      unweighed_model.prepend_snib_values(&unweighed.kerds[0], &pivot);
      ASSERT_TRUE(unweighed_model.leave_merge_unweighed(&pivot, &unweighed.kerds[0], last,
                                                        second_last, general));
      for (testing::Market* market : {&unweighed, &weighed}) {
        market->at(bar);
        NativeModel& m = market == &unweighed ? unweighed_model : weighed_model;
        extend_kerd_to_first_cross(m);
        update_mavet(m, 5.0, int64_t{3}, 0.5, 1.0);
      }
      stayed_unweighed = stayed_unweighed && unweighed.kerds[0].later.unweighed;
      const Kerd &a = unweighed.kerds[0], &b = weighed.kerds[0];
      EXPECT_EQ(a.extended, b.extended) << bar;
      EXPECT_EQ(a.extend_end_bar_index, b.extend_end_bar_index) << bar;
      EXPECT_EQ(a.historical_extend_bar_crosses_checked, b.historical_extend_bar_crosses_checked)
          << bar;
      EXPECT_EQ(a.bar_crosses_post_extend, b.bar_crosses_post_extend) << bar;
      EXPECT_EQ(a.post_extend_end_bar_index, b.post_extend_end_bar_index) << bar;
      EXPECT_EQ(a.violated, b.violated) << bar;
      ASSERT_EQ(unweighed.mavets.size(), weighed.mavets.size()) << bar;
      for (std::size_t w = 0; w < weighed.mavets.size(); ++w) {
        const Mavet &x = unweighed.mavets[w], &y = weighed.mavets[w];
        EXPECT_EQ(std::bit_cast<uint64_t>(x.break_kerd_at_price),
                  std::bit_cast<uint64_t>(y.break_kerd_at_price));
        EXPECT_EQ(x.break_kerd_at_bar_index, y.break_kerd_at_bar_index);
        EXPECT_EQ(x.bar_count_close_above_kerd, y.bar_count_close_above_kerd);
        EXPECT_EQ(x.break_kerd_extend_bar_cross, y.break_kerd_extend_bar_cross);
      }
      unweighed_model.weigh_all();
      EXPECT_EQ(std::bit_cast<uint64_t>(unweighed.kerds[0].kerd_value),
                std::bit_cast<uint64_t>(value));
    }
    if (far)
      EXPECT_TRUE(stayed_unweighed);
    else
      EXPECT_FALSE(weighed.mavets.empty());  // the bars did break the line
  }
}

const RangeCase kBounded[] = {
    {"short", 31, 100.0, {3, 2, 1}, true},
    {"long", 5000, 100.0, {3, 2, 1}, true},
    {"long_odd_weights", 3000, 7.3, {0.3, 1.7, 0.9}, true},
    {"tiny_prices", 700, 1e-7, {3, 2, 1}, true},
    {"huge_prices", 700, 1e12, {1, 1, 1e-3}, true},
};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const auto kName = [](const auto& info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(Lists, UnweighedTest, ::testing::ValuesIn(kBounded), kName);
INSTANTIATE_TEST_SUITE_P(Lists, WeighLaterTest, ::testing::ValuesIn(kBounded), kName);
INSTANTIATE_TEST_SUITE_P(
    Unbounded, WeighLaterTest,
    ::testing::Values(RangeCase{"one_value", 1, 100.0, {3, 2, 1}, false},
                      RangeCase{"short", 30, 100.0, {3, 2, 1}, false},  // weighed at once
                      RangeCase{"negative_weight", 50, 100.0, {3, 2, -1}, false},
                      RangeCase{"zero_weight", 50, 100.0, {3, 0, 1}, false},
                      RangeCase{"nan_weight", 50, 100.0, {kNaN, 2, 1}, false},
                      RangeCase{"extreme_prices", 50, 1e300, {3, 2, 1}, false}),
    kName);

}  // namespace
}  // namespace torvex::core
