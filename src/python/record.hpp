#pragma once
// Typed records: fixed-layout Python classes described by a field table. One machinery gives
// every record class its descriptors and conversions, the all-or-nothing constructor, copy,
// repr, pickling and the module-level reconstructor; a record class is a table plus the
// behaviour it really has.
//
// A record module declares, per class, the instance struct (PyObject_HEAD, then the fields),
// a Field table in declaration order, the constructor's parameter names, the state order and
// checksums of its pickled form, and a RecordClass tying them together. The module's
// PyModuleDef is record::ModuleHolder::definition<record::exec<Module, Classes...>>, and it
// lists record::reconstructor<Class>() among its functions.
#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "python/doc_text.hpp"
#include "python/entry.hpp"
#include "python/module_state.hpp"
#include "python/ref.hpp"

namespace torvex::py::record {

inline constexpr std::size_t max_fields = 12;
inline constexpr std::size_t max_classes = 8;
inline constexpr std::size_t max_names = 16;

enum class Kind : unsigned char {
  int32,    // int32_t, integer conversion
  float64,  // double, any real number
  boolean,  // bool, truth value
  record,   // PyObject*, None or an instance of one record class of the same module
  object,   // PyObject*, anything
};

struct Field {
  const char* name;
  Kind kind;
  Py_ssize_t offset;              // byte offset of the value inside the instance
  double fallback = 0;            // constructor default of an optional plain parameter
  int accepts = -1;               // Kind::record: index of the accepted class in its module
  bool none_is_fallback = false;  // constructor only: None stands for the default
};

constexpr Field int32_field(const char* name, Py_ssize_t offset, double fallback = 0) {
  return {name, Kind::int32, offset, fallback};
}
// An int32 whose constructor parameter defaults to None, and None given to the constructor
// stands for none_value; everywhere else None is no integer.
constexpr Field int32_or_none_field(const char* name, Py_ssize_t offset, double none_value) {
  return {name, Kind::int32, offset, none_value, -1, true};
}
constexpr Field float64_field(const char* name, Py_ssize_t offset, double fallback = 0) {
  return {name, Kind::float64, offset, fallback};
}
constexpr Field boolean_field(const char* name, Py_ssize_t offset) {
  return {name, Kind::boolean, offset};
}
constexpr Field record_field(const char* name, Py_ssize_t offset, int accepts) {
  return {name, Kind::record, offset, 0, accepts};
}
constexpr Field object_field(const char* name, Py_ssize_t offset) {
  return {name, Kind::object, offset};
}

constexpr bool holds_references(Kind kind) {
  return kind == Kind::record || kind == Kind::object;
}

struct RecordClass {
  const char* name;     // full dotted name, e.g. "torvex.dto.snib.Snib"
  const char* summary;  // the docstring after the constructor's text signature
  PyModuleDef* module;  // the module that defines the class
  int index;            // the class's position in its module's class list
  Py_ssize_t basicsize;
  std::span<const Field> fields;        // declaration (storage) order
  std::span<const char* const> params;  // constructor parameters, in call order
  std::span<const int> param_fields;    // the field each parameter sets
  Py_ssize_t required;                  // leading parameters without a default
  std::span<const int> state;           // fields in pickled-state order
  std::array<long, 3> checksums;        // accepted layout checksums; the first is written
  const char* reconstructor;            // module function that rebuilds a pickled record
  bool copyable;                        // offers copy()
  std::span<PyMethodDef> methods;       // behaviour of the class's own
};

// What a record module needs beyond its classes: the attribute names its own behaviour uses,
// interned once per module and found in ModuleState::names in this order.
struct RecordModule {
  std::span<const char* const> names;
};

// Per-module state of a record module.
struct ModuleState {
  PyTypeObject* types[max_classes];
  const RecordClass* classes[max_classes];  // each type's table
  PyObject* reconstructors[max_classes];
  PyObject* names[max_names];
  PyObject* dict_name;    // "__dict__"
  PyObject* update_name;  // "update"

  ModuleState() = default;
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;
  ~ModuleState() { clear(); }

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;
};
using ModuleHolder = py::ModuleHolder<ModuleState>;

// Field indices sorted by field name: the order of a pickled state.
template <std::size_t N>
constexpr std::array<int, N> alphabetical(const Field (&fields)[N]) {
  std::array<int, N> order{};
  for (std::size_t i = 0; i < N; ++i) order[i] = static_cast<int>(i);
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    return std::string_view(fields[a].name) < std::string_view(fields[b].name);
  });
  return order;
}

// The constructor parameters of a record that takes its first P fields in declaration order:
// their names, and the field each sets.
template <std::size_t P, std::size_t N>
constexpr std::array<const char*, P> leading_names(const Field (&fields)[N]) {
  static_assert(P <= N);
  std::array<const char*, P> names{};
  for (std::size_t i = 0; i < P; ++i) names[i] = fields[i].name;
  return names;
}
template <std::size_t P>
constexpr std::array<int, P> leading_fields() {
  std::array<int, P> order{};
  for (std::size_t i = 0; i < P; ++i) order[i] = static_cast<int>(i);
  return order;
}

