#include "python/host_gateway.hpp"

#include <cstring>
#include <limits>

#include "python/cpython/instance_dict.hpp"
#include "python/model_context.hpp"
#include "python/record.hpp"

namespace torvex::py {

namespace {

[[noreturn]] void raise_list_index() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  throw PyError{};
}

[[noreturn]] void raise_empty_pop() {
  PyErr_SetString(PyExc_IndexError, "pop from empty list");
  throw PyError{};
}

}  // namespace

void read_numbers(PyObject* values, std::vector<double>& out) {
  if (PyList_CheckExact(values)) {
    const Py_ssize_t count = PyList_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
      // A conversion hook may shrink the list: check before every read, hold the item.
      if (i >= PyList_GET_SIZE(values)) raise_list_index();
      Ref item = Ref::borrow(PyList_GET_ITEM(values, i));
      out.push_back(to_number(item.get()));
    }
    return;
  }
  if (PyTuple_CheckExact(values)) {
    const Py_ssize_t count = PyTuple_GET_SIZE(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
      Ref item = Ref::borrow(PyTuple_GET_ITEM(values, i));
      out.push_back(to_number(item.get()));
    }
    return;
  }
  const Py_ssize_t length = PyObject_Length(values);
  if (length < 0) throw PyError{};
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref key = Ref::steal(PyLong_FromSsize_t(i));
    Ref item = Ref::steal(PyObject_GetItem(values, key.get()));
    out.push_back(to_number(item.get()));
  }
}

Py_ssize_t seq_length(PyObject* seq) {
  if (PyList_CheckExact(seq)) return PyList_GET_SIZE(seq);
  const Py_ssize_t length = PyObject_Length(seq);
  if (length < 0) throw PyError{};
  return length;
}

Ref seq_item(PyObject* seq, Py_ssize_t index) {
  if (PyList_CheckExact(seq)) {
    if (index < 0 || index >= PyList_GET_SIZE(seq)) raise_list_index();
    return Ref::borrow(PyList_GET_ITEM(seq, index));
  }
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  return Ref::steal(PyObject_GetItem(seq, key.get()));
}

void seq_set_item(PyObject* seq, Py_ssize_t index, PyObject* value) {
  if (PyList_CheckExact(seq)) {
    if (index < 0 || index >= PyList_GET_SIZE(seq)) {
      PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
      throw PyError{};
    }
    check_status(PyList_SetItem(seq, index, Ref::borrow(value).release()));
    return;
  }
  Ref key = Ref::steal(PyLong_FromSsize_t(index));
  check_status(PyObject_SetItem(seq, key.get(), value));
}

PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
  return cpython::mro_lookup(type, name);
}

PlainAttrCache::Entry PlainAttrCache::look_up(PyTypeObject* type, PyObject* name) const {
  // A class attribute without __get__ is returned as it is and one without __set__ leaves a
  // write to the instance; anything else may be a hook. A field of the package's own records
  // is read and written by the descriptor its class was made with.
  PyObject* found = class_attribute(type, name);
  const record::Field* stored =
      found != nullptr && records_ != nullptr ? records_->field(type, found) : nullptr;
  return Entry{name,
               0,
               found == nullptr || Py_TYPE(found)->tp_descr_get == nullptr,
               found == nullptr || Py_TYPE(found)->tp_descr_set == nullptr,
               stored != nullptr,
               stored};
}

bool plain_numbers(PyObject* values) {
  if (!PyList_CheckExact(values) && !PyTuple_CheckExact(values)) return false;
  PyObject** items = PySequence_Fast_ITEMS(values);
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(values);
  for (Py_ssize_t i = 0; i < count; ++i)
    if (!plain_number(items[i])) return false;
  return true;
}

bool HostGateway::binds_own_method(PyObject* obj, PyObject* name, PyObject* function) const {
  PyObject* found = unshadowed_class_attribute(obj, name);
  return found != nullptr && PyInstanceMethod_Check(found) &&
         PyInstanceMethod_GET_FUNCTION(found) == function;
}

