#include "morvane/search/quartz.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "morvane/core/panic.h"
#include "morvane/core/file.h"
#include "morvane/search/ecc_file_testing.h"

namespace morvane {

using testing::Stops;

namespace {

using nlohmann::json;
using testing::ecc_of;
using testing::instr;

std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// A class of single-qubit circuits h(q) carrying the given permutations.
ECC class_with_perms(std::vector<Permut32> perms) {
  ECC ecc;
  for (size_t i = 0; i < perms.size(); ++i) ecc.circuits.push_back({{instr(gates::H(), {uint8_t(i % 2)})}, perms[i]});
  return ecc;
}

/// Checks the document the way a Quartz-style reader reads it and returns its keys in file order.
std::vector<std::string> read_like_quartz(const std::string& text) {
  json doc = json::parse(text);
  EXPECT_TRUE(doc.is_array() && doc.size() == 2);
  EXPECT_EQ(doc[0], json::parse("[[0],[0]]"));
  std::vector<std::string> keys;
  for (auto& [key, circuits] : doc[1].items()) {
    keys.push_back(key);
    EXPECT_THAT(key, ::testing::MatchesRegex("[0-9a-f]+_[0-9]+"));
    for (const json& c : circuits) {
      EXPECT_EQ(c.size(), 2u);
      uint64_t nqubits = c[0][0], ngates = c[0][1];
      EXPECT_EQ(nqubits, circuits[0][0][0]) << key << ": one qubit count for every circuit of a group";
      EXPECT_EQ(ngates, c[1].size());
      for (const json& g : c[1]) {
        EXPECT_TRUE(g[0].is_string());
        EXPECT_EQ(g[1], g[2]);
        for (const json& q : g[1]) {
          std::string name = q;
          EXPECT_EQ(name[0], 'Q');
          EXPECT_LT(std::stoul(name.substr(1)), nqubits);
        }
      }
    }
  }
  return keys;
}

}  // namespace

TEST(quartz, worked_example_document) {
  const std::string expected =
      R"([[[0],[0]],{"1_0":[[[2,0],[]],[[2,4],[["cx",["Q0","Q1"],["Q0","Q1"]],["cx",["Q1","Q0"],["Q1","Q0"]],)"
      R"(["cx",["Q0","Q1"],["Q0","Q1"]],["swap",["Q0","Q1"],["Q0","Q1"]]]]],)"
      R"("1_1":[[[2,1],[["swap",["Q0","Q1"],["Q0","Q1"]]]],[[2,3],[["cx",["Q0","Q1"],["Q0","Q1"]],)"
      R"(["cx",["Q1","Q0"],["Q1","Q0"]],["cx",["Q0","Q1"],["Q0","Q1"]]]]]}])";
  EXPECT_EQ(quartz_text(testing::worked_example()), expected);
  testing::TempDir dir("quartz");
  dump_quartz(testing::worked_example(), (dir / "q.json").string());
  EXPECT_EQ(read_text(dir / "q.json"), expected);
  EXPECT_EQ(read_like_quartz(expected), (std::vector<std::string>{"1_0", "1_1"}));
}

TEST(quartz, empty_collection) { EXPECT_EQ(quartz_text(ECCs{{}, 3}), "[[[0],[0]],{}]"); }

TEST(quartz, keys_count_every_class_and_sort_bytewise) {
  // 18 classes: position 0 and every odd position hold one circuit (no member); the others two
  // circuits with one permutation each (one group).
  Permut32 id = Permut32::identity(2);
  ECCs eccs{{}, 2};
  for (int k = 0; k < 18; ++k)
    eccs.eccs.push_back(k % 2 || k == 0 ? class_with_perms({id}) : class_with_perms({id, id}));
  auto keys = read_like_quartz(quartz_text(eccs));
  EXPECT_EQ(keys, (std::vector<std::string>{"10_0", "2_0", "4_0", "6_0", "8_0", "a_0", "c_0", "e_0"}));
}

TEST(quartz, one_group_per_distinct_permutation_in_order_of_first_occurrence) {
  Permut32 id = Permut32::identity(3);
  Permut32 cyc = Permut32::from_iter(std::vector<uint8_t>{1, 2, 0});
  Permut32 sw = Permut32::from_iter(std::vector<uint8_t>{0, 2, 1});
  ECCs eccs{{class_with_perms({cyc, id, cyc, sw, id})}, 3};
  json doc = json::parse(quartz_text(eccs));
  ASSERT_EQ(doc[1].size(), 3u);
  std::vector<Permut32> firsts = {cyc, id, sw};
  for (size_t g = 0; g < 3; ++g) {
    const json& group = doc[1][fmt::format("0_{}", g)];
    ASSERT_EQ(group.size(), 5u);
    for (size_t j = 0; j < 5; ++j) {
      Permut32 rest = firsts[g].inv() * eccs.eccs[0].circuits[j].perm;
      auto swaps = rest.generate_swaps();
      EXPECT_EQ(group[j][0][1], 1 + swaps.size()) << g << " " << j;
      ASSERT_EQ(group[j][1].size(), 1 + swaps.size());
      EXPECT_EQ(swaps.empty(), rest.is_identity());
      for (size_t s = 0; s < swaps.size(); ++s) {
        json q = {fmt::format("Q{}", swaps[s].first), fmt::format("Q{}", swaps[s].second)};
        EXPECT_EQ(group[j][1][1 + s], json::array({"swap", q, q}));
      }
    }
  }
  // A class sharing one permutation: one group, no SWAP.
  json same = json::parse(quartz_text(ECCs{{class_with_perms({cyc, cyc, cyc})}, 3}));
  EXPECT_EQ(same[1].dump(),
            R"({"0_0":[[[2,1],[["h",["Q0"],["Q0"]]]],[[2,1],[["h",["Q1"],["Q1"]]]],[[2,1],[["h",["Q0"],["Q0"]]]]]})");
}

TEST(quartz, texts_are_utf8_with_standard_escapes) {
  Gate16 dagger = testing::phase_gate("quartz_p", 0.2468).adjoint();
  Gate16 odd = testing::phase_gate("a\"b\\c\td", 0.1357);
  Permut32 id = Permut32::identity(1);
  ECCs eccs{{ecc_of({{{instr(dagger, {0})}, id}, {{instr(odd, {0})}, id}})}, 1};
  EXPECT_EQ(json::parse(quartz_text(eccs))[1].dump(),
            "{\"0_0\":[[[1,1],[[\"quartz_p\xE2\x80\xA0\",[\"Q0\"],[\"Q0\"]]]],"
            "[[1,1],[[\"a\\\"b\\\\c\\td\",[\"Q0\"],[\"Q0\"]]]]]}");
}

TEST(quartz, qubit_count_is_the_groups_largest_used_qubit_plus_one) {
  Permut32 id = Permut32::identity(8);
  Instr32 global{gates::X(), QArgs16{}};  // no used operand
  ECCs eccs{{ecc_of({{{}, id}, {{instr(gates::CX(), {6, 2})}, id}, {{global}, id}})}, 8};
  json group = json::parse(quartz_text(eccs))[1]["0_0"];
  EXPECT_EQ(group[0][0], json::parse("[7,0]"));
  EXPECT_EQ(group[1][0], json::parse("[7,1]"));
  EXPECT_EQ(group[2][0], json::parse("[7,1]"));
  EXPECT_EQ(group[2][1], json::parse(R"([["x",[],[]]])"));
  // Circuits with no used qubit at all: 1. SWAPs a group adds count too: here the first group
  // (relative to the identity) gives the second circuit swap(0, 3), the second group (relative to
  // that transposition) gives the first one the same swap.
  Permut32 swap03 = Permut32::from_iter(std::vector<uint8_t>{3, 1, 2, 0});
  ECCs none{{ecc_of({{{}, Permut32::identity(4)}, {{global}, Permut32::identity(4)}}),
             ecc_of({{{instr(gates::H(), {0})}, Permut32::identity(4)}, {{}, swap03}})},
            4};
  json doc = json::parse(quartz_text(none))[1];
  EXPECT_EQ(doc["0_0"][0][0], json::parse("[1,0]"));
  EXPECT_EQ(doc["0_0"][1][0], json::parse("[1,1]"));
  for (const char* key : {"1_0", "1_1"})
    for (const json& c : doc[key]) EXPECT_EQ(c[0][0], 4) << key;
}

TEST(quartz, a_gate_with_an_earlier_gates_display_text_is_refused_before_the_file_is_made) {
  // Two gates named alike with different matrices: a reader would take the second for the first.
  Gate16 first = testing::phase_gate("quartz_twin", 0.43219871);
  Gate16 second = testing::phase_gate("quartz_twin", 0.87651231);
  ASSERT_NE(first, second);
  ASSERT_EQ(second.display(), "quartz_twin");  // phases no other test registers
  Permut32 id = Permut32::identity(1);
  testing::TempDir dir("quartz");
  auto path = dir / "twin.json";
  for (Gate16 g : {first, second}) {
    ECCs eccs{{ecc_of({{{instr(g, {0})}, id}, {{instr(g, {0}), instr(g, {0})}, id}})}, 1};
    if (g == first) {
      dump_quartz(eccs, path.string());
      continue;
    }
    const std::string before = read_text(path);
    try {
      dump_quartz(eccs, path.string());
      ADD_FAILURE() << "written";
    } catch (const FileError& e) {
      EXPECT_EQ(std::string(e.what()),
                fmt::format("Failed to write JSON: Gate({} -> quartz_twin) would load back as Gate({} -> "
                            "quartz_twin), registered earlier with the same display text",
                            second.index, first.index));
    }
    EXPECT_EQ(read_text(path), before);
  }
}

TEST(quartz, failures_create_nothing_or_report_the_write) {
  testing::TempDir dir("quartz");
  auto path = dir / "bad.json";
  ECCs mixed{{class_with_perms({Permut32::identity(2), Permut32::identity(3)})}, 3};
  EXPECT_THAT([&] { dump_quartz(mixed, path.string()); }, Stops("assertion failed: self.len() == other.len()"));
  EXPECT_FALSE(std::filesystem::exists(path));
  try {
    dump_quartz(testing::worked_example(), (dir / "missing" / "q.json").string());
    ADD_FAILURE();
  } catch (const FileError& e) {
    EXPECT_EQ(e.kind(), FileError::Kind::Io);
    EXPECT_STREQ(e.what(), "Failed to create file: No such file or directory (os error 2)");
  }
  try {
    dump_quartz(testing::worked_example(), "/dev/full");
    ADD_FAILURE();
  } catch (const FileError& e) {
    EXPECT_EQ(e.kind(), FileError::Kind::Value);
    EXPECT_STREQ(e.what(), "Failed to write JSON: No space left on device (os error 28)");
  }
}

TEST(quartz, synthetic_collection_reads_back_like_quartz) {
  ECCs eccs = testing::synthetic_collection(300, 4);
  auto keys = read_like_quartz(quartz_text(eccs));
  EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
  std::set<size_t> classes;
  for (const auto& k : keys) classes.insert(std::stoul(k.substr(0, k.find('_')), nullptr, 16));
  for (size_t k = 0; k < eccs.eccs.size(); ++k)
    EXPECT_EQ(classes.count(k), eccs.eccs[k].circuits.size() >= 2 ? 1u : 0u);
}

}  // namespace morvane
