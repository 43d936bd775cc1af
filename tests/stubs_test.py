"""The type stubs describe the native module as it is (mypy's stubtest)."""

import os
import pathlib
import subprocess

import morvane


def test_stubs_match_the_module(tmp_path):
    # The package directory of the module under test (the sanitized build has its own copy).
    root = str(pathlib.Path(morvane.__file__).resolve().parent.parent)
    env = dict(os.environ, MYPYPATH=root, PYTHONPATH=root, MYPY_CACHE_DIR=str(tmp_path / "mypy_cache"))
    result = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy.stubtest", "morvane.morvane"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout, result.stdout + result.stderr
