"""The Python class RawECCs: searches, generators, counts, progress lines, argument errors."""

import inspect
import re

import numpy as np
import pytest

from morvane import ECCs, Evaluator, Gate, Instr, RawECCs

H, T, TDG, CX, X = (Gate.from_name(n) for n in ("h", "t", "tdg", "cx", "x"))
EMPTY_LINE = "#0 Exploring  (0 queued, 1 ECCs, 0 circs, 0 circs perm)\n"
LINE = re.compile(r"^#(\d+) Exploring (.*) \((\d+) queued, (\d+) ECCs, (\d+) circs, (\d+) circs perm\)$")


def placements(gates, n):
    out = []
    for g in gates:
        if g.nqargs == 1:
            out += [Instr(g, [q]) for q in range(n)]
        else:
            out += [Instr(g, [a, b]) for a in range(n) for b in range(n) if a != b]
    return out


def classes(eccs):
    return [[[str(i) for i in c] for c in e.circuits()] for e in eccs.to_list()]


@pytest.mark.parametrize("run", [
    lambda e: RawECCs.search(e, [], 5),
    lambda e: RawECCs.search_naive(e, [], 5),
    lambda e: RawECCs.generate(e, [], 5),
    lambda e: RawECCs.generate_naive(e, [], 5),
])
def test_no_candidates(run, capfd):
    e = Evaluator(3)
    raw, counts = run(e)
    assert counts == [1, 0, 0]
    assert capfd.readouterr().out == EMPTY_LINE
    eccs = raw.simplify()
    assert isinstance(raw, RawECCs) and isinstance(eccs, ECCs)
    assert len(eccs) == 1 and str(eccs) == "" and eccs.nqubits == 3
    assert classes(eccs) == [[[]]]


def test_constructor_holds_the_empty_circuit_class(capfd):
    eccs = RawECCs(Evaluator(2)).simplify()
    assert len(eccs) == 1 and classes(eccs) == [[[]]]
    assert capfd.readouterr().out == ""
    assert eccs == RawECCs.search(Evaluator(2), [], 3)[0].simplify()


def test_single_hadamard_on_one_qubit(capfd):
    # h opens a class and is expanded; h h meets the empty circuit's class and joins it.
    raw, counts = RawECCs.generate(Evaluator(1), [H], 3)
    assert counts == [2, 2, 2]
    assert classes(raw.simplify()) == [[[], ["h(0)", "h(0)"]], [["h(0)"]]]
    out = capfd.readouterr().out
    assert out == EMPTY_LINE


def test_max_size_zero_behaves_like_one():
    e = Evaluator(2)
    cands = placements([H, CX], 2)
    for size in (0, 1):
        raw, counts = RawECCs.search(e, cands, size)
        assert counts[:2] == [1, len(cands)]
    assert RawECCs.search(e, cands, 0)[0].simplify() == RawECCs.search(e, cands, 1)[0].simplify()
    assert RawECCs.search(e, cands, 0)[1] == RawECCs.search(e, cands, 1)[1]


def test_duplicate_candidates_record_nothing_more():
    e = Evaluator(2)
    cands = placements([H, T, TDG, CX], 2)
    once, c1 = RawECCs.search(e, cands, 3)
    twice, c2 = RawECCs.search(e, [c for c in cands for _ in range(2)], 3)
    assert c2[0] == c1[0] and c2[1] == 2 * c1[1] and c2[2] == 2 * c1[2]
    assert twice.simplify() == once.simplify()


def test_identity_gate_joins_the_empty_circuit_class():
    # The identity matrix is already registered (under its built-in name).
    ident = Gate("ident_test", [], np.eye(2, dtype=complex))
    name = str(ident)
    # Nothing is expanded; on two qubits each evaluation has two pairs, and the two pairs of the
    # first candidate carry different front gates, so both join; the second candidate repeats them.
    raw, counts = RawECCs.search(Evaluator(2), [Instr(ident, [0]), Instr(ident, [1])], 4)
    assert counts == [1, 2, 4]
    assert classes(raw.simplify()) == [[[], [f"{name}(0)"], [f"{name}(1)"]]]
    raw, counts = RawECCs.search(Evaluator(1), [Instr(ident, [0])], 4)
    assert counts == [1, 1, 1]
    assert classes(raw.simplify()) == [[[], [f"{name}(0)"]]]


def test_generate_adds_adjoints():
    e = Evaluator(2)
    t_only = RawECCs.generate(e, [T], 4)
    t_tdg = RawECCs.generate(e, [T, TDG], 4)
    assert t_only[1] == t_tdg[1] and t_only[0].simplify() == t_tdg[0].simplify()
    # Each placement of t is a candidate twice; the adjoint is added once.
    t_t = RawECCs.generate(e, [T, T], 4)
    assert t_t[1][1] == t_t[1][0] * 3 * 2
    assert t_t[0].simplify() == t_only[0].simplify()


