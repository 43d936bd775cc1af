"""The cross-check methods of RawECCs: find_equivalents, compute_next_key, switch_evaluator and
check_identity_subset."""

import collections
import gc
import inspect
import json
import os
import subprocess
import sys
import textwrap

import pytest

from morvane import ECC, Evaluator, Gate, Instr, RawECCs

H, T, X, CX = (Gate.from_name(n) for n in ("h", "t", "x", "cx"))
MISSING = "assertion failed: ecc1.contains_key(&bv.hash_value())"


def quiet(run):
    """Runs a search with its progress lines (written to file descriptor 1) sent to /dev/null."""
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        return run()
    finally:
        os.dup2(saved, 1)
        os.close(null)
        os.close(saved)


def texts(ecc):
    return [[str(i) for i in c] for c in ecc.circuits()]


def key_of(evaluator, instrs):
    return evaluator.evaluate(instrs)[0].hash_value()


def shape(eccs):
    """The number of classes by (circuit count, length of the representative)."""
    return collections.Counter((len(c.circuits()), len(c.circuits()[0])) for c in eccs.to_list())


@pytest.fixture(scope="module")
def maps():
    """h, t, cx on 3 qubits up to 3 and 4 gates, under one evaluator."""
    e = Evaluator(3)
    small = quiet(lambda: RawECCs.generate(e, [H, T, CX], 3))[0]
    large = quiet(lambda: RawECCs.generate(e, [H, T, CX], 4))[0]
    return e, small, large


def expect_panic(run, message=None, prefix=None):
    with pytest.raises(BaseException) as info:
        run()
    kind = type(info.value)
    assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException"), repr(info.value)
    if message is not None:
        assert str(info.value) == message
    if prefix is not None:
        assert str(info.value).startswith(prefix), str(info.value)


