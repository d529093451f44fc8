#include "python/attr_stamp.hpp"

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

#if PY_VERSION_HEX >= 0x030D0000
// Whether the dictionary's values live in an object: 3.13 lays out a split dictionary's values
// as Include/internal/pycore_dict.h of the interpreter shows.
struct SplitValues {
  uint8_t capacity, size, embedded, valid;
};
bool embedded_values(PyObject* dict) {
  const auto* values =
      reinterpret_cast<const SplitValues*>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
  return values != nullptr && values->embedded != 0;
}

// The setter of a plain class's __dict__: the interpreter's own, shared by every class whose
// instances have a dictionary of their own making.
setter plain_dict_setter() {
  Ref name = intern("__dict__");
  Ref probe = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N",
                                               "probe", PyDict_New()));
  PyObject* descr = class_attribute(reinterpret_cast<PyTypeObject*>(probe.get()), name.get());
  if (descr == nullptr || Py_TYPE(descr) != &PyGetSetDescr_Type) return nullptr;
  return reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset->set;
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
#if PY_VERSION_HEX >= 0x030E0000
  return false;  // where an object's values live past 3.13 is not known here
#elif PY_VERSION_HEX >= 0x030C0000
  // Registered at the first watch: a module that never keeps attributes takes no watcher.
  if (!tried_) {
    tried_ = true;
    id_ = PyDict_AddWatcher(count_change);
    if (id_ < 0) PyErr_Clear();
#if PY_VERSION_HEX >= 0x030D0000
    try {
      dict_name_ = intern("__dict__");
      set_dict_ = plain_dict_setter();
    } catch (const PyError&) {
      PyErr_Clear();
    }
#endif
  }
  if (id_ < 0) return false;
#if PY_VERSION_HEX >= 0x030D0000
  // A dictionary made from values kept in the object itself goes on sharing them, and a write
  // of an attribute to the object changes them without telling the watcher. Setting the
  // object's dictionary to itself, as `obj.__dict__ = obj.__dict__` does, gives the
  // dictionary values of its own; only the interpreter's own setter is certain to.
  PyTypeObject* type = Py_TYPE(obj);
  if ((type->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0) {
    if (set_dict_ == nullptr) return false;
    PyObject* descr;
    try {
      descr = class_attribute(type, dict_name_.get());
    } catch (const PyError&) {
      PyErr_Clear();
      return false;
    }
    if (descr == nullptr || Py_TYPE(descr) != &PyGetSetDescr_Type) return false;
    PyGetSetDef* def = reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset;
    if (def->set != set_dict_ || def->set(obj, dict, def->closure) < 0) {
      PyErr_Clear();
      return false;
    }
  }
  // Still the values of another object that shares the dictionary: its writes go unseen too.
  if (embedded_values(dict)) return false;
#endif
  if (PyDict_Watch(id_, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  return true;
#else
  return true;  // every dictionary has its version tag
#endif
}

namespace {

uint64_t dict_version([[maybe_unused]] PyObject* dict) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return DictWatch::changes();
#else
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

// The object's instance dictionary, made now if it lives in the object's values.
PyObject* instance_dict(PyObject* obj) noexcept {
  PyObject** slot = _PyObject_GetDictPtr(obj);
  return slot != nullptr ? *slot : nullptr;
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
