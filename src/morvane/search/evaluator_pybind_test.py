"""The Python class Evaluator: key states, permutation pairs, limits, argument errors, equality."""

import inspect
import itertools

import pytest

from morvane import Evaluator, Gate, Instr, StateVec

H, T, CX, SWAP = (Gate.from_name(n) for n in ("h", "t", "cx", "swap"))


def relabel(circuit, perm):
    return [Instr(i.gate, [perm[q] for q in i.qargs]) for i in circuit]


CIRCUIT = [Instr(H, [0]), Instr(CX, [0, 1]), Instr(T, [2]), Instr(CX, [2, 1]), Instr(T, [1])]


def test_empty_circuit():
    e = Evaluator(3)
    key, front, back, forward = e.evaluate([])
    assert isinstance(key, StateVec) and isinstance(forward, StateVec)
    assert front == back == (0, 1, 2)
    # The forward state is the symmetric initial state: amplitudes depend on the popcount only.
    for i, j in itertools.combinations(range(8), 2):
        if bin(i).count("1") == bin(j).count("1"):
            assert forward[i] == forward[j]
    assert key.check() and forward.check()
    assert e.initial_key() == key.hash_value()
    assert e.nqubits() == 3


def test_relabelling_and_trailing_swaps_keep_the_key():
    e = Evaluator(3)
    key = e.evaluate(CIRCUIT)[0]
    for perm in itertools.permutations(range(3)):
        assert e.evaluate(relabel(CIRCUIT, perm))[0] == key
    assert e.evaluate(CIRCUIT + [Instr(SWAP, [0, 2])])[0] == key
    assert e.evaluate([Instr(SWAP, [0, 1])] + CIRCUIT)[0] == key
    # A different operation gets a different key.
    assert e.evaluate(CIRCUIT[:-1])[0] != key


def test_pairs_map_the_circuit_onto_its_key_frame():
    e = Evaluator(3)
    key, front, back, _ = e.evaluate(CIRCUIT)
    # The circuit relabelled through the inverse of its front permutation has the identity pair.
    inv = [front.index(k) for k in range(3)]
    again = e.evaluate(relabel(CIRCUIT, inv))
    assert again[0] == key and again[1] == (0, 1, 2)


def test_evaluation_is_deterministic():
    e = Evaluator(4)
    c = [Instr(H, [3]), Instr(CX, [3, 0]), Instr(T, [0])]
    a, b = e.evaluate(c), e.evaluate(c)
    assert a[0] == b[0] and a[1:3] == b[1:3] and a[3] == b[3]


def test_zero_qubits(panics):
    e = Evaluator(0)
    key, front, back, forward = e.evaluate([])
    assert (front, back, key.len(), forward.len()) == ((), (), 1, 1)
    with panics("index out of bounds: the len is 1 but the index is 1"):
        e.evaluate([Instr(H, [0])])


def beyond_range(n):
    return f"Evaluator qubit count must be from 1 to 5 (the range the class search supports), got {n}"


@pytest.mark.parametrize("n, message", [
    (40, "Number of qubits too large, resulting in overflow for state vector size."),
    (32, "Number of qubits too large, resulting in overflow for state vector size."),
    (31, beyond_range(31)),
    (9, beyond_range(9)),
    (8, beyond_range(8)),
    (7, beyond_range(7)),
    (6, beyond_range(6)),
])
def test_creation_limits(n, message, panics):
    with panics(message):
        Evaluator(n)


def test_five_qubits_evaluate():
    e = Evaluator(5)
    assert e.nqubits() == 5
    assert e.evaluate([])[0].hash_value() == e.initial_key()


def test_qubit_beyond_the_evaluator_stops(panics):
    e = Evaluator(2)
    with panics("index out of bounds: the len is 4 but the index is 4"):
        e.evaluate([Instr(H, [2])])
    # The evaluator is unchanged by the stop.
    assert e.evaluate([])[0].hash_value() == e.initial_key()


@pytest.mark.parametrize("arg, error, message", [
    ("h0", TypeError, "argument 'instrs': Can't extract `str` to `Vec`"),
    ([1], TypeError, "argument 'instrs'"),
    (None, TypeError, "argument 'instrs'"),
])
def test_argument_errors(arg, error, message):
    with pytest.raises(error, match=message):
        Evaluator(2).evaluate(arg)


@pytest.mark.parametrize("arg, error", [(-1, OverflowError), (2**32, OverflowError), ("3", TypeError)])
def test_constructor_argument_errors(arg, error):
    with pytest.raises(error, match="argument 'nqubits'"):
        Evaluator(arg)


def test_equality():
    e, f = Evaluator(2), Evaluator(2)
    assert e == e and not (e != e)
    assert e != f
    assert (e == 1) is False
    with pytest.raises(TypeError):
        e < e  # noqa: B015
    with pytest.raises(TypeError):
        hash(e)


def test_signatures_and_docstrings():
    assert str(inspect.signature(Evaluator)) == "(nqubits)"
    assert Evaluator.__doc__ == "Randomized evaluator used to hash circuits and recover permutation metadata."
    assert str(inspect.signature(Evaluator.evaluate)) == "(self, instrs)"
    assert Evaluator.evaluate.__doc__ == "Python wrapper for circuit evaluation."
    assert Evaluator.initial_key.__doc__ == "Hash key for the empty circuit under this evaluator."
    assert Evaluator.nqubits.__doc__ == "Returns evaluator qubit count."
    assert not hasattr(Evaluator, "evaluate_multiple")
