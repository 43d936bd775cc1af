"""The worker pool under an address-space limit (`ulimit -v`, as shared clusters set it).

Each case runs in a child process that limits its own address space, fills it with 1 MiB blocks
until MemoryError, frees a few of them and then builds a prover on the pool: threads that cannot
start, and memory that runs out while the workers run, end in a result or a MemoryError, never in
the end of the process. The limit is set above what the child already uses, so the room left for
the pool is the freed blocks whatever the machine.
"""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("MORVANE_SANITIZED") == "1",
    reason="the sanitizers reserve more address space than any limit leaves",
)

CHILD = textwrap.dedent(
    """
    import resource, sys
    from morvane import Evaluator, Gate, IdentityProver, RawECCs
    h, t, cx = Gate.from_name("h"), Gate.from_name("t"), Gate.from_name("cx")
    eccs = RawECCs.generate(Evaluator(2), [h, t, cx], 4)[0].simplify()
    free_mib = int(sys.argv[1])
    if free_mib:
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        limit = used + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        blocks = []
        try:
            while True:
                blocks.append(bytearray(1 << 20))
        except MemoryError:
            pass
        del blocks[len(blocks) - free_mib:]
    try:
        prover = IdentityProver.build_from_eccs(eccs)
        print("built", sorted(str(i) for i in prover.get_assumed()))
    except (MemoryError, RuntimeError) as e:
        print("raised", type(e).__name__)
    """
)


def run_child(threads, free_mib):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OPENBLAS_NUM_THREADS="1")
    return subprocess.run(
        [sys.executable, "-c", CHILD, str(free_mib)], env=env, capture_output=True, text=True, timeout=600
    )


@pytest.fixture(scope="module")
def unlimited():
    done = run_child(8, 0)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()[-1]


@pytest.mark.parametrize("threads", [8, 32])
@pytest.mark.parametrize("free_mib", [4, 24, 64])
def test_a_pool_short_of_memory_builds_or_raises(unlimited, threads, free_mib):
    done = run_child(threads, free_mib)
    assert done.returncode == 0, done.stderr[-2000:]
    last = done.stdout.splitlines()[-1]
    assert last in (unlimited, "raised MemoryError", "raised RuntimeError"), last
