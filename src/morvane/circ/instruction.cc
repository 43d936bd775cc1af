#include "morvane/circ/instruction.h"

#include <fmt/format.h>

#include <array>
#include <ranges>

#include "morvane/core/fmt_join.h"

namespace morvane {

uint64_t Argument::hash_value() const {
  SipHasher13 h;
  hash_into(h);
  return h.finish();
}

std::string Argument::display() const { return fmt::format("{}[{}]", regid, index); }

namespace {
/// A double-quoted string literal: quotes, backslashes and control characters (C0, DEL and the
/// C1 range U+0080..U+009F) are escaped; every other character is written as it is.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (size_t k = 0; k < s.size(); ++k) {
    unsigned char c = static_cast<unsigned char>(s[k]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else if (c == 0xC2 && k + 1 < s.size() && static_cast<unsigned char>(s[k + 1]) >= 0x80 &&
                   static_cast<unsigned char>(s[k + 1]) <= 0x9F) {
          out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(s[++k]));
        } else {
          out.push_back(char(c));
        }
    }
  }
  out.push_back('"');
  return out;
}
}  // namespace

std::string Argument::debug() const { return fmt::format("Argument {{ regid: {}, index: {} }}", quoted(regid), index); }

uint64_t Instruction::hash_value() const {
  SipHasher13 h;
  gate.hash_into(h);
  h.write_u32(static_cast<uint32_t>(qargs.size()));
  for (const Argument& a : qargs) a.hash_into(h);
  h.write_u32(static_cast<uint32_t>(cargs.size()));
  for (const Argument& a : cargs) a.hash_into(h);
  return h.finish();
}

std::string Instruction::display() const {
  auto operands = std::views::join(std::array{std::views::all(qargs), std::views::all(cargs)}) |
                  std::views::transform(&Argument::display);
  return fmt::format("{} {};", gate.display(), fjoin(std::move(operands), ", "));
}

std::string Instruction::debug() const {
  auto list = [](const std::vector<Argument>& v) { return fjoin(v | std::views::transform(&Argument::debug), ", "); };
  return fmt::format("Instruction {{ gate: {}, qargs: [{}], cargs: [{}] }}", gate.debug(), list(qargs), list(cargs));
}

}  // namespace morvane
