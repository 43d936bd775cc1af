#include "morvane/state/order_info.h"

#include <bit>

#include <fmt/format.h>

#include "morvane/core/per_thread.h"

namespace morvane {

namespace {

/// Exclusive use of this thread's cache for a scope.
class CacheBorrow {
 public:
  explicit CacheBorrow(StateVecCache& c) : cache_(c) {
    if (cache_.borrowed) panic("RefCell already borrowed");
    cache_.borrowed = true;
  }
  ~CacheBorrow() { cache_.borrowed = false; }
  CacheBorrow(const CacheBorrow&) = delete;
  CacheBorrow& operator=(const CacheBorrow&) = delete;
  StateVecCache& operator*() const { return cache_; }

 private:
  StateVecCache& cache_;
};

}  // namespace

OrderInfo::OrderInfo(size_t size) {
  if (size > kCapacity) panic(fmt::format("Order information is kept for at most {} qubits, got {}", kCapacity, size));
  n_ = uint8_t(size);
  for (size_t k = 0; k < size; ++k) permut_[k] = uint8_t(k);
  eq_classes_[0] = uint8_t(size);
  nclasses_ = 1;
}

uint8_t OrderInfo::eqmask() const {
  if (n_ < 2) return 0;
  uint32_t mask = ((uint32_t(1) << n_) - 1) & ~uint32_t(1);
  for (uint8_t e : eq_classes()) mask &= ~(uint32_t(1) << e);
  return uint8_t(mask);
}

std::pair<Permut32, uint8_t> OrderInfo::as_bits() const {
  if (n_ > 8) panic("Permutation length must be less than or equal to 8");
  // permut_ holds 0 … n−1 once each by construction: no need to check it again.
  uint32_t raw = uint32_t(n_) << 24;
  for (size_t j = 0; j < n_; ++j) raw |= uint32_t(permut_[j]) << (3 * j);
  return {Permut32::from_raw(raw), eqmask()};
}

std::pair<SymmetryPerms, Permut32> OrderInfo::as_perms() const {
  auto [perm, mask] = as_bits();
  const auto& table = EQMASK_TO_PERMS();
  size_t index = mask >> 1;
  check_index(table.size(), index);
  if (n_ > 5) panic(fmt::format("Symmetry permutations are tabulated for at most 5 qubits, got {}", n_));
  return {SymmetryPerms(table[index], n_), perm};
}

const std::array<std::vector<Permut32>, 16>& EQMASK_TO_PERMS() {
  static const std::array<std::vector<Permut32>, 16> table = [] {
    std::array<std::vector<Permut32>, 16> t;
    for (unsigned m = 0; m < 16; ++m) {
      // run[p] = the run holding position p.
      std::array<uint8_t, 5> run{};
      for (unsigned b = 0; b < 4; ++b) run[b + 1] = (m >> b) & 1 ? run[b] : uint8_t(run[b] + 1);
      for (Permut32 p : Permut32::all(5)) {
        bool keeps_runs = true;
        for (uint8_t k = 0; k < 5; ++k) keeps_runs = keeps_runs && run[p.at(k)] == run[k];
        if (keeps_runs) t[m].push_back(p);
      }
    }
    return t;
  }();
  return table;
}

StateVecCache& STATE_VEC_CACHE() { return per_thread<StateVecCache>(); }

void reserve_state_vec_cache(size_t size) {
  CacheBorrow borrow(STATE_VEC_CACHE());
  auto& entries = (*borrow).entries;
  while (entries.size() <= size) entries.push_back(StateVec::zeros(uint32_t(std::min<size_t>(entries.size(), 32))));
}

OrderInfo StateVec::get_orderinfo() const {
  const uint32_t n = nqubits();
  OrderInfo info(n);
  if (n < 2) return info;
  const size_t last = len() - 1;
  // The first part decides between qubits whose first parts differ, so the other three parts are
  // converted only for qubits that share their first part with another; the others keep zeros
  // there, which no comparison reaches.
  // When every first part differs, they alone give the order.
  std::array<uint64_t, OrderInfo::kCapacity> first;
  for (uint32_t q = 0; q < n; ++q) first[q] = re_[size_t(1) << q].percision_repr();
  uint32_t tied = 0;  // bit q: qubit q shares its first part with another
  for (uint32_t q = 0; q < n; ++q)
    for (uint32_t p = q + 1; p < n; ++p)
      if (first[p] == first[q]) tied |= (1u << p) | (1u << q);
  if (tied == 0) {
    info.sort_eqclass_by_key(0, [&](uint8_t q) { return first[q]; });
    return info;
  }
  std::array<std::array<uint64_t, 4>, OrderInfo::kCapacity> keys;
  for (uint32_t q = 0; q < n; ++q) {
    keys[q] = {first[q], 0, 0, 0};
    if (!((tied >> q) & 1)) continue;
    size_t one = size_t(1) << q, rest = last - one;
    keys[q][1] = im_[one].percision_repr();
    keys[q][2] = re_[rest].percision_repr();
    keys[q][3] = im_[rest].percision_repr();
  }
  info.sort_eqclass_by_key(0, [&](uint8_t q) -> const std::array<uint64_t, 4>& { return keys[q]; });
  return info;
}

Permut32 StateVec::get_permutation() const { return get_orderinfo().as_bits().first; }

bool StateVec::distinct_order(Permut32& perm, Permut32& inverse) const {
  return distinct_order_strided(re_.data(), 1, nqubits(), perm, inverse);
}

void StateVec::apply_permutation(Permut32 permut) {
  CacheBorrow borrow(STATE_VEC_CACHE());
  auto& entries = (*borrow).entries;
  const uint32_t n = nqubits();
  check_index(entries.size(), n);
  apply_permutation(permut, entries[n]);
}

namespace {

/// to[i] = from[sources[i]] for the L (or, with L = 0, n) amplitudes of both parts.
template <size_t L>
void gather_parts(const Qreal* from_re, const Qreal* from_im, Qreal* __restrict to_re, Qreal* __restrict to_im,
                  const uint8_t* sources, size_t n) {
  if constexpr (L > 0) n = L;
  for (size_t i = 0; i < n; ++i) {
    to_re[i] = from_re[sources[i]];
    to_im[i] = from_im[sources[i]];
  }
}

}  // namespace

RelabelTables::RelabelTables(uint32_t nqubits) : nqubits_(nqubits) {
  if (nqubits > 5) panic(fmt::format("Relabelling tables are kept for at most 5 qubits, got {}", nqubits));
  const auto& all = Permut32::all(uint8_t(nqubits));
  const size_t len = size_t(1) << nqubits;
  rank_by_images_.resize(size_t(1) << (3 * nqubits));
  sources_.resize(all.size() * len);
  for (Permut32 p : all) {
    const uint32_t r = p.lehmer_rank();
    rank_by_images_[p.raw & ((uint32_t(1) << (3 * nqubits)) - 1)] = uint8_t(r);
    uint8_t* to = sources_.data() + r * len;
    for (size_t from = 0; from < len; ++from) to[p.permut_bv(uint8_t(from))] = uint8_t(from);
  }
}

void RelabelTables::wrong_length(Permut32 p) const {
  panic(fmt::format("A permutation of {} positions relabels no state of {} qubits", p.len(), nqubits_));
}

void StateVec::relabel(const RelabelTables& tables, Permut32 permut, StateVec& scratch) {
  const size_t n = len();
  if (tables.nqubits() != nqubits() || scratch.len() != n)
    panic("assertion failed: relabelling tables and scratch vector fit the state");
  const uint8_t* sources = tables.sources(tables.rank(permut));
  const Qreal* re = re_.data();
  const Qreal* im = im_.data();
  switch (n) {
    case 4: gather_parts<4>(re, im, scratch.re_data(), scratch.im_data(), sources, n); break;
    case 8: gather_parts<8>(re, im, scratch.re_data(), scratch.im_data(), sources, n); break;
    case 16: gather_parts<16>(re, im, scratch.re_data(), scratch.im_data(), sources, n); break;
    case 32: gather_parts<32>(re, im, scratch.re_data(), scratch.im_data(), sources, n); break;
    default: gather_parts<0>(re, im, scratch.re_data(), scratch.im_data(), sources, n); break;
  }
  swap_arrays(scratch);
}

void StateVec::apply_permutation(Permut32 permut, StateVec& scratch) {
  const uint32_t n = nqubits();
  if (permut.len() != n || n > 8)
    panic(fmt::format("A permutation of {} positions cannot relabel a state of {} qubits", permut.len(), n));
  const size_t len = this->len();
  if (scratch.len() != len) panic("assertion failed: the scratch vector has the state's length");
  // Image of each single bit: basis state i moves to the OR of the images of its set bits.
  std::array<uint8_t, 8> image{};
  uint32_t seen = 0;
  for (uint8_t k = 0; k < n; ++k) {
    uint8_t v = permut.at_unchecked(k);
    check_index(len, size_t(1) << v);
    if (seen & (1u << v)) panic("Permutation values must be unique");
    seen |= 1u << v;
    image[k] = uint8_t(1u << v);
  }
  // Visit the indices in Gray-code order: one bit of the source flips per step, and with it one
  // bit of the target.
  Qreal* sre = scratch.re_data();
  Qreal* sim = scratch.im_data();
  sre[0] = re_[0];
  sim[0] = im_[0];
  size_t from = 0, to = 0;
  for (size_t t = 1; t < len; ++t) {
    unsigned k = unsigned(std::countr_zero(t));
    from ^= size_t(1) << k;
    to ^= image[k];
    sre[to] = re_[from];
    sim[to] = im_[from];
  }
  swap_arrays(scratch);
}

}  // namespace morvane
