"""Shared fixtures of the circuit-model tests."""

import contextlib
import json
import pathlib

import pytest

HASH_VECTORS = pathlib.Path(__file__).parents[1] / "core" / "testdata" / "hash_vectors.json"


@pytest.fixture
def panics():
    """`with panics("message"):` expects the native module to stop with exactly that message."""

    @contextlib.contextmanager
    def check(message):
        with pytest.raises(BaseException) as info:
            yield info
        kind = type(info.value)
        assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException"), repr(info.value)
        assert not isinstance(info.value, Exception)
        assert str(info.value) == message

    return check


@pytest.fixture(scope="session")
def py_hash_vectors():
    """The Python hashes of the reference hash vectors, by description."""
    doc = json.loads(HASH_VECTORS.read_text())
    return {v["what"]: v["py_hash"] for v in doc["vectors"]}
