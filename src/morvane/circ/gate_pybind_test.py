"""The Python class Gate: construction from matrices, the call, lookup, adjoints, properties."""

import inspect
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from morvane import Argument, Gate, Instr, Instruction

H = Gate.from_name("h")
CX = Gate.from_name("cx")
R = 0.7071067811865476
H_MATRIX = [[R + 0j, R], [R, -R]]


def index_of(gate):
    """The registry index, as the instruction debug form shows it."""
    text = repr(Instruction(gate, []))
    return int(text.split("Gate(")[1].split(" ->")[0])


def phase_gate(name, theta, params=()):
    return Gate(name, list(params), np.diag([1, np.exp(1j * theta)]).astype(complex))


CCZ = Gate("ccz", [], np.diag([1, 1, 1, 1, 1, 1, 1, -1]).astype(complex))


# --- construction ---------------------------------------------------------------------------


def test_a_known_matrix_gives_the_existing_gate_with_its_name():
    g = Gate("hadamard", [], H_MATRIX)
    assert g == H and index_of(g) == 1
    assert g.name == "h" and g.params == []
    assert Gate(name="other", params=["p"], matrix=np.array(H_MATRIX)) == H


def test_nested_int_list_is_refused_but_one_complex_entry_makes_it_complex():
    with pytest.raises(TypeError, match=r"^argument 'matrix': "):
        Gate("eye", [], [[1, 0], [0, 1]])
    g = Gate("eye", [], [[1 + 0j, 0], [0, 1]])
    assert index_of(g) == 0 and str(g) == "i"


@pytest.mark.parametrize(
    "matrix",
    [
        np.eye(2),
        np.eye(2, dtype=np.complex64),
        np.eye(2, dtype=np.int64),
        np.ones(2, dtype=complex),
        np.ones((2, 2, 1), dtype=complex),
        [[1j], [1, 2j]],  # ragged
        "not a matrix",
        None,
    ],
    ids=["float", "complex64", "int", "1d", "3d", "ragged", "str", "None"],
)
def test_matrices_that_are_not_two_dimensional_complex128_raise_type_error(matrix):
    with pytest.raises(TypeError, match=r"^argument 'matrix': "):
        Gate("bad", [], matrix)


@pytest.mark.parametrize(
    "name, params, field",
    [(1, [], "name"), (b"g", [], "name"), ("g", "ab", "params"), ("g", [1], "params"), ("g", None, "params")],
)
def test_name_and_params_conversion_errors_name_the_argument(name, params, field):
    with pytest.raises(TypeError, match=rf"^argument '{field}': ") as info:
        Gate(name, params, H_MATRIX)
    if isinstance(params, str):
        assert str(info.value) == "argument 'params': Can't extract `str` to `Vec`"


def test_params_accept_any_sequence_of_str():
    g = Gate("seq_params", ("a", "b"), np.diag([1, np.exp(0.5j)]))
    assert g.params == ["a", "b"] and str(g) == "seq_params(a, b)"


# A unitary with no symmetry, so that every misread view gives another matrix.
ASYM = np.array([[0.6, -0.8j], [0.8, 0.6j]])
WIDE = np.zeros((4, 6), dtype=complex)
WIDE[1::2, ::-3] = ASYM


@pytest.mark.parametrize(
    "view",
    [
        ASYM[::-1],
        ASYM[:, ::-1],
        ASYM[::-1, ::-1],
        ASYM.T,
        ASYM.T[::-1],
        np.asfortranarray(ASYM),
        WIDE[1::2, ::-3],
        np.eye(2, dtype=complex)[::-1],
        np.broadcast_to(np.complex128(1j), (1, 1)),  # both strides 0
    ],
    ids=["rows reversed", "columns reversed", "both reversed", "transposed", "transposed reversed", "fortran",
         "sliced with steps", "reversed identity", "zero strides"],
)
def test_any_strides_read_the_right_entries(view):
    want = np.array(view)  # a plain copy in row order
    g = Gate("view", [], view)
    np.testing.assert_array_equal(g.matrix, want)
    assert Gate("copy", [], want) == g


