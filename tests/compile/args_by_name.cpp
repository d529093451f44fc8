// Compiled by ctest twice: with a parameter the signature has, and with a misspelt one that
// must be refused at compile time.
#include "python/args.hpp"

#define TORVEX_STR(x) #x
#define TORVEX_XSTR(x) TORVEX_STR(x)

namespace {
constexpr torvex::py::Signature kMerge{"merge", {"self", "target", "backward"}, 3};
}  // namespace

PyObject* read_param(const torvex::py::Args<kMerge>& a) {
  return a[TORVEX_XSTR(PARAM_NAME)];
}
