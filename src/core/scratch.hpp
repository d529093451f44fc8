#pragma once
// A reusable buffer for values an algorithm gathers for one step (a line's pivot values). After
// warm-up no call allocates. A host object's conversion hook may re-enter the algorithms while
// the buffer is being filled; the nested call then gets a buffer of its own.
#include <utility>
#include <vector>

namespace torvex::core {

class ScratchPool {
 public:
  class Lease {
   public:
    explicit Lease(ScratchPool& pool) : pool_(pool.busy_ ? nullptr : &pool) {
      if (pool_ != nullptr) {
        pool_->busy_ = true;
        pool_->buffer_.clear();
      }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      if (pool_ != nullptr) pool_->busy_ = false;
    }

    std::vector<double>& values() { return pool_ != nullptr ? pool_->buffer_ : own_; }

   private:
    ScratchPool* pool_;
    std::vector<double> own_;  // used only while the pool's buffer is taken
  };

  Lease lease() { return Lease(*this); }

 private:
  std::vector<double> buffer_;
  bool busy_ = false;
};

}  // namespace torvex::core
