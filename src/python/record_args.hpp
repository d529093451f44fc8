#pragma once
// What the engine passes to its pivot and window record classes, in the order of the keyword
// names the model context holds (snib_kwnames, mavet_kwnames); both object models build them.
#include <array>
#include <cstddef>

#include "core/records.hpp"
#include "python/host_value.hpp"
#include "python/ref.hpp"

namespace torvex::py {

inline std::array<Ref, 9> snib_record_args(const core::Snib& snib) {
  return {from_index(snib.n),
          from_index(snib.m),
          from_number(snib.price),
          from_number(snib.close_at_pivot),
          from_index(snib.bar_index_at_pivot),
          from_index(snib.bar_time_at_pivot),
          from_flag(snib.is_high),
          from_flag(snib.is_trending),
          from_number(snib.close_avg_percent)};
}

// `recovered` is not among them: the engine sets it after construction.
inline std::array<Ref, 6> mavet_record_args(const core::Mavet& window) {
  return {from_number(window.break_kerd_at_price),
          from_index(window.break_kerd_at_bar_index),
          window.recover_at_bar_index == -1 ? Ref::borrow(Py_None)
                                            : from_index(window.recover_at_bar_index),
          from_index(window.break_kerd_extend_bar_cross),
          from_index(window.bar_count_close_above_kerd),
          from_index(window.vip_snib_count)};
}

// The objects of `made`, borrowed from it, as a vectorcall takes them.
template <std::size_t N>
std::array<PyObject*, N> borrowed(const std::array<Ref, N>& made) {
  std::array<PyObject*, N> objects;
  for (std::size_t i = 0; i < N; ++i) objects[i] = made[i].get();
  return objects;
}

}  // namespace torvex::py
