#include "morvane/search/raw_eccs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <variant>

#include "morvane/search/surface.h"
#include "morvane/testing/circuits.h"

namespace morvane {

using testing::instr;
using testing::Stops;

namespace {

Permut32 P(std::vector<uint8_t> v) { return Permut32::from_iter(v); }

/// A controlled phase gate with its own angle, so that tests can register many distinct gates.
Gate16 cphase(int k) {
  CMatrix m(4, 4);
  for (uint32_t i = 0; i < 4; ++i) m(i, i) = Complex{1.0, 0.0};
  double a = 0.1 + 0.01 * k;
  m(3, 3) = Complex{std::cos(a), std::sin(a)};
  return Gate16::make(fmt::format("cp{}", k), {}, m);
}

/// The admission rule written plainly: insertion-ordered sets and full triples.
struct RefClass {
  size_t size;
  std::vector<Instr32> front, back;
  std::vector<std::tuple<Permut32, std::vector<Instr32>, Permut32>> circuits;
};
struct RefMap {
  std::map<uint64_t, RefClass> classes;

  bool add(uint64_t key, Permut32 f, Permut32 b, const std::vector<Instr32>& circ) {
    std::vector<Instr32> front, back;
    for (Instr32 i : circuit_get_surface_gates(circ, false)) {
      Instr32 g = i.apply_permutation(f.inv());
      if (std::find(front.begin(), front.end(), g) == front.end()) front.push_back(g);
    }
    for (Instr32 i : circuit_get_surface_gates(circ, true)) {
      Instr32 g = i.apply_permutation(b);
      if (std::find(back.begin(), back.end(), g) == back.end()) back.push_back(g);
    }
    auto it = classes.find(key);
    if (it == classes.end()) {
      classes[key] = RefClass{circ.size(), front, back, {{f, circ, b}}};
      return true;
    }
    RefClass& c = it->second;
    auto in = [](const std::vector<Instr32>& set, Instr32 g) {
      return std::find(set.begin(), set.end(), g) != set.end();
    };
    for (Instr32 g : front)
      if (in(c.front, g)) return false;
    for (Instr32 g : back)
      if (in(c.back, g)) return false;
    c.front.insert(c.front.end(), front.begin(), front.end());
    c.back.insert(c.back.end(), back.begin(), back.end());
    c.circuits.emplace_back(f, circ, b);
    return false;
  }
};

void expect_same(const RawECCs& map, const RefMap& ref) {
  ASSERT_EQ(map.inner().size(), ref.classes.size());
  size_t circuits = 0;
  for (const auto& [key, rc] : ref.classes) {
    const CircuitECC* c = map.find(key);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->size(map), rc.size);
    EXPECT_EQ(c->front_gates(map), rc.front);
    EXPECT_EQ(c->back_gates(map), rc.back);
    ASSERT_EQ(c->num_circuits(), rc.circuits.size());
    for (size_t k = 0; k < rc.circuits.size(); ++k) {
      CircTriple t = c->circuit(map, k);
      EXPECT_EQ(t.front_perm, std::get<0>(rc.circuits[k]));
      EXPECT_EQ(map.arena().to_vec(t.circ), std::get<1>(rc.circuits[k]));
      EXPECT_EQ(t.back_perm, std::get<2>(rc.circuits[k]));
    }
    circuits += rc.circuits.size();
  }
  EXPECT_EQ(map.num_circuits(), circuits);
}

/// Random observations like a search makes them: each circuit extends a list that opened a class.
void run_random_entries(uint8_t n, const std::vector<Instr32>& universe, size_t steps, uint64_t nkeys, uint32_t seed) {
  RawECCs map(n, nullptr);
  map.prepare(universe);
  RefMap ref;
  std::mt19937 rng(seed);
  std::vector<AliasList> opened{AliasList::nil()};
  const auto& perms = Permut32::all(n);
  for (size_t s = 0; s < steps; ++s) {
    AliasList parent = opened[rng() % opened.size()];
    std::vector<Instr32> circ = map.arena().to_vec(parent);
    circ.push_back(universe[rng() % universe.size()]);
    uint64_t key = rng() % nkeys;
    Permut32 f = perms[rng() % perms.size()], b = perms[rng() % perms.size()];
    auto got = map.add_entry(key, f, b, parent, circ);
    bool opened_new = ref.add(key, f, b, circ);
    ASSERT_EQ(got.has_value(), opened_new);
    if (got) {
      EXPECT_EQ(map.arena().to_vec(*got), circ);
      if (circ.size() < 6) opened.push_back(*got);
    }
  }
  expect_same(map, ref);
  // The run must reach large classes, so that records grow more than once.
  size_t largest = 0;
  for (const auto& [key, c] : ref.classes) largest = std::max(largest, c.circuits.size());
  EXPECT_GE(largest, 5u);
}

}  // namespace

