#include "morvane/identity/eccs_identities.h"

#include <algorithm>
#include <utility>

namespace morvane {

std::vector<IdentityWitness> to_identity_circuits(const ECCs& eccs) {
  std::vector<IdentityWitness> out;
  for (const ECC& ecc : eccs.eccs)
    for_each_class_identity(ecc, [&](IdentityCirc identity, const Circ& inverted, Circ c) {
      out.push_back(IdentityWitness{std::move(identity), inverted, std::move(c)});
    });
  std::stable_sort(out.begin(), out.end());
  return out;
}

}  // namespace morvane
