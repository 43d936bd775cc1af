"""Shared fixtures of the identity-layer tests: circuits as NumPy unitaries."""

import numpy as np
import pytest


def circuit_unitary(circ):
    """The unitary of a Circ: its instructions in order, then its permutation, which moves the
    contents of qubit k to qubit perm[k]. Bit q of a basis index is qubit q; operand t of a k-qubit
    gate is bit k-1-t of the gate matrix's index."""
    n = circ.nqubits()
    dim = 2**n
    u = np.eye(dim, dtype=complex)
    for instr in circ.instrs:
        qubits = list(instr.qargs)
        k = len(qubits)
        g = np.asarray(instr.gate.matrix)
        full = np.zeros((dim, dim), dtype=complex)
        for col in range(dim):
            sub_in = sum(((col >> q) & 1) << (k - 1 - t) for t, q in enumerate(qubits))
            rest = col & ~sum(1 << q for q in qubits)
            for sub_out in range(2**k):
                row = rest | sum(((sub_out >> (k - 1 - t)) & 1) << q for t, q in enumerate(qubits))
                full[row, col] += g[sub_out, sub_in]
        u = full @ u
    perm = circ.perm
    p = np.zeros((dim, dim))
    for col in range(dim):
        p[sum(((col >> j) & 1) << perm[j] for j in range(n)), col] = 1
    return p @ u


def proportional_to(a, b):
    """Whether a = e^{iφ} b for some phase φ."""
    k = np.unravel_index(np.argmax(np.abs(b)), b.shape)
    if abs(b[k]) < 1e-9:
        return np.allclose(a, 0)
    phase = a[k] / b[k]
    return abs(abs(phase) - 1) < 1e-9 and np.allclose(a, phase * b, atol=1e-9)


@pytest.fixture
def unitary():
    return circuit_unitary


@pytest.fixture
def proportional():
    return proportional_to
