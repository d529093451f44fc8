#include "python/plain_kerd.hpp"

#include "python/attr_stamp.hpp"
#include "python/cpython/type_cache.hpp"
#include "python/host_gateway.hpp"

namespace torvex::py {

namespace {

// The __init__ found in the class dictionaries of type's MRO from position `from` on, and the
// position after the class holding it.
PyObject* next_init(PyTypeObject* type, Py_ssize_t& from, PyObject* name) {
  PyObject* mro = type->tp_mro;
  for (; mro != nullptr && from < PyTuple_GET_SIZE(mro); ++from) {
    // A class of Python's own (object) has no __init__ that takes part here.
    PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, from))->tp_dict;
    PyObject* found = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
    if (found != nullptr) {
      ++from;
      return found;
    }
    if (PyErr_Occurred()) throw PyError{};
  }
  return nullptr;
}

// The line module's own initialiser: a C function of the module torvex.dto.kerd.
bool is_package_line_init(PyObject* init) {
  return init != nullptr && PyInstanceMethod_Check(init) &&
         bound_to_module(PyInstanceMethod_GET_FUNCTION(init), "torvex.dto.kerd");
}

// The package's stand-in initialiser, which marks itself.
bool stores_arguments_only(PyObject* init) {
  if (init == nullptr || !PyFunction_Check(init)) return false;
  // The function's own attribute dictionary, as its generic __dict__ gives it: no lookup
  // through its type.
  Ref dict = Ref::steal(PyObject_GenericGetDict(init, nullptr));
  if (!PyDict_CheckExact(dict.get())) return false;
  return PyDict_GetItemString(dict.get(), "torvex_stores_arguments") == Py_True;
}

}  // namespace

Ref PlainKerdMaker::blank_instance(PyTypeObject* type) {
  Ref no_args = Ref::steal(PyTuple_New(0));
  return Ref::steal(type->tp_new(type, no_args.get(), nullptr));
}

unsigned int PlainKerdMaker::version_now(PyTypeObject* type) {
  if (!init_name_) init_name_ = intern("__init__");
  return cpython::tagged_version(type, init_name_.get());
}

bool PlainKerdMaker::applies(PyObject* cls, std::span<PyObject* const, kValues> names) {
  if (!PyType_Check(cls)) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  const unsigned int version = version_now(type);
  PyObject* init_name = init_name_.get();
  if (version != 0 && type == type_ && version == version_) return applies_;
  type_ = version != 0 ? type : nullptr;  // an untagged class is looked at every time
  version_ = version;
  applies_ = false;
  reads_plain_ = false;
  host_init_ = Ref();
  // Called as type calls it: object's __new__, then the line initialiser, which calls the base
  // initialiser; attributes are stored plainly in an instance dictionary, with no descriptor of
  // the class in the way.
  if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call || type->tp_new != PyBaseObject_Type.tp_new ||
      type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset == 0)
    return false;
  Py_ssize_t from = 0;
  if (!is_package_line_init(next_init(type, from, init_name))) return false;
  PyObject* base_init = next_init(type, from, init_name);
  bool reads_plain = type->tp_getattro == PyObject_GenericGetAttr;
  bool stores_plain = true, line_stores_plain = true;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* found = cpython::type_lookup(type, names[i]);
    const bool in_the_way = found != nullptr && Py_TYPE(found)->tp_descr_set != nullptr;
    stores_plain = stores_plain && !in_the_way;
    if (i >= kBaseValues) line_stores_plain = line_stores_plain && !in_the_way;
    if (found != nullptr && Py_TYPE(found)->tp_descr_get != nullptr) reads_plain = false;
  }
  if (!stores_arguments_only(base_init)) {
    if (base_init != nullptr && PyFunction_Check(base_init) && line_stores_plain && version != 0)
      host_init_ = Ref::borrow(base_init);
    return false;
  }
  if (!stores_plain) return false;
  applies_ = true;
  reads_plain_ = reads_plain;
  return true;
}

Ref PlainKerdMaker::make(PyObject* cls, std::span<PyObject* const, kValues> names,
                         std::span<PyObject* const, kValues> values) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  Ref line = PlainKerdMaker::blank_instance(type);
  // Stored into the instance dictionary itself, as the generic store does once it finds no
  // class attribute of the name in the way, which applies() saw to: without looking each
  // name up along the class again.
  Ref dict = Ref::steal(PyObject_GenericGetDict(line.get(), nullptr));
  for (std::size_t i = 0; i < kValues; ++i)
    check_status(PyDict_SetItem(dict.get(), names[i], values[i]));
  return line;
}

Ref KerdTemplate::make(PyObject* cls, std::span<PyObject* const, kValues> names,
                       std::span<PyObject* const, kValues> values) {
#if PY_VERSION_HEX >= 0x030D0000
  // A new instance keeps its values in itself, and the generic installer of a dictionary
  // leaves them in use there: stored one by one.
  return PlainKerdMaker::make(cls, names, values);
#else
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  // The base values are those of every line of one bar: when one of them changes, the line
  // made now is the better model for the next ones.
  bool renew = !dict_ || type != type_;
  for (std::size_t i = 0; i < PlainKerdMaker::kBaseValues && !renew; ++i)
    renew = values[i] != values_[i];
  if (renew) {
    Ref line = PlainKerdMaker::make(cls, names, values);
    Ref dict = Ref::steal(PyObject_GenericGetDict(line.get(), nullptr));
    dict_ = Ref::steal(PyDict_Copy(dict.get()));
    type_ = type;
    for (std::size_t i = 0; i < kValues; ++i) values_[i] = values[i];
    return line;
  }
  Ref dict = Ref::steal(PyDict_Copy(dict_.get()));
  for (std::size_t i = PlainKerdMaker::kBaseValues; i < kValues; ++i)
    if (values[i] != values_[i]) check_status(PyDict_SetItem(dict.get(), names[i], values[i]));
  Ref line = PlainKerdMaker::blank_instance(type);
  check_status(PyObject_GenericSetDict(line.get(), dict.get(), nullptr));
  return line;
#endif
}

}  // namespace torvex::py