TEST(raw_eccs, new_class_then_admission_and_rejection) {
  Gate16 h = gates::H(), t = gates::T(), cx = gates::CX();
  RawECCs map(2, nullptr);
  map.prepare(std::vector<Instr32>{instr(h, {0}), instr(t, {0}), instr(cx, {0, 1})});
  Permut32 id = Permut32::identity(2), sw = P({1, 0});
  auto first = map.add_entry(7, id, id, AliasList::nil(), std::vector<Instr32>{instr(h, {0})});
  ASSERT_TRUE(first.has_value());
  const CircuitECC& c = *map.find(7);
  EXPECT_EQ(c.debug(map),
            "CircuitECC { size: 1, front_gates: {h(0)}, back_gates: {h(0)}, circuits: [(0 1) h(0) (0 1)] }");
  // h(1) under the swap maps to h(0) in front: rejected, nothing queued.
  EXPECT_FALSE(map.add_entry(7, sw, id, AliasList::nil(), std::vector<Instr32>{instr(h, {1})}).has_value());
  EXPECT_EQ(map.find(7)->num_circuits(), 1u);
  // t(0) h(1): front gates t(1), h(0) under the swap: h(0) repeats, rejected.
  auto t0 = map.add_entry(8, id, id, AliasList::nil(), std::vector<Instr32>{instr(t, {0})});
  std::vector<Instr32> th{instr(t, {0}), instr(h, {1})};
  EXPECT_FALSE(map.add_entry(7, sw, id, *t0, th).has_value());
  // cx(0, 1): all of its gates are new on both sides: admitted as a second member, not queued.
  EXPECT_FALSE(map.add_entry(7, id, sw, AliasList::nil(), std::vector<Instr32>{instr(cx, {0, 1})}).has_value());
  const CircuitECC& c2 = *map.find(7);
  ASSERT_EQ(c2.num_circuits(), 2u);
  EXPECT_EQ(c2.front_gates(map), (std::vector<Instr32>{instr(h, {0}), instr(cx, {0, 1})}));
  EXPECT_EQ(c2.back_gates(map), (std::vector<Instr32>{instr(h, {0}), instr(cx, {1, 0})}));
  EXPECT_EQ(c2.circuit(map, 1).debug(map.arena()), "(0 1) cx(0, 1) (1 0)");
  EXPECT_EQ(c2.circuit(map, 1).display(map.arena()), "cx(0, 1) (1 0)");
  EXPECT_EQ(c2.display(map), "CircuitECC {h(0) (0 1), cx(0, 1) (1 0)}");
  EXPECT_EQ(c2.size(map), 1u);
}

TEST(raw_eccs, empty_candidate_circuit_stops) {
  RawECCs map(1, nullptr);
  EXPECT_THAT([&] { map.add_entry(1, Permut32::identity(1), Permut32::identity(1), AliasList::nil(), {}); },
              Stops("called `Option::unwrap()` on a `None` value"));
}

TEST(raw_eccs, storage_matches_plain_model_on_narrow_placements) {
  Gate16 h = gates::H(), t = gates::T(), cx = gates::CX();
  std::vector<Instr32> u;
  for (uint8_t q = 0; q < 3; ++q) u.push_back(instr(h, {q})), u.push_back(instr(t, {q}));
  for (uint8_t a = 0; a < 3; ++a)
    for (uint8_t b = 0; b < 3; ++b)
      if (a != b) u.push_back(instr(cx, {a, b}));
  for (uint32_t seed = 1; seed <= 4; ++seed) run_random_entries(3, u, 3000, 40, seed);
}

