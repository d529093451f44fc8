#pragma once
// An object's own attribute dictionary, as the generic attribute lookup reaches it. Private (3.11
// to 3.13): _PyObject_GetDictPtr, which makes the dictionary of a class whose instances keep
// their values inline. Public: the generic __dict__ getter, for a class whose instances have a
// dictionary, which makes it the same way.
#include "python/cpython/version.hpp"

namespace torvex::py::cpython {

// obj's instance dictionary (borrowed from obj, which holds it), made now where obj keeps its
// values inline; null where obj has none. Raises PyError only where making it fails.
PyObject* instance_dict(PyObject* obj);

}  // namespace torvex::py::cpython
