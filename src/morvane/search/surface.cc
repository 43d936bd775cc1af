#include "morvane/search/surface.h"

#include <algorithm>

namespace morvane {

std::vector<Instr32> circuit_get_surface_gates(std::span<const Instr32> instrs, bool back) {
  std::vector<Instr32> out;
  for_each_surface_gate(instrs, back, [&](Instr32 i) { out.push_back(i); });
  return out;
}

std::vector<std::pair<Instr32, size_t>> circuit_get_surface_gates_hashmap(std::span<const Instr32> instrs,
                                                                          uint64_t filtering_mask) {
  std::vector<std::pair<Instr32, size_t>> out;
  circuit_get_surface_gates_hashmap(instrs, filtering_mask, out);
  return out;
}

void circuit_get_surface_gates_hashmap(std::span<const Instr32> instrs, uint64_t filtering_mask,
                                       std::vector<std::pair<Instr32, size_t>>& out) {
  out.clear();
  uint32_t touched = 0;
  for (size_t k = 0; k < instrs.size(); ++k) {
    if (k >= 64 || !((filtering_mask >> k) & 1)) continue;
    if (!touches_only_fresh_qubits(instrs[k], touched)) continue;
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& e) { return e.first == instrs[k]; });
    if (it != out.end())
      it->second = k;
    else
      out.emplace_back(instrs[k], k);
  }
}

}  // namespace morvane
