#pragma once
// Classes that derive from a host class (BaseIndicator), built at module load exactly as a
// `class` statement would build them: the base's metaclass prepares the namespace and is
// called with the name, the bases and a namespace that already holds the methods. The host's
// base is an ordinary Python class whose metaclass may be its own, which PyType_FromSpec
// cannot take as a base.
#include <span>

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

}  // namespace torvex::py