// The field index of each constructor parameter; a name that is no field does not compile.
template <std::size_t N, std::size_t P>
constexpr std::array<int, P> fields_of(const Field (&fields)[N], const char* const (&params)[P]) {
  std::array<int, P> out{};
  for (std::size_t p = 0; p < P; ++p) {
    std::size_t i = 0;
    while (std::string_view(fields[i].name) != params[p]) {
      if (++i == N) throw "constructor parameter without a field";
    }
    out[p] = static_cast<int>(i);
  }
  return out;
}

// The class docstring: "Name(params)\n--\n\n" (the constructor's text signature, each optional
// parameter with the default the constructor takes) and the summary.
constexpr void write_doc(TextWriter& w, const RecordClass& cls) {
  const auto default_of = [&cls](TextWriter& out, std::size_t p) {
    const Field& field = cls.fields[cls.param_fields[p]];
    if (field.none_is_fallback || holds_references(field.kind))
      out << "None";
    else if (field.kind == Kind::boolean)
      out << "False";
    else if (field.fallback == static_cast<double>(static_cast<long long>(field.fallback)))
      out << static_cast<long long>(field.fallback);
    else
      throw "a shown default must be a whole number";
  };
  const std::string_view name(cls.name);
  write_text_signature(w, name.substr(name.rfind('.') + 1), false, cls.params,
                       static_cast<std::size_t>(cls.required), default_of);
  w << cls.summary;
}

template <class T>
T& at(PyObject* self, Py_ssize_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + offset);
}

// The state of the record module that defines cls, found from any instance of cls or of a
// class derived from it.
ModuleState& module_state(PyObject* self, PyModuleDef* module);
ModuleState& module_state(PyObject* module);

// A new instance of type (cls's type or one derived from it) without running the constructor:
// plain fields zero or false, reference fields None.
Ref new_instance(const RecordClass& cls, PyTypeObject* type);

// The Python value of a field.
Ref get(const Field& field, PyObject* self);

// Converts value as an attribute write does and stores it.
void assign(const RecordClass& cls, const Field& field, PyObject* self, PyObject* value);

// The slots and methods every record class gets, written once; the templates below only bind
// them to a class.
void init(const RecordClass& cls, PyObject* self, PyObject* args, PyObject* kwargs);
void destroy(const RecordClass& cls, PyObject* self) noexcept;
int traverse(const RecordClass& cls, PyObject* self, visitproc visit, void* arg) noexcept;
void clear(const RecordClass& cls, PyObject* self) noexcept;
Ref repr(const RecordClass& cls, PyObject* self);
Ref copy(const RecordClass& cls, PyObject* self);
Ref reduce(const RecordClass& cls, PyObject* self);
void restore(const RecordClass& cls, PyObject* self, PyObject* state);
Ref reconstruct(const RecordClass& cls, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames);

PyObject* get_field(PyObject* self, void* closure);
int set_field(PyObject* self, PyObject* value, void* closure);

// A field bound to its class: the closure of the field's descriptor.
struct FieldRef {
  const RecordClass* cls;
  const Field* field;
};

// A new record of class `type` as calling it makes one, where calling it does only what the
// record machinery does (see OwnRecords): type(*args[:nargs], **dict(zip(kwnames,
// args[nargs:]))), with the same conversions and errors, and no call through the interpreter.
Ref construct(const RecordClass& cls, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames);

// The package's own record classes as the engine module imported them: each recognised once, at
// that module's load, through the module that made it (a record module of the package, whose
// state lists the class), and by identity alone afterwards. A class derived from one is none.
class OwnRecords {
 public:
  // Takes `cls` as an own record class where its module made it; nothing otherwise.
  void adopt(PyObject* cls);
  // The record class `cls` is, while its own __new__ and __init__ stand (a host may replace
  // them on the class); null for any other class.
  const RecordClass* of(PyObject* cls) const;
  // The field read and written by `descriptor` on instances of `type`, where `type` is an own
  // record class and `descriptor` one of the getset descriptors it was made with; else null.
  const Field* field(PyTypeObject* type, PyObject* descriptor) const;

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept { entries_.clear(); }

 private:
  struct Entry {
    Ref type;
    const RecordClass* record = nullptr;
    Ref init, make;                           // the class's own __init__ and __new__, as made
    std::array<Ref, max_fields> descriptors;  // the fields' getset descriptors, by field
  };
  const Entry* entry(PyObject* type) const {
    for (const Entry& e : entries_)
      if (e.type.get() == type) return &e;
    return nullptr;
  }
  std::vector<Entry> entries_;
  Ref init_name_, new_name_;
};

