#pragma once
// Argument parsing for METH_FASTCALL | METH_KEYWORDS entry points whose parameters are all
// positional-or-keyword, with the interpreter's own messages for count and keyword errors.
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "python/entry.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// A function's N parameters; the output of its parse has one slot per parameter, so an array
// of another size does not compile.
template <std::size_t N>
struct Signature {
  const char* name;       // function name shown in messages
  const char* params[N];  // parameter names, in order
  Py_ssize_t required;    // how many leading parameters have no default
};

// The same for parameter lists built from tables (the record classes' constructors); the
// output's size must be the parameter count.
void parse_args(const char* name, std::span<const char* const> params, Py_ssize_t required,
                PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::span<PyObject*> out);

// The same for slots called with an argument tuple and a keyword dictionary (tp_init). The
// values in out are borrowed from args and kwargs.
void parse_args(const char* name, std::span<const char* const> params, Py_ssize_t required,
                PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Fills out[i] with a borrowed reference to the value of parameter i, or nullptr when an
// optional parameter was not given. Raises PyError (TypeError set) for a missing required
// argument, too many positional arguments, an unknown keyword or an argument given twice.
template <std::size_t N>
void parse_args(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::array<PyObject*, N>& out) {
  parse_args(sig.name, std::span<const char* const>(sig.params), sig.required, args, nargs, kwnames,
             std::span<PyObject*>(out));
}

// The same, the values returned in parameter order.
template <std::size_t N>
std::array<PyObject*, N> parse_args(const Signature<N>& sig, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
  std::array<PyObject*, N> out{};
  parse_args(sig, args, nargs, kwnames, out);
  return out;
}

// A signature's parsed values, reached by parameter name: a["price"]. The name is looked up
// at compile time, so a misspelt one does not compile and a body cannot read the wrong slot.
template <const auto& Sig>
class Args {
 public:
  static constexpr std::size_t size = std::size(Sig.params);

  class Name {
   public:
    consteval Name(const char* name) : index_(find(name)) {}  // NOLINT: implicit by design
    constexpr std::size_t index() const { return index_; }

   private:
    static consteval std::size_t find(std::string_view name) {
      for (std::size_t i = 0; i < size; ++i)
        if (name == Sig.params[i]) return i;
      throw "no parameter of this name";  // not a constant: the call does not compile
    }
    std::size_t index_;
  };

  static constexpr bool has(std::string_view name) {
    for (std::size_t i = 0; i < size; ++i)
      if (name == Sig.params[i]) return true;
    return false;
  }

  PyObject* operator[](Name name) const { return values[name.index()]; }

  // In parameter order, for runs of parameters that follow a table.
  std::array<PyObject*, size> values{};
};

// Parses a call against Sig (see parse_args below).
template <const auto& Sig>
Args<Sig> parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args<Sig> out;
  parse_args(Sig, args, nargs, kwnames, out.values);
  return out;
}

// Raises TypeError "Argument '<name>' has incorrect type (expected <type>, got <value's type>)"
// unless value is an instance of type (or of a subclass), or None where none_allowed.
void check_arg_type(PyObject* value, PyTypeObject* type, bool none_allowed, const char* name);

// Raises TypeError unless the call passed no arguments at all.
void parse_no_args(const char* name, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace torvex::py
