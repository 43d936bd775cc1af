"""Shared fixtures of the circuit-model tests."""

import json
import pathlib

import pytest

HASH_VECTORS = pathlib.Path(__file__).parents[1] / "core" / "testdata" / "hash_vectors.json"


@pytest.fixture(scope="session")
def py_hash_vectors():
    """The Python hashes of the reference hash vectors, by description."""
    doc = json.loads(HASH_VECTORS.read_text())
    return {v["what"]: v["py_hash"] for v in doc["vectors"]}
