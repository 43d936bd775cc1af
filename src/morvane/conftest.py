"""Fixtures shared by the tests of every component."""

import contextlib

import pytest


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
