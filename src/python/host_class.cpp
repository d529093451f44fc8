#include "python/host_class.hpp"

#include "python/args.hpp"

namespace torvex::py {

Ref make_host_class(PyObject* module, PyObject* base, const HostClassSpec& spec) {
  PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(base));
  Ref name = Ref::steal(PyUnicode_FromString(spec.name));
  Ref bases = Ref::steal(PyTuple_Pack(1, base));

  // The metaclass's __prepare__ makes the namespace, as for a class statement.
  Ref ns;
  Ref prepare = Ref::steal_or_null(PyObject_GetAttrString(meta, "__prepare__"));
  if (prepare) {
    ns = Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), name.get(), bases.get(), nullptr));
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
    PyErr_Clear();
    ns = Ref::steal(PyDict_New());
  }

  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  check_status(PyMapping_SetItemString(ns.get(), "__module__", module_name.get()));
  check_status(PyMapping_SetItemString(ns.get(), "__qualname__", name.get()));
  if (spec.doc != nullptr) {
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    check_status(PyMapping_SetItemString(ns.get(), "__doc__", doc.get()));
  }
  for (PyMethodDef& def : spec.methods) {
    Ref function = Ref::steal(PyCFunction_NewEx(&def, module, module_name.get()));
    Ref method = Ref::steal(PyInstanceMethod_New(function.get()));
    check_status(PyMapping_SetItemString(ns.get(), def.ml_name, method.get()));
  }
  return Ref::steal(PyObject_CallFunctionObjArgs(meta, name.get(), bases.get(), ns.get(), nullptr));
}

Ref import_from(const char* module_name, const char* name) {
  Ref module_text = Ref::steal(PyUnicode_FromString(module_name));
  Ref name_text = Ref::steal(PyUnicode_FromString(name));
  Ref fromlist = Ref::steal(PyTuple_Pack(1, name_text.get()));
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_text.get(), nullptr, nullptr, fromlist.get(), 0));
  Ref value = Ref::steal_or_null(PyObject_GetAttr(module.get(), name_text.get()));
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
  PyErr_Clear();
  Ref file = Ref::steal_or_null(PyModule_GetFilenameObject(module.get()));
  if (!file) PyErr_Clear();
  Ref message =
      Ref::steal(file ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name_text.get(),
                                             module_text.get(), file.get())
                      : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                             name_text.get(), module_text.get()));
  PyErr_SetImportError(message.get(), module_text.get(), file ? file.get() : nullptr);
  throw PyError{};
}

InternedSignature::InternedSignature(const char* name, std::span<const char* const> params,
                                     Py_ssize_t required)
    : name_(name), params_(params), required_(required) {
  names_.reserve(params.size());
  for (const char* param : params) names_.push_back(intern(param));
}

void InternedSignature::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                              std::span<PyObject*> out) const {
  const auto total = static_cast<Py_ssize_t>(names_.size());
  const auto slow = [&] { parse_args(name_, params_, required_, args, nargs, kwnames, out); };
  if (nargs > total) return slow();
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t i = nargs;
    while (i < total && names_[i].get() != key) ++i;
    if (i == total || out[i] != nullptr) return slow();
    out[i] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; i < required_; ++i)
    if (out[i] == nullptr) return slow();
}

}  // namespace torvex::py
