"""The Python class StateVec: construction, normalisation, hashing, items, comparison and *=."""

import contextlib
import inspect
import math
import operator

import numpy as np
import pytest

from morvane import Gate, Instr, StateVec

C = 0.7071067811865476


@contextlib.contextmanager
def panics(message):
    """A stop: pyo3_runtime.PanicException (a BaseException, not an Exception) with `message`."""
    with pytest.raises(BaseException) as info:
        yield
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__module__ == "pyo3_runtime"
    assert not isinstance(info.value, Exception)
    assert message in str(info.value)


def amplitudes(s):
    return [s[i] for i in range(s.len())]


def test_single_amplitude_state():
    s = StateVec([1.0], [0.0])
    assert (s.nqubits(), s.len(), str(s), s.check()) == (0, 1, "[1.0000]", True)
    assert s.hash_value() == 9978886259863672841
    assert s[0] == 1 + 0j


@pytest.mark.parametrize("re, im, message", [
    ([], [], "Length must be a power of 2"),
    ([1.0, 0.0, 0.0], [0.0, 0.0, 0.0], "Length must be a power of 2"),
    ([1.0, 0.0], [0.0], "Real and imaginary parts must have the same length"),
])
def test_constructor_refuses_bad_lengths(re, im, message):
    with panics(message):
        StateVec(re, im)


@pytest.mark.parametrize("re, im, error, message", [
    ("ab", [0.0, 0.0], TypeError, "argument 're': Can't extract `str` to `Vec`"),
    ([1.0, 0.0], None, TypeError, "argument 'im'"),
    ([1.0, "x"], [0.0, 0.0], TypeError, "argument 're'"),
])
def test_constructor_argument_errors(re, im, error, message):
    with pytest.raises(error, match=message):
        StateVec(re, im)


def test_constructor_does_not_normalise():
    s = StateVec([3.0, 4.0], [0.0, 0.0])
    assert not s.check()
    s.normalize()
    assert s.check()
    assert amplitudes(s) == [pytest.approx(0.6), pytest.approx(0.8)]


def test_normalize_arg_takes_the_last_amplitude_when_the_first_is_near_zero():
    s = StateVec([0.0, 0.0], [0.0, 1.0])
    s.normalize_arg()
    assert amplitudes(s) == [0, pytest.approx(1)]
    t = StateVec([1e-9, 0.0], [0.0, 1.0])
    t.normalize_arg()
    assert math.copysign(1.0, t[0].imag) == 1.0 and t[0].imag == 0.0
    assert abs(t[0].real) < 1e-8 and t[1] == pytest.approx(1)


def test_normalize_arg_makes_first_amplitude_real_non_negative():
    s = StateVec.random(3)
    phase = complex(math.cos(1.2), math.sin(1.2))
    rotated = StateVec([(a * phase).real for a in amplitudes(s)], [(a * phase).imag for a in amplitudes(s)])
    assert rotated != s
    rotated.normalize_arg()
    assert rotated == s and rotated.hash_value() == s.hash_value()
    assert s[0].imag == 0.0 and s[0].real > 0


def test_normalize_of_zero_vector_is_nan_except_first_imaginary_part():
    s = StateVec([0.0, 0.0], [0.0, 0.0])
    s.normalize()
    assert math.isnan(s[0].real) and s[0].imag == 0.0
    assert math.isnan(s[1].real) and math.isnan(s[1].imag)
    assert not s.check()


def test_random_states():
    for n in range(6):
        s = StateVec.random(n)
        assert (s.nqubits(), s.len(), s.check(), s[0].imag) == (n, 2 ** n, True, 0.0)
    assert StateVec.random(3) != StateVec.random(3)
    sym = StateVec.random_symmetric(3)
    assert sym.check()
    assert sym[3] == sym[5] == sym[6] and sym[1] == sym[2] == sym[4]
    assert sym[0] != sym[1] != sym[3] != sym[7]
    for one in (StateVec.random(0), StateVec.random_symmetric(0)):
        assert one[0].imag == 0.0 and one[0].real == pytest.approx(1.0)


@pytest.mark.parametrize("make", [StateVec.random, StateVec.random_symmetric])
def test_random_size_limits(make):
    with panics("Number of qubits too large, resulting in overflow for state vector size."):
        make(40)
    with panics("capacity overflow"):
        make(30)
    with pytest.raises(OverflowError, match="argument 'num_qubits'"):
        make(-1)
    with pytest.raises(OverflowError, match="argument 'num_qubits'"):
        make(2 ** 32)
    with pytest.raises(TypeError, match="argument 'num_qubits'"):
        make(1.5)


def test_display_forms():
    s = StateVec([1.0, 0.0, 0.0, 0.5], [0.0, -1.0, 0.0, 0.25])
    assert str(s) == "[1.0000, -1.0000j, 0.0000, 0.5000+0.2500j]"
    assert str(StateVec([0.5, 1.0], [-0.25, 1e-9])) == "[0.5000-0.2500j, 1.0000]"
    assert repr(s).startswith("<morvane.StateVec object")


