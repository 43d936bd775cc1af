#pragma once
// The registry's spinning reader-writer lock. Bit 0: a writer holds it; bit 1: reserved (readers
// wait while it is set); bits 2 and up: readers, 4 each. Waiting spins, never sleeps; a waiting
// writer sets no bit, so a steady stream of readers can hold it off.

#include <atomic>
#include <cstdint>

#include "morvane/core/panic.h"

namespace morvane {

inline void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

class SpinRwLock {
 public:
  void lock_shared() {
    while (true) {
      uint32_t v = word_.fetch_add(4, std::memory_order_acquire);
      if (v > 0x7FFFFFFCu) {
        word_.fetch_sub(4, std::memory_order_relaxed);
        panic("Too many lock readers, cannot safely proceed");
      }
      if ((v & 3u) == 0) return;
      word_.fetch_sub(4, std::memory_order_release);
      turned_away_.fetch_add(1, std::memory_order_relaxed);
      spin_hint();
    }
  }
  void unlock_shared() { word_.fetch_sub(4, std::memory_order_release); }

  void lock() {
    uint32_t expected = 0;
    while (!word_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
      expected = 0;
      turned_away_.fetch_add(1, std::memory_order_relaxed);
      spin_hint();
    }
  }
  void unlock() { word_.fetch_and(~3u, std::memory_order_release); }

  uint32_t raw_word() const { return word_.load(std::memory_order_relaxed); }
  /// For tests of the reader limit only.
  void set_raw_word(uint32_t v) { word_.store(v, std::memory_order_relaxed); }
  /// How many times a thread found the lock held and went round again (wrapping): tests see
  /// from it that a thread is waiting.
  uint32_t turned_away() const { return turned_away_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> word_{0};
  std::atomic<uint32_t> turned_away_{0};
};

}  // namespace morvane
