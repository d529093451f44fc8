#pragma once
// Keeping the cyclic collector from running while the engine's own code builds objects.
#include <Python.h>

namespace torvex::py {

// The collector paused while a batch call builds its results. They are containers of plain
// values, which can form no cycle, but every few hundred of them start a collection, and the
// older generations' collections walk all that was built so far: over a long history the
// collector's walks grow with the square of the bars. Collection resumes with the call's end,
// however it ends, unless the collector was already off.
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

// Before 3.12 a collection runs at whichever allocation crosses the threshold, in the middle of
// C code; from 3.12 on it waits for the next bytecode. A rebuild makes a line per pivot without
// running any bytecode, and on 3.11 every collection within it carries the lines made so far
// into an older generation, so the collections' work per pivot grows with the pivots. A hold
// gives 3.11 what later versions do by themselves: while held, the collector is off; it is back
// on before any host code runs (whoever runs host code releases the hold first) and when the
// hold's scope ends. Held only where the collector was on; from 3.12 on, a hold does nothing.
class CollectorHold {
 public:
  class Scope {
   public:
    explicit Scope(CollectorHold& hold) noexcept : hold_(hold), took_(hold.take()) {}
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope() {
      if (took_) hold_.release();
    }

   private:
    CollectorHold& hold_;
    bool took_;
  };

  void release() noexcept {
    if (held_) {
      held_ = false;
      PyGC_Enable();
    }
  }

 private:
  bool take() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (!held_ && PyGC_Disable() != 0) return held_ = true;
#endif
    return false;
  }

  bool held_ = false;
};

}  // namespace torvex::py
