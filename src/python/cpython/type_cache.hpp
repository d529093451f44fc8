#pragma once
// A class attribute as the generic lookup finds it along the MRO, and a class's version tag: the
// number the interpreter renews whenever the class or one of its bases changes, and never gives
// to another class. Private (3.11 to 3.13): _PyType_Lookup, which reads the interpreter's
// attribute cache and gives the class a tag; tp_version_tag, current while
// Py_TPFLAGS_VALID_VERSION_TAG says so before 3.13. Public: the MRO walked through the class
// dictionaries; from 3.12 a tag of this module's own, given to a watched class and dropped at the
// interpreter's notice of its change (a type watcher); before, or with no watcher free, no tag
// (0), so that nothing is kept by class.
#include "python/cpython/version.hpp"

namespace torvex::py::cpython {

// The first class along type's MRO whose dictionary has `name`: its value (borrowed), or null.
// Runs no host code; raises PyError only where a class dictionary's lookup fails.
PyObject* mro_lookup(PyTypeObject* type, PyObject* name);

// The same through the interpreter's attribute cache where this build may use it.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

// The class's current version tag; 0 when it has none (or this build cannot read it). The public
// path tags the class here (see tagged_version).
unsigned int type_version(PyTypeObject* type) noexcept;

// The same, giving the class a tag first where it has none: a class read only through caches
// keyed by tag may never have been given one. `name` is any attribute name.
unsigned int tagged_version(PyTypeObject* type, PyObject* name);

}  // namespace torvex::py::cpython
