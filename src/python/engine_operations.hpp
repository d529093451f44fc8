#pragma once
// The engine operations that other operations call (update calls intake, the rebuild,
// sort-and-filter and the replay; sort-and-filter the sort and the pruning; the rebuild the
// clearing), and how they are called on the Python model: as the engine object's own method,
// which a host subclass or the object itself may replace.
#include <array>
#include <cstddef>
#include <optional>

#include "core/model.hpp"
#include "python/host_gateway.hpp"
#include "python/ref.hpp"

namespace torvex::py {

// The operations' names, and the class's own functions for them: an engine object whose
// method is another function has it overridden.
struct EngineOperations {
  std::array<Ref, core::kEngineOperationCount> name;
  std::array<Ref, core::kEngineOperationCount> own;
};

inline constexpr const char* kEngineOperationNames[core::kEngineOperationCount] = {
    "add_new_snibs_to_pending",
    "sort_kerds_by_end_bar_index",
    "remove_kerd_by_end_bar_index",
    "sort_and_filter_kerds",
    "clear_all_kerd",
    "rebuild_kerd_from_most_recent_snib",
    "extend_kerd_to_first_cross_from_history"};

inline PyObject* call_argument(PyObject* value) {
  return value;
}
inline PyObject* call_argument(const Ref& value) {
  return value.get();
}

// engine.<operation>(args...): none where that is the class's own function bound to the engine
// (the core's operation then runs), else the call's result (its truth for intake).
template <core::EngineOperation Op, class... Args>
std::optional<bool> call_operation(HostGateway& host, PyObject* engine,
                                   const EngineOperations& operations, const Args&... args) {
  constexpr auto op = static_cast<std::size_t>(Op);
  Ref method = host.attr(engine, operations.name[op].get());
  if (PyMethod_Check(method.get()) && PyMethod_GET_SELF(method.get()) == engine &&
      PyMethod_GET_FUNCTION(method.get()) == operations.own[op].get())
    return std::nullopt;
  std::array<PyObject*, sizeof...(Args) + 1> argv{call_argument(args)...};
  Ref result = host.call(method.get(), argv.data(), sizeof...(Args), nullptr);
  if constexpr (Op == core::EngineOperation::add_new_snibs_to_pending)
    return host.flag(result.get());
  else
    return true;
}

}  // namespace torvex::py
