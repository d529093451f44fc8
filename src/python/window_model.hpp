#pragma once
// The accelerated model as the window operations use it: the window checks' results
// (python/window_results.hpp) over PythonModel, which keeps the engine's plain attributes for
// the operation.
#include <cstdint>

#include "core/model.hpp"
#include "python/python_model.hpp"
#include "python/ref.hpp"
#include "python/window_results.hpp"

namespace torvex::py {

class WindowModel : public WindowResultsOn<PythonModel> {
 public:
  WindowModel(ModelContext& ctx, PyObject* engine, const ModelClasses* classes,
              const WindowResults& results) noexcept
      : WindowResultsOn<PythonModel>(results, ctx, engine, classes) {
    // Window tracking reads each line's attributes once.
    keep_engine_attrs();
  }

  // A range bound as range() takes it: an integer or an object with __index__.
  int64_t count(PyObject* value) const { return host().count(value); }

  // The committed price goes to the engine's round_to_mintick as the host gave it.
  using PythonModel::round_key;
  Key round_key(PyObject* price) const;
};

static_assert(core::ObjectModel<WindowModel> && core::DispatchesSuccessChoice<WindowModel> &&
              core::ViewsSeries<WindowModel>);

}  // namespace torvex::py
