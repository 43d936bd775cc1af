#include "morvane/core/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace morvane {

void* allocate_huge(size_t bytes) {
  constexpr size_t kHuge = size_t(2) << 20;
  void* p;
  if (bytes >= kHuge / 2) {
    // Whole huge pages back the block but for its tail, which takes small pages: rounding the
    // block up to a whole huge page would make up to 2 MiB more resident for nothing.
    constexpr size_t kPage = 4096;
    if (bytes > SIZE_MAX - (kPage - 1)) throw std::bad_alloc();  // no room to round up
    const size_t rounded = (bytes + kPage - 1) / kPage * kPage;
    if (posix_memalign(&p, kHuge, rounded) != 0) p = nullptr;
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
  } else {
    p = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (!p) throw std::bad_alloc();
  return p;
}

void* map_pages(size_t bytes, bool huge) {
  constexpr size_t kHuge = size_t(2) << 20;
  const size_t slack = huge ? kHuge : 0;
  void* p = mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (!huge) return p;
  // Keep the 2 MiB-aligned part and give back the slack before and after it.
  const uintptr_t start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + kHuge - 1) / kHuge * kHuge;
  if (aligned > start) munmap(p, aligned - start);
  if (start + slack > aligned) munmap(reinterpret_cast<void*>(aligned + bytes), start + slack - aligned);
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void unmap_pages(void* p, size_t bytes) { munmap(p, bytes); }

}  // namespace morvane
