"""The Python class Instr: construction, qubit relabelling, frontier masks, hash and text."""

import inspect

import pytest

from morvane import Gate, Instr

H = Gate.from_name("h")
CX = Gate.from_name("cx")
S = Gate.from_name("s")


def instr(gate, *qubits):
    return Instr(gate, list(qubits))


@pytest.mark.parametrize(
    "gate, qubits, text, raw, mask, largest",
    [
        (CX, [0, 1], "cx(0, 1)", b"\x00\x01", 3, 1),
        (H, [3], "h(3)", b"\x03", 8, 3),
        (CX, [4, 2], "cx(4, 2)", b"\x04\x02", 0b10100, 4),
        (H, [9], "h(9)", b"\x09", 2, 9),
        (Gate.from_name("rz(pi/3)"), [0], "rz(pi/3)(0)", b"\x00", 1, 0),
    ],
)
def test_construction_and_read_outs(gate, qubits, text, raw, mask, largest):
    i = Instr(gate, qubits)
    assert str(i) == text and repr(i) == text
    assert i.qargs == raw and type(i.qargs) is bytes
    assert i.arg_mask() == mask and i.largest_qubit() == largest
    assert i.gate == gate and type(i.gate) is Gate


def test_constructor_takes_keywords_and_any_int_sequence():
    assert str(Instr(gate=CX, qargs=(1, 0))) == "cx(1, 0)"
    assert str(Instr(CX, b"\x02\x05")) == "cx(2, 5)"
    assert str(Instr(CX, range(2))) == "cx(0, 1)"


@pytest.mark.parametrize(
    "gate, qargs, kind, field",
    [
        ("cx", [0, 1], TypeError, "gate"),
        (None, [0, 1], TypeError, "gate"),
        (CX, "01", TypeError, "qargs"),
        (CX, 5, TypeError, "qargs"),
        (CX, [0, 1.0], TypeError, "qargs"),
        (CX, [0, "1"], TypeError, "qargs"),
        (CX, [0, 256], OverflowError, "qargs"),
        (CX, [-1, 0], OverflowError, "qargs"),
    ],
)
def test_constructor_conversion_errors(gate, qargs, kind, field):
    with pytest.raises(kind, match=rf"^argument '{field}': ") as info:
        Instr(gate, qargs)
    if kind is TypeError:
        assert not isinstance(info.value, OverflowError)
    if isinstance(qargs, str):
        assert str(info.value) == "argument 'qargs': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "gate, qargs, message",
    [
        (CX, [0], "Number of qubit arguments does not match gate arity"),
        (H, [], "Number of qubit arguments does not match gate arity"),
        (CX, [1, 1], "Qubit arguments must be unique"),
        (H, [255], "Qubit index 255 is reserved for an empty slot"),
    ],
)
def test_constructor_stops(panics, gate, qargs, message):
    with panics(message):
        Instr(gate, qargs)


@pytest.mark.parametrize(
    "before, perm, after",
    [
        (instr(CX, 0, 1), [1, 0], "cx(1, 0)"),
        (instr(H, 2), [1, 0], "h(0)"),  # beyond the permutation's length: the stored slot, 0
        (instr(H, 2), (2, 0, 1), "h(1)"),
        (instr(CX, 3, 1), [3, 2, 1, 0], "cx(0, 2)"),
    ],
)
def test_apply_permutation_and_its_alias(before, perm, after):
    text = str(before)
    assert str(before.apply_permutation(perm)) == after
    assert str(before.permut(perm=perm)) == after
    assert str(before) == text  # a new Instr; the receiver is unchanged


def test_a_qubit_of_8_or_more_cannot_be_permuted(panics):
    with panics("assertion failed: idx < 8"):
        instr(H, 8).apply_permutation([1, 0])


@pytest.mark.parametrize(
    "perm, kind, message",
    [
        ("10", TypeError, "argument 'perm': Can't extract `str` to `Vec`"),
        ([0, 1.0], TypeError, None),
        (7, TypeError, None),
        ([256, 0], OverflowError, None),
        ([-1, 0], OverflowError, None),
    ],
)
def test_permutation_conversion_errors(perm, kind, message):
    with pytest.raises(kind, match=r"^argument 'perm': ") as info:
        instr(CX, 0, 1).permut(perm)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "perm, message", [([8, 0], "Permutation values must be less than 8"), ([0, 0], "Permutation values must be unique")]
)
def test_invalid_permutations_stop(panics, perm, message):
    with panics(message):
        instr(CX, 0, 1).apply_permutation(perm)


