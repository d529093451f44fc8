#pragma once
// Accelerator: a deferred line's attributes answered from its seed, the objects made once
// (python_model_deferred_lines.cpp names the call it replaces and the rule that keeps it
// valid).
#include "python/python_model.hpp"

namespace torvex::py {

template <core::KerdAttr A>
core::kerd_attr_type<A> PythonModel::deferred_number(const DeferredLine& line) {
  using core::KerdAttr;
  const core::KerdSeed& s = line.seed;
  if constexpr (A == KerdAttr::start_bar_index)
    return s.start_bar_index;
  else if constexpr (A == KerdAttr::end_bar_index)
    return s.end_bar_index;
  else if constexpr (A == KerdAttr::start_time)
    return static_cast<double>(s.start_time);  // as float() converts the int it is built with
  else if constexpr (A == KerdAttr::end_time)
    return static_cast<double>(s.end_time);
  else if constexpr (A == KerdAttr::kerd_value)
    return s.kerd_value;
  else if constexpr (A == KerdAttr::kerd_accum_value)
    return s.kerd_accum_value;
  else if constexpr (A == KerdAttr::close_avg_percent)
    return s.close_avg_percent;
  else
    return core::kerd_attr_type<A>{};  // the optional attributes' defaults
}

template <core::KerdAttr A>
std::optional<bool> PythonModel::deferred_differs(const DeferredLine& line, PyObject* other) {
  using core::KerdAttr;
  if constexpr (A == KerdAttr::start_time)  // built as an int, as the other times
    return number_differs(other, line.seed.start_time);
  else if constexpr (A == KerdAttr::end_time)
    return number_differs(other, line.seed.end_time);
  else if constexpr (core::info(A).kind == core::ValueKind::index ||
                     core::info(A).kind == core::ValueKind::price)
    return number_differs(other, deferred_number<A>(line));
  else
    return std::nullopt;
}

template <core::KerdAttr A>
const Ref& PythonModel::deferred_attr(DeferredLine& line) const {
  Ref& made = line.made[static_cast<std::size_t>(line_slot(A))];
  if (!made) made = new_deferred_attr<A>(line);
  return made;
}

template <core::KerdAttr A>
Ref PythonModel::new_deferred_attr(DeferredLine& line) const {
  using core::KerdAttr;
  if constexpr (A == KerdAttr::snib_values) {
    Ref values = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(values.get(), 0, deferred_value(line).release());
    return values;
  } else if constexpr (A == KerdAttr::start_time) {  // ints, as the pivot's time
    return from_index(line.seed.start_time);
  } else if constexpr (A == KerdAttr::end_time) {
    return from_index(line.seed.end_time);
  } else {
    return from_value<core::info(A).kind>(deferred_number<A>(line));
  }
}

}  // namespace torvex::py
