// The searches over a real evaluator: counts, ownership of cells, simplified results.

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include <fmt/format.h>

#include "morvane/core/fmt_join.h"

#include "morvane/search/evaluator.h"
#include "morvane/search/search.h"

namespace morvane {

namespace {
Evaluator make(uint32_t n, uint8_t seed) {
  ChaCha12Rng rng(std::array<uint8_t, 32>{seed});
  return Evaluator::from_random(n, rng);
}
}  // namespace

TEST(search, empty_candidates_give_the_empty_circuit_class) {
  Evaluator e = make(3, 1);
  for (auto run : {&search, &search_naive}) {
    SearchResult r = run(e, {}, 4);
    EXPECT_EQ(r.counts, (std::array<size_t, 3>{1, 0, 0}));
    EXPECT_TRUE(r.map.drop());
    ASSERT_EQ(r.map.inner().size(), 1u);
    const CircuitECC* root = r.map.find(e.initial_key());
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->debug(r.map),
              "CircuitECC { size: 0, front_gates: {}, back_gates: {}, circuits: [(0 1 2)  (0 1 2)] }");
  }
  EXPECT_FALSE(RawECCs(e).drop());
}

TEST(search, every_expanded_circuit_opened_its_class) {
  Evaluator e = make(3, 2);
  SearchResult r = generate(e, {gates::H(), gates::T(), gates::CX()}, 4);
  const RawECCs& map = r.map;
  size_t shorter = 0;
  for (const auto& [key, c] : map.inner()) {
    size_t size = c.size(map);
    EXPECT_LE(size, 4u);
    shorter += size < 4;
    // Every member has the class key, and the first is a shortest member.
    for (const CircTriple& t : c.circuits(map)) {
      auto instrs = map.arena().to_vec(t.circ);
      EXPECT_EQ(e.evaluate(instrs).key.hash_value(), key);
      EXPECT_GE(instrs.size(), size);
    }
  }
  EXPECT_EQ(r.counts[0], shorter);
  EXPECT_EQ(r.counts[1], shorter * 15);
  EXPECT_GE(r.counts[2], r.counts[1]);
  EXPECT_EQ(map.arena().cells(), map.num_circuits() - 1);  // one cell per stored circuit but the empty one
}

TEST(search, maps_sharing_cells_are_released_in_any_order) {
  Evaluator e = make(2, 3);
  for (int order = 0; order < 6; ++order) {
    auto owner = std::make_shared<RawECCs>(generate(e, {gates::H(), gates::CX()}, 4).map);
    auto first = std::make_shared<RawECCs>(owner->nqubits(), owner);
    auto second = std::make_shared<RawECCs>(first->nqubits(), first);
    const CircuitECC* some = nullptr;
    for (const auto& [key, c] : owner->inner())
      if (c.size(*owner) == 4) some = &c;
    ASSERT_NE(some, nullptr);
    AliasList list = some->circuit(*owner, 0).circ;
    std::vector<Instr32> expected = owner->arena().to_vec(list);
    std::shared_ptr<RawECCs>* maps[3] = {&owner, &first, &second};
    static const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int k : orders[order]) {
      maps[k]->reset();
      for (auto* m : maps)
        if (*m) {
          EXPECT_EQ((*m)->arena().to_vec(list), expected);
        }
    }
  }
}

}  // namespace morvane