TEST(raw_eccs, storage_matches_plain_model_on_wide_placements) {
  // 5 qubits, two 2-qubit gates: 40 placements, masks of two words.
  std::vector<Instr32> u;
  for (Gate16 g : {gates::CX(), gates::SWAP()})
    for (uint8_t a = 0; a < 5; ++a)
      for (uint8_t b = 0; b < 5; ++b)
        if (a != b) u.push_back(instr(g, {a, b}));
  u.push_back(instr(gates::H(), {4}));
  run_random_entries(5, u, 4000, 30, 11);
  // 14 such gates: more placements than one byte can number, so no set is kept inline.
  std::vector<Instr32> wide;
  for (int k = 0; k < 14; ++k)
    for (uint8_t a = 0; a < 5; ++a)
      for (uint8_t b = 0; b < 5; ++b)
        if (a != b) wide.push_back(instr(cphase(k), {a, b}));
  run_random_entries(5, wide, 4000, 25, 12);
}

TEST(raw_eccs, sharing_map_keeps_its_source_alive) {
  auto source = std::make_shared<RawECCs>(2, nullptr);
  source->prepare(std::vector<Instr32>{instr(gates::H(), {0})});
  auto l = source->add_entry(1, Permut32::identity(2), Permut32::identity(2), AliasList::nil(),
                             std::vector<Instr32>{instr(gates::H(), {0})});
  RawECCs sharing(2, source);
  std::weak_ptr<const RawECCs> watch = source;
  source.reset();
  ASSERT_FALSE(watch.expired());
  EXPECT_EQ(sharing.arena().to_vec(*l), (std::vector<Instr32>{instr(gates::H(), {0})}));
}

TEST(raw_eccs, a_sharing_map_refuses_new_circuits_before_changing_anything) {
  // A cell made by the sharing map would be read through the source's arena: a wrong circuit, or
  // a read past the source's cells.
  Gate16 h = gates::H(), x = gates::X();
  Permut32 id = Permut32::identity(2);
  auto source = std::make_shared<RawECCs>(2, nullptr);
  source->prepare(std::vector<Instr32>{instr(h, {0}), instr(x, {0})});
  auto l = source->add_entry(1, id, id, AliasList::nil(), std::vector<Instr32>{instr(h, {0})});
  ASSERT_TRUE(l.has_value());
  RawECCs sharing(2, source);
  std::vector<Instr32> hx{instr(h, {0}), instr(x, {1})};
  for (uint64_t key : {uint64_t(1), uint64_t(2)}) {
    EXPECT_THAT([&] { sharing.add_entry(key, id, id, *l, hx); },
                Stops("a map that shares another map's circuits cannot be extended"));
  }
  EXPECT_EQ(sharing.inner().size(), 0u);
  EXPECT_EQ(sharing.find(2), nullptr);
  source.reset();
  EXPECT_EQ(sharing.arena().to_vec(*l), (std::vector<Instr32>{instr(h, {0})}));
}

}  // namespace morvane

