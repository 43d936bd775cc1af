"""A tour of what morvane does: gates and states, the class search, its files, and the prover."""

import numpy as np
import numpy.typing as npt

import morvane
from morvane import Argument, Gate, Instr, Instruction

print("morvane classes:", ", ".join(morvane.__all__))


def builtin(name: str) -> Gate:
    """The built-in gate of that name (Gate.from_name answers None for an unknown one)."""
    gate = Gate.from_name(name)
    if gate is None:
        raise LookupError(f"no built-in gate {name!r}")
    return gate


h = builtin("h")
cx = builtin("cx")
rz = builtin("rz(pi/3)")
print(f"built-in gates: {h}, {cx}, {rz} (adjoint {rz.adjoint()})")

# Any unitary can be registered; a matrix already known returns the existing gate.
hadamard = Gate("hadamard", [], np.array([[1, 1], [1, -1]], dtype=complex) / np.sqrt(2))
print(f"a user-defined Hadamard is the built-in one: {hadamard == h} (named {hadamard.name!r})")
sx = Gate("sx", [], np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]]) / 2)
print(f"a new gate: {sx} on {sx.nqargs} qubit, adjoint {sx.adjoint()}")

instr = cx(0, 1)
print(f"compact instruction {instr}: qubits {list(instr.qargs)}, mask {instr.arg_mask():#b}")
print(f"relabelled by (1, 0): {instr.apply_permutation((1, 0))}")
print(f"register-style: {cx(Argument('q', 0), Argument('q', 1))}")
print(f"as a record: {Instruction(h, [('q', 2)])!r}")

# State vectors: the fingerprints of the class search.
from morvane import StateVec

state = StateVec([1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0])
state *= h(0)
state *= cx(0, 1)
print(f"Bell state from h(0) cx(0, 1): {state}")
sym = StateVec.random_symmetric(3)
print(f"a random symmetric 3-qubit state has equal amplitudes at 1, 2 and 4: "
      f"{sym[1] == sym[2] == sym[4]}; hash {sym.hash_value():#018x}")

# The class search: every circuit over {h, t, cx} (tdg added as t's adjoint) up to 3 gates on
# 2 qubits, grouped into classes of circuits equal up to global phase and qubit relabelling.
from morvane import Evaluator, RawECCs

evaluator = Evaluator(2)
raw, (expanded, evaluated, observed) = RawECCs.generate(evaluator, [h, builtin("t"), cx], 3)
eccs = raw.simplify()
print(f"search: {expanded} circuits expanded, {evaluated} evaluated, {observed} observations; "
      f"{len(eccs)} classes on {eccs.nqubits} qubits")
multi = eccs.filter_single()
print(f"{len(multi)} classes hold more than one circuit; a few of them:")
for ecc in multi.to_list()[:4]:
    print("  " + "  ==  ".join(" ".join(str(i) for i in c) or "(empty)" for c in ecc.circuits()))
print(f"randomized re-check finds {len(eccs.check())} failing classes")

# Class files and the Quartz export.
import json
import os
import tempfile

from morvane import ECCs

with tempfile.TemporaryDirectory() as tmp:
    class_file = os.path.join(tmp, "h_t_cx_2q.eccs")
    quartz_file = os.path.join(tmp, "h_t_cx_2q.json")
    eccs.dump_postcard(class_file)
    eccs.dump_quartz(quartz_file)
    loaded = ECCs.from_postcard(class_file)
    with open(quartz_file, encoding="utf-8") as f:
        quartz = json.load(f)
    print(f"class file: {os.path.getsize(class_file)} bytes, loads back equal: {loaded == eccs}")
    print(f"Quartz JSON: {os.path.getsize(quartz_file)} bytes, {len(quartz[1])} groups; "
          f"first key {min(quartz[1])!r}")

# Cross-checks of raw class maps: the members of a circuit's class, the classes re-keyed under a
# second evaluator, and every circuit of the search checked step by step against a larger one.
members = raw.find_equivalents(evaluator, [h(0), h(0)])
assert members is not None  # None: the circuit's class is not in the map
print(f"h(0) h(0) falls into the empty circuit's class of {len(members.circuits())} circuits")
switched = raw.switch_evaluator(Evaluator(2))
print(f"under a second evaluator the {len(switched.simplify())} classes stay together")
larger, _ = RawECCs.generate(evaluator, [h, builtin("t"), cx], 4)
raw.check_identity_subset(larger, evaluator)
print("every circuit of the 3-gate search is represented in the 4-gate search")

