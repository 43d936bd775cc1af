#pragma once
// Identity circuits: a Circ whose instructions followed by its permutation act as the identity up to
// a global phase. Equality, order and hash are those of the wrapped circuit.
//
// The randomized check draws a fresh ChaCha12 generator per check from this thread's seeding
// generator (seeded once from the OS) and runs on this thread's two scratch states. The Python
// class IdentityCirc (identity_circ.pybind.cc) adds the Python-native form.

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "morvane/circ/circ.h"
#include "morvane/core/chacha.h"

namespace morvane {

struct IdentityCirc {
  Circ circ;

  /// Wraps `c` and runs check(), which stops when it is not an identity.
  static IdentityCirc unchecked(Circ c);
  /// The empty identity: no instructions, the empty permutation. No check.
  static IdentityCirc empty() { return IdentityCirc{Circ{}}; }
  /// Data from a serialized form, wrapped as read: no check, no qubit bound.
  static IdentityCirc as_read(Circ c) { return IdentityCirc{std::move(c)}; }

  /// The first half of the instructions applied forwards to a random state must equal the
  /// adjoints of the second half applied backwards, after the permutation's inverse, to the same
  /// state (both phase-normalised). Draws a fresh generator (ChaCha12Rng::from_thread_seeder); stops with
  /// "IdentityCirc: circuit is not identity {s} {t} {self}" on a mismatch. Malformed data stop
  /// before any state is touched.
  bool check() const;
  /// check() with the given generator.
  bool check_with(ChaCha12Rng& rng) const;

  uint64_t hash_value() const { return circ.hash_value(); }
  uint8_t nqubits() const { return circ.nqubits(); }
  /// For each qubit argument of gate g, the index of the next gate using that qubit, going forward
  /// cyclically and through the permutation.
  std::vector<size_t> qargs_forward(size_t g) const;
  /// For each qubit argument of gate g, the index of the previous gate using that qubit, going
  /// backward cyclically.
  std::vector<size_t> qargs_backward(size_t g) const;
  /// The entries of qargs_forward(g) (or of qargs_backward(g)) for each argument of gate g < len
  /// in `out`, SIZE_MAX where none is found; returns how many were found. Stops nowhere: the
  /// circuit must be well formed (check_well_formed).
  size_t find_wire_neighbours(size_t g, bool forward, std::array<size_t, 2>& out) const;

  /// "Identity { h(0) h(0) (0) }"
  std::string display() const;
  /// "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })"
  std::string debug() const;

  friend bool operator==(const IdentityCirc&, const IdentityCirc&) = default;
  friend std::strong_ordering operator<=>(const IdentityCirc& a, const IdentityCirc& b) { return a.circ <=> b.circ; }
};

}  // namespace morvane
