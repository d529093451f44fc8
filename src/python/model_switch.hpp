#pragma once
// The one switch of the Python model's accelerators. Every operation runs on the plain model
// (python/plain_model.hpp) when the accelerators are off: in a build with the CMake option
// TORVEX_ACCELERATORS=OFF (which compiles none of them into the operations), or where the
// environment variable TORVEX_ACCELERATORS is 0, off, no or false when a module is imported.

namespace torvex::py {

#ifdef TORVEX_NO_ACCELERATORS
inline constexpr bool kAcceleratorsBuilt = false;
#else
inline constexpr bool kAcceleratorsBuilt = true;
#endif

// Whether this build has the accelerators and the environment leaves them on; read when a
// module is imported.
bool accelerators_on();

}  // namespace torvex::py
