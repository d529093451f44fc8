// Line list upkeep: sort by end bar, front pruning, sort-and-filter on the last bar, clearing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/engine_upkeep.hpp"
#include "test_engine_fixture.hpp"

namespace torvex::core::testing {
namespace {

class UpkeepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 30; ++i) market.add_flat(100.0);
    market.settings.bar_count_to_snib = 10;
    market.at(29);
  }
  // Lines told apart by their value; end bars as given.
  void lines(std::initializer_list<std::pair<int64_t, double>> ends_and_values) {
    for (auto [end, value] : ends_and_values) market.kerds.push_back(market.line(end, value));
  }
  std::vector<double> values() const {
    std::vector<double> out;
    for (const Kerd& kerd : market.kerds) out.push_back(kerd.kerd_value);
    return out;
  }

  Market market;
};

TEST_F(UpkeepTest, SortIsStableAndAscendingByEndBar) {
  lines({{20, 1}, {5, 2}, {20, 3}, {5, 4}, {12, 5}, {20, 6}});
  NativeModel m(market.state);
  sort_kerds_by_end_bar_index(m);
  EXPECT_EQ(values(), (std::vector<double>{2, 4, 5, 1, 3, 6}));
  sort_kerds_by_end_bar_index(m);  // sorted input stays as it is
  EXPECT_EQ(values(), (std::vector<double>{2, 4, 5, 1, 3, 6}));
}

struct PruneCase {
  const char* name;
  std::vector<std::pair<int64_t, double>> lines;
  std::vector<double> kept;
};

class PruneTest : public UpkeepTest, public ::testing::WithParamInterface<PruneCase> {};

TEST_P(PruneTest, RemovesStaleLinesFromTheFrontOnly) {
  for (auto [end, value] : GetParam().lines) market.kerds.push_back(market.line(end, value));
  NativeModel m(market.state);
  remove_kerd_by_end_bar_index(m);
  EXPECT_EQ(values(), GetParam().kept);
}

// Bar 29 with bar_count_to_snib 10: a line is stale when its end bar is below 19.
INSTANTIATE_TEST_SUITE_P(
    Fronts, PruneTest,
    ::testing::Values(PruneCase{"empty", {}, {}},
                      PruneCase{"equality_keeps", {{19, 1}, {2, 2}}, {1, 2}},
                      PruneCase{"stops_at_first_fresh", {{18, 1}, {19, 2}, {3, 3}}, {2, 3}},
                      PruneCase{"all_stale", {{1, 1}, {2, 2}, {18, 3}}, {}},
                      PruneCase{"fresh_first_removes_none", {{25, 1}, {1, 2}, {2, 3}}, {1, 2, 3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpkeepTest, SortAndFilterActsOnTheLastBarOnly) {
  lines({{25, 1}, {1, 2}, {20, 3}, {3, 4}});
  market.at(28, 29);
  NativeModel m(market.state);
  sort_and_filter_kerds(m);
  EXPECT_EQ(values(), (std::vector<double>{1, 2, 3, 4}));

  market.at(29, 29);
  NativeModel last(market.state);
  sort_and_filter_kerds(last);
  EXPECT_EQ(values(), (std::vector<double>{3, 1}));
}

TEST_F(UpkeepTest, PruningReadsTheCountForEveryTest) {
  lines({{1, 1}, {2, 2}, {25, 3}});
  RecordingModel m(market.state);
  remove_kerd_by_end_bar_index(m);
  EXPECT_EQ(m.reads, std::vector<Setting>(3, Setting::bar_count_to_snib));
  EXPECT_EQ(values(), (std::vector<double>{3}));
}

TEST_F(UpkeepTest, ClearEmptiesTheSameList) {
  lines({{1, 1}, {2, 2}});
  const std::vector<Kerd>* const list = &market.kerds;
  NativeModel m(market.state);
  clear_all_kerd(m);
  EXPECT_EQ(market.state.kerds, list);
  EXPECT_TRUE(market.kerds.empty());
}

}  // namespace
}  // namespace torvex::core::testing
