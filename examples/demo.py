"""A tour of what morvane can do: gates, instructions and their identities."""

import numpy as np

import morvane
from morvane import Argument, Gate, Instr, Instruction

print("morvane classes:", ", ".join(morvane.__all__))

h = Gate.from_name("h")
cx = Gate.from_name("cx")
rz = Gate.from_name("rz(pi/3)")
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
raw, (expanded, evaluated, observed) = RawECCs.generate(evaluator, [h, Gate.from_name("t"), cx], 3)
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
print(f"h(0) h(0) falls into the empty circuit's class of {len(members.circuits())} circuits")
switched = raw.switch_evaluator(Evaluator(2))
print(f"under a second evaluator the {len(switched.simplify())} classes stay together")
larger, _ = RawECCs.generate(evaluator, [h, Gate.from_name("t"), cx], 4)
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
