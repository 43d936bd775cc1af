#include "morvane/circ/param.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include <fmt/format.h>
#include <tao/pegtl.hpp>

#include "morvane/core/panic.h"

namespace morvane {

namespace {
namespace peg = tao::pegtl;

// The grammar. Named rules carry their `Rule`; everything else is structure. Normal rules get
// whitespace between consecutive elements and before every repetition after the first, as the
// header describes; atomic rules are plain PEGTL sequences.
namespace grammar {

using ws = peg::one<' ', '\t', '\n', '\r'>;
using skip = peg::star<ws>;

/// A sequence inside a normal rule.
template <typename First, typename... Rest>
struct seq : peg::seq<First, peg::seq<skip, Rest>...> {};
/// Zero or more repetitions inside a normal rule.
template <typename E>
struct star : peg::opt<E, peg::star<skip, E>> {};

template <Rule R>
struct named {
  static constexpr Rule kRule = R;
};

struct exp;
struct power;

struct real : peg::seq<peg::plus<peg::digit>, peg::one<'.'>, peg::star<peg::digit>>, named<Rule::real> {};
struct id : peg::seq<peg::range<'a', 'z'>, peg::star<peg::ranges<'A', 'Z', 'a', 'z', '0', '9', '_'>>>,
            named<Rule::id> {};
struct nninteger : peg::sor<peg::seq<peg::range<'1', '9'>, peg::star<peg::digit>>, peg::one<'0'>>,
                   named<Rule::nninteger> {};
struct plus : peg::sor<peg::one<'+'>, peg::one<'-'>>, named<Rule::plus> {};
struct mul : peg::sor<peg::one<'*'>, peg::one<'/'>>, named<Rule::mul> {};
struct unary_op : peg::sor<TAO_PEGTL_STRING("sin"), TAO_PEGTL_STRING("cos"), TAO_PEGTL_STRING("tan"),
                           TAO_PEGTL_STRING("exp"), TAO_PEGTL_STRING("ln"), TAO_PEGTL_STRING("sqrt")>,
                  named<Rule::unary_op> {};
struct power : peg::sor<real, nninteger, seq<peg::one<'('>, exp, peg::one<')'>>,
                        seq<unary_op, peg::one<'('>, exp, peg::one<')'>>, seq<peg::one<'-'>, power>, id>,
               named<Rule::power> {};
struct factor : seq<power, star<seq<peg::one<'^'>, power>>>, named<Rule::factor> {};
struct term : seq<factor, star<seq<mul, factor>>>, named<Rule::term> {};
struct exp : seq<star<ws>, term, star<seq<plus, term>>>, named<Rule::exp> {};

}  // namespace grammar

template <typename R>
concept NamedRule = requires {
  R::kRule;
};

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct TooDeep {
  size_t pos;
};

// Builds the tree and records failures while PEGTL matches. A named rule opens a node when it
// starts; on success the node joins its parent's children, on failure it is dropped. Structural
// rules that fail part-way drop the children they added. Failures of named rules are recorded
// for the error report: only the furthest position counts, and a rule that fails there replaces
// whatever its sub-rules recorded there, unless that is exactly one rule, which then stays.
class ParseState {
 public:
  explicit ParseState(std::string_view input) : input_(input) { open_.push_back({}); }

  size_t offset(const char* p) const { return size_t(p - input_.data()); }

