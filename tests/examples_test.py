"""The README's example and examples/demo.py run, leave nothing behind, and type-check strictly
against the shipped stubs."""

import os
import pathlib
import re
import subprocess
import sys

import morvane

REPO = pathlib.Path(__file__).resolve().parent.parent
# The package directory of the module under test (the sanitized build has its own copy).
PACKAGE_ROOT = str(pathlib.Path(morvane.__file__).resolve().parent.parent)


def readme_example(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", (REPO / "README.md").read_text(encoding="utf-8"), re.S)
    assert len(blocks) == 1, "the README has one Python example"
    path = tmp_path / "readme_example.py"
    path.write_text(blocks[0], encoding="utf-8")
    return path


def run(script, cwd):
    env = {**os.environ, "PYTHONPATH": PACKAGE_ROOT}
    return subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env, cwd=cwd)


def test_readme_example_runs_and_writes_only_to_a_temporary_directory(tmp_path):
    script = readme_example(tmp_path)
    work = tmp_path / "work"
    work.mkdir()
    result = run(script, work)
    assert result.returncode == 0, result.stdout + result.stderr
    assert list(work.iterdir()) == []


def test_demo_runs_the_whole_job(tmp_path):
    result = run(REPO / "examples" / "demo.py", tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    for line in ("loads back equal: True", "proved: True", "is the identity up to phase",
                 "loads back with the same answers: True"):
        assert line in result.stdout, result.stdout
    assert list(tmp_path.iterdir()) == []


def test_examples_pass_mypy_strict(tmp_path):
    env = dict(os.environ, MYPYPATH=PACKAGE_ROOT, MYPY_CACHE_DIR=str(tmp_path / "mypy_cache"))
    result = subprocess.run(
        ["/usr/bin/python3", "-m", "mypy", "--strict", str(readme_example(tmp_path)),
         str(REPO / "examples" / "demo.py")],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
