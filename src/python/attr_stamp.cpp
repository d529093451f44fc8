#include "python/attr_stamp.hpp"

#include "python/cpython/dict_layout.hpp"
#include "python/cpython/inline_values.hpp"
#include "python/cpython/instance_dict.hpp"
#include "python/host_gateway.hpp"

namespace torvex::py {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
uint64_t watched_changes = 0;

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++watched_changes;
  return 0;
}
#endif

}  // namespace

DictWatch::DictWatch() noexcept = default;

DictWatch::~DictWatch() {
#if PY_VERSION_HEX >= 0x030C0000
  if (id_ >= 0 && PyDict_ClearWatcher(id_) < 0) PyErr_Clear();
#endif
}

uint64_t DictWatch::changes() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return watched_changes;
#else
  return 0;
#endif
}

bool DictWatch::watch([[maybe_unused]] PyObject* obj, [[maybe_unused]] PyObject* dict) const {
#if PY_VERSION_HEX >= 0x030C0000
  // Registered at the first watch: a module that never keeps attributes takes no watcher.
  if (!tried_) {
    tried_ = true;
    id_ = PyDict_AddWatcher(count_change);
    if (id_ < 0) PyErr_Clear();
  }
  if (id_ < 0 || !cpython::writes_go_through_dict(obj, dict)) return false;
  if (PyDict_Watch(id_, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
#else
  uint64_t version;  // every dictionary has its version tag, where this build can read it
  return cpython::dict_version(dict, version);
#endif
}

namespace {

uint64_t dict_version([[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return DictWatch::changes();
#else
  uint64_t version = 0;  // a stamp is taken only where it can be read (DictWatch::watch)
  cpython::dict_version(dict, version);
  return version;
#endif
}

// The object's instance dictionary, made now if it lives in the object's values.
PyObject* instance_dict(PyObject* obj) noexcept {
  try {
    return cpython::instance_dict(obj);
  } catch (const PyError&) {
    PyErr_Clear();
    return nullptr;
  }
}

}  // namespace

bool AttrStamp::take(PyObject* obj, const DictWatch& watch) {
  drop();
  PyTypeObject* type = Py_TYPE(obj);
  const unsigned int version = type_version(type);
  if (version == 0) return false;
  PyObject* dict = instance_dict(obj);
  if (dict == nullptr || !PyDict_CheckExact(dict) || !watch.watch(obj, dict)) return false;
  // Taken after the watch: a change from here on counts.
  type_ = type;
  type_version_ = version;
  dict_ = Ref::borrow(dict);
  version_ = dict_version(dict);
  return true;
}

bool AttrStamp::holds(PyObject* obj) const noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  return dict_ && type == type_ && type_version(type) == type_version_ &&
         instance_dict(obj) == dict_.get() && dict_version(dict_.get()) == version_;
}

}  // namespace torvex::py
