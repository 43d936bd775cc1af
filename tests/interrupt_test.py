"""Ctrl-C stops long work promptly and leaves what was stored unchanged.

Each case runs in a child process: it sets up, says "ready", starts the long call, and reports the
monotonic time at which KeyboardInterrupt arrived. The parent sends SIGINT shortly after "ready".
"""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

SETUP = """
import sys, time
from morvane import ECCs, Evaluator, Gate, IdentityProver, RawECCs
h, t, cx = Gate.from_name("h"), Gate.from_name("t"), Gate.from_name("cx")
"""

CASES = {
    # A search that runs for many seconds; nothing is stored before it ends, and the next search
    # works.
    "generate": (
        "pass",
        "RawECCs.generate(Evaluator(3), [h, t, cx], 10)",
        "print('after', len(RawECCs.generate(Evaluator(2), [h, cx], 2)[0].simplify().to_list()) > 1)",
    ),
    # Simplifying a large map: the map is unchanged afterwards.
    "simplify": (
        "raw = RawECCs.generate(Evaluator(3), [h, t, cx], 8)[0]\n"
        "before = raw.simplify().to_list()[::1000]",
        "raw.simplify()",
        "print('after', raw.simplify().to_list()[::1000] == before)",
    ),
    # A cross-check on the worker pool: the calling thread looks at signals between its items.
    "check_identity_subset": (
        "e = Evaluator(3)\n"
        "small = RawECCs.generate(e, [h, t, cx], 7)[0]\n"
        "large = RawECCs.generate(e, [h, t, cx], 8)[0]\n"
        "before = str(large.find_equivalents(e, [t(0), t(0), cx(0, 1)]))",
        "small.check_identity_subset(large, e)",
        "print('after', str(large.find_equivalents(e, [t(0), t(0), cx(0, 1)])) == before)",
    ),
    # Building a prover (about 5 s on 8 threads for these 19465 classes, and far longer than the
    # 0.2 s before the signal on any machine): nothing is returned, and the class collection it
    # was built from is unchanged.
    "build_from_eccs": (
        "eccs = RawECCs.generate(Evaluator(2), [h, t, cx], 7)[0].simplify()\n"
        "before = eccs.to_list()",
        "IdentityProver.build_from_eccs(eccs)",
        "print('after', eccs.to_list() == before)",
    ),
    # The re-check of a collection on 18 qubits: 400 classes of two 10-gate circuits, a few
    # milliseconds each. The collection is unchanged afterwards.
    "check": (
        "import os, tempfile\n"
        "circuit = bytes([10]) + bytes([1, ord('h'), 0, 255]) * 10 + bytes([0])\n"
        "path = os.path.join(tempfile.mkdtemp(), 'wide.eccs')\n"
        "open(path, 'wb').write(bytes([0x90, 0x03]) + (bytes([2]) + circuit * 2) * 400 + bytes([18]))\n"
        "eccs = ECCs.from_postcard(path)\n"
        "before = eccs.to_list()",
        "eccs.check()",
        "print('after', eccs.to_list() == before)",
    ),
    # Building a prover from one class of 3280 identities (each up to seven of h h, x x, z z):
    # its keys' rules refer to its circuits, and the build looks at signals between its steps.
    "build_from_eccs_one_large_class": (
        "import itertools, os, tempfile\n"
        "def instr(g):\n"
        "    return bytes([1, ord(g), 0, 255])\n"
        "words = [b''.join(instr(g) * 2 for g in w) for k in range(8) for w in itertools.product('hxz', repeat=k)]\n"
        "body = b''.join(bytes([len(w) // 4]) + w + bytes([0x80, 0x80, 0x80, 0x08]) for w in words)\n"
        "path = os.path.join(tempfile.mkdtemp(), 'large.eccs')\n"
        "open(path, 'wb').write(bytes([1, 0xD0, 0x19]) + body + bytes([1]))\n"
        "eccs = ECCs.from_postcard(path)\n"
        "before = eccs.to_list()",
        "IdentityProver.build_from_eccs(eccs)",
        "print('after', eccs.to_list() == before)",
    ),
    # Canonical forms of long circuits: one form runs for far longer than a second. The circuit
    # is unchanged afterwards.
    "rotate_representative": (
        "import random\n"
        "from morvane import Circ, Instr\n"
        "rng = random.Random(1)\n"
        "def gate():\n"
        "    a, b = rng.sample(range(8), 2)\n"
        "    return rng.choice([h(a), t(a), cx(a, b)])\n"
        "c = Circ([gate() for _ in range(2000)], list(range(8)))\n"
        "ident = c + c.inverse()\n"
        "before = str(ident)",
        "ident.rotate_representative()",
        "print('after', str(ident) == before)",
    ),
    "representative": (
        "import random\n"
        "from morvane import Circ, Instr\n"
        "rng = random.Random(1)\n"
        "c = Circ([rng.choice([h(q), t(q), cx(q, (q + 1) % 8)]) for q in rng.choices(range(8), k=1000)])\n"
        "for _ in range(12):\n"
        "    c = c + c\n"
        "before = len(c)",
        "c.representative()",
        "print('after', len(c) == before)",
    ),
}


def run_interrupted(setup, call, after):
    code = SETUP + textwrap.dedent(f"""
{setup}
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", flush=True)
{after}
""")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env={**os.environ, "PYTHONPATH": ":".join(sys.path)})
    try:
        for line in child.stdout:  # the searches' progress lines come first
            if line.strip() == "ready":
                break
        else:
            pytest.fail("the child ended before the long call: " + child.stderr.read())
        time.sleep(0.2)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    return sent, out, err


@pytest.mark.parametrize("name", list(CASES))
def test_ctrl_c_stops_long_work_within_a_second(name):
    sent, out, err = run_interrupted(*CASES[name])
    lines = dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
    assert "interrupted" in lines, out + err
    assert float(lines["interrupted"]) - sent < 1.0
    assert lines["after"] == "True", out + err
