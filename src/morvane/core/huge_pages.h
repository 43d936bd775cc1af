#pragma once
// Memory for large tables: blocks of 1 MiB and more placed on 2 MiB boundaries with transparent
// huge pages asked for, so lookups in a table of many megabytes miss the TLB far less often; and
// fresh pages mapped directly, resident only once touched, for storage that fills up from its start.

#include <cstddef>
#include <cstdlib>

namespace morvane {

/// `bytes` from malloc, or for 1 MiB and more on a 2 MiB boundary, marked for huge pages (which back
/// its whole 2 MiB parts). Freed with std::free; throws std::bad_alloc when memory runs out.
void* allocate_huge(size_t bytes);

/// `bytes` of fresh zero pages of the process's own, untouched (so not resident) until written;
/// with `huge` on a 2 MiB boundary and marked for huge pages (`bytes` then a multiple of 2 MiB).
/// Given back with unmap_pages; throws std::bad_alloc when the address space runs out.
void* map_pages(size_t bytes, bool huge);
void unmap_pages(void* p, size_t bytes);

}  // namespace morvane
