#include "morvane/circ/param.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

namespace morvane {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ValueCase {
  std::string input;
  double expected;
};

void PrintTo(const ValueCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }

double value_of(std::string_view text) {
  EvalResult r = evaluate_with_pi(text);
  if (auto* e = std::get_if<NumericError>(&r)) ADD_FAILURE() << "\"" << text << "\" failed: " << e->display();
  return std::holds_alternative<double>(r) ? std::get<double>(r) : kNaN;
}

NumericError error_of(std::string_view text) {
  EvalResult r = evaluate_with_pi(text);
  if (auto* d = std::get_if<double>(&r)) {
    ADD_FAILURE() << "\"" << text << "\" gave " << *d;
    return NumericError::invalid_argument("no error");
  }
  return std::get<NumericError>(r);
}

// Equal as doubles, with NaN equal to NaN and the sign of zero significant.
void expect_same(double got, double want, std::string_view what) {
  if (std::isnan(want)) {
    EXPECT_TRUE(std::isnan(got)) << what << " gave " << got;
  } else {
    EXPECT_EQ(got, want) << what;
    EXPECT_EQ(std::signbit(got), std::signbit(want)) << what << " gave " << got;
  }
}

}  // namespace

class param_values : public testing::TestWithParam<ValueCase> {};

TEST_P(param_values, evaluates) { expect_same(value_of(GetParam().input), GetParam().expected, GetParam().input); }

INSTANTIATE_TEST_SUITE_P(
    param, param_values,
    testing::Values(
        // The built-in rotation angles.
        ValueCase{"pi/3", 1.0471975511965976}, ValueCase{"-pi/3", -1.0471975511965976}, ValueCase{"pi/5", kPi / 5},
        ValueCase{"-pi/16", -(kPi / 16)},
        // Whitespace around and between tokens, including line breaks.
        ValueCase{"   pi", kPi}, ValueCase{"pi\t", kPi}, ValueCase{" ( 1 + 2 ) * 3 ", 9}, ValueCase{"\r\n1\t+\n2", 3},
        ValueCase{"- 2", -2}, ValueCase{"2 ^ 3", 8}, ValueCase{"sqrt ( 4 )", 2}, ValueCase{"sin (0)", 0},
        ValueCase{"( ( 7 ) )", 7},
        // Precedence and associativity.
        ValueCase{"2^3^2", 64}, ValueCase{"-2^2", 4}, ValueCase{"2^-1", 0.5}, ValueCase{"2*-3", -6},
        ValueCase{"2--3", 5}, ValueCase{"(1+2)*3", 9}, ValueCase{"1+2*3", 7}, ValueCase{"8/4/2", 1},
        ValueCase{"1-2-3", -4}, ValueCase{"2*3^2", 18}, ValueCase{"-(1+2)", -3}, ValueCase{"---2", -2},
        // Functions.
        ValueCase{"sin(pi/2)", 1}, ValueCase{"cos(0)", 1}, ValueCase{"tan(0)", 0}, ValueCase{"exp(1)", std::exp(1.0)},
        ValueCase{"ln(exp(2))", std::log(std::exp(2.0))}, ValueCase{"sqrt(2)", std::sqrt(2.0)},
        ValueCase{"sqrt(-1)", kNaN}, ValueCase{"ln(0)", -kInf}, ValueCase{"exp(1000)", kInf},
        ValueCase{"2^0.5", std::pow(2.0, 0.5)}, ValueCase{"(-8)^(1.0/3)", kNaN},
        // Signs of zero: negation flips it.
        ValueCase{"-0", -0.0}, ValueCase{"-(0)", -0.0}, ValueCase{"--0", 0.0}, ValueCase{"0*-1", -0.0},
        // Numbers.
        ValueCase{"5.", 5}, ValueCase{"00.5", 0.5}, ValueCase{"12", 12}, ValueCase{"0.1", 0.1},
        ValueCase{"9007199254740993", 9007199254740992.0},  // ties to even
        ValueCase{std::string("1").append(400, '0'), kInf},
        ValueCase{std::string("1").append(400, '0').append(".5"), kInf},
        ValueCase{std::string("0.").append(400, '0').append("1"), 0.0},
        ValueCase{std::string("0.").append(323, '0').append("5"), std::numeric_limits<double>::denorm_min()},
        // Whitespace after the expression is read with it.
        ValueCase{"2 \t\r\n", 2}, ValueCase{"(1) ", 1}, ValueCase{"1 + 2\n\n", 3}));

