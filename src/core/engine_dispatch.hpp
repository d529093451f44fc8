#pragma once
// Engine operations that other engine operations call (update calls intake, the rebuild,
// sort-and-filter and the replay; sort-and-filter calls the sort and the pruning; the rebuild
// calls the clearing). A host may subclass the engine and override any of them, so a model
// whose engine object can carry overrides lets the object's own method answer.
#include <optional>
#include <type_traits>

#include "core/model.hpp"

namespace torvex::core {

// Runs operation Op for another operation: `own` is the core's, `args` what the caller passes.
// A model providing m.call_override<Op>(args...) -> std::optional<bool> answers with the
// override's result (its truth, where the caller uses it), or with none when the engine's own
// operation stands.
template <EngineOperation Op, class M, class Own, class... Args>
auto run_operation(M& m, Own&& own, const Args&... args) -> decltype(own()) {
  if constexpr (OverridesOperations<M>) {
    if (const std::optional<bool> result = m.template call_override<Op>(args...)) {
      if constexpr (std::is_void_v<decltype(own())>)
        return;
      else
        return *result;
    }
  }
  return own();
}

}  // namespace torvex::core
