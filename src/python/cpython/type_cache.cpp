#include "python/cpython/type_cache.hpp"

#include <new>
#include <unordered_map>

#include "python/ref.hpp"

namespace torvex::py::cpython {

PyObject* mro_lookup(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
#if PY_VERSION_HEX >= 0x030C0000
    // Static built-in types keep their dictionary elsewhere since 3.12.
    Ref dict = Ref::steal_or_null(PyType_GetDict(base));
#else
    Ref dict = Ref::borrow(base->tp_dict);
#endif
    if (!dict) continue;
    // Borrowed from a dictionary the class keeps.
    PyObject* found = PyDict_GetItemWithError(dict.get(), name);
    if (found != nullptr) return found;
    if (PyErr_Occurred()) throw PyError{};
  }
  return nullptr;
}

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#ifdef TORVEX_CPYTHON_PRIVATE
  return _PyType_Lookup(type, name);
#else
  return mro_lookup(type, name);
#endif
}

#if !defined(TORVEX_CPYTHON_PRIVATE) && PY_VERSION_HEX >= 0x030C0000

namespace {

// Tags of our own for the public path: a class is given one when it is watched, and loses it at
// the interpreter's notice of a change (PyType_Modified, which also reaches subclasses and every
// heap class's collection). That notice comes only for a class whose own tag is current, so a
// class is tagged here only after PyUnstable_Type_AssignVersionTag made it so.
struct WatchedTypes {
  int watcher = -1;
  bool tried = false;
  unsigned int next = 1;  // handed out once each; 0 after the last
  std::unordered_map<PyTypeObject*, unsigned int> tags;
};
WatchedTypes watched;

int forget_type(PyTypeObject* type) {
  watched.tags.erase(type);
  return 0;
}

unsigned int watch_type(PyTypeObject* type) {
  if (!watched.tried) {
    watched.tried = true;
    watched.watcher = PyType_AddWatcher(forget_type);  // the interpreter has a few: may be none
    if (watched.watcher < 0) PyErr_Clear();
  }
  if (watched.watcher < 0 || watched.next == 0) return 0;
  if (PyUnstable_Type_AssignVersionTag(type) == 0) return 0;
  if (PyType_Watch(watched.watcher, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();
    return 0;
  }
  const unsigned int tag = watched.next++;
  watched.tags.emplace(type, tag);
  return tag;
}

}  // namespace

unsigned int type_version(PyTypeObject* type) noexcept {
  if (const auto found = watched.tags.find(type); found != watched.tags.end()) return found->second;
  try {
    return watch_type(type);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

unsigned int tagged_version(PyTypeObject* type, PyObject*) {
  return type_version(type);
}

#else

unsigned int type_version([[maybe_unused]] PyTypeObject* type) noexcept {
#if defined(TORVEX_CPYTHON_311) || defined(TORVEX_CPYTHON_312)
  if ((type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) == 0) return 0;
  return type->tp_version_tag;
#elif defined(TORVEX_CPYTHON_313)
  return type->tp_version_tag;  // from 3.13 on any tag but 0 is current
#else
  return 0;
#endif
}

unsigned int tagged_version(PyTypeObject* type, [[maybe_unused]] PyObject* name) {
#ifdef TORVEX_CPYTHON_PRIVATE
  if (type_version(type) == 0) _PyType_Lookup(type, name);
#endif
  return type_version(type);
}

#endif

}  // namespace torvex::py::cpython