@pytest.mark.parametrize(
    "i, mask, expected",
    [
        (instr(CX, 0, 1), 0, 3),
        (instr(CX, 1, 0), 0, None),
        (instr(CX, 1, 0), 1, 3),
        (instr(H, 2), 3, 7),
        (instr(H, 3), 3, None),
        (instr(H, 1), 5, 7),
        (instr(H, 0), 1, 1),
        (instr(H, 7), 0x7F, 0xFF),
        (instr(H, 8), 0xFF, 0xFF),
    ],
)
def test_pass_mask(i, mask, expected):
    assert i.pass_mask(mask) == expected
    assert i.pass_mask(mask=mask) == expected


@pytest.mark.parametrize("method, field", [("pass_mask", "mask"), ("position_of_qubit", "qubit")])
@pytest.mark.parametrize("value, kind", [(256, OverflowError), (-1, OverflowError), ("1", TypeError), (1.0, TypeError)])
def test_byte_arguments(method, field, value, kind):
    with pytest.raises(kind, match=rf"^argument '{field}': ") as info:
        getattr(instr(CX, 0, 1), method)(value)
    if kind is TypeError:
        assert not isinstance(info.value, OverflowError)


@pytest.mark.parametrize("qubit, position", [(2, 1), (4, 0), (5, None)])
def test_position_of_qubit(qubit, position):
    assert instr(CX, 4, 2).position_of_qubit(qubit) == position


@pytest.mark.parametrize(
    "a, b, disjoint",
    [
        (instr(CX, 0, 1), instr(H, 1), False),
        (instr(CX, 0, 1), instr(H, 2), True),
        (instr(H, 8), instr(H, 0), False),  # qubit 8 and qubit 0 are the same mask bit
        (instr(CX, 3, 5), instr(CX, 4, 6), True),
    ],
)
def test_disjoint(a, b, disjoint):
    assert a.disjoint(b) is disjoint and b.disjoint(other=a) is disjoint


def test_disjoint_takes_only_an_instr():
    with pytest.raises(TypeError, match=r"^argument 'other': "):
        instr(H, 0).disjoint(H)


def test_adjoint_keeps_the_qubits():
    assert str(instr(S, 4).adjoint()) == "sdg(4)"
    assert str(instr(CX, 1, 0).adjoint()) == "cx(1, 0)"


def test_no_value_equality_but_equal_hashes(py_hash_vectors):
    a, b = instr(CX, 0, 1), instr(CX, 0, 1)
    assert a != b and not (a == b) and a == a
    assert Instr.__eq__ is object.__eq__
    assert hash(a) == hash(b) == py_hash_vectors["Instr32 cx(0, 1)"]
    assert hash(instr(CX, 1, 0)) != hash(a)
    with pytest.raises(TypeError):
        a < b


@pytest.mark.parametrize("prop", ["gate", "qargs"])
def test_properties_are_read_only(prop):
    i = instr(H, 0)
    with pytest.raises(AttributeError):
        setattr(i, prop, getattr(i, prop))
    with pytest.raises(AttributeError):
        delattr(i, prop)


def test_signatures_and_docstrings():
    assert str(inspect.signature(Instr)) == "(gate, qargs)"
    assert Instr.__doc__ == "A compact, index-only quantum instruction used internally by the search/prover."
    i = instr(H, 0)
    methods = {
        "apply_permutation": ("(perm)", "Applies a qubit permutation."),
        "permut": ("(perm)", "Alias of `apply_permutation`."),
        "arg_mask": ("()", "Bitmask of qubits touched by this instruction."),
        "pass_mask": ("(mask)", "Updates a frontier mask for left-to-right scheduling checks."),
        "largest_qubit": ("()", "Largest qubit index touched by this instruction."),
        "disjoint": ("(other)", "Returns `true` when this and `other` touch disjoint qubits."),
        "adjoint": ("()", "Returns the adjoint instruction."),
        "position_of_qubit": ("(qubit)", "Returns position of `qubit` in argument list, if present."),
    }
    for name, (signature, doc) in methods.items():
        assert str(inspect.signature(getattr(i, name))) == signature, name
        assert str(inspect.signature(getattr(Instr, name))) == "(self" + ("" if signature == "()" else ", ") + signature[1:]
        assert getattr(Instr, name).__doc__ == doc, name
    assert Instr.gate.__doc__ == "Underlying gate."
    assert Instr.qargs.__doc__ == "Qubit arguments as dense integer indices."
