#pragma once
// An allocator for large tables: blocks of 1 MiB and more are placed on 2 MiB boundaries with
// transparent huge pages asked for, so lookups in a table of many megabytes miss the TLB far less
// often.

#include <cstddef>
#include <cstdlib>

namespace morvane {

/// `bytes` from malloc, or for 1 MiB and more rounded up to whole 2 MiB pages on a 2 MiB boundary,
/// marked for huge pages. Freed with std::free; throws std::bad_alloc when memory runs out.
void* allocate_huge(size_t bytes);

template <typename T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}  // NOLINT: rebinding is implicit
  T* allocate(size_t n) { return static_cast<T*>(allocate_huge(n * sizeof(T))); }
  void deallocate(T* p, size_t) noexcept { std::free(p); }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

}  // namespace morvane
