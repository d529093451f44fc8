#pragma once
// Reusable working storage. After warm-up no call allocates. A host object's hook may re-enter
// the algorithms while the storage is in use; the nested call then gets storage of its own.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace torvex::core {

// One T reused by successive operations; an operation started while it is taken (a host hook
// re-entering the engine) gets one of its own. A lease hands the object back emptied (its
// forget(), or clear() for a buffer), so every lease starts from nothing.
template <class T>
class ReusePool {
 public:
  class Lease {
   public:
    explicit Lease(ReusePool& pool) : pool_(pool.busy_ ? nullptr : &pool) {
      if (pool_ != nullptr)
        pool_->busy_ = true;
      else
        own_ = std::make_unique<T>();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      if constexpr (requires(T & t) { t.forget(); })
        get().forget();
      else
        get().clear();
      if (pool_ != nullptr) pool_->busy_ = false;
    }

    T& get() { return pool_ != nullptr ? pool_->object_ : *own_; }

   private:
    ReusePool* pool_;
    std::unique_ptr<T> own_;  // only while the pool's object is taken
  };

  Lease lease() { return Lease(*this); }

 private:
  T object_;
  bool busy_ = false;
};

// A buffer for values an algorithm gathers for one step (a line's pivot values).
using ScratchPool = ReusePool<std::vector<double>>;

// Values of a few series already read in one span of an operation, by series and offset (0,
// -1, -2, ...). forget() starts a new span without clearing anything: each entry carries the
// stamp of the span that stored it. After warm-up nothing allocates.
class OffsetMemo {
 public:
  static constexpr int kSeries = 8;           // series kept per span; more are read as usual
  static constexpr int64_t kDepth = 1 << 16;  // offsets kept: 0 down to -(kDepth - 1)

  void forget() {
    used_ = 0;
    if (++stamp_ == 0) {  // wrapped: no old entry may look current
      for (auto& column : columns_)
        for (Entry& entry : column) entry.stamp = 0;
      stamp_ = 1;
    }
  }

  // The slot of the series identified by `key` in this span, or -1 when all slots are taken.
  int slot(const void* key) {
    for (int i = 0; i < used_; ++i)
      if (keys_[i] == key) return i;
    if (used_ == kSeries) return -1;
    keys_[used_] = key;
    return used_++;
  }

  bool find(int slot, int64_t offset, double& out) const {
    if (offset > 0 || offset <= -kDepth) return false;
    const auto depth = static_cast<std::size_t>(-offset);
    const std::vector<Entry>& column = columns_[slot];
    if (depth >= column.size() || column[depth].stamp != stamp_) return false;
    out = column[depth].value;
    return true;
  }

  void store(int slot, int64_t offset, double value) {
    if (offset > 0 || offset <= -kDepth) return;
    const auto depth = static_cast<std::size_t>(-offset);
    std::vector<Entry>& column = columns_[slot];
    if (depth >= column.size())
      column.resize(std::min<std::size_t>(std::max<std::size_t>(depth + 1, column.size() * 2),
                                          static_cast<std::size_t>(kDepth)));
    column[depth] = Entry{value, stamp_};
  }

 private:
  struct Entry {
    double value = 0.0;
    uint32_t stamp = 0;
  };
  std::array<std::vector<Entry>, kSeries> columns_;
  std::array<const void*, kSeries> keys_{};
  int used_ = 0;
  uint32_t stamp_ = 1;
};

using OffsetMemoPool = ReusePool<OffsetMemo>;

}  // namespace torvex::core