# Circuits with a trailing permutation and the identities the classes imply.
from morvane import Circ, IdentityCirc

swap_by_cx = Circ([cx(0, 1), cx(1, 0), cx(0, 1)], [1, 0])
print(f"{swap_by_cx} is an identity: {IdentityCirc(swap_by_cx).check()}")
print(f"its canonical form: {swap_by_cx.rotate_representative()}")
identities = eccs.to_identity_circuits()
identity, inverted, circuit = identities[-1]
print(f"{len(identities)} identities from the classes; the last, {identity}, is ({inverted}) + ({circuit})")
print(f"as Python data: {identity.pythonize()}")

# The prover: every class over {h, x, z, s, cx} (sdg added) on 2 qubits up to 3 gates becomes
# rewrite rules; each identity the classes imply is derived from shorter ones or kept as assumed.
from morvane import IdentityProver

x, z, s = builtin("x"), builtin("z"), builtin("s")
clifford = RawECCs.generate(Evaluator(2), [h, x, z, s, cx], 3)[0].simplify()
prover = IdentityProver.build_from_eccs(clifford)
assumed = prover.get_assumed()
print(f"prover from {len(clifford)} classes assumes {len(assumed)} identities, e.g. "
      + ", ".join(str(a) for a in assumed[:3]))

# An identity written by hand: S S = Z and H Z H = X, so H S S H X is the identity. None means
# proved; within 3 extra gates and 1000 visited identities.
target = IdentityCirc(Circ([h(0), s(0), s(0), h(0), x(0)], [0]))
print(f"{target} proved: {prover.prove_identity(target, 3, 1000) is None}")
proof = prover.export_proof(target, 3, 1000)
assert proof is not None
print("its proof (entry 0 the target; i <- j, k: a block of entry i rewritten by the rule of entry k gives entry j):")
print(proof, end="")


def unitary(identity: IdentityCirc) -> npt.NDArray[np.complex128]:
    """The circuit's matrix: qubit q is bit q of a state's index, a gate's first operand the high
    bit of its matrix index, and the trailing permutation sends qubit q to perm[q]."""
    circuit = identity.inner
    n = len(circuit.perm)
    dim = 1 << n
    u = np.eye(dim, dtype=complex)
    for instr in circuit.instrs:
        qubits = list(instr.qargs)
        k = len(qubits)
        step = np.zeros((dim, dim), dtype=complex)
        for col in range(dim):
            sub = sum(((col >> q) & 1) << (k - 1 - j) for j, q in enumerate(qubits))
            rest = col & ~sum(1 << q for q in qubits)
            for row_sub in range(1 << k):
                row = rest | sum(((row_sub >> (k - 1 - j)) & 1) << q for j, q in enumerate(qubits))
                step[row, col] += instr.gate.matrix[row_sub, sub]
        u = step @ u
    perm = np.zeros((dim, dim))
    for index in range(dim):
        perm[sum(((index >> q) & 1) << circuit.perm[q] for q in range(n)), index] = 1
    result: npt.NDArray[np.complex128] = perm @ u
    return result


entries = proof.raw
for identity, derivation in entries:
    u = unitary(identity)
    assert np.allclose(u, u[0, 0] * np.eye(len(u)), atol=1e-9), identity
    if derivation is None:
        assert identity in assumed, identity
    else:
        assert all(0 <= i < len(entries) for i in derivation)
print(f"every one of the {len(entries)} entries is the identity up to phase (NumPy unitaries)")

with tempfile.TemporaryDirectory() as tmp:
    prover_file = os.path.join(tmp, "clifford.prover")
    prover.dump_postcard(prover_file)
    loaded_prover = IdentityProver.from_postcard(prover_file)
    same = (set(loaded_prover.get_assumed()) == set(assumed)
            and loaded_prover.prove_identity(target, 3, 1000) is None
            and loaded_prover.export_proof(target, 3, 1000) == proof)
    print(f"prover file: {os.path.getsize(prover_file)} bytes, loads back with the same answers: {same}")
