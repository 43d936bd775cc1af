"""The Python class Circ: construction, structural operations, order, hash, display and canonical forms."""

import inspect

import pytest

from morvane import Circ, Gate, IdentityCirc, Instr

H, X, T, CX, SWAP = (Gate.from_name(n) for n in ("h", "x", "t", "cx", "swap"))


def h(q):
    return Instr(H, [q])


def x(q):
    return Instr(X, [q])


def cx(a, b):
    return Instr(CX, [a, b])


def swap(a, b):
    return Instr(SWAP, [a, b])


@pytest.mark.parametrize(
    "instrs, perm, length, nqubits, text",
    [
        ([], None, 0, 0, "Circuit { () }"),
        ([h(3)], None, 1, 4, "Circuit { h(3) (0 1 2 3) }"),
        ([], [1, 0], 0, 2, "Circuit { (1 0) }"),
        ([h(0), cx(0, 1)], [1, 0], 2, 2, "Circuit { h(0) cx(0, 1) (1 0) }"),
        ([h(0)], [0, 2, 1], 1, 3, "Circuit { h(0) (0 2 1) }"),
    ],
)
def test_construction(instrs, perm, length, nqubits, text):
    c = Circ(instrs, perm)
    assert (len(c), c.len(), c.nqubits(), str(c)) == (length, length, nqubits, text)
    assert c.is_empty() == (length == 0)
    assert [str(i) for i in c.instrs] == [str(i) for i in instrs]  # Instr compares by identity
    assert c.perm == tuple(perm if perm is not None else range(nqubits))


def test_debug_form():
    assert repr(Circ([h(0), cx(0, 1)], [1, 0])) == "Circ { instrs: [h(0), cx(0, 1)], perm: (1 0) }"
    assert repr(Circ([])) == "Circ { instrs: [], perm: () }"


@pytest.mark.parametrize(
    "instrs, perm, message",
    [
        ([h(3)], [1, 0], "Permutation length must be greater than the max qubit index."),
        ([h(8)], None, "Permutation length must be less than or equal to 8"),
        ([h(0)], [0, 8], "Permutation values must be less than 8"),
        ([h(0)], [1, 1], "Permutation values must be unique"),
    ],
)
def test_construction_stops(panics, instrs, perm, message):
    with panics(message):
        Circ(instrs, perm)


@pytest.mark.parametrize(
    "instrs, perm, error, message",
    [
        ("h0", None, TypeError, "argument 'instrs': Can't extract `str` to `Vec`"),
        ([1], None, TypeError, "argument 'instrs': 'int' object cannot be converted to 'Instr'"),
        ([], "ab", TypeError, "argument 'perm': Can't extract `str` to `Vec`"),
        ([], [256], OverflowError, "argument 'perm': "),
    ],
)
def test_argument_errors(instrs, perm, error, message):
    with pytest.raises(error) as info:
        Circ(instrs, perm)
    assert str(info.value).startswith(message)


def test_indexing_is_cyclic():
    c = Circ([h(0), x(1), cx(0, 1)])
    assert [str(c[i]) for i in (-1, 0, 3, 4, -4)] == ["cx(0, 1)", "h(0)", "h(0)", "x(1)", "cx(0, 1)"]
    with pytest.raises(OverflowError):
        c[2**31]


def test_empty_circuit_edges(panics):
    c = Circ([])
    assert c.rotate(0) == c
    with panics("range start index 1 out of range for slice of length 0"):
        c.rotate(1)
    with panics("attempt to calculate the remainder with a divisor of zero"):
        c[0]


@pytest.mark.parametrize(
    "circ, n, expected",
    [
        (Circ([h(0), x(1)], [1, 0]), 1, Circ([x(1), h(1)], [1, 0])),
        (Circ([h(0), x(1)], [1, 0]), -1, Circ([x(0), h(0)], [1, 0])),
        (Circ([h(0), x(1)], [1, 0]), 2, Circ([h(1), x(0)], [1, 0])),
        (Circ([h(0), x(1)], [1, 0]), -2, Circ([h(1), x(0)], [1, 0])),
        (Circ([h(0), x(1)]), 1, Circ([x(1), h(0)])),
    ],
)
def test_rotate(circ, n, expected):
    assert circ.rotate(n) == expected
    assert circ.rotate(n).rotate(-n) == circ


def test_rotate_beyond_the_length_and_range(panics):
    c = Circ([h(0), x(0)])
    for n in range(-2, 3):
        assert c.rotate(n).rotate(-n) == c
    with panics("range start index 3 out of range for slice of length 2"):
        c.rotate(3)
    with pytest.raises(OverflowError):
        c.rotate(2**31)


@pytest.mark.parametrize(
    "circ, perm, expected",
    [
        (Circ([cx(0, 1)], [1, 0]), [1, 0], Circ([cx(1, 0)], [1, 0])),
        (Circ([h(0)]), [2, 0, 1], Circ([h(2)], [0, 1, 2])),  # longer: more qubits
        (Circ([cx(0, 2)], [1, 0, 2]), [1, 0], Circ([cx(1, 2)], [1, 0, 2])),  # shorter: fixed points
        (Circ([h(0)], [1, 2, 0]), [1, 2, 0], Circ([h(1)], [1, 2, 0])),
    ],
)
def test_permut(circ, perm, expected):
    assert circ.permut(perm) == expected
    if len(perm) == circ.nqubits():
        inverse = [perm.index(k) for k in range(len(perm))]
        assert circ.permut(perm).permut(inverse) == circ