def test_generate_runs_the_sorted_placements():
    e = Evaluator(3)
    listed = ["h(0)", "h(1)", "cx(0, 1)", "cx(1, 0)", "h(2)", "cx(0, 2)", "cx(1, 2)", "cx(2, 0)", "cx(2, 1)"]
    by_text = {str(i): i for i in placements([H, CX], 3)}
    # cx before h in the input: the gates are sorted by qubit count, then index.
    generated = RawECCs.generate(e, [CX, H], 4)
    searched = RawECCs.search(e, [by_text[t] for t in listed], 4)
    assert generated[1] == searched[1]
    assert generated[0].simplify() == searched[0].simplify()


def test_progress_lines(capfd):
    raw, counts = RawECCs.generate(Evaluator(3), [H, T, CX], 5)
    assert counts[0] > 1200
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == (counts[0] + 399) // 400
    for k, line in enumerate(lines):
        m = LINE.match(line)
        assert m, line
        assert int(m.group(1)) == 400 * k
        assert int(m.group(4)) <= len(raw.simplify())
    assert lines[0] == EMPTY_LINE.rstrip("\n")
    # Later lines show the circuit being expanded and growing counts.
    assert LINE.match(lines[1]).group(2) != ""
    assert int(LINE.match(lines[2]).group(5)) > int(LINE.match(lines[1]).group(5))


def test_naive_search_counts_and_members():
    e = Evaluator(2)
    raw, counts = RawECCs.search_naive(e, placements([H, CX], 2), 3)
    assert counts[1] == counts[2]
    for ecc in raw.simplify().to_list():
        texts = [tuple(map(str, c)) for c in ecc.circuits()]
        assert len(texts) == len(set(texts))
    # The naive keys do not merge relabelled circuits: h(0) and h(1) are two classes.
    single = [c for c in classes(raw.simplify()) if c[0] in (["h(0)"], ["h(1)"])]
    assert len(single) == 2


def test_three_qubit_gate_is_refused(panics):
    ccz = Gate("ccz_test", [], np.diag([1, 1, 1, 1, 1, 1, 1, -1]).astype(complex))
    for run in (RawECCs.generate, RawECCs.generate_naive):
        with panics("Only 1 and 2 qubit instructions are supported"):
            run(Evaluator(3), [H, ccz], 2)
        with panics("Only 1 and 2 qubit instructions are supported"):
            run(Evaluator(0), [ccz], 2)


def test_qubits_beyond_the_evaluator_stop(capfd, panics):
    for run in (RawECCs.search, RawECCs.search_naive):
        with panics("index out of bounds: the len is 4 but the index is 4"):
            run(Evaluator(2), [Instr(H, [0]), Instr(CX, [1, 2])], 3)


@pytest.mark.parametrize("n", [6, 7, 8])
def test_evaluators_beyond_five_qubits_are_refused_when_made(n, panics):
    with panics(f"Evaluator qubit count must be from 1 to 5 (the range the class search supports), got {n}"):
        RawECCs.generate(Evaluator(n), [H], 2)


@pytest.mark.parametrize("call, error, message", [
    (lambda: RawECCs.search("e", [], 1), TypeError, "argument 'evaluator'"),
    (lambda: RawECCs.search(Evaluator(1), "h", 1), TypeError, "argument 'instrs': Can't extract `str` to `Vec`"),
    (lambda: RawECCs.search(Evaluator(1), [H], 1), TypeError, "argument 'instrs'"),
    (lambda: RawECCs.search(Evaluator(1), [], -1), OverflowError, "argument 'max_size'"),
    (lambda: RawECCs.search(Evaluator(1), [], 2**32), OverflowError, "argument 'max_size'"),
    (lambda: RawECCs.search_naive(Evaluator(1), [], "2"), TypeError, "argument 'max_size'"),
    (lambda: RawECCs.generate(Evaluator(1), [Instr(H, [0])], 1), TypeError, "argument 'gates'"),
    (lambda: RawECCs.generate_naive(Evaluator(1), "h", 1), TypeError, "argument 'gates'"),
    (lambda: RawECCs(None), TypeError, "argument 'evaluator'"),
])
def test_argument_errors(call, error, message, capfd):
    with pytest.raises(error, match=message):
        call()
    assert capfd.readouterr().out == ""


def test_keyword_arguments():
    raw, counts = RawECCs.generate(evaluator=Evaluator(1), gates=[H], max_size=3)
    assert counts == [2, 2, 2]


def test_class_surface():
    assert str(inspect.signature(RawECCs)) == "(evaluator)"
    assert RawECCs.__doc__ == ("Mutable ECC map keyed by evaluator hash.\n\n"
                               "This is the direct output of the search algorithm before final simplification.")
    assert RawECCs.generate.__doc__ == ("Generates ECCs from a gate set using the optimized search.\n\n"
                                        "Adjoint gates are added automatically if missing.")
    assert str(inspect.signature(RawECCs.search)) == "(evaluator, instrs, max_size)"
    assert RawECCs.simplify.__doc__ == "Converts raw buckets into sorted, normalized ECCs."
    for absent in ("__len__", "__iter__", "__lt__"):
        assert getattr(RawECCs, absent, None) in (None, object.__lt__)
    raw = RawECCs(Evaluator(1))
    with pytest.raises(TypeError):
        hash(raw) if RawECCs.__hash__ is None else len(raw)
