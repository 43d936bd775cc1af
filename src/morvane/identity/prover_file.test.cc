#include "morvane/identity/prover_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "morvane/identity/canonical.h"
#include "morvane/identity/proof.h"
#include "morvane/identity/proof_testing.h"
#include "morvane/search/ecc_file_testing.h"

namespace morvane {

using testing::cx;
using testing::h;
using testing::hex;
using testing::read_bytes;
using testing::Stops;

namespace {

const char* kWorkedExampleHex =
    "00 01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01 00 00";

/// `proved` holds h(0) h(0) with the identity permutation of length 1, mapped in `circ_map` to the
/// empty circuit with permutation raw 0.
IdentityProver worked_example() {
  const Circ hh{{h(0), h(0)}, Permut32::from_raw(0x01000000)};
  IdentityProver p;
  p.proved.insert(IdentityCirc::as_read(hh));
  p.circ_map[hh] = {Circ{{}, Permut32::from_raw(0)}};
  return p;
}

/// Equal fields: `assume` in order, `proved` and `circ_map` as sets.
void expect_same(const IdentityProver& a, const IdentityProver& b) {
  EXPECT_EQ(a.assume, b.assume);
  EXPECT_EQ(a.proved, b.proved);
  EXPECT_EQ(a.circ_map, b.circ_map);
}

std::string decode_error(const std::vector<uint8_t>& bytes) {
  try {
    decode_prover(bytes);
    return "";
  } catch (const postcard::Error& e) {
    return e.what();
  }
}

const IdentityProver& h_s_cx_prover() {
  static const IdentityProver p = testing::generated_prover(2, {gates::H(), gates::S(), gates::CX()}, 3);
  return p;
}

}  // namespace

TEST(prover_file, worked_example_encodes_to_its_32_bytes_and_back) {
  auto bytes = encode_prover(worked_example());
  EXPECT_EQ(bytes, hex(kWorkedExampleHex));
  EXPECT_EQ(bytes.size(), 32u);
  expect_same(decode_prover(bytes), worked_example());
  EXPECT_EQ(encode_prover(IdentityProver{}), (std::vector<uint8_t>{0, 0, 0}));
  expect_same(decode_prover(std::vector<uint8_t>{0, 0, 0, 0xAB}), IdentityProver{});  // trailing bytes ignored
}

TEST(prover_file, repeated_keys_are_kept_once_and_the_last_rules_win) {
  // assume: [hh, hh]; proved: hh twice; circ_map: hh -> [empty], then hh -> [].
  auto bytes =
      hex("02 02 01 68 00 FF 01 68 00 FF 80 80 80 08 02 01 68 00 FF 01 68 00 FF 80 80 80 08 "
          "02 02 01 68 00 FF 01 68 00 FF 80 80 80 08 02 01 68 00 FF 01 68 00 FF 80 80 80 08 "
          "02 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01 00 00 02 01 68 00 FF 01 68 00 FF 80 80 80 08 00");
  IdentityProver p = decode_prover(bytes);
  const IdentityProver example = worked_example();
  const IdentityCirc hh = *example.proved.begin();
  EXPECT_EQ(p.assume, (std::vector<IdentityCirc>{hh, hh}));
  EXPECT_EQ(p.proved, example.proved);
  ASSERT_EQ(p.circ_map.size(), 1u);
  EXPECT_TRUE(p.circ_map.at(hh.circ).empty());
}

TEST(prover_file, generated_prover_round_trips_through_a_file) {
  const IdentityProver& p = h_s_cx_prover();
  ASSERT_FALSE(p.assume.empty());
  testing::TempDir dir("prover_file");
  auto path = (dir / "prover.bin").string();
  dump_postcard(p, path);
  auto bytes = read_bytes(path);
  IdentityProver loaded = prover_from_postcard(path);
  expect_same(loaded, p);
  // Saved again: the same length and the same assumption bytes in front.
  auto again = encode_prover(loaded);
  EXPECT_EQ(again.size(), bytes.size());
  std::vector<uint8_t> assume_bytes;
  postcard::Writer w(assume_bytes);
  GateTexts texts;
  w.varint32(uint32_t(p.assume.size()));
  for (const IdentityCirc& a : p.assume) a.circ.write_postcard(w, texts);
  EXPECT_TRUE(std::equal(assume_bytes.begin(), assume_bytes.end(), again.begin()));
  // The loaded prover answers as the saved one.
  for (const IdentityCirc& id : testing::sorted_proved(p)) {
    EXPECT_EQ(loaded.prove_identity(id, 2, 1000), p.prove_identity(id, 2, 1000));
    testing::Silenced out(1);
    EXPECT_EQ(export_proof(loaded, id, 2, 1000), export_proof(p, id, 2, 1000));
  }
}

TEST(prover_file, truncations_and_malformed_fields_fail_with_their_texts) {
  auto bytes = hex(kWorkedExampleHex);
  for (size_t n = 0; n < bytes.size(); ++n)
    EXPECT_EQ(decode_error(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n)), postcard::kEndOfBuffer) << n;
  EXPECT_EQ(decode_error(hex("80 80 80 80 80 00")), postcard::kBadVarint);
  EXPECT_EQ(decode_error(hex("00 01 00 80 80 80 80 80 00")), postcard::kBadVarint);  // permutation word
  EXPECT_EQ(decode_error(hex("00 FF FF FF FF 0F")), postcard::kEndOfBuffer);         // forged count
  EXPECT_EQ(decode_error(hex("00 01 01 01 FF 00 FF 00")), postcard::kBadUtf8);
  EXPECT_THAT([] { decode_prover(hex("00 01 01 04 6E 6F 70 65 00 FF 00 00 00")); },
              Stops("Failed to deserialize Gate16 from nope"));
}

