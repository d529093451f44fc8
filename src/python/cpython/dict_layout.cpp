#include "python/cpython/dict_layout.hpp"

namespace torvex::py::cpython {

bool split_table([[maybe_unused]] PyObject* dict) noexcept {
#ifdef TORVEX_CPYTHON_PRIVATE
  return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
  return false;
#endif
}

bool dict_version([[maybe_unused]] PyObject* dict, [[maybe_unused]] uint64_t& version) noexcept {
#ifdef TORVEX_CPYTHON_311
  version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
  return true;
#else
  return false;
#endif
}

}  // namespace torvex::py::cpython
