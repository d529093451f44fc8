#pragma once
// One module object per extension module, whichever name imports it. A host that puts the
// package directory on sys.path imports `kerd` as well as `torvex.dto.kerd`; both names load
// the same file, and two module objects would mean two sets of classes that reject each
// other's instances. The create slot therefore hands out the module already loaded from the
// same definition under the other name, and the exec slot then leaves it as it was.
#include "python/ref.hpp"

namespace torvex::py::module_alias {

// Py_mod_create: the module of this definition already loaded (or loadable from the same
// file) under its other name, or a new module.
PyObject* create(PyObject* spec, PyModuleDef* def) noexcept;

// First step of Py_mod_exec: 1 when `module` was handed out again by create and has been
// given back its state (exec must not run again), 0 for a new module, -1 on error.
int readopt(PyObject* module) noexcept;

// Last step of Py_mod_exec: a module loaded under another name than its definition's (its
// package not importable, so the short name alone) names that in its classes' __module__, so
// that pickles made there refer to a module that can be imported. 0, or -1 on error.
int settle(PyObject* module) noexcept;

}  // namespace torvex::py::module_alias
