// The line algorithms on the native model.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/kerd.hpp"
#include "core/native_model.hpp"
#include "core/scratch.hpp"

namespace torvex::core {
namespace {

class KerdTest : public ::testing::Test {
 protected:
  // Bars 0..n-1; the last one is the current bar.
  void set_bars(std::initializer_list<std::pair<double, double>> open_close) {
    open_.clear();
    close_.clear();
    for (auto [o, c] : open_close) {
      open_.push_back(o);
      close_.push_back(c);
    }
    bars_.open = {open_.data(), static_cast<int64_t>(open_.size())};
    bars_.close = {close_.data(), static_cast<int64_t>(close_.size())};
  }

  Kerd line(int64_t start, int64_t end, double value, std::vector<double> values = {}) {
    Kerd k;
    k.bars = &bars_;
    k.bar_index = static_cast<int64_t>(close_.size()) - 1;
    k.mintick = 0.01;
    k.start_bar_index = start;
    k.end_bar_index = end;
    k.start_time = 1000.0 + static_cast<double>(start);
    k.end_time = 1000.0 + static_cast<double>(end);
    k.kerd_value = value;
    k.kerd_accum_value = value;
    k.snib_values = values.empty() ? std::vector<double>{value} : std::move(values);
    return k;
  }

  // The crossing test of merging end into self, every weight 1 but the last value's.
  bool crosses_violated(Kerd& self, Kerd& end, double threshold, double count = 0.0,
                        double last_weight = 1.0) {
    return is_kerd_bar_crosses_violated_if_merged(model_, &self, &end, threshold, last_weight, 1.0,
                                                  1.0, count);
  }

  double weighted(std::vector<double> values, double last, double second, double general) {
    return calculate_weighted_kerd_value(model_, values, last, second, general);
  }

