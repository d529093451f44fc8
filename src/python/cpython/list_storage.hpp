#pragma once
// A list's storage changed in place. Private (3.11 to 3.13): the list's item array and its
// allocated size, grown with the interpreter's allocator as the list's own methods grow it.
// Public: not possible; the caller makes a new list instead.
#include <span>

#include "python/cpython/version.hpp"

namespace torvex::py::cpython {

// Puts `items` (new references taken) before the list's own items, in `list` itself, leaving it
// exactly as large as concatenation would make it: for a list no one else can see. False, with
// nothing done, where this build cannot; raises PyError when memory runs out.
bool prepend_in_place(PyObject* list, std::span<PyObject* const> items);

}  // namespace torvex::py::cpython
