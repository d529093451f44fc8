#pragma once
// The window checks' side of the Python object model: result records are the host-visible
// classes the engine module imported from `mavet`, built with the keywords and positions the
// checks use; windows are copied by their own copy(); a list of successes is any host object
// that has a length and integer indexing.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/model.hpp"
#include "python/python_model.hpp"
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
};

// The Python model with the members the window operations add to the seam.
class WindowModel : public PythonModel {
 public:
  using WindowCopy = Ref;
  using Result = Ref;
  using Success = Ref;
  using Failure = Ref;
  using ResultV2 = Ref;
  // A list made at the first success of a call (null until then), or the host's own list.
  using SuccessList = Ref;

  WindowModel(ModelContext& ctx, PyObject* engine, const ModelClasses* classes,
              const WindowResults& results) noexcept
      : PythonModel(ctx, engine, classes), r_(results) {
    // Window tracking reads each line's attributes once.
    keep_engine_attrs();
  }

  // A range bound as range() takes it: an integer or an object with __index__.
  int64_t count(PyObject* value) const;

  // The committed price goes to the engine's round_to_mintick as the host gave it.
  using PythonModel::round_key;
  Key round_key(PyObject* price) const;

  Ref copy_window(const Window& window) const;
  Ref make_result(const core::CheckOutcome& outcome, std::optional<Ref> mavet) const;
  Ref make_success(bool is_vvip, Ref mavet) const;
  Ref make_failure(const core::Violations& violations, Ref mavet) const;

  Ref new_success_list() const { return Ref(); }
  void append_success(Ref& list, Ref success) const;
  std::size_t success_count(const Ref& list) const;
  Ref success_at(const Ref& list, std::size_t i) const;
  bool success_is_vvip(const Ref& success) const;
  // engine.get_success_by_vvip(successes), so that a subclass's override chooses.
  Ref dispatch_get_success_by_vvip(const Ref& list) const;

  Ref make_result_v2_success(const Ref& chosen) const;
  Ref make_result_v2_failure(const Ref& failure) const;
  Ref make_result_v2_empty() const;

 private:
  const WindowResults& r_;
};

static_assert(core::ObjectModel<WindowModel> && core::DispatchesSuccessChoice<WindowModel> &&
              core::ViewsSeries<WindowModel>);

}  // namespace torvex::py
