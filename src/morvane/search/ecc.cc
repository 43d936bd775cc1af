#include "morvane/search/ecc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <ranges>

#include <fmt/format.h>

#include "morvane/core/chacha.h"
#include "morvane/core/fmt_join.h"
#include "morvane/core/interrupt.h"
#include "morvane/core/panic.h"
#include "morvane/state/state_vec.h"

namespace morvane {

std::vector<Instr32> with_swaps(std::span<const Instr32> instrs, Permut32 perm) {
  std::vector<Instr32> out(instrs.begin(), instrs.end());
  for (auto [a, b] : perm.generate_swaps()) out.push_back(Instr32{gates::SWAP(), QArgs16{{a, b}}});
  return out;
}

ECC ECC::from_circuits(std::vector<PermutedCircuit> pairs) {
  if (pairs.size() > 1)
    std::stable_sort(pairs.begin(), pairs.end(), [](const PermutedCircuit& a, const PermutedCircuit& b) {
      if (a.instrs.size() != b.instrs.size()) return a.instrs.size() < b.instrs.size();
      return a < b;
    });
  check_index(pairs.size(), 0);
  // The qubits the first circuit uses, ascending and without repeats.
  std::array<uint64_t, 4> used{};
  for (Instr32 i : pairs[0].instrs)
    for (uint8_t q : i.qargs.as_slice()) used[q >> 6] |= uint64_t(1) << (q & 63);
  std::array<uint8_t, 256> used_qubits;
  size_t nused = 0;
  for (size_t w = 0; w < used.size(); ++w)
    for (uint64_t bits = used[w]; bits; bits &= bits - 1)
      used_qubits[nused++] = uint8_t(64 * w + size_t(std::countr_zero(bits)));
  Permut32 uniform_inv = Permut32::from_iter_with_ext(pairs[0].perm.len(), std::span(used_qubits.data(), nused));
  Permut32 uniform = uniform_inv.inv();
  for (PermutedCircuit& p : pairs) {
    for (Instr32& i : p.instrs) i = i.apply_permutation(uniform);
    p.perm = uniform * p.perm * uniform_inv;
  }
  return ECC{std::move(pairs)};
}

namespace {

/// A class's place in the ECC order as far as 8 bytes tell it (the first circuit's first
/// instructions as digits of a mixed radix, 0 where the circuit has ended), and its position.
/// Classes with different heads compare as their heads; the others need the whole comparison.
/// Twelve bytes, so that the keys of a collection take no more room than half of the collection.
struct EccSortKey {
  uint32_t head_hi, head_lo, index;
  uint64_t head() const { return (uint64_t(head_hi) << 32) | head_lo; }
};

/// Order-preserving codes of the instructions of the classes' first circuits: the ranks of the
/// qubit bytes and gate indices that occur there.
class InstrDigits {
 public:
  explicit InstrDigits(const std::vector<ECC>& eccs) {
    std::array<bool, 256> byte_seen{};
    std::vector<bool> gate_seen;
    for (const ECC& e : eccs)
      if (!e.circuits.empty())
        for (Instr32 i : e.circuits[0].instrs) {
          byte_seen[i.qargs.bytes[0]] = byte_seen[i.qargs.bytes[1]] = true;
          if (i.gate.index >= gate_seen.size()) gate_seen.resize(size_t(i.gate.index) + 1);
          gate_seen[i.gate.index] = true;
        }
    uint32_t bytes = 0;
    for (size_t b = 0; b < byte_seen.size(); ++b) byte_rank_[b] = uint8_t(bytes += byte_seen[b]);
    gate_rank_.resize(gate_seen.size());
    uint32_t gates = 0;
    for (size_t g = 0; g < gate_seen.size(); ++g) gate_rank_[g] = uint16_t(gates += gate_seen[g]);
    // Ranks start at 1: codes run from 1 to bytes² · gates, and 0 marks the end of a circuit.
    bytes_ = bytes;
    gates_ = gates;
    bits_ = std::max(1u, unsigned(std::bit_width(uint64_t(bytes_) * bytes_ * gates_)));
    in_head_ = 64 / bits_;
  }

  /// The bits of a head that can be set.
  unsigned head_bits() const { return unsigned(in_head_) * bits_; }

  EccSortKey key(const ECC& e, uint32_t index) const {
    uint64_t head = 0;
    if (!e.circuits.empty()) {
      const auto& instrs = e.circuits[0].instrs;
      for (size_t at = 0; at < in_head_; ++at) head = (head << bits_) | (at < instrs.size() ? code(instrs[at]) : 0);
    }
    return {uint32_t(head >> 32), uint32_t(head), index};
  }

 private:
  uint64_t code(Instr32 i) const {
    const uint64_t q0 = byte_rank_[i.qargs.bytes[0]] - 1u, q1 = byte_rank_[i.qargs.bytes[1]] - 1u;
    return (q0 * bytes_ + q1) * gates_ + gate_rank_[i.gate.index];
  }

