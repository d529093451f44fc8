#pragma once
// The cyclic collector paused while a batch call builds its results. They are containers of
// plain values, which can form no cycle, but every few hundred of them start a collection, and
// the older generations' collections walk all that was built so far: over a long history the
// collector's walks grow with the square of the bars. Collection resumes with the call's end,
// however it ends, unless the collector was already off.
#include <Python.h>

namespace torvex::py {

class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

}  // namespace torvex::py
