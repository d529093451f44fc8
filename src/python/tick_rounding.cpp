#include "python/tick_rounding.hpp"

#include <cmath>

#include "core/pymath.hpp"
#include "python/host_gateway.hpp"

namespace torvex::py {

namespace {

// The interpreter's own round: the C function of that name bound to the builtins module.
bool is_builtin_round(PyObject* found) {
  if (found == nullptr || !PyCFunction_Check(found) || !bound_to_module(found, "builtins"))
    return false;
  Ref name = Ref::steal_or_null(PyObject_GetAttrString(found, "__name__"));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "round") == 0;
}

}  // namespace

bool TickRounding::runs_stand_in(PyObject* obj, PyObject* name) {
  PyObject* found = unshadowed_class_attribute(obj, name);
  if (found == nullptr || Py_TYPE(found) != &PyFunction_Type) return false;
  if (!mark_name_) {
    mark_name_ = intern("torvex_rounds_to_mintick");
    round_name_ = intern("round");
    builtins_name_ = intern("__builtins__");
  }
  // The function's own attributes, as its generic __dict__ gives them.
  Ref attrs = Ref::steal(PyObject_GenericGetDict(found, nullptr));
  if (!PyDict_CheckExact(attrs.get())) return false;
  // The mark names the code it vouches for: a function given other code is not vouched for.
  if (dict_item(attrs.get(), mark_name_.get()) != PyFunction_GetCode(found)) return false;
  PyObject* globals = PyFunction_GetGlobals(found);
  if (!PyDict_CheckExact(globals) || dict_item(globals, round_name_.get()) != nullptr) return false;
  // A function reads the builtins it was made with, for its whole life.
  if (found != function_.get()) {
    Ref builtins = Ref::steal_or_null(PyObject_GetAttr(found, builtins_name_.get()));
    if (!builtins) {
      PyErr_Clear();
      return false;
    }
    function_ = Ref::borrow(found);
    builtins_ = std::move(builtins);
  }
  if (!PyDict_CheckExact(builtins_.get())) return false;
  PyObject* round = dict_item(builtins_.get(), round_name_.get());
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
