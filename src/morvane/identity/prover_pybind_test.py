"""IdentityProver: builds from generated classes checked against NumPy unitaries, the searches'
edge cases, the Python surface, and results that do not depend on the worker pool's size."""

import inspect
import itertools
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from morvane import ECCs, Circ, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, RawECCs

GATES = {n: Gate.from_name(n) for n in ("h", "x", "s", "t", "cx")}

# The classes the soundness checks run on: {h, cx} on 2 qubits and {x, cx} on 3, up to 3 gates.
SEARCHES = [(2, ("h", "cx"), 3), (3, ("x", "cx"), 3)]


def generate(n, names, size):
    return RawECCs.generate(Evaluator(n), [GATES[g] for g in names], size)[0].simplify()


def identity(*instrs, perm=None):
    """The canonical identity of the given (gate name, qubits) pairs."""
    return Circ([Instr(GATES[g], list(q)) for g, q in instrs], perm).rotate_representative()


@pytest.fixture(scope="module", params=SEARCHES, ids=lambda s: f"{s[0]}q-{'-'.join(s[1])}-{s[2]}")
def built(request):
    classes = generate(*request.param)
    return classes, IdentityProver.build_from_eccs(classes)


def test_established_identities_are_identities(built, unitary, proportional):
    classes, prover = built
    assumed = prover.get_assumed()
    assert assumed
    established = set(assumed)
    for ident, _, _ in classes.to_identity_circuits():
        # Every class identity is established: its search ends at once at a member of proved.
        gave_up_at, visited = prover.prove_identity_with_visited(ident, 3, 1000)
        established |= visited
        if ident not in assumed:
            assert gave_up_at is None
    for ident in established:
        assert proportional(unitary(ident.inner), np.eye(2 ** ident.nqubits())), str(ident)


def test_rewrites_are_identities_and_add_identity_outcomes(built, unitary, proportional):
    classes, prover = built
    for ident, _, _ in classes.to_identity_circuits():
        for rewritten in prover.par_apply_rules(ident, 1):
            assert len(rewritten) <= len(ident) + 1
            assert proportional(unitary(rewritten.inner), np.eye(2 ** rewritten.nqubits())), str(rewritten)
        # Every class identity is in proved already.
        assert prover.add_identity(ident, 3, 1000) is False


def test_build_writes_its_two_lines_to_standard_error(capfd):
    classes = generate(1, ("h",), 2)
    capfd.readouterr()
    prover = IdentityProver.build_from_eccs(classes)
    out, err = capfd.readouterr()
    assert out == ""
    assert err == f"Building identity prover from {len(classes.to_list())} ECCs\nProving Identities\n"
    assert [str(a) for a in prover.get_assumed()] == ["Identity { h(0) h(0) (0) }"]


def hh_prover():
    """h h = nothing: the assumption h h, after which h h rewrites to the empty identity."""
    return IdentityProver.build_from_eccs(generate(1, ("h",), 2))


def test_search_edge_cases():
    prover = hh_prover()
    hh = identity(("h", [0]), ("h", [0]))
    assert prover.get_assumed() == [hh]
    empty = IdentityCirc(Circ([]))
    # The empty identity holds: proved at once, and the end of a search that reaches it.
    assert prover.prove_identity_with_visited(empty, 0, 0) == (None, {empty})
    gave_up_at, visited = prover.prove_identity_with_visited(hh, 3, 10)
    assert gave_up_at is None and hh in visited and any(len(v) == 0 for v in visited)
    assert prover.prove_identity(hh, 3, 10) is None
    # add_identity: nothing to do for the empty identity or a member of proved.
    assert prover.add_identity(empty, 3, 10) is False
    assert prover.add_identity(hh, 3, 10) is False
    assert prover.get_assumed() == [hh]
    # add_identity_search searches anyway: h h reaches the empty identity, which needs no assumption.
    visited, assumed = prover.add_identity_search(hh, 3, 10)
    assert assumed is False and hh in visited
    # h h h h reaches h h (shorter, proved): nothing assumed.
    hhhh = identity(*[("h", [0])] * 4)
    assert prover.add_identity(hhhh, 3, 10) is False
    assert prover.get_assumed() == [hh]


@pytest.mark.parametrize(
    "method, args",
    [
        ("par_apply_rules", ["identity", "additional_size"]),
        ("add_identity", ["identity", "additional_size", "count_limit"]),
        ("add_identity_search", ["identity", "additional_size", "count_limit"]),
        ("prove_identity", ["identity", "additional_size", "count_limit"]),
        ("prove_identity_with_visited", ["identity", "additional_size", "count_limit"]),
        ("get_assumed", []),
    ],
)
def test_signatures(method, args):
    assert list(inspect.signature(getattr(IdentityProver, method)).parameters) == ["self", *args]


