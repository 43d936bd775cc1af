#pragma once
// Qubit order and symmetry of a state: each qubit's order key (the amplitude of the basis state in
// which only that qubit is set, then of the one in which every other qubit is set), the qubits
// sorted by key and split into classes of equal keys (OrderInfo), the sorting permutation, the
// permutations that shuffle qubits only inside their classes (EQMASK_TO_PERMS), and the per-thread
// scratch vectors through which StateVec::apply_permutation relabels qubits.
//
// The hot paths allocate nothing: OrderInfo is held inline, OrderInfo::as_perms is a view into
// EQMASK_TO_PERMS, and relabelling goes through scratch arrays made beforehand (this thread's
// StateVecCache, or a scratch state the caller passes). Up to 5 qubits RelabelTables give,
// for every permutation, the source of each amplitude and the permutation's Lehmer rank; the
// evaluator relabels by them and indexes its relabelled backtrack states by those ranks.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

#include "morvane/core/panic.h"
#include "morvane/core/permut.h"
#include "morvane/state/state_vec.h"

namespace morvane {

/// The permutations of one EQMASK_TO_PERMS entry, each cut to n positions when read. Holds no
/// storage of its own.
class SymmetryPerms {
 public:
  SymmetryPerms() = default;  // none
  SymmetryPerms(std::span<const Permut32> entry, uint8_t n) : entry_(entry), n_(n) {}

  size_t size() const { return entry_.size(); }
  Permut32 operator[](size_t i) const { return cut(entry_[i]); }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Permut32;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    iterator(const Permut32* p, uint8_t n) : p_(p), n_(n) {}
    Permut32 operator*() const { return cut_to(*p_, n_); }
    iterator& operator++() {
      ++p_;
      return *this;
    }
    iterator operator++(int) {
      iterator r = *this;
      ++p_;
      return r;
    }
    friend bool operator==(iterator a, iterator b) { return a.p_ == b.p_; }

   private:
    const Permut32* p_ = nullptr;
    uint8_t n_ = 0;
  };
  iterator begin() const { return {entry_.data(), n_}; }
  iterator end() const { return {entry_.data() + entry_.size(), n_}; }

  /// Keeps the images of positions 0..n−1 and sets the length to n (Permut32::shrink).
  static Permut32 cut_to(Permut32 p, uint8_t n) {
    return Permut32::from_raw((p.raw & ((uint32_t(1) << (3 * n)) - 1)) | (uint32_t(n) << 24));
  }

 private:
  Permut32 cut(Permut32 p) const { return cut_to(p, n_); }
  std::span<const Permut32> entry_;
  uint8_t n_ = 0;
};

class OrderInfo {
 public:
  /// Enough for every state that can be built (at most 27 qubits).
  static constexpr size_t kCapacity = 32;

  /// permut = [0, 1, …, size−1], eq_classes = [size]: one class holding every qubit.
  explicit OrderInfo(size_t size);

  /// permut[j] is the qubit at sorted position j.
  std::span<const uint8_t> permut() const { return {permut_.data(), n_}; }
  /// Exclusive end positions of the classes in `permut`, strictly increasing, the last equal to n.
  std::span<const uint8_t> eq_classes() const { return {eq_classes_.data(), nclasses_}; }

  /// Sorts class `idx` by keyf(qubit) (stable; keys need < and ==) and splits it where the key
  /// changes; the class's old end stays last.
  template <typename KeyF>
  void sort_eqclass_by_key(size_t idx, KeyF&& keyf);

  /// Bit k (1 ≤ k ≤ n−1) set when sorted positions k−1 and k share a class; 0 for n < 2.
  uint8_t eqmask() const;
  /// The sorting permutation (image of position j = permut[j]) and the eqmask. At most 8 qubits.
  std::pair<Permut32, uint8_t> as_bits() const;
  /// The permutations of EQMASK_TO_PERMS[eqmask >> 1] cut to n positions, in table order, and the
  /// sorting permutation. Stops with the index message when the index is 16 or more, and for a
  /// state of more than 5 qubits (the table has 5 positions).
  std::pair<SymmetryPerms, Permut32> as_perms() const;

  friend bool operator==(const OrderInfo& a, const OrderInfo& b) {
    return std::ranges::equal(a.permut(), b.permut()) && std::ranges::equal(a.eq_classes(), b.eq_classes());
  }

 private:
  std::array<uint8_t, kCapacity> permut_{};
  std::array<uint8_t, kCapacity + 1> eq_classes_{};
  uint8_t n_ = 0;
  uint8_t nclasses_ = 0;
};

/// 16 entries; entry m holds every permutation of 5 positions that maps each run into itself,
/// where bit b of m set puts positions b and b+1 in one run, in the order of Permut32::all(5).
const std::array<std::vector<Permut32>, 16>& EQMASK_TO_PERMS();

