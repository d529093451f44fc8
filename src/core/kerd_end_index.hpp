#pragma once
// The end bars of the lines a rebuild has appended, by list position, with the smallest end of
// each block of positions. A pivot's line can only merge into a line that ends at most the
// length limit after the pivot; the others fail the length test whatever the other two tests
// say, so where those tests are unseen and cannot fail they need not run. The ends never move
// during a rebuild: its merges are backward and change where a line starts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/engine_arith.hpp"

namespace torvex::core {

class KerdEndIndex {
 public:
  static constexpr std::size_t kBlock = 32;

  void clear() {
    ends_.clear();
    block_lowest_.clear();
    highest_ = std::numeric_limits<int64_t>::min();
  }

  void push(int64_t end) {
    if (ends_.size() % kBlock == 0) block_lowest_.push_back(end);
    block_lowest_.back() = std::min(block_lowest_.back(), end);
    highest_ = std::max(highest_, end);
    ends_.push_back(end);
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  int64_t highest_end() const { return highest_; }

  // Whether a line ending at `end` passes the length test against a line starting at `start`,
  // exactly as the test computes it.
  static bool within(int64_t end, int64_t start, double length_limit) {
    return static_cast<double>(wide(end) - start) <= length_limit;
  }

  // Calls visit(y) for each position y, ascending, whose line passes the length test against a
  // line starting at `start`, until visit returns true.
  template <class Visit>
  void for_each_within(int64_t start, double length_limit, Visit&& visit) const {
    for (std::size_t block = 0; block < block_lowest_.size(); ++block) {
      // Ends convert to doubles monotonically: a block whose smallest end fails, fails whole.
      if (!within(block_lowest_[block], start, length_limit)) continue;
      const std::size_t last = std::min(ends_.size(), (block + 1) * kBlock);
      for (std::size_t y = block * kBlock; y < last; ++y)
        if (within(ends_[y], start, length_limit) && visit(y)) return;
    }
  }

 private:
  std::vector<int64_t> ends_;
  std::vector<int64_t> block_lowest_;
  int64_t highest_ = std::numeric_limits<int64_t>::min();
};

}  // namespace torvex::core
