#include "morvane/core/interrupt.h"

#include <atomic>

namespace morvane::interrupt {

namespace {
std::atomic<Check> installed{nullptr};
}  // namespace

void install(Check c) { installed.store(c, std::memory_order_release); }

void check() {
  if (Check c = installed.load(std::memory_order_acquire)) c();
}

pool::StopToken stop_token() {
  return pool::StopToken([] {
    check();
    return false;
  });
}

}  // namespace morvane::interrupt
