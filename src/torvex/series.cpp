// torvex.series: the package's bar series. A contiguous buffer of doubles of which a prefix is
// visible; indexing is by offset from the current (last visible) bar, and a bare series behaves
// as its current value in comparisons and arithmetic. The engine reads it directly through
// python/series_object.hpp.
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "python/args.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"
#include "python/series_object.hpp"

namespace torvex::py {
namespace {

void series_dealloc(PyObject* self);

// A name for stored values that no series has had: counted across the process, since a reader
// may compare the names of series of any interpreter.
uint64_t new_contents() {
  static std::atomic<uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

SeriesObject* as_series(PyObject* obj) {
  return reinterpret_cast<SeriesObject*>(obj);
}

// True for instances of Series and of its subclasses (their MRO holds our type, the only one
// whose deallocator is series_dealloc).
bool is_series(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_dealloc == series_dealloc) return true;
  PyObject* mro = type->tp_mro;
  if (mro == nullptr) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    if (reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dealloc == series_dealloc)
      return true;
  }
  return false;
}

double current(PyObject* self) {
  return series_at(as_series(self), 0);
}

// ---- storage

struct MemFree {
  void operator()(double* p) const noexcept { PyMem_Free(p); }
};
using Buffer = std::unique_ptr<double, MemFree>;

Buffer allocate(Py_ssize_t count) {
  if (count > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(double))) throw std::bad_alloc();
  auto* p = static_cast<double*>(PyMem_Malloc(static_cast<size_t>(count) * sizeof(double)));
  if (p == nullptr && count > 0) throw std::bad_alloc();
  return Buffer(p);
}

// Makes room for one more stored bar, doubling the capacity.
void reserve_one(SeriesObject* s) {
  if (s->size < s->capacity) return;
  Py_ssize_t capacity = s->capacity < 8 ? 16 : s->capacity;
  if (s->capacity >= 8) {
    if (capacity > PY_SSIZE_T_MAX / 2 / static_cast<Py_ssize_t>(sizeof(double)))
      throw std::bad_alloc();
    capacity *= 2;
  }
  void* p = PyMem_Realloc(s->data, static_cast<size_t>(capacity) * sizeof(double));
  if (p == nullptr) throw std::bad_alloc();
  s->data = static_cast<double*>(p);
  s->capacity = capacity;
}

// A 1-D buffer of native doubles (numpy float64 arrays, array('d')) is copied as it is; false
// leaves the object to iteration.
bool copy_double_buffer(PyObject* values, Buffer& out, Py_ssize_t& count) {
  if (!PyObject_CheckBuffer(values)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(values, &view, PyBUF_FORMAT | PyBUF_STRIDES) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError)) throw PyError{};
    PyErr_Clear();  // an exporter that cannot serve strides: iterate instead
    return false;
  }
  std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view, PyBuffer_Release);
  const char* format = view.format ? view.format : "B";
  if (view.ndim != 1 || view.itemsize != sizeof(double) ||
      (std::strcmp(format, "d") != 0 && std::strcmp(format, "@d") != 0))
    return false;
  count = view.shape[0];
  out = allocate(count);
  const char* src = static_cast<const char*>(view.buf);
  for (Py_ssize_t i = 0; i < count; ++i)
    std::memcpy(out.get() + i, src + i * view.strides[0], sizeof(double));
  return true;
}

void collect_values(PyObject* values, Buffer& out, Py_ssize_t& count, Py_ssize_t& capacity) {
  count = 0;
  if (copy_double_buffer(values, out, count)) {
    capacity = count;
    return;
  }
  Ref iter = Ref::steal(PyObject_GetIter(values));
  Py_ssize_t hint = PyObject_LengthHint(values, 0);
  if (hint < 0) throw PyError{};
  capacity = hint;
  out = allocate(capacity);
  while (Ref item = Ref::steal_or_null(PyIter_Next(iter.get()))) {
    const double v = to_number(item.get());
    if (count == capacity) {
      if (capacity > PY_SSIZE_T_MAX / 4 / static_cast<Py_ssize_t>(sizeof(double)))
        throw std::bad_alloc();
      const Py_ssize_t grown = capacity < 8 ? 16 : capacity * 2;
      void* p = PyMem_Realloc(out.get(), static_cast<size_t>(grown) * sizeof(double));
      if (p == nullptr) throw std::bad_alloc();
      (void)out.release();
      out.reset(static_cast<double*>(p));
      capacity = grown;
    }
    out.get()[count++] = v;
  }
  if (PyErr_Occurred()) throw PyError{};
}

