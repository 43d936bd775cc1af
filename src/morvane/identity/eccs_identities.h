#pragma once
// Identities implied by simplified classes: for every circuit of a class other than its
// representative, the inverse of the representative followed by that circuit is an identity.
// The prover's build makes each class's identities with the same for_each_class_identity; this
// component's binding adds ECCs.to_identity_circuits.

#include <cstddef>
#include <utility>
#include <vector>

#include "morvane/circ/circ.h"
#include "morvane/identity/canonical.h"
#include "morvane/identity/identity_circ.h"
#include "morvane/search/ecc.h"

namespace morvane {

/// An identity with the two circuits it was made from: the inverted representative and the
/// class's other circuit.
struct IdentityWitness {
  IdentityCirc identity;
  Circ inverted_representative;
  Circ circuit;

  friend bool operator==(const IdentityWitness&, const IdentityWitness&) = default;
  friend auto operator<=>(const IdentityWitness&, const IdentityWitness&) = default;
};

/// For each circuit after the first of the class, in order, f(identity, inverted representative,
/// circuit) with the canonical identity (rotate_representative) of inverse(first) + circuit; each
/// identity runs the identity check, which stops when the two are not equivalent. Stops with the
/// index message on an empty class.
template <typename F>
void for_each_class_identity(const ECC& ecc, F&& f) {
  const Circ inverted = ecc.at(0).to_circ().inverse();
  for (size_t i = 1; i < ecc.circuits.size(); ++i) {
    Circ c = ecc.circuits[i].to_circ();
    IdentityCirc identity = rotate_representative(inverted + c);
    f(std::move(identity), inverted, std::move(c));
  }
}

/// One triple per circuit after the first of each class: the canonical identity
/// (rotate_representative) of inverse(representative) + circuit, then the two witnesses, stably
/// sorted. Stops with the index message on an empty class and with the identity check's message
/// when a class's circuits are not equivalent.
std::vector<IdentityWitness> to_identity_circuits(const ECCs& eccs);

}  // namespace morvane
