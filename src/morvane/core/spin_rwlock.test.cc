#include "morvane/core/spin_rwlock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "morvane/testing/testing.h"

namespace morvane {

using testing::Stops;

namespace {
/// With the lock held as the caller left it, a thread taking it with `take` (and releasing it)
/// must still be waiting after being turned away many times, and get through once `release` has
/// run.
template <typename Take, typename Release>
void expect_waits_until_released(SpinRwLock& lock, Take take, Release release) {
  std::atomic<bool> through{false};
  const uint32_t before = lock.turned_away();
  std::thread other([&] {
    take(lock);
    through = true;
  });
  while (lock.turned_away() - before < 100000 && !through.load()) std::this_thread::yield();
  EXPECT_FALSE(through.load());
  release(lock);
  other.join();
  EXPECT_TRUE(through.load());
  EXPECT_EQ(lock.raw_word(), 0u);
}

void take_shared(SpinRwLock& lock) { std::shared_lock guard(lock); }
void take_exclusive(SpinRwLock& lock) { std::lock_guard guard(lock); }
}  // namespace

TEST(spin_rwlock, readers_count_in_steps_of_four_and_a_writer_sets_bit_zero) {
  SpinRwLock lock;
  lock.lock_shared();
  lock.lock_shared();
  EXPECT_EQ(lock.raw_word(), 8u);
  lock.unlock_shared();
  EXPECT_EQ(lock.raw_word(), 4u);
  lock.unlock_shared();
  EXPECT_EQ(lock.raw_word(), 0u);
  lock.lock();
  EXPECT_EQ(lock.raw_word(), 1u);
  lock.unlock();
  EXPECT_EQ(lock.raw_word(), 0u);
}

TEST(spin_rwlock, reader_limit) {
  SpinRwLock lock;
  lock.set_raw_word(0x7FFFFFFCu);  // the last value a reader may still join
  lock.lock_shared();
  EXPECT_EQ(lock.raw_word(), 0x80000000u);
  for (uint32_t word : {0x80000000u, 0x7FFFFFFDu, 0xFFFFFFF0u}) {
    lock.set_raw_word(word);
    EXPECT_THAT([&] { lock.lock_shared(); }, Stops("Too many lock readers, cannot safely proceed")) << std::hex << word;
    EXPECT_EQ(lock.raw_word(), word) << "the failed reader's increment is undone";
  }
}

TEST(spin_rwlock, a_writer_keeps_readers_out_until_it_releases) {
  SpinRwLock lock;
  lock.lock();
  expect_waits_until_released(lock, take_shared, [](SpinRwLock& l) { l.unlock(); });
}

TEST(spin_rwlock, a_reader_keeps_writers_out_until_it_releases) {
  SpinRwLock lock;
  lock.lock_shared();
  expect_waits_until_released(lock, take_exclusive, [](SpinRwLock& l) { l.unlock_shared(); });
}

TEST(spin_rwlock, the_reserved_bit_holds_new_readers_back) {
  SpinRwLock lock;
  lock.set_raw_word(2);
  // unlock clears bits 0 and 1 atomically, leaving the spinning reader's count alone.
  expect_waits_until_released(lock, take_shared, [](SpinRwLock& l) { l.unlock(); });
}

TEST(spin_rwlock, a_stop_while_holding_gives_the_hold_back) {
  SpinRwLock lock;
  auto stop_while = [](auto&& guard) {
    (void)guard;
    panic("stop");
  };
  EXPECT_THAT([&] { stop_while(std::shared_lock(lock)); }, Stops("stop"));
  EXPECT_EQ(lock.raw_word(), 0u);
  EXPECT_THAT([&] { stop_while(std::unique_lock(lock)); }, Stops("stop"));
  EXPECT_EQ(lock.raw_word(), 0u);
}

TEST(spin_rwlock, concurrent_readers_and_writers_never_overlap) {
  SpinRwLock lock;
  constexpr int kThreads = 8, kRounds = 20000;
  int counter = 0;  // written only under the write lock
  std::atomic<int> inside_writers{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < kRounds; ++k) {
        if ((k + t) % 4 == 0) {
          std::lock_guard guard(lock);
          if (inside_writers.fetch_add(1) != 0) overlap = true;
          ++counter;
          inside_writers.fetch_sub(1);
        } else {
          std::shared_lock guard(lock);
          if (inside_writers.load() != 0 || (lock.raw_word() & 1u)) overlap = true;
        }
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(counter, kThreads * kRounds / 4);
  EXPECT_EQ(lock.raw_word(), 0u);
}

}  // namespace morvane
