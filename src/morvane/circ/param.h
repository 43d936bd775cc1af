#pragma once
// Gate parameter expressions: a text such as "pi/3" or "-sqrt(2)^0.5" evaluated to a double.
//
// The grammar (a parsing expression grammar; whitespace may separate the elements of the normal
// rules, never the characters of the atomic ones):
//
//   real      = @{ digit+ "." digit* }
//   id        = @{ [a-z] [A-Za-z0-9_]* }
//   nninteger = @{ [1-9] digit* | "0" }
//   exp       = { WHITESPACE* term (plus term)* }
//   term      = { factor (mul factor)* }
//   factor    = { power ("^" power)* }
//   plus      = { "+" | "-" }
//   mul       = { "*" | "/" }
//   power     = { real | nninteger | "(" exp ")" | unary_op "(" exp ")" | "-" power | id }
//   unary_op  = { "sin" | "cos" | "tan" | "exp" | "ln" | "sqrt" }
//   WHITESPACE = _{ " " | "\t" | "\n" | "\r" }
//
// A text parses when `exp` matches all of it but trailing whitespace. Input left after a complete
// expression is a parse error, reported where reading stopped: the furthest position at which a
// rule was tried and failed (for "1e5" the "e", expected plus or mul; for "1 +" the end, expected
// power).

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace morvane {

/// The grammar's rules; the order is that of the names listed in a parse error.
enum class Rule : uint8_t { real, id, nninteger, exp, term, factor, plus, mul, power, unary_op, WHITESPACE };

/// The rule's name as written in the grammar ("real", "unary_op", ...).
std::string_view rule_name(Rule r);

/// The error of evaluating a parameter text.
struct NumericError {
  enum class Kind : uint8_t { ParseError, DivisionByZero, InvalidArgument, UndefinedVariable };
  Kind kind;
  /// The parse error report, the operator name or the identifier; empty for DivisionByZero.
  std::string text;

  static NumericError parse_error(std::string report) { return {Kind::ParseError, std::move(report)}; }
  static NumericError division_by_zero() { return {Kind::DivisionByZero, {}}; }
  static NumericError invalid_argument(std::string op) { return {Kind::InvalidArgument, std::move(op)}; }
  static NumericError undefined_variable(std::string name) { return {Kind::UndefinedVariable, std::move(name)}; }

  /// "DivisionByZero", or the carried text.
  std::string display() const { return kind == Kind::DivisionByZero ? "DivisionByZero" : text; }
  friend bool operator==(const NumericError&, const NumericError&) = default;
};

using EvalResult = std::variant<double, NumericError>;
using VarMap = std::map<std::string, double, std::less<>>;

/// One match of a rule other than WHITESPACE; `text` views the input (without surrounding
/// whitespace), `children` are the rules matched directly inside it, in order.
struct ExprNode {
  Rule rule;
  std::string_view text;
  std::vector<ExprNode> children;
};

struct ExprParser {
  /// Deepest nesting of parentheses, function calls and negations that is parsed; deeper input
  /// gives a parse error instead of exhausting the stack.
  static constexpr size_t kMaxDepth = 256;

  /// Parses `input` with rule `exp`, which must match all of it but trailing whitespace: the root
  /// `exp` node, or the parse error report. The nodes view `input`, which must outlive them.
  static std::variant<ExprNode, std::string> parse_exp(std::string_view input);
};

/// "expected " and the names of `rules`, each once, in the order of `Rule` ("expected a",
/// "expected a or b", "expected a, b, or c"); "unknown parsing error" when there are none.
std::string expected_message(std::vector<Rule> rules);

/// The six-line report of a parse failing at byte offset `pos` of `input`: line and column,
/// the line itself (a NUL shown as "␀", since exception texts end at a NUL), a caret under
/// the position, and "= " with `message`.
std::string parse_error_report(std::string_view input, size_t pos, std::string_view message);

/// `evaluate` with the one variable pi = 3.141592653589793.
EvalResult evaluate_with_pi(std::string_view expr);
/// Parses `expr` and evaluates it with the given variables.
EvalResult evaluate(std::string_view expr, const VarMap& vars);

/// Evaluators over the children of one `exp`, `term`, `factor` and `power` node respectively.
EvalResult eval_expr(std::span<const ExprNode> nodes, const VarMap& vars);
EvalResult eval_term(std::span<const ExprNode> nodes, const VarMap& vars);
EvalResult eval_factor(std::span<const ExprNode> nodes, const VarMap& vars);
EvalResult eval_power(std::span<const ExprNode> nodes, const VarMap& vars);

/// Applies the operator ("+", "-", "*", "/", "^") or function ("sin", "cos", "tan", "exp", "ln",
/// "sqrt", of `a` alone) named `op`.
EvalResult caculate(std::string_view op, double a, double b);

}  // namespace morvane
