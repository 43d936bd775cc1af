#pragma once
// Identities implied by simplified classes: for every circuit of a class other than its
// representative, the inverse of the representative followed by that circuit is an identity.

#include <vector>

#include "morvane/circ/circ.h"
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

/// One triple per circuit after the first of each class: the canonical identity
/// (rotate_representative) of inverse(representative) + circuit, then the two witnesses, stably
/// sorted. Stops with the index message on an empty class and with the identity check's message
/// when a class's circuits are not equivalent.
std::vector<IdentityWitness> to_identity_circuits(const ECCs& eccs);

}  // namespace morvane
