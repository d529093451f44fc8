#include "python/args.hpp"

#include <cstring>

namespace torvex::py {

namespace {

[[noreturn]] void fail() {
  throw PyError{};
}

}  // namespace

void parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out) {
  const auto total = static_cast<Py_ssize_t>(sig.params.size());
  if (nargs > total) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zd positional argument%s (%zd given)",
                 sig.name, total, total == 1 ? "" : "s", nargs);
    fail();
  }
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      fail();
    }
    Py_ssize_t index = 0;
    bool found = false;
    for (const char* param : sig.params) {
      if (PyUnicode_CompareWithASCIIString(key, param) == 0) {
        found = true;
        break;
      }
      ++index;
    }
    if (!found) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %.200s()", key,
                   sig.name);
      fail();
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%U') and position (%zd)",
                   sig.name, key, index + 1);
      fail();
    }
    out[index] = args[nargs + k];
  }

  Py_ssize_t index = 0;
  for (const char* param : sig.params) {
    if (index >= sig.required) break;
    if (out[index] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)", sig.name,
                   param, index + 1);
      fail();
    }
    ++index;
  }
}

void parse_no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name,
                 nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    fail();
  }
}

}  // namespace torvex::py