namespace {

/// A prover made of what a hostile file can hold: a well-formed rule and identity, plus `bad` in
/// the given field.
enum class Field { Assume, Proved, RuleKey, Rule };

IdentityProver hostile(Field field, const Circ& bad) {
  IdentityProver p = worked_example();
  switch (field) {
    case Field::Assume: p.assume.push_back(IdentityCirc::as_read(bad)); break;
    case Field::Proved: p.proved.insert(IdentityCirc::as_read(bad)); break;
    case Field::RuleKey: p.circ_map[bad] = {Circ{{}, Permut32::identity(1)}}; break;
    case Field::Rule: p.circ_map[Circ{{h(0)}, Permut32::identity(1)}] = {bad}; break;
  }
  return p;
}

/// Runs what a caller can do with a loaded prover on `id`: every outcome but a stop or a decoding
/// error is a clean result. Returns the stop's message, or "".
std::string use(const IdentityProver& p, const IdentityCirc& id) {
  testing::Silenced out(1);
  try {
    p.prove_identity(id, 2, 200);
    export_proof(p, id, 2, 200);
    for (const TransitionPair& t : p.par_transition_pairs(id, 2)) (void)t;
    IdentityProver copy = p;
    copy.add_identity(id, 1, 200);
    (void)encode_prover(copy);
  } catch (const Panic& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(prover_file, hostile_contents_stop_when_used) {
  const IdentityCirc hh = *worked_example().proved.begin();
  const IdentityCirc h4 = rotate_representative(Circ::make_no_perm({h(0), h(0), h(0), h(0)}));
  std::vector<Instr32> twenty(20, h(0));
  struct Case {
    const char* what;
    Circ circ;
    std::string stop;  // a part of the message
  };
  const Case cases[] = {
      {"a permutation word that is no permutation", Circ{{h(0), h(0)}, Permut32::from_raw(0x02000000)}, "ermutation"},
      {"a length above 8", Circ{{h(0), h(0)}, Permut32::from_raw(0x0F000000)}, "ermutation"},
      {"a qubit of 8 or more", Circ{{Instr32{gates::H(), QArgs16{{9, 0xFF}}}, h(0)}, Permut32::identity(1)}, "qubit"},
      {"a qubit beyond the permutation", Circ{{h(1), h(1)}, Permut32::identity(1)}, "qubit"},
      {"a gate with the wrong arity", Circ{{Instr32{gates::CX(), QArgs16{{0, 0xFF}}}}, Permut32::identity(1)}, "qubit"},
      {"a rule that does not match its key", Circ{{testing::x(0)}, Permut32::identity(1)}, "not identity"},
      {"twenty gates", Circ{twenty, Permut32::identity(1)}, "index out of bounds"},
  };
  // Every use ends cleanly or stops (under the sanitizers: without touching memory it must not);
  // the malformed data themselves stop with a message naming the fault.
  for (const Case& c : cases) {
    std::vector<std::string> stops;
    for (Field f : {Field::Assume, Field::Proved, Field::RuleKey, Field::Rule}) {
      IdentityProver p = decode_prover(encode_prover(hostile(f, c.circ)));
      for (const IdentityCirc& id : {hh, h4, IdentityCirc::as_read(c.circ)}) stops.push_back(use(p, id));
    }
    EXPECT_THAT(stops, ::testing::Contains(::testing::HasSubstr(c.stop))) << c.what;
  }
}

namespace {
/// What loading and using gave: a prover that was used without fault, a decoding error or a stop.
enum Outcome { Used, Failed, Stopped };
}  // namespace

// Mutated and random inputs: each one decodes or fails with one of the decoding texts, or stops
// on an unknown gate; whatever decodes is used (prove_identity, export_proof, the rewriting step,
// add_identity, saving) on its own identities and on a fixed one, and each use ends cleanly or
// stops. Runs MORVANE_FUZZ_INPUTS inputs (default 100000, 50000 under the sanitizers).
TEST(prover_file, fuzzed_files_decode_and_are_used_or_fail_cleanly) {
#if defined(__SANITIZE_ADDRESS__)
  size_t inputs = 50000;
#else
  size_t inputs = 100000;
#endif
  if (const char* env = std::getenv("MORVANE_FUZZ_INPUTS")) inputs = std::strtoull(env, nullptr, 10);
  std::mt19937_64 rng(0x9207E5);
  IdentityProver small = testing::generated_prover(1, {gates::H(), gates::S()}, 3);
  std::vector<std::vector<uint8_t>> seeds = {hex(kWorkedExampleHex), encode_prover(IdentityProver{}),
                                             encode_prover(small)};
  const std::set<std::string> texts = {postcard::kEndOfBuffer, postcard::kBadVarint, postcard::kBadUtf8};
  const IdentityCirc fixed = rotate_representative(Circ::make_no_perm({h(0), h(0), h(0), h(0)}));
  size_t counts[3] = {0, 0, 0}, uses = 0;
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  const auto start = std::chrono::steady_clock::now();
  for (size_t run = 0; run < inputs; ++run) {
    std::vector<uint8_t> bytes;
    if (run % 16 == 1) {
      bytes.resize(pick(48));
      for (auto& b : bytes) b = uint8_t(rng());
    } else {
      bytes = seeds[pick(seeds.size())];
      // Interesting bytes: varint edges, qubit and permutation-length limits, twenty gates.
      static constexpr uint8_t kBytes[] = {0x00, 0x01, 0x07, 0x08, 0x13, 0x14, 0x7F, 0x80, 0xFF};
      testing::mutate(bytes, rng, 1 + pick(3), kBytes);
    }
    Outcome outcome = Used;
    try {
      IdentityProver p = decode_prover(bytes);
      std::vector<IdentityCirc> ids = {fixed};
      if (!p.assume.empty()) ids.push_back(p.assume[pick(p.assume.size())]);
      if (!p.proved.empty()) ids.push_back(*p.proved.begin());
      for (const IdentityCirc& id : ids) {
        ++uses;
        if (!use(p, id).empty()) outcome = Stopped;
      }
    } catch (const postcard::Error& e) {
      ASSERT_TRUE(texts.count(e.what())) << e.what();
      outcome = Failed;
    } catch (const Panic&) {
      outcome = Stopped;
    }
    ++counts[outcome];
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "[ fuzz ] %zu prover files in %.2f s: %zu used cleanly, %zu decoding errors, %zu stopped "
      "(%zu uses)\n",
      inputs, seconds, counts[Used], counts[Failed], counts[Stopped], uses);
  EXPECT_GT(counts[Used], 0u);
  EXPECT_GT(counts[Failed], 0u);
  EXPECT_GT(counts[Stopped], 0u);
}

TEST(prover_file, file_errors_carry_their_messages) {
  testing::TempDir dir("prover_file");
  auto missing = (dir / "no_dir" / "x.bin").string();
  auto message = [](auto&& f) {
    try {
      f();
    } catch (const FileError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] { dump_postcard(worked_example(), missing); }),
            "Failed to create file: No such file or directory (os error 2)");
  EXPECT_EQ(message([&] { prover_from_postcard(missing); }),
            "Failed to open file: No such file or directory (os error 2)");
  EXPECT_EQ(message([&] { dump_postcard(worked_example(), "/dev/full"); }),
            "Failed to write postcard data: No space left on device (os error 28)");
  auto path = (dir / "cut.bin").string();
  dump_postcard(worked_example(), path);
  std::filesystem::resize_file(path, 20);
  EXPECT_EQ(message([&] { prover_from_postcard(path); }),
            "Failed to read postcard data: Hit the end of buffer, expected more data");
  // A gate that would load back as another is refused before anything is created.
  IdentityProver p = worked_example();
  p.assume.push_back(
      IdentityCirc::as_read(Circ{{testing::instr(testing::phase_gate("h", 0.4242), {0})}, Permut32::identity(1)}));
  auto refused = (dir / "refused.bin").string();
  EXPECT_THAT(message([&] { dump_postcard(p, refused); }),
              ::testing::StartsWith("Failed to write postcard data: Gate("));
  EXPECT_FALSE(std::filesystem::exists(refused));
}

}  // namespace morvane