/// Relabelling of states of n ≤ 5 qubits by table: for every permutation of n positions, the
/// amplitude index that moves to each index (StateVec::relabel), and the Lehmer rank of each
/// permutation by its image bits.
class RelabelTables {
 public:
  explicit RelabelTables(uint32_t nqubits);
  uint32_t nqubits() const { return nqubits_; }
  /// The Lehmer rank of a permutation of nqubits() positions.
  uint32_t rank(Permut32 p) const {
    if (p.len() != nqubits_) [[unlikely]]
      wrong_length(p);
    return rank_by_images_[p.raw & ((uint32_t(1) << (3 * nqubits_)) - 1)];
  }
  /// The amplitude that moves to each index under the permutation of Lehmer rank `rank`.
  const uint8_t* sources(uint32_t rank) const { return sources_.data() + (size_t(rank) << nqubits_); }

 private:
  [[noreturn]] void wrong_length(Permut32 p) const;
  uint32_t nqubits_;
  std::vector<uint8_t> rank_by_images_;  // by the low 3·nqubits bits of a permutation
  std::vector<uint8_t> sources_;         // 2^nqubits entries per rank
};

namespace detail {

/// distinct_order for N ≥ 2 qubits from the first parts of their order keys.
template <uint32_t N>
inline bool order_from_keys(const uint64_t* key, Permut32& perm, Permut32& inverse) {
  // Qubit q goes to sorted position rank[q], the number of smaller keys.
  uint32_t rank[N] = {};
  bool tie = false;
  for (uint32_t q = 1; q < N; ++q)
    for (uint32_t p = 0; p < q; ++p) {
      rank[q] += key[p] < key[q];
      rank[p] += key[q] < key[p];
      tie |= key[p] == key[q];
    }
  if (tie) return false;
  uint32_t perm_raw = N << 24, inverse_raw = N << 24;
  for (uint32_t q = 0; q < N; ++q) {
    perm_raw |= q << (3 * rank[q]);
    inverse_raw |= rank[q] << (3 * q);
  }
  perm = Permut32::from_raw(perm_raw);
  inverse = Permut32::from_raw(inverse_raw);
  return true;
}

/// distinct_order for N ≥ 2 qubits, the real part of amplitude i at re[i * stride].
template <uint32_t N>
inline bool distinct_order_of(const Qreal* re, size_t stride, Permut32& perm, Permut32& inverse) {
  uint64_t key[N];
  for (uint32_t q = 0; q < N; ++q) key[q] = re[(size_t(1) << q) * stride].percision_repr();
  return order_from_keys<N>(key, perm, inverse);
}

}  // namespace detail

/// StateVec::distinct_order of the state of `nqubits` qubits whose amplitude i has its real part
/// at re[i * stride].
inline bool distinct_order_strided(const Qreal* re, size_t stride, uint32_t nqubits, Permut32& perm,
                                   Permut32& inverse) {
  switch (nqubits) {
    case 0: perm = inverse = Permut32::identity(0); return true;
    case 1: perm = inverse = Permut32::identity(1); return true;
    case 2: return detail::distinct_order_of<2>(re, stride, perm, inverse);
    case 3: return detail::distinct_order_of<3>(re, stride, perm, inverse);
    case 4: return detail::distinct_order_of<4>(re, stride, perm, inverse);
    case 5: return detail::distinct_order_of<5>(re, stride, perm, inverse);
    case 6: return detail::distinct_order_of<6>(re, stride, perm, inverse);
    case 7: return detail::distinct_order_of<7>(re, stride, perm, inverse);
    case 8: return detail::distinct_order_of<8>(re, stride, perm, inverse);
    default: return false;
  }
}

/// This thread's scratch vectors: entry k has k qubits; its contents carry no meaning.
struct StateVecCache {
  std::vector<StateVec> entries;
  bool borrowed = false;
};
StateVecCache& STATE_VEC_CACHE();

/// Makes sure this thread's cache has entries 0 … size.
void reserve_state_vec_cache(size_t size);

template <typename KeyF>
void OrderInfo::sort_eqclass_by_key(size_t idx, KeyF&& keyf) {
  check_index(nclasses_, idx);
  const size_t start = idx == 0 ? 0 : eq_classes_[idx - 1];
  const size_t end = eq_classes_[idx];
  if (end - start < 2) return;
  // Insertion sort: stable, and allocation-free for the few qubits a class holds.
  for (size_t k = start + 1; k < end; ++k) {
    uint8_t q = permut_[k];
    auto key = keyf(q);
    size_t j = k;
    while (j > start && key < keyf(permut_[j - 1])) {
      permut_[j] = permut_[j - 1];
      --j;
    }
    permut_[j] = q;
  }
  // Split where the key changes: new ends go before the class's old end, in ascending order.
  uint8_t splits[kCapacity];
  size_t nsplits = 0;
  for (size_t k = start + 1; k < end; ++k)
    if (!(keyf(permut_[k - 1]) == keyf(permut_[k]))) splits[nsplits++] = uint8_t(k);
  if (nsplits == 0) return;
  for (size_t i = nclasses_; i-- > idx;) eq_classes_[i + nsplits] = eq_classes_[i];
  for (size_t i = 0; i < nsplits; ++i) eq_classes_[idx + i] = splits[i];
  nclasses_ = uint8_t(nclasses_ + nsplits);
}

}  // namespace morvane
