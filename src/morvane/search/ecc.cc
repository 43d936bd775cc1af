#include "morvane/search/ecc.h"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <ranges>

#include <fmt/format.h>

#include "morvane/core/chacha.h"
#include "morvane/core/fmt_join.h"
#include "morvane/core/interrupt.h"
#include "morvane/core/key_sort.h"
#include "morvane/core/panic.h"
#include "morvane/state/state_vec.h"

namespace morvane {

Permut32 numbering_of_used(uint8_t n, const std::array<uint64_t, 4>& used) {
  std::array<uint8_t, 256> used_qubits;
  size_t nused = 0;
  for (size_t w = 0; w < used.size(); ++w)
    for (uint64_t bits = used[w]; bits; bits &= bits - 1)
      used_qubits[nused++] = uint8_t(64 * w + size_t(std::countr_zero(bits)));
  return Permut32::from_iter_with_ext(n, std::span(used_qubits.data(), nused));
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
  Permut32 uniform_inv = numbering_of_used(pairs[0].perm.len(), used);
  Permut32 uniform = uniform_inv.inv();
  for (PermutedCircuit& p : pairs) {
    for (Instr32& i : p.instrs) i = i.apply_permutation(uniform);
    p.perm = uniform * p.perm * uniform_inv;
  }
  return ECC{std::move(pairs)};
}

HeadCodes::HeadCodes(std::span<const ECC> eccs) {
  number([&](auto&& f) {
    for (const ECC& e : eccs)
      if (!e.circuits.empty())
        for (Instr32 i : e.circuits[0].instrs) f(i);
  });
}

HeadCodes::HeadCodes(std::span<const Instr32> instrs) {
  number([&](auto&& f) {
    for (Instr32 i : instrs) f(i);
  });
}

template <typename ForEachInstr>
void HeadCodes::number(ForEachInstr for_each_instr) {
  // Ranks from 1 of the qubit bytes and gate indices that occur.
  std::array<bool, 256> byte_seen{};
  std::vector<bool> gate_seen;
  for_each_instr([&](Instr32 i) {
    byte_seen[i.qargs.bytes[0]] = byte_seen[i.qargs.bytes[1]] = true;
    if (i.gate.index >= gate_seen.size()) gate_seen.resize(size_t(i.gate.index) + 1);
    gate_seen[i.gate.index] = true;
  });
  for (size_t b = 0; b < byte_seen.size(); ++b)
    if (byte_seen[b]) byte_rank_[b] = uint16_t(++bytes_);
  gate_rank_.assign(gate_seen.size(), 0);
  for (size_t g = 0; g < gate_seen.size(); ++g)
    if (gate_seen[g]) gate_rank_[g] = uint32_t(++gates_);
  // The ranks as mixed-radix digits number every combination; when there are not too many, the
  // combinations that occur are numbered again in their order, so that a code takes fewer bits.
  const uint64_t combinations = uint64_t(bytes_) * bytes_ * gates_;
  uint64_t last = combinations;
  if (combinations <= kMaxTable) {
    codes_.assign(combinations, 0);
    for_each_instr([&](Instr32 i) { codes_[dense(i) - 1] = 1; });
    uint32_t code = 0;
    for (uint32_t& c : codes_) c = c ? ++code : 0;
    last = code;
  }
  bits_ = std::max(1u, unsigned(std::bit_width(last)));
  in_head_ = 64 / bits_;
}

void sort_eccs(std::vector<ECC>& eccs) {
  if (eccs.size() < 2) return;
  const HeadCodes codes(eccs);
  std::vector<uint64_t> heads;
  heads.reserve(eccs.size());
  for (const ECC& e : eccs) heads.push_back(e.circuits.empty() ? 0 : *codes.head(e.circuits[0].instrs));
  sort_eccs(eccs, std::move(heads));
}

void sort_eccs(std::vector<ECC>& eccs, std::vector<uint64_t> heads) {
  MORVANE_ASSERT(heads.size() == eccs.size());
  stable_sort_by_keys(eccs, std::move(heads), std::less<>());
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
