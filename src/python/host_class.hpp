#pragma once
// Classes that derive from a host class (BaseIndicator), built at module load exactly as a
// `class` statement would build them: the base's metaclass prepares the namespace and is
// called with the name, the bases and a namespace that already holds the methods. The host's
// base is an ordinary Python class whose metaclass may be its own, which PyType_FromSpec
// cannot take as a base.
#include <span>
#include <vector>

#include "python/ref.hpp"

namespace torvex::py {

struct HostClassSpec {
  const char* name;  // also the qualified name: the class lives at module level
  const char* doc;   // null for none
  // Methods with static storage. Each becomes a C function whose self is the module, so every
  // call reaches the module state; wrapped as an instance method it binds like a Python
  // function, the instance arriving as the first argument.
  std::span<PyMethodDef> methods;
};

// The new class; its __module__ is the module's name.
Ref make_host_class(PyObject* module, PyObject* base, const HostClassSpec& spec);

// `from <module_name> import <name>`: the import error unchanged when the module is missing,
// an ImportError naming both when the module lacks the name.
Ref import_from(const char* module_name, const char* name);

// A method's parameter names interned once. The interpreter passes keyword names interned, so
// they match by identity; a call that does not (an error, or a name built at run time) goes to
// parse_args, which gives the usual messages. For the constructors of host classes, whose many
// keywords would otherwise be compared as text one by one.
class InternedSignature {
 public:
  InternedSignature(const char* name, std::span<const char* const> params, Py_ssize_t required);

  // As parse_args: out[i] borrowed, or null for an optional parameter not given.
  void parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
             std::span<PyObject*> out) const;

 private:
  const char* name_;
  std::span<const char* const> params_;
  Py_ssize_t required_;
  std::vector<Ref> names_;
};

}  // namespace torvex::py