struct ErrorCase {
  std::string input;
  NumericError::Kind kind;
  std::string display;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }

class param_errors : public testing::TestWithParam<ErrorCase> {};

TEST_P(param_errors, fails_with) {
  NumericError e = error_of(GetParam().input);
  EXPECT_EQ(e.kind, GetParam().kind);
  EXPECT_EQ(e.display(), GetParam().display);
}

using K = NumericError::Kind;
INSTANTIATE_TEST_SUITE_P(
    param, param_errors,
    testing::Values(
        ErrorCase{"1/0", K::DivisionByZero, "DivisionByZero"}, ErrorCase{"0/0", K::DivisionByZero, "DivisionByZero"},
        ErrorCase{"1/-0", K::DivisionByZero, "DivisionByZero"},
        ErrorCase{"1/(pi-pi)", K::DivisionByZero, "DivisionByZero"},
        ErrorCase{"sin(1/0)", K::DivisionByZero, "DivisionByZero"},
        // The left operand is evaluated first.
        ErrorCase{"x/0", K::UndefinedVariable, "x"}, ErrorCase{"1/0+x", K::DivisionByZero, "DivisionByZero"},
        ErrorCase{"x+1/0", K::UndefinedVariable, "x"}, ErrorCase{"pi2", K::UndefinedVariable, "pi2"},
        ErrorCase{"theta", K::UndefinedVariable, "theta"}, ErrorCase{"a_B9", K::UndefinedVariable, "a_B9"},
        ErrorCase{"2^y", K::UndefinedVariable, "y"}, ErrorCase{"-z", K::UndefinedVariable, "z"},
        // A function name not followed by "(" reads as a variable.
        ErrorCase{"sqrt", K::UndefinedVariable, "sqrt"}, ErrorCase{"sin + 1", K::UndefinedVariable, "sin"}));

TEST(param, evaluate_uses_the_given_variables) {
  VarMap vars = {{"theta", 0.25}, {"x", 2.0}};
  EXPECT_EQ(std::get<double>(evaluate("theta*x + x^2", vars)), 4.5);
  EXPECT_EQ(std::get<NumericError>(evaluate("pi", vars)), NumericError::undefined_variable("pi"));
  EXPECT_EQ(std::get<NumericError>(evaluate("x", {})), NumericError::undefined_variable("x"));
}

TEST(param, caculate_applies_each_operator) {
  auto v = [](std::string_view op, double a, double b) { return std::get<double>(caculate(op, a, b)); };
  EXPECT_EQ(v("+", 1.5, 2), 3.5);
  EXPECT_EQ(v("-", 1.5, 2), -0.5);
  EXPECT_EQ(v("*", 1.5, 2), 3);
  EXPECT_EQ(v("/", 3, 2), 1.5);
  EXPECT_EQ(v("^", 2, 10), 1024);
  EXPECT_EQ(v("sin", 0.5, 99), std::sin(0.5));
  EXPECT_EQ(v("cos", 0.5, 99), std::cos(0.5));
  EXPECT_EQ(v("tan", 0.5, 99), std::tan(0.5));
  EXPECT_EQ(v("exp", 0.5, 99), std::exp(0.5));
  EXPECT_EQ(v("ln", 0.5, 99), std::log(0.5));
  EXPECT_EQ(v("sqrt", 0.25, 99), 0.5);
  EXPECT_TRUE(std::isnan(v("/", 1, kNaN)));  // a NaN divisor is not zero
  EXPECT_EQ(v("/", 1, 1e-320), kInf);
  EXPECT_EQ(caculate("/", 1, -0.0), EvalResult(NumericError::division_by_zero()));
  EXPECT_EQ(caculate("%", 1, 2), EvalResult(NumericError::invalid_argument("%")));
  EXPECT_EQ(caculate("", 1, 2), EvalResult(NumericError::invalid_argument("")));
}

TEST(param, error_display_texts) {
  EXPECT_EQ(NumericError::parse_error("report").display(), "report");
  EXPECT_EQ(NumericError::division_by_zero().display(), "DivisionByZero");
  EXPECT_EQ(NumericError::invalid_argument("%").display(), "%");
  EXPECT_EQ(NumericError::undefined_variable("x").display(), "x");
}

