#include "python/cpython/list_storage.hpp"

#include <cstring>

#include "python/ref.hpp"

namespace torvex::py::cpython {

bool prepend_in_place([[maybe_unused]] PyObject* list,
                      [[maybe_unused]] std::span<PyObject* const> items) {
#ifdef TORVEX_CPYTHON_PRIVATE
  auto* target = reinterpret_cast<PyListObject*>(list);
  const Py_ssize_t size = PyList_GET_SIZE(list), added = std::ssize(items);
  if (added > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*)) - size) {
    PyErr_NoMemory();
    throw PyError{};
  }
  auto** grown = static_cast<PyObject**>(
      PyMem_Realloc(target->ob_item, static_cast<std::size_t>(size + added) * sizeof(PyObject*)));
  if (grown == nullptr) {
    PyErr_NoMemory();
    throw PyError{};
  }
  std::memmove(grown + added, grown, static_cast<std::size_t>(size) * sizeof(PyObject*));
  for (Py_ssize_t i = 0; i < added; ++i)
    grown[i] = Ref::borrow(items[static_cast<std::size_t>(i)]).release();
  target->ob_item = grown;
  target->allocated = size + added;
  Py_SET_SIZE(target, size + added);
  return true;
#else
  return false;
#endif
}

}  // namespace torvex::py::cpython