def test_class_surface():
    assert list(inspect.signature(IdentityProver.build_from_eccs).parameters) == ["eccs"]
    assert IdentityProver.__doc__.startswith("Rule-based prover for circuit identities.\n\n")
    assert IdentityProver.get_assumed.__doc__ == "Returns current assumptions as a cloned list (Python helper)."
    names = [n for n in vars(IdentityProver) if not n.startswith("_")]
    assert names == ["build_from_eccs", "par_apply_rules", "add_identity", "add_identity_search", "prove_identity",
                     "prove_identity_with_visited", "export_proof", "get_assumed", "from_postcard", "dump_postcard"]
    with pytest.raises(TypeError):
        IdentityProver()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p, i: IdentityProver.build_from_eccs([]), TypeError, "argument 'eccs': "),
        (lambda p, i: p.par_apply_rules(i.inner, 0), TypeError, "argument 'identity': "),
        (lambda p, i: p.par_apply_rules(i, -1), OverflowError, ""),
        (lambda p, i: p.par_apply_rules(i, 2**32), OverflowError, ""),
        (lambda p, i: p.par_apply_rules(i, "1"), TypeError, "argument 'additional_size': "),
        (lambda p, i: p.add_identity(i, 3, 2**32), OverflowError, ""),
        (lambda p, i: p.add_identity(i, 3, 1.0), TypeError, "argument 'count_limit': "),
        (lambda p, i: p.add_identity_search(None, 3, 1), TypeError, "argument 'identity': "),
        (lambda p, i: p.prove_identity(i, None, 1), TypeError, "argument 'additional_size': "),
        (lambda p, i: p.prove_identity_with_visited(i, 1, -1), OverflowError, ""),
    ],
)
def test_argument_errors_leave_the_prover_unchanged(call, error, message):
    prover = hh_prover()
    probe = identity(*[("h", [0])] * 4)
    with pytest.raises(error, match=message):
        call(prover, probe)
    assert prover.get_assumed() == [identity(("h", [0]), ("h", [0]))]


def test_long_identities_stop_in_the_rewriting_step():
    prover = hh_prover()
    long_identity = identity(*[("h", [0])] * 20)
    with pytest.raises(BaseException, match="index out of bounds: the len is 20 but the index is 20") as info:
        prover.prove_identity(long_identity, 0, 10)
    assert type(info.value).__name__ == "PanicException"


# Everything a run can observe of the prover, printed: the assumptions in order, the rewrites of
# every identity met in order, and the visited set of every search (sorted) with its outcome,
# which depends on the proved set. The classes come from files, so every run builds from the same.
STATE_SCRIPT = textwrap.dedent(
    """
    import sys
    from morvane import ECCs, IdentityProver
    for path in sys.argv[1:]:
        classes = ECCs.from_postcard(path)
        prover = IdentityProver.build_from_eccs(classes)
        print([str(a) for a in prover.get_assumed()])
        for ident, _, _ in classes.to_identity_circuits():
            gave_up_at, visited = prover.prove_identity_with_visited(ident, 3, 1000)
            print(str(gave_up_at), sorted(visited))
            for v in sorted(visited):
                print([str(r) for r in prover.par_apply_rules(v, 2)])
    """
)


def test_results_do_not_depend_on_the_pool_size(tmp_path):
    paths = []
    for k, search in enumerate([*SEARCHES, (2, ("h", "s", "cx"), 3)]):
        paths.append(str(tmp_path / f"classes{k}.postcard"))
        generate(*search).dump_postcard(paths[-1])
    outputs = {}
    for threads in ("1", "2", "8"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads, PYTHONPATH=os.pathsep.join(sys.path))
        run = subprocess.run([sys.executable, "-c", STATE_SCRIPT, *paths], capture_output=True, text=True, env=env,
                             check=True)
        outputs[threads] = run.stdout
    assert len(outputs["1"].splitlines()) > 100
    assert outputs["1"] == outputs["2"] == outputs["8"]


def varint(n):
    out = bytearray()
    while True:
        low, n = n & 0x7F, n >> 7
        out.append(low | (0x80 if n else 0))
        if not n:
            return bytes(out)


def class_file(path, classes, nqubits):
    """A class file of the given classes, each a list of circuits of (gate name, qubits), every
    circuit with the identity permutation on `nqubits` qubits."""
    data = bytearray(varint(len(classes)))
    for circuits in classes:
        data += varint(len(circuits))
        for circuit in circuits:
            data += varint(len(circuit))
            for name, qubits in circuit:
                data += varint(len(name)) + name.encode() + bytes([*qubits, 255, 255][:2])
            data += varint(sum(k << (3 * k) for k in range(nqubits)) | nqubits << 24)
    data += varint(nqubits)
    path.write_bytes(bytes(data))
    return ECCs.from_postcard(str(path))


