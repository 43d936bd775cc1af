#pragma once
// A stable sort of records that each come with a 64-bit key ordering them as their comparison does
// (a prefix of it): an LSD radix sort of the keys, the comparison only between records whose keys
// agree, and one in-place move of the records into their places. Faster than std::stable_sort
// where records are large or their comparison is slow, since neither is touched per pass.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace morvane {

/// Moves records[k] to records[place[k]] for every k, in place; `place` (a permutation of the
/// positions) is consumed. The moves go in two steps that each keep their writes close together:
/// into blocks of places small enough for the cache (as American flag sort fills its buckets),
/// then along the cycles within each block.
template <typename T>
void move_to_places(std::span<T> records, std::span<uint32_t> place) {
  using std::swap;
  const size_t n = records.size();
  if (n < 2) return;
  constexpr unsigned kBlockBits = 12;
  const size_t blocks = ((n - 1) >> kBlockBits) + 1;
  std::vector<size_t> next(blocks);
  for (size_t b = 0; b < blocks; ++b) next[b] = b << kBlockBits;
  for (size_t b = 0; b < blocks; ++b) {
    const size_t end = std::min((b + 1) << kBlockBits, n);
    while (next[b] < end) {
      const size_t at = next[b], to = place[at] >> kBlockBits;
      if (to != b) {
        swap(records[at], records[next[to]]);
        swap(place[at], place[next[to]]);
      }
      ++next[to];
    }
  }
  for (size_t at = 0; at < n; ++at)
    while (place[at] != at) {
      const size_t to = place[at];
      swap(records[at], records[to]);
      swap(place[at], place[to]);
    }
}

/// Sorts `records` stably by `less`, where keys[k] is the key of records[k] and a smaller key means
/// an earlier record: less(a, b) whenever key(a) < key(b) in the bits compared. Only the key bits
/// above the lowest bit_width(n - 1) are compared (the low ones carry the record's position), and
/// records that agree in them are ordered by `less`. The keys' room serves the sort.
template <typename T, typename Less>
void stable_sort_by_keys(std::vector<T>& records, std::vector<uint64_t> keys, Less less) {
  const size_t n = records.size();
  if (n < 2) return;
  if (n > UINT32_MAX) return std::stable_sort(records.begin(), records.end(), less);
  // A key with its low bits replaced by the record's position; sorted by the upper bits (an LSD
  // radix sort, which keeps the positions in order), then by `less` where the upper bits agree.
  const unsigned index_bits = unsigned(std::bit_width(n - 1));
  const uint64_t index_mask = (uint64_t(1) << index_bits) - 1;
  // Digits of 8 bits from the top; the last one takes what is left above the position.
  constexpr unsigned kDigitBits = 8;
  const unsigned digits = (64 - index_bits + kDigitBits - 1) / kDigitBits;
  auto shift_of = [&](unsigned d) { return std::max(64 - kDigitBits * (d + 1), index_bits); };
  std::vector<std::array<uint32_t, 256>> counts(digits);
  for (size_t k = 0; k < n; ++k) {
    keys[k] = (keys[k] & ~index_mask) | k;
    for (unsigned d = 0; d < digits; ++d) ++counts[d][(keys[k] >> shift_of(d)) & 0xFF];
  }
  {
    auto spare = std::make_unique_for_overwrite<uint64_t[]>(n);
    uint64_t* from = keys.data();
    uint64_t* to = spare.get();
    for (unsigned d = digits; d-- > 0;) {
      const unsigned shift = shift_of(d);
      auto& at = counts[d];
      // A digit that all keys share (the end of short keys, mostly) needs no pass.
      if (at[(from[0] >> shift) & 0xFF] == n) continue;
      uint32_t sum = 0;
      for (uint32_t& c : at) sum += std::exchange(c, sum);
      for (size_t k = 0; k < n; ++k) to[at[(from[k] >> shift) & 0xFF]++] = from[k];
      std::swap(from, to);
    }
    if (from != keys.data()) std::copy(from, from + n, keys.data());
  }
  for (size_t lo = 0, hi; lo < n; lo = hi) {
    for (hi = lo + 1; hi < n && (keys[hi] & ~index_mask) == (keys[lo] & ~index_mask);) ++hi;
    if (hi - lo > 1)
      std::stable_sort(keys.begin() + ptrdiff_t(lo), keys.begin() + ptrdiff_t(hi),
                       [&](uint64_t a, uint64_t b) { return less(records[a & index_mask], records[b & index_mask]); });
  }
  auto place = std::make_unique_for_overwrite<uint32_t[]>(n);
  for (size_t k = 0; k < n; ++k) place[keys[k] & index_mask] = uint32_t(k);
  keys = std::vector<uint64_t>();
  move_to_places(std::span<T>(records), std::span<uint32_t>(place.get(), n));
}

}  // namespace morvane
