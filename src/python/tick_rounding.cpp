#include "python/tick_rounding.hpp"

#include <cmath>
#include <cstring>

#include "core/pymath.hpp"
#include "python/host_gateway.hpp"

namespace torvex::py {

namespace {

// The interpreter's own round: the C function of that name bound to the builtins module.
bool is_builtin_round(PyObject* found) {
  return found != nullptr && PyCFunction_Check(found) &&
         std::strcmp(reinterpret_cast<PyCFunctionObject*>(found)->m_ml->ml_name, "round") == 0 &&
         bound_to_module(found, "builtins");
}

}  // namespace

bool TickRounding::runs_stand_in(PyObject* obj, PyObject* name) {
  PyObject* found = unshadowed_class_attribute(obj, name);
  if (found == nullptr || Py_TYPE(found) != &PyFunction_Type) return false;
  auto* function = reinterpret_cast<PyFunctionObject*>(found);
  PyObject* attrs = function->func_dict;
  if (attrs == nullptr || !PyDict_CheckExact(attrs)) return false;
  if (!mark_name_) {
    mark_name_ = intern("torvex_rounds_to_mintick");
    round_name_ = intern("round");
  }
  // The mark names the code it vouches for: a function given other code is not vouched for.
  if (dict_item(attrs, mark_name_.get()) != function->func_code) return false;
  PyObject* globals = function->func_globals;
  PyObject* builtins = function->func_builtins;
  if (!PyDict_CheckExact(globals) || dict_item(globals, round_name_.get()) != nullptr) return false;
  if (builtins == nullptr || !PyDict_CheckExact(builtins)) return false;
  PyObject* round = dict_item(builtins, round_name_.get());
  if (round != nullptr && round == builtin_round_.get()) return true;
  if (!is_builtin_round(round)) return false;
  builtin_round_ = Ref::borrow(round);
  return true;
}

std::optional<double> TickRounding::rounded(double price, PyObject* mintick) {
  if (!PyFloat_CheckExact(mintick)) return std::nullopt;
  const double tick = PyFloat_AS_DOUBLE(mintick);
  if (tick == 0.0 || !std::isfinite(price / tick)) return std::nullopt;
  return core::round_to_mintick(price, tick);
}

}  // namespace torvex::py
