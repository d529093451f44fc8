#pragma once
// The native model's records and settings as torvex.native hands them over and takes them:
// lines as dicts, pivots as tuples, settings read from an object's attributes.
#include "core/native_state.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// obj's attribute `name`, looked up by the interned name (so that the type's lookup cache keeps
// one name object, not one per call).
Ref named_attr(PyObject* obj, const char* name);

// A line as a dict: its base values bar_index, last_bar_index and mintick, then every
// attribute in table order (snib_values a list of floats).
Ref line_dict(const core::Kerd& line);

// A pivot as (bar_index_at_pivot, price, is_high, is_trending).
Ref pivot_tuple(const core::Snib& snib);

// The settings the engine reads, taken once from obj's attributes in table order; `names`,
// when given, holds their interned names in that order.
core::Settings engine_settings_from(PyObject* obj, const Ref* names = nullptr);

}  // namespace torvex::py
