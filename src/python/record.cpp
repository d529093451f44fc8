#include "python/record.hpp"

#include <cstring>

#include "python/args.hpp"
#include "python/host_value.hpp"
#include "python/record_convert.hpp"

namespace torvex::py::record {

namespace {

const char* short_name(const RecordClass& cls) {
  const char* dot = std::strrchr(cls.name, '.');
  return dot ? dot + 1 : cls.name;
}

PyObject*& slot(PyObject* self, const Field& field) {
  return at<PyObject*>(self, field.offset);
}

// Stores value in a reference field and hands back what it held, so that the old value is
// released only once every field has its new one.
Ref exchange(PyObject*& target, Ref value) noexcept {
  Ref old = Ref::steal_or_null(target);
  target = value.release();
  return old;
}

// One converted constructor argument, held until every argument has converted.
struct Value {
  int32_t int32 = 0;
  double float64 = 0;
  bool boolean = false;
  Ref object;
};

Value convert_argument(const RecordClass& cls, const Field& field, PyObject* self,
                       PyObject* given) {
  Value value;
  if (given == nullptr || (given == Py_None && field.none_is_fallback)) {
    value.int32 = static_cast<int32_t>(field.fallback);
    value.float64 = field.fallback;
    value.boolean = field.fallback != 0;
    value.object = none();
    return value;
  }
  switch (field.kind) {
    case Kind::int32:
      value.int32 = to_int32(given);
      break;
    case Kind::float64:
      value.float64 = to_number(given);
      break;
    case Kind::boolean:
      value.boolean = to_flag(given);
      break;
    case Kind::record:
      check_arg_type(given, module_state(self, cls.module).types[field.accepts], true, field.name);
      value.object = Ref::borrow(given);
      break;
    case Kind::object:
      value.object = Ref::borrow(given);
      break;
  }
  return value;
}

void store(const Field& field, PyObject* self, Value& value) noexcept {
  switch (field.kind) {
    case Kind::int32:
      at<int32_t>(self, field.offset) = value.int32;
      break;
    case Kind::float64:
      at<double>(self, field.offset) = value.float64;
      break;
    case Kind::boolean:
      at<bool>(self, field.offset) = value.boolean;
      break;
    case Kind::record:
    case Kind::object:
      value.object = exchange(slot(self, field), std::move(value.object));
      break;
  }
}

}  // namespace

Ref new_instance(const RecordClass& cls, PyTypeObject* type) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  for (const Field& field : cls.fields) {
    if (holds_references(field.kind)) slot(self.get(), field) = none().release();
  }
  return self;
}

Ref get(const Field& field, PyObject* self) {
  switch (field.kind) {
    case Kind::int32:
      return Ref::steal(PyLong_FromLong(at<int32_t>(self, field.offset)));
    case Kind::float64:
      return Ref::steal(PyFloat_FromDouble(at<double>(self, field.offset)));
    case Kind::boolean:
      return Ref::steal(PyBool_FromLong(at<bool>(self, field.offset)));
    case Kind::record:
    case Kind::object:
      break;
  }
  PyObject* value = slot(self, field);
  return Ref::borrow(value ? value : Py_None);
}

void assign(const RecordClass& cls, const Field& field, PyObject* self, PyObject* value) {
  switch (field.kind) {
    case Kind::int32:
      at<int32_t>(self, field.offset) = to_int32(value);
      return;
    case Kind::float64:
      at<double>(self, field.offset) = to_number(value);
      return;
    case Kind::boolean:
      at<bool>(self, field.offset) = to_flag(value);
      return;
    case Kind::record:
      check_record(value, module_state(self, cls.module).types[field.accepts]);
      break;
    case Kind::object:
      break;
  }
  exchange(slot(self, field), Ref::borrow(value));
}

PyObject* get_field(PyObject* self, void* closure) {
  const auto* ref = static_cast<const FieldRef*>(closure);
  return guarded([&] { return get(*ref->field, self); });
}

int set_field(PyObject* self, PyObject* value, void* closure) {
  const auto* ref = static_cast<const FieldRef*>(closure);
  return guarded_status([&] {
    if (value == nullptr) {
      // Deleting a reference empties it; a plain value has no empty state.
      if (!holds_references(ref->field->kind)) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        throw PyError{};
      }
      value = Py_None;
    }
    assign(*ref->cls, *ref->field, self, value);
  });
}

void init(const RecordClass& cls, PyObject* self, PyObject* args, PyObject* kwargs) {
  const std::size_t count = cls.params.size();
  std::array<PyObject*, max_fields> given{};
  parse_args(short_name(cls), cls.params, cls.required, args, kwargs,
             std::span(given).first(count));

  // Conversions can run Python code: keep every argument alive until they are all done, and
  // write nothing before the last one has succeeded.
  std::array<Ref, max_fields> held;
  for (std::size_t i = 0; i < count; ++i) held[i] = Ref::borrow(given[i]);
  std::array<Value, max_fields> values;
  for (std::size_t i = 0; i < count; ++i) {
    values[i] = convert_argument(cls, cls.fields[cls.param_fields[i]], self, given[i]);
  }
  for (std::size_t i = 0; i < count; ++i) store(cls.fields[cls.param_fields[i]], self, values[i]);
}

void destroy(const RecordClass& cls, PyObject* self) noexcept {
  for (const Field& field : cls.fields) {
    if (holds_references(field.kind)) exchange(slot(self, field), Ref());
  }
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of heap types own a reference to their type.
  Ref::steal_or_null(reinterpret_cast<PyObject*>(type));
}

int traverse(const RecordClass& cls, PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  for (const Field& field : cls.fields) {
    if (holds_references(field.kind)) Py_VISIT(slot(self, field));
  }
  return 0;
}

void clear(const RecordClass& cls, PyObject* self) noexcept {
  for (const Field& field : cls.fields) {
    if (holds_references(field.kind)) exchange(slot(self, field), none());
  }
}

Ref repr(const RecordClass& cls, PyObject* self) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
  // A record that (through signal_debug_line) contains itself shows as Name(...) inside.
  if (check_status(Py_ReprEnter(self)) > 0)
    return Ref::steal(PyUnicode_FromFormat("%U(...)", name.get()));
  struct Leave {
    PyObject* self;
    ~Leave() { Py_ReprLeave(self); }
  } leave{self};

  Ref parts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(cls.fields.size())));
  Py_ssize_t i = 0;
  for (const Field& field : cls.fields) {
    Ref value = get(field, self);
    PyList_SET_ITEM(parts.get(), i++,
                    Ref::steal(PyUnicode_FromFormat("%s=%R", field.name, value.get())).release());
  }
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
  return Ref::steal(PyUnicode_FromFormat("%U(%U)", name.get(), joined.get()));
}

Ref copy(const RecordClass& cls, PyObject* self) {
  // Always the record class itself, also when called on an instance of a derived class.
  Ref result = new_instance(cls, module_state(self, cls.module).types[cls.index]);
  for (const Field& field : cls.fields) {
    switch (field.kind) {
      case Kind::int32:
        at<int32_t>(result.get(), field.offset) = at<int32_t>(self, field.offset);
        break;
      case Kind::float64:
        at<double>(result.get(), field.offset) = at<double>(self, field.offset);
        break;
      case Kind::boolean:
        at<bool>(result.get(), field.offset) = at<bool>(self, field.offset);
        break;
      case Kind::record:
      case Kind::object:
        exchange(slot(result.get(), field), get(field, self));
        break;
    }
  }
  return result;
}

}  // namespace torvex::py::record
