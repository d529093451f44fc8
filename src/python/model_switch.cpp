#include "python/model_switch.hpp"

#include <cstdlib>
#include <string_view>

namespace torvex::py {

bool accelerators_on() {
  if (!kAcceleratorsBuilt) return false;
  const char* value = std::getenv("TORVEX_ACCELERATORS");
  if (value == nullptr) return true;
  const std::string_view v(value);
  return !(v == "0" || v == "off" || v == "no" || v == "false");
}

}  // namespace torvex::py
