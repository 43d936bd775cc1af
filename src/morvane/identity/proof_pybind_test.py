"""Proof export: every exported proof of generated provers checked with NumPy unitaries, the
search's progress lines, the Proof class's Python surface and the prover files' round trips."""

import inspect
import re

import numpy as np
import pytest

from morvane import Circ, Evaluator, Gate, IdentityCirc, IdentityProver, Instr, Proof, RawECCs

GATES = {n: Gate.from_name(n) for n in ("h", "s", "t", "cx")}


def generate(n, names, size):
    return RawECCs.generate(Evaluator(n), [GATES[g] for g in names], size)[0].simplify()


def identity(*instrs):
    """The canonical identity of the given (gate name, qubits) pairs."""
    return Circ([Instr(GATES[g], list(q)) for g, q in instrs]).rotate_representative()


@pytest.fixture(scope="module", params=[(2, ("h", "cx"), 3), (2, ("h", "s", "cx"), 3)], ids=lambda s: "-".join(s[1]))
def built(request):
    classes = generate(*request.param)
    return classes, IdentityProver.build_from_eccs(classes)


def targets(classes, prover):
    """The identities of the classes and every identity their searches visit, sorted."""
    found = set()
    for ident, _, _ in classes.to_identity_circuits():
        found.add(ident)
        found |= prover.prove_identity_with_visited(ident, 2, 1000)[1]
    return sorted(found)


def test_every_exported_proof_is_sound(built, unitary, proportional, capfd):
    classes, prover = built
    assumed = prover.get_assumed()
    proofs = derived = 0
    sizes = []
    for target in targets(classes, prover):
        proof = prover.export_proof(target, 2, 1000)
        assert (proof is None) == (prover.prove_identity(target, 2, 1000) is not None)
        if proof is None:
            continue
        proofs += 1
        raw = proof.raw
        sizes.append(len(raw))
        assert raw[0][0] == target
        assert len({ident for ident, _ in raw}) == len(raw), "an identity listed twice"
        for ident, parents in raw:
            # Every entry is an identity: its unitary, permutation included, is a phase times 1.
            assert proportional(unitary(ident.inner), np.eye(2 ** ident.nqubits())), str(ident)
            if parents is None:
                assert ident in assumed or len(ident) == 0, str(ident)
                continue
            derived += 1
            a, b = parents
            assert 0 <= a < len(raw) and 0 <= b < len(raw)
            # One rewrite: the block c1 (of the entry) becomes rule r, so the two parents r + c1^-1
            # and r + c2 together have the entry's gates plus twice the rule's.
            assert (len(raw[a][0]) + len(raw[b][0]) - len(ident)) % 2 == 0
        # Pre-order from entry 0: first visits come in index order and reach every entry.
        order, seen = [], set()
        stack = [0]
        while stack:
            i = stack.pop()
            if i in seen:
                continue
            seen.add(i)
            order.append(i)
            if raw[i][1] is not None:
                stack.extend(reversed(raw[i][1]))
        assert order == list(range(len(raw)))
    assert proofs > 0 and derived > 0 and max(sizes) > 2
    out = capfd.readouterr().out
    assert all(re.fullmatch(r"Exploring [0-9a-f]+ \d+ Identity \{ .* \} \(\d+ queued\)", l) for l in out.splitlines())


def test_single_assumption_and_unprovable_identities(capfd):
    prover = IdentityProver.build_from_eccs(generate(1, ("h",), 2))
    hh = identity(("h", [0]), ("h", [0]))
    capfd.readouterr()
    # h h is an assumption that its own search proves (it rewrites to the empty identity).
    proof = prover.export_proof(hh, 3, 1000)
    assert proof.raw == [(hh, None)]
    assert str(proof) == "0: Identity { h(0) h(0) (0) } <- ASSUME\n"
    assert repr(proof) == "1"
    # The empty identity is a leaf of its own.
    empty = IdentityCirc(Circ([]))
    assert prover.export_proof(empty, 0, 0).raw == [(empty, None)]
    # t^8 has no rule at all here.
    t8 = identity(*[("t", [0])] * 8)
    assert prover.export_proof(t8, 3, 1000) is None
    assert capfd.readouterr().out == ""


