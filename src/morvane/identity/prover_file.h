#pragma once
// Prover files: an IdentityProver in the postcard wire format of the class files. The three fields
// in order: `assume` (count, then each identity's circuit), `proved` (count, then each identity's
// circuit), `circ_map` (count, then per entry the key circuit, the count of its rules and each
// rule circuit). A circuit is its instruction count, per instruction the gate's display text and
// its two raw qubit bytes, then the permutation's raw word as a varint. No header, no checksum;
// bytes after `circ_map` are ignored. The entries of `proved` come in the order they were recorded,
// those of `circ_map` in its table's iteration order, so equal provers may give files with the same
// entries in other orders. Files are saved and loaded through the file layer of the class files
// (core/file).
//
// Loading takes the data as read: nothing is tested on random states, no rule index is derived
// (prepare_rule_index; the prover works without one, only slower), and circuits may be
// malformed (permutation words that are no permutations, qubits beyond the permutation, rules that
// do not match their keys). The operations that index by qubits check each circuit first and stop
// on such data; nothing undefined happens.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/core/file.h"
#include "morvane/core/postcard.h"
#include "morvane/identity/prover.h"

namespace morvane {

/// Appends the encoding of `prover` (sinks: postcard::Writer, postcard::FileWriter) with gate texts
/// from `texts`.
template <typename W>
void encode_prover(const IdentityProver& prover, W& out, GateTexts& texts);

/// Decodes a prover; postcard::Error on malformed data, a stop ("Failed to deserialize Gate16 from
/// {}") on an unknown gate text. Counts are believed only as elements arrive. A key that occurs
/// twice is kept once; for `circ_map` the rules read last replace the earlier ones.
IdentityProver decode_prover(postcard::Reader& in);

std::vector<uint8_t> encode_prover(const IdentityProver& prover);
IdentityProver decode_prover(std::span<const uint8_t> bytes);

/// Saves to `path` through OutputFile, so a failed save leaves the path as it was. FileError(Io)
/// when the file cannot be created; FileError(Value) when a write fails, or, before anything is
/// created, when a gate would not load back as itself (GateTexts::read_back).
void dump_postcard(const IdentityProver& prover, const std::string& path);
/// Loads from `path`: FileError(Io) when it cannot be opened, FileError(Value) on malformed data.
IdentityProver prover_from_postcard(const std::string& path);

}  // namespace morvane
