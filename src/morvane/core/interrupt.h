#pragma once
// Stopping long work from outside. The binding layer installs a check that runs the interpreter's
// pending signal handlers and throws what they raise (KeyboardInterrupt for Ctrl-C); long loops on
// the calling thread call `interrupt::check` at points where unwinding leaves nothing half-changed.
// Without an installed check (the C++ tests, the benchmarks) it does nothing.
//
// Loops that run millions of cheap steps call `Ticker::tick`, which runs the check only every
// `period` calls, so the check costs nothing measurable.

#include <cstdint>

#include "morvane/core/pool.h"

namespace morvane::interrupt {

/// Throws when pending signals ask the current operation to end; called on the thread that runs
/// the operation, never on a worker.
using Check = void (*)();

/// Installs (or, with nullptr, removes) the process's check.
void install(Check check);

/// Runs the installed check, if any.
void check();

/// A stop token for a parallel step whose poll runs the installed check on the calling thread:
/// what the check throws ends the step.
pool::StopToken stop_token();

/// Runs the check every `period` ticks; a tick may count several units of work.
class Ticker {
 public:
  explicit Ticker(uint32_t period) : period_(period) {}
  void tick(uint32_t units = 1) {
    count_ += units;
    if (count_ >= period_) {
      count_ = 0;
      check();
    }
  }

 private:
  uint32_t period_;
  uint64_t count_ = 0;
};

}  // namespace morvane::interrupt
