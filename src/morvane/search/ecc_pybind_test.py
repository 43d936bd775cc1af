"""The Python classes ECC and ECCs: simplified classes from a search, display forms, copies."""

import inspect

import pytest

from morvane import ECC, ECCs, Evaluator, Gate, Instr, RawECCs

H, T, CX = (Gate.from_name(n) for n in ("h", "t", "cx"))


@pytest.fixture(scope="module")
def raw():
    return RawECCs.generate(Evaluator(2), [H, T, CX], 3)[0]


@pytest.fixture(scope="module")
def eccs(raw):
    return raw.simplify()


def texts(circuit):
    return [str(i) for i in circuit]


def test_no_constructors():
    for cls in (ECC, ECCs):
        with pytest.raises(TypeError):
            cls()


def test_collection_is_sorted_and_normalised(eccs):
    classes = eccs.to_list()
    assert len(classes) == len(eccs) and eccs.nqubits == 2
    assert all(isinstance(e, ECC) for e in classes)
    assert texts(classes[0].circuits()[0]) == []  # the empty circuit orders first
    for e in classes:
        circuits = e.circuits()
        rep = circuits[0]
        # The representative is a shortest member and uses the qubits 0 .. m-1.
        assert all(len(rep) <= len(c) for c in circuits)
        used = sorted({q for i in rep for q in i.qargs})
        assert used == list(range(len(used)))
        # The representative never carries SWAPs.
        assert "swap" not in " ".join(texts(rep))


def test_display_forms(eccs):
    h1 = RawECCs.generate(Evaluator(1), [H], 3)[0].simplify()
    assert [str(e) for e in h1.to_list()] == ["ECC {\n\t,\n\th(0) h(0),\n}", "ECC {\n\th(0),\n}"]
    assert str(h1) == "ECC {\n\t,\n\th(0) h(0),\n}"
    multi = [e for e in eccs.to_list() if len(e.circuits()) > 1]
    assert str(eccs) == " & ".join(str(e) for e in multi)
    for e in multi:
        lines = str(e).split("\n")
        assert lines[0] == "ECC {" and lines[-1] == "}"
        assert lines[1:-1] == ["\t" + " ".join(texts(c)) + "," for c in e.circuits()]


def test_filter_single(eccs):
    before = len(eccs)
    multi = eccs.filter_single()
    assert isinstance(multi, ECCs) and multi.nqubits == eccs.nqubits
    assert multi.to_list() == [e for e in eccs.to_list() if len(e.circuits()) > 1]
    assert len(eccs) == before
    assert str(multi) == str(eccs)
    # A collection of one-circuit classes filters to nothing.
    lone = RawECCs(Evaluator(2)).simplify()
    empty = lone.filter_single()
    assert len(empty) == 0 and empty.nqubits == 2 and str(empty) == ""


def test_check_of_generated_classes_is_empty(eccs):
    assert eccs.check() == []
    assert RawECCs(Evaluator(3)).simplify().check() == []


def test_equality_and_copies(raw, eccs):
    again = raw.simplify()
    assert again is not eccs and again == eccs and not (again != eccs)
    assert eccs.filter_single() != eccs
    a, b = eccs.to_list(), eccs.to_list()
    assert a == b and a[1] is not b[1]
    assert a[0] != a[1]
    assert (eccs == 1) is False and (a[0] == "x") is False
    for x, y in ((eccs, eccs), (a[0], a[1])):
        with pytest.raises(TypeError):
            x < y  # noqa: B015
        with pytest.raises(TypeError):
            hash(x)
    assert RawECCs(Evaluator(1)).simplify() != RawECCs(Evaluator(2)).simplify()


def test_circuits_are_instructions(eccs):
    for e in eccs.to_list():
        for c in e.circuits():
            assert all(isinstance(i, Instr) for i in c)


def test_docstrings():
    assert ECC.__doc__ == "One equivalence class of circuits."
    assert ECCs.__doc__ == "Collection of equivalence classes for a fixed number of qubits."
    assert ECC.circuits.__doc__ == "Returns all circuits in this class with swap instructions materialized."
    assert ECCs.check.__doc__ == "Returns classes that fail randomized equivalence checks."
    assert ECCs.to_list.__doc__ == "Returns all classes as a Python list."
    assert ECCs.filter_single.__doc__ == "Removes classes with only one circuit."
    assert str(inspect.signature(ECCs.to_list)) == "(self)"
    with pytest.raises(AttributeError):
        RawECCs(Evaluator(1)).simplify().nqubits = 3
