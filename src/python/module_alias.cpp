// One module object per extension module, whichever name imports it.
#include "python/module_alias.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "python/entry.hpp"

namespace torvex::py::module_alias {

namespace {

// A module handed out again by create, until its exec slot runs. The import system clears a
// created module's state pointer and adds the definition's functions again under the name
// being imported; exec puts both back as they were.
struct Adoption {
  Ref module;
  std::vector<std::byte> state;
  void* block = nullptr;  // the state memory that the import system let go of
  Ref functions;          // name -> the module's own function object
  Ref spec;               // the module's own __spec__, which the import system replaces
};

// Entries live only between the create and exec slots of one import. Never destroyed, so
// that no reference is dropped after the interpreter has gone.
std::vector<Adoption>& pending() {
  static auto* list = new std::vector<Adoption>();
  return *list;
}

std::string_view text(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw PyError{};
  return {data, static_cast<std::size_t>(size)};
}

Ref attribute(PyObject* object, const char* name) {
  return Ref::steal(PyObject_GetAttrString(object, name));
}

Ref imported(std::string_view name) {
  Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), std::ssize(name)));
  PyObject* found = PyImport_GetModule(key.get());
  if (found == nullptr && PyErr_Occurred()) throw PyError{};
  return Ref::steal_or_null(found);
}

// An executed module built from def (and so loaded from the same file).
bool from_definition(const Ref& module, PyModuleDef* def) {
  return module && PyModule_Check(module.get()) && PyModule_GetDef(module.get()) == def &&
         PyModule_GetState(module.get()) != nullptr;
}

Ref find_spec(PyObject* util, std::string_view name) {
  return Ref::steal(PyObject_CallMethod(util, "find_spec", "s#", name.data(), std::ssize(name)));
}

// Whether the top-level name is a package, found without running anything: with the package
// directory first on sys.path, `torvex` is the engine module itself, and importing it here
// would load the engine under the wrong name.
bool is_package(PyObject* util, std::string_view top) {
  if (Ref loaded = imported(top)) return PyObject_HasAttrString(loaded.get(), "__path__");
  Ref spec = find_spec(util, top);
  return spec.get() != Py_None &&
         attribute(spec.get(), "submodule_search_locations").get() != Py_None;
}

// The package's module of this definition, imported, when the package is importable and its
// module is the very file being loaded under the short name; otherwise null.
Ref package_module(PyModuleDef* def, PyObject* spec) {
  std::string_view full = def->m_name;
  Ref util = Ref::steal(PyImport_ImportModule("importlib.util"));
  if (!is_package(util.get(), full.substr(0, full.find('.')))) return {};
  PyObject* found = PyObject_CallMethod(util.get(), "find_spec", "s", def->m_name);
  if (found == nullptr) {
    // A package of that name without this module: some other package, not ours.
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PyError{};
    PyErr_Clear();
    return {};
  }
  Ref package_spec = Ref::steal(found);
  if (package_spec.get() == Py_None) return {};
  Ref origin = attribute(package_spec.get(), "origin");
  Ref own = attribute(spec, "origin");
  if (!PyUnicode_Check(origin.get()) || !PyUnicode_Check(own.get())) return {};
  std::error_code error;
  if (!std::filesystem::equivalent(text(origin.get()), text(own.get()), error)) return {};
  return Ref::steal(PyImport_ImportModule(def->m_name));
}

// The module already loaded from def under the other of its two names (`torvex.dto.kerd`
// and `kerd`), loading the package's one first when the short name comes first.
Ref loaded_elsewhere(PyObject* spec, PyModuleDef* def) {
  std::string_view full = def->m_name;
  std::string_view short_name = full.substr(full.rfind('.') + 1);
  if (short_name == full) return {};
  Ref name = attribute(spec, "name");
  std::string_view asked = text(name.get());
  Ref other;
  if (asked == full) {
    other = imported(short_name);
  } else if (asked == short_name) {
    other = imported(full);
    if (!from_definition(other, def)) other = package_module(def, spec);
  }
  return from_definition(other, def) ? other : Ref{};
}

}  // namespace

PyObject* create(PyObject* spec, PyModuleDef* def) noexcept {
  return guarded([&] {
    Ref module = loaded_elsewhere(spec, def);
    if (!module) return Ref::steal(PyModule_NewObject(attribute(spec, "name").get()));
    Adoption adoption{module,
                      {},
                      PyModule_GetState(module.get()),
                      Ref::steal(PyDict_New()),
                      attribute(module.get(), "__spec__")};
    const auto* state = static_cast<const std::byte*>(adoption.block);
    adoption.state.assign(state, state + def->m_size);
    PyObject* dict = PyModule_GetDict(module.get());
    for (const PyMethodDef* f = def->m_methods; f != nullptr && f->ml_name != nullptr; ++f) {
      if (PyObject* function = PyDict_GetItemString(dict, f->ml_name)) {
        check_status(PyDict_SetItemString(adoption.functions.get(), f->ml_name, function));
      }
    }
    pending().push_back(std::move(adoption));
    return module;
  });
}

int readopt(PyObject* module) noexcept {
  auto& list = pending();
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const Adoption& a) { return a.module.get() == module; });
  if (it == list.end()) return 0;
  Adoption adoption = std::move(*it);
  list.erase(it);
  int status = guarded_status([&] {
    void* block = PyModule_GetState(module);
    if (block != adoption.block) {
      std::memcpy(block, adoption.state.data(), adoption.state.size());
      PyMem_Free(adoption.block);
    }
    check_status(PyDict_Update(PyModule_GetDict(module), adoption.functions.get()));
    check_status(PyObject_SetAttrString(module, "__spec__", adoption.spec.get()));
  });
  return status < 0 ? -1 : 1;
}

int settle(PyObject* module) noexcept {
  return guarded_status([&] {
    PyModuleDef* def = PyModule_GetDef(module);
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    if (def == nullptr || text(name.get()) == def->m_name) return;
    Ref defined = Ref::steal(PyUnicode_FromString(def->m_name));
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    PyObject* dict = PyModule_GetDict(module);
    while (PyDict_Next(dict, &pos, &key, &value)) {
      if (!PyType_Check(value) ||
          (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(value)) & Py_TPFLAGS_IMMUTABLETYPE)) {
        continue;
      }
      Ref owner = Ref::steal_or_null(PyObject_GetAttrString(value, "__module__"));
      if (!owner) PyErr_Clear();
      int same = owner ? PyObject_RichCompareBool(owner.get(), defined.get(), Py_EQ) : 0;
      if (check_status(same) == 1) {
        check_status(PyObject_SetAttrString(value, "__module__", name.get()));
      }
    }
  });
}

}  // namespace torvex::py::module_alias
