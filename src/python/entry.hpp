#pragma once
// Module entry points: the only place where C++ exceptions turn into Python errors.
#include <new>
#include <stdexcept>
#include <utility>

#include "core/error.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// Sets the Python exception matching a core error.
void raise_core_error(const core::Error& error) noexcept;

// Inside a catch block: sets the Python error for the exception being handled, which is no
// PyError (that one has its error set already). An exception of no kind known here propagates.
void raise_current_exception();

// Runs body (which returns an owned Ref, or a null Ref for "return None"-less callers) and
// converts every escaping exception into the Python error state. Returns a new reference or
// NULL with an exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)().release();
  } catch (const PyError&) {
    return nullptr;
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

// The same for slots that report failure as -1 (setters, __init__).
template <class Body>
int guarded_status(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
    return 0;
  } catch (const PyError&) {
    return -1;
  } catch (...) {
    raise_current_exception();
    return -1;
  }
}

// An entry point as PyMethodDef's ml_meth stores it, whatever its calling convention.
template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The calling convention of entry points parsed by parse_args, and such an entry point as
// PyMethodDef stores it: the parameter type checks that the function takes these arguments.
inline constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fast(FastFunction fn) {
  return as_method(fn);
}

// None as an owned reference, for entry points that return nothing.
inline Ref none() {
  return Ref::borrow(Py_None);
}

}  // namespace torvex::py
