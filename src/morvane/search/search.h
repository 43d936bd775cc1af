#pragma once
// The breadth-first class searches and the generators built on them. A search expands circuits
// from the empty one, one candidate instruction at a time, records every candidate circuit in a
// class map by its key under the evaluator, and writes a progress line to standard output every
// 400 expanded circuits.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/circ/instr.h"
#include "morvane/search/raw_eccs.h"

namespace morvane {

class Evaluator;

/// What a search returns: the filled map and the counts (circuits expanded, circuits evaluated,
/// (circuit, front, back) observations recorded).
struct SearchResult {
  RawECCs map;
  std::array<size_t, 3> counts;
};

/// The search recording every candidate circuit under each of its permutation pairs.
SearchResult search(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size);
/// The exhaustive baseline: each candidate circuit recorded once, under the identity pair.
SearchResult search_naive(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size);
/// search / search_naive over the generator_placements of `gates` on the evaluator's qubits.
SearchResult generate(const Evaluator& evaluator, std::vector<Gate16> gates, size_t max_size);
SearchResult generate_naive(const Evaluator& evaluator, std::vector<Gate16> gates, size_t max_size);

}  // namespace morvane