@pytest.mark.parametrize(
    "matrix, entry",
    [
        (2 * np.eye(2, dtype=complex), "(0, 0)"),
        (np.zeros((2, 2), dtype=complex), "(0, 0)"),
        (np.array([[1, 1], [0, 1]], dtype=complex), "(0, 0)"),
        (np.diag([1, 1.001]).astype(complex), "(1, 1)"),
        (np.array([[0.6, 0.8], [0.8, 0.6]], dtype=complex), "(0, 1)"),
        (np.array([[np.nan, 0], [0, 1]], dtype=complex), "(0, 0)"),
        (np.array([[np.inf]], dtype=complex), "(0, 0)"),
        (np.diag([1, 1, 1, 0.5]).astype(complex), "(3, 3)"),
    ],
    ids=["twice identity", "zeros", "shear", "three digits", "rows not orthogonal", "nan", "inf", "one qubit of two"],
)
def test_matrices_that_are_not_unitary_are_refused(matrix, entry):
    before = Gate.from_name("notunitary")
    with pytest.raises(BaseException) as info:
        Gate("notunitary", [], matrix)
    kind = type(info.value)
    assert (kind.__module__, kind.__name__) == ("pyo3_runtime", "PanicException")
    message = str(info.value)
    assert message.startswith(f"Matrix must be unitary: entry {entry} of U·U† is "), message
    assert message.endswith(" away from the identity's (more than 0.0001)"), message
    assert Gate.from_name("notunitary") == before  # nothing registered


def test_matrices_written_to_four_digits_register():
    r = 0.7071
    g = Gate("h4", [], np.array([[r, r], [r, -r]], dtype=complex))
    assert g.nqargs == 1
    p = np.round(np.exp(0.3j), 4)
    assert Gate("p4", [], np.diag([1, p])).nqargs == 1


@pytest.mark.parametrize(
    "shape, message",
    [
        ((3, 3), "Matrix must have a number of rows that is a power of two"),
        ((0, 0), "Matrix must have a number of rows that is a power of two"),
        ((3, 4), "Matrix must have a number of rows that is a power of two"),
        ((2, 4), "Matrix must be squared"),
        ((2, 0), "Matrix must be squared"),
    ],
)
def test_matrix_shape_stops(panics, shape, message):
    with panics(message):
        Gate("shape", [], np.zeros(shape, dtype=complex))


