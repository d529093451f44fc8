// Accelerator: the package's own records built in place. Replaces cls(**kwargs) for a record
// class. Valid where cls is one of the package's record classes by identity, with its own
// __new__ and __init__ in place (record::OwnRecords::of), and every argument converts without
// host code, as the call would build it.
#include "python/python_model.hpp"

namespace torvex::py {

Ref PythonModel::make_record(PyObject* cls, PyObject* const* args, std::size_t nargs,
                             PyObject* kwnames) const {
  const auto count =
      static_cast<Py_ssize_t>(nargs) + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  const record::RecordClass* own = ctx_.own_records.of(cls);
  // A record's conversions run host code only for other values than plain ones and records.
  for (Py_ssize_t i = 0; own != nullptr && i < count; ++i) {
    PyObject* arg = args[i];
    if (!plain_flag(arg) &&
        ctx_.own_records.of(reinterpret_cast<PyObject*>(Py_TYPE(arg))) == nullptr)
      own = nullptr;
  }
  if (own == nullptr) return host_.call(cls, args, nargs, kwnames);
  return record::construct(*own, reinterpret_cast<PyTypeObject*>(cls), args,
                           static_cast<Py_ssize_t>(nargs), kwnames);
}

}  // namespace torvex::py