  void open_rule(Rule rule, size_t pos) {
    if (rule == Rule::power && ++depth_ > ExprParser::kMaxDepth) throw TooDeep{pos};
    open_.push_back({ExprNode{rule, {}, {}}, pos, pos == attempt_pos_ ? attempts_.size() : 0, attempts_at(pos)});
  }
  void close_rule(size_t end) {
    Open o = std::move(open_.back());
    open_.pop_back();
    if (o.node.rule == Rule::power) --depth_;
    std::string_view text = input_.substr(o.begin, end - o.begin);
    while (!text.empty() && is_ws(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_ws(text.back())) text.remove_suffix(1);
    o.node.text = text;
    open_.back().node.children.push_back(std::move(o.node));
  }
  void fail_rule() {
    Open o = std::move(open_.back());
    open_.pop_back();
    if (o.node.rule == Rule::power) --depth_;
    track(o);
  }
  void mark() { marks_.push_back(open_.back().node.children.size()); }
  void unmark() { marks_.pop_back(); }
  void rewind_mark() {
    open_.back().node.children.resize(marks_.back());
    marks_.pop_back();
  }

  ExprNode take_root() { return std::move(open_.front().node.children.front()); }
  size_t attempt_pos() const { return attempt_pos_; }
  std::string expected() const { return expected_message(attempts_); }

 private:
  struct Open {
    ExprNode node;
    size_t begin = 0;
    size_t attempts_index = 0;  // attempts_.size() at the start, when it started at attempt_pos_
    size_t prev_attempts = 0;   // attempts recorded at its position when it started
  };

  size_t attempts_at(size_t pos) const { return pos == attempt_pos_ ? attempts_.size() : 0; }

  void track(const Open& o) {
    size_t pos = o.begin;
    size_t now = attempts_at(pos);
    if (now > o.prev_attempts && now - o.prev_attempts == 1) return;  // keep the one sub-rule
    if (pos == attempt_pos_) attempts_.resize(o.attempts_index);
    if (pos > attempt_pos_) {
      attempts_.clear();
      attempt_pos_ = pos;
    }
    if (pos == attempt_pos_) attempts_.push_back(o.node.rule);
  }

  std::string_view input_;
  std::vector<Open> open_;  // open_[0] collects the root
  std::vector<size_t> marks_;
  size_t depth_ = 0;
  size_t attempt_pos_ = 0;
  std::vector<Rule> attempts_;
};

template <typename R>
struct Control : peg::normal<R> {
  template <typename Input>
  static void start(const Input& in, ParseState& st) {
    if constexpr (NamedRule<R>)
      st.open_rule(R::kRule, st.offset(in.current()));
    else
      st.mark();
  }
  template <typename Input>
  static void success(const Input& in, ParseState& st) {
    if constexpr (NamedRule<R>)
      st.close_rule(st.offset(in.current()));
    else
      st.unmark();
  }
  template <typename Input>
  static void failure(const Input&, ParseState& st) {
    if constexpr (NamedRule<R>)
      st.fail_rule();
    else
      st.rewind_mark();
  }
};

/// The nearest double to a decimal text of digits with an optional point; beyond the range of
/// doubles, infinity (or zero for a tiny fraction).
double parse_decimal(std::string_view text) {
  double v = 0;
  auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec == std::errc::result_out_of_range) {
    bool whole_part =
        std::any_of(text.begin(), std::find(text.begin(), text.end(), '.'), [](char c) { return c != '0'; });
    v = whole_part ? HUGE_VAL : 0.0;
  }
  return v;
}

bool failed(const EvalResult& r) { return std::holds_alternative<NumericError>(r); }
double value(const EvalResult& r) { return std::get<double>(r); }

/// Operands separated by operator nodes, folded from the left: the children of `exp` and `term`.
template <typename EvalOperand>
EvalResult fold_operators(std::span<const ExprNode> nodes, const VarMap& vars, EvalOperand eval_operand) {
  if (nodes.empty()) panic("an operator chain has no operand");
  EvalResult acc = eval_operand(nodes[0].children, vars);
  for (size_t i = 1; i + 1 < nodes.size() && !failed(acc); i += 2) {
    EvalResult rhs = eval_operand(nodes[i + 1].children, vars);
    acc = failed(rhs) ? rhs : caculate(nodes[i].text, value(acc), value(rhs));
  }
  return acc;
}

}  // namespace

std::string_view rule_name(Rule r) {
  static constexpr std::string_view kNames[] = {"real", "id",  "nninteger", "exp",      "term",      "factor",
                                                "plus", "mul", "power",     "unary_op", "WHITESPACE"};
  return kNames[static_cast<size_t>(r)];
}

std::string expected_message(std::vector<Rule> rules) {
  std::sort(rules.begin(), rules.end());
  rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
  size_t n = rules.size();
  auto name = [&](size_t i) { return rule_name(rules[i]); };
  switch (n) {
    case 0: return "unknown parsing error";
    case 1: return fmt::format("expected {}", name(0));
    case 2: return fmt::format("expected {} or {}", name(0), name(1));
    default: {
      std::string s = "expected ";
      for (size_t i = 0; i + 1 < n; ++i) s += fmt::format("{}, ", name(i));
      return s + fmt::format("or {}", name(n - 1));
    }
  }
}

std::variant<ExprNode, std::string> ExprParser::parse_exp(std::string_view input) {
  ParseState st(input);
  peg::memory_input<peg::tracking_mode::lazy> in(input.data(), input.size(), "");
  try {
    if (peg::parse<grammar::exp, peg::nothing, Control>(in, st)) {
      size_t rest = st.offset(in.current());
      while (rest < input.size() && is_ws(input[rest])) ++rest;
      if (rest == input.size()) return st.take_root();
      // After a complete expression the repetition of `exp` tries a plus at the first unread
      // character, so the furthest failure lies there or beyond it.
      MORVANE_ASSERT(st.attempt_pos() >= rest);
    }
  } catch (const TooDeep& e) {
    return parse_error_report(input, e.pos, fmt::format("nesting deeper than {} levels", kMaxDepth));
  }
  return parse_error_report(input, st.attempt_pos(), st.expected());
}

std::string parse_error_report(std::string_view input, size_t pos, std::string_view message) {
  pos = std::min(pos, input.size());
  size_t line = 1, col = 1, line_start = 0;
  for (size_t i = 0; i < pos; ++i) {
    char c = input[i];
    if (c == '\n' || (c == '\r' && i + 1 < pos && input[i + 1] == '\n')) {
      if (c == '\r') ++i;
      ++line;
      col = 1;
      line_start = i + 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++col;
    }
  }
  size_t line_end = input.find('\n', pos);
  std::string text;
  for (char c : input.substr(line_start, line_end == std::string_view::npos ? line_end : line_end - line_start))
    if (c == '\0')
      text += "\u2400";  // an error text cannot carry NUL through the C API: show its symbol
    else if (c != '\r')
      text.push_back(c);
  std::string under;
  size_t chars = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;  // inside a character
    if (chars++ == col - 1) break;
    under.push_back(c == '\t' ? '\t' : ' ');
  }
  std::string number = std::to_string(line);
  std::string s(number.size(), ' ');
  return fmt::format("{0}--> {1}:{2}\n{0} |\n{1} | {3}\n{0} | {4}^---\n{0} |\n{0} = {5}", s, number, col, text, under,
                     message);
}

