#pragma once
// The plain model as the engine's operations use it: with the window checks' results, and the
// operations that another operation calls run as the engine object's own methods.
#include <optional>

#include "core/model.hpp"
#include "python/engine_operations.hpp"
#include "python/plain_model.hpp"
#include "python/window_results.hpp"

namespace torvex::py {

class PlainEngineModel : public WindowResultsOn<PlainModel> {
 public:
  PlainEngineModel(ModelContext& ctx, PyObject* engine, const ModelClasses* classes,
                   const EngineOperations& operations, const WindowResults& results)
      : WindowResultsOn<PlainModel>(results, ctx, engine, classes), operations_(operations) {}

  template <core::EngineOperation Op, class... Args>
  std::optional<bool> call_override(const Args&... args) const {
    return call_operation<Op>(host(), engine(), operations_, args...);
  }

 private:
  const EngineOperations& operations_;
};

static_assert(core::ObjectModel<PlainEngineModel> && core::OverridesOperations<PlainEngineModel> &&
              core::DispatchesSuccessChoice<PlainEngineModel> &&
              core::ReadsRawElements<PlainEngineModel>);

}  // namespace torvex::py
