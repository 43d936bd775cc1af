#include "morvane/core/permut.h"

#include <mutex>

namespace morvane {

namespace {
using Pair = std::pair<uint8_t, uint8_t>;
constexpr Pair kNet2[] = {{0, 1}};
constexpr Pair kNet3[] = {{0, 2}, {0, 1}, {1, 2}};
constexpr Pair kNet4[] = {{0, 2}, {1, 3}, {0, 1}, {2, 3}, {1, 2}};
constexpr Pair kNet5[] = {{0, 3}, {1, 4}, {0, 2}, {1, 3}, {0, 1}, {2, 4}, {1, 2}, {3, 4}, {2, 3}};
constexpr Pair kNet6[] = {{0, 5}, {1, 3}, {2, 4}, {1, 2}, {3, 4}, {0, 3},
                          {2, 5}, {0, 1}, {2, 3}, {4, 5}, {1, 2}, {3, 4}};
constexpr Pair kNet7[] = {{0, 6}, {2, 3}, {4, 5}, {0, 2}, {1, 4}, {3, 6}, {0, 1}, {2, 5},
                          {3, 4}, {1, 2}, {4, 6}, {2, 3}, {4, 5}, {1, 2}, {3, 4}, {5, 6}};
constexpr Pair kNet8[] = {{0, 2}, {1, 3}, {4, 6}, {5, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7}, {0, 1}, {2, 3},
                          {4, 5}, {6, 7}, {2, 4}, {3, 5}, {1, 4}, {3, 6}, {1, 2}, {3, 4}, {5, 6}};
const std::span<const Pair> kNetworks[9] = {{}, {}, kNet2, kNet3, kNet4, kNet5, kNet6, kNet7, kNet8};

std::vector<Permut32> heap_enumeration(uint8_t n) {
  std::vector<Permut32> out;
  std::array<uint8_t, 8> list{};
  for (uint8_t i = 0; i < n; ++i) list[i] = i;
  std::array<size_t, 8> c{};
  auto emit = [&] { out.push_back(Permut32::from_iter_unchecked(std::span(list.data(), n))); };
  emit();
  size_t m = 0;
  while (true) {
    bool exchanged = false;
    while (m + 1 < n) {
      if (c[m] <= m) {
        size_t j = (m % 2 == 0) ? c[m] : 0;
        std::swap(list[j], list[m + 1]);
        ++c[m];
        m = 0;
        emit();
        exchanged = true;
        break;
      }
      c[m] = 0;
      ++m;
    }
    if (!exchanged) break;
  }
  return out;
}
}  // namespace

std::span<const std::pair<uint8_t, uint8_t>> sorting_network(size_t n) {
  check_index(9, n);
  return kNetworks[n];
}

Permut32 Permut32::identity(uint8_t n) {
  if (n > 8) panic("Permutation length must be less than or equal to 8");
  Permut32 p;
  for (uint8_t k = 0; k < n; ++k) p.set(k, k);
  p.set_len(n);
  return p;
}

Permut32 Permut32::from_iter(std::span<const uint8_t> values) {
  Permut32 p;
  uint8_t used = 0;
  uint8_t i = 0;
  for (uint8_t v : values) {
    if (v >= 8) panic("Permutation values must be less than 8");
    if (used & (1u << v)) panic("Permutation values must be unique");
    used |= uint8_t(1u << v);
    p.set(i++, v);
  }
  p.set_len(i);
  return p;
}

Permut32 Permut32::from_iter_unchecked(std::span<const uint8_t> values) {
  Permut32 p;
  uint8_t i = 0;
  for (uint8_t v : values) p.set(i++, v);
  p.set_len(i);
  return p;
}

Permut32 Permut32::from_iter_with_ext(uint8_t n, std::span<const uint8_t> values) {
  if (n > 8) panic("Permutation length must be less than or equal to 8");
  Permut32 p;
  uint8_t used = 0;
  size_t next = 0;
  for (uint8_t i = 0; i < n; ++i) {
    uint8_t v;
    if (next < values.size()) {
      v = values[next++];
      if (v >= 8) panic("Permutation values must be less than 8");
    } else if (!(used & (1u << i))) {
      v = i;
    } else {
      v = 0;
      while (used & (1u << v)) ++v;
    }
    if (used & (1u << v)) panic("Permutation values must be unique");
    p.set(i, v);
    used |= uint8_t(1u << v);
  }
  p.set_len(n);
  return p;
}

const std::vector<Permut32>& Permut32::all(uint8_t n) {
  static const std::array<std::vector<Permut32>, 9> table = [] {
    std::array<std::vector<Permut32>, 9> t;
    for (uint8_t k = 0; k <= 8; ++k) t[k] = heap_enumeration(k);
    return t;
  }();
  check_index(9, n);
  return table[n];
}

Permut32 Permut32::inv_slow() const {
  Permut32 r;
  uint8_t n = len();
  for (uint8_t k = 0; k < n; ++k) r.set(at(k), k);
  r.set_len(n);
  return r;
}

Permut32 Permut32::compose_slow(Permut32 a, Permut32 b) {
  Permut32 r;
  uint8_t n = a.len();
  for (uint8_t k = 0; k < n; ++k) r.set(k, a.at(b.at(k)));
  r.set_len(n);
  return r;
}

std::pair<Permut32, Permut32> Permut32::coordinate_permute(Permut32 other) const {
  auto pad = [](Permut32 p, uint8_t n) {
    Permut32 r = p;
    for (uint8_t k = p.len(); k < n; ++k) r.set(k, k);
    r.set_len(n);
    return r;
  };
  if (len() == other.len()) return {*this, other};
  if (len() < other.len()) return {pad(*this, other.len()), other};
  return {*this, pad(other, len())};
}

Permut32 Permut32::shrink(uint8_t n) const {
  Permut32 r;
  for (uint8_t k = 0; k < n && k < 8; ++k) r.set(k, at_unchecked(k));
  r.set_len(n);
  return r;
}

Permut32 Permut32::swap_inputs(uint8_t a, uint8_t b) const {
  Permut32 r = *this;
  uint8_t va = at(a), vb = at(b);
  r.set(a, vb);
  r.set(b, va);
  return r;
}

uint8_t Permut32::permut_bv(uint8_t bv) const {
  uint8_t r = 0;
  uint8_t n = len();
  for (uint8_t k = 0; k < n; ++k)
    if (bv & (1u << k)) r |= uint8_t(1u << at(k));
  return r;
}

std::vector<std::pair<uint8_t, uint8_t>> Permut32::generate_swaps() const {
  std::vector<std::pair<uint8_t, uint8_t>> out;
  Permut32 copy = *this;
  for (auto [a, b] : sorting_network(len())) {
    uint8_t va = copy.at(a), vb = copy.at(b);
    if (va > vb) {
      copy.set(a, vb);
      copy.set(b, va);
      out.emplace_back(a, b);
    }
  }
  return out;
}

bool Permut32::is_identity() const {
  uint8_t n = len();
  for (uint8_t k = 0; k < n; ++k)
    if (at(k) != k) return false;
  return true;
}

uint32_t Permut32::lehmer_rank() const {
  const uint8_t n = len();
  uint32_t r = 0;
  for (uint8_t k = 0; k < n; ++k) {
    uint32_t smaller = 0;
    for (uint8_t j = k + 1; j < n; ++j) smaller += at_unchecked(j) < at_unchecked(k);
    r = r * (n - k) + smaller;
  }
  return r;
}

Permut32 Permut32::from_lehmer_rank(uint8_t n, uint32_t rank) {
  std::array<uint8_t, 8> digits{};
  for (int k = n - 1; k >= 0; --k) {
    uint32_t base = uint32_t(n - k);
    digits[size_t(k)] = uint8_t(rank % base);
    rank /= base;
  }
  std::array<uint8_t, 8> free{0, 1, 2, 3, 4, 5, 6, 7};
  uint8_t left = n;
  std::array<uint8_t, 8> images{};
  for (uint8_t k = 0; k < n; ++k) {
    images[k] = free[digits[k]];
    std::copy(free.begin() + digits[k] + 1, free.begin() + left, free.begin() + digits[k]);
    --left;
  }
  return from_iter_unchecked(std::span(images.data(), n));
}

std::vector<uint8_t> Permut32::images() const {
  std::vector<uint8_t> out;
  uint8_t n = len();
  for (uint8_t k = 0; k < n; ++k) out.push_back(at(k));
  return out;
}

std::string Permut32::to_string() const {
  std::string s = "(";
  uint8_t n = len();
  for (uint8_t k = 0; k < n; ++k) {
    if (k) s.push_back(' ');
    s += std::to_string(at(k));
  }
  s.push_back(')');
  return s;
}

}  // namespace morvane
