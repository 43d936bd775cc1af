#include "morvane/search/ecc_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include <fmt/format.h>

#include "morvane/core/panic.h"
#include "morvane/search/ecc_file_testing.h"
#include "morvane/search/quartz.h"

namespace morvane {

using testing::Stops;

namespace {

using testing::ecc_of;
using testing::hex;
using testing::instr;
using testing::read_bytes;
using testing::worked_example;

const char* kWorkedExampleHex =
    "02 01 01 01 78 00 FF 88 80 80 10 02 00 81 80 80 10 03 02 63 78 00 01 02 63 78 01 00 02 63 78 00 01 "
    "88 80 80 10 02";

/// The message of the postcard::Error that decoding `bytes` raises, or "" when it decodes.
std::string decode_error(const std::vector<uint8_t>& bytes) {
  try {
    decode_eccs(bytes);
    return "";
  } catch (const postcard::Error& e) {
    return e.what();
  }
}

std::vector<uint8_t> with_text(const std::string& text) {
  // One class, one circuit, one instruction with `text` as its gate, qubits 0 and FF.
  std::vector<uint8_t> bytes{1, 1, 1};
  postcard::Writer w(bytes);
  w.text(text);
  bytes.insert(bytes.end(), {0x00, 0xFF, 0x88, 0x80, 0x80, 0x10, 0x02});
  return bytes;
}

template <typename F>
std::string file_error(F&& f, FileError::Kind kind) {
  try {
    f();
  } catch (const FileError& e) {
    EXPECT_EQ(e.kind(), kind) << e.what();
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(ecc_file, worked_example_encodes_to_its_38_bytes_and_back) {
  auto bytes = encode_eccs(worked_example());
  EXPECT_EQ(bytes, hex(kWorkedExampleHex));
  EXPECT_EQ(bytes.size(), 38u);
  EXPECT_EQ(decode_eccs(bytes), worked_example());
}

TEST(ecc_file, empty_collection_is_two_bytes) {
  EXPECT_EQ(encode_eccs(ECCs{{}, 3}), (std::vector<uint8_t>{0x00, 0x03}));
  EXPECT_EQ(decode_eccs(std::vector<uint8_t>{0x00, 0x03}), (ECCs{{}, 3}));
}

TEST(ecc_file, decoding_keeps_whatever_was_stored) {
  // Stored order, an empty class, an empty circuit, single-circuit classes, parameterised and
  // adjoint gate texts, odd qubit bytes and raw words are all taken as they are.
  Gate16 rz = *Gate16::from_name("rz(-pi/16)");
  Gate16 dagger = testing::phase_gate("ecc_file_p", 0.4321).adjoint();
  ASSERT_EQ(dagger.display(), "ecc_file_p\u2020");
  Instr32 odd{gates::H(), QArgs16{{7, 200}}};
  Instr32 none{gates::X(), QArgs16{}};
  ECCs eccs{
      {ecc_of({{{instr(gates::X(), {1})}, Permut32::identity(3)}}), ECC{},
       ecc_of({{{}, Permut32::from_raw(0xFFFFFFFF)},
               {{instr(rz, {2}), instr(dagger, {0}), odd, none}, Permut32::from_iter(std::vector<uint8_t>{2, 0, 1})}}),
       ecc_of({{{instr(gates::CX(), {1, 0})}, Permut32::identity(2)}})},
      0xFFFFFFFFu};
  auto bytes = encode_eccs(eccs);
  EXPECT_EQ(decode_eccs(bytes), eccs);
  // Longer-than-needed varints and bytes after the qubit count are accepted.
  EXPECT_EQ(decode_eccs(hex("80 00 82 80 00 FF FF")), (ECCs{{}, 2}));
}

TEST(ecc_file, many_distinct_gates_resolve_to_their_own_gates) {
  // More distinct texts than the resolver keeps in its short list, in an order that revisits each.
  std::vector<Gate16> gs;
  for (int i = 0; i < 20; ++i) gs.push_back(testing::phase_gate("many_" + std::to_string(i), 1.0 + 0.01 * i));
  ECC ecc;
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 20; ++i)
      ecc.circuits.push_back({{instr(gs[(i * 7 + round) % 20], {0})}, Permut32::identity(1)});
  ECCs eccs{{ecc}, 1};
  EXPECT_EQ(decode_eccs(encode_eccs(eccs)), eccs);
}

TEST(ecc_file, every_truncation_ends_the_buffer) {
  auto bytes = hex(kWorkedExampleHex);
  for (size_t n = 0; n < bytes.size(); ++n)
    EXPECT_EQ(decode_error(std::vector<uint8_t>(bytes.begin(), bytes.begin() + n)), postcard::kEndOfBuffer)
        << "prefix of " << n << " bytes";
}

TEST(ecc_file, malformed_fields_get_their_error_texts) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* error;
  };
  std::string long_text(8193, 'a');
  std::vector<Case> cases = {
      {"count of 6 bytes", hex("80 80 80 80 80 00 00"), postcard::kBadVarint},
      {"fifth count byte above 0F", hex("80 80 80 80 10 00"), postcard::kBadVarint},
      {"permutation of 6 bytes", hex("01 01 00 80 80 80 80 80 00 02"), postcard::kBadVarint},
      {"text length of 6 bytes", hex("01 01 01 80 80 80 80 80 00"), postcard::kBadVarint},
      {"qubit count of 11 bytes", hex("00 80 80 80 80 80 80 80 80 80 80 00"), postcard::kBadVarint},
      {"tenth qubit count byte above 01", hex("00 FF FF FF FF FF FF FF FF FF 02"), postcard::kBadVarint},
      {"qubit count of 2^64 - 1", hex("00 FF FF FF FF FF FF FF FF FF 01"), postcard::kSerdeError},
      {"qubit count of 2^32", hex("00 80 80 80 80 10"), postcard::kSerdeError},
      {"forged class count", hex("FF FF FF FF 0F"), postcard::kEndOfBuffer},
      {"forged circuit count", hex("01 FF FF FF FF 0F 00 88 80 80 10"), postcard::kEndOfBuffer},
      {"forged instruction count", hex("01 01 FF FF FF FF 0F 01 78 00 FF"), postcard::kEndOfBuffer},
      {"text longer than the scratch area", with_text(long_text), postcard::kEndOfBuffer},
      {"text length beyond the file", hex("01 01 01 05 78"), postcard::kEndOfBuffer},
      {"invalid utf-8", with_text("\xFF"), postcard::kBadUtf8},
      {"truncated utf-8 sequence", with_text("h\xE2\x80"), postcard::kBadUtf8},
      {"overlong utf-8 form", with_text("\xC0\xAF"), postcard::kBadUtf8},
      {"utf-8 surrogate", with_text("\xED\xA0\x80"), postcard::kBadUtf8},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_error(c.bytes), c.error) << c.what;
  EXPECT_EQ(decode_eccs(hex("00 FF FF FF FF 0F")).nqubits, 0xFFFFFFFFu);
}

TEST(ecc_file, unregistered_gate_text_stops_the_load_quoting_at_most_64_characters) {
  std::string e64, g64(64, 'g');
  for (int i = 0; i < 64; ++i) e64 += "\xC3\xA9";  // é, two bytes each
  struct Case {
    std::string text, quoted;
  } cases[] = {{"no_such_gate", "no_such_gate"},
               {"rz(pi/7)", "rz(pi/7)"},
               {g64, g64},
               {g64 + "h", g64 + "…"},
               {std::string(8192, 'g'), g64 + "…"},
               {e64, e64},
               {e64 + "\xC3\xA9", e64 + "…"},
               {"a\xE2\x80\xA0" + g64, "a\xE2\x80\xA0" + std::string(62, 'g') + "…"}};
  for (const Case& c : cases)
    EXPECT_THAT([&] { decode_eccs(with_text(c.text)); }, Stops("Failed to deserialize Gate16 from " + c.quoted))
        << c.text.size();
}

TEST(ecc_file, gates_that_would_not_load_back_are_refused_before_anything_is_created) {
  // A text as long as the reader's scratch area is the longest that loads back.
  Gate16 longest = testing::phase_gate(std::string(8192, 'M'), 0.9875);
  ECCs fits{{ecc_of({{{instr(longest, {0})}, Permut32::identity(1)}})}, 1};
  testing::TempDir dir("ecc_file");
  dump_postcard(fits, (dir / "longest.bin").string());
  EXPECT_EQ(eccs_from_postcard((dir / "longest.bin").string()), fits);

  Gate16 too_long = testing::phase_gate(std::string(8193, 'L'), 0.9876);
  // Display texts of gates registered earlier: a built-in name, a built-in display text with
  // parameters, and that text as a bare name.
  Gate16 named_h = testing::phase_gate("h", 0.8765);
  Gate16 rz = Gate16::make("rz", {"pi/3"}, testing::phase_matrix(0.7654));
  Gate16 rz_text = testing::phase_gate("rz(pi/3)", 0.6543);
  ASSERT_NE(named_h, gates::H());
  struct Case {
    Gate16 gate;
    std::string message;
  };
  const Case cases[] = {
      {too_long,
       fmt::format("Gate({} -> {}...) has a display text of 8193 bytes, longer than the 8192 bytes a reader accepts",
                   too_long.index, std::string(64, 'L'))},
      {named_h,
       fmt::format("Gate({} -> h) would load back as Gate(1 -> h), registered earlier with the same display text",
                   named_h.index)},
      {rz, fmt::format("Gate({} -> rz(pi/3)) would load back as Gate(17 -> rz(pi/3)), registered earlier with the same "
                       "display text",
                       rz.index)},
      {rz_text, fmt::format("Gate({} -> rz(pi/3)) would load back as Gate(17 -> rz(pi/3)), registered earlier with the "
                            "same display text",
                            rz_text.index)},
  };
  auto path = dir / "refused.bin";
  for (const Case& c : cases) {
    // The gate comes last, after enough data to fill the write buffer.
    ECCs eccs = testing::synthetic_collection(2000, 2);
    eccs.eccs.back().circuits.back().instrs.push_back(instr(c.gate, {0}));
    EXPECT_EQ(file_error([&] { dump_postcard(eccs, path.string()); }, FileError::Kind::Value),
              "Failed to write postcard data: " + c.message);
    EXPECT_EQ(testing::names_in(dir.path()), std::vector<std::string>{"longest.bin"});
  }
}

TEST(ecc_file, file_round_trip_across_buffer_boundaries) {
  // Texts of 3000 bytes make fields straddle the 8192-byte buffer edges on both sides.
  Gate16 wide = testing::phase_gate(std::string(3000, 'w'), 0.5555);
  ECCs eccs = testing::synthetic_collection(400, 2);
  eccs.eccs[1].circuits[0].instrs.push_back(instr(wide, {1}));
  for (int k = 0; k < 20; ++k) eccs.eccs[k * 7].circuits.back().instrs.push_back(instr(wide, {0}));
  testing::TempDir dir("ecc_file");
  auto path = (dir / "eccs.bin").string();
  dump_postcard(eccs, path);
  auto bytes = read_bytes(path);
  EXPECT_GT(bytes.size(), 8 * postcard::kBufferSize);
  EXPECT_EQ(bytes, encode_eccs(eccs));
  EXPECT_EQ(eccs_from_postcard(path), eccs);
  // Saving again truncates the old contents.
  dump_postcard(ECCs{{}, 3}, path);
  EXPECT_EQ(read_bytes(path), (std::vector<uint8_t>{0x00, 0x03}));
}

TEST(ecc_file, file_errors_carry_their_messages) {
  testing::TempDir dir("ecc_file");
  auto missing = (dir / "no_dir" / "x.bin").string();
  ECCs eccs = worked_example();
  EXPECT_EQ(file_error([&] { dump_postcard(eccs, missing); }, FileError::Kind::Io),
            "Failed to create file: No such file or directory (os error 2)");
  EXPECT_EQ(file_error([&] { eccs_from_postcard(missing); }, FileError::Kind::Io),
            "Failed to open file: No such file or directory (os error 2)");
  EXPECT_EQ(file_error([&] { dump_postcard(eccs, dir.path().string()); }, FileError::Kind::Io),
            "Failed to create file: Is a directory (os error 21)");
  // A text path with a NUL inside would name another file.
  std::string with_nul = (dir / "a").string() + std::string(1, '\0') + "b";
  EXPECT_EQ(file_error([&] { dump_postcard(eccs, with_nul); }, FileError::Kind::Io),
            "Failed to create file: Invalid argument (os error 22)");
  EXPECT_FALSE(std::filesystem::exists(dir / "a"));
  EXPECT_EQ(file_error([&] { eccs_from_postcard(dir.path().string()); }, FileError::Kind::Io),
            "Failed to open file: Is a directory (os error 21)");
  EXPECT_EQ(file_error([&] { dump_postcard(eccs, "/dev/full"); }, FileError::Kind::Value),
            "Failed to write postcard data: No space left on device (os error 28)");
  // A truncated file.
  auto path = (dir / "cut.bin").string();
  dump_postcard(eccs, path);
  std::filesystem::resize_file(path, 20);
  EXPECT_EQ(file_error([&] { eccs_from_postcard(path); }, FileError::Kind::Value),
            "Failed to read postcard data: Hit the end of buffer, expected more data");
}

TEST(ecc_file, created_files_have_mode_0666_before_the_umask) {
  testing::TempDir dir("ecc_file");
  auto path = dir / "mode.bin";
  mode_t old = ::umask(0);
  dump_postcard(ECCs{{}, 1}, path.string());
  ::umask(022);
  dump_postcard(ECCs{{}, 1}, (dir / "mode2.bin").string());
  ::umask(old);
  EXPECT_EQ(std::filesystem::status(path).permissions(), std::filesystem::perms(0666));
  EXPECT_EQ(std::filesystem::status(dir / "mode2.bin").permissions(), std::filesystem::perms(0644));
}

TEST(ecc_file, running_out_of_space_keeps_the_file_that_was_there) {
  testing::SmallTmpfs disk("64k");
  if (!disk.mounted()) GTEST_SKIP() << "a tmpfs cannot be mounted here";
  ECCs small = worked_example();
  ECCs large = testing::synthetic_collection(3000, 4);  // a class file of about 230 kB
  auto path = (disk / "eccs.bin").string();
  auto json = (disk / "eccs.json").string();
  dump_postcard(small, path);
  dump_quartz(small, json);
  auto saved = read_bytes(path), exported = read_bytes(json);
  EXPECT_EQ(file_error([&] { dump_postcard(large, path); }, FileError::Kind::Value),
            "Failed to write postcard data: No space left on device (os error 28)");
  EXPECT_EQ(file_error([&] { dump_quartz(large, json); }, FileError::Kind::Value),
            "Failed to write JSON: No space left on device (os error 28)");
  EXPECT_EQ(file_error([&] { dump_postcard(large, (disk / "new.bin").string()); }, FileError::Kind::Value),
            "Failed to write postcard data: No space left on device (os error 28)");
  EXPECT_EQ(read_bytes(path), saved);
  EXPECT_EQ(read_bytes(json), exported);
  EXPECT_EQ(eccs_from_postcard(path), small);
  EXPECT_EQ(testing::names_in(disk.path()), (std::vector<std::string>{"eccs.bin", "eccs.json"}));
  // The space of the failed saves is free again.
  dump_postcard(testing::synthetic_collection(300, 4), path);
}

namespace {
/// What loading gave: a collection, a decoding error text or a stop message.
struct Outcome {
  enum { Decoded, Failed, Stopped } kind;
  std::string message;
  ECCs eccs;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

template <typename F>
Outcome outcome_of(F&& load) {
  try {
    return {Outcome::Decoded, "", load()};
  } catch (const postcard::Error& e) {
    return {Outcome::Failed, e.what(), {}};
  } catch (const FileError& e) {
    constexpr std::string_view prefix = "Failed to read postcard data: ";
    EXPECT_EQ(std::string_view(e.what()).substr(0, prefix.size()), prefix);
    return {Outcome::Failed, std::string(e.what()).substr(prefix.size()), {}};
  } catch (const Panic& e) {
    return {Outcome::Stopped, e.what(), {}};
  }
}
}  // namespace

// Mutated and random inputs: each one decodes, or fails with one of the decoding texts, or stops
// on an unknown gate; never anything else. A decoded collection re-encodes to bytes that decode to
// it again, and loading the bytes from a file gives the same outcome as decoding them in memory
// (checked for every 512th input; the large seed makes fields straddle the file buffer's edges).
// MORVANE_FUZZ_INPUTS sets the number of inputs (default 200000, 100000 under the sanitizers).
TEST(ecc_file, fuzzed_inputs_decode_or_fail_cleanly) {
#if defined(__SANITIZE_ADDRESS__)
  size_t inputs = 100000;  // the sanitizers make each input about ten times slower
#else
  size_t inputs = 200000;
#endif
  if (const char* env = std::getenv("MORVANE_FUZZ_INPUTS")) inputs = std::strtoull(env, nullptr, 10);
  std::mt19937_64 rng(0x5EED);
  std::vector<std::vector<uint8_t>> seeds = {hex(kWorkedExampleHex), encode_eccs(ECCs{{}, 3}),
                                             encode_eccs(testing::synthetic_collection(6, 3))};
  const auto large_seed = encode_eccs(testing::synthetic_collection(800, 3));
  ASSERT_GT(large_seed.size(), 2 * postcard::kBufferSize);
  const std::set<std::string> texts = {postcard::kEndOfBuffer, postcard::kBadVarint, postcard::kBadUtf8,
                                       postcard::kSerdeError};
  testing::TempDir dir("ecc_file");
  auto path = (dir / "fuzz.bin").string();
  size_t counts[3] = {0, 0, 0}, through_files = 0;
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  auto start = std::chrono::steady_clock::now();
  for (size_t run = 0; run < inputs; ++run) {
    bool via_file = run % 512 == 0;
    std::vector<uint8_t> bytes;
    if (run % 16 == 1) {
      bytes.resize(pick(64));
      for (auto& b : bytes) b = uint8_t(rng());
    } else {
      bytes = via_file && run % 1024 == 0 ? large_seed : seeds[pick(seeds.size())];
      // Interesting bytes: a continuation, a limit, an empty slot.
      static constexpr uint8_t kBytes[] = {0x00, 0x01, 0x0F, 0x10, 0x7F, 0x80, 0xFF};
      testing::mutate(bytes, rng, 1 + pick(4), kBytes);
    }
    Outcome got = outcome_of([&] { return decode_eccs(bytes); });
    ++counts[got.kind];
    switch (got.kind) {
      case Outcome::Decoded: ASSERT_EQ(decode_eccs(encode_eccs(got.eccs)), got.eccs); break;
      case Outcome::Failed: ASSERT_TRUE(texts.count(got.message)) << got.message; break;
      case Outcome::Stopped:
        ASSERT_EQ(got.message.rfind("Failed to deserialize Gate16 from ", 0), 0u) << got.message;
        break;
    }
    if (via_file) {
      std::ofstream(path, std::ios::binary | std::ios::trunc)
          .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
      ASSERT_EQ(outcome_of([&] { return eccs_from_postcard(path); }), got) << "input " << run;
      ++through_files;
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "[ fuzz ] %zu inputs (%zu also from files) in %.2f s: %zu decoded, %zu decoding errors, "
      "%zu unknown gates\n",
      inputs, through_files, seconds, counts[0], counts[1], counts[2]);
  EXPECT_GT(counts[Outcome::Decoded], 0u);
  EXPECT_GT(counts[Outcome::Failed], 0u);
  EXPECT_GT(counts[Outcome::Stopped], 0u);
}

}  // namespace morvane
