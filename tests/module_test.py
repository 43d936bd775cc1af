"""The module entry: registration order, re-import, no functions, no second interpreter."""

import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import morvane
import morvane.morvane as native

REGISTERED = ["Argument", "Instruction", "Gate", "Instr", "StateVec", "ECC", "ECCs", "RawECCs", "Evaluator", "Circ", "IdentityCirc", "IdentityProver", "Proof"]


def test_all_lists_classes_in_registration_order():
    assert native.__all__[: len(REGISTERED)] == REGISTERED
    assert morvane.__all__ == native.__all__
    for name in native.__all__:
        cls = getattr(native, name)
        assert isinstance(cls, type) and cls.__name__ == name and cls.__module__ == "morvane"
        assert getattr(morvane, name) is cls


def test_module_has_only_classes_and_all():
    standard = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
    extra = set(vars(native)) - standard
    assert extra == set(native.__all__) | {"__all__"}
    for hidden in ("OrderInfo", "Gate16", "Instr32"):
        assert not hasattr(native, hidden)


def test_reimport_returns_the_same_module():
    del sys.modules["morvane.morvane"]
    again = importlib.import_module("morvane.morvane")
    assert again is native


def run_python(code, timeout=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": ":".join(sys.path)}, timeout=timeout)


@pytest.mark.parametrize("main_imports_first", [True, False])
def test_other_interpreters_are_refused(main_imports_first):
    # Whichever interpreter comes first, a subinterpreter's import ends at once with ImportError
    # (it used to wait forever when it came first), and the main interpreter's import works.
    result = run_python(f"""
        import _xxsubinterpreters as interpreters
        if {main_imports_first}:
            import morvane
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import morvane.morvane")
        except Exception as e:
            print("refused", "ImportError" in str(e) or "subinterpreters" in str(e))
        else:
            print("accepted")
        import morvane
        print("main", morvane.Gate.from_name("h"))
    """, timeout=60)
    assert "refused True" in result.stdout and "main h" in result.stdout, result.stdout + result.stderr


def test_classes_are_immutable():
    with pytest.raises(TypeError):
        morvane.Gate.extra = 1


@pytest.mark.parametrize("name", REGISTERED)
def test_new_without_arguments_makes_no_unconstructed_object(name):
    # Calling __new__ directly must not hand out an object whose value was never made.
    cls = getattr(native, name)
    with pytest.raises(TypeError):
        cls.__new__(cls)


def test_new_with_arguments_constructs_the_object():
    a = native.Argument.__new__(native.Argument, "q", 3)
    assert type(a) is native.Argument and str(a) == "q[3]"
    with pytest.raises(TypeError):
        native.Argument.__new__(1)


@pytest.mark.parametrize("name", native.__all__)
def test_no_class_can_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(native, name),), {})


NONE_RECEIVER = """
    import morvane.morvane as native
    for cls_name in native.__all__:
        cls = getattr(native, cls_name)
        for name, member in vars(cls).items():
            if name in ("__new__", "__init__", "__doc__", "__module__", "__dict__"):
                continue
            calls = [member.fget, member.fset] if isinstance(member, property) else [member]
            for f in calls:
                if not callable(f):
                    continue
                for extra in range(3):
                    try:
                        result = f(None, *[0] * extra)
                    except TypeError:
                        continue
                    if result is not NotImplemented:
                        print(f"{cls_name}.{name} accepted None: {result!r}")
    print("done")
"""


def test_no_method_takes_none_as_its_receiver():
    # A method called on the class with None in place of the object raises TypeError (pybind11
    # lets None through as a null receiver unless told otherwise).
    result = run_python(NONE_RECEIVER, timeout=60)
    assert result.returncode == 0 and result.stdout == "done\n", result.stdout + result.stderr


FAILED_IMPORT = """
    import sys, _testcapi
    import numpy
    _testcapi.set_nomemory({start}, {start} + 1)
    try:
        import morvane.morvane
        first = "ok"
    except BaseException as e:
        first = type(e).__name__
        if isinstance(e, RuntimeError):
            assert str(e).startswith("An error occurred while initializing class "), e
            assert e.__cause__ is not None
    finally:
        _testcapi.remove_mem_hooks()
    assert first in ("ok", "MemoryError", "RuntimeError", "PanicException", "ImportError"), first
    sys.modules.pop("morvane.morvane", None)
    sys.modules.pop("morvane", None)
    if first == "ImportError":
        # The binding layer's shared state was left half made: it is never used.
        try:
            import morvane
        except ImportError as e:
            assert "binding layer" in str(e), e
        else:
            raise AssertionError("imported over a half-made binding layer")
        sys.exit(0)
    import morvane
    h = morvane.Gate.from_name("h")
    assert morvane.__all__[:len({names})] == {names}
    assert str(h.adjoint()) == "h" and str(morvane.Instr(h, [0])) == "h(0)"
    assert morvane.Gate.adjoint.__doc__ == "Returns the adjoint (inverse) gate."
    print(first)
"""


@pytest.mark.parametrize("start", range(1, 3000, 250))
def test_import_after_a_failed_import_succeeds(start):
    # Memory runs out at one allocation during the first import attempt: the attempt fails with a
    # proper error (or succeeds), and the next import in the same interpreter gives a working module.
    pytest.importorskip("_testcapi")
    result = run_python(FAILED_IMPORT.format(start=start, names=REGISTERED))
    assert result.returncode == 0, result.stdout + result.stderr


FIRST_USE_FROM_THREADS = """
    import sys, threading
    import morvane
    assert "numpy" not in sys.modules and "collections.abc" not in sys.modules
    sys.setswitchinterval(1e-6)
    h = morvane.Gate.from_name("h")
    barrier = threading.Barrier(8)
    def use(k):
        barrier.wait()
        try:
            {call}
        except (TypeError, ValueError):
            pass
    threads = [threading.Thread(target=use, args=(k,)) for k in range(8)]
    for t in threads: t.start()
    for t in threads: t.join()
    print("done")
"""


@pytest.mark.parametrize("call", [
    "morvane.Gate('g%d' % k, [], [[1, 0], [0, 1j ** (k + 1)]])",  # numpy's C API looked up for a matrix
    "h.matrix",  # and for a matrix handed out
    "morvane.IdentityCirc.from_python([])",  # collections.abc.Mapping looked up for a mapping
])
def test_first_use_from_several_threads_at_once_does_not_hang(call):
    # What the module looks up once (through an import) is set up while other threads may be waiting
    # for it: the lookup hands the interpreter lock over, and a thread waiting for the lookup must not
    # keep the lock meanwhile.
    try:
        result = run_python(FIRST_USE_FROM_THREADS.format(call=call), timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("threads waiting for a first lookup hung")
    assert result.stdout == "done\n", result.stdout + result.stderr
