#pragma once
// Export of a class collection as a JSON document in the format of the Quartz circuit optimizer:
// [[[0],[0]], {"<class index in hex>_<group>": [circuit, ...], ...}] with the members in byte-wise
// key order, each circuit [[qubit count, gate count], [[gate text, ["Q<i>", ...], ["Q<i>", ...]], ...]].
// A class of n >= 2 circuits gives one group per distinct permutation among its circuits, in order
// of first occurrence; each group lists all n circuits relative to that permutation, the rest of
// each circuit's permutation written out as SWAP gates. Every circuit of a group has the group's
// qubit count: the largest qubit index among its circuits as written (SWAPs included) plus one, 1
// for a group of empty circuits. Classes of one circuit give no group but keep their position in
// the keys. A gate whose display text a gate registered earlier also has is refused (a reader
// knows gates by name), with "Failed to write JSON: Gate(<index> -> <text>) would load back as ...".

#include <string>
#include <vector>

#include "morvane/search/ecc.h"

namespace morvane {

/// The whole document as compact JSON text (no whitespace; texts escaped as JSON strings, other
/// characters such as the dagger of adjoint gates written as UTF-8). Permutations of different
/// lengths within one class stop with "assertion failed: self.len() == other.len()"; a gate with
/// another's display text raises postcard::Error.
std::string quartz_text(const ECCs& eccs);

/// Builds the document's text first, then writes it to `path` through OutputFile: nothing is
/// created when building fails, and a failed write leaves the path as it was. FileError(Io) when
/// the file cannot be created, FileError(Value, "Failed to write JSON: ...") when writing fails.
void dump_quartz(const ECCs& eccs, const std::string& path);

}  // namespace morvane
