#pragma once
// Helpers shared by the tests of the circuit model and the layers above it.

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "morvane/circ/instr.h"
#include "morvane/core/permut.h"

namespace morvane::testing {

/// A validated instruction.
inline Instr32 on(Gate16 g, std::vector<uint8_t> qubits) { return Instr32::make(g, qubits); }

inline Instr32 h(uint8_t q) { return on(gates::H(), {q}); }
inline Instr32 x(uint8_t q) { return on(gates::X(), {q}); }
inline Instr32 cx(uint8_t a, uint8_t b) { return on(gates::CX(), {a, b}); }
inline Instr32 swap(uint8_t a, uint8_t b) { return on(gates::SWAP(), {a, b}); }

/// A validated permutation.
inline Permut32 perm(std::vector<uint8_t> images) { return Permut32::from_iter(images); }

/// The 64-bit value of the reference hash vector described as `what`.
inline uint64_t vector_hash(const std::string& what) {
  std::ifstream in(MORVANE_SOURCE_DIR "/src/morvane/core/testdata/hash_vectors.json");
  const auto doc = nlohmann::json::parse(in);
  for (const auto& v : doc["vectors"])
    if (v["what"] == what) return v["u64"].get<uint64_t>();
  ADD_FAILURE() << "no hash vector " << what;
  return 0;
}

}  // namespace morvane::testing
