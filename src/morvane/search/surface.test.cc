#include "morvane/search/surface.h"

#include <gtest/gtest.h>

#include "morvane/testing/circuits.h"

namespace morvane {

using testing::instr;

TEST(surface, surface_gates_front_and_back) {
  Gate16 h = gates::H(), cx = gates::CX();
  std::vector<Instr32> c{instr(h, {0}), instr(cx, {0, 1}), instr(h, {2}), instr(h, {1})};
  EXPECT_EQ(circuit_get_surface_gates(c), (std::vector<Instr32>{instr(h, {0}), instr(h, {2})}));
  EXPECT_EQ(circuit_get_surface_gates(c, true), (std::vector<Instr32>{instr(h, {1}), instr(h, {2})}));
  // An instruction sharing one qubit is not a surface gate, but still marks its other qubit.
  std::vector<Instr32> d{instr(h, {0}), instr(cx, {0, 1}), instr(h, {1})};
  EXPECT_EQ(circuit_get_surface_gates(d), (std::vector<Instr32>{instr(h, {0})}));
}

TEST(surface, surface_gates_hashmap_filters_and_keeps_first_place) {
  Gate16 h = gates::H(), cx = gates::CX();
  std::vector<Instr32> c{instr(h, {0}), instr(cx, {0, 1}), instr(h, {1}), instr(h, {2})};
  using Entry = std::pair<Instr32, size_t>;
  EXPECT_EQ(circuit_get_surface_gates_hashmap(c, 0b1111), (std::vector<Entry>{{instr(h, {0}), 0}, {instr(h, {2}), 3}}));
  // Skipping h(0) makes cx(0, 1) a surface gate; skipping cx too makes h(1) one.
  EXPECT_EQ(circuit_get_surface_gates_hashmap(c, 0b1110),
            (std::vector<Entry>{{instr(cx, {0, 1}), 1}, {instr(h, {2}), 3}}));
  EXPECT_EQ(circuit_get_surface_gates_hashmap(c, 0b1100), (std::vector<Entry>{{instr(h, {1}), 2}, {instr(h, {2}), 3}}));
  // An equal instruction on fresh qubits can only repeat for gates without qubits.
  EXPECT_TRUE(circuit_get_surface_gates_hashmap({}, ~0ull).empty());
}

TEST(surface, back_scan_counts_the_given_qubits_as_touched) {
  Gate16 h = gates::H(), cx = gates::CX();
  std::vector<Instr32> c{instr(h, {0}), instr(cx, {1, 2}), instr(h, {2})};
  std::vector<Instr32> seen;
  // Qubit 2 touched already: h(2) and cx(1, 2) are hidden, h(0) is still at the back.
  for_each_surface_gate(
      c, true, [&](Instr32 i) { seen.push_back(i); }, 1u << 2);
  EXPECT_EQ(seen, (std::vector<Instr32>{instr(h, {0})}));
  seen.clear();
  for_each_surface_gate(
      c, true, [&](Instr32 i) { seen.push_back(i); }, 0);
  EXPECT_EQ(seen, (std::vector<Instr32>{instr(h, {2}), instr(h, {0})}));
}

TEST(surface, fresh_qubit_scan_marks_every_qubit) {
  uint32_t touched = 0b001;
  EXPECT_FALSE(touches_only_fresh_qubits(instr(gates::CX(), {0, 3}), touched));
  EXPECT_EQ(touched, 0b1001u);  // the fresh qubit is marked even though the gate is hidden
  EXPECT_TRUE(touches_only_fresh_qubits(instr(gates::H(), {1}), touched));
  EXPECT_EQ(touched, 0b1011u);
}

}  // namespace morvane
