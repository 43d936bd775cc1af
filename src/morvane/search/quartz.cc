#include "morvane/search/quartz.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "morvane/core/postcard.h"
#include "morvane/search/ecc_file.h"

namespace morvane {

using nlohmann::json;

std::vector<Instr32> with_swaps(const std::vector<Instr32>& instrs, Permut32 perm) {
  std::vector<Instr32> out;
  auto swaps = perm.generate_swaps();
  out.reserve(instrs.size() + swaps.size());
  out.insert(out.end(), instrs.begin(), instrs.end());
  for (auto [a, b] : swaps) {
    QArgs16 q;
    q.bytes = {a, b};
    out.push_back(Instr32{gates::SWAP(), q});
  }
  return out;
}

namespace {

class DocumentBuilder {
 public:
  /// [[qubit count, gate count], [[text, qubits, qubits], ...]]
  json circuit(const std::vector<Instr32>& instrs) {
    unsigned largest = 0;
    json gates_json = json::array();
    for (Instr32 instr : instrs) {
      largest = std::max<unsigned>(largest, instr.largest_qubit());
      json qubits = json::array();
      for (uint8_t q : instr.qargs.as_slice()) qubits.push_back(qubit_name(q));
      gates_json.push_back(json::array({texts_(instr.gate), qubits, qubits}));
    }
    return json::array({json::array({largest + 1, instrs.size()}), std::move(gates_json)});
  }

  const std::string& qubit_name(uint8_t q) {
    std::string& name = qubit_names_[q];
    if (name.empty()) name = fmt::format("Q{}", q);
    return name;
  }

 private:
  GateTexts texts_;
  std::array<std::string, 256> qubit_names_;
};

}  // namespace

json quartz_document(const ECCs& eccs) {
  DocumentBuilder builder;
  json groups = json::object();
  for (size_t k = 0; k < eccs.eccs.size(); ++k) {
    const auto& circuits = eccs.eccs[k].circuits;
    size_t n = circuits.size();
    if (n < 2) continue;
    std::vector<bool> covered(n, false);
    size_t g = 0;
    for (size_t i = 0; i < n; ++i) {
      if (covered[i]) continue;
      Permut32 p = circuits[i].perm.inv();
      json group = json::array();
      for (size_t j = 0; j < n; ++j) {
        Permut32 rest = p * circuits[j].perm;
        if (rest.is_identity()) {
          covered[j] = true;
          group.push_back(builder.circuit(circuits[j].instrs));
        } else {
          group.push_back(builder.circuit(with_swaps(circuits[j].instrs, rest)));
        }
      }
      groups[fmt::format("{:x}_{}", k, g)] = std::move(group);
      ++g;
    }
  }
  return json::array({json::array({json::array({0}), json::array({0})}), std::move(groups)});
}

void dump_quartz(const ECCs& eccs, const std::string& path) {
  std::string text;
  try {
    text = quartz_document(eccs).dump();
  } catch (const json::exception& e) {
    throw FileError(FileError::Kind::Value, std::string("Failed to write JSON: ") + e.what());
  }
  File file = File::create(path);
  int err = file.write_all(text.data(), text.size());
  if (err == 0) err = file.close();
  if (err != 0) throw FileError(FileError::Kind::Value, "Failed to write JSON: " + os_error_text(err));
}

}  // namespace morvane