// ---- type slots

PyObject* series_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* self = PyType_GenericNew(type, args, kwargs);
  if (self != nullptr) as_series(self)->contents = new_contents();
  return self;
}

void series_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyMem_Free(as_series(self)->data);
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Series(values=(), visible=None): all values visible unless `visible` says how many are.
int series_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_status([&] {
    static const char* keywords[] = {"values", "visible", nullptr};
    PyObject* values = nullptr;
    PyObject* visible = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:Series", const_cast<char**>(keywords),
                                     &values, &visible))
      throw PyError{};
    Buffer data;
    Py_ssize_t size = 0;
    Py_ssize_t capacity = 0;
    if (values != nullptr) collect_values(values, data, size, capacity);
    Py_ssize_t length = size;
    if (visible != Py_None) {
      Ref index = Ref::steal(PyNumber_Index(visible));
      length = PyLong_AsSsize_t(index.get());
      if (length == -1 && PyErr_Occurred()) throw PyError{};
      if (length < 0 || length > size) {
        PyErr_Format(PyExc_ValueError,
                     "visible must lie between 0 and the number of values (%zd), not %zd", size,
                     length);
        throw PyError{};
      }
    }
    SeriesObject* s = as_series(self);
    PyMem_Free(s->data);
    s->data = data.release();
    s->length = length;
    s->size = size;
    s->capacity = capacity;
    s->contents = new_contents();
  });
}

Py_ssize_t series_length(PyObject* self) {
  return as_series(self)->length;
}

PyObject* series_subscript(PyObject* self, PyObject* key) {
  return guarded([&] {
    if (!PyIndex_Check(key)) {
      PyErr_Format(PyExc_TypeError, "series indices must be integers, not %.200s",
                   Py_TYPE(key)->tp_name);
      throw PyError{};
    }
    Ref index = Ref::steal(PyNumber_Index(key));
    int overflow = 0;
    const long long offset = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (offset == -1 && PyErr_Occurred()) throw PyError{};
    if (overflow != 0) {
      PyErr_Format(PyExc_IndexError, "series index %R is out of range", index.get());
      throw PyError{};
    }
    return Ref::steal(PyFloat_FromDouble(series_at(as_series(self), offset)));
  });
}

// A bare series is its current value: series operands become floats, the rest is Python's.
PyObject* series_compare(PyObject* self, PyObject* other, int op) {
  return guarded([&] {
    const double a = current(self);
    if (is_series(other)) {
      const double b = current(other);
      bool result = false;
      switch (op) {
        case Py_LT:
          result = a < b;
          break;
        case Py_LE:
          result = a <= b;
          break;
        case Py_EQ:
          result = a == b;
          break;
        case Py_NE:
          result = a != b;
          break;
        case Py_GT:
          result = a > b;
          break;
        case Py_GE:
          result = a >= b;
          break;
      }
      return py::from_flag(result);
    }
    Ref value = Ref::steal(PyFloat_FromDouble(a));
    return Ref::steal(PyObject_RichCompare(value.get(), other, op));
  });
}

Ref operand(PyObject* obj) {
  return is_series(obj) ? Ref::steal(PyFloat_FromDouble(current(obj))) : Ref::borrow(obj);
}

template <PyObject* (*Op)(PyObject*, PyObject*)>
PyObject* series_binary(PyObject* a, PyObject* b) {
  return guarded([&] {
    Ref x = operand(a);
    Ref y = operand(b);
    return Ref::steal(Op(x.get(), y.get()));
  });
}

