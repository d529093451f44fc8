#include "python/window_results.hpp"

#include <initializer_list>

#include "core/records.hpp"

namespace torvex::py {

namespace {

Ref names(std::initializer_list<const char*> texts) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  Py_ssize_t i = 0;
  for (const char* text : texts) PyTuple_SET_ITEM(tuple.get(), i++, intern(text).release());
  return tuple;
}

}  // namespace

std::unique_ptr<WindowResults> WindowResults::create(PyObject* result, PyObject* failure,
                                                     PyObject* success, PyObject* result_v2) {
  auto r = std::make_unique<WindowResults>();
  r->result_class = Ref::borrow(result);
  r->failure_class = Ref::borrow(failure);
  r->success_class = Ref::borrow(success);
  r->result_v2_class = Ref::borrow(result_v2);
  r->str_copy = intern("copy");
  r->str_is_vvip_signal = intern("is_vvip_signal");
  r->str_get_success_by_vvip = intern("get_success_by_vvip");
  r->success_kwnames = names({"has_signal", "is_vvip_signal", "mavet"});
#define TORVEX_FLAG_NAME(name) #name,
  r->failure_kwnames = names({TORVEX_CHECK_FLAGS(TORVEX_FLAG_NAME) "mavet"});
#undef TORVEX_FLAG_NAME
  r->v2_success_kwname = names({"success"});
  r->v2_failure_kwname = names({"failure"});
  return r;
}

PyObject* WindowResults::present(const Ref& cls) {
  if (!cls) {
    PyErr_SetString(PyExc_SystemError, "the engine module's result classes are gone");
    throw PyError{};
  }
  return cls.get();
}

}  // namespace torvex::py
