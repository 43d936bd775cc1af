"""The Python class IdentityCirc: the randomized check, hash, wire neighbours, Python-native form."""

import inspect

import numpy as np
import pytest

from morvane import Circ, Gate, IdentityCirc, Instr

H, X, CX, SWAP, I = (Gate.from_name(n) for n in ("h", "x", "cx", "swap", "i"))
PHASE = Gate("global_phase_i", [], np.array([[1j]]))

NOT_IDENTITY = "IdentityCirc: circuit is not identity "


def h(q):
    return Instr(H, [q])


def cx(a, b):
    return Instr(CX, [a, b])


def raw_form(instrs, raw):
    return {"instrs": instrs, "perm": {"raw": raw}}


ID1 = 1 << 24  # the identity on one qubit


@pytest.mark.parametrize(
    "circ, identity",
    [
        (Circ([h(0), h(0)]), True),
        (Circ([h(0)]), False),
        (Circ([]), True),
        (Circ([], [1, 0]), False),
        (Circ([Instr(SWAP, [0, 1])], [1, 0]), True),
        (Circ([cx(0, 1), cx(1, 0), cx(0, 1)], [1, 0]), True),
    ],
)
def test_constructor_runs_the_check(circ, identity, unitary, proportional):
    assert proportional(unitary(circ), np.eye(2 ** circ.nqubits())) == identity
    if identity:
        wrapped = IdentityCirc(circ)
        assert all(wrapped.check() for _ in range(5))
        assert wrapped.inner == circ and wrapped != circ and wrapped.inner is not wrapped.inner
    else:
        with pytest.raises(BaseException) as info:
            IdentityCirc(circ)
        assert str(info.value).startswith(NOT_IDENTITY) and str(info.value).endswith(" " + str(circ).replace("Circuit", "Identity", 1))


def test_constructor_takes_only_a_circ():
    with pytest.raises(TypeError, match="^argument 'circuit': 'list' object cannot be converted to 'Circ'$"):
        IdentityCirc([h(0), h(0)])


def test_display_hash_and_indexing(panics):
    wrapped = IdentityCirc(Circ([h(0), h(0)]))
    assert str(wrapped) == "Identity { h(0) h(0) (0) }"
    assert repr(wrapped) == "IdentityCirc(Circ { instrs: [h(0), h(0)], perm: (0) })"
    assert wrapped.nqubits() == 1 and len(wrapped) == 2 and str(wrapped[-1]) == "h(0)"
    value = wrapped.hash_value()
    assert 0 <= value < 2**64 and value == IdentityCirc(Circ([h(0), h(0)])).hash_value()
    low = value & 0xFFFFFFFF
    assert hash(wrapped) == (low - 2**32 if low >= 2**31 else low)
    with panics("attempt to calculate the remainder with a divisor of zero"):
        IdentityCirc(Circ([]))[0]


def test_order_is_the_circuits():
    a, b = IdentityCirc(Circ([h(0), h(0)])), IdentityCirc(Circ([cx(0, 1), cx(0, 1)]))
    assert b < a and b <= a and a > b and a >= b and a != b
    assert (a == a.inner) is False
    with pytest.raises(TypeError):
        a < a.inner


@pytest.mark.parametrize(
    "circ, gate, forward, backward",
    [
        (Circ([h(0), h(0)]), 0, [1], [1]),
        (Circ([h(0), h(0)]), 1, [0], [0]),
        (Circ([Instr(I, [0])]), 0, [0], [0]),
        (Circ([cx(0, 1), cx(1, 0), cx(0, 1)], [1, 0]), 0, [1, 1], [2, 2]),
        (Circ([cx(0, 1), cx(1, 0), cx(0, 1)], [1, 0]), 2, [0, 0], [1, 1]),
        (Circ([h(0), h(1), h(1), h(0)]), 1, [2], [2]),
        (Circ([h(0), h(1), h(1), h(0)]), 0, [3], [3]),
    ],
)
def test_wire_neighbours(circ, gate, forward, backward):
    wrapped = IdentityCirc(circ)
    assert wrapped.qargs_forward(gate) == forward
    assert wrapped.qargs_backward(gate) == backward


def test_gate_without_qubits_has_no_neighbours():
    # The state layer applies no gate without qubits, so such an identity can only be read as data.
    wrapped = IdentityCirc.from_python(raw_form([(str(PHASE), (255, 255)), ("h", (0, 255)), ("h", (0, 255))], ID1))
    assert wrapped.qargs_forward(0) == [] and wrapped.qargs_backward(0) == []
    assert wrapped.qargs_forward(1) == [2]


