#include "morvane/identity/prover_file.h"

namespace morvane {

template <typename W>
void encode_prover(const IdentityProver& prover, W& out, GateTexts& texts) {
  out.varint32(static_cast<uint32_t>(prover.assume.size()));
  for (const IdentityCirc& id : prover.assume) id.circ.write_postcard(out, texts);
  out.varint32(static_cast<uint32_t>(prover.proved.size()));
  for (const IdentityCirc& id : prover.proved) id.circ.write_postcard(out, texts);
  out.varint32(static_cast<uint32_t>(prover.circ_map.size()));
  for (const auto& [key, rules] : prover.circ_map) {
    key.write_postcard(out, texts);
    out.varint32(static_cast<uint32_t>(rules.size()));
    for (const Circ& rule : rules) rule.write_postcard(out, texts);
  }
}

template void encode_prover(const IdentityProver&, postcard::Writer&, GateTexts&);
template void encode_prover(const IdentityProver&, postcard::FileWriter&, GateTexts&);

IdentityProver decode_prover(postcard::Reader& in) {
  GateNames names;
  std::string scratch;
  scratch.reserve(postcard::kBufferSize);
  auto circ = [&] { return Circ::read_postcard(in, scratch, names); };
  IdentityProver out;
  uint32_t count = in.varint32();
  postcard::reserve_lazily(out.assume, count);
  for (uint32_t k = 0; k < count; ++k) out.assume.push_back(IdentityCirc::as_read(circ()));
  count = in.varint32();
  postcard::reserve_lazily(out.proved, count);
  for (uint32_t k = 0; k < count; ++k) out.proved.insert(IdentityCirc::as_read(circ()));
  count = in.varint32();
  postcard::reserve_lazily(out.circ_map, count);
  for (uint32_t k = 0; k < count; ++k) {
    Circ key = circ();
    uint32_t nrules = in.varint32();
    std::vector<Circ> rules;
    postcard::reserve_lazily(rules, nrules);
    for (uint32_t r = 0; r < nrules; ++r) rules.push_back(circ());
    out.circ_map.insert_or_assign(std::move(key), std::move(rules));
  }
  return out;
}

std::vector<uint8_t> encode_prover(const IdentityProver& prover) {
  std::vector<uint8_t> bytes;
  postcard::Writer w(bytes);
  GateTexts texts;
  encode_prover(prover, w, texts);
  return bytes;
}

IdentityProver decode_prover(std::span<const uint8_t> bytes) {
  postcard::Reader r(bytes);
  return decode_prover(r);
}

void dump_postcard(const IdentityProver& prover, const std::string& path) {
  GateTexts texts = GateTexts::read_back();
  save_postcard(
      path,
      [&] {
        auto check = [&](const Circ& c) {
          for (Instr32 instr : c.instrs) texts(instr.gate);
        };
        for (const IdentityCirc& id : prover.assume) check(id.circ);
        for (const IdentityCirc& id : prover.proved) check(id.circ);
        for (const auto& [key, rules] : prover.circ_map) {
          check(key);
          for (const Circ& rule : rules) check(rule);
        }
      },
      [&](postcard::FileWriter& w) { encode_prover(prover, w, texts); });
}

IdentityProver prover_from_postcard(const std::string& path) {
  return load_postcard(path, [](postcard::Reader& r) { return decode_prover(r); });
}

}  // namespace morvane
