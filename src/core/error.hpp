#pragma once
// Errors raised by the core itself. The core has no Python; the binding maps each kind to
// the matching built-in exception, so a host sees the same error a Python line would raise.
#include <stdexcept>
#include <string>

namespace torvex::core {

enum class ErrorKind { type, value, index, overflow, zero_division, attribute, not_implemented };

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

}  // namespace torvex::core
