#pragma once
// Numbers and flags that callers hand to the algorithms. A native caller passes plain C++
// values; the Python model passes the host's objects, which are converted only where the
// algorithm uses them, so an unused argument is never looked at and a bad one fails at the
// point of use (m.number(x) and m.flag(x) convert them).
#include <type_traits>

namespace torvex::core {

template <class M, class N>
double as_number(const M& m, const N& value) {
  if constexpr (std::is_arithmetic_v<N>)
    return static_cast<double>(value);
  else
    return m.number(value);
}

template <class M, class N>
bool as_flag(const M& m, const N& value) {
  if constexpr (std::is_arithmetic_v<N>)
    return static_cast<bool>(value);
  else
    return m.flag(value);
}

// A number converted on first use and then kept.
template <class M, class N>
class LazyNumber {
 public:
  LazyNumber(const M& m, const N& value) : m_(m), value_(value) {}

  double get() {
    if (!converted_) {
      number_ = as_number(m_, value_);
      converted_ = true;
    }
    return number_;
  }
  void add(double delta) { number_ = get() + delta; }

 private:
  const M& m_;
  const N& value_;
  double number_ = 0.0;
  bool converted_ = false;
};

}  // namespace torvex::core
