#pragma once
// What a dictionary's layout tells without a lookup. Private: whether its values lie apart from
// its keys (a split table: an exact dict with exact str keys only, iterated in the order its
// shared keys were made); before 3.12, its version tag, renewed by every change. Public: neither
// is known.
#include <cstdint>

#include "python/cpython/version.hpp"

namespace torvex::py::cpython {

// Whether `dict`, an exact dict, is a split table; false where that is not known.
bool split_table(PyObject* dict) noexcept;

// The version tag of `dict` (3.11): changed by every change of the dictionary and never given to
// two states; false where this build cannot read it.
bool dict_version(PyObject* dict, uint64_t& version) noexcept;

}  // namespace torvex::py::cpython
