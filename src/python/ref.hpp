#pragma once
// Owned Python references and the one exception that carries a Python error through C++.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>

namespace torvex::py {

// Thrown after a failed C-API call: the Python error indicator is set and stays set until
// the module entry point returns NULL with it.
struct PyError {};

// An owned (strong) reference; null only when default-constructed or moved from.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a new reference; a null result of a C-API call raises PyError.
  static Ref steal(PyObject* ptr) {
    if (ptr == nullptr) throw PyError{};
    return Ref(ptr);
  }
  // Takes over a new reference that may legitimately be null.
  static Ref steal_or_null(PyObject* ptr) noexcept { return Ref(ptr); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return Ref(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// Sets the error being raised aside for the scope, and raises it again at its end.
class SavedError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  SavedError() noexcept : error_(PyErr_GetRaisedException()) {}
  ~SavedError() {
    PyErr_SetRaisedException(error_);
  }
#else
  SavedError() noexcept {
    PyErr_Fetch(&type_, &error_, &traceback_);
  }
  ~SavedError() {
    PyErr_Restore(type_, error_, traceback_);
  }
#endif
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
  PyObject* error_ = nullptr;  // owned until raised again
};

// The interned string of `text`: names are interned once, when a module is set up.
inline Ref intern(std::string_view text) {
  PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (name == nullptr) throw PyError{};
  PyUnicode_InternInPlace(&name);
  return Ref::steal(name);
}

// Raises PyError when a C-API call reported failure through its status code.
inline int check_status(int status) {
  if (status < 0) throw PyError{};
  return status;
}

}  // namespace torvex::py