namespace morvane {

TEST(raw_eccs, class_simplify_sorts_and_renumbers_from_the_first_circuit) {
  Gate16 h = gates::H(), cx = gates::CX();
  RawECCs map(3, nullptr);
  map.prepare(std::vector<Instr32>{instr(h, {0}), instr(cx, {0, 1})});
  Permut32 id = Permut32::identity(3);
  // Opened by a longer circuit, joined by h(2): h(2) sorts first and its qubit becomes 0.
  auto l = map.add_entry(4, id, id, AliasList::nil(), std::vector<Instr32>{instr(cx, {0, 1})});
  map.add_entry(5, id, id, *l, std::vector<Instr32>{instr(cx, {0, 1}), instr(h, {0})});
  map.add_entry(5, id, P({0, 2, 1}), AliasList::nil(), std::vector<Instr32>{instr(h, {2})});
  ASSERT_EQ(map.find(5)->num_circuits(), 2u);
  ECC e = map.find(5)->simplify(map);
  // uniform_inv = (2 1 0): 2 -> 0, 1 stays, 0 -> 2.
  Permut32 uniform = P({2, 1, 0});
  ASSERT_EQ(e.circuits.size(), 2u);
  EXPECT_EQ(e.circuits[0].instrs_vector(), (std::vector<Instr32>{instr(h, {0})}));
  EXPECT_EQ(e.circuits[0].perm, uniform * P({0, 2, 1}) * uniform.inv());
  EXPECT_EQ(e.circuits[1].instrs_vector(), (std::vector<Instr32>{instr(cx, {2, 1}), instr(h, {2})}));
  EXPECT_EQ(e.circuits[1].perm, id);
}

TEST(raw_eccs, class_simplify_fills_unused_positions) {
  // First circuit cx(1, 3) on 4 qubits: uniform_inv (1 3 2 0), uniform (3 0 2 1).
  Gate16 cx = gates::CX();
  RawECCs map(4, nullptr);
  map.prepare(std::vector<Instr32>{instr(cx, {0, 1})});
  Permut32 id = Permut32::identity(4);
  map.add_entry(1, id, id, AliasList::nil(), std::vector<Instr32>{instr(cx, {1, 3})});
  ECC e = map.find(1)->simplify(map);
  EXPECT_EQ(e.circuits[0].instrs_vector(), (std::vector<Instr32>{instr(cx, {0, 1})}));
  EXPECT_EQ(e.circuits[0].perm, id);
  EXPECT_EQ(P({1, 3, 2, 0}).inv(), P({3, 0, 2, 1}));
}

TEST(raw_eccs, one_circuit_class_simplify_equals_the_general_construction) {
  // A class of one circuit is simplified in one pass over its cells; the circuits that way does
  // not take (qubits past the permutation, lists longer than 64 cells) must come out as
  // ECC::from_circuits makes them, stops included. Cells hold whatever they were given.
  const Gate16 h = gates::H(), cx = gates::CX();
  auto raw = [](Gate16 g, uint8_t a, uint8_t b) {
    Instr32 i{g, QArgs16{}};
    i.qargs.bytes = {a, b};
    return i;
  };
  auto repeated = [](std::vector<Instr32> v, size_t n) {
    std::vector<Instr32> out;
    while (out.size() < n) out.push_back(v[out.size() % v.size()]);
    return out;
  };
  const Instr32 h2 = instr(h, {2}), cx10 = instr(cx, {1, 0}), past = raw(h, 4, 0xFF);
  struct Case {
    const char* name;
    std::vector<Instr32> circuit;
    bool stops;
  };
  const std::vector<Case> cases = {
      {"placements", {h2, cx10, instr(h, {0})}, false},
      {"a qubit past the permutation", {h2, past}, false},
      {"a second qubit past the permutation", {raw(cx, 1, 6)}, false},
      {"a qubit past any permutation", {h2, raw(cx, 9, 0)}, true},
      {"an empty first slot", {raw(cx, 0xFF, 1), h2}, false},
      {"64 cells", repeated({h2, cx10}, 64), false},
      {"65 cells", repeated({h2, cx10}, 65), false},
      {"65 cells, a qubit past the permutation", repeated({h2, past}, 65), false},
  };
  auto outcome = [](auto make) -> std::variant<ECC, std::string> {
    try {
      return make();
    } catch (const Panic& p) {
      return std::string(p.what());
    }
  };
  for (const Case& c : cases) {
    RawECCs map(3, nullptr);
    map.prepare(std::vector<Instr32>{h2, cx10});
    AliasList list = AliasList::nil();
    for (size_t k = 0; k < c.circuit.size(); ++k)
      list = map.add_entry_with_surfaces(k + 1, P({1, 2, 0}), P({2, 0, 1}), list, c.circuit[k], {}, {});
    const CircuitECC& one = *map.find(c.circuit.size());
    ASSERT_EQ(one.num_circuits(), 1u) << c.name;
    const auto got = outcome([&] { return one.simplify(map); });
    const auto want = outcome([&] { return ECC::from_circuits({one.circuit(map, 0).simplify(map.arena())}); });
    EXPECT_EQ(std::holds_alternative<std::string>(want), c.stops) << c.name;
    EXPECT_EQ(got, want) << c.name;
  }
}

}  // namespace morvane
