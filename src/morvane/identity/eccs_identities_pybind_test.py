"""ECCs.to_identity_circuits: identities from generated classes, checked against NumPy unitaries, and
the canonical identity form's invariance under every rotation and relabelling."""

import collections
import inspect
import itertools
import random

import numpy as np
import pytest

from morvane import Circ, ECCs, Evaluator, Gate, IdentityCirc, RawECCs

GATES = {n: Gate.from_name(n) for n in ("h", "x", "t", "s", "cx")}

SEARCHES = [
    (2, ("h", "t", "cx"), 4),
    (3, ("h", "t", "cx"), 3),
    (2, ("h", "s", "x", "cx"), 3),
    (1, ("h", "t"), 6),
]


@pytest.fixture(scope="module", params=SEARCHES, ids=lambda s: f"{s[0]}q-{'-'.join(s[1])}-{s[2]}")
def generated(request):
    n, names, size = request.param
    classes = RawECCs.generate(Evaluator(n), [GATES[g] for g in names], size)[0].simplify()
    return classes, classes.to_identity_circuits()


def test_triples_against_unitaries(generated, unitary, proportional):
    classes, triples = generated
    n = classes.nqubits
    assert triples == sorted(triples, key=lambda t: (t[0], t[1], t[2]))
    for identity, inverted, circuit in triples:
        assert isinstance(identity, IdentityCirc) and isinstance(inverted, Circ) and isinstance(circuit, Circ)
        assert proportional(unitary(identity.inner), np.eye(2 ** identity.nqubits()))
        composed = inverted + circuit
        assert proportional(unitary(composed), np.eye(2**n))
        assert composed.rotate_representative() == identity
    # k - 1 triples per class of k circuits, all with the class's inverted representative and its
    # other circuits unchanged (the class lists them with SWAPs for their permutations appended).
    def texts(instrs):
        return tuple(str(i) for i in instrs)

    def without_trailing_swaps(instrs):
        instrs = list(instrs)
        while instrs and instrs[-1].gate == Gate.from_name("swap"):
            instrs.pop()
        return texts(instrs)

    expected = collections.Counter()
    for ecc in classes.to_list():
        circuits = ecc.circuits()
        for other in circuits[1:]:
            expected[(texts(circuits[0]), without_trailing_swaps(other))] += 1
    got = collections.Counter((texts(inv.inverse().instrs), texts(c.instrs)) for _, inv, c in triples)
    assert got == expected
    for _, inv, c in triples:
        assert proportional(unitary(c), unitary(inv.inverse()))


def test_identity_is_invariant_under_rotation_and_relabelling(generated):
    _, triples = generated
    rng = random.Random(5)
    for identity, _, _ in rng.sample(triples, min(len(triples), 60)):
        inner = identity.inner
        assert inner.rotate_representative() == identity
        for k in range(-len(inner), len(inner) + 1):
            for perm in itertools.permutations(range(inner.nqubits())):
                moved = inner.rotate(k).permut(list(perm))
                assert moved.rotate_representative() == identity, (str(identity), k, perm)


def test_single_circuit_classes_give_nothing():
    classes = RawECCs.generate(Evaluator(1), [GATES["h"]], 1)[0].simplify()
    assert all(len(e.circuits()) == 1 for e in classes.to_list())
    assert classes.to_identity_circuits() == []


def test_result_does_not_depend_on_the_class_order(tmp_path):
    classes = RawECCs.generate(Evaluator(2), [GATES["h"], GATES["cx"]], 3)[0].simplify()
    path = tmp_path / "classes.postcard"
    classes.dump_postcard(str(path))
    assert ECCs.from_postcard(str(path)).to_identity_circuits() == classes.to_identity_circuits()


def test_signature_and_docstring():
    assert str(inspect.signature(ECCs.to_identity_circuits)) == "(self)"
    assert ECCs.to_identity_circuits.__doc__ == "Converts classes into canonical identities plus witness circuit pairs."
