#include "morvane/identity/eccs_identities.h"

#include <algorithm>

#include "morvane/identity/canonical.h"

namespace morvane {

std::vector<IdentityWitness> to_identity_circuits(const ECCs& eccs) {
  std::vector<IdentityWitness> out;
  for (const ECC& ecc : eccs.eccs) {
    const PermutedCircuit& first = ecc.at(0);
    const Circ inverted = Circ::make(first.instrs_vector(), first.perm).inverse();
    for (size_t i = 1; i < ecc.circuits.size(); ++i) {
      Circ c = Circ::make(ecc.circuits[i].instrs_vector(), ecc.circuits[i].perm);
      IdentityCirc identity = rotate_representative(inverted + c);
      out.push_back(IdentityWitness{std::move(identity), inverted, std::move(c)});
    }
  }
  std::stable_sort(out.begin(), out.end());
  return out;
}

}  // namespace morvane