TEST(param, rule_names) {
  EXPECT_EQ(rule_name(Rule::real), "real");
  EXPECT_EQ(rule_name(Rule::nninteger), "nninteger");
  EXPECT_EQ(rule_name(Rule::unary_op), "unary_op");
  EXPECT_EQ(rule_name(Rule::WHITESPACE), "WHITESPACE");
  EXPECT_EQ(static_cast<int>(Rule::WHITESPACE), 10);
}

TEST(param, expected_message_lists_each_rule_once_in_rule_order) {
  EXPECT_EQ(expected_message({Rule::power}), "expected power");
  EXPECT_EQ(expected_message({Rule::mul, Rule::plus}), "expected plus or mul");
  EXPECT_EQ(expected_message({Rule::id, Rule::real, Rule::id, Rule::nninteger}), "expected real, id, or nninteger");
  EXPECT_EQ(expected_message({Rule::unary_op, Rule::id, Rule::nninteger, Rule::real}),
            "expected real, id, nninteger, or unary_op");
  EXPECT_EQ(expected_message({Rule::exp, Rule::exp}), "expected exp");
  EXPECT_EQ(expected_message({}), "unknown parsing error");
}

struct ReportCase {
  std::string input;
  std::string report;
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << testing::PrintToString(c.input); }

class param_reports : public testing::TestWithParam<ReportCase> {};

