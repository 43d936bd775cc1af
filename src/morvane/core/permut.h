#pragma once
// Permutations of at most 8 positions packed in one 32-bit word: the image of position k in bits
// 3k..3k+2, the length in bits 24..27.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "morvane/core/panic.h"
#include "morvane/core/siphash.h"

namespace morvane {

struct Permut32 {
  uint32_t raw = 0;

  static Permut32 identity(uint8_t n);
  static Permut32 from_raw(uint32_t raw) { return Permut32{raw}; }
  /// Validating: values must be below 8 and distinct.
  static Permut32 from_iter(std::span<const uint8_t> values);
  static Permut32 from_iter_unchecked(std::span<const uint8_t> values);
  /// Length n; images from `values`, then each remaining position takes its own index if free,
  /// else the lowest free value. n above 8 and values of 8 or more stop, like repeated values.
  static Permut32 from_iter_with_ext(uint8_t n, std::span<const uint8_t> values);
  /// Entry n of ALL_PERMUTATIONS (Heap's order).
  static const std::vector<Permut32>& all(uint8_t n);

  uint8_t len() const { return (raw >> 24) & 0xF; }
  uint8_t at(uint8_t k) const {
    if (k >= 8) [[unlikely]]
      panic("assertion failed: idx < 8");
    return (raw >> (3 * k)) & 7;
  }
  uint8_t at_unchecked(uint8_t k) const { return (raw >> (3 * k)) & 7; }
  void set(uint8_t k, uint8_t v) { raw = (raw & ~(7u << (3 * k))) | (uint32_t(v & 7) << (3 * k)); }
  void set_len(uint8_t n) { raw = (raw & ~(0xFu << 24)) | (uint32_t(n & 0xF) << 24); }

  Permut32 inv() const {
    const uint8_t n = len();
    if (n > 8) [[unlikely]]
      return inv_slow();
    Permut32 r{uint32_t(n) << 24};
    for (uint8_t k = 0; k < n; ++k) r.set(at_unchecked(k), k);
    return r;
  }
  Permut32 inverse() const { return inv(); }
  /// k -> a[b[k]]; equal lengths required.
  friend Permut32 operator*(Permut32 a, Permut32 b) {
    const uint8_t n = a.len();
    if (n != b.len()) [[unlikely]]
      panic("assertion failed: self.len() == other.len()");
    if (n > 8) [[unlikely]]
      return compose_slow(a, b);
    uint32_t r = uint32_t(n) << 24;
    for (uint8_t k = 0; k < n; ++k) r |= uint32_t(a.at_unchecked(b.at_unchecked(k))) << (3 * k);
    return Permut32{r};
  }
  /// Pads the shorter of the two with fixed points up to the longer length.
  std::pair<Permut32, Permut32> coordinate_permute(Permut32 other) const;
  Permut32 shrink(uint8_t n) const;
  Permut32 swap_inputs(uint8_t a, uint8_t b) const;
  /// Moves bit k of a basis-state index to bit at(k).
  uint8_t permut_bv(uint8_t bv) const;
  /// The compare-exchange pairs of the sorting network that put the images in ascending order.
  std::vector<std::pair<uint8_t, uint8_t>> generate_swaps() const;
  bool is_identity() const;
  /// The rank among all permutations of this length in lexicographic order of the images
  /// (the identity is 0); `from_lehmer_rank` is its inverse.
  uint32_t lehmer_rank() const;
  static Permut32 from_lehmer_rank(uint8_t n, uint32_t rank);
  std::vector<uint8_t> images() const;
  std::string to_string() const;

  friend bool operator==(Permut32, Permut32) = default;

 private:
  // Lengths above 8 come only from unchecked words; these stop where a position reaches 8.
  Permut32 inv_slow() const;
  static Permut32 compose_slow(Permut32 a, Permut32 b);

 public:
  void hash_into(SipHasher13& h) const { h.write_u32(raw); }
};

/// Compare-exchange pairs sorting n values, n = 0..8.
std::span<const std::pair<uint8_t, uint8_t>> sorting_network(size_t n);

}  // namespace morvane
