"""The register-style classes Argument and Instruction."""

import inspect
import operator

import pytest

from morvane import Argument, Gate, Instruction

H = Gate.from_name("h")
CX = Gate.from_name("cx")


# --- Argument -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "regid, index, text, debug",
    [
        ("q", 0, "q[0]", 'Argument { regid: "q", index: 0 }'),
        ("c", 4294967295, "c[4294967295]", 'Argument { regid: "c", index: 4294967295 }'),
        ('a"b', 1, 'a"b[1]', 'Argument { regid: "a\\"b", index: 1 }'),
        ("a\nb", 1, "a\nb[1]", 'Argument { regid: "a\\nb", index: 1 }'),
        ("a\\b\t\r\0", 1, "a\\b\t\r\0[1]", 'Argument { regid: "a\\\\b\\t\\r\\0", index: 1 }'),
        ("\x01\x7f\x85", 2, "\x01\x7f\x85[2]", 'Argument { regid: "\\u{1}\\u{7f}\\u{85}", index: 2 }'),
        ("reg\u00e9\u2020", 3, "reg\u00e9\u2020[3]", 'Argument { regid: "reg\u00e9\u2020", index: 3 }'),
        ("", 0, "[0]", 'Argument { regid: "", index: 0 }'),
    ],
)
def test_argument_text_forms(regid, index, text, debug):
    a = Argument(regid, index)
    assert (a.regid, a.index) == (regid, index)
    assert str(a) == text and repr(a) == debug


class TwoArgError(Exception):
    def __init__(self, a, b):
        super().__init__(a, b)


class IndexRaisesTwoArgError:
    def __index__(self):
        raise TwoArgError(1, 2)


@pytest.mark.parametrize(
    "regid, index, kind, field",
    [
        ("q", -1, OverflowError, "index"),
        ("q", 2**32, OverflowError, "index"),
        (0, 0, TypeError, "regid"),
        (b"q", 0, TypeError, "regid"),
        ("q", 1.5, TypeError, "index"),
        ("q", "0", TypeError, "index"),
        # Errors whose class cannot be rebuilt from a message alone still carry the prefix.
        ("q\ud800", 0, TypeError, "regid"),
        ("q", IndexRaisesTwoArgError(), TypeError, "index"),
    ],
)
def test_argument_constructor_errors(regid, index, kind, field):
    with pytest.raises(kind, match=rf"^argument '{field}': ") as info:
        Argument(regid, index)
    if kind is TypeError:
        assert not isinstance(info.value, OverflowError)


def test_argument_equality_and_hash(py_hash_vectors):
    a = Argument("q", 0)
    assert a == Argument("q", 0) and hash(a) == hash(Argument(regid="q", index=0))
    assert hash(a) == py_hash_vectors['Argument("q", 0)']
    assert a != Argument("q", 1) and a != Argument("r", 0)
    assert (a == ("q", 0)) is False and (a != ("q", 0)) is True
    assert a.__eq__(("q", 0)) is NotImplemented


ORDERED_PAIRS = {
    "Argument": lambda: (Argument("q", 0), Argument("q", 1)),
    "Instruction": lambda: (Instruction(H, [("q", 0)]), Instruction(H, [("q", 1)])),
}


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("make_pair", ORDERED_PAIRS.values(), ids=ORDERED_PAIRS.keys())
def test_ordering_raises_type_error(op, make_pair):
    a, b = make_pair()
    with pytest.raises(TypeError):
        op(a, b)


@pytest.mark.parametrize(
    "prop, good, bad, kind",
    [("regid", "r", 5, TypeError), ("index", 7, -1, OverflowError), ("index", 7, 2**32, OverflowError),
     ("index", 7, "7", TypeError)],
)
def test_argument_setters_convert_first(prop, good, bad, kind):
    a = Argument("q", 0)
    with pytest.raises(kind, match=rf"^argument '{prop}': "):
        setattr(a, prop, bad)
    assert str(a) == "q[0]"
    setattr(a, prop, good)
    assert getattr(a, prop) == good


# --- Instruction ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, text",
    [
        ((CX, [("q", 0), Argument("q", 1)]), "cx q[0], q[1];"),
        ((H, [], []), "h ;"),
        ((H, ()), "h ;"),
        ((CX, [("q", 0)]), "cx q[0];"),  # no arity check
        ((H, [Argument("q", 2)], [("c", 0), ("c", 1)]), "h q[2], c[0], c[1];"),
        ((Gate.from_name("rz(pi/3)"), (("q", 0),)), "rz(pi/3) q[0];"),
    ],
)
def test_instruction_text(args, text):
    assert str(Instruction(*args)) == text