def test_progress_lines_and_the_limit(built, capfd):
    classes, prover = built
    assumed = set(prover.get_assumed())
    derived = [t for t in targets(classes, prover) if t not in assumed and prover.prove_identity(t, 2, 1000) is None]
    target = max(derived, key=len)
    capfd.readouterr()
    proof = prover.export_proof(target, 2, 1000)
    assert len(proof.raw) > 1
    first = capfd.readouterr().out.splitlines()[0]
    assert first.startswith(f"Exploring {target.hash_value():x} {len(target)} {target} (")
    # An identity whose search meets an established one at once is proved with no room at all;
    # the proof search then has more identities (the target) than the limit allows.
    quick = next(t for t in derived if len(t) > 0 and prover.prove_identity(t, 2, 0) is None)
    with pytest.raises(BaseException, match="Failed to export proof for proved identity") as info:
        prover.export_proof(quick, 2, 0)
    assert type(info.value).__name__ == "PanicException"
    assert capfd.readouterr().out == "Proof search exceeded limit of 0 states.\n"


def test_proof_surface():
    hh = identity(("h", [0]), ("h", [0]))
    s4 = identity(*[("s", [0])] * 4)
    assert Proof.__module__ == "morvane"
    assert str(inspect.signature(Proof)) == "(data)"
    assert Proof.__doc__.startswith("Exported proof DAG.\n\nEach entry stores:\n- an identity circuit,")
    assert str(inspect.signature(IdentityProver.export_proof)) == "(self, identity, additional_size, count_limit)"
    p = Proof([(s4, (1, 1)), (hh, None)])
    raw = p.raw
    assert raw == [(s4, (1, 1)), (hh, None)]
    assert raw is not p.raw and raw[0][0] is not p.raw[0][0]
    assert str(p) == f"0: {s4} <- 1, 1\n1: Identity {{ h(0) h(0) (0) }} <- ASSUME\n"
    assert repr(p) == "2" and repr(Proof([])) == "0" and str(Proof([])) == ""
    # Nothing is validated: indices may point anywhere.
    assert Proof([(hh, (7, 4294967295))]).raw == [(hh, (7, 4294967295))]
    with pytest.raises(AttributeError):
        p.raw = []
    # Order: entries in turn, identity first, no pair before a pair, a prefix before a longer list.
    ascending = [Proof([]), Proof([(hh, None)]), Proof([(hh, None), (hh, None)]), Proof([(hh, (0, 7))]),
                 Proof([(hh, (1, 0))]), Proof([(s4, None)])]
    for i, a in enumerate(ascending):
        for j, b in enumerate(ascending):
            assert (a < b, a <= b, a == b, a != b, a > b, a >= b) == (i < j, i <= j, i == j, i != j, i > j, i >= j)
    assert Proof([]) == Proof([]) and (Proof([]) == 0) is False and Proof([]) != "x"
    with pytest.raises(TypeError):
        Proof([]) < 0
    with pytest.raises(TypeError):
        hash(Proof([]))


