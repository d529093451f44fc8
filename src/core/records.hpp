#pragma once
// Plain records of the native object model: the same fields as the Python record classes.
#include <cstdint>
#include <optional>

namespace torvex::core {

struct Snib {
  int32_t n = 0;
  int32_t m = 0;
  double price = 0.0;
  double close_at_pivot = 0.0;
  int32_t bar_index_at_pivot = 0;
  int32_t bar_time_at_pivot = 0;
  bool is_high = false;
  bool is_trending = false;
  bool used = false;
  double close_avg_percent = 0.0;
};

struct Mavet {
  double break_kerd_at_price = 0.0;
  int32_t break_kerd_at_bar_index = 0;
  int32_t recover_at_bar_index = -1;  // -1: no recovery bar known
  int32_t break_kerd_extend_bar_cross = 0;
  int32_t bar_count_close_above_kerd = 0;
  int32_t vip_snib_count = 0;
  bool recovered = false;
};

// The flags both window check results carry before their window, in field order.
#define TORVEX_CHECK_FLAGS(X) \
  X(close_above_low_and_kerd) \
  X(violate_extend_bar_cross) \
  X(violate_recover_window)   \
  X(violate_signal_window)    \
  X(violate_search_range_close_above_bar_count)

#define TORVEX_FLAG_MEMBER(name) bool name = false;
struct MavetResult {
  bool has_signal = false;
  TORVEX_CHECK_FLAGS(TORVEX_FLAG_MEMBER)
  std::optional<Mavet> mavet;
};

struct MavetFailure {
  TORVEX_CHECK_FLAGS(TORVEX_FLAG_MEMBER)
  std::optional<Mavet> mavet;
};
#undef TORVEX_FLAG_MEMBER

struct MavetSuccess {
  bool has_signal = false;
  bool is_vvip_signal = false;
  std::optional<Mavet> mavet;
};

struct MavetResultV2 {
  std::optional<MavetFailure> failure;
  std::optional<MavetSuccess> success;
};

// The result's is_kerd_satisfied(): a success that carries a signal.
inline bool is_kerd_satisfied(const MavetResultV2& result) {
  return result.success && result.success->has_signal;
}

}  // namespace torvex::core
