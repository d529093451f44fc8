#pragma once
// What replays held in locals (core/engine_extension.hpp, LocalReplayLine) found, for a model
// that keeps it (RemembersReplays): from a start, the line's state after so many bars. The
// rules are a function of the start and of the bars' values and numbers alone, so a replay
// from an equal start over the same stored bars reaches that state there and goes on from it.
#include <array>
#include <cstddef>
#include <cstdint>

#include "core/model.hpp"

namespace torvex::core {

// Where a replay held in locals starts, as far as what it does depends on it: the line's state
// as read, the level searched for, the two settings the rules read, the bar number of the
// first bar replayed, and that bar's position in the stored values of the five bar series
// (close, open, high, low, time), each with the name of the series' contents. Reals are kept
// as their bits: equal starts replay alike bit for bit.
struct ReplayStart {
  std::array<uint64_t, 5> contents{};
  std::array<int64_t, 5> position{};
  int64_t first_bar = 0;
  int64_t extend_end_bar_index = 0;
  int64_t bar_crosses_post_extend = 0;
  uint64_t end_time = 0;
  uint64_t kerd_value = 0;
  uint64_t level = 0;
  uint64_t cross_threshold = 0;
  bool extended = false;
  bool checked = false;
  bool only_body_cross = false;

  bool operator==(const ReplayStart&) const = default;
};

// What a replay wrote: each attribute written, in the order of its first write, with its last
// value's bits.
struct ReplayWrites {
  static constexpr std::size_t kMost = 8;
  std::array<KerdAttr, kMost> attr{};
  std::array<uint64_t, kMost> bits{};
  int count = 0;
};

// A fixed table of sets of two entries, the set picked by the start; a new entry takes the
// place of the one of its set used less recently. An entry answers only a start equal to its
// own.
class ReplayMemo {
 public:
  static constexpr int kSetBits = 9;

  struct Found {
    int64_t bars = 0;     // replayed from the start
    ReplayWrites writes;  // what they wrote
  };

  // What a replay from `start` found, or null.
  const Found* recall(const ReplayStart& start) {
    Set& set = sets_[set_of(start)];
    for (int way = 0; way < 2; ++way) {
      Entry& entry = set.ways[way];
      if (entry.found.bars > 0 && entry.start == start) {
        set.recent = way;
        return &entry.found;
      }
    }
    return nullptr;
  }
  void remember(const ReplayStart& start, int64_t bars, const ReplayWrites& writes) {
    Set& set = sets_[set_of(start)];
    int way = 1 - set.recent;
    for (int w = 0; w < 2; ++w)
      if (set.ways[w].start == start) way = w;
    set.ways[way] = Entry{start, Found{bars, writes}};
    set.recent = way;
  }

 private:
  struct Entry {
    ReplayStart start;
    Found found;
  };
  struct Set {
    std::array<Entry, 2> ways;
    int recent = 0;
  };

  static std::size_t set_of(const ReplayStart& s) {
    uint64_t h = 0;
    const auto mix = [&h](uint64_t word) {
      h = (h ^ word) * 0x100000001B3ULL + 0x9E3779B97F4A7C15ULL;
    };
    for (std::size_t i = 0; i < s.contents.size(); ++i) {
      mix(s.contents[i]);
      mix(static_cast<uint64_t>(s.position[i]));
    }
    for (const int64_t word : {s.first_bar, s.extend_end_bar_index, s.bar_crosses_post_extend})
      mix(static_cast<uint64_t>(word));
    for (const uint64_t word : {s.end_time, s.kerd_value, s.level, s.cross_threshold}) mix(word);
    mix(uint64_t{s.extended} | uint64_t{s.checked} << 1 | uint64_t{s.only_body_cross} << 2);
    return static_cast<std::size_t>((h * 0x9E3779B97F4A7C15ULL) >> (64 - kSetBits));
  }

  std::array<Set, std::size_t{1} << kSetBits> sets_{};
};

}  // namespace torvex::core
