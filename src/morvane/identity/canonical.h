#pragma once
// Canonical forms of circuits: one key for circuits that differ only in the numbering of their
// qubits, the order of commuting neighbours, idle trailing qubits, explicit SWAPs and, for
// identities, the starting point of the cycle. The forms search every relabelling of the qubits
// (and every rotation) for the smallest candidate by the circuit order; they are pure functions.
//
// representative(_with_perm) and rotate_canonical/rotate_representative compare candidates as
// packed 32-bit instruction keys in inline buffers, and skip a relabelling or rotation whose
// smallest front-surface instruction (one sharing no qubit with any before it, the only ones
// reordering can bring to the front) already exceeds the best candidate's first.

#include <utility>

#include "morvane/circ/circ.h"
#include "morvane/core/permut.h"
#include "morvane/identity/identity_circ.h"

namespace morvane {

/// The permutation shortened to one more than the highest qubit that an instruction uses or the
/// permutation moves; a circuit without instructions is returned unchanged.
Circ compact_qubits(const Circ& c);
/// Each instruction moved left past the run of strictly greater (Instr32 order) neighbours that
/// share no qubit with it.
Circ reorder_instrs(const Circ& c);

/// The smallest compact_qubits(reorder_instrs(permut(c0, p))) over every permutation p of c0's
/// length, where c0 = remove_swaps(compact_qubits(c)); c0 itself when it has no instructions.
Circ representative(const Circ& c);
/// The representative and the smallest (by raw word) p that reaches it; the empty permutation
/// when c0 has no instructions.
std::pair<Circ, Permut32> representative_with_perm(const Circ& c);
/// The smallest compact_qubits(reorder_instrs(rotate(permut(c0, p), i))) over every p and every
/// position i whose instruction in permut(c0, p) uses qubit 0; c0 when it has no instructions.
/// Stops with "called `Option::unwrap()` on a `None` value" when no instruction uses a qubit.
/// No identity check: rotate_representative (identity_circ.h) wraps this and checks.
Circ rotate_canonical(const Circ& c);
/// rotate_canonical wrapped as an identity circuit, which runs the randomized identity check.
IdentityCirc rotate_representative(const Circ& c);

}  // namespace morvane
