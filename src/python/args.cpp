#include "python/args.hpp"

#include <cstring>

namespace torvex::py {

namespace {

[[noreturn]] void fail() {
  throw PyError{};
}

// The index of the parameter `key` names, or -1. A compact ASCII key, the usual one, is compared
// in place.
Py_ssize_t param_index(PyObject* key, std::span<const char* const> params) {
  Py_ssize_t index = 0;
  if (PyUnicode_IS_COMPACT_ASCII(key)) {
    const auto* text = static_cast<const char*>(PyUnicode_DATA(key));
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(key));
    for (const char* param : params) {
      if (std::strlen(param) == length && std::memcmp(param, text, length) == 0) return index;
      ++index;
    }
    return -1;
  }
  for (const char* param : params) {
    if (PyUnicode_CompareWithASCIIString(key, param) == 0) return index;
    ++index;
  }
  return -1;
}

// A call is parsed in three steps: the positional values, each keyword in turn, the check that
// every required parameter is given.
void take_positional(const char* name, std::span<const char* const> params, PyObject* const* args,
                     Py_ssize_t nargs, std::span<PyObject*> out) {
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
}

void take_keyword(const char* name, std::span<const char* const> params, PyObject* key,
                  PyObject* value, std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    fail();
  }
  const Py_ssize_t index = param_index(key, params);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %.200s()", key, name);
    fail();
  }
  if (out[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument for %.200s() given by name ('%U') and position (%zd)",
                 name, key, index + 1);
    fail();
  }
  out[index] = value;
}

void check_required(const char* name, std::span<const char* const> params, Py_ssize_t required,
                    std::span<PyObject*> out) {
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

}  // namespace

void parse_args(const char* name, std::span<const char* const> params, Py_ssize_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out) {
  take_positional(name, params, args, nargs, out);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k)
    take_keyword(name, params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
  check_required(name, params, required, out);
}

void parse_args(const char* name, std::span<const char* const> params, Py_ssize_t required,
                PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  take_positional(name, params, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
  // The keywords in the dictionary's order, as a call lays them out; nothing here runs code
  // that could change it.
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value))
    take_keyword(name, params, key, value, out);
  check_required(name, params, required, out);
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