template <double (*Op)(double)>
PyObject* series_unary(PyObject* self) {
  return guarded([&] { return Ref::steal(PyFloat_FromDouble(Op(current(self)))); });
}

double negate(double v) {
  return -v;
}
double identity(double v) {
  return v;
}
double absolute(double v) {
  return std::fabs(v);
}

PyObject* series_int(PyObject* self) {
  return guarded([&] { return Ref::steal(PyLong_FromDouble(current(self))); });
}

int series_bool(PyObject* self) {
  bool truth = false;
  if (guarded_status([&] { truth = series_truth(current(self)); }) < 0) return -1;
  return truth ? 1 : 0;
}

PyObject* series_repr(PyObject* self) {
  return guarded([&] {
    constexpr Py_ssize_t shown = 8;
    const SeriesObject* s = as_series(self);
    const Py_ssize_t first = s->length > shown ? s->length - shown : 0;
    Ref tail = Ref::steal(PyList_New(s->length - first));
    for (Py_ssize_t i = first; i < s->length; ++i)
      PyList_SET_ITEM(tail.get(), i - first, Ref::steal(PyFloat_FromDouble(s->data[i])).release());
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    Ref text = Ref::steal(PyObject_Repr(tail.get()));
    if (first > 0) {
      // "[a, b]" becomes "[..., a, b]"
      Ref rest = Ref::steal(PyUnicode_Substring(text.get(), 1, PyUnicode_GET_LENGTH(text.get())));
      text = Ref::steal(PyUnicode_FromFormat("[..., %U", rest.get()));
    }
    Ref out = Ref::steal(PyUnicode_FromFormat("%U(%U", name.get(), text.get()));
    if (first > 0) out = Ref::steal(PyUnicode_FromFormat("%U, len=%zd", out.get(), s->length));
    if (s->size > s->length)
      out = Ref::steal(PyUnicode_FromFormat("%U, preloaded=%zd", out.get(), s->size - s->length));
    return Ref::steal(PyUnicode_FromFormat("%U)", out.get()));
  });
}

// ---- methods

PyObject* series_append(PyObject* self, PyObject* value) {
  return guarded([&] {
    SeriesObject* s = as_series(self);
    const double v = to_number(value);
    if (s->length != s->size) {
      PyErr_Format(PyExc_ValueError,
                   "cannot append while %zd preloaded bar%s wait%s to be shown: advance() first",
                   s->size - s->length, s->size - s->length == 1 ? "" : "s",
                   s->size - s->length == 1 ? "s" : "");
      throw PyError{};
    }
    // The value goes to a position nothing was stored at: the stored values keep their name.
    reserve_one(s);
    s->data[s->size++] = v;
    s->length = s->size;
    return none();
  });
}

PyObject* series_advance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, 1> given{};
    py::parse_args(py::Signature{"advance", {"n"}, 0}, args, nargs, kwnames, given);
    Py_ssize_t n = 1;
    if (given[0] != nullptr) {
      Ref index = Ref::steal(PyNumber_Index(given[0]));
      n = PyLong_AsSsize_t(index.get());
      if (n == -1 && PyErr_Occurred()) throw PyError{};
    }
    SeriesObject* s = as_series(self);
    if (n < 0) {
      PyErr_Format(PyExc_ValueError, "advance() needs n >= 0, not %zd", n);
      throw PyError{};
    }
    if (n > s->size - s->length) {
      PyErr_Format(PyExc_IndexError,
                   "advance(%zd) passes the last stored bar: %zd of %zd bars are visible", n,
                   s->length, s->size);
      throw PyError{};
    }
    s->length += n;
    return none();
  });
}

PyObject* series_values(PyObject* self, PyObject*) {
  return guarded([&] {
    const SeriesObject* s = as_series(self);
    Ref list = Ref::steal(PyList_New(s->length));
    for (Py_ssize_t i = 0; i < s->length; ++i)
      PyList_SET_ITEM(list.get(), i, Ref::steal(PyFloat_FromDouble(s->data[i])).release());
    return list;
  });
}

PyObject* series_stored(PyObject* self, void*) {
  return PyLong_FromSsize_t(as_series(self)->size);
}