@pytest.mark.parametrize(
    "data, error, message",
    [
        ("ab", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
        (5, TypeError, "argument 'data': "),
        ([[None, None]], TypeError, "argument 'data': 'list' object cannot be converted to 'PyTuple'"),
        ([(None, None)], TypeError, "argument 'data': 'NoneType' object cannot be converted to 'IdentityCirc'"),
        ([(1, 2, 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ("hh (1,)", ValueError, "expected tuple of length 2, but got tuple of length 1"),
        ("hh [1, 2]", TypeError, "argument 'data': 'list' object cannot be converted to 'PyTuple'"),
        ("hh (1, 'x')", TypeError, "argument 'data': "),
        ("hh (-1, 0)", OverflowError, "argument 'data': "),
        ("hh (0, 4294967296)", OverflowError, "argument 'data': "),
    ],
)
def test_proof_argument_errors(data, error, message):
    if isinstance(data, str) and data.startswith("hh "):
        data = [(identity(("h", [0]), ("h", [0])), eval(data[3:]))]
    with pytest.raises(error) as info:
        Proof(data)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize(
    "args, error",
    [
        ((None, 1, 1), "argument 'identity': "),
        ((Circ([]), 1, 1), "argument 'identity': "),
        (("id", -1, 1), "argument 'additional_size': "),
        (("id", 1, 2**32), "argument 'count_limit': "),
    ],
)
def test_export_proof_argument_errors(args, error):
    prover = IdentityProver.build_from_eccs(generate(1, ("h",), 2))
    args = tuple(IdentityCirc(Circ([])) if a == "id" else a for a in args)
    with pytest.raises((TypeError, OverflowError), match=re.escape(error)):
        prover.export_proof(*args)


# The worked example: `proved` holds h(0) h(0) (identity permutation of length 1), which
# `circ_map` maps to the empty circuit with permutation raw 0.
WORKED_EXAMPLE = bytes.fromhex("00 01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01 02 01 68 00 FF 01 68 00 FF 80 80 80 08 01 00 00")


def test_worked_example_loads_and_saves_byte_for_byte(tmp_path):
    path = tmp_path / "example.bin"
    path.write_bytes(WORKED_EXAMPLE)
    prover = IdentityProver.from_postcard(str(path))
    assert prover.get_assumed() == []
    prover.dump_postcard(str(tmp_path / "again.bin"))
    assert (tmp_path / "again.bin").read_bytes() == WORKED_EXAMPLE
    assert str(inspect.signature(IdentityProver.from_postcard)) == "(filepath)"
    assert str(inspect.signature(IdentityProver.dump_postcard)) == "(self, filepath)"
    assert IdentityProver.dump_postcard.__doc__ == "Stores a prover as postcard serialization."
    assert IdentityProver.from_postcard.__doc__ == "Loads a prover from postcard serialization."
    # The method table's order.
    names = [n for n in IdentityProver.__dict__ if not n.startswith("_")]
    assert names == ["build_from_eccs", "par_apply_rules", "add_identity", "add_identity_search", "prove_identity",
                     "prove_identity_with_visited", "export_proof", "get_assumed", "from_postcard", "dump_postcard"]


def test_saved_and_loaded_prover_answers_the_same(built, tmp_path, capfd):
    classes, prover = built
    path = str(tmp_path / "prover.bin")
    prover.dump_postcard(path)
    loaded = IdentityProver.from_postcard(path)
    assert loaded.get_assumed() == prover.get_assumed()
    for target in targets(classes, prover):
        assert loaded.prove_identity(target, 2, 1000) == prover.prove_identity(target, 2, 1000)
        assert loaded.export_proof(target, 2, 1000) == prover.export_proof(target, 2, 1000)
    # Saved again: the same length (the members of the hashed fields may come in another order).
    loaded.dump_postcard(str(tmp_path / "again.bin"))
    assert (tmp_path / "again.bin").stat().st_size == (tmp_path / "prover.bin").stat().st_size
    capfd.readouterr()


def test_file_errors(tmp_path, capfd):
    prover = IdentityProver.build_from_eccs(generate(1, ("h",), 2))
    with pytest.raises(FileNotFoundError, match=r"^Failed to open file: No such file or directory \(os error 2\)$"):
        IdentityProver.from_postcard(str(tmp_path / "missing.bin"))
    with pytest.raises(FileNotFoundError, match=r"^Failed to create file: "):
        prover.dump_postcard(str(tmp_path / "no" / "x.bin"))
    with pytest.raises(IsADirectoryError):
        IdentityProver.from_postcard(str(tmp_path))
    with pytest.raises(ValueError, match=r"^Failed to write postcard data: No space left on device \(os error 28\)$"):
        prover.dump_postcard("/dev/full")
    with pytest.raises(TypeError, match="argument 'filepath': "):
        prover.dump_postcard(tmp_path)
    with pytest.raises(TypeError, match="argument 'filepath': "):
        IdentityProver.from_postcard(3)
    path = tmp_path / "cut.bin"
    path.write_bytes(WORKED_EXAMPLE[:20])
    with pytest.raises(ValueError, match=r"^Failed to read postcard data: Hit the end of buffer, expected more data$"):
        IdentityProver.from_postcard(str(path))
    # A failed save leaves the file that was there.
    good = tmp_path / "good.bin"
    good.write_bytes(WORKED_EXAMPLE)
    with pytest.raises(IsADirectoryError):
        prover.dump_postcard(str(tmp_path))
    assert good.read_bytes() == WORKED_EXAMPLE
    # An unknown gate text stops the load.
    path.write_bytes(bytes.fromhex("00 01 01 04") + b"nope" + bytes.fromhex("00 FF 00 00"))
    with pytest.raises(BaseException, match="Failed to deserialize Gate16 from nope") as info:
        IdentityProver.from_postcard(str(path))
    assert type(info.value).__name__ == "PanicException"
    capfd.readouterr()


def test_hostile_file_stops_when_used(tmp_path, capfd):
    # The worked example with its rule's empty circuit replaced by x(0): the rule does not match its
    # key h(0) h(0), and its permutation word 0x02000000 is no permutation.
    for rule in ("01 01 78 00 FF 80 80 80 08", "00 80 80 80 10"):
        path = tmp_path / "hostile.bin"
        path.write_bytes(WORKED_EXAMPLE[:-2] + bytes.fromhex(rule))
        prover = IdentityProver.from_postcard(str(path))
        h4 = identity(*[("h", [0])] * 4)
        with pytest.raises(BaseException) as info:
            prover.prove_identity(h4, 2, 100)
            prover.export_proof(h4, 2, 100)
        assert type(info.value).__name__ == "PanicException"
    capfd.readouterr()
