#include "python/window_model.hpp"

#include <climits>
#include <initializer_list>

namespace torvex::py {

namespace {

Ref names(std::initializer_list<const char*> texts) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
  Py_ssize_t i = 0;
  for (const char* text : texts) PyTuple_SET_ITEM(tuple.get(), i++, intern(text).release());
  return tuple;
}

// A result class is gone only while the engine module is being torn down.
PyObject* result_class(const Ref& cls) {
  if (!cls) {
    PyErr_SetString(PyExc_SystemError, "the engine module's result classes are gone");
    throw PyError{};
  }
  return cls.get();
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

int64_t WindowModel::count(PyObject* value) const {
  return host().count(value);
}

PythonModel::Key WindowModel::round_key(PyObject* price) const {
  if (PyFloat_CheckExact(price))
    if (const std::optional<double> rounded = rounded_here(PyFloat_AS_DOUBLE(price)))
      return from_number(*rounded);
  PyObject* args[2] = {engine(), price};
  return host().call_method(context().str_round_to_mintick.get(), args, 2);
}

Ref WindowModel::copy_window(const Window& window) const {
  PyObject* args[1] = {window.get()};
  return host().call_method(r_.str_copy.get(), args, 1);
}

Ref WindowModel::make_result(const core::CheckOutcome& o, std::optional<Ref> mavet) const {
  const core::Violations& v = o.violations;
  Ref window = mavet ? std::move(*mavet) : Ref::borrow(Py_None);
  PyObject* args[7] = {bool_object(o.has_signal),
                       bool_object(o.close_above_low_and_kerd),
                       bool_object(v.extend_bar_cross),
                       bool_object(v.recover_window),
                       bool_object(v.signal_window),
                       bool_object(v.search_range_close_above_bar_count),
                       window.get()};
  return make_record(result_class(r_.result_class), args, 7, nullptr);
}

Ref WindowModel::make_success(bool is_vvip, Ref mavet) const {
  PyObject* args[3] = {Py_True, bool_object(is_vvip), mavet.get()};
  return make_record(result_class(r_.success_class), args, 0, r_.success_kwnames.get());
}

Ref WindowModel::make_failure(const core::Violations& v, Ref mavet) const {
  PyObject* args[6] = {Py_True,
                       bool_object(v.extend_bar_cross),
                       bool_object(v.recover_window),
                       bool_object(v.signal_window),
                       bool_object(v.search_range_close_above_bar_count),
                       mavet.get()};
  return make_record(result_class(r_.failure_class), args, 0, r_.failure_kwnames.get());
}

void WindowModel::append_success(Ref& list, Ref success) const {
  if (!list) list = Ref::steal(PyList_New(0));
  check_status(PyList_Append(list.get(), success.get()));
}

std::size_t WindowModel::success_count(const Ref& list) const {
  if (!list) return 0;
  return static_cast<std::size_t>(host().length(list.get()));
}

Ref WindowModel::success_at(const Ref& list, std::size_t i) const {
  return host().item(list.get(), static_cast<Py_ssize_t>(i));
}

bool WindowModel::success_is_vvip(const Ref& success) const {
  return host().flag(host().attr(success.get(), r_.str_is_vvip_signal.get()).get());
}

Ref WindowModel::dispatch_get_success_by_vvip(const Ref& list) const {
  PyObject* args[2] = {engine(), list.get()};
  return host().call_method(r_.str_get_success_by_vvip.get(), args, 2);
}

Ref WindowModel::make_result_v2_success(const Ref& chosen) const {
  PyObject* args[1] = {chosen.get()};
  return make_record(result_class(r_.result_v2_class), args, 0, r_.v2_success_kwname.get());
}

Ref WindowModel::make_result_v2_failure(const Ref& failure) const {
  PyObject* args[1] = {failure.get()};
  return make_record(result_class(r_.result_v2_class), args, 0, r_.v2_failure_kwname.get());
}

Ref WindowModel::make_result_v2_empty() const {
  return make_record(result_class(r_.result_v2_class), nullptr, 0, nullptr);
}

}  // namespace torvex::py
