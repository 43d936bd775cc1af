#include "morvane/circ/gate_call.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "morvane/testing/circuits.h"

namespace morvane {

using testing::Stops;

namespace {
/// diag(1, e^(i theta)) with the given parameter texts; each theta gives its own gate.
Gate16 phase(const std::string& name, double theta, std::vector<std::string> params) {
  CMatrix m(2, 2);
  m(0, 0) = Complex{1.0, 0.0};
  m(1, 1) = Complex{std::cos(theta), std::sin(theta)};
  return Gate16::make(name, std::move(params), std::move(m));
}
}  // namespace

TEST(gate_call, qubit_operands_build_the_instruction_as_given) {
  std::vector<uint8_t> q{1, 0};
  Instr32 i = call_gate(gates::CX(), q);
  EXPECT_EQ(i.display(), "cx(1, 0)");
  // No uniqueness test: the call builds what it is given.
  std::vector<uint8_t> same{2, 2};
  EXPECT_EQ(call_gate(gates::CX(), same).qargs.as_slice().size(), 2u);
}

TEST(gate_call, qubit_count_must_match) {
  for (std::vector<uint8_t> q : {std::vector<uint8_t>{}, std::vector<uint8_t>{0}, std::vector<uint8_t>{0, 1, 2}})
    EXPECT_THAT([&] { call_gate(gates::CX(), q); }, Stops("Number of arguments not match for gate cx"));
  std::vector<uint8_t> two{0, 1};
  EXPECT_THAT([&] { call_gate(gates::H(), two); }, Stops("Number of arguments not match for gate h"));
}

TEST(gate_call, argument_operands_split_into_qubits_then_classical_bits) {
  std::vector<Argument> ops{{"q", 0}, {"q", 1}, {"c", 0}};
  Instruction i = call_gate(gates::CX(), ops);
  EXPECT_EQ(i.qargs, (std::vector<Argument>{{"q", 0}, {"q", 1}}));
  EXPECT_EQ(i.cargs, (std::vector<Argument>{{"c", 0}}));
  EXPECT_EQ(i.gate, gates::CX());
  EXPECT_EQ(call_gate(gates::H(), std::span<const Argument>(ops).first(1)).cargs.size(), 0u);
  EXPECT_THAT([&] { call_gate(gates::CX(), std::span<const Argument>(ops).first(1)); },
              Stops("range end index 2 out of range for slice of length 1"));
}

TEST(gate_call, params_f_evaluates_in_order_and_stops_at_the_first_error) {
  auto ok = gate_params_f(phase("gate_call_pf", 2.7182818, {"-pi/3", "2^3^2"}));
  ASSERT_TRUE(std::holds_alternative<std::vector<double>>(ok));
  EXPECT_THAT(std::get<std::vector<double>>(ok), ::testing::ElementsAre(-1.0471975511965976, 64.0));
  auto none = gate_params_f(gates::H());
  EXPECT_TRUE(std::get<std::vector<double>>(none).empty());
  auto bad = gate_params_f(phase("gate_call_pf_err", 2.9182819, {"pi", "x/0", "1/0"}));
  ASSERT_TRUE(std::holds_alternative<NumericError>(bad));
  EXPECT_EQ(std::get<NumericError>(bad), NumericError::undefined_variable("x"));
}

}  // namespace morvane
