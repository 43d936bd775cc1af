#include "morvane/search/ecc_file.h"

#include <limits>

namespace morvane {

template <typename W>
void encode_eccs(const ECCs& eccs, W& out) {
  GateTexts texts;
  encode_eccs(eccs, out, texts);
}

template <typename W>
void encode_eccs(const ECCs& eccs, W& out, GateTexts& texts) {
  out.varint32(static_cast<uint32_t>(eccs.eccs.size()));
  for (const ECC& ecc : eccs.eccs) {
    out.varint32(static_cast<uint32_t>(ecc.circuits.size()));
    for (const PermutedCircuit& c : ecc.circuits) {
      out.varint32(static_cast<uint32_t>(c.instrs.size()));
      for (Instr32 instr : c.instrs) instr.write_postcard(out, texts);
      out.varint32(c.perm.raw);
    }
  }
  out.varint64(eccs.nqubits);
}

template void encode_eccs(const ECCs&, postcard::Writer&);
template void encode_eccs(const ECCs&, postcard::FileWriter&);
template void encode_eccs(const ECCs&, postcard::Writer&, GateTexts&);
template void encode_eccs(const ECCs&, postcard::FileWriter&, GateTexts&);

ECCs decode_eccs(postcard::Reader& in) {
  GateNames names;
  std::string scratch;
  scratch.reserve(postcard::kBufferSize);
  ECCs out;
  uint32_t nclasses = in.varint32();
  postcard::reserve_lazily(out.eccs, nclasses);
  for (uint32_t k = 0; k < nclasses; ++k) {
    ECC& ecc = out.eccs.emplace_back();
    uint32_t ncircuits = in.varint32();
    postcard::reserve_lazily(ecc.circuits, ncircuits);
    for (uint32_t j = 0; j < ncircuits; ++j) {
      PermutedCircuit& c = ecc.circuits.emplace_back();
      uint32_t ninstrs = in.varint32();
      postcard::reserve_lazily(c.instrs, ninstrs);
      for (uint32_t i = 0; i < ninstrs; ++i) c.instrs.push_back(Instr32::read_postcard(in, scratch, names));
      c.perm = Permut32::from_raw(in.varint32());
    }
  }
  uint64_t nqubits = in.varint64();
  if (nqubits > std::numeric_limits<uint32_t>::max()) throw postcard::Error(postcard::kSerdeError);
  out.nqubits = static_cast<uint32_t>(nqubits);
  return out;
}

std::vector<uint8_t> encode_eccs(const ECCs& eccs) {
  std::vector<uint8_t> bytes;
  postcard::Writer w(bytes);
  encode_eccs(eccs, w);
  return bytes;
}

ECCs decode_eccs(std::span<const uint8_t> bytes) {
  postcard::Reader r(bytes);
  return decode_eccs(r);
}

void dump_postcard(const ECCs& eccs, const std::string& path) {
  GateTexts texts = GateTexts::read_back();
  save_postcard(
      path,
      [&] {
        for (const ECC& ecc : eccs.eccs)
          for (const PermutedCircuit& c : ecc.circuits)
            for (Instr32 instr : c.instrs) texts(instr.gate);
      },
      [&](postcard::FileWriter& w) { encode_eccs(eccs, w, texts); });
}

ECCs eccs_from_postcard(const std::string& path) {
  return load_postcard(path, [](postcard::Reader& r) { return decode_eccs(r); });
}

}  // namespace morvane
