// Accelerator: a merge's weighted value, remembered from the crossing test that weighed it.
// Replaces weighing the joined values again in the backward merge that follows. Valid for the
// same two lines and weights while no host code has run since it was weighed (the gateway's
// epoch).
#include "python/python_model.hpp"

#include <bit>
#include <utility>

namespace torvex::py {

void PythonModel::remember_merged_value(const Line& first, const Line& second, double last,
                                        double second_last, double general, double value,
                                        uint64_t stamp_before) const {
  merged_ = {};
  if (host_.epoch() != stamp_before) return;  // host code ran while the value was weighed
  merged_ = {
      first.identity(), second.identity(), {last, second_last, general}, value, host_.epoch()};
}

std::optional<double> PythonModel::recall_merged_value(const Line& first, const Line& second,
                                                       double last, double second_last,
                                                       double general) const {
  const MergedValue k = std::exchange(merged_, MergedValue{});
  const double weights[3] = {last, second_last, general};
  for (int i = 0; i < 3; ++i)
    if (std::bit_cast<uint64_t>(weights[i]) != std::bit_cast<uint64_t>(k.weights[i]))
      return std::nullopt;
  if (k.first == nullptr || k.first != first.identity() || k.second != second.identity() ||
      k.epoch != host_.epoch())
    return std::nullopt;
  return k.value;
}

}  // namespace torvex::py
