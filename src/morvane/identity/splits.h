#pragma once
// Subcircuits of an identity circuit and the splits they give: a block of gates that forms one
// connected piece of the wiring and enters and leaves each qubit at most once, cut out so that the
// block followed by the rest is the identity up to rotation and to exchanging neighbouring gates
// that share no qubit.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <absl/container/inlined_vector.h>

#include "morvane/circ/circ.h"
#include "morvane/identity/identity_circ.h"

namespace morvane {

/// The longest identity that can be split: COMBINATIONS has entries for lengths 0 to 19.
inline constexpr size_t kCombinationEntries = 20;
/// The most gates an identity may have for the rewriting step: searches stay within it.
inline constexpr size_t kLongestSplittable = kCombinationEntries - 1;

/// Entry n of COMBINATIONS: every subset of {0, ..., n-1} with at most n/2 + 1 elements, by size
/// (the empty subset first), each size in lexicographic order of its increasing index list. A
/// subset is a bit mask (bit i for gate i). Each entry is built once per process, on first use;
/// n of 20 or more stops with the index message.
const std::vector<uint32_t>& combinations(size_t n);
/// Stops with the index message of combinations() when the identity is too long to split.
void check_splittable(const IdentityCirc& identity);
/// The increasing gate indices of a subset mask.
std::vector<uint8_t> subset_indices(uint32_t subset);

/// The wire neighbours (qargs_forward, qargs_backward) of every gate of one identity, computed once
/// so that the checks of its many subsets look them up. At most 19 gates, so indices fit a byte.
struct WireTable {
  struct Gate {
    uint8_t nargs = 0;
    std::array<uint8_t, 2> forward{};
    std::array<uint8_t, 2> backward{};
  };
  std::vector<Gate> gates;

  /// Stops as qargs_forward/qargs_backward do; the identity must have fewer than 256 gates.
  static WireTable of(const IdentityCirc& identity);
};

/// One qubit argument of a selected gate at the edge of a selection.
struct Port {
  uint8_t qubit;
  uint8_t instr_id;
  uint8_t qargs_idx;
  friend bool operator==(Port, Port) = default;
};
using Ports = absl::InlinedVector<Port, 2 * kCombinationEntries>;

/// The selected block `c1` (in circuit order, identity permutation on the identity's qubits) and
/// the rest `c2` (with the identity's permutation).
struct Split {
  Circ c1;
  Circ c2;
  friend bool operator==(const Split&, const Split&) = default;
};

/// A selection of gates of an identity of fewer than 20 gates: bit i of `gates` marks gate i. It
/// borrows the identity and its wire table.
struct IdentitySubcircuit {
  const IdentityCirc& circuit;
  const WireTable& wires;
  uint32_t gates;

  /// Every selected gate reached from the first through wire neighbours (true for no selection).
  bool is_connected() const;
  /// Ports whose previous (next) gate on the wire is unselected or the gate itself, in gate order
  /// and argument order.
  Ports inputs() const;
  Ports outputs() const;
  /// No qubit twice among the inputs, none twice among the outputs.
  bool is_convex() const;
  /// The block moved to the front by exchanges of disjoint neighbours and rotations; none when
  /// nothing is selected or the block cannot be gathered.
  std::optional<Split> split() const;
  /// split() written into `out`, whose instruction storage is reused; false for none (leaving
  /// `out` as it was).
  bool split_into(Split& out) const;

  /// The splits of every subset of `circuit`'s COMBINATIONS entry that is connected, convex and
  /// splittable, in the entry's order, computed on the worker pool.
  static std::vector<Split> par_subcircuit_splits(const IdentityCirc& circuit);
};

/// The subsets of one identity with its wire table, for parallel steps that consume splits one
/// subset at a time: at(i) is the split of subset i, or none.
class SubsetSplits {
 public:
  explicit SubsetSplits(const IdentityCirc& circuit);
  size_t size() const { return subsets_.size(); }
  uint32_t subset(size_t i) const { return subsets_[i]; }
  /// Whether subset i is connected and convex: IdentitySubcircuit's is_connected and is_convex,
  /// decided on bit masks of gates and ports, with no list built.
  bool splittable(size_t i) const { return splittable_gates(subsets_[i]); }
  /// The same for a selection given as its mask.
  bool splittable_gates(uint32_t gates) const;
  /// The non-empty splittable subsets of the entry, in the entry's order. Only the selections
  /// connected through the wires are visited (about a tenth of the entry), each once.
  std::vector<uint32_t> splittable_subsets() const;
  /// The split of subset i, which must be splittable, or none.
  std::optional<Split> split(size_t i) const { return split_gates(subsets_[i]); }
  /// The split of a splittable selection given as its mask, or none.
  std::optional<Split> split_gates(uint32_t gates) const;
  /// split_gates written into `out` (see IdentitySubcircuit::split_into).
  bool split_gates_into(uint32_t gates, Split& out) const;
  /// The split of subset i when it is splittable.
  std::optional<Split> at(size_t i) const { return splittable(i) ? split(i) : std::nullopt; }

 private:
  /// What one gate contributes to a selection's masks. Port 2g + a is argument a of gate g.
  struct GateMasks {
    uint32_t neighbours = 0;  // the gates next to it on its wires
    uint64_t ports = 0;       // its own ports
    uint64_t after = 0;       // the ports of other gates whose previous gate on the wire it is
    uint64_t before = 0;      // the ports of other gates whose next gate on the wire it is
  };

  /// The convexity half of splittable_gates, from the OR of the selected gates' masks.
  bool convex(uint64_t ports, uint64_t after, uint64_t before) const;

  const IdentityCirc& circuit_;
  const std::vector<uint32_t>& subsets_;
  WireTable wires_;
  std::vector<GateMasks> masks_;
  /// The qubit of every port.
  std::array<uint8_t, 2 * kCombinationEntries> port_qubit_{};
};

}  // namespace morvane
