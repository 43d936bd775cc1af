#pragma once
// State comparisons for the tests of the state layer and above.

#include <cstring>

#include "morvane/state/state_vec.h"
#include "morvane/testing/circuits.h"

namespace morvane::testing {

/// Equal lengths and identical bits in every part.
inline bool bitwise_equal(const StateVec& a, const StateVec& b) {
  return a.len() == b.len() && std::memcmp(a.re().data(), b.re().data(), a.len() * sizeof(Qreal)) == 0 &&
         std::memcmp(a.im().data(), b.im().data(), a.len() * sizeof(Qreal)) == 0;
}

}  // namespace morvane::testing
