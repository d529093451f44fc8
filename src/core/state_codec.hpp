#pragma once
// A flat byte form of native state, for copies that live apart from the object they came from
// (pickles). Every read is bounds-checked: a cut, padded or foreign blob fails with one error
// and never reads outside its bytes. Values are stored in the machine's own layout; a header
// of known values refuses a blob from a machine of another byte order.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/error.hpp"

namespace torvex::core {

class StateWriter {
 public:
  // `kind` names what the blob holds (a few letters and a version).
  explicit StateWriter(std::string_view kind) {
    put<uint32_t>(static_cast<uint32_t>(kind.size()));
    out_.append(kind);
    put<uint32_t>(kOrder);
    put<double>(kOne);
  }
  template <class T>
  void put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    out_.append(reinterpret_cast<const char*>(&value), sizeof(T));
  }
  void put_values(std::span<const double> values) {
    put<uint64_t>(values.size());
    out_.append(reinterpret_cast<const char*>(values.data()), values.size_bytes());
  }
  const std::string& bytes() const { return out_; }

 private:
  static constexpr uint32_t kOrder = 0x01020304;
  static constexpr double kOne = 1.0;
  friend class StateReader;
  std::string out_;
};

class StateReader {
 public:
  StateReader(std::span<const char> in, std::string_view kind, std::string_view what)
      : in_(in), what_(what) {
    const uint32_t size = get<uint32_t>();
    if (size != kind.size() || left() < size || std::string_view(in_.data() + pos_, size) != kind)
      fail();
    pos_ += size;
    if (get<uint32_t>() != StateWriter::kOrder || get<double>() != StateWriter::kOne) fail();
  }
  template <class T>
  T get() {
    static_assert(std::is_trivially_copyable_v<T>);
    if (left() < sizeof(T)) fail();
    T value;
    std::memcpy(&value, in_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return value;
  }
  bool get_flag() {
    const auto byte = get<uint8_t>();
    if (byte > 1) fail();
    return byte != 0;
  }
  std::vector<double> get_values() {
    const auto count = get<uint64_t>();
    if (count > left() / sizeof(double)) fail();
    std::vector<double> values(static_cast<std::size_t>(count));
    std::memcpy(values.data(), in_.data() + pos_, values.size() * sizeof(double));
    pos_ += values.size() * sizeof(double);
    return values;
  }
  // A count of items that each take at least `least` bytes: no more than the bytes left hold.
  std::size_t get_count(std::size_t least) {
    const auto count = get<uint64_t>();
    if (count > left() / least) fail();
    return static_cast<std::size_t>(count);
  }
  void finish() const {
    if (left() != 0) fail();
  }
  [[noreturn]] void fail() const {
    throw Error(ErrorKind::value, std::string(what_) + " state is damaged or of another version");
  }

 private:
  std::size_t left() const { return in_.size() - pos_; }
  std::span<const char> in_;
  std::size_t pos_ = 0;
  std::string_view what_;
};

}  // namespace torvex::core
