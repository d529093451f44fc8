#include "python/attr_stamp.hpp"

#include "python/cpython/dict_layout.hpp"
#include "python/cpython/inline_values.hpp"
#include "python/cpython/instance_dict.hpp"
#include "python/host_gateway.hpp"

namespace torvex::py {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
uint64_t watched_changes[DictWatch::kWatches] = {};

template <int Which>
int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++watched_changes[Which];
  return 0;
}
constexpr PyDict_WatchCallback count_changes[DictWatch::kWatches] = {count_change<0>,
                                                                     count_change<1>};
#endif

}  // namespace

DictWatch::~DictWatch() {
#if PY_VERSION_HEX >= 0x030C0000
  if (id_ >= 0 && PyDict_ClearWatcher(id_) < 0) PyErr_Clear();
#endif
}

uint64_t DictWatch::changes() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return watched_changes[which_];
#else
  return 0;
#endif
}

bool DictWatch::watch([[maybe_unused]] PyObject* obj, [[maybe_unused]] PyObject* dict) const {
#if PY_VERSION_HEX >= 0x030C0000
  // Registered at the first watch: a module that never keeps attributes takes no watcher.
  if (!tried_) {
    tried_ = true;
    id_ = PyDict_AddWatcher(count_changes[which_]);
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

uint64_t dict_version([[maybe_unused]] const DictWatch& watch,
                      [[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return watch.changes();
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
  watch_ = &watch;
  type_ = type;
  type_version_ = version;
  dict_ = Ref::borrow(dict);
  version_ = dict_version(watch, dict);
  return true;
}

bool AttrStamp::same_dict(PyObject* obj) const noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  return dict_ && type == type_ && type_version(type) == type_version_ &&
         instance_dict(obj) == dict_.get();
}

bool AttrStamp::holds(PyObject* obj) const noexcept {
  return same_dict(obj) && dict_version(*watch_, dict_.get()) == version_;
}

}  // namespace torvex::py
