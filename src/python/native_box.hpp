#pragma once
// A Python object that owns one native value (a LiveInputs, a LiveStream): its allocation and
// release, copy(), and pickling through the value's checked byte form. Written once for every
// such type of torvex.native; a Codec names the form:
//   struct Codec { using Value = ...; static constexpr const char* kind;  // tag in the bytes
//                  static constexpr const char* name;                      // in refusals
//                  static void write(core::StateWriter&, const Value&);
//                  static Value read(core::StateReader&); };
#include <memory>
#include <span>
#include <string>

#include "core/state_codec.hpp"
#include "python/args.hpp"
#include "python/entry.hpp"
#include "python/host_value.hpp"
#include "python/native_records.hpp"

namespace torvex::py::native_box {

template <class Value>
struct Object {
  PyObject_HEAD Value* value;
};

template <class Value>
Value& value_of(PyObject* self) {
  return *reinterpret_cast<Object<Value>*>(self)->value;
}

// A new instance of `type` holding `value`.
template <class Value>
Ref wrap(PyTypeObject* type, std::unique_ptr<Value> value) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  reinterpret_cast<Object<Value>*>(self.get())->value = value.release();
  return self;
}

template <class Value>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Object<Value>*>(self)->value;
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class Value>
PyObject* copy(PyObject* self, PyObject*) {
  return guarded(
      [&] { return wrap(Py_TYPE(self), std::make_unique<Value>(value_of<Value>(self))); });
}

inline constexpr Signature kFromState{"_from_state", {"state"}, 1};

// (type._from_state, (bytes,)): a pickle needs nothing of the value but its byte form.
template <class Codec>
PyObject* reduce(PyObject* self, PyObject*) {
  return guarded([&] {
    core::StateWriter w(Codec::kind);
    Codec::write(w, value_of<typename Codec::Value>(self));
    const std::string& bytes = w.bytes();
    Ref blob =
        Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    Ref restore = named_attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), kFromState.name);
    return Ref::steal(Py_BuildValue("(O(O))", restore.get(), blob.get()));
  });
}

template <class Codec>
PyObject* from_state(PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const auto a = parse<kFromState>(args, nargs, kwnames);
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(a["state"], &data, &size) < 0) throw PyError{};
    core::StateReader r(std::span<const char>(data, static_cast<std::size_t>(size)), Codec::kind,
                        Codec::name);
    auto value = std::make_unique<typename Codec::Value>(Codec::read(r));
    r.finish();
    return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(value));
  });
}

// copy, __reduce__ and _from_state, for a type's method table.
template <class Codec>
PyMethodDef copy_method() {
  return {"copy", copy<typename Codec::Value>, METH_NOARGS,
          PyDoc_STR("copy($self, /)\n--\n\nAn independent copy that continues exactly as this.")};
}
template <class Codec>
PyMethodDef reduce_method() {
  return {"__reduce__", reduce<Codec>, METH_NOARGS, nullptr};
}
template <class Codec>
PyMethodDef from_state_method() {
  return {kFromState.name, fast(from_state<Codec>), kFastCall | METH_CLASS,
          PyDoc_STR("_from_state($type, state)\n--\n\nThe value a pickle holds (bytes of "
                    "__reduce__).")};
}

}  // namespace torvex::py::native_box
