#pragma once
// The end bars of the lines a rebuild has appended, by list position, with the smallest end of
// each block of positions kept in a min-tree. A pivot's line can only merge into a line that
// ends at most the length limit after the pivot; the others fail the length test whatever the
// other two tests say, so where those tests are unseen and cannot fail they need not run. The
// ends never move during a rebuild: its merges are backward and change where a line starts.
// Finding the lines in reach costs the blocks that hold them and a climb through the tree, not
// a pass over the whole list.
//
// Beside each end, the levels the line's band test can take once that is known (its reach),
// and per block the levels any of them can: a block none of whose lines can take the new line's
// level is passed over whole.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/engine_arith.hpp"
#include "core/model.hpp"

namespace torvex::core {

class KerdEndIndex {
 public:
  static constexpr std::size_t kBlock = 8;

  void clear() {
    ends_.clear();
    lows_.clear();
    highs_.clear();
    known_.clear();
    block_low_.clear();
    block_high_.clear();
    tree_.clear();
    leaves_ = 0;
    highest_ = std::numeric_limits<int64_t>::min();
  }

  // Room for `lines` lines, so that pushing them moves nothing.
  void reserve(std::size_t lines) {
    ends_.reserve(lines);
    lows_.reserve(lines);
    highs_.reserve(lines);
    known_.reserve(lines);
    const std::size_t blocks = (lines + kBlock - 1) / kBlock;
    block_low_.reserve(blocks);
    block_high_.reserve(blocks);
  }

  // A line whose reach is not known yet: it may take any level.
  void push(int64_t end) {
    const std::size_t block = ends_.size() / kBlock;
    if (block >= leaves_) grow(block + 1);
    for (std::size_t node = leaves_ + block; node > 0; node /= 2)
      tree_[node] = std::min(tree_[node], end);
    highest_ = std::max(highest_, end);
    ends_.push_back(end);
    lows_.push_back(-kInf);
    highs_.push_back(kInf);
    known_.push_back(false);
    if (block >= block_low_.size()) {
      block_low_.push_back(kInf);
      block_high_.push_back(-kInf);
    }
    block_low_[block] = -kInf;
    block_high_[block] = kInf;
  }

  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  int64_t highest_end() const { return highest_; }

  bool reach_known(std::size_t y) const { return known_[y] != 0; }
  // The levels outside which the line at y takes none (no level if the ends are NaN).
  void set_reach(std::size_t y, ValueRange levels) { put_reach(y, levels, true); }
  void forget_reach(std::size_t y) { put_reach(y, {-kInf, kInf}, false); }

  // Calls visit(y) for each position y, ascending, whose line passes the length test against a
  // line starting at `start` (double(end - start) <= length_limit, as the test computes it)
  // and whose reach holds `level`, until visit returns true. No reach holds a NaN level.
  template <class Visit>
  void for_each_within(int64_t start, double length_limit, double level, Visit&& visit) const {
    const wide_int reach = wide(start) + longest_within(length_limit);
    if (reach < std::numeric_limits<int64_t>::min()) return;
    // Every end passes a reach past the largest int64: compared as int64 from here on.
    const int64_t bound = static_cast<int64_t>(std::min<wide_int>(reach, kNoEnd));
    const std::size_t blocks = (ends_.size() + kBlock - 1) / kBlock;
    for (std::size_t block = first_block(bound); block < blocks;
         block = next_block(block + 1, bound)) {
      if (!(block_low_[block] <= level && level <= block_high_[block])) continue;
      const std::size_t last = std::min(ends_.size(), (block + 1) * kBlock);
      for (std::size_t y = block * kBlock; y < last; ++y) {
        const bool held = (ends_[y] <= bound) & (lows_[y] <= level) & (level <= highs_[y]);
        if (held && visit(y)) return;
      }
    }
  }

  // Calls visit(y) for each position y, ascending, whose line fails the length test against a
  // line starting at `start` and whose reach holds `level` or is not known, until visit
  // returns true: the lines for_each_within passes over whose band test may take the level.
  template <class Visit>
  void for_each_beyond(int64_t start, double length_limit, double level, Visit&& visit) const {
    const wide_int reach = wide(start) + longest_within(length_limit);
    for (std::size_t y = 0; y < ends_.size(); ++y) {
      if (!(wide(ends_[y]) > reach)) continue;
      if (known_[y] != 0 && !(lows_[y] <= level && level <= highs_[y])) continue;
      if (visit(y)) return;
    }
  }

