#pragma once
// The interpreter versions whose private layouts and underscore functions this build uses. Each
// private access in this folder is compiled for exactly the minor versions it was tested on
// (3.11, 3.12 and 3.13), and for none in a build with the CMake option TORVEX_PUBLIC_CPYTHON;
// every other version, 3.14 and later included, compiles the public path beside it, which
// answers "not known" where only a private access could tell.
#include <Python.h>

#if !defined(TORVEX_PUBLIC_CPYTHON) && PY_MAJOR_VERSION == 3
#if PY_MINOR_VERSION == 11
#define TORVEX_CPYTHON_311 1
#elif PY_MINOR_VERSION == 12
#define TORVEX_CPYTHON_312 1
#elif PY_MINOR_VERSION == 13
#define TORVEX_CPYTHON_313 1
#endif
#endif

#if defined(TORVEX_CPYTHON_311) || defined(TORVEX_CPYTHON_312) || defined(TORVEX_CPYTHON_313)
#define TORVEX_CPYTHON_PRIVATE 1
#endif

namespace torvex::py::cpython {

// Whether this build reads the interpreter's private layouts.
#ifdef TORVEX_CPYTHON_PRIVATE
inline constexpr bool kPrivate = true;
#else
inline constexpr bool kPrivate = false;
#endif

}  // namespace torvex::py::cpython
