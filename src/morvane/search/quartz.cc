#include "morvane/search/quartz.h"

#include <algorithm>
#include <array>
#include <list>
#include <map>
#include <span>

#include <fmt/compile.h>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "morvane/core/file.h"
#include "morvane/search/ecc_file.h"

namespace morvane {

namespace {

/// Writes circuits as JSON text. The document is large (every group repeats its whole class), so
/// it is written as text directly rather than built as a tree of JSON values first; gate texts go
/// through the JSON library's string escaping once per gate.
class QuartzWriter {
 public:
  /// [[qubit count, gate count],[[text,qubits,qubits],...]]
  void circuit(std::string& out, std::span<const Instr32> instrs, unsigned nqubits) {
    fmt::format_to(std::back_inserter(out), FMT_COMPILE("[[{},{}],["), nqubits, instrs.size());
    for (size_t i = 0; i < instrs.size(); ++i) {
      if (i) out.push_back(',');
      out.push_back('[');
      out += gate_json(instrs[i].gate);
      const std::string& qubits = qubits_json(instrs[i].qargs);
      out.push_back(',');
      out += qubits;
      out.push_back(',');
      out += qubits;
      out.push_back(']');
    }
    out += "]]";
  }

 private:
  const std::string& gate_json(Gate16 g) {
    if (g.index >= gate_json_.size()) gate_json_.resize(size_t(g.index) + 1);
    std::string& text = gate_json_[g.index];
    if (text.empty()) text = nlohmann::json(texts_(g)).dump();
    return text;
  }

  /// ["Q<a>","Q<b>"], made once for each operand pair.
  const std::string& qubits_json(QArgs16 qargs) {
    const size_t slot = size_t(qargs.bytes[0]) << 8 | qargs.bytes[1];
    if (qubits_at_.empty()) qubits_at_.resize(size_t(1) << 16, 0);
    if (qubits_at_[slot] == 0) {
      std::string text = "[";
      auto used = qargs.as_slice();
      for (size_t i = 0; i < used.size(); ++i)
        fmt::format_to(std::back_inserter(text), "{}\"Q{}\"", i ? "," : "", used[i]);
      text.push_back(']');
      qubits_json_.push_back(std::move(text));
      qubits_at_[slot] = uint32_t(qubits_json_.size());
    }
    return qubits_json_[qubits_at_[slot] - 1];
  }

  GateTexts texts_ = GateTexts::distinct();
  std::vector<std::string> gate_json_;  // by gate index: the text as a JSON string
  std::vector<uint32_t> qubits_at_;     // by the two operand bytes: 1 + position in qubits_json_
  std::vector<std::string> qubits_json_;
};

}  // namespace

std::string quartz_text(const ECCs& eccs) {
  QuartzWriter writer;
  std::string body;                                          // the members' values, one after the other
  std::map<std::string, std::pair<size_t, size_t>> members;  // key -> range in body, byte-wise order
  std::list<std::vector<Instr32>> swapped;                   // a group's circuits with SWAPs added
  std::vector<std::span<const Instr32>> group;               // a group's circuits as written
  for (size_t k = 0; k < eccs.eccs.size(); ++k) {
    const auto& circuits = eccs.eccs[k].circuits;
    size_t n = circuits.size();
    if (n < 2) continue;
    std::vector<bool> covered(n, false);
    size_t g = 0;
    for (size_t i = 0; i < n; ++i) {
      if (covered[i]) continue;
      // The group's circuits as written, then all of them with the group's qubit count (Quartz
      // wants one count for every circuit of a group).
      Permut32 p = circuits[i].perm.inv();
      swapped.clear();
      group.clear();
      for (size_t j = 0; j < n; ++j) {
        Permut32 rest = p * circuits[j].perm;
        if (rest.is_identity()) {
          covered[j] = true;
          group.emplace_back(circuits[j].instrs);
        } else {
          group.emplace_back(swapped.emplace_back(with_swaps(circuits[j].instrs, rest)));
        }
      }
      unsigned largest = 0;
      for (std::span<const Instr32> c : group)
        for (Instr32 instr : c) largest = std::max<unsigned>(largest, instr.largest_qubit());
      size_t begin = body.size();
      body.push_back('[');
      for (size_t j = 0; j < n; ++j) {
        if (j) body.push_back(',');
        writer.circuit(body, group[j], largest + 1);
      }
      body.push_back(']');
      members.emplace(fmt::format("{:x}_{}", k, g), std::pair{begin, body.size()});
      ++g;
    }
  }
  std::string text = "[[[0],[0]],{";
  text.reserve(text.size() + body.size() + members.size() * 12 + 2);
  bool first = true;
  for (const auto& [key, range] : members) {
    if (!first) text.push_back(',');
    first = false;
    text.push_back('"');
    text += key;  // hex digits, "_" and decimal digits: nothing to escape
    text += "\":";
    text.append(body, range.first, range.second - range.first);
  }
  text += "}]";
  return text;
}

void dump_quartz(const ECCs& eccs, const std::string& path) {
  std::string text;
  try {
    text = quartz_text(eccs);
  } catch (const nlohmann::json::exception& e) {
    throw FileError(FileError::Kind::Value, kWriteJsonFailed + std::string(e.what()));
  } catch (const postcard::Error& e) {
    throw FileError(FileError::Kind::Value, kWriteJsonFailed + std::string(e.what()));
  }
  save_file(path, text, kWriteJsonFailed);
}

}  // namespace morvane
