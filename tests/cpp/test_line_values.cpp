// A line's value list against a plain vector doing the same: adding at either end (also a list
// to itself), assigning, copying and moving, across the change from one held value to the heap.
// Lists weighed together against each weighed alone.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/kerd.hpp"
#include "core/native_model.hpp"
#include "core/value_list.hpp"

namespace torvex::core {
namespace {

struct Both {
  ValueList list;
  std::vector<double> plain;
};

class ValueListTest : public ::testing::TestWithParam<uint64_t> {
 protected:
  uint64_t next(uint64_t bound) {
    seed_ = seed_ * 6364136223846793005ull + 1442695040888963407ull;
    return (seed_ >> 33) % bound;
  }
  std::vector<double> some_values() {
    std::vector<double> values(next(4));  // often none or one
    for (double& v : values) v = static_cast<double>(next(1000)) * 0.25;
    return values;
  }
  uint64_t seed_ = GetParam();
};

TEST_P(ValueListTest, DoesAsAPlainVector) {
  Both lists[3];
  for (int step = 0; step < 3000; ++step) {
    Both& a = lists[next(3)];
    Both& b = lists[next(3)];  // may be a itself
    switch (next(8)) {
      case 0: {
        const std::vector<double> added = b.plain;
        a.list.prepend(b.list);
        a.plain.insert(a.plain.begin(), added.begin(), added.end());
        break;
      }
      case 1: {
        const std::vector<double> added = b.plain;
        a.list.append(b.list);
        a.plain.insert(a.plain.end(), added.begin(), added.end());
        break;
      }
      case 2: {
        const std::vector<double> added = some_values();
        a.list.prepend(added);
        a.plain.insert(a.plain.begin(), added.begin(), added.end());
        break;
      }
      case 3: {
        const std::vector<double> added = some_values();
        a.list.append(added);
        a.plain.insert(a.plain.end(), added.begin(), added.end());
        break;
      }
      case 4: {
        const double value = static_cast<double>(next(100));
        const std::size_t count = next(3);
        a.list.assign(count, value);
        a.plain.assign(count, value);
        break;
      }
      case 5:
        a.list = b.list;
        a.plain = std::vector<double>(b.plain);
        break;
      case 6: {
        ValueList moved = std::move(b.list);
        b.list.clear();  // a moved-from list is only cleared or assigned
        if (&a != &b) b.plain.swap(a.plain), b.plain.clear();
        a.list = std::move(moved);
        break;
      }
      default:
        if (next(16) == 0) a.list.clear(), a.plain.clear();
        break;
    }
    for (const Both& both : lists) {
      ASSERT_EQ(both.list, both.plain) << "step " << step;
      ASSERT_EQ(std::span<const double>(both.list).size(), both.plain.size());
    }
  }
}

// Every change, also one that leaves the values as they were, gives a stamp not seen before;
// a move takes the stamp along with the values.
TEST(ValueListStamp, EachChangeStampsAnew) {
  ValueList list{1.0, 2.0};
  const ValueList other{3.0};
  std::vector<uint64_t> seen{list.stamp(), other.stamp()};
  const auto stamped_anew = [&](const ValueList& changed) {
    for (uint64_t stamp : seen) EXPECT_NE(changed.stamp(), stamp);
    seen.push_back(changed.stamp());
  };
  list.prepend(other);
  stamped_anew(list);
  list.append(other);
  stamped_anew(list);
  list.prepend(list);
  stamped_anew(list);
  list.assign(2, 1.0);
  stamped_anew(list);
  list = {1.0, 1.0};  // the same values
  stamped_anew(list);
  list = other;
  stamped_anew(list);
  const ValueList copy = list;
  stamped_anew(copy);
  const uint64_t before = list.stamp();
  ValueList moved = std::move(list);
  EXPECT_EQ(moved.stamp(), before);
  stamped_anew(list);  // what is left of it
  list.clear();
  stamped_anew(list);
}

// A list changed more times than its stamp counts in place draws a new number: its stamps never
// meet those of a list made after it, whose number follows its own.
TEST(ValueListStamp, ManyChangesStayApartFromOtherLists) {
  ValueList list{1.0};
  const uint64_t first = list.stamp();
  const ValueList next{2.0};
  uint64_t last = first;
  for (uint64_t change = 1; change <= (uint64_t{1} << 24) + 2; ++change) {
    list.clear();
    ASSERT_NE(list.stamp(), next.stamp()) << change;
    ASSERT_NE(list.stamp(), last) << change;
    last = list.stamp();
  }
  EXPECT_NE(list.stamp(), first);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ValueListTest, ::testing::Values(1u, 7u, 42u, 2024u));

// The weighted value over a list grown at the front is that over the same plain vector: the
// sums run in index order over the stored values.
TEST(ValueListWeighing, WeighsAsThePlainVector) {
  EngineState state;
  NativeModel m(state);
  ValueList list{4.0};
  std::vector<double> plain{4.0};
  for (int i = 0; i < 200; ++i) {
    const std::vector<double> added{0.1 * i, 3.0 + 0.01 * i};
    list.prepend(added);
    plain.insert(plain.begin(), added.begin(), added.end());
    EXPECT_EQ(std::bit_cast<uint64_t>(calculate_weighted_kerd_value(m, list, 3.0, 2.0, 1.0)),
              std::bit_cast<uint64_t>(calculate_weighted_kerd_value(m, plain, 3.0, 2.0, 1.0)));
  }
}

// Lists of every length from none on, long ones among them, in batches of every size: with
// weights of their own, or one general weight whose norms come from a table kept from batch to
// batch (and from one weight to the next); each value bit for bit as weighed alone.
struct WeighCase {
  const char* name;
  bool shared;  // one general weight for all
  bool table;
};

class WeighTogether : public ::testing::TestWithParam<WeighCase> {};

TEST_P(WeighTogether, WeighsEachListAsAlone) {
  EngineState state;
  NativeModel m(state);
  std::vector<std::vector<double>> lists;
  for (std::size_t n = 0; n < 40; ++n) {
    std::vector<double> values;
    const std::size_t length = n % 7 == 3 ? 900 + 37 * n : n * n % 97;
    for (std::size_t i = 0; i < length; ++i) values.push_back(100.0 + 0.37 * (i * n % 13));
    lists.push_back(values);
  }
  NormTable norms;
  for (double general : {0.7, 1.3}) {
    const auto weights = [&](std::size_t j) {
      const double own = j % 5 == 0 ? -1.0 : 0.7 + 0.01 * (j % 3);
      return std::array<double, 3>{3.0 + 0.1 * j, 2.0 - 0.3 * (j % 4),
                                   GetParam().shared ? general : own};
    };
    for (std::size_t batch = 1; batch <= lists.size(); batch += 6) {
      std::vector<double> out(batch, -1.0);
      std::vector<WeighJob> jobs;
      for (std::size_t j = 0; j < batch; ++j) {
        const auto [last, second_last, general_weight] = weights(j);
        jobs.push_back({lists[j], last, second_last, general_weight, &out[j]});
      }
      weigh_together(jobs, GetParam().table ? &norms : nullptr);
      for (std::size_t j = 0; j < batch; ++j) {
        const auto [last, second_last, general_weight] = weights(j);
        const double alone =
            calculate_weighted_kerd_value(m, lists[j], last, second_last, general_weight);
        EXPECT_EQ(std::bit_cast<uint64_t>(out[j]), std::bit_cast<uint64_t>(alone))
            << "general " << general << " batch " << batch << " list " << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Weights, WeighTogether,
                         ::testing::Values(WeighCase{"own", false, false},
                                           WeighCase{"own_with_table", false, true},
                                           WeighCase{"shared", true, false},
                                           WeighCase{"shared_with_table", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torvex::core
