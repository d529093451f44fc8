#pragma once
// Whether a dictionary watcher sees every change of an object's instance dictionary. From 3.13 an
// object whose class keeps its values inline may go on storing attribute writes in those values
// after its dictionary was made from them, and a watcher of the dictionary does not see them.
// Private (3.13): the dictionary is given values of its own, as obj.__dict__ = obj.__dict__ does
// with the interpreter's own __dict__ setter, and the layout of its values tells whether they
// still live in the object. Public: such an object is not watched. Before 3.13 every write goes
// through the dictionary once it is made.
#include "python/cpython/version.hpp"

namespace torvex::py::cpython {

// Makes `dict`, obj's exact instance dictionary, hold every write of obj's attributes where that
// can be done; false where a watcher of it could miss one. Runs no host code.
bool writes_go_through_dict(PyObject* obj, PyObject* dict);

}  // namespace torvex::py::cpython
