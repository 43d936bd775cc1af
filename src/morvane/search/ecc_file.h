#pragma once
// Class files: an ECCs in the postcard wire format. Field by field: the class count; per class its
// circuit count; per circuit its instruction count, per instruction the gate's display text and
// its two raw qubit bytes, then the permutation's raw word as a varint; after all classes the
// qubit count. Nothing else: no header, no checksum, bytes after the qubit count are ignored.
//
// A save checks each gate once, through GateTexts::read_back(), before the file is created: a
// display text longer than the 8192 bytes a reader accepts, or one that a gate registered earlier
// also displays (so it would load back as that gate), is refused with "Failed to write postcard
// data: Gate(<index> -> <text>) ...". A load believes counts only as elements arrive.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/circ/gate.h"
#include "morvane/core/file.h"
#include "morvane/core/postcard.h"
#include "morvane/search/ecc.h"

namespace morvane {

/// Appends the encoding of `eccs` (sinks: postcard::Writer, postcard::FileWriter), with gate
/// texts from `texts` or from a cache of its own.
template <typename W>
void encode_eccs(const ECCs& eccs, W& out);
template <typename W>
void encode_eccs(const ECCs& eccs, W& out, GateTexts& texts);

/// Decodes a collection; postcard::Error on malformed data, the stop above on an unknown gate.
/// Counts are trusted only as far as elements arrive: a forged count allocates nothing up front.
ECCs decode_eccs(postcard::Reader& in);

std::vector<uint8_t> encode_eccs(const ECCs& eccs);
ECCs decode_eccs(std::span<const uint8_t> bytes);

/// Saves to `path` through OutputFile, so a failed save leaves the path as it was. FileError(Io)
/// when the file cannot be created; FileError(Value) when a write fails, or, before anything is
/// created, when a gate would not load back as itself (GateTexts::read_back).
void dump_postcard(const ECCs& eccs, const std::string& path);
/// Loads from `path`: FileError(Io) when it cannot be opened, FileError(Value) on malformed data.
ECCs eccs_from_postcard(const std::string& path);

}  // namespace morvane
