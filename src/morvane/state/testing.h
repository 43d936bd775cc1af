#pragma once
// Helpers shared by the state-vector tests.

#include <array>
#include <cstring>
#include <string>

#include "morvane/core/chacha.h"
#include "morvane/core/panic.h"
#include "morvane/state/state_vec.h"

namespace morvane::testing {

/// The message of the stop that f raises, or "<no stop>".
template <typename F>
std::string stop_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.what();
  }
  return "<no stop>";
}

/// A generator with a fixed seed: `a` in byte 0, `b` in byte 1.
inline ChaCha12Rng seeded(uint8_t a, uint8_t b = 0) {
  std::array<uint8_t, 32> seed{};
  seed[0] = a;
  seed[1] = b;
  return ChaCha12Rng(seed);
}

/// Equal lengths and identical bits in every part.
inline bool bitwise_equal(const StateVec& a, const StateVec& b) {
  return a.len() == b.len() && std::memcmp(a.re().data(), b.re().data(), a.len() * sizeof(Qreal)) == 0 &&
         std::memcmp(a.im().data(), b.im().data(), a.len() * sizeof(Qreal)) == 0;
}

}  // namespace morvane::testing