EvalResult evaluate_with_pi(std::string_view expr) {
  static const VarMap kPi = {{"pi", 3.141592653589793}};
  return evaluate(expr, kPi);
}

EvalResult evaluate(std::string_view expr, const VarMap& vars) {
  auto parsed = ExprParser::parse_exp(expr);
  if (auto* report = std::get_if<std::string>(&parsed)) return NumericError::parse_error(std::move(*report));
  return eval_expr(std::get<ExprNode>(parsed).children, vars);
}

EvalResult eval_expr(std::span<const ExprNode> nodes, const VarMap& vars) {
  return fold_operators(nodes, vars, eval_term);
}

EvalResult eval_term(std::span<const ExprNode> nodes, const VarMap& vars) {
  return fold_operators(nodes, vars, eval_factor);
}

EvalResult eval_factor(std::span<const ExprNode> nodes, const VarMap& vars) {
  if (nodes.empty()) panic("a factor has no power");
  EvalResult acc = eval_power(nodes[0].children, vars);
  for (size_t i = 1; i < nodes.size() && !failed(acc); ++i) {
    EvalResult rhs = eval_power(nodes[i].children, vars);
    acc = failed(rhs) ? rhs : EvalResult(std::pow(value(acc), value(rhs)));
  }
  return acc;
}

EvalResult eval_power(std::span<const ExprNode> nodes, const VarMap& vars) {
  if (nodes.empty()) panic("a power has no operand");
  const ExprNode& first = nodes[0];
  switch (first.rule) {
    case Rule::real:
    case Rule::nninteger: return parse_decimal(first.text);
    case Rule::exp: return eval_expr(first.children, vars);
    case Rule::unary_op: {
      if (nodes.size() < 2) panic("a function has no argument");
      EvalResult arg = eval_expr(nodes[1].children, vars);
      return failed(arg) ? arg : caculate(first.text, value(arg), 0.0);
    }
    case Rule::power: {
      EvalResult v = eval_power(first.children, vars);
      return failed(v) ? v : EvalResult(-value(v));
    }
    case Rule::id: {
      auto it = vars.find(first.text);
      if (it == vars.end()) return NumericError::undefined_variable(std::string(first.text));
      return it->second;
    }
    default: panic(fmt::format("a power cannot start with {}", rule_name(first.rule)));
  }
}

EvalResult caculate(std::string_view op, double a, double b) {
  if (op == "+") return a + b;
  if (op == "-") return a - b;
  if (op == "*") return a * b;
  if (op == "/") {
    if (b == 0.0) return NumericError::division_by_zero();
    return a / b;
  }
  if (op == "^") return std::pow(a, b);
  if (op == "sin") return std::sin(a);
  if (op == "cos") return std::cos(a);
  if (op == "tan") return std::tan(a);
  if (op == "exp") return std::exp(a);
  if (op == "ln") return std::log(a);
  if (op == "sqrt") return std::sqrt(a);
  return NumericError::invalid_argument(std::string(op));
}

}  // namespace morvane
