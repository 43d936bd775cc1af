#include "morvane/core/huge_pages.h"

#include <sys/mman.h>

#include <new>

namespace morvane {

void* allocate_huge(size_t bytes) {
  constexpr size_t kHuge = size_t(2) << 20;
  void* p;
  if (bytes >= kHuge / 2) {
    size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
    p = std::aligned_alloc(kHuge, rounded);
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
  } else {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace morvane