def test_instruction_defaults_and_repr():
    i = Instruction(CX, [("q", 0), Argument("q", 1)])
    assert i.cargs == [] and i.qargs == [Argument("q", 0), Argument("q", 1)]
    assert repr(i) == (
        'Instruction { gate: Gate(9 -> cx), qargs: [Argument { regid: "q", index: 0 }, '
        'Argument { regid: "q", index: 1 }], cargs: [] }'
    )
    assert repr(Instruction(gate=H, qargs=[], cargs=[("c", 3)])) == (
        'Instruction { gate: Gate(1 -> h), qargs: [], cargs: [Argument { regid: "c", index: 3 }] }'
    )


@pytest.mark.parametrize(
    "args, field, message",
    [
        (("cx", []), "gate", None),
        (("cx", "q0"), "gate", None),  # the gate is converted first
        ((CX, "q0"), "qargs", "argument 'qargs': Can't extract `str` to `Vec`"),
        ((CX, [], "c0"), "cargs", "argument 'cargs': Can't extract `str` to `Vec`"),
        ((CX, [], None), "cargs", None),
        ((CX, None), "qargs", None),
        ((CX, [("q",)]), "qargs", None),
        ((CX, [("q", 0, 1)]), "qargs", None),
        ((CX, [["q", 0]]), "qargs", None),
        ((CX, [(0, 0)]), "qargs", None),
        ((CX, [("q", -1)]), "qargs", None),
        ((CX, [("q", 2**32)]), "qargs", None),
        ((CX, [("q", 0.0)]), "qargs", None),
        ((CX, ["q[0]"]), "qargs", None),
        ((CX, [], [H]), "cargs", None),
    ],
)
def test_instruction_constructor_errors(args, field, message):
    with pytest.raises(TypeError, match=rf"^argument '{field}': ") as info:
        Instruction(*args)
    assert not isinstance(info.value, OverflowError)
    if message:
        assert str(info.value) == message


def test_getters_hand_out_copies_and_setters_take_arguments_only():
    i = Instruction(CX, [("q", 0), ("q", 1)])
    i.qargs.append(Argument("q", 5))
    i.qargs[0].index = 9
    assert str(i) == "cx q[0], q[1];"
    with pytest.raises(TypeError, match=r"^argument 'qargs': "):
        i.qargs = [("q", 5)]
    with pytest.raises(TypeError, match=r"^argument 'cargs': Can't extract `str` to `Vec`$"):
        i.cargs = "c"
    assert str(i) == "cx q[0], q[1];"
    i.qargs = [Argument("q", 5)]
    i.cargs = (Argument("c", 0),)
    assert str(i) == "cx q[5], c[0];"
    with pytest.raises(TypeError, match=r"^argument 'gate': "):
        i.gate = "h"
    i.gate = H
    assert i.gate == H and str(i) == "h q[5], c[0];"


def test_instruction_equality_and_hash():
    a = Instruction(CX, [("q", 0)], [("c", 1)])
    b = Instruction(CX, [Argument("q", 0)], [Argument("c", 1)])
    swapped = Instruction(CX, [("c", 1)], [("q", 0)])
    merged = Instruction(CX, [("q", 0), ("c", 1)])
    assert a == b and hash(a) == hash(b)
    for other in (swapped, merged, Instruction(H, [("q", 0)], [("c", 1)])):
        assert a != other and hash(a) != hash(other)
    assert (a == "cx q[0], c[1];") is False and a.__eq__(1) is NotImplemented


@pytest.mark.parametrize(
    "obj, prop",
    [(Argument("q", 0), "regid"), (Argument("q", 0), "index"), (Instruction(H, []), "gate"),
     (Instruction(H, []), "qargs"), (Instruction(H, []), "cargs")],
)
def test_deleting_a_property_raises(obj, prop):
    with pytest.raises(AttributeError, match=r"^can't delete attribute$"):
        delattr(obj, prop)
    assert getattr(type(obj), prop).__doc__ is None


def test_signatures_and_docstrings():
    assert str(inspect.signature(Argument)) == "(regid, index)"
    assert str(inspect.signature(Instruction)) == "(gate, qargs, cargs=Ellipsis)"
    assert Argument.__doc__ == "A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions."
    assert Instruction.__doc__ == (
        "A high-level instruction with gate + explicit quantum/classical register arguments."
    )


@pytest.mark.parametrize("cls", [Argument, Instruction])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
