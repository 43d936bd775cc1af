#include "morvane/identity/eccs_identities.h"

#include <algorithm>

#include "morvane/identity/canonical.h"

namespace morvane {

std::vector<IdentityWitness> to_identity_circuits(const ECCs& eccs) {
  std::vector<IdentityWitness> out;
  for (const ECC& ecc : eccs.eccs) {
    const PermutedCircuit& first = ecc.at(0);
    const Circ inverted = first.to_circ().inverse();
    for (size_t i = 1; i < ecc.circuits.size(); ++i) {
      Circ c = ecc.circuits[i].to_circ();
      IdentityCirc identity = rotate_representative(inverted + c);
      out.push_back(IdentityWitness{std::move(identity), inverted, std::move(c)});
    }
  }
  std::stable_sort(out.begin(), out.end());
  return out;
}

}  // namespace morvane
