#include "morvane/core/per_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace morvane {

namespace {

std::atomic<int> alive{0};

struct Counted {
  Counted() { alive.fetch_add(1); }
  ~Counted() { alive.fetch_sub(1); }
  int value = 0;
};

struct Other {
  int value = 0;
};

}  // namespace

TEST(per_thread, one_object_per_type_and_thread_destroyed_with_its_thread) {
  per_thread<Counted>().value = 1;
  per_thread<Other>().value = 2;
  EXPECT_EQ(&per_thread<Counted>(), &per_thread<Counted>());
  const int before = alive.load();
  std::thread([&] {
    EXPECT_EQ(per_thread<Counted>().value, 0);  // a new object on this thread
    EXPECT_EQ(alive.load(), before + 1);
    per_thread<Counted>().value = 3;
  }).join();
  EXPECT_EQ(alive.load(), before);  // gone with its thread
  EXPECT_EQ(per_thread<Counted>().value, 1);
  EXPECT_EQ(per_thread<Other>().value, 2);
}

}  // namespace morvane