namespace morvane {

namespace {
/// The search loop written plainly, one evaluation and one add_entry after another; the progress
/// lines go to `progress`.
SearchResult reference_search(const Evaluator& e, std::span<const Instr32> instrs, size_t max_size,
                              std::string* progress = nullptr) {
  RawECCs map(e);
  map.prepare(instrs);
  std::deque<AliasList> queue{AliasList::nil()};
  std::array<size_t, 3> counts{};
  while (!queue.empty()) {
    AliasList current = queue.front();
    queue.pop_front();
    std::vector<Instr32> circuit = map.arena().to_vec(current);
    if (progress && counts[0] % 400 == 0)
      *progress += fmt::format("#{} Exploring {} ({} queued, {} ECCs, {} circs, {} circs perm)\n", counts[0],
                               fjoin(circuit, " "), queue.size(), map.inner().size(), counts[1], counts[2]);
    for (Instr32 c : instrs) {
      circuit.push_back(c);
      auto r = e.evaluate_multiple(circuit);
      for (const PermPair& p : r.pairs.to_vec()) {
        auto list = map.add_entry(r.key.hash_value(), p.first, p.second, current, circuit);
        if (list && circuit.size() < max_size) queue.push_back(*list);
        ++counts[2];
      }
      circuit.pop_back();
      ++counts[1];
    }
    ++counts[0];
  }
  return SearchResult{std::move(map), counts};
}
std::vector<uint64_t> keys_in_order(const RawECCs& map) {
  std::vector<uint64_t> keys;
  for (const auto& [key, c] : map.inner()) keys.push_back(key);
  return keys;
}
}  // namespace

TEST(search, equals_the_plain_loop_with_its_progress_lines_and_class_order) {
  // Over a thousand expansions: several progress lines, and records of each length waiting for the
  // next while the lines are written.
  Evaluator e = make(3, 9);
  auto cands = generator_placements({gates::H(), gates::T(), gates::CX()}, 3);
  std::string expected;
  SearchResult plain = reference_search(e, cands, 5, &expected);
  ::testing::internal::CaptureStdout();
  SearchResult fast = search(e, cands, 5);
  std::string written = ::testing::internal::GetCapturedStdout();
  ASSERT_GT(plain.counts[0], 1200u);
  EXPECT_EQ(written, expected);
  EXPECT_EQ(fast.counts, plain.counts);
  EXPECT_EQ(keys_in_order(fast.map), keys_in_order(plain.map));
  EXPECT_EQ(fast.map.simplify(), plain.map.simplify());
}

TEST(search, simplify_equals_the_plain_construction) {
  // Each class made by ECC::from_circuits of its circuits' normal forms, then a stable sort: for
  // one-circuit classes (most of them), heads from the placements' codes, and several thousand
  // classes moved in place.
  const Gate16 cphase = Gate16::make("cp_simplify_test", {}, [] {
    CMatrix m(4, 4);
    for (uint32_t i = 0; i < 3; ++i) m(i, i) = Complex{1.0, 0.0};
    m(3, 3) = Complex{std::cos(0.3), std::sin(0.3)};
    return m;
  }());
  const std::vector<std::pair<std::vector<Gate16>, std::pair<uint32_t, size_t>>> cases = {
      {{gates::H(), gates::T(), gates::CX()}, {1, 6}},
      {{gates::H(), gates::T(), gates::CX()}, {3, 5}},
      {{gates::H(), gates::CX(), cphase}, {4, 3}},
      {{gates::X(), gates::T(), gates::CX()}, {5, 3}}};
  for (const auto& [gates, shape] : cases) {
    const auto [n, size] = shape;
    Evaluator e = make(n, uint8_t(30 + n));
    SearchResult r = generate(e, gates, size);
    std::vector<ECC> want;
    for (const auto& [key, c] : r.map.inner()) {
      std::vector<PermutedCircuit> pairs;
      for (const CircTriple& t : c.circuits(r.map)) pairs.push_back(t.simplify(r.map.arena()));
      want.push_back(ECC::from_circuits(std::move(pairs)));
    }
    std::stable_sort(want.begin(), want.end());
    EXPECT_EQ(r.map.simplify().eccs, want) << n;
  }
}

TEST(search, equals_the_plain_loop) {
  for (uint32_t n : {1u, 2u, 3u, 4u}) {
    Evaluator e = make(n, uint8_t(10 + n));
    auto cands = generator_placements({gates::H(), gates::T(), gates::CX(), gates::SWAP()}, n);
    size_t size = n <= 2 ? 5 : 3;
    SearchResult fast = search(e, cands, size);
    SearchResult plain = reference_search(e, cands, size);
    EXPECT_EQ(fast.counts, plain.counts) << n;
    EXPECT_EQ(fast.map.simplify(), plain.map.simplify()) << n;
    ASSERT_EQ(fast.map.inner().size(), plain.map.inner().size());
    for (const auto& [key, c] : plain.map.inner()) {
      const CircuitECC* f = fast.map.find(key);
      ASSERT_NE(f, nullptr);
      EXPECT_EQ(f->debug(fast.map), c.debug(plain.map));
    }
  }
}

}  // namespace morvane
