#pragma once
// A line's pivot values, earliest first, in one contiguous run. A backward merge puts another
// line's values in front of a line's own, again and again as the lists grow: the run keeps room
// on both sides, so adding at either end moves only the added values (amortised). A single
// value, as every new line holds, lives in the list itself: lines are built and copied without
// touching the heap. Each change gives the list a new stamp, so that what is derived from its
// values can tell whether it still holds.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace torvex::core {

class ValueList {
 public:
  using value_type = double;
  using size_type = std::size_t;
  using iterator = const double*;
  using const_iterator = const double*;

  ValueList() = default;
  ValueList(std::initializer_list<double> values) { assign({values.begin(), values.size()}); }
  ValueList(const std::vector<double>& values) { assign(values); }
  ValueList(const ValueList& other) { assign(other); }
  ValueList(ValueList&& other) noexcept { take(other); }
  ValueList& operator=(const ValueList& other) {
    if (this != &other) assign(other);
    return *this;
  }
  ValueList& operator=(ValueList&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ValueList& operator=(std::initializer_list<double> values) {
    assign({values.begin(), values.size()});
    return *this;
  }
  ValueList& operator=(const std::vector<double>& values) {
    assign(values);
    return *this;
  }
  ~ValueList() { release(); }

  // Never 0; a moved list keeps its stamp with its values.
  uint64_t stamp() const { return stamp_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const double* data() const { return heap_ != nullptr ? heap_ + front_ : &room_.one; }
  const double* begin() const { return data(); }
  const double* end() const { return data() + size_; }
  double operator[](std::size_t i) const { return data()[i]; }
  double front() const { return data()[0]; }
  double back() const { return data()[size_ - 1]; }

  void clear() {
    size_ = 0;
    touch();
  }
  // Keeps the heap buffer, if any.
  void assign(std::size_t count, double value) {
    clear();
    double* at = room_for(count, Side::back);
    std::fill_n(at, count, value);
    size_ = count;
    touch();
  }
  // `values` may be (part of) this list.
  void assign(std::span<const double> values) {
    if (overlaps(values)) {
      const std::vector<double> copy(values.begin(), values.end());
      assign(std::span<const double>(copy));
      return;
    }
    clear();
    double* at = room_for(values.size(), Side::back);
    std::copy(values.begin(), values.end(), at);
    size_ = values.size();
    touch();
  }
  void push_back(double value) { append(std::span<const double>(&value, 1)); }
  // `values` may be (part of) this list.
  void append(std::span<const double> values) {
    const std::size_t n = values.size();
    if (n == 0) return;
    if (fits(n, Side::back)) {  // the room lies outside the values: no overlap
      std::memcpy(mutable_data() + size_, values.data(), n * sizeof(double));
    } else {
      regrow(n, Side::back, values);
    }
    size_ += n;
    touch();
  }
  // `values` may be (part of) this list.
  void prepend(std::span<const double> values) {
    const std::size_t n = values.size();
    if (n == 0) return;
    if (fits(n, Side::front)) {
      std::memcpy(heap_ + front_ - n, values.data(), n * sizeof(double));
      front_ -= n;
    } else {
      regrow(n, Side::front, values);
    }
    size_ += n;
    touch();
  }

  friend bool operator==(const ValueList& a, const ValueList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const ValueList& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  enum class Side { front, back };

  // A stamp is the list's own number above a count of its changes: a change counts up without
  // the shared counter (an atomic step on every change costs more than the change), and only a
  // new list, or one whose count would run over, draws a number.
  static constexpr uint64_t kChanges = (uint64_t{1} << 24) - 1;
  static uint64_t fresh_stamp() {
    return (stamps_.fetch_add(1, std::memory_order_relaxed)) * (kChanges + 1);
  }
  void touch() { stamp_ = (stamp_ & kChanges) == kChanges ? fresh_stamp() : stamp_ + 1; }

  bool overlaps(std::span<const double> values) const {
    const double* first = heap_ != nullptr ? heap_ : &room_.one;
    const std::less<const double*> before;  // a total order, also across objects
    return !values.empty() && before(values.data(), first + capacity()) &&
           before(first, values.data() + values.size());
  }
  double* mutable_data() { return heap_ != nullptr ? heap_ + front_ : &room_.one; }
  std::size_t capacity() const { return heap_ != nullptr ? room_.capacity : 1; }
  bool fits(std::size_t n, Side side) const {
    if (heap_ == nullptr) return side == Side::back && size_ + n <= 1;
    return side == Side::front ? n <= front_ : n <= room_.capacity - front_ - size_;
  }
  // Room for `count` values in an empty list, from the start of the run.
  double* room_for(std::size_t count, Side side) {
    if (heap_ == nullptr && count <= 1) return &room_.one;
    if (heap_ == nullptr || count > room_.capacity) {
      release();
      heap_ = allocate(count);
      room_.capacity = count;
    }
    front_ = side == Side::front ? room_.capacity - count : 0;
    return heap_ + front_;
  }
  // A larger buffer holding `added` on `side` of the values, with room again on both sides.
  void regrow(std::size_t n, Side side, std::span<const double> added) {
    const std::size_t total = size_ + n;
    const std::size_t slack = total + 2;
    const std::size_t capacity = total + slack;
    double* buffer = allocate(capacity);
    const std::size_t front = slack / 2;
    double* at = buffer + front;
    if (side == Side::front) {
      std::memcpy(at, added.data(), n * sizeof(double));
      std::memcpy(at + n, data(), size_ * sizeof(double));
    } else {
      std::memcpy(at, data(), size_ * sizeof(double));
      std::memcpy(at + size_, added.data(), n * sizeof(double));
    }
    release();
    heap_ = buffer;
    room_.capacity = capacity;
    front_ = front;
  }
  static double* allocate(std::size_t count) {
    return static_cast<double*>(::operator new(count * sizeof(double)));
  }
  void release() {
    if (heap_ != nullptr) ::operator delete(heap_);
    heap_ = nullptr;
  }
  void take(ValueList& other) {
    heap_ = std::exchange(other.heap_, nullptr);
    front_ = other.front_;
    size_ = std::exchange(other.size_, 0);
    room_ = other.room_;
    stamp_ = std::exchange(other.stamp_, fresh_stamp());
  }

  double* heap_ = nullptr;  // none while the list holds at most one value
  std::size_t front_ = 0;   // room before the values
  std::size_t size_ = 0;
  union Room {
    double one;  // the single value, without heap_
    std::size_t capacity;
  } room_{0.0};
  uint64_t stamp_ = fresh_stamp();
  inline static std::atomic<uint64_t> stamps_{1};
};

}  // namespace torvex::core
