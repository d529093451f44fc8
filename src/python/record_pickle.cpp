// The pickled form of a record: __reduce__, __setstate__ and the module-level reconstructor.
#include <cstdio>
#include <string>

#include "python/args.hpp"
#include "python/record.hpp"
#include "python/record_convert.hpp"

namespace torvex::py::record {

namespace {

// The instance's attribute dictionary, or null when it has none. Only classes derived from a
// record class can have one.
Ref instance_dict(const RecordClass& cls, ModuleState& state, PyObject* self) {
  if (Py_TYPE(self) == state.types[cls.index]) return {};
  Ref dict = Ref::steal_or_null(PyObject_GetAttr(self, state.dict_name));
  if (!dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
    PyErr_Clear();
    return {};
  }
  if (dict.get() == Py_None) return {};
  return dict;
}

[[noreturn]] void expected_tuple(PyObject* state) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
  throw PyError{};
}

bool accepted(const RecordClass& cls, PyObject* checksum) {
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(checksum, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PyError{};
  if (overflow != 0) return false;
  for (long known : cls.checksums) {
    if (value == known) return true;
  }
  return false;
}

[[noreturn]] void incompatible(const RecordClass& cls, PyObject* checksum) {
  std::string names;
  for (int index : cls.state) {
    if (!names.empty()) names += ", ";
    names += cls.fields[index].name;
  }
  Ref format = Ref::steal(PyUnicode_FromString("x"));
  Ref hex = Ref::steal(PyObject_Format(checksum, format.get()));
  // The accepted ones as the layout message spells them: seven hex digits each.
  std::string known;
  for (long value : cls.checksums) {
    char text[24];
    std::snprintf(text, sizeof text, "%s0x%07lx", known.empty() ? "" : ", ", value);
    known += text;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat("Incompatible checksums (0x%U vs (%s) = (%s))",
                                                hex.get(), known.c_str(), names.c_str()));
  Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
  Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
  PyErr_SetObject(error.get(), message.get());
  throw PyError{};
}

}  // namespace

Ref reduce(const RecordClass& cls, PyObject* self) {
  ModuleState& state = module_state(self, cls.module);
  Ref dict = instance_dict(cls, state, self);
  const auto count = static_cast<Py_ssize_t>(cls.state.size());
  Ref values = Ref::steal(PyTuple_New(count + (dict ? 1 : 0)));
  // The separate form lets pickle memoize the new record before its state, which may refer
  // back to it; a state of plain values goes with the compact form.
  bool separate = static_cast<bool>(dict);
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Field& field = cls.fields[cls.state[i]];
    Ref value = get(field, self);
    if (holds_references(field.kind) && value.get() != Py_None) separate = true;
    PyTuple_SET_ITEM(values.get(), i, value.release());
  }
  if (dict) PyTuple_SET_ITEM(values.get(), count, dict.release());

  PyObject* rebuild = state.reconstructors[cls.index];
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  if (separate) {
    return Ref::steal(
        Py_BuildValue("(O(OlO)O)", rebuild, type, cls.checksums[0], Py_None, values.get()));
  }
  return Ref::steal(Py_BuildValue("(O(OlO))", rebuild, type, cls.checksums[0], values.get()));
}

void restore(const RecordClass& cls, PyObject* self, PyObject* state) {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    throw PyError{};
  }
  if (!PyTuple_Check(state)) expected_tuple(state);
  const Py_ssize_t size = PyTuple_GET_SIZE(state);
  const auto count = static_cast<Py_ssize_t>(cls.state.size());
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i >= size) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      throw PyError{};
    }
    assign(cls, cls.fields[cls.state[i]], self, PyTuple_GET_ITEM(state, i));
  }
  if (size > count) {
    ModuleState& module = module_state(self, cls.module);
    if (Ref dict = instance_dict(cls, module, self)) {
      Ref::steal(PyObject_CallMethodOneArg(dict.get(), module.update_name,
                                           PyTuple_GET_ITEM(state, count)));
    }
  }
}

Ref reconstruct(const RecordClass& cls, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  std::array<PyObject*, 3> given{};
  parse_args(Signature{cls.reconstructor, {"__pyx_type", "__pyx_checksum", "__pyx_state"}, 3}, args,
             nargs, kwnames, given);
  PyObject* const type = given[0];
  PyObject* const state = given[2];

  Ref checksum = to_integer(given[1]);
  if (!accepted(cls, checksum.get())) incompatible(cls, checksum.get());

  PyTypeObject* const base = module_state(module).types[cls.index];
  if (!PyType_Check(type)) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__(X): X is not a type object (%.200s)",
                 base->tp_name, Py_TYPE(type)->tp_name);
    throw PyError{};
  }
  auto* const target = reinterpret_cast<PyTypeObject*>(type);
  if (!PyType_IsSubtype(target, base)) {
    PyErr_Format(PyExc_TypeError, "%.200s.__new__(%.200s): %.200s is not a subtype of %.200s",
                 base->tp_name, target->tp_name, target->tp_name, base->tp_name);
    throw PyError{};
  }
  Ref result = new_instance(cls, target);
  if (state != Py_None) {
    if (!PyTuple_Check(state)) expected_tuple(state);
    restore(cls, result.get(), state);
  }
  return result;
}

}  // namespace torvex::py::record
