"""The layer rule of the C++ sources: includes point down only.

The layers, lowest first, are the directories of LAYERS. A library file may include files of its own
layer and of the layers below it; `*.pybind.h`/`*.pybind.cc` files and `py/` form the binding layer
on top and may include anything. Tests and benchmarks (`*.test.cc`, `*.perf.cc`, `*_testing.h`) may
include their own layer, the ones below and the shared helpers of `testing/` placed at those layers
(HELPERS: each helper's own layer, by what it needs). Only test code includes `testing/`, and only
the binding layer includes pybind11 or Python's headers.
"""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src" / "morvane"
LAYERS = ["core", "circ", "state", "search", "identity", "py"]
BINDING = len(LAYERS) - 1
HELPERS = {"testing.h": "core", "circuits.h": "circ", "states.h": "state"}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.MULTILINE)


def is_test_support(path):
    return path.name.endswith((".test.cc", ".perf.cc", "_testing.h")) or path.parent.name == "testing"


def is_binding(path):
    return ".pybind." in path.name or path.parent.name == "py"


def layer_of(path):
    """The layer a file's own code belongs to; a shared test helper's is its place in HELPERS."""
    directory = path.relative_to(SRC).parts[0]
    if directory == "testing":
        assert path.name in HELPERS, f"{path}: test helper {path.name!r} has no layer; add it to HELPERS"
        return LAYERS.index(HELPERS[path.name])
    assert directory in LAYERS, f"{path}: directory {directory!r} is not a layer; add it to LAYERS in its place"
    return BINDING if is_binding(path) else LAYERS.index(directory)


def violations(path, text):
    """The includes of one file that break the rule, as messages."""
    own = layer_of(path)
    found = []
    for target in INCLUDE.findall(text):
        if target.startswith(("pybind11/", "Python.h")):
            if own != BINDING:
                found.append(f"{path.relative_to(SRC)} includes <{target}> outside the binding layer")
            continue
        if not target.startswith("morvane/"):
            continue
        directory, name = target.split("/")[1], target.split("/")[-1]
        if directory == "testing":
            if not is_test_support(path):
                found.append(f"{path.relative_to(SRC)} ({LAYERS[own]}) includes {target} outside test code")
            elif name not in HELPERS or LAYERS.index(HELPERS[name]) > own:
                found.append(f"{path.relative_to(SRC)} ({LAYERS[own]}) includes {target}")
            continue
        if directory not in LAYERS or LAYERS.index(directory) > own:
            found.append(f"{path.relative_to(SRC)} ({LAYERS[own]}) includes {target}")
    return found


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".h", ".cc"))


def test_no_file_includes_a_higher_layer():
    problems = [v for p in sources() for v in violations(p, p.read_text(encoding="utf-8"))]
    assert problems == []


@pytest.mark.parametrize("name, text, expected", [
    ("core/x.h", '#include "morvane/circ/instr.h"\n', ["core/x.h (core) includes morvane/circ/instr.h"]),
    ("core/x.h", '#include "morvane/core/panic.h"\n#include <vector>\n', []),
    ("circ/x.cc", '  #  include "morvane/search/ecc.h"\n', ["circ/x.cc (circ) includes morvane/search/ecc.h"]),
    ("search/x.cc", '#include "morvane/py/convert.h"\n', ["search/x.cc (search) includes morvane/py/convert.h"]),
    ("search/x.cc", "#include <pybind11/pybind11.h>\n", ["search/x.cc includes <pybind11/pybind11.h> outside the binding layer"]),
    ("circ/x.pybind.cc", '#include "morvane/py/convert.h"\n#include <pybind11/numpy.h>\n', []),
    ("core/x.test.cc", '#include "morvane/testing/testing.h"\n', []),
    ("core/x.h", '#include "morvane/testing/testing.h"\n',
     ["core/x.h (core) includes morvane/testing/testing.h outside test code"]),
    ("core/x.test.cc", '#include "morvane/testing/circuits.h"\n', ["core/x.test.cc (core) includes morvane/testing/circuits.h"]),
    ("circ/x.test.cc", '#include "morvane/testing/circuits.h"\n', []),
    ("circ/x_testing.h", '#include "morvane/testing/states.h"\n', ["circ/x_testing.h (circ) includes morvane/testing/states.h"]),
    ("identity/x.perf.cc", '#include "morvane/testing/states.h"\n', []),
    ("search/x.test.cc", '#include "morvane/testing/extra.h"\n', ["search/x.test.cc (search) includes morvane/testing/extra.h"]),
    ("testing/testing.h", '#include "morvane/circ/instr.h"\n', ["testing/testing.h (core) includes morvane/circ/instr.h"]),
    ("testing/circuits.h", '#include "morvane/testing/states.h"\n', ["testing/circuits.h (circ) includes morvane/testing/states.h"]),
    ("testing/states.h", '#include "morvane/state/state_vec.h"\n#include "morvane/testing/circuits.h"\n', []),
])
def test_rule_on_sample_files(name, text, expected):
    assert violations(SRC / name, text) == expected


def test_an_unknown_directory_is_refused():
    with pytest.raises(AssertionError, match="is not a layer"):
        violations(SRC / "extra" / "x.h", '#include "morvane/core/panic.h"\n')


def test_a_test_helper_without_a_layer_is_refused():
    with pytest.raises(AssertionError, match="has no layer"):
        violations(SRC / "testing" / "extra.h", '#include "morvane/core/panic.h"\n')
