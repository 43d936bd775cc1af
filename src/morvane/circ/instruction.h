#pragma once
// Register-style instructions: a gate applied to named register cells (q[0], c[2]), with quantum
// and classical operands kept apart. Plain records with value equality; not used by the search.

#include <cstdint>
#include <string>
#include <vector>

#include "morvane/circ/gate.h"

namespace morvane {

struct Argument {
  std::string regid;
  uint32_t index = 0;

  friend bool operator==(const Argument&, const Argument&) = default;
  void hash_into(SipHasher13& h) const {
    h.write_str(regid);
    h.write_u32(index);
  }
  uint64_t hash_value() const;
  /// "q[0]"
  std::string display() const;
  /// Argument { regid: "q", index: 0 }
  std::string debug() const;
};

struct Instruction {
  Gate16 gate;
  std::vector<Argument> qargs;
  std::vector<Argument> cargs;

  friend bool operator==(const Instruction&, const Instruction&) = default;
  uint64_t hash_value() const;
  /// "cx q[0], q[1];"
  std::string display() const;
  std::string debug() const;
};

}  // namespace morvane
