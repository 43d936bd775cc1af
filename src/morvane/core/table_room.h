#pragma once
// Room in an absl hash table before it fills. The packaged absl sets a table's larger capacity
// before it allocates the storage for it, so a table whose growth runs out of memory can no longer
// be destroyed (its destructor walks and frees storage it does not have) and the process ends. A
// table that may grow while memory runs short gets its room here instead: a new table made with
// its storage (a constructor that throws leaves nothing to destroy) takes the elements over, which
// cannot fail, and replaces it. Tables from which nothing is erased only: the room is read from
// the size and the capacity alone.

#include <algorithm>
#include <cstddef>
#include <utility>

namespace morvane {

/// Whether `table` takes `more` new elements without growing.
template <typename Table>
bool has_room(const Table& table, size_t more) {
  // One short of absl's growth limit (7/8 of the capacity, or 6 of 7), so that a table this says
  // has room never grows itself.
  const size_t capacity = table.capacity();
  return table.size() + more < capacity - capacity / 8;
}

/// Makes room in `table` for `more` new elements; a table that grows holds at least twice its
/// elements.
template <typename Table>
void make_room(Table& table, size_t more) {
  if (has_room(table, more)) return;
  const size_t elements = std::max(table.size() + more, 2 * table.size());
  // Slots enough that 7/8 of them exceed `elements`.
  Table grown(elements + elements / 7 + 2, table.hash_function(), table.key_eq());
  grown.merge(table);
  table = std::move(grown);
}

}  // namespace morvane