H, X = ("h", [0]), ("x", [0])


def test_searches_stay_within_the_splittable_length(tmp_path):
    # h = h h h: its rule lengthens an h by two gates, and its identity h h h h, assumed, lets it
    # apply. From (h x)^8 (16 gates) with 4 gates of room, an 18-gate identity would lengthen to 20,
    # which no split can take: the bound stops at 19, where nothing more fits.
    prover = IdentityProver.build_from_eccs(class_file(tmp_path / "hhh.eccs", [[[H], [H, H, H]]], 1))
    assert prover.get_assumed() == [identity(H, H, H, H)]
    hx8 = identity(*[H, X] * 8)
    assert prover.prove_identity(hx8, 4, 1000) == hx8
    assert prover.prove_identity(hx8, 4, 1000) == prover.prove_identity(hx8, 3, 1000)
    gave_up_at, visited = prover.prove_identity_with_visited(hx8, 100, 1000)
    assert gave_up_at == hx8 and max(len(v) for v in visited) == 18
    assert prover.export_proof(hx8, 4, 1000) is None
    visited, assumed = prover.add_identity_search(hx8, 4, 1000)
    assert assumed and max(len(v) for v in visited) == 18
    assert prover.add_identity(identity(*[H, X] * 8, H, H), 4, 1000)


def test_identities_too_long_to_split_are_assumed_by_the_build(tmp_path):
    # Classes of 10-gate circuits: h^10 = x^10 gives a 20-gate identity, assumed as it is, after
    # the shorter ones; h^10 = x^8 gives an 18-gate one, searched within 19 gates.
    classes = class_file(tmp_path / "long.eccs", [[[H] * 10, [X] * 10], [[], [H, H]], [[H] * 10, [X] * 8]], 1)
    prover = IdentityProver.build_from_eccs(classes)
    long20 = identity(*[H] * 10, *[X] * 10)
    assert prover.get_assumed()[-1] == long20
    assert sorted(prover.get_assumed()) == prover.get_assumed()
    # A search that starts too long to split stops at once, as the rewriting step would.
    for call in (prover.prove_identity, prover.prove_identity_with_visited, prover.export_proof,
                 prover.add_identity_search):
        with pytest.raises(BaseException, match="index out of bounds: the len is 20 but the index is 20"):
            call(long20, 3, 10)
    # add_identity has nothing to do for an identity already established.
    assert prover.add_identity(long20, 3, 10) is False


@pytest.fixture(scope="module")
def hs_prover():
    return IdentityProver.build_from_eccs(generate(1, ("h", "s"), 3))


def test_a_larger_bound_never_proves_less(hs_prover):
    # The rule-length bound is the block's length plus the room: near 2**32 it must not wrap.
    top = 2**32 - 1
    sdg4 = Circ([Instr(Gate.from_name("sdg"), [0])] * 4).rotate_representative()
    assert hs_prover.prove_identity(sdg4, 3, 100000) is None
    assert hs_prover.prove_identity(sdg4, top, 100000) is None
    assert hs_prover.export_proof(sdg4, top, 100000) is not None
    assert set(hs_prover.par_apply_rules(sdg4, 3)) <= set(hs_prover.par_apply_rules(sdg4, top))
    before = hs_prover.get_assumed()
    visited, assumed = hs_prover.add_identity_search(sdg4, top, 100000)
    assert not assumed and hs_prover.get_assumed() == before


def test_a_class_is_checked_before_its_rules_are_made(tmp_path):
    # h and x are not one class; the third circuit uses qubit 1 under a 1-qubit permutation, which
    # making the rules would stop on. The identity check of h x comes first.
    classes = class_file(tmp_path / "bad.eccs", [[[H], [X], [("h", [1])]]], 1)
    with pytest.raises(BaseException, match="IdentityCirc: circuit is not identity") as info:
        IdentityProver.build_from_eccs(classes)
    assert type(info.value).__name__ == "PanicException"


MEMORY_SCRIPT = textwrap.dedent(
    """
    import resource, sys
    from morvane import ECCs, IdentityProver
    classes = ECCs.from_postcard(sys.argv[1])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    prover = IdentityProver.build_from_eccs(classes)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """
)


def test_a_large_class_costs_memory_in_proportion_to_its_circuits(tmp_path):
    # One class of the 1093 identities made of up to six of h h, x x, z z: its keys' rules are a
    # million pairs (some 270 MB as circuits, and as many rule identities), its circuits 53 KB.
    words = [[]]
    for k in range(1, 7):
        words += [[(g, [0]) for g in w for _ in range(2)] for w in itertools.product("hxz", repeat=k)]
    class_file(tmp_path / "big.eccs", [words], 1)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(tmp_path / "big.eccs")], capture_output=True,
                         text=True, env=env, check=True)
    assert int(run.stdout) < 64, run.stdout
