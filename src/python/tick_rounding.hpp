#pragma once
// Rounding to the tick without host code. The package's stand-in base class marks its
// round_to_mintick, which computes round(price / self.mintick) * self.mintick and nothing else.
// Where a call engine.round_to_mintick(price) would run exactly that function, with the
// interpreter's own round, the engine may compute the same float itself.
#include <optional>

#include "python/ref.hpp"

namespace torvex::py {

class TickRounding {
 public:
  // Whether obj.<name>(price) runs the marked function: found along obj's class by the generic
  // lookup, not shadowed by obj's own dictionary, its code the one the mark names, and `round`
  // there the builtin.
  bool runs_stand_in(PyObject* obj, PyObject* name);

  // round(price / mintick) * mintick as that function computes it, for a float tick; nothing
  // where the function would fail or give anything but a float: the caller calls it instead.
  static std::optional<double> rounded(double price, PyObject* mintick);

 private:
  Ref mark_name_, round_name_, builtins_name_;
  Ref builtin_round_;        // once seen to be the interpreter's own
  Ref function_, builtins_;  // the function last looked at, and its builtins
};

}  // namespace torvex::py
