#include "morvane/identity/splits.h"

#include <algorithm>
#include <bit>
#include <bitset>
#include <utility>

#include "morvane/core/panic.h"
#include "morvane/core/permut.h"
#include "morvane/core/pool.h"

namespace morvane {

namespace {

std::vector<uint32_t> build_combinations(size_t n) {
  std::vector<uint32_t> entry;
  for (size_t k = 0; k <= n / 2 + 1 && k <= n; ++k) {
    // Lexicographic k-subsets: advance the rightmost index that can still grow.
    std::array<uint8_t, kCombinationEntries> subset{};
    for (size_t i = 0; i < k; ++i) subset[i] = uint8_t(i);
    while (true) {
      uint32_t mask = 0;
      for (size_t i = 0; i < k; ++i) mask |= uint32_t(1) << subset[i];
      entry.push_back(mask);
      size_t i = k;
      while (i > 0 && subset[i - 1] == n - k + i - 1) --i;
      if (i == 0) break;
      ++subset[i - 1];
      for (size_t j = i; j < k; ++j) subset[j] = uint8_t(subset[j - 1] + 1);
    }
  }
  return entry;
}

uint32_t bit(size_t i) { return uint32_t(1) << i; }

/// Scratch lists of a split: an identity that can be split has fewer than 20 gates.
using InstrScratch = absl::InlinedVector<Instr32, kCombinationEntries>;

/// The union of the argument masks of instrs[from, to), each relabelled by `p` when given.
uint8_t arg_masks(const InstrScratch& instrs, size_t from, size_t to, const Permut32* p = nullptr) {
  uint8_t mask = 0;
  for (size_t k = from; k < to; ++k) mask |= (p ? instrs[k].permut(*p) : instrs[k]).arg_mask();
  return mask;
}

template <bool kForward>
Ports ports(const IdentitySubcircuit& s) {
  Ports out;
  for (uint32_t rest = s.gates; rest != 0; rest &= rest - 1) {
    const size_t g = std::countr_zero(rest);
    const WireTable::Gate& w = s.wires.gates[g];
    const auto& neighbours = kForward ? w.forward : w.backward;
    for (uint8_t a = 0; a < w.nargs; ++a) {
      const size_t i2 = neighbours[a];
      if (i2 == g || (s.gates & bit(i2)) == 0)
        out.push_back(Port{s.circuit.circ.instrs[g].qargs.bytes[a], uint8_t(g), a});
    }
  }
  return out;
}

bool repeats_qubit(const Ports& ports) {
  std::bitset<256> seen;
  for (Port p : ports) {
    if (seen[p.qubit]) return true;
    seen[p.qubit] = true;
  }
  return false;
}

/// The table of n, built on first use. A function-local static: a build that runs out of memory
/// is tried again by the next caller, and its exception unwinds through no C library frame (that
/// of std::call_once would, and the C library ends the process when it has no memory to unwind).
template <size_t N>
const std::vector<uint32_t>& combinations_of() {
  static const std::vector<uint32_t> table = build_combinations(N);
  return table;
}

template <size_t... N>
constexpr std::array<const std::vector<uint32_t>& (*)(), sizeof...(N)> combination_tables(std::index_sequence<N...>) {
  return {&combinations_of<N>...};
}

}  // namespace

const std::vector<uint32_t>& combinations(size_t n) {
  static constexpr auto tables = combination_tables(std::make_index_sequence<kCombinationEntries>());
  check_index(tables.size(), n);
  return tables[n]();
}

void check_splittable(const IdentityCirc& identity) { check_index(kCombinationEntries, identity.circ.len()); }

std::vector<uint8_t> subset_indices(uint32_t subset) {
  std::vector<uint8_t> out;
  for (; subset != 0; subset &= subset - 1) out.push_back(uint8_t(std::countr_zero(subset)));
  return out;
}

WireTable WireTable::of(const IdentityCirc& identity) {
  const size_t len = identity.circ.len();
  if (len > 255) panic(fmt::format("a wire table holds at most 255 gates, not {}", len));
  identity.circ.check_well_formed();
  WireTable t;
  t.gates.resize(len);
  for (size_t g = 0; g < len; ++g) {
    const uint8_t nargs = identity.circ.instrs[g].qargs.len();
    std::array<size_t, 2> fwd, bwd;
    // Where a neighbour is missing, qargs_forward or qargs_backward stops with its message.
    if (identity.find_wire_neighbours(g, true, fwd) < nargs) identity.qargs_forward(g);
    if (identity.find_wire_neighbours(g, false, bwd) < nargs) identity.qargs_backward(g);
    Gate& w = t.gates[g];
    w.nargs = nargs;
    for (size_t a = 0; a < nargs; ++a) {
      w.forward[a] = uint8_t(fwd[a]);
      w.backward[a] = uint8_t(bwd[a]);
    }
  }
  return t;
}

bool IdentitySubcircuit::is_connected() const {
  if (gates == 0) return true;
  uint32_t visited = gates & -gates;
  uint32_t frontier = visited;
  while (frontier != 0) {
    uint32_t next = 0;
    for (; frontier != 0; frontier &= frontier - 1) {
      const WireTable::Gate& w = wires.gates[std::countr_zero(frontier)];
      for (uint8_t a = 0; a < w.nargs; ++a) next |= bit(w.forward[a]) | bit(w.backward[a]);
    }
    frontier = next & gates & ~visited;
    visited |= frontier;
  }
  return visited == gates;
}

Ports IdentitySubcircuit::inputs() const { return ports<false>(*this); }
Ports IdentitySubcircuit::outputs() const { return ports<true>(*this); }

bool IdentitySubcircuit::is_convex() const { return !repeats_qubit(inputs()) && !repeats_qubit(outputs()); }

std::optional<Split> IdentitySubcircuit::split() const {
  Split out;
  if (!split_into(out)) return std::nullopt;
  return out;
}

bool IdentitySubcircuit::split_into(Split& out) const {
  if (gates == 0) return false;
  const Circ& c = circuit.circ;
  const Permut32 p = c.perm;
  const Permut32 p_inv = p.inv();
  const size_t first = std::countr_zero(gates);

  // The rest of the circuit (always carrying p) and its selection flags, rotated so that the
  // first selected gate comes first.
  if (first > 0) c.check_well_formed();  // the wrapped gates are relabelled
  InstrScratch rest(c.instrs.begin() + first, c.instrs.end());
  for (size_t k = 0; k < first; ++k) rest.push_back(c.instrs[k].permut(p_inv));
  absl::InlinedVector<uint8_t, kCombinationEntries> selected(c.len());
  for (size_t i = 0; i < c.len(); ++i) selected[i] = (gates >> ((i + first) % c.len())) & 1;
  // The block is back_part reversed (gates taken from the back go to its front), then front_part.
  InstrScratch front_part, back_part;
  uint8_t block_mask = 0;
  auto some_selected = [&] { return std::find(selected.begin(), selected.end(), 1) != selected.end(); };

  while (some_selected()) {
    const size_t a = std::find(selected.begin(), selected.end(), 1) - selected.begin();
    if (a == 0) {
      front_part.push_back(rest.front());
      block_mask |= rest.front().arg_mask();
      rest.erase(rest.begin());
      selected.erase(selected.begin());
    } else if (rest[a - 1].disjoint(rest[a])) {
      std::swap(rest[a - 1], rest[a]);
      std::swap(selected[a - 1], selected[a]);
    } else if ((arg_masks(rest, 0, a) & block_mask) == 0) {
      // The unselected prefix moves to the end, relabelled through p⁻¹.
      for (size_t k = 0; k < a; ++k) rest[k] = rest[k].permut(p_inv);
      std::rotate(rest.begin(), rest.begin() + a, rest.end());
      std::rotate(selected.begin(), selected.begin() + a, selected.end());
    } else {
      break;
    }
  }

  while (some_selected()) {
    const size_t len = rest.size();
    const size_t j = len - 1 - (std::find(selected.rbegin(), selected.rend(), 1) - selected.rbegin());
    if (j == len - 1) {
      const Instr32 moved = rest.back().permut(p);
      back_part.push_back(moved);
      block_mask |= moved.arg_mask();
      rest.pop_back();
      selected.pop_back();
    } else if (rest[j].disjoint(rest[j + 1])) {
      std::swap(rest[j], rest[j + 1]);
      std::swap(selected[j], selected[j + 1]);
    } else if ((arg_masks(rest, j + 1, len, &p) & block_mask) == 0) {
      // The unselected suffix moves to the front, relabelled through p.
      for (size_t k = j + 1; k < len; ++k) rest[k] = rest[k].permut(p);
      std::rotate(rest.begin(), rest.begin() + j + 1, rest.end());
      std::rotate(selected.begin(), selected.begin() + j + 1, selected.end());
    } else {
      return false;
    }
  }

  // Both parts use the identity's qubits only.
  out.c1.instrs.assign(back_part.rbegin(), back_part.rend());
  out.c1.instrs.insert(out.c1.instrs.end(), front_part.begin(), front_part.end());
  out.c1.perm = Permut32::identity(c.nqubits());
  out.c2.instrs.assign(rest.begin(), rest.end());
  out.c2.perm = p;
  return true;
}

SubsetSplits::SubsetSplits(const IdentityCirc& circuit)
    : circuit_(circuit), subsets_(combinations(circuit.circ.len())), wires_(WireTable::of(circuit)) {
  masks_.resize(wires_.gates.size());
  for (size_t g = 0; g < wires_.gates.size(); ++g) {
    const WireTable::Gate& w = wires_.gates[g];
    for (uint8_t a = 0; a < w.nargs; ++a) {
      const uint64_t port = uint64_t(1) << (2 * g + a);
      port_qubit_[2 * g + a] = circuit.circ.instrs[g].qargs.bytes[a];
      masks_[g].ports |= port;
      masks_[g].neighbours |= bit(w.forward[a]) | bit(w.backward[a]);
      // A gate that is its own neighbour on a wire leaves a port open whatever is selected.
      if (w.backward[a] != g) masks_[w.backward[a]].after |= port;
      if (w.forward[a] != g) masks_[w.forward[a]].before |= port;
    }
  }
}

bool SubsetSplits::convex(uint64_t ports, uint64_t after, uint64_t before) const {
  // The inputs (ports whose previous gate is not selected) on distinct qubits, and the outputs
  // likewise.
  auto distinct_qubits = [&](uint64_t open) {
    std::array<uint64_t, 4> seen{};
    for (; open != 0; open &= open - 1) {
      const uint8_t q = port_qubit_[std::countr_zero(open)];
      if ((seen[q >> 6] >> (q & 63)) & 1) return false;
      seen[q >> 6] |= uint64_t(1) << (q & 63);
    }
    return true;
  };
  return distinct_qubits(ports & ~after) && distinct_qubits(ports & ~before);
}

bool SubsetSplits::splittable_gates(uint32_t gates) const {
  if (gates == 0) return true;
  // Connected: grow from the first gate through the wires, within the selection.
  uint32_t reached = gates & -gates, frontier = reached;
  uint64_t ports = 0, after = 0, before = 0;
  while (frontier != 0) {
    uint32_t next = 0;
    for (; frontier != 0; frontier &= frontier - 1) {
      const GateMasks& m = masks_[std::countr_zero(frontier)];
      next |= m.neighbours;
      ports |= m.ports;
      after |= m.after;
      before |= m.before;
    }
    frontier = next & gates & ~reached;
    reached |= frontier;
  }
  return reached == gates && convex(ports, after, before);
}

std::vector<uint32_t> SubsetSplits::splittable_subsets() const {
  const size_t n = masks_.size();
  const size_t most = std::min(n, n / 2 + 1);  // the entry's largest subsets
  // The wires as an undirected graph without loops: a superset of what splittable_gates
  // follows, so every selection it accepts is connected here.
  std::array<uint32_t, kCombinationEntries> adjacent{};
  for (size_t g = 0; g < n; ++g)
    for (uint32_t rest = masks_[g].neighbours & ~bit(g); rest != 0; rest &= rest - 1) {
      adjacent[g] |= rest & -rest;
      adjacent[std::countr_zero(rest)] |= bit(g);
    }
  // When every wire neighbour is mutual the two graphs are one: every selection visited is
  // connected, and only convexity is left to decide, on masks gathered as the selection grows.
  bool mutual = true;
  for (size_t g = 0; g < n; ++g) mutual = mutual && adjacent[g] == (masks_[g].neighbours & ~bit(g));
  std::vector<uint64_t> found;  // each selection with its size above it
  // Every connected selection once, from its lowest gate `low`: a selection grows by a gate of
  // `reach`, and then reaches the neighbours of that gate above `low` that neither it nor its
  // neighbours held (the enumeration of connected subgraphs by extension sets).
  struct Grown {
    uint32_t gates, closed, reach;
    uint64_t ports, after, before;
  };
  auto grow = [&](auto& self, const Grown& s, uint32_t above, size_t size) -> void {
    if (mutual ? convex(s.ports, s.after, s.before) : splittable_gates(s.gates))
      found.push_back(uint64_t(size) << 32 | s.gates);
    if (size == most) return;
    for (uint32_t reach = s.reach; reach != 0; reach &= reach - 1) {
      const uint32_t g = reach & -reach;
      const size_t index = std::countr_zero(g);
      const uint32_t next = adjacent[index];
      const GateMasks& m = masks_[index];
      self(self,
           Grown{s.gates | g, s.closed | next | g, (reach & (reach - 1)) | (next & ~s.closed & above),
                 s.ports | m.ports, s.after | m.after, s.before | m.before},
           above, size + 1);
    }
  };
  for (size_t low = 0; low < n && most > 0; ++low) {
    const uint32_t above = ~((bit(low) << 1) - 1);
    const GateMasks& m = masks_[low];
    grow(grow, Grown{bit(low), bit(low) | adjacent[low], adjacent[low] & above, m.ports, m.after, m.before}, above, 1);
  }
  // The entry's order: by size, then lexicographically by index list, where the list holding the
  // lowest gate on which two differ comes first.
  std::sort(found.begin(), found.end(), [](uint64_t a, uint64_t b) {
    if ((a >> 32) != (b >> 32)) return a < b;
    const uint64_t differ = a ^ b;
    return differ != 0 && (a & differ & -differ) != 0;
  });
  std::vector<uint32_t> out(found.size());
  for (size_t k = 0; k < found.size(); ++k) out[k] = uint32_t(found[k]);
  return out;
}

std::optional<Split> SubsetSplits::split_gates(uint32_t gates) const {
  return IdentitySubcircuit{circuit_, wires_, gates}.split();
}

bool SubsetSplits::split_gates_into(uint32_t gates, Split& out) const {
  return IdentitySubcircuit{circuit_, wires_, gates}.split_into(out);
}

std::vector<Split> IdentitySubcircuit::par_subcircuit_splits(const IdentityCirc& circuit) {
  const SubsetSplits splits(circuit);
  return pool::flat_map_index(splits.size(), [&](size_t i) { return splits.at(i); });
}

}  // namespace morvane
