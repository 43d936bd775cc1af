#pragma once
// The breadth-first class searches and the generators built on them. A search expands circuits
// from the empty one, one candidate instruction at a time, records every candidate circuit in a
// class map by its key under the evaluator, and writes a progress line to standard output every
// 400 expanded circuits.
//
// The search (search.cc) is a class whose members are its stages: the Candidates (one record per
// candidate: its instruction, scan, prepared gate and adjoint, backward starts), the Cursor over
// the queued circuits (taking one, its scan and its extensions' surface gates) and the Pipeline, a
// ring of slots (a candidate's scratch and what it is recorded with) with its issue, hash, record
// and drain steps. The candidates are prepared once, in their order, in the first expansion after
// its progress line (an unfit one stops there).
//
// It evaluates the candidates four at a time (Evaluator::extend_batch: forward runs, their orders
// found together on lanes, where only the forward states of candidates that run alone are
// normalised, then their backward runs) into 32 scratch slots and hashes the key states eight at a
// time. When a batch is hashed, the class index lines of its keys are prefetched, the class records
// (both cache lines) of the batch before are prefetched (those whose tags match in their index
// line; the first one's number goes with the candidate as a hint that spares the recording a
// second look into the index), and the batch before that is recorded. A circuit taken from the
// queue is materialised only up to the first list cell it shares with the circuit taken before;
// its gates are scanned once into qubit masks and placement numbers, from which the candidates'
// surface gates are found. An expanded circuit's gates and adjoints are the candidates' prepared
// ones, found by placement number; the surface-gate lists of pending candidates are fixed arrays.
// Pending candidates span iterations; all of them are recorded, in candidate order, before
// anything reads the map or the queue: the progress line, the reservation of a new circuit length
// (the class index grows once per length, by the previous length's growth), and the test for an
// empty queue. A test compares the progress lines, counts and class order with a plain loop.

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