Ref HostGateway::attr(PyObject* obj, PyObject* name, bool& plain) {
  plain = !plain_ && ctx_.plain_attrs.get(obj, name);
  if (!plain) {
    ran();
    return get_attr(obj, name);
  }
  // No class attribute takes part ahead of the instance's own value: found there, it is what
  // the generic lookup gives, without the lookup along the class.
  if (PyObject* found = instance_value(obj, name)) return Ref::borrow(found);
  return get_attr(obj, name);
}

PyObject* exact_instance_dict(PyObject* obj) {
  PyObject* dict = cpython::instance_dict(obj);
  return dict != nullptr && PyDict_CheckExact(dict) ? dict : nullptr;
}

PyObject* dict_item(PyObject* dict, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr && PyErr_Occurred()) throw PyError{};
  return value;
}

PyObject* instance_value(PyObject* obj, PyObject* name) {
  PyObject* dict = exact_instance_dict(obj);
  return dict != nullptr ? dict_item(dict, name) : nullptr;
}

PyObject* unshadowed_class_attribute(PyObject* obj, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
  PyObject* found = cpython::type_lookup(type, name);
  if (found == nullptr) return nullptr;
  // Any dictionary of the object's own is searched before a non-data descriptor.
  PyObject* dict = cpython::instance_dict(obj);
  if (dict == nullptr) return found;
  return PyDict_CheckExact(dict) && dict_item(dict, name) == nullptr ? found : nullptr;
}