PyMethodDef series_methods[] = {
    {"append", series_append, METH_O,
     PyDoc_STR("append($self, value, /)\n--\n\nAdd a bar with this value and make it current.")},
    {"advance", py::fast(series_advance), py::kFastCall,
     PyDoc_STR("advance($self, n=1)\n--\n\nShow the next n preloaded bars; the last becomes "
               "current.")},
    {"values", series_values, METH_NOARGS,
     PyDoc_STR("values($self, /)\n--\n\nThe visible values as a list, oldest first.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef series_getset[] = {
    {"stored", series_stored, nullptr, PyDoc_STR("Number of stored bars, visible and preloaded."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char series_doc[] =
    "Series(values=(), visible=None)\n"
    "--\n\n"
    "A bar series indexed by offset from the current bar: s[0] is the current (last\n"
    "visible) value, s[-k] the value k bars earlier; positive offsets and offsets before\n"
    "the first bar raise IndexError. len(s) is the number of visible bars.\n\n"
    "Used bare, a series is its current value: in comparisons (<, <=, ==, !=, >, >=) with\n"
    "numbers and other series, hence in min() and max(); in arithmetic with numbers; in\n"
    "float(), int() and abs(); bool(s) is the truth of the current value (NaN is true).\n"
    "Each of these raises IndexError on a series without bars. Values are stored as floats.\n\n"
    "values: numbers to store (a float64 buffer is copied directly).\n"
    "visible: how many of them are visible at first (default all); advance() shows the\n"
    "rest one step at a time, so a batch host can fill a series once and step through it.\n"
    "append() adds a bar and makes it current.";

PyType_Slot series_slots[] = {
    {Py_tp_doc, const_cast<char*>(series_doc)},
    {Py_tp_new, reinterpret_cast<void*>(series_new)},
    {Py_tp_init, reinterpret_cast<void*>(series_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(series_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(series_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(series_compare)},
    {Py_tp_methods, series_methods},
    {Py_tp_getset, series_getset},
    {Py_mp_length, reinterpret_cast<void*>(series_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(series_subscript)},
    {Py_nb_add, reinterpret_cast<void*>(series_binary<PyNumber_Add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(series_binary<PyNumber_Subtract>)},
    {Py_nb_multiply, reinterpret_cast<void*>(series_binary<PyNumber_Multiply>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(series_binary<PyNumber_TrueDivide>)},
    {Py_nb_floor_divide, reinterpret_cast<void*>(series_binary<PyNumber_FloorDivide>)},
    {Py_nb_remainder, reinterpret_cast<void*>(series_binary<PyNumber_Remainder>)},
    {Py_nb_negative, reinterpret_cast<void*>(series_unary<negate>)},
    {Py_nb_positive, reinterpret_cast<void*>(series_unary<identity>)},
    {Py_nb_absolute, reinterpret_cast<void*>(series_unary<absolute>)},
    {Py_nb_float, reinterpret_cast<void*>(series_unary<identity>)},
    {Py_nb_int, reinterpret_cast<void*>(series_int)},
    {Py_nb_bool, reinterpret_cast<void*>(series_bool)},
    {0, nullptr},
};

PyType_Spec series_spec = {
    kSeriesTypeName,
    sizeof(SeriesObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    series_slots,
};

// ---- module

int module_exec(PyObject* module) {
  return guarded_status([&] {
    SeriesModuleState& state = SeriesModuleHolder::create(module);
    state.series_type = Ref::steal(PyType_FromModuleAndSpec(module, &series_spec, nullptr));
    check_status(PyModule_AddObjectRef(module, "Series", state.series_type.get()));
  });
}

PyModuleDef module_def = SeriesModuleHolder::definition<module_exec>(
    kSeriesModuleName,
    PyDoc_STR("The package's bar series, read by the engine without Python calls."), nullptr);

}  // namespace
}  // namespace torvex::py

PyMODINIT_FUNC PyInit_series() {
  return PyModuleDef_Init(&torvex::py::module_def);
}
