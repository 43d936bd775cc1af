"""Generated classes against an independent brute force over unitaries.

Two circuits belong to one class exactly when their unitaries are equal up to a global phase and
independent relabellings of input and output qubits. The brute force enumerates every circuit up to
the size, computes its unitary with NumPy, and names its class by the smallest canonical form over
all relabelling pairs.
"""

import itertools
import math

import numpy as np
import pytest

from morvane import Evaluator, Gate, RawECCs

C = 1 / math.sqrt(2)
MATRICES = {
    "h": np.array([[C, C], [C, -C]], dtype=complex),
    "x": np.array([[0, 1], [1, 0]], dtype=complex),
    "t": np.diag([1, np.exp(1j * math.pi / 4)]),
    "tdg": np.diag([1, np.exp(-1j * math.pi / 4)]),
    "s": np.diag([1, 1j]),
    "sdg": np.diag([1, -1j]),
    # Control on the first operand, the most significant bit of the gate's index.
    "cx": np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]], dtype=complex),
    "swap": np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=complex),
}
ADJOINT = {"t": "tdg", "tdg": "t", "s": "sdg", "sdg": "s"}


def embed(name, qubits, n):
    """The 2^n unitary of a gate on `qubits`; bit q of a basis index is qubit q."""
    m = MATRICES[name]
    k = len(qubits)
    dim = 2 ** n
    u = np.zeros((dim, dim), dtype=complex)
    for col in range(dim):
        sub_in = 0
        for t, q in enumerate(qubits):
            sub_in |= ((col >> q) & 1) << (k - 1 - t)
        for sub_out in range(2 ** k):
            row = col
            for t, q in enumerate(qubits):
                bit = (sub_out >> (k - 1 - t)) & 1
                row = (row & ~(1 << q)) | (bit << q)
            u[row, col] += m[sub_out, sub_in]
    return u


def relabel_indices(perm, n):
    """Index map of the qubit relabelling that sends qubit k to perm[k]."""
    out = []
    for i in range(2 ** n):
        j = 0
        for k in range(n):
            if (i >> k) & 1:
                j |= 1 << perm[k]
        out.append(j)
    return np.array(out)


def canonical_keys(unitaries, n):
    """One hashable key per unitary, equal exactly for unitaries equal up to phase and relabellings."""
    perms = [relabel_indices(p, n) for p in itertools.permutations(range(n))]
    best = [None] * len(unitaries)
    for rows in perms:
        for cols in perms:
            v = unitaries[:, rows][:, :, cols].reshape(len(unitaries), -1)
            first = np.argmax(np.abs(v) > 1e-6, axis=1)
            ref = v[np.arange(len(v)), first]
            v = v * (np.abs(ref) / ref)[:, None]
            r = np.round(v.real * 1e5) + 0.0, np.round(v.imag * 1e5) + 0.0
            keys = np.concatenate([r[0], r[1]], axis=1)
            for i, key in enumerate(keys):
                b = key.tobytes()
                if best[i] is None or b < best[i]:
                    best[i] = b
    return best


def brute_force(names, n, max_size):
    """Map from class key to the length of its shortest circuit."""
    placements = []
    for name in names:
        arity = int(math.log2(len(MATRICES[name])))
        qubit_lists = [[q] for q in range(n)] if arity == 1 else [[a, b] for a in range(n) for b in range(n) if a != b]
        placements += [embed(name, q, n) for q in qubit_lists]
    shortest = {}
    layer = np.eye(2 ** n, dtype=complex)[None]
    for length in range(max_size + 1):
        for key in canonical_keys(layer, n):
            shortest.setdefault(key, length)
        if length < max_size:
            layer = np.concatenate([g @ layer for g in placements])
    return shortest


def circuit_unitary(circuit, n):
    u = np.eye(2 ** n, dtype=complex)
    for instr in circuit:
        u = embed(instr.gate.name, list(instr.qargs), n) @ u
    return u


CASES = [
    (["h", "t", "tdg"], 1, 7),
    (["h", "x", "s", "sdg"], 1, 5),
    (["h", "t", "tdg", "cx"], 2, 4),
    (["h", "cx"], 2, 6),
    (["x", "cx"], 3, 4),
    (["h", "cx"], 3, 4),
    (["t", "tdg", "cx"], 3, 3),
]


@pytest.mark.parametrize("names, n, max_size", CASES)
def test_generate_finds_every_class_with_its_shortest_length(names, n, max_size, capfd):
    expected = brute_force(names, n, max_size)
    gates = [Gate.from_name(name) for name in names if name not in ADJOINT or ADJOINT[name] not in names[:names.index(name)]]
    raw, counts = RawECCs.generate(Evaluator(n), gates, max_size)
    eccs = raw.simplify()
    assert len(eccs) == len(expected)
    reps = [e.circuits()[0] for e in eccs.to_list()]
    keys = canonical_keys(np.array([circuit_unitary(r, n) for r in reps]), n)
    assert len(set(keys)) == len(keys)
    assert {k: len(r) for k, r in zip(keys, reps)} == expected
    capfd.readouterr()


@pytest.mark.parametrize("names, n, max_size", CASES[2:])
def test_materialised_circuits_of_a_class_have_one_unitary(names, n, max_size, capfd):
    gates = [Gate.from_name(name) for name in names]
    eccs = RawECCs.generate(Evaluator(n), gates, max_size)[0].simplify()
    for ecc in eccs.to_list():
        circuits = ecc.circuits()
        first = circuit_unitary(circuits[0], n)
        k = np.argmax(np.abs(first.reshape(-1)) > 1e-6)
        for c in circuits[1:]:
            u = circuit_unitary(c, n)
            phase = u.reshape(-1)[k] / first.reshape(-1)[k]
            assert abs(abs(phase) - 1) < 1e-9
            assert np.allclose(u, phase * first, atol=1e-9), [str(i) for i in c]
    assert eccs.check() == []
    capfd.readouterr()
