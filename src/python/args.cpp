#include "python/args.hpp"

#include <cstring>
#include <vector>

namespace torvex::py {

namespace {

[[noreturn]] void fail() {
  throw PyError{};
}

}  // namespace

void parse_args(const char* name, std::span<const char* const> params, Py_ssize_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out) {
  const auto total = static_cast<Py_ssize_t>(params.size());
  if (out.size() != params.size()) {
    PyErr_Format(PyExc_SystemError, "%.200s(): %zd parameters parsed into %zd slots", name, total,
                 static_cast<Py_ssize_t>(out.size()));
    fail();
  }
  if (nargs > total) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes at most %zd positional argument%s (%zd given)",
                 name, total, total == 1 ? "" : "s", nargs);
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
    for (const char* param : params) {
      if (PyUnicode_CompareWithASCIIString(key, param) == 0) {
        found = true;
        break;
      }
      ++index;
    }
    if (!found) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %.200s()", key, name);
      fail();
    }
    if (out[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%U') and position (%zd)",
                   name, key, index + 1);
      fail();
    }
    out[index] = args[nargs + k];
  }

  Py_ssize_t index = 0;
  for (const char* param : params) {
    if (index >= required) break;
    if (out[index] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s' (pos %zd)", name,
                   param, index + 1);
      fail();
    }
    ++index;
  }
}

void parse_args(const char* name, std::span<const char* const> params, Py_ssize_t required,
                PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return parse_args(name, params, required, positional, nargs, nullptr, out);

  // Lay the call out as a vectorcall would: positional values, then keyword values, with the
  // keyword names in a tuple.
  std::vector<PyObject*> stack(positional, positional + nargs);
  stack.reserve(static_cast<std::size_t>(nargs + nkw));
  Ref kwnames = Ref::steal(PyTuple_New(nkw));
  Py_ssize_t pos = 0;
  Py_ssize_t k = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(kwnames.get(), k++, Ref::borrow(key).release());
    stack.push_back(value);
  }
  parse_args(name, params, required, stack.data(), nargs, kwnames.get(), out);
}

void check_arg_type(PyObject* value, PyTypeObject* type, bool none_allowed, const char* name) {
  if ((none_allowed && value == Py_None) || PyObject_TypeCheck(value, type)) return;
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
               type->tp_name, Py_TYPE(value)->tp_name);
  fail();
}

void parse_no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name,
                 nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    fail();
  }
}

}  // namespace torvex::py
