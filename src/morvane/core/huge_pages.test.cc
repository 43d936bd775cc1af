#include "morvane/core/huge_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace morvane {

TEST(huge_pages, large_blocks_sit_on_2_mib_boundaries) {
  for (size_t bytes : {size_t(1) << 20, (size_t(3) << 20) + 5}) {
    void* p = allocate_huge(bytes);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (size_t(2) << 20), 0u) << bytes;
    std::memset(p, 0xAB, bytes);  // the whole block is usable
    std::free(p);
  }
  void* small = allocate_huge(0);
  ASSERT_NE(small, nullptr);
  std::free(small);
}

TEST(huge_pages, sizes_that_cannot_be_rounded_up_run_out_of_memory) {
  // Rounding these up to whole pages would wrap past zero to a block of no bytes.
  for (size_t bytes : {SIZE_MAX, SIZE_MAX - 4094})
    EXPECT_THROW(std::free(allocate_huge(bytes)), std::bad_alloc) << bytes;
}

}  // namespace morvane