 private:
  static constexpr int64_t kNoEnd = std::numeric_limits<int64_t>::max();
  static constexpr double kInf = std::numeric_limits<double>::infinity();

  void put_reach(std::size_t y, ValueRange levels, bool known) {
    lows_[y] = levels.low;
    highs_[y] = levels.high;
    known_[y] = known;
    const std::size_t block = y / kBlock;
    if (levels.low == -kInf && levels.high == kInf) {
      // Nothing in the block can narrow an unbounded reach.
      block_low_[block] = -kInf;
      block_high_[block] = kInf;
      return;
    }
    // A NaN end takes no level and widens nothing.
    const std::size_t last = std::min(ends_.size(), (block + 1) * kBlock);
    double low = kInf, high = -kInf;
    for (std::size_t i = block * kBlock; i < last; ++i) {
      low = std::min(low, lows_[i]);
      high = std::max(high, highs_[i]);
    }
    block_low_[block] = low;
    block_high_[block] = high;
  }
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  // The largest difference d (of two int64 values) with double(d) <= limit, or one below the
  // smallest difference when none passes. Conversion to double never decreases, so the passing
  // differences are exactly those up to it. Cached: the limit rarely changes.
  wide_int longest_within(double limit) const {
    if (cached_ && std::bit_cast<uint64_t>(limit) == cached_limit_bits_) return cached_longest_;
    constexpr wide_int kSpan = wide_int{1} << 65;  // beyond any difference of two int64
    wide_int low = -kSpan, high = kSpan;
    if (!(static_cast<double>(low) <= limit)) {  // none passes (also a NaN limit)
      high = low - 1;
    } else {
      while (low < high) {  // invariant: double(low) <= limit
        const wide_int mid = low + (high - low + 1) / 2;
        if (static_cast<double>(mid) <= limit)
          low = mid;
        else
          high = mid - 1;
      }
    }
    cached_ = true;
    cached_limit_bits_ = std::bit_cast<uint64_t>(limit);
    cached_longest_ = high;
    return high;
  }

  void grow(std::size_t blocks) {
    const std::size_t leaves = std::bit_ceil(blocks);
    std::vector<int64_t> tree(2 * leaves, kNoEnd);
    for (std::size_t b = 0; b < leaves_; ++b) tree[leaves + b] = tree_[leaves_ + b];
    for (std::size_t node = leaves - 1; node > 0; --node)
      tree[node] = std::min(tree[2 * node], tree[2 * node + 1]);
    tree_ = std::move(tree);
    leaves_ = leaves;
  }

  // The first block whose smallest end is at most `bound`, from the root down; past the last
  // block when none is.
  std::size_t first_block(int64_t bound) const {
    if (leaves_ == 0 || !(tree_[1] <= bound)) return kNone;
    return leftmost_leaf(1, bound);
  }

  // The same from `block` on: up from the block until a subtree to the right qualifies.
  std::size_t next_block(std::size_t block, int64_t bound) const {
    if (block >= leaves_) return kNone;
    std::size_t node = leaves_ + block;
    while (!(tree_[node] <= bound)) {
      node >>= std::countr_one(node);  // a right child's parent's range ends with it
      if (node == 0) return kNone;
      ++node;
    }
    return leftmost_leaf(node, bound);
  }

  // The leftmost block under `node`, which qualifies, that qualifies.
  std::size_t leftmost_leaf(std::size_t node, int64_t bound) const {
    while (node < leaves_) {
      node *= 2;
      if (!(tree_[node] <= bound)) ++node;
    }
    return node - leaves_;
  }

  std::vector<int64_t> ends_;
  std::vector<double> lows_, highs_;  // the reaches, by position
  std::vector<uint8_t> known_;
  std::vector<double> block_low_, block_high_;  // the levels a block's lines may take
  std::vector<int64_t> tree_;  // node 1 the root, the blocks' smallest ends from leaves_ on
  std::size_t leaves_ = 0;
  int64_t highest_ = std::numeric_limits<int64_t>::min();
  mutable bool cached_ = false;
  mutable uint64_t cached_limit_bits_ = 0;
  mutable wide_int cached_longest_ = 0;
};

}  // namespace torvex::core