@pytest.mark.parametrize("name, signature, doc", [
    ("find_equivalents", "(self, evaluator, instrs)",
     "Python wrapper returning equivalent circuits for a candidate program."),
    ("compute_next_key", "(self, evaluator, current_key, instr)",
     "Computes the next reachable ECC hash after appending one instruction.\n\n"
     "Returns `None` when the resulting state was not discovered in this map."),
    ("switch_evaluator", "(self, new_evaluator)",
     "Re-evaluates all stored circuits under a new evaluator.\n\n"
     "Useful for cross-checking evaluator-independence of discovered classes."),
    ("check_identity_subset", "(self, ecc1, evaluator)",
     "Checks that every identity in `self` is representable in `ecc1`."),
])
def test_signatures_and_docs(name, signature, doc):
    method = getattr(RawECCs, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("call, kind, message", [
    (lambda r, e: r.find_equivalents(None, []), TypeError, "argument 'evaluator': "),
    (lambda r, e: r.find_equivalents(e, "h"), TypeError, "argument 'instrs': Can't extract `str` to `Vec`"),
    (lambda r, e: r.find_equivalents(e, [1]), TypeError, "argument 'instrs': "),
    (lambda r, e: r.compute_next_key(e, -1, Instr(H, [0])), OverflowError, "argument 'current_key': "),
    (lambda r, e: r.compute_next_key(e, 2**64, Instr(H, [0])), OverflowError, "argument 'current_key': "),
    (lambda r, e: r.compute_next_key(e, 0, H), TypeError, "argument 'instr': "),
    (lambda r, e: r.switch_evaluator(r), TypeError, "argument 'new_evaluator': "),
    (lambda r, e: r.check_identity_subset(e, e), TypeError, "argument 'ecc1': "),
    (lambda r, e: r.check_identity_subset(r, r), TypeError, "argument 'evaluator': "),
])
def test_argument_errors(call, kind, message):
    e = Evaluator(2)
    with pytest.raises(kind) as info:
        call(RawECCs(e), e)
    assert str(info.value).startswith(message)


def test_find_equivalents(maps):
    e, small, _ = maps
    # A circuit longer than the search, in a class of its own; any circuit under another evaluator.
    assert small.find_equivalents(e, [Instr(H, [0]), Instr(T, [0])] * 3) is None
    assert small.find_equivalents(Evaluator(3), [Instr(H, [0])]) is None
    # The empty circuit's class: the empty circuit and the identities up to 3 gates.
    empty = small.find_equivalents(e, [])
    assert isinstance(empty, ECC)
    members = texts(empty)
    assert members[0] == [] and ["h(2)", "h(2)"] in members and ["cx(0, 1)", "cx(0, 1)"] in members
    assert all(int(str(i)[-2]) < 3 for c in members for i in c)
    # Every member of a class finds the whole class.
    for ecc in small.simplify().to_list():
        if len(ecc.circuits()) > 1:
            for c in ecc.circuits():
                assert len(small.find_equivalents(e, c).circuits()) == len(ecc.circuits())


def test_find_equivalents_on_one_qubit():
    e = Evaluator(1)
    raw = quiet(lambda: RawECCs.generate(e, [H], 3))[0]
    assert texts(raw.find_equivalents(e, [])) == [[], ["h(0)", "h(0)"]]
    assert texts(raw.find_equivalents(e, [Instr(H, [0])] * 3)) == [["h(0)"]]


def test_compute_next_key(maps):
    e, small, _ = maps
    # The candidates of the search: every placement of h, t, tdg and cx.
    cands = [Instr(g, [q]) for g in (H, T, Gate.from_name("tdg")) for q in range(3)]
    cands += [Instr(CX, [a, b]) for a in range(3) for b in range(3) if a != b]
    answered = 0
    for ecc in small.simplify().to_list():
        first = ecc.circuits()[0]
        key = key_of(e, first)
        for c in cands:
            got = small.compute_next_key(e, key, c)
            # The class's stored first circuit may sit on other qubits than its simplified form,
            # so the key is checked to be one of the map's classes, not computed here.
            if len(first) < 3:
                assert got is not None
            if got is not None:
                assert small.compute_next_key(e, got, Instr(H, [0])) is not None or len(first) >= 2
                answered += 1
    assert answered > len(small.simplify())
    # A key the map does not hold; a step to a class the search did not reach.
    assert small.compute_next_key(e, e.initial_key() ^ 1, Instr(H, [0])) is None
    far = [Instr(H, [0]), Instr(T, [0]), Instr(H, [0])]
    assert small.compute_next_key(e, key_of(e, far), Instr(T, [0])) is None
    assert small.compute_next_key(e, e.initial_key(), Instr(H, [1])) == key_of(e, [Instr(H, [0])])


def test_switch_under_the_building_evaluator_keeps_every_class(maps):
    e, _, large = maps
    same = large.switch_evaluator(e)
    assert isinstance(same, RawECCs)
    assert len(same.simplify()) == len(large.simplify())
    for ecc in large.simplify().to_list():
        rep = ecc.circuits()[0]
        assert len(same.find_equivalents(e, rep).circuits()) == len(large.find_equivalents(e, rep).circuits())


def test_switch_under_a_fresh_evaluator(maps):
    _, _, large = maps
    fresh = Evaluator(3)
    other = large.switch_evaluator(fresh)
    assert shape(other.simplify()) == shape(large.simplify())
    # The switched map answers under its own evaluator, and serves as the map to check against.
    assert other.check_identity_subset(other, fresh) is None
    small_fresh = quiet(lambda: RawECCs.generate(fresh, [H, T, CX], 3))[0]
    assert small_fresh.check_identity_subset(other, fresh) is None
    rep = [Instr(H, [1]), Instr(CX, [0, 1]), Instr(H, [1])]
    assert len(other.find_equivalents(fresh, rep).circuits()) == len(large.find_equivalents(maps[0], rep).circuits())


def test_switch_of_a_naive_map_stops_on_the_collision():
    e = Evaluator(2)
    naive = quiet(lambda: RawECCs.generate_naive(e, [H], 1))[0]
    expect_panic(lambda: naive.switch_evaluator(e),
                 prefix="Hash collision detected during evaluator switch: CircuitECC { size: 1, ")


def test_switched_maps_outlive_their_sources():
    e, e2, e3 = Evaluator(2), Evaluator(2), Evaluator(2)
    source = quiet(lambda: RawECCs.generate(e, [H, T, CX], 4))[0]
    want = shape(source.simplify())
    first = source.switch_evaluator(e2)
    second = first.switch_evaluator(e3)
    del source
    gc.collect()
    assert shape(first.simplify()) == want
    del first
    gc.collect()
    assert shape(second.simplify()) == want
    assert RawECCs(e3).check_identity_subset(second, e3) is None
    assert second.switch_evaluator(e3).simplify() == second.simplify()


def test_check_identity_subset(maps):
    e, small, large = maps
    assert small.check_identity_subset(small, e) is None
    assert large.check_identity_subset(large, e) is None
    assert small.check_identity_subset(large, e) is None
    # x has no class among the circuits of h, t and cx up to 3 gates.
    other = quiet(lambda: RawECCs.generate(e, [H, X, CX], 1))[0]
    expect_panic(lambda: other.check_identity_subset(small, e), MISSING)
    expect_panic(lambda: small.check_identity_subset(small, Evaluator(3)), MISSING)


@pytest.mark.parametrize("map_qubits, evaluator_qubits", [(2, 1), (2, 3), (3, 2)])
def test_an_evaluator_of_another_qubit_count_is_refused(map_qubits, evaluator_qubits):
    own = Evaluator(map_qubits)
    raw = quiet(lambda: RawECCs.generate(own, [H, CX], 2))[0]
    other = Evaluator(evaluator_qubits)
    message = (f"The evaluator has {evaluator_qubits} qubits but the class map has {map_qubits}: "
               "a class map goes with an evaluator of its own qubit count")
    for run in (lambda: raw.switch_evaluator(other),
                lambda: raw.find_equivalents(other, []),
                lambda: raw.compute_next_key(other, other.initial_key(), Instr(H, [0])),
                lambda: raw.check_identity_subset(raw, other)):
        expect_panic(run, message)
    # The map checked against goes with the evaluator too.
    foreign = quiet(lambda: RawECCs.generate(other, [H], 1))[0]
    expect_panic(lambda: raw.check_identity_subset(foreign, own),
                 f"The evaluator has {map_qubits} qubits but ecc1 has {evaluator_qubits}: "
                 "a class map goes with an evaluator of its own qubit count")
    # The map is unchanged and still answers under its own evaluator.
    assert raw.check_identity_subset(raw, own) is None


# Prints what the cross-checks give for maps made in the child process: only what no random
# evaluator changes.
CHILD = textwrap.dedent("""
    import json, os, sys
    from morvane import Evaluator, Gate, RawECCs
    H, T, X, CX = (Gate.from_name(n) for n in ("h", "t", "x", "cx"))
    out = {}
    saved = os.dup(1)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    e = Evaluator(3)
    small = RawECCs.generate(e, [H, T, CX], 3)[0]
    large = RawECCs.generate(e, [H, T, CX], 4)[0]
    other = RawECCs.generate(e, [H, X, CX], 1)[0]
    os.dup2(saved, 1)
    def outcome(run):
        try:
            return repr(run())
        except BaseException as err:
            return type(err).__name__ + ": " + str(err)
    out["self"] = outcome(lambda: large.check_identity_subset(large, e))
    out["m in m+1"] = outcome(lambda: small.check_identity_subset(large, e))
    out["other gates"] = outcome(lambda: other.check_identity_subset(large, e))
    fresh = Evaluator(3)
    switched = large.switch_evaluator(fresh)
    out["switched classes"] = sorted(
        [len(c.circuits()), len(c.circuits()[0])] for c in switched.simplify().to_list())
    out["switched as ecc1"] = outcome(lambda: switched.check_identity_subset(switched, fresh))
    json.dump(out, sys.stderr)
""")


def test_same_results_for_1_and_8_threads():
    results = []
    for n in ("1", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=n)
        done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        # The result is the last line of standard error, after any stop reports.
        results.append(json.loads(done.stderr.strip().splitlines()[-1]))
    assert results[0] == results[1]
    assert results[0]["self"] == "None" and results[0]["m in m+1"] == "None"
    assert results[0]["other gates"] == "PanicException: " + MISSING
    assert results[0]["switched as ecc1"] == "None"