  std::vector<double> open_, close_;
  Bars bars_;
  EngineState state_;
  NativeModel model_{state_};
};

TEST_F(KerdTest, WeightingUsesLastAndSecondLastWeights) {
  EXPECT_DOUBLE_EQ(weighted({10, 20, 30}, 3, 2, 1), 140.0 / 6.0);
  EXPECT_EQ(weighted({4, 8}, 1, 3, 100), 5.0);  // the general weight is unused
  EXPECT_EQ(weighted({}, 3, 2, 1), 0.0);
  EXPECT_EQ(weighted({5}, 0, 2, 1), 0.0);  // norm 0
  EXPECT_EQ(weighted({7, 9}, 1, -1, 1), 0.0);
  EXPECT_EQ(weighted({5}, 2, 0, 0), 5.0);
}

TEST_F(KerdTest, WeightingSumsInIndexOrderFromZero) {
  // (0.1 + 0.2) + 0.3 differs from 0.1 + (0.2 + 0.3) in the last bit.
  const double sum = ((0.0 + 0.1) + 0.2) + 0.3;
  EXPECT_EQ(weighted({0.1, 0.2, 0.3}, 1, 1, 1), sum / 3.0);
  EXPECT_NE(weighted({0.1, 0.2, 0.3}, 1, 1, 1), 0.6 / 3.0);
}

struct RoundCase {
  double mintick, price, expected;
};

class RoundToMintick : public KerdTest, public ::testing::WithParamInterface<RoundCase> {};

TEST_P(RoundToMintick, RoundsHalvesToEven) {
  Kerd k = line(0, 0, 1.0);
  k.mintick = GetParam().mintick;
  EXPECT_EQ(round_to_mintick(model_, &k, GetParam().price), GetParam().expected);
}

// The names of the cases below, in their order.
std::string round_case_name(const ::testing::TestParamInfo<RoundCase>& info) {
  static constexpr const char* names[] = {
      "quarter_half_down", "quarter_half_up", "cents",
      "half_to_even_down", "half_to_even_up", "negative_half_to_even"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Ticks, RoundToMintick,
                         ::testing::Values(RoundCase{0.25, 0.125, 0.0}, RoundCase{0.25, 0.375, 0.5},
                                           RoundCase{0.01, 1.23456, 123 * 0.01},
                                           RoundCase{1.0, 2.5, 2.0}, RoundCase{1.0, 3.5, 4.0},
                                           RoundCase{1.0, -2.5, -2.0}),
                         round_case_name);

TEST_F(KerdTest, RoundToZeroTickFails) {
  Kerd k = line(0, 0, 1.0);
  k.mintick = 0.0;
  try {
    round_to_mintick(model_, &k, 1.0);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::zero_division);
  }
}

TEST_F(KerdTest, NotEqualNeedsAllSixToDiffer) {
  Kerd a = line(1, 2, 10.0);
  EXPECT_FALSE(not_equal(model_, &a, &a));
  Kerd b = line(3, 4, 11.0);
  b.kerd_accum_value = 12.0;
  EXPECT_TRUE(not_equal(model_, &a, &b));
  b.kerd_accum_value = a.kerd_accum_value;  // five of six differ
  EXPECT_FALSE(not_equal(model_, &a, &b));
}

struct OverlapCase {
  double self, target, threshold;
  bool expected;
};

class Overlap : public KerdTest, public ::testing::WithParamInterface<OverlapCase> {};

TEST_P(Overlap, BandAroundOwnLevel) {
  Kerd self = line(0, 0, GetParam().self);
  Kerd target = line(1, 1, GetParam().target);
  EXPECT_EQ(overlap(model_, &self, &target, GetParam().threshold), GetParam().expected);
}

// The names of the cases below, in their order.
std::string overlap_case_name(const ::testing::TestParamInfo<OverlapCase>& info) {
  static constexpr const char* names[] = {"lower_end_inclusive",  "upper_end_inclusive",
                                          "below_the_band",       "above_the_band",
                                          "outside_the_own_band", "inside_the_own_band"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    Bands, Overlap,
    ::testing::Values(OverlapCase{100, 98, 2, true}, OverlapCase{100, 102, 2, true},
                      OverlapCase{100, 97.99, 2, false}, OverlapCase{100, 102.01, 2, false},
                      // asymmetric: the band is built around self only
                      OverlapCase{100, 101.52, 1.5, false}, OverlapCase{101.52, 100, 1.5, true}),
    overlap_case_name);

TEST_F(KerdTest, CrossingScanCountsStrictBodyCrossings) {
  // Bars 0..5, current bar 5. self ends at bar 1, end_kerd at bar 4: bars 1, 2, 3 are scanned.
  set_bars({{0, 0}, {9, 11}, {10, 11}, {11, 9}, {9, 11}, {9, 11}});
  Kerd self = line(0, 1, 10.0);
  Kerd end_kerd = line(4, 4, 10.0);
  // Bars 1 and 3 cross 10; bar 2 only touches it; bar 4 (end_kerd's end) is not scanned.
  EXPECT_FALSE(crosses_violated(self, end_kerd, 2.0));
  EXPECT_TRUE(crosses_violated(self, end_kerd, 1.0));
  EXPECT_TRUE(crosses_violated(self, end_kerd, 2.0, 1.0));
}

TEST_F(KerdTest, CrossingScanTestsTheMergedLevel) {
  set_bars({{0, 0}, {10.5, 11.5}, {0, 0}});
  Kerd self = line(0, 1, 10.0, {10.0});
  Kerd end_kerd = line(2, 2, 12.0, {12.0});
  // Merged level (10 * 1 + 12 * 3) / 4 = 11.5: the body 10.5..11.5 only touches it.
  EXPECT_FALSE(crosses_violated(self, end_kerd, 0.0, 0.0, 3.0));
  // Equal weights: level 11 lies inside the body.
  EXPECT_TRUE(crosses_violated(self, end_kerd, 0.0));
  EXPECT_EQ(self.snib_values, std::vector<double>{10.0});
  EXPECT_EQ(end_kerd.snib_values, std::vector<double>{12.0});
}

TEST_F(KerdTest, CrossingScanWithoutBarsComparesTheCount) {
  set_bars({{9, 11}});
  Kerd self = line(0, 3, 10.0);
  Kerd same_end = line(1, 3, 10.0);
  EXPECT_FALSE(crosses_violated(self, same_end, 3.0, 3.0));
  EXPECT_TRUE(crosses_violated(self, same_end, 3.0, 4.0));
  Kerd earlier = line(0, 1, 10.0);  // ends before self: negative bar count, no bars
  EXPECT_FALSE(crosses_violated(self, earlier, 0.0));
}

TEST_F(KerdTest, CrossingScanPastTheHistoryFails) {
  set_bars({{9, 11}, {9, 11}});
  Kerd self = line(0, 0, 10.0);
  self.bar_index = 5;  // the series hold only two bars; bar 0 lies 5 bars back
  Kerd end_kerd = line(2, 2, 10.0);
  try {
    crosses_violated(self, end_kerd, 0.0);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::index);
  }
}

TEST_F(KerdTest, LengthLimitIsInclusive) {
  Kerd self = line(10, 12, 1.0);
  Kerd end_kerd = line(15, 20, 1.0);
  EXPECT_TRUE(is_kerd_length_passed_if_merged(model_, &self, &end_kerd, 10.0));
  EXPECT_FALSE(is_kerd_length_passed_if_merged(model_, &self, &end_kerd, 9.0));
}

TEST_F(KerdTest, ForwardMergeAppendsAndResetsExtension) {
  Kerd self = line(1, 2, 1.5, {1.0, 2.0});
  self.kerd_accum_value = 3.0;
  self.extended = true;
  self.historical_extend_bar_crosses_checked = true;
  self.bar_crosses_post_extend = 4;
  self.post_extend_end_bar_index = 7;
  self.extend_end_bar_index = 6;
  self.bar_crosses = 2;
  self.violated = true;
  Kerd target = line(5, 5, 3.0, {3.0});
  target.kerd_accum_value = 30.0;

  EXPECT_TRUE(merge(model_, &self, &target, 3.0, 2.0, 1.0, false));
  EXPECT_EQ(self.snib_values, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(self.kerd_accum_value, 6.0);  // plus the target's level, not its accumulation
  EXPECT_EQ(self.kerd_value, (1.0 + 4.0 + 9.0) / 6.0);
  EXPECT_EQ(self.start_bar_index, 1);
  EXPECT_EQ(self.end_bar_index, 5);
  EXPECT_EQ(self.end_time, target.end_time);
  EXPECT_FALSE(self.extended);
  EXPECT_FALSE(self.historical_extend_bar_crosses_checked);
  EXPECT_EQ(self.bar_crosses_post_extend, 0);
  EXPECT_EQ(self.post_extend_end_bar_index, 0);
  EXPECT_EQ(self.extend_end_bar_index, 0);
  EXPECT_EQ(self.bar_crosses, 2);
  EXPECT_TRUE(self.violated);
  EXPECT_EQ(target.snib_values, std::vector<double>{3.0});
}

TEST_F(KerdTest, BackwardMergePrependsAndKeepsExtensionFields) {
  Kerd self = line(5, 6, 1.5, {1.0, 2.0});
  self.extended = true;
  self.historical_extend_bar_crosses_checked = true;
  self.extend_end_bar_index = 8;
  self.bar_crosses_post_extend = 1;
  Kerd target = line(2, 2, 3.0, {3.0});

  EXPECT_TRUE(merge(model_, &self, &target, 3.0, 2.0, 1.0, true));
  EXPECT_EQ(self.snib_values, (std::vector<double>{3.0, 1.0, 2.0}));
  EXPECT_EQ(self.kerd_value, (3.0 + 2.0 + 6.0) / 6.0);
  EXPECT_EQ(self.start_bar_index, 2);
  EXPECT_EQ(self.start_time, target.start_time);
  EXPECT_EQ(self.end_bar_index, 6);
  EXPECT_FALSE(self.extended);
  EXPECT_TRUE(self.historical_extend_bar_crosses_checked);
  EXPECT_EQ(self.extend_end_bar_index, 8);
  EXPECT_EQ(self.bar_crosses_post_extend, 1);
}

TEST_F(KerdTest, MergeOfLinesSharingAnAttributeChangesNothing) {
  Kerd self = line(1, 2, 1.0, {1.0});
  Kerd target = line(1, 4, 2.0, {2.0});  // same start bar
  const Kerd before = self;
  EXPECT_TRUE(merge(model_, &self, &target, 3.0, 2.0, 1.0, false));
  EXPECT_EQ(self.snib_values, before.snib_values);
  EXPECT_EQ(self.kerd_accum_value, before.kerd_accum_value);
  EXPECT_EQ(self.end_bar_index, before.end_bar_index);
}

// A model whose copy of one attribute fails, to see which merge steps were already done.
class FailingCopyModel : public NativeModel {
 public:
  FailingCopyModel(EngineState& state, KerdAttr fail_at) : NativeModel(state), fail_at_(fail_at) {}
  template <KerdAttr A>
  void copy(Line to, Line from) const {
    if (A == fail_at_) throw Error(ErrorKind::attribute, "no such attribute");
    NativeModel::copy<A>(to, from);
  }

 private:
  KerdAttr fail_at_;
};

static_assert(LineAccess<FailingCopyModel>);

TEST_F(KerdTest, MergeFailingPartWayKeepsEarlierSteps) {
  Kerd self = line(1, 2, 1.0, {1.0});
  self.extended = true;
  Kerd target = line(4, 4, 2.0, {2.0});
  FailingCopyModel failing(state_, KerdAttr::end_time);
  EXPECT_THROW(merge(failing, &self, &target, 1.0, 1.0, 1.0, false), Error);
  EXPECT_EQ(self.snib_values, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(self.kerd_accum_value, 3.0);
  EXPECT_EQ(self.kerd_value, 1.5);
  EXPECT_EQ(self.end_bar_index, 4);  // copied before the failure
  EXPECT_EQ(self.end_time, 1002.0);  // the failing step
  EXPECT_TRUE(self.extended);        // the reset comes after it
}

struct VectorList {
  std::vector<int> items;
  std::size_t size() const { return items.size(); }
  void exchange(int64_t x, int64_t y) { std::swap(items[x], items[y]); }
  [[noreturn]] void out_of_range() const { throw Error(ErrorKind::index, kSwapOutOfRange); }
};

TEST(KerdSwap, ExchangesInBoundsAndRejectsOthers) {
  VectorList list{{1, 2, 3}};
  swap(list, 0, 2);
  EXPECT_EQ(list.items, (std::vector<int>{3, 2, 1}));
  swap(list, 1, 1);
  EXPECT_EQ(list.items, (std::vector<int>{3, 2, 1}));
  for (auto [x, y] : {std::pair<int64_t, int64_t>{-1, 0}, {0, 3}, {3, 0}, {0, -1}}) {
    EXPECT_THROW(swap(list, x, y), Error);
    EXPECT_EQ(list.items, (std::vector<int>{3, 2, 1}));
  }
}

TEST(Scratch, ReusesItsBufferAndLendsANewOneWhenBusy) {
  ScratchPool pool;
  const double* first;
  {
    auto lease = pool.lease();
    lease.get().assign(100, 1.0);
    first = lease.get().data();
    auto nested = pool.lease();
    EXPECT_NE(nested.get().data(), first);
    EXPECT_TRUE(nested.get().empty());
  }
  auto again = pool.lease();
  EXPECT_TRUE(again.get().empty());
  again.get().push_back(2.0);
  EXPECT_EQ(again.get().data(), first);  // the warm buffer, no new allocation
}

}  // namespace
}  // namespace torvex::core
