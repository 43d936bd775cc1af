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