def test_inverse_and_concatenation():
    c = Circ([Instr(T, [0]), cx(0, 1)], [1, 0])
    assert str(c.inverse()) == "Circuit { cx(1, 0) tdg(1) (1 0) }"
    assert c.inverse().inverse() == c
    assert (c + c.inverse()).perm == (0, 1)
    wider = Circ([h(0)]) + Circ([h(2)], [0, 2, 1])
    assert wider == Circ([h(0), h(2)], [0, 2, 1])
    with pytest.raises(TypeError):
        c + 1
    with pytest.raises(TypeError):
        c + IdentityCirc(Circ([]))


@pytest.mark.parametrize(
    "circ, expected",
    [
        (Circ([swap(0, 1)], [0, 1]), Circ([], [1, 0])),
        (Circ([h(0), swap(0, 1), h(0)], [0, 1]), Circ([h(0), h(1)], [1, 0])),
        (Circ([h(0), cx(0, 1)], [1, 0]), Circ([h(0), cx(0, 1)], [1, 0])),
    ],
)
def test_remove_swaps(circ, expected):
    assert circ.remove_swaps() == expected


def test_swaps_expand_and_fold_back():
    for perm in ([1, 0, 2], [2, 0, 1], [1, 2, 0], [2, 1, 0]):
        c = Circ([h(0), cx(1, 2)], perm)
        expanded = c.instrs_with_swaps()
        assert [str(i) for i in expanded[:2]] == ["h(0)", "cx(1, 2)"]
        assert all(i.gate == SWAP for i in expanded[2:])
        assert Circ(expanded, [0, 1, 2]).remove_swaps() == c


def test_order_and_equality():
    a = Circ([h(1)], [0, 1])
    b = Circ([h(0), h(0)], [0, 1])
    c = Circ([cx(0, 1)], [1, 0])
    d = Circ([cx(0, 1)], [0, 1])
    assert a < b and d < a and c < d and c <= d and b > a and b >= a
    assert sorted([b, a, d, c]) == [c, d, a, b]
    assert Circ([], [0, 1]) != Circ([], [0, 1, 2])
    assert hash(Circ([], [0, 1])) != hash(Circ([], [0, 1, 2]))
    assert (c == "c") is False and (c != 1) is True
    with pytest.raises(TypeError):
        c < 1


def test_hash_follows_the_reference_vector(py_hash_vectors):
    assert hash(Circ([h(0)])) == py_hash_vectors["Circ [h(0)] perm identity(1)"]
    identity = Circ([h(0), h(0)])
    wrapped = IdentityCirc(identity)
    low = wrapped.hash_value() & 0xFFFFFFFF
    signed = low - 2**32 if low >= 2**31 else low
    assert hash(identity) == hash(wrapped) == (-2 if signed == -1 else signed)


@pytest.mark.parametrize(
    "circ, representative, perm",
    [
        (Circ([], [1, 0]), Circ([], [1, 0]), ()),
        (Circ([swap(0, 1), swap(1, 2)]), Circ([], [2, 0, 1]), ()),
        (Circ([h(0), h(1)]), Circ([h(0), h(1)]), (1, 0)),  # equal candidates: the smaller raw word
        (Circ([cx(2, 0), h(2)], [0, 1, 2]), Circ([cx(0, 1), h(0)]), (1, 2, 0)),
        (Circ([h(2), cx(0, 1)]), Circ([cx(0, 1), h(2)]), (0, 1, 2)),
    ],
)
def test_representative_with_perm(circ, representative, perm):
    assert circ.representative_with_perm() == (representative, perm)
    assert circ.representative() == representative


def test_rotate_representative(panics):
    canonical = Circ([cx(1, 2), cx(2, 1), cx(1, 2)], [0, 2, 1]).rotate_representative()
    assert isinstance(canonical, IdentityCirc)
    assert canonical == Circ([cx(0, 1), cx(1, 0), cx(0, 1)], [1, 0]).rotate_representative()
    assert Circ([]).rotate_representative() == IdentityCirc(Circ([]))
    with panics("called `Option::unwrap()` on a `None` value"):
        Circ([Instr(Gate("global_i", [], [[1j]]), [])]).rotate_representative()
    with pytest.raises(BaseException) as info:
        Circ([], [1, 0]).rotate_representative()
    assert str(info.value).startswith("IdentityCirc: circuit is not identity ")


def test_signatures_and_docstrings():
    assert str(inspect.signature(Circ)) == "(instrs, perm=None)"
    assert Circ.__doc__ == "Circuit with an explicit trailing qubit permutation."
    methods = {
        "len": ("()", "Number of instructions."),
        "is_empty": ("()", "Returns whether the circuit is empty."),
        "nqubits": ("()", "Number of qubits tracked by the permutation."),
        "permut": ("(perm)", "Applies a qubit permutation to this circuit."),
        "rotate": ("(n)", "Circularly rotates instruction order by `n`."),
        "inverse": ("()", "Returns inverse circuit."),
        "remove_swaps": ("()", "Removes explicit swap gates into the stored trailing permutation."),
        "instrs_with_swaps": ("()", "Returns instructions plus swaps needed for stored permutation."),
        "representative": ("()", "Returns canonical circuit representative."),
        "rotate_representative": ("()", "Returns canonical identity representative across rotations/permutations."),
        "representative_with_perm": ("()", "Returns `(representative, applied_perm)` used in canonicalization."),
    }
    c = Circ([h(0)])
    for name, (signature, doc) in methods.items():
        assert str(inspect.signature(getattr(c, name))) == signature, name
        assert getattr(Circ, name).__doc__ == doc, name
    for prop in ("instrs", "perm"):
        with pytest.raises(AttributeError):
            setattr(c, prop, getattr(c, prop))