template <const RecordClass& C>
struct Binding {
  static constexpr bool gc = std::any_of(C.fields.begin(), C.fields.end(),
                                         [](const Field& f) { return holds_references(f.kind); });
  static constexpr std::size_t field_count = C.fields.size();
  static constexpr auto& doc = static_text<[](TextWriter& w) { write_doc(w, C); }>;
  static constexpr std::size_t method_count = 2 + (C.copyable ? 1 : 0) + C.methods.size();
  static_assert(field_count <= max_fields && C.params.size() <= field_count);
  static_assert(C.param_fields.size() == C.params.size() && C.state.size() == field_count);
  static_assert(C.required >= 0 && static_cast<std::size_t>(C.required) <= C.params.size());

  static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded([&] { return new_instance(C, type); });
  }
  static int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded_status([&] { init(C, self, args, kwargs); });
  }
  static void tp_dealloc(PyObject* self) {
    if constexpr (gc) {
      PyObject_GC_UnTrack(self);
      Py_TRASHCAN_BEGIN(self, tp_dealloc);
      destroy(C, self);
      Py_TRASHCAN_END;
    } else {
      destroy(C, self);
    }
  }
  static int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    return traverse(C, self, visit, arg);
  }
  static int tp_clear(PyObject* self) {
    clear(C, self);
    return 0;
  }
  static PyObject* tp_repr(PyObject* self) {
    return guarded([&] { return repr(C, self); });
  }
  static PyObject* copy_method(PyObject* self, PyObject*) {
    return guarded([&] { return copy(C, self); });
  }
  static PyObject* reduce_method(PyObject* self, PyObject*) {
    return guarded([&] { return reduce(C, self); });
  }
  static PyObject* setstate_method(PyObject* self, PyObject* state) {
    return guarded([&] {
      restore(C, self, state);
      return none();
    });
  }
  static PyObject* reconstruct_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return guarded([&] { return reconstruct(C, module, args, nargs, kwnames); });
  }

  struct Parts {
    std::array<FieldRef, field_count> refs{};
    std::array<PyGetSetDef, field_count + 1> getset{};
    std::array<PyMethodDef, method_count + 1> methods{};
    std::array<PyType_Slot, 10> slots{};
    PyType_Spec spec{};

    Parts() {
      for (std::size_t i = 0; i < field_count; ++i) {
        refs[i] = {&C, &C.fields[i]};
        getset[i] = {C.fields[i].name, get_field, set_field, nullptr, &refs[i]};
      }
      std::size_t m = 0;
      methods[m++] = {"__reduce__", as_method(reduce_method), METH_NOARGS, nullptr};
      methods[m++] = {"__setstate__", as_method(setstate_method), METH_O, nullptr};
      if (C.copyable) {
        methods[m++] = {
            "copy", as_method(copy_method), METH_NOARGS,
            "copy($self)\n--\n\nA new, independent record of this class with equal fields."};
      }
      for (const PyMethodDef& def : C.methods) methods[m++] = def;

      std::size_t s = 0;
      slots[s++] = {Py_tp_new, reinterpret_cast<void*>(tp_new)};
      slots[s++] = {Py_tp_init, reinterpret_cast<void*>(tp_init)};
      slots[s++] = {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)};
      slots[s++] = {Py_tp_repr, reinterpret_cast<void*>(tp_repr)};
      slots[s++] = {Py_tp_getset, getset.data()};
      slots[s++] = {Py_tp_methods, methods.data()};
      slots[s++] = {Py_tp_doc, const_cast<char*>(doc.data())};
      if constexpr (gc) {
        slots[s++] = {Py_tp_traverse, reinterpret_cast<void*>(tp_traverse)};
        slots[s++] = {Py_tp_clear, reinterpret_cast<void*>(tp_clear)};
      }
      slots[s] = {0, nullptr};
      const unsigned flags =
          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (gc ? Py_TPFLAGS_HAVE_GC : 0);
      spec = {C.name, static_cast<int>(C.basicsize), 0, flags, slots.data()};
    }
  };

  static PyType_Spec& spec() {
    static Parts parts;
    return parts.spec;
  }
};

// The PyType_Spec pieces of a record class.
template <const RecordClass& C>
PyType_Spec& spec() {
  return Binding<C>::spec();
}

// The module function __pyx_unpickle_<Class> that rebuilds a pickled record of class C.
template <const RecordClass& C>
PyMethodDef reconstructor() {
  return {C.reconstructor, fast(Binding<C>::reconstruct_function), kFastCall,
          "Rebuilds a pickled record: (class, checksum, state or None)."};
}

namespace detail {
int exec_module(const RecordModule& module, PyObject* object,
                std::span<const RecordClass* const> classes, std::span<PyType_Spec* const> specs);
}

// The Py_mod_exec slot of a record module defining the classes Cs, listed in index order.
template <const RecordModule& M, const RecordClass&... Cs>
int exec(PyObject* module) {
  static const RecordClass* const classes[] = {&Cs...};
  static PyType_Spec* const specs[] = {&spec<Cs>()...};
  return detail::exec_module(M, module, classes, specs);
}

}  // namespace torvex::py::record