def test_equality_and_hash_are_tolerant():
    a = StateVec([1.0, 0.0], [0.0, 0.0])
    b = StateVec([1.0 + 2 ** -26, 0.0], [0.0, -0.0])
    assert a == b and not (a != b)
    assert a.hash_value() == b.hash_value()
    c = StateVec([1.0 + 2 ** -23, 0.0], [0.0, 0.0])
    assert a != c and a.hash_value() != c.hash_value()
    assert StateVec([1.0], [0.0]) != a


def test_comparisons_with_other_types_and_ordering():
    a = StateVec([0.9, 0.0], [0.0, 0.0])
    b = StateVec([-0.001, 0.0], [0.0, 0.0])
    assert (a == 1) is False and (a != 1) is True
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        with pytest.raises(TypeError):
            op(a, b)
    with pytest.raises(TypeError):
        hash(a)


def test_items():
    s = StateVec([1.0, 0.0], [0.0, 0.0])
    s[1] = 0.5 - 0.25j
    assert s[1] == 0.5 - 0.25j
    s[0] = 2
    s[1] = np.float64(0.125)
    assert amplitudes(s) == [2 + 0j, 0.125 + 0j]
    with panics("index out of bounds: the len is 2 but the index is 2"):
        s[2]
    with panics("index out of bounds: the len is 2 but the index is 5"):
        s[5] = 1.0
    with pytest.raises(OverflowError, match="argument 'index'"):
        s[-1]
    with pytest.raises(TypeError, match="argument 'value'"):
        s[0] = "1"
    with pytest.raises(NotImplementedError, match="can't delete item"):
        del s[0]
    assert amplitudes(s) == [2 + 0j, 0.125 + 0j]


def test_clone_is_deep():
    s = StateVec.random(2)
    t = s.clone()
    assert t == s and t is not s
    t[0] = 5.0
    assert s[0] != 5.0


def test_imul_applies_instructions_in_place():
    h, x, cx, y = (Gate.from_name(n) for n in ("h", "x", "cx", "y"))
    s = StateVec([1.0, 0.0], [0.0, 0.0])
    same = s
    s *= Instr(h, [0])
    assert s is same
    assert amplitudes(s) == [C + 0j, C + 0j]
    t = StateVec([0.0, 1.0, 0.0, 0.0], [0.0] * 4)
    t *= Instr(cx, [0, 1])
    assert amplitudes(t) == [0, 0, 0, 1]
    u = StateVec([1.0, 0.0], [0.0, 0.0])
    u *= Instr(y, [0])
    assert amplitudes(u) == [0, 1j]
    v = StateVec([1.0, 0.0], [0.0, 0.0])
    v *= Instr(x, [0])
    assert amplitudes(v) == [0, 1]


def test_imul_with_a_registered_gate_follows_operand_order():
    # Diagonal entries by matrix index (operand 0 is its high bit): 01 gets phase i, 10 none.
    m = np.diag([1, 1j, 1, -1]).astype(complex)
    g = Gate("asym_phase", [], m)
    base = StateVec.random(2)
    forward, reverse = base.clone(), base.clone()
    forward *= Instr(g, [0, 1])
    reverse *= Instr(g, [1, 0])
    # [0, 1]: state index 1 (qubit 0 set) is matrix index 10, state index 2 is 01; [1, 0] the reverse.
    assert forward[1] == pytest.approx(base[1]) and forward[2] == pytest.approx(base[2] * 1j)
    assert reverse[1] == pytest.approx(base[1] * 1j) and reverse[2] == pytest.approx(base[2])


def test_imul_refuses_bad_operands():
    s = StateVec.random(3)
    before = s.clone()
    with panics("index out of bounds: the len is 8 but the index is 8"):
        s *= Instr(Gate.from_name("h"), [3])
    with panics("index out of bounds: the len is 8 but the index is 8"):
        s *= Instr(Gate.from_name("y"), [3])
    assert s == before
    with pytest.raises(TypeError):
        s *= 2
    with pytest.raises(TypeError):
        s *= s
    with pytest.raises(TypeError):
        s * Instr(Gate.from_name("h"), [0])


def test_signatures_and_docstrings():
    assert StateVec.__doc__ == "Complex state vector used for randomized circuit evaluation."
    assert str(inspect.signature(StateVec)) == "(re, im)"
    assert str(inspect.signature(StateVec.random)) == "(num_qubits)"
    assert StateVec.random_symmetric.__doc__ == "Creates a random state tailored for symmetry-aware evaluator use."
    assert StateVec.normalize.__doc__.startswith("Normalizes the state vector in place.")
    docs = {"nqubits": "Returns qubit count.", "len": "Returns vector length (`2^nqubits`).",
            "clone": "Returns a deep copy.", "check": "Checks unit-norm invariant.",
            "hash_value": "Hashes the current normalized state.",
            "normalize_arg": "Canonicalizes global phase for stable equality/hash comparison."}
    for name, doc in docs.items():
        assert getattr(StateVec, name).__doc__ == doc
        assert str(inspect.signature(getattr(StateVec, name))) == "(self)"
    assert not hasattr(StateVec, "__len__")
    assert StateVec.__hash__ is None
