#pragma once
// Shared instruction lists: the lists of core/alias_list.h holding compact instructions. The search
// stores every circuit it finds as one such list, sharing its prefix with the circuit it extends.

#include "morvane/circ/instr.h"
#include "morvane/core/alias_list.h"

namespace morvane {

using AliasCell = BasicAliasCell<Instr32>;
using AliasArena = BasicAliasArena<Instr32>;

}  // namespace morvane