def test_registry_holds_the_builtins_only_until_a_first_gate_is_registered():
    code = textwrap.dedent(
        """
        import numpy as np
        from morvane import Gate, Instruction
        g = Gate("fresh", [], np.diag([1, 1j ** 0.3]))
        print(repr(Instruction(g, [])))
        print(Gate.from_name("rz(-pi/16)") is not None, Gate.from_name("fresh") == g)
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert out.stdout.split("\n")[:2] == ["Instruction { gate: Gate(23 -> fresh), qargs: [], cargs: [] }", "True True"], out.stderr


# --- the call -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "gate, args, text",
    [(CX, (0, 1), "cx(0, 1)"), (CX, (0, 0), "cx(0, 0)"), (CX, (np.int64(3), 2), "cx(3, 2)"), (H, (7,), "h(7)")],
)
def test_call_with_ints_gives_an_instr_without_uniqueness_check(gate, args, text):
    instr = gate(*args)
    assert type(instr) is Instr and str(instr) == text
    assert instr.qargs == bytes(args) and instr.gate == gate


@pytest.mark.parametrize(
    "args",
    [(0, 256), (0, -1), ([0, 1],), ((0, 1),), (0, Argument("q", 0)), (Argument("q", 0), 1), (0.0, 1), ("0", "1"), (None,)],
    ids=["256", "-1", "list", "tuple", "int+Argument", "Argument+int", "float", "str", "None"],
)
def test_call_with_mixed_or_foreign_operands_raises_type_error(args):
    with pytest.raises(TypeError, match=r"^argument 'args': .*either") as info:
        CX(*args)
    assert not isinstance(info.value, OverflowError)


def test_call_refuses_keywords():
    with pytest.raises(TypeError, match="unexpected keyword argument 'q'"):
        CX(0, q=1)
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        CX(args=(0, 1))


@pytest.mark.parametrize("args", [(), (0,), (0, 1, 2)])
def test_call_with_the_wrong_number_of_ints_stops(panics, args):
    with panics("Number of arguments not match for gate cx"):
        CX(*args)


def test_zero_qubit_gate_call():
    g = Gate("ph0", [], np.array([[0.6 + 0.8j]]))
    assert g.nqargs == 0
    instr = g()
    assert type(instr) is Instr and instr.qargs == b"" and str(instr) == "ph0()"


def test_zero_qubit_gate_called_with_an_int_stops(panics):
    g = Gate("ph1", ["x"], np.array([[0.8 + 0.6j]]))
    with panics("Number of arguments not match for gate ph1(x)"):
        g(0)


def test_three_qubit_gate_call_with_ints_stops_at_the_third_slot(panics):
    with panics("index out of bounds: the len is 2 but the index is 2"):
        CCZ(0, 1, 2)


def test_call_with_the_empty_slot_marker_stops(panics):
    with panics("Qubit index 255 is reserved for an empty slot"):
        CX(0, 255)


@pytest.mark.parametrize(
    "gate, nargs, nq",
    [(CX, 3, 2), (CX, 2, 2), (H, 1, 1), (H, 4, 1), (CCZ, 3, 3)],
)
def test_call_with_arguments_splits_qubit_and_classical_operands(gate, nargs, nq):
    args = [Argument("q" if k < nq else "c", k) for k in range(nargs)]
    instr = gate(*args)
    assert type(instr) is Instruction
    assert instr.gate == gate and instr.qargs == args[:nq] and instr.cargs == args[nq:]


def test_call_with_too_few_arguments_stops(panics):
    with panics("range end index 2 out of range for slice of length 1"):
        CX(Argument("q", 0))


# --- lookup, adjoint, properties ------------------------------------------------------------


@pytest.mark.parametrize("text", ["nope", "rz", "RZ(pi/3)", "rz(pi/3) ", ""])
def test_from_name_of_an_unknown_display_string_is_none(text):
    assert Gate.from_name(text) is None


def test_from_name_finds_builtins_and_takes_a_keyword():
    assert index_of(Gate.from_name("rz(pi/3)")) == 17
    assert index_of(Gate.from_name(name="swap")) == 14
    assert str(Gate.from_name("rz(-pi/16)")) == "rz(-pi/16)" and index_of(Gate.from_name("rz(-pi/16)")) == 22
    with pytest.raises(TypeError, match=r"^argument 'name': "):
        Gate.from_name(1)


@pytest.mark.parametrize(
    "name, adjoint",
    [("s", "sdg"), ("sdg", "s"), ("t", "tdg"), ("h", "h"), ("rz(pi/3)", "rz(-pi/3)"), ("rz(pi/5)", "rz(-pi/5)"), ("cs", "csdg")],
)
def test_builtin_adjoints(name, adjoint):
    assert Gate.from_name(name).adjoint() == Gate.from_name(adjoint)


def test_adjoint_of_a_new_gate_is_registered_with_a_dagger():
    u = Gate("u_py", ["a"], np.array([[0.28, -0.96], [0.96, 0.28]], dtype=complex))
    ud = u.adjoint()
    assert ud != u
    assert ud.name == "u_py\u2020" and ud.params == ["a"] and str(ud) == "u_py\u2020(a)"
    np.testing.assert_array_equal(ud.matrix, [[0.28, 0.96], [-0.96, 0.28]])
    assert np.signbit(ud.matrix.imag).all()
    assert ud.adjoint() == u
    assert index_of(u.adjoint()) == index_of(ud)


def test_matrix_property_is_a_fresh_fortran_complex128_array():
    m = H.matrix
    assert m.dtype == np.complex128 and m.shape == (2, 2) and np.isfortran(m)
    assert m.real.tolist() == [[R, R], [R, -R]] and not m.imag.any()
    m[0, 0] = 5
    assert H.matrix[0, 0] == R
    t = Gate.from_name("t").matrix
    assert t[1, 1] == 0.7071067811865476 + 0.7071067811865475j
    assert Gate.from_name("cx").matrix[3, 2] == 1  # first operand is the most significant bit


def test_properties_read_the_registry():
    rz = Gate.from_name("rz(pi/3)")
    assert rz.name == "rz" and rz.params == ["pi/3"] and rz.nqargs == 1
    assert CX.nqargs == 2 and CCZ.nqargs == 3
    assert math.isclose(abs(Gate.from_name("rz(pi/3)").matrix[1, 1]), 1.0)


@pytest.mark.parametrize("prop", ["name", "params", "matrix", "nqargs"])
def test_properties_are_read_only(prop):
    with pytest.raises(AttributeError):
        setattr(H, prop, getattr(H, prop))
    with pytest.raises(AttributeError):
        delattr(H, prop)


# --- comparison, hash, text -----------------------------------------------------------------


def test_equality_is_by_index_and_foreign_types_are_not_implemented():
    assert Gate.from_name("h") == H and Gate.from_name("h") is not H
    assert H != CX and not (H == CX)
    assert (H == 1) is False and (H != 1) is True
    assert H.__eq__(1) is NotImplemented and H.__ne__("h") is NotImplemented


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_raises_type_error(op):
    with pytest.raises(TypeError):
        getattr(__import__("operator"), op)(H, CX)


def test_hash_is_the_index_hash(py_hash_vectors):
    assert hash(H) == py_hash_vectors["Gate16 index 1 (h)"]
    assert hash(Gate("hadamard", [], H_MATRIX)) == hash(H)
    assert len({H, Gate.from_name("h"), CX}) == 2


def test_text_forms():
    assert str(H) == "h" and str(Gate.from_name("rz(pi/3)")) == "rz(pi/3)"
    assert repr(H).startswith("<morvane.Gate object at 0x")


def test_signatures_and_docstrings():
    assert str(inspect.signature(Gate)) == "(name, params, matrix)"
    assert Gate.__doc__ == "Parameterized quantum gate definition used by both search and Python APIs."
    assert str(inspect.signature(Gate.from_name)) == "(name)"
    assert Gate.from_name.__doc__ == "Looks up a built-in gate by display name."
    assert str(inspect.signature(H.adjoint)) == "()" and str(inspect.signature(Gate.adjoint)) == "(self)"
    assert H.adjoint.__doc__ == "Returns the adjoint (inverse) gate."
    assert str(inspect.signature(H)) == "(*args)" and str(inspect.signature(Gate.__call__)) == "(self, *args)"
    docs = {"name": "Gate name.", "params": "Symbolic parameter list.", "matrix": "Dense unitary matrix.",
            "nqargs": "Number of qubit arguments required by this gate."}
    for prop, doc in docs.items():
        assert getattr(Gate, prop).__doc__ == doc


def test_gate_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (Gate,), {})


def test_a_stop_reports_its_location_on_stderr(capfd, panics):
    with panics("Number of arguments not match for gate h"):
        H(0, 1)
    err = capfd.readouterr().err
    assert "panicked at src/morvane/circ/" in err and "Number of arguments not match for gate h" in err


# Each case gets its own angle: a matrix registered before would return the earlier gate.
@pytest.mark.parametrize("theta, params, expected", [
    (0.101, (), []),
    (0.102, ("pi/3",), [1.0471975511965976]),
    (0.103, ("-pi/3", "2^3^2", "sin(pi/2)"), [-1.0471975511965976, 64.0, 1.0]),
])
def test_params_f_evaluates_each_text_in_order(theta, params, expected):
    gate = phase_gate("pf", theta, params)
    assert gate.params_f == expected


@pytest.mark.parametrize("theta, params, message", [
    (0.201, ("theta",), "theta"),
    (0.202, ("1/0",), "DivisionByZero"),
    (0.203, ("pi", "x/0", "1/0"), "x"),  # the first failing text decides
])
def test_params_f_raises_value_error_with_the_error_text(theta, params, message):
    gate = phase_gate("pf_err", theta, params)
    with pytest.raises(ValueError) as info:
        gate.params_f
    assert str(info.value) == message


def test_params_f_reports_a_parse_error_with_its_report():
    gate = phase_gate("pf_parse", 0.3, ("PI",))
    with pytest.raises(ValueError) as info:
        gate.params_f
    assert str(info.value).splitlines()[0] == " --> 1:1"
    assert str(info.value).splitlines()[-1].startswith("  = expected ")


# Input left after a complete expression is a parse error reported where reading stopped.
@pytest.mark.parametrize("theta, text, where, expected", [
    (0.401, "1e5", " --> 1:2", "  = expected plus or mul"),
    (0.402, "2pi", " --> 1:2", "  = expected plus or mul"),
    (0.403, "1)", " --> 1:2", "  = expected plus or mul"),
    (0.404, "1 +", " --> 1:4", "  = expected power"),
    (0.405, "pi\x00", " --> 1:3", "  = expected plus or mul"),
])
def test_params_f_refuses_input_left_after_the_expression(theta, text, where, expected):
    gate = phase_gate("pf_rest", theta, ("pi/2", text))
    with pytest.raises(ValueError) as info:
        gate.params_f
    lines = str(info.value).split("\n")
    assert (lines[0], lines[2], lines[-1]) == (where, "1 | " + text.replace("\x00", "\u2400"), expected)


def test_params_f_accepts_whitespace_after_the_expression():
    assert phase_gate("pf_ws", 0.41, ("pi/2 \t\n", "2 ")).params_f == [1.5707963267948966, 2.0]


def test_params_f_of_builtin_rz():
    assert Gate.from_name("rz(pi/3)").params_f == [1.0471975511965976]