TEST_P(param_reports, exact_text) {
  NumericError e = error_of(GetParam().input);
  EXPECT_EQ(e.kind, NumericError::Kind::ParseError);
  EXPECT_EQ(e.display(), GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    param, param_reports,
    testing::Values(ReportCase{"", " --> 1:1\n  |\n1 | \n  | ^---\n  |\n  = expected power"},
                    ReportCase{"   ", " --> 1:4\n  |\n1 |    \n  |    ^---\n  |\n  = expected power"},
                    ReportCase{"PI", " --> 1:1\n  |\n1 | PI\n  | ^---\n  |\n  = expected power"},
                    ReportCase{".5", " --> 1:1\n  |\n1 | .5\n  | ^---\n  |\n  = expected power"},
                    ReportCase{"+1", " --> 1:1\n  |\n1 | +1\n  | ^---\n  |\n  = expected power"},
                    // The parenthesis alternative fails at the end, where an operator could follow.
                    ReportCase{"(1", " --> 1:3\n  |\n1 | (1\n  |   ^---\n  |\n  = expected plus or mul"},
                    ReportCase{"(", " --> 1:2\n  |\n1 | (\n  |  ^---\n  |\n  = expected power"},
                    ReportCase{"-", " --> 1:2\n  |\n1 | -\n  |  ^---\n  |\n  = expected power"},
                    ReportCase{"(1^", " --> 1:4\n  |\n1 | (1^\n  |    ^---\n  |\n  = expected power"},
                    // A tab before the position stays a tab in the caret line.
                    ReportCase{"\t(", " --> 1:3\n  |\n1 | \t(\n  | \t ^---\n  |\n  = expected power"},
                    // Line breaks: LF and CRLF end a line; the line is shown without them.
                    ReportCase{"\r\n\r\n  )", " --> 3:3\n  |\n3 |   )\n  |   ^---\n  |\n  = expected power"},
                    ReportCase{"\n (\r\n", " --> 3:1\n  |\n3 | \n  | ^---\n  |\n  = expected power"},
                    ReportCase{"(1\r\n", " --> 2:1\n  |\n2 | \n  | ^---\n  |\n  = expected plus or mul"},
                    ReportCase{"\n(\n2 ", " --> 3:3\n  |\n3 | 2 \n  |   ^---\n  |\n  = expected plus or mul"},
                    ReportCase{"( \r\n?\r\nrest", " --> 2:1\n  |\n2 | ?\n  | ^---\n  |\n  = expected power"},
                    // The margin is as wide as the line number.
                    ReportCase{std::string(9, '\n') + "(",
                               "  --> 10:2\n   |\n10 | (\n   |  ^---\n   |\n   = expected power"},
                    // A lone carriage return does not end a line but counts as a column.
                    ReportCase{"\r(", " --> 1:3\n  |\n1 | (\n  |  ^---\n  |\n  = expected power"},
                    ReportCase{"(é", " --> 1:2\n  |\n1 | (é\n  |  ^---\n  |\n  = expected power"}));

// Input left after a complete expression: the report shows where reading stopped and what could
// have been read there.
INSTANTIATE_TEST_SUITE_P(
    param_rest, param_reports,
    testing::Values(
        ReportCase{"1e5", " --> 1:2\n  |\n1 | 1e5\n  |  ^---\n  |\n  = expected plus or mul"},
        ReportCase{"2pi", " --> 1:2\n  |\n1 | 2pi\n  |  ^---\n  |\n  = expected plus or mul"},
        ReportCase{"1)", " --> 1:2\n  |\n1 | 1)\n  |  ^---\n  |\n  = expected plus or mul"},
        ReportCase{std::string("pi\0", 3), " --> 1:3\n  |\n1 | pi\u2400\n  |   ^---\n  |\n  = expected plus or mul"},
        ReportCase{std::string("\0\0", 2), " --> 1:1\n  |\n1 | \u2400\u2400\n  | ^---\n  |\n  = expected power"},
        ReportCase{"pi 2", " --> 1:4\n  |\n1 | pi 2\n  |    ^---\n  |\n  = expected plus or mul"},
        ReportCase{"3.14.15", " --> 1:5\n  |\n1 | 3.14.15\n  |     ^---\n  |\n  = expected plus or mul"},
        ReportCase{"007", " --> 1:2\n  |\n1 | 007\n  |  ^---\n  |\n  = expected plus or mul"},
        ReportCase{"4 é", " --> 1:3\n  |\n1 | 4 é\n  |   ^---\n  |\n  = expected plus or mul"},
        ReportCase{"(1))", " --> 1:4\n  |\n1 | (1))\n  |    ^---\n  |\n  = expected plus or mul"},
        ReportCase{"1\n2", " --> 2:1\n  |\n2 | 2\n  | ^---\n  |\n  = expected plus or mul"},
        // An operator was read, then nothing that could follow it.
        ReportCase{"1 +", " --> 1:4\n  |\n1 | 1 +\n  |    ^---\n  |\n  = expected power"},
        ReportCase{"1+", " --> 1:3\n  |\n1 | 1+\n  |   ^---\n  |\n  = expected power"},
        ReportCase{"2 * ", " --> 1:5\n  |\n1 | 2 * \n  |     ^---\n  |\n  = expected power"},
        ReportCase{"2^", " --> 1:3\n  |\n1 | 2^\n  |   ^---\n  |\n  = expected power"},
        ReportCase{"1 + (", " --> 1:6\n  |\n1 | 1 + (\n  |      ^---\n  |\n  = expected power"},
        // A function name read as a variable leaves its parenthesis unread.
        ReportCase{"sinh(1)", " --> 1:5\n  |\n1 | sinh(1)\n  |     ^---\n  |\n  = expected plus or mul"},
        ReportCase{"sin(1", " --> 1:6\n  |\n1 | sin(1\n  |      ^---\n  |\n  = expected plus or mul"},
        // An unclosed parenthesis: the operand ends where its ")" was missing.
        ReportCase{"2*(1", " --> 1:5\n  |\n1 | 2*(1\n  |     ^---\n  |\n  = expected plus or mul"},
        ReportCase{"1 + (2", " --> 1:7\n  |\n1 | 1 + (2\n  |       ^---\n  |\n  = expected plus or mul"}));

TEST(param, parse_tree_has_a_node_per_rule_match) {
  auto parsed = ExprParser::parse_exp(" 1 + sin( x ) * -2.5 ");
  ASSERT_TRUE(std::holds_alternative<ExprNode>(parsed));
  const ExprNode& root = std::get<ExprNode>(parsed);
  EXPECT_EQ(root.rule, Rule::exp);
  EXPECT_EQ(root.text, "1 + sin( x ) * -2.5");
  ASSERT_EQ(root.children.size(), 3u);
  EXPECT_EQ(root.children[0].rule, Rule::term);
  EXPECT_EQ(root.children[1].rule, Rule::plus);
  EXPECT_EQ(root.children[1].text, "+");
  const ExprNode& product = root.children[2];
  EXPECT_EQ(product.text, "sin( x ) * -2.5");
  ASSERT_EQ(product.children.size(), 3u);
  EXPECT_EQ(product.children[1].rule, Rule::mul);
  // factor -> power -> [unary_op, exp]
  const ExprNode& call = product.children[0].children.at(0);
  EXPECT_EQ(call.rule, Rule::power);
  ASSERT_EQ(call.children.size(), 2u);
  EXPECT_EQ(call.children[0].rule, Rule::unary_op);
  EXPECT_EQ(call.children[0].text, "sin");
  EXPECT_EQ(call.children[1].rule, Rule::exp);
  EXPECT_EQ(call.children[1].text, "x");
  // factor -> power -> [power -> [real]]
  const ExprNode& negation = product.children[2].children.at(0);
  ASSERT_EQ(negation.children.size(), 1u);
  EXPECT_EQ(negation.children[0].rule, Rule::power);
  EXPECT_EQ(negation.children[0].children.at(0).rule, Rule::real);
  EXPECT_EQ(negation.children[0].children.at(0).text, "2.5");
  EXPECT_TRUE(negation.children[0].children.at(0).children.empty());
}

TEST(param, failed_alternatives_leave_no_nodes) {
  // The function alternative of "sin + 1" matches the unary_op "sin" and fails at the "+"; the
  // identifier alternative then matches with no trace of it.
  auto parsed = ExprParser::parse_exp("sin + 1");
  ASSERT_TRUE(std::holds_alternative<ExprNode>(parsed));
  const ExprNode& root = std::get<ExprNode>(parsed);
  ASSERT_EQ(root.children.size(), 3u);
  const ExprNode& power = root.children[0].children.at(0).children.at(0);
  EXPECT_EQ(power.rule, Rule::power);
  ASSERT_EQ(power.children.size(), 1u);
  EXPECT_EQ(power.children[0].rule, Rule::id);
  EXPECT_EQ(power.children[0].text, "sin");
  parsed = ExprParser::parse_exp("expo");
  ASSERT_TRUE(std::holds_alternative<ExprNode>(parsed));
  const ExprNode& expo = std::get<ExprNode>(parsed).children.at(0).children.at(0).children.at(0);
  ASSERT_EQ(expo.children.size(), 1u);
  EXPECT_EQ(expo.children[0].rule, Rule::id);
  EXPECT_EQ(expo.children[0].text, "expo");
}

TEST(param, nesting_up_to_the_limit_is_parsed) {
  const size_t n = ExprParser::kMaxDepth - 1;
  EXPECT_EQ(value_of(std::string(n, '(') + "2" + std::string(n, ')')), 2);
  EXPECT_EQ(value_of(std::string(n, '-') + "2"), n % 2 ? -2 : 2);
  std::string calls;
  for (size_t i = 0; i < n; ++i) calls += "sqrt(";
  EXPECT_EQ(value_of(calls + "1" + std::string(n, ')')), 1);
}

TEST(param, deeper_nesting_is_a_parse_error) {
  const size_t n = ExprParser::kMaxDepth;
  std::string input = std::string(n, '(') + "2" + std::string(n, ')');
  NumericError e = error_of(input);
  EXPECT_EQ(e.kind, NumericError::Kind::ParseError);
  std::string col = std::to_string(n + 1);
  std::string caret(n, ' ');
  EXPECT_EQ(e.display(), " --> 1:" + col + "\n  |\n1 | " + input + "\n  | " + caret +
                             "^---\n  |\n  = nesting deeper than " + std::to_string(n) + " levels");
  // Far deeper input fails the same way instead of exhausting the stack.
  for (const std::string& deep : {std::string(200000, '('), std::string(200000, '-') + "1",
                                  std::string(100000, '(') + "1" + std::string(100000, ')')}) {
    e = error_of(deep);
    EXPECT_EQ(e.kind, NumericError::Kind::ParseError);
    EXPECT_NE(e.display().find("nesting deeper than"), std::string::npos);
  }
}

TEST(param, long_flat_expressions_are_not_limited) {
  std::string sum = "0";
  for (int i = 0; i < 20000; ++i) sum += " + 1";
  EXPECT_EQ(value_of(sum), 20000);
}

TEST(param, concurrent_evaluations_are_independent) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 500; ++i) {
        EvalResult r = evaluate_with_pi(t % 2 ? "pi/3" : "x");
        bool ok = t % 2 ? r == EvalResult(1.0471975511965976) : r == EvalResult(NumericError::undefined_variable("x"));
        wrong[t] += !ok;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace morvane