def test_wire_neighbour_errors(panics):
    wrapped = IdentityCirc(Circ([h(0), h(0)]))
    with panics("index out of bounds: the len is 2 but the index is 2"):
        wrapped.qargs_forward(2)
    with panics("index out of bounds: the len is 2 but the index is 2"):
        wrapped.qargs_backward(2)
    with pytest.raises(OverflowError):
        wrapped.qargs_forward(-1)
    moved = IdentityCirc.from_python(raw_form([("h", (0, 255))], (2 << 24) | 1))
    with panics("Identity { h(0) (1 0) } [4294967295]"):
        moved.qargs_forward(0)
    with panics("a Identity { h(0) (1 0) } Circ { instrs: [h(1)], perm: (1 0) } 0"):
        moved.qargs_backward(0)


def test_python_native_form_round_trip():
    wrapped = IdentityCirc(Circ([h(0), h(0)]))
    form = wrapped.pythonize()
    assert form == {"instrs": [("h", (0, 255)), ("h", (0, 255))], "perm": {"raw": 16777216}}
    assert list(form) == ["instrs", "perm"]
    assert IdentityCirc.from_python(form) == wrapped
    wide = IdentityCirc(Circ([cx(0, 1), Instr(H, [3]), cx(0, 1), Instr(H, [3])], [0, 1, 2, 3]))
    assert ("h", (3, 255)) in wide.pythonize()["instrs"]
    assert IdentityCirc.from_python(wide.pythonize()) == wide


def test_from_python_reading_rules():
    extra = raw_form([("h", (0, 255)), ("h", (0, 255))], ID1)
    extra["note"] = object()
    assert IdentityCirc.from_python(extra) == IdentityCirc(Circ([h(0), h(0)]))
    as_set = IdentityCirc.from_python(raw_form({("h", (0, 255))}, ID1))
    assert str(as_set) == "Identity { h(0) (0) }"
    listed = IdentityCirc.from_python({"instrs": [["h", [0, 255]]], "perm": {"raw": ID1, "more": 1}})
    assert listed == as_set
    # Not an identity, read as it is; the check stops later.
    with pytest.raises(BaseException) as info:
        as_set.check()
    assert str(info.value).startswith(NOT_IDENTITY)


SURROGATE = "'utf-8' codec can't encode character '{}' in position 0: surrogates not allowed"


@pytest.mark.parametrize(
    "obj, error, message",
    [
        ({"instrs": []}, Exception, "missing field `perm`"),
        ({"perm": {"raw": 0}}, Exception, "missing field `instrs`"),
        ({"instrs": [], "perm": {}}, Exception, "missing field `raw`"),
        ({1: 2, "instrs": [], "perm": {"raw": 0}}, TypeError, "dict keys must have type str"),
        # A key no UTF-8 text can hold, wherever it is: the error of encoding it.
        ({"\ud800": 1, "instrs": [], "perm": {"raw": 0}}, UnicodeEncodeError, SURROGATE.format("\\ud800")),
        ({"instrs": [], "perm": {"raw": 0, "\udc80": 1}}, UnicodeEncodeError, SURROGATE.format("\\udc80")),
        (raw_form([("\udfff", (0, 255))], 0), UnicodeEncodeError, SURROGATE.format("\\udfff")),
        ([], TypeError, "'list' object cannot be converted to 'Mapping'"),
        (raw_form([("h", (0, 255, 1))], 0), ValueError, "expected sequence of length 2, got 3"),
        (raw_form([("h",)], 0), ValueError, "expected sequence of length 2, got 1"),
        (raw_form([("h", (256, 255))], 0), OverflowError, "out of range integral type conversion attempted"),
        (raw_form([("h", (-1, 255))], 0), OverflowError, "out of range integral type conversion attempted"),
        (raw_form([("h", ("a", 255))], 0), TypeError, "'str' object cannot be interpreted as an integer"),
        (raw_form([(1, (0, 255))], 0), TypeError, "'int' object cannot be converted to 'PyString'"),
        (raw_form(5, 0), TypeError, "'int' object cannot be converted to 'Sequence'"),
        (raw_form([], 2**32), OverflowError, "out of range integral type conversion attempted"),
    ],
)
def test_from_python_errors(obj, error, message):
    with pytest.raises(error) as info:
        IdentityCirc.from_python(obj)
    assert str(info.value) == message


def test_from_python_unknown_gate_stops(panics):
    with panics("Failed to deserialize Gate16 from nope"):
        IdentityCirc.from_python(raw_form([("nope", (0, 255))], ID1))


