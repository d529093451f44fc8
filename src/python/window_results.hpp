#pragma once
// The window checks' results on the Python model: result records are the host-visible classes
// the engine module imported from `mavet`, built with the keywords and positions the checks use;
// windows are copied by their own copy(); a list of successes is any host object that has a
// length and integer indexing; the choice among successes is the engine object's own
// get_success_by_vvip. The same on the plain model and on the accelerated one: each builds the
// records its own way (make_record).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "core/model.hpp"
#include "python/host_value.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// The result classes and the names the checks call them with; one per engine module, kept in
// its state.
class WindowResults {
 public:
  // Raises PyError. The classes are the engine module's MavetResult, MavetFailure,
  // MavetSuccess and MavetResultV2.
  static std::unique_ptr<WindowResults> create(PyObject* result, PyObject* failure,
                                               PyObject* success, PyObject* result_v2);

  Ref result_class, failure_class, success_class, result_v2_class;
  Ref str_copy, str_is_vvip_signal, str_get_success_by_vvip;
  Ref success_kwnames;    // has_signal, is_vvip_signal, mavet
  Ref failure_kwnames;    // close_above_low_and_kerd, the four violations, mavet
  Ref v2_success_kwname;  // success
  Ref v2_failure_kwname;  // failure

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(result_class.get());
    Py_VISIT(failure_class.get());
    Py_VISIT(success_class.get());
    Py_VISIT(result_v2_class.get());
    return 0;
  }
  void clear() noexcept { result_class = failure_class = success_class = result_v2_class = Ref(); }

  // A result class; gone only while the engine module is being torn down.
  static PyObject* present(const Ref& cls);
};

// Base: a model with make_record(cls, args, nargs, kwnames), host() and engine().
template <class Base>
class WindowResultsOn : public Base {
 public:
  using WindowCopy = Ref;
  using Result = Ref;
  using Success = Ref;
  using Failure = Ref;
  using ResultV2 = Ref;
  // A list made at the first success of a call (null until then), or the host's own list.
  using SuccessList = Ref;

  template <class... Args>
  WindowResultsOn(const WindowResults& results, Args&&... args)
      : Base(std::forward<Args>(args)...), r_(results) {}

  // window.copy()
  Ref copy_window(const typename Base::Window& window) const {
    PyObject* args[1] = {window.get()};
    return this->host().call_method(r_.str_copy.get(), args, 1);
  }
  Ref make_result(const core::CheckOutcome& o, std::optional<Ref> mavet) const {
    const core::Violations& v = o.violations;
    Ref window = mavet ? std::move(*mavet) : Ref::borrow(Py_None);
    PyObject* args[7] = {bool_object(o.has_signal),
                         bool_object(o.close_above_low_and_kerd),
                         bool_object(v.extend_bar_cross),
                         bool_object(v.recover_window),
                         bool_object(v.signal_window),
                         bool_object(v.search_range_close_above_bar_count),
                         window.get()};
    return this->make_record(WindowResults::present(r_.result_class), args, 7, nullptr);
  }
  Ref make_success(bool is_vvip, Ref mavet) const {
    PyObject* args[3] = {Py_True, bool_object(is_vvip), mavet.get()};
    return this->make_record(WindowResults::present(r_.success_class), args, 0,
                             r_.success_kwnames.get());
  }
  Ref make_failure(const core::Violations& v, Ref mavet) const {
    PyObject* args[6] = {Py_True,
                         bool_object(v.extend_bar_cross),
                         bool_object(v.recover_window),
                         bool_object(v.signal_window),
                         bool_object(v.search_range_close_above_bar_count),
                         mavet.get()};
    return this->make_record(WindowResults::present(r_.failure_class), args, 0,
                             r_.failure_kwnames.get());
  }

  Ref new_success_list() const { return Ref(); }
  void append_success(Ref& list, Ref success) const {
    if (!list) list = Ref::steal(PyList_New(0));
    check_status(PyList_Append(list.get(), success.get()));
  }
  std::size_t success_count(const Ref& list) const {
    if (!list) return 0;
    return static_cast<std::size_t>(this->host().length(list.get()));
  }
  Ref success_at(const Ref& list, std::size_t i) const {
    return this->host().item(list.get(), static_cast<Py_ssize_t>(i));
  }
  bool success_is_vvip(const Ref& success) const {
    Ref flag = this->host().attr(success.get(), r_.str_is_vvip_signal.get());
    return this->host().flag(flag.get());
  }
  // engine.get_success_by_vvip(successes), so that a subclass's override chooses.
  Ref dispatch_get_success_by_vvip(const Ref& list) const {
    PyObject* args[2] = {this->engine(), list.get()};
    return this->host().call_method(r_.str_get_success_by_vvip.get(), args, 2);
  }

  Ref make_result_v2_success(const Ref& chosen) const {
    PyObject* args[1] = {chosen.get()};
    return this->make_record(WindowResults::present(r_.result_v2_class), args, 0,
                             r_.v2_success_kwname.get());
  }
  Ref make_result_v2_failure(const Ref& failure) const {
    PyObject* args[1] = {failure.get()};
    return this->make_record(WindowResults::present(r_.result_v2_class), args, 0,
                             r_.v2_failure_kwname.get());
  }
  Ref make_result_v2_empty() const {
    return this->make_record(WindowResults::present(r_.result_v2_class), nullptr, 0, nullptr);
  }

 private:
  const WindowResults& r_;
};

}  // namespace torvex::py
