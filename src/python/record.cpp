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

namespace {

// Stores the constructor's parsed arguments (null: not given).
void init_from(const RecordClass& cls, PyObject* self, std::array<PyObject*, max_fields>& given) {
  const std::size_t count = cls.params.size();
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

}  // namespace

void init(const RecordClass& cls, PyObject* self, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, max_fields> given{};
  parse_args(short_name(cls), cls.params, cls.required, args, kwargs,
             std::span(given).first(cls.params.size()));
  init_from(cls, self, given);
}

Ref construct(const RecordClass& cls, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
  // As a call: the instance first, then the arguments parsed and converted by its __init__.
  Ref self = new_instance(cls, type);
  std::array<PyObject*, max_fields> given{};
  parse_args(short_name(cls), cls.params, cls.required, args, nargs, kwnames,
             std::span(given).first(cls.params.size()));
  init_from(cls, self.get(), given);
  return self;
}

namespace {

// The package's record modules, whose state lists the record classes they made.
bool is_record_module(PyObject* module) {
  const PyModuleDef* def = PyModule_GetDef(module);
  if (def == nullptr) {
    PyErr_Clear();
    return false;
  }
  return def->m_name != nullptr && (std::strcmp(def->m_name, "torvex.dto.snib") == 0 ||
                                    std::strcmp(def->m_name, "torvex.dto.mavet") == 0);
}

}  // namespace

void OwnRecords::adopt(PyObject* cls) {
  if (!PyType_Check(cls)) return;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 || entry(cls) != nullptr) return;
  PyObject* module = PyType_GetModule(type);
  if (module == nullptr) {
    PyErr_Clear();
    return;
  }
  const ModuleState* state = is_record_module(module) ? ModuleHolder::find(module) : nullptr;
  if (state == nullptr) return;
  const RecordClass* record = nullptr;
  for (std::size_t i = 0; i < max_classes && record == nullptr; ++i)
    if (state->types[i] == type) record = state->classes[i];
  if (record == nullptr) return;
  if (!init_name_) {
    init_name_ = intern("__init__");
    new_name_ = intern("__new__");
  }
  Entry made;
  made.type = Ref::borrow(cls);
  made.record = record;
  PyObject* dict = type->tp_dict;
  made.init = Ref::borrow(PyDict_GetItemWithError(dict, init_name_.get()));
  made.make = Ref::borrow(PyDict_GetItemWithError(dict, new_name_.get()));
  for (std::size_t k = 0; k < record->fields.size(); ++k) {
    PyObject* descriptor = PyDict_GetItemString(dict, record->fields[k].name);
    if (descriptor == nullptr || Py_TYPE(descriptor) != &PyGetSetDescr_Type) return;
    made.descriptors[k] = Ref::borrow(descriptor);
  }
  if (!made.init || !made.make) return;
  entries_.push_back(std::move(made));
}

const RecordClass* OwnRecords::of(PyObject* cls) const {
  const Entry* e = entry(cls);
  // A metaclass of its own may change the call.
  if (e == nullptr || !PyType_CheckExact(cls)) return nullptr;
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
  if (PyDict_GetItemWithError(dict, init_name_.get()) != e->init.get() ||
      PyDict_GetItemWithError(dict, new_name_.get()) != e->make.get()) {
    PyErr_Clear();
    return nullptr;
  }
  return e->record;
}

const Field* OwnRecords::field(PyTypeObject* type, PyObject* descriptor) const {
  const Entry* e = entry(reinterpret_cast<PyObject*>(type));
  if (e == nullptr) return nullptr;
  for (std::size_t k = 0; k < e->record->fields.size(); ++k)
    if (e->descriptors[k].get() == descriptor) return &e->record->fields[k];
  return nullptr;
}

int OwnRecords::traverse(visitproc visit, void* arg) const {
  for (const Entry& e : entries_) {
    Py_VISIT(e.type.get());
    Py_VISIT(e.init.get());
    Py_VISIT(e.make.get());
    for (const Ref& descriptor : e.descriptors) Py_VISIT(descriptor.get());
  }
  return 0;
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