def _operations():
    return {
        "check": lambda w: w.check(),
        "forward": lambda w: w.qargs_forward(0),
        "backward": lambda w: w.qargs_backward(0),
        "str": str,
        "repr": repr,
        "hash": hash,
        "getitem": lambda w: w[0],
        "rotate": lambda w: w.inner.rotate(1),
        "rotate_back": lambda w: w.inner.rotate(-1),
        "inverse": lambda w: w.inner.inverse(),
        "permut": lambda w: w.inner.permut([1, 0]),
        "add": lambda w: w.inner + w.inner,
        "remove_swaps": lambda w: w.inner.remove_swaps(),
        "instrs_with_swaps": lambda w: w.inner.instrs_with_swaps(),
        "representative": lambda w: w.inner.representative_with_perm(),
        "rotate_representative": lambda w: w.inner.rotate_representative(),
        "wrap": lambda w: IdentityCirc(w.inner),
        "pythonize": lambda w: IdentityCirc.from_python(w.pythonize()),
    }


# Data no circuit built through the constructors can hold; every operation either works on them or
# stops with a message, and the check always stops.
HOSTILE = {
    "long_perm_word": (raw_form([("h", (0, 255)), ("h", (0, 255))], 0x0F000000),
                       "Circuit permutation word 0xf000000 is not a permutation of at most 8 positions"),
    "repeated_image": (raw_form([("cx", (0, 1)), ("cx", (0, 1))], (2 << 24) | 0),
                       "Circuit permutation word 0x2000000 is not a permutation of at most 8 positions"),
    "high_bits": (raw_form([("h", (0, 255)), ("h", (0, 255))], 0xF1000000),
                  "Circuit permutation word 0xf1000000 is not a permutation of at most 8 positions"),
    "qubit_8": (raw_form([("h", (8, 255)), ("h", (8, 255))], ID1),
                "Instruction 0 uses qubit 8, which is not below the permutation length 1"),
    "qubit_200": (raw_form([("cx", (200, 0)), ("cx", (200, 0))], (2 << 24) | 8),
                  "Instruction 0 uses qubit 200, which is not below the permutation length 2"),
    "empty_first_slot": (raw_form([("h", (255, 0)), ("h", (255, 0))], ID1),
                         "Instruction 0 has an empty first qubit slot before qubit 0"),
    "no_qubits_for_h": (raw_form([("h", (255, 255)), ("h", (255, 255))], ID1),
                        "Instruction 0 has 0 qubits but its gate h takes 1"),
    "one_qubit_for_cx": (raw_form([("cx", (0, 255)), ("cx", (0, 255))], (2 << 24) | 8),
                         "Instruction 0 has 1 qubits but its gate cx takes 2"),
    "repeated_qubit": (raw_form([("cx", (1, 1)), ("cx", (1, 1))], (2 << 24) | 8),
                       "Instruction 0 uses qubit 1 twice"),
    "swap_with_one_slot": (raw_form([("swap", (0, 255))], (2 << 24) | 8),
                           "Instruction 0 has 1 qubits but its gate swap takes 2"),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_native_data_stop_cleanly(name):
    form, check_message = HOSTILE[name]
    wrapped = IdentityCirc.from_python(form)
    with pytest.raises(BaseException) as info:
        wrapped.check()
    assert str(info.value) == check_message
    assert type(info.value).__name__ == "PanicException"
    for op_name, op in _operations().items():
        try:
            op(wrapped)
        except BaseException as e:  # a stop with a message, or a Python error; never a crash
            assert type(e).__name__ in ("PanicException", "TypeError"), (op_name, e)
            assert str(e), op_name


def test_signatures_and_docstrings():
    assert str(inspect.signature(IdentityCirc)) == "(circuit)"
    assert IdentityCirc.__doc__ == "Canonical identity circuit (a circuit proven equivalent to identity)."
    methods = {
        "check": ("()", "Randomized semantic check that this circuit is identity."),
        "hash_value": ("()", "Stable hash of the canonical identity representation."),
        "nqubits": ("()", "Returns number of qubits."),
        "qargs_forward": ("(gate_id)", "For each argument of gate `gate_id`, returns next gate index using that qubit."),
        "qargs_backward": ("(gate_id)",
                           "For each argument of gate `gate_id`, returns previous gate index using that qubit."),
        "pythonize": ("()", "Converts this identity to a Python-serializable form."),
    }
    wrapped = IdentityCirc(Circ([]))
    for name, (signature, doc) in methods.items():
        assert str(inspect.signature(getattr(wrapped, name))) == signature, name
        assert getattr(IdentityCirc, name).__doc__ == doc, name
    assert str(inspect.signature(IdentityCirc.from_python)) == "(obj)"
    assert IdentityCirc.from_python.__doc__ == "Parses a Python-serialized identity object."
    assert IdentityCirc.inner.__doc__ == "Underlying circuit representation."
    with pytest.raises(AttributeError):
        wrapped.inner = Circ([])