  std::array<uint8_t, 256> byte_rank_{};
  std::vector<uint16_t> gate_rank_;
  uint64_t bytes_, gates_;
  unsigned bits_;
  size_t in_head_;
};

}  // namespace

void sort_eccs(std::vector<ECC>& eccs) {
  const size_t n = eccs.size();
  if (n < 2) return;
  if (n > UINT32_MAX) return std::stable_sort(eccs.begin(), eccs.end());
  const InstrDigits digits(eccs);
  std::vector<EccSortKey> keys;
  keys.reserve(n);
  for (size_t k = 0; k < n; ++k) keys.push_back(digits.key(eccs[k], uint32_t(k)));
  // Classes that compare equal are equal in every field, so any sort in the ECC order gives what a
  // stable one gives.
  //
  // First the classes move with their keys into runs by the top bits of the head (up to 16, fewer
  // for small collections), each run filled from its start (as American flag sort does): the slots
  // being written are few, so they stay in the cache, where a walk along the cycles of the whole
  // permutation would wait on a far read at every step.
  const unsigned run_bits = std::clamp(unsigned(std::bit_width(n)), 5u, 20u) - 4;
  const size_t runs = size_t(1) << run_bits;
  const unsigned shift = digits.head_bits() > run_bits ? digits.head_bits() - run_bits : 0;
  auto run_of = [&](const EccSortKey& k) { return size_t(k.head() >> shift) & (runs - 1); };
  std::vector<uint32_t> run_start(runs + 1), next(runs);
  for (const EccSortKey& k : keys) ++run_start[run_of(k) + 1];
  for (size_t r = 0; r < runs; ++r) run_start[r + 1] += run_start[r];
  std::copy(run_start.begin(), run_start.end() - 1, next.begin());
  for (size_t r = 0; r < runs; ++r)
    while (next[r] < run_start[r + 1]) {
      const size_t at = next[r], to = run_of(keys[at]);
      if (to == r) {
        ++next[r];
        continue;
      }
      std::swap(keys[at], keys[next[to]]);
      std::swap(eccs[at], eccs[next[to]]);
      ++next[to];
    }
  // Then each run on its own: its keys sorted (equal heads need the whole comparison), and its
  // classes moved along the cycles of the result (position k takes the class at keys[k].index,
  // set to k once moved).
  for (size_t r = 0; r < runs; ++r) {
    const size_t lo = run_start[r], hi = run_start[r + 1];
    if (hi - lo < 2) continue;
    for (size_t k = lo; k < hi; ++k) keys[k].index = uint32_t(k);
    std::sort(keys.begin() + ptrdiff_t(lo), keys.begin() + ptrdiff_t(hi), [&](const EccSortKey& a, const EccSortKey& b) {
      if (a.head() != b.head()) return a.head() < b.head();
      return eccs[a.index] < eccs[b.index];
    });
    for (size_t start = lo; start < hi; ++start) {
      if (keys[start].index == start) continue;
      ECC held = std::move(eccs[start]);
      size_t at = start;
      for (;;) {
        const size_t from = keys[at].index;
        keys[at].index = uint32_t(at);
        if (from == start) {
          eccs[at] = std::move(held);
          break;
        }
        eccs[at] = std::move(eccs[from]);
        at = from;
      }
    }
  }
}

const PermutedCircuit& ECC::at(size_t i) const {
  check_index(circuits.size(), i);
  return circuits[i];
}

ECC ECC::simplify_permute() && {
  Permut32 unit = at(0).perm.inv();
  for (PermutedCircuit& p : circuits) p.perm = unit * p.perm;
  return std::move(*this);
}

std::vector<std::vector<Instr32>> ECC::materialized() const {
  Permut32 unit = at(0).perm.inv();
  std::vector<std::vector<Instr32>> out;
  out.reserve(circuits.size());
  for (const PermutedCircuit& p : circuits) out.push_back(with_swaps(p.instrs, unit * p.perm));
  return out;
}

std::string ECC::display() const {
  std::string s = "ECC {\n";
  for (const auto& circ : materialized()) s += fmt::format("\t{},\n", fjoin(circ, " "));
  return s + "}";
}

std::string ECCs::display() const {
  auto shown = eccs | std::views::filter([](const ECC& e) { return e.circuits.size() >= 2; }) |
               std::views::transform(&ECC::display);
  return fmt::format("{}", fjoin(shown, " & "));
}

ECCs ECCs::filter_single() const {
  ECCs out;
  out.nqubits = nqubits;
  for (const ECC& e : eccs)
    if (e.circuits.size() > 1) out.eccs.push_back(e);
  return out;
}

std::vector<ECC> ECCs::check() const {
  ChaCha12Rng rng = ChaCha12Rng::from_os_rng();
  const StateVec start = StateVec::from_random(rng, nqubits);
  StateVec state = start;
  auto hash_of = [&](const std::vector<Instr32>& circuit) {
    state.copy_from(start);
    for (Instr32 i : circuit) state.apply(i);
    state.normalize_arg();
    return state.hash_value();
  };
  std::vector<ECC> failing;
  // A class can take milliseconds on wide states: look at pending signals every few classes.
  interrupt::Ticker ticker(8);
  for (const ECC& e : eccs) {
    ticker.tick();
    auto circuits = e.materialized();
    uint64_t first = hash_of(circuits[0]);
    for (size_t k = 1; k < circuits.size(); ++k)
      if (hash_of(circuits[k]) != first) {
        failing.push_back(e);
        break;
      }
  }
  return failing;
}

}  // namespace morvane