bool bound_to_module(PyObject* function, const char* module) {
  if (function == nullptr || !PyCFunction_Check(function)) return false;
  PyObject* self = PyCFunction_GET_SELF(function);
  if (self == nullptr || !PyModule_Check(self)) return false;
  const char* name = PyModule_GetName(self);
  if (name == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::strcmp(name, module) == 0;
}

void HostGateway::set_attr(PyObject* obj, PyObject* name, PyObject* value) {
  if (plain_ || !ctx_.plain_attrs.set(obj, name)) ran();
  py::set_attr(obj, name, value);
}

int64_t HostGateway::count(PyObject* value) {
  if (!PyLong_CheckExact(value)) ran();
  // A bound past 64 bits reaches no further back than the series does: the series says so.
  return to_saturated_index(value);
}

// What an exact list does not answer in place: another container's own methods, or a list's
// error for an index out of range.
Py_ssize_t HostGateway::host_length(PyObject* seq) {
  if (!PyList_CheckExact(seq)) ran();
  return seq_length(seq);
}

Ref HostGateway::host_item(PyObject* seq, Py_ssize_t index) {
  if (!PyList_CheckExact(seq)) ran();
  return seq_item(seq, index);
}

void HostGateway::append(PyObject* seq, PyObject* item) {
  if (PyList_CheckExact(seq)) {
    check_status(PyList_Append(seq, item));
    return;
  }
  PyObject* args[2] = {seq, item};
  call_method(ctx_.str_append.get(), args, 2);
}

void HostGateway::extend(PyObject* seq, PyObject* items) {
  if (PyList_CheckExact(seq) && (PyList_CheckExact(items) || PyTuple_CheckExact(items))) {
    // Slice assignment at the end copies first, so a list may extend itself.
    const Py_ssize_t end = PyList_GET_SIZE(seq);
    check_status(PyList_SetSlice(seq, end, end, items));
    return;
  }
  PyObject* args[2] = {seq, items};
  call_method(ctx_.str_extend.get(), args, 2);
}

void HostGateway::clear(PyObject* seq) {
  if (PyList_CheckExact(seq)) {
    check_status(PyList_SetSlice(seq, 0, PyList_GET_SIZE(seq), nullptr));
    return;
  }
  call_method(ctx_.str_clear.get(), &seq, 1);
}

Ref HostGateway::pop_first(PyObject* seq) {
  if (PyList_CheckExact(seq)) {
    if (PyList_GET_SIZE(seq) == 0) raise_empty_pop();
    Ref item = Ref::borrow(PyList_GET_ITEM(seq, 0));
    check_status(PyList_SetSlice(seq, 0, 1, nullptr));
    return item;
  }
  Ref zero = Ref::steal(PyLong_FromLong(0));
  PyObject* args[2] = {seq, zero.get()};
  return call_method(ctx_.str_pop.get(), args, 2);
}

Ref HostGateway::pop_last(PyObject* seq) {
  if (PyList_CheckExact(seq)) {
    const Py_ssize_t size = PyList_GET_SIZE(seq);
    if (size == 0) raise_empty_pop();
    Ref item = Ref::borrow(PyList_GET_ITEM(seq, size - 1));
    check_status(PyList_SetSlice(seq, size - 1, size, nullptr));
    return item;
  }
  return call_method(ctx_.str_pop.get(), &seq, 1);
}

void HostGateway::replace_all(PyObject* seq, PyObject* items) {
  if (PyList_CheckExact(seq)) {
    check_status(PyList_SetSlice(seq, 0, PyList_GET_SIZE(seq), items));
    return;
  }
  ran();  // seq[:] = items
  check_status(PySequence_SetSlice(seq, 0, std::numeric_limits<Py_ssize_t>::max(), items));
}

void HostGateway::read_numbers(PyObject* values, std::vector<double>& out) {
  if (PyList_CheckExact(values)) {
    // The common case in one pass: an exact list of floats, read in place.
    const Py_ssize_t count = PyList_GET_SIZE(values);
    const std::size_t before = out.size();
    out.reserve(before + static_cast<std::size_t>(count));
    Py_ssize_t i = 0;
    for (; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(values, i);
      if (!PyFloat_CheckExact(item)) break;
      out.push_back(PyFloat_AS_DOUBLE(item));
    }
    if (i == count) return;
    out.resize(before);
  }
  if (!plain_numbers(values)) ran();
  py::read_numbers(values, out);
}

bool HostGateway::differ(PyObject* a, PyObject* b) {
  // Two floats compare as C doubles do (NaN differs from everything, itself included).
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
    return PyFloat_AS_DOUBLE(a) != PyFloat_AS_DOUBLE(b);
  if (!plain_number(a) || !plain_number(b)) ran();
  // The operator itself, not the identity shortcut of RichCompareBool: NaN differs from NaN.
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
  return to_flag(result.get());
}

Ref HostGateway::concat(PyObject* a, PyObject* b) {
  if (!PyList_CheckExact(a) || !PyList_CheckExact(b)) ran();
  return Ref::steal(PyNumber_Add(a, b));
}

bool HostGateway::contains(PyObject* mapping, PyObject* key) {
  ran();
  if (PyDict_CheckExact(mapping)) return check_status(PyDict_Contains(mapping, key)) != 0;
  return check_status(PySequence_Contains(mapping, key)) != 0;
}

int64_t HostGateway::get_index(PyObject* mapping, PyObject* key, int64_t fallback) {
  ran();
  if (PyDict_CheckExact(mapping)) {
    PyObject* found = PyDict_GetItemWithError(mapping, key);
    if (found == nullptr) {
      if (PyErr_Occurred()) throw PyError{};
      return fallback;
    }
    Ref held = Ref::borrow(found);
    return to_index(held.get());
  }
  Ref default_value = from_index(fallback);
  PyObject* args[3] = {mapping, key, default_value.get()};
  Ref found = call_method(ctx_.str_get.get(), args, 3);
  return to_index(found.get());
}

void HostGateway::set_item(PyObject* mapping, PyObject* key, PyObject* value) {
  ran();
  check_status(PyObject_SetItem(mapping, key, value));
}

Ref HostGateway::call(PyObject* callable, PyObject* const* args, std::size_t nargs,
                      PyObject* kwnames) {
  ran();
  return Ref::steal(PyObject_Vectorcall(callable, args, nargs, kwnames));
}

Ref HostGateway::call_method(PyObject* name, PyObject* const* args, std::size_t nargs) {
  ran();
  return Ref::steal(PyObject_VectorcallMethod(name, args, nargs, nullptr));
}

Ref HostGateway::series_item(PyObject* series, int64_t offset, bool kept) {
  if (kept) {
    about_to_run();
    ++epoch_;
  } else {
    ran();
  }
  // The host's own indexing with the offset as key: a sequence would count a negative index
  // from its end, which a bar series does not.
  Ref key = Ref::steal(PyLong_FromLongLong(offset));
  return Ref::steal(PyObject_GetItem(series, key.get()));
}

}  // namespace torvex::py
