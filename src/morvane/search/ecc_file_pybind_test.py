"""Class files and the Quartz export of ECCs: round trips, byte forms, errors."""

import errno
import json
import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest

from morvane import ECCs, Evaluator, Gate, RawECCs

WORKED_EXAMPLE = bytes.fromhex(
    "02 01 01 01 78 00 FF 88 80 80 10 02 00 81 80 80 10 03 02 63 78 00 01 02 63 78 01 00 02 63 78 00 01 "
    "88 80 80 10 02"
)


def gates(*names):
    return [Gate.from_name(n) for n in names]


def generated(nqubits, names, max_size):
    raw, _counts = RawECCs.generate(Evaluator(nqubits), gates(*names), max_size)
    return raw.simplify()


@pytest.fixture(scope="module")
def collections():
    return [
        generated(1, ["h", "t"], 4),
        generated(2, ["h", "cx"], 3),
        generated(2, ["x", "cx", "t"], 3),
        generated(3, ["h", "cx"], 2),
    ]


def circuit_texts(eccs):
    """Every class's materialised circuits as instruction texts, in stored order."""
    return [[[str(i) for i in c] for c in e.circuits()] for e in eccs.to_list()]


def load_bytes(tmp_path, data, name="f.bin"):
    path = tmp_path / name
    path.write_bytes(data)
    return ECCs.from_postcard(str(path))


def test_round_trips_keep_every_class_in_stored_order(tmp_path, collections):
    for k, eccs in enumerate(collections):
        path = str(tmp_path / f"eccs{k}.bin")
        assert eccs.dump_postcard(path) is None
        loaded = ECCs.from_postcard(path)
        assert loaded == eccs and loaded is not eccs
        assert loaded.nqubits == eccs.nqubits and len(loaded) == len(eccs)
        assert circuit_texts(loaded) == circuit_texts(eccs)
        assert any(len(e.circuits()) == 1 for e in loaded.to_list())  # single-circuit classes are kept
        # Saving what was loaded gives the same bytes.
        again = str(tmp_path / f"again{k}.bin")
        loaded.dump_postcard(again)
        assert open(again, "rb").read() == open(path, "rb").read()


def test_worked_example_bytes_load_and_save_back(tmp_path):
    eccs = load_bytes(tmp_path, WORKED_EXAMPLE)
    assert eccs.nqubits == 2 and len(eccs) == 2
    assert [[str(i) for i in c] for c in eccs.to_list()[1].circuits()] == [
        [],
        ["cx(0, 1)", "cx(1, 0)", "cx(0, 1)", "swap(0, 1)"],
    ]
    eccs.dump_postcard(str(tmp_path / "out.bin"))
    assert (tmp_path / "out.bin").read_bytes() == WORKED_EXAMPLE
    # Bytes after the qubit count are ignored.
    assert load_bytes(tmp_path, WORKED_EXAMPLE + b"\x00\xff") == eccs
    # Classes stay in the stored order, sorted or not.
    class0, class1 = WORKED_EXAMPLE[1:11], WORKED_EXAMPLE[11:37]
    reversed_ = load_bytes(tmp_path, b"\x02" + class1 + class0 + b"\x02")
    assert circuit_texts(reversed_) == circuit_texts(eccs)[::-1]
    reversed_.dump_postcard(str(tmp_path / "rev.bin"))
    assert (tmp_path / "rev.bin").read_bytes() == b"\x02" + class1 + class0 + b"\x02"


def test_quartz_export_of_worked_example(tmp_path):
    eccs = load_bytes(tmp_path, WORKED_EXAMPLE)
    path = tmp_path / "q.json"
    assert eccs.dump_quartz(str(path)) is None
    text = path.read_text(encoding="utf-8")
    assert text == (
        '[[[0],[0]],{"1_0":[[[2,0],[]],[[2,4],[["cx",["Q0","Q1"],["Q0","Q1"]],["cx",["Q1","Q0"],["Q1","Q0"]],'
        '["cx",["Q0","Q1"],["Q0","Q1"]],["swap",["Q0","Q1"],["Q0","Q1"]]]]],'
        '"1_1":[[[2,1],[["swap",["Q0","Q1"],["Q0","Q1"]]]],[[2,3],[["cx",["Q0","Q1"],["Q0","Q1"]],'
        '["cx",["Q1","Q0"],["Q1","Q0"]],["cx",["Q0","Q1"],["Q0","Q1"]]]]]}]'
    )
    empty = load_bytes(tmp_path, b"\x00\x03")
    empty.dump_quartz(str(path))
    assert path.read_text() == "[[[0],[0]],{}]"


def test_quartz_export_of_generated_classes_reads_like_quartz(tmp_path, collections):
    for eccs in collections:
        path = tmp_path / "q.json"
        eccs.dump_quartz(str(path))
        header, groups = json.loads(path.read_text(encoding="utf-8"))
        assert header == [[0], [0]]
        keys = list(groups)
        assert keys == sorted(keys, key=lambda k: k.encode())
        classes = eccs.to_list()
        multi = {k for k, e in enumerate(classes) if len(e.circuits()) >= 2}
        assert {int(key.split("_")[0], 16) for key in keys} == multi
        for key, circuits in groups.items():
            cls = classes[int(key.split("_")[0], 16)]
            assert len(circuits) == len(cls.circuits())
            used = [int(q[1:]) for _, gates_ in circuits for _, qs, again in gates_ for q in qs + again]
            for (nq, ng), gates_ in circuits:
                assert ng == len(gates_)
                # Every circuit of a group has the group's count, as Quartz requires.
                assert nq == max(used, default=0) + 1


def test_dagger_is_written_as_utf8(tmp_path):
    theta = 0.3141
    g = Gate("pyfile_p", [], np.array([[1, 0], [0, np.exp(1j * theta)]]))
    raw, _ = RawECCs.generate(Evaluator(1), [g], 2)
    eccs = raw.simplify()
    path = tmp_path / "d.json"
    eccs.dump_quartz(str(path))
    data = path.read_bytes()
    assert "pyfile_p\u2020".encode() in data and b"\\u" not in data


def test_signatures_and_docstrings():
    assert ECCs.dump_postcard.__doc__ == "Saves ECCs as postcard."
    assert ECCs.from_postcard.__doc__ == "Loads ECCs from a postcard file."
    assert ECCs.dump_quartz.__doc__ == "Exports ECCs to Quartz JSON format."
    import inspect

    assert str(inspect.signature(ECCs.dump_postcard)) == "(self, filepath)"
    assert str(inspect.signature(ECCs.from_postcard)) == "(filepath)"
    assert str(inspect.signature(ECCs.dump_quartz)) == "(self, filepath)"


def test_keyword_argument_and_non_str_path(tmp_path, collections):
    path = str(tmp_path / "k.bin")
    collections[0].dump_postcard(filepath=path)
    assert ECCs.from_postcard(filepath=path) == collections[0]
    for bad in (tmp_path / "k.bin", b"k.bin", 3, None):
        with pytest.raises(TypeError, match="^argument 'filepath': "):
            ECCs.from_postcard(bad)
        with pytest.raises(TypeError, match="^argument 'filepath': "):
            collections[0].dump_postcard(bad)
        with pytest.raises(TypeError, match="^argument 'filepath': "):
            collections[0].dump_quartz(bad)


@pytest.mark.parametrize(
    "data, message",
    [
        (WORKED_EXAMPLE[:20], "Hit the end of buffer, expected more data"),
        (b"", "Hit the end of buffer, expected more data"),
        (b"\x80\x80\x80\x80\x80\x00", "Found a varint that didn't terminate. Is the usize too big for this platform?"),
        (b"\x01\x01\x01\x01\xff\x00\xff\x88\x80\x80\x10\x02", "Tried to parse invalid utf-8"),
        (b"\x00\x80\x80\x80\x80\x10", "Serde Deserialization Error"),
        (b"\xff\xff\xff\xff\x0f", "Hit the end of buffer, expected more data"),
        (b"\x01\x01\x01\x81\x40" + b"h" * 8193, "Hit the end of buffer, expected more data"),
    ],
)
def test_decoding_failures_raise_value_error(tmp_path, data, message):
    with pytest.raises(ValueError) as info:
        load_bytes(tmp_path, data)
    assert str(info.value) == "Failed to read postcard data: " + message


def test_unregistered_gate_stops_the_load(tmp_path, capfd, panics):
    with panics("Failed to deserialize Gate16 from nope"):
        load_bytes(tmp_path, b"\x01\x01\x01\x04nope\x00\xff\x88\x80\x80\x10\x02")
    assert "Failed to deserialize Gate16 from nope" in capfd.readouterr().err


def test_a_file_that_is_not_a_class_file_is_quoted_up_to_64_characters(tmp_path, capfd, panics):
    text = "root:x:0:0:root:/root:/bin/bash\ndaemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n" * 100
    path = tmp_path / "passwd"
    path.write_text(text)
    # Read as a class file: "r" classes, "o" circuits, "o" instructions, then a gate text of "t"
    # (116) bytes.
    quoted = "Failed to deserialize Gate16 from " + text[4:68] + "\u2026"
    with panics(quoted):
        ECCs.from_postcard(str(path))
    err = capfd.readouterr().err
    assert quoted in err and text[4:69] not in err


def test_load_in_a_process_without_the_gate_stops(tmp_path):
    g = Gate("pyfile_only_here", [], np.array([[1, 0], [0, np.exp(0.777j)]]))
    raw, _ = RawECCs.generate(Evaluator(1), [g], 2)
    path = tmp_path / "g.bin"
    raw.simplify().dump_postcard(str(path))
    code = textwrap.dedent(f"""
        import morvane
        try:
            morvane.ECCs.from_postcard({str(path)!r})
        except BaseException as e:
            print(type(e).__name__, e)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.stdout.strip().startswith("PanicException Failed to deserialize Gate16 from pyfile_only_here")


def test_file_errors(tmp_path, collections):
    eccs = collections[0]
    with pytest.raises(ValueError, match=r"^Failed to write postcard data: No space left on device \(os error 28\)$"):
        eccs.dump_postcard("/dev/full")
    with pytest.raises(ValueError, match=r"^Failed to write JSON: No space left on device \(os error 28\)$"):
        eccs.dump_quartz("/dev/full")
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)  # written in place, never replaced
    assert not (tmp_path / "a").exists()


def os_error_cases(tmp_path):
    """(call, exception type, errno, message) for the file errors that raise OSError."""
    eccs = load_bytes(tmp_path, WORKED_EXAMPLE, "good.bin")
    missing = str(tmp_path / "no" / "x.bin")
    directory = str(tmp_path)
    return [
        (lambda: eccs.dump_postcard(missing), FileNotFoundError, errno.ENOENT,
         "Failed to create file: No such file or directory (os error 2)"),
        (lambda: eccs.dump_quartz(missing), FileNotFoundError, errno.ENOENT,
         "Failed to create file: No such file or directory (os error 2)"),
        (lambda: ECCs.from_postcard(missing), FileNotFoundError, errno.ENOENT,
         "Failed to open file: No such file or directory (os error 2)"),
        (lambda: eccs.dump_postcard(directory), IsADirectoryError, errno.EISDIR,
         "Failed to create file: Is a directory (os error 21)"),
        (lambda: eccs.dump_quartz(directory), IsADirectoryError, errno.EISDIR,
         "Failed to create file: Is a directory (os error 21)"),
        (lambda: ECCs.from_postcard(directory), IsADirectoryError, errno.EISDIR,
         "Failed to open file: Is a directory (os error 21)"),
        (lambda: ECCs.from_postcard(str(tmp_path / "good.bin") + "/x"), NotADirectoryError, errno.ENOTDIR,
         "Failed to open file: Not a directory (os error 20)"),
        (lambda: eccs.dump_postcard(str(tmp_path / "a\0b")), OSError, errno.EINVAL,
         "Failed to create file: Invalid argument (os error 22)"),
        (lambda: ECCs.from_postcard("/dev/null"), OSError, errno.EINVAL,
         "Failed to open file: Invalid argument (os error 22)"),
    ]


def test_os_errors_are_the_subclass_of_their_errno_with_the_message_alone(tmp_path):
    for call, kind, number, message in os_error_cases(tmp_path):
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is kind, message
        assert info.value.errno == number
        assert str(info.value) == message
        assert info.value.args == (message,)
    assert sorted(os.listdir(tmp_path)) == ["good.bin"]


NOBODY = 65534


def as_nobody(code):
    """Runs `code` with the module as the user nobody (root passes every permission check)."""
    user = NOBODY if os.geteuid() == 0 else None
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=60, user=user, group=user,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})


@pytest.fixture
def shared_dir():
    """A directory that every user can reach (pytest's own are private to their owner)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="morvane_shared_"))
    path.chmod(0o777)
    yield path
    for sub in path.iterdir():
        if sub.is_dir():
            sub.chmod(0o755)
    shutil.rmtree(path)


def test_permission_errors_keep_the_file(shared_dir):
    tmp_path = shared_dir
    locked = tmp_path / "locked"  # files may be written here, but none created
    locked.mkdir()
    (locked / "f.bin").write_bytes(WORKED_EXAMPLE)
    (locked / "f.bin").chmod(0o666)
    locked.chmod(0o555)
    read_only = tmp_path / "read_only.bin"
    read_only.write_bytes(WORKED_EXAMPLE)
    read_only.chmod(0o444)
    out = as_nobody(f"""
        from morvane import ECCs
        eccs = ECCs.from_postcard({str(read_only)!r})
        for path in ({str(locked / "f.bin")!r}, {str(read_only)!r}):
            try:
                eccs.dump_postcard(path)
            except OSError as e:
                print(type(e).__name__, e.errno, e)
    """)
    assert out.stdout.splitlines() == ["PermissionError 13 Failed to create file: Permission denied (os error 13)"] * 2, out.stderr
    assert (locked / "f.bin").read_bytes() == WORKED_EXAMPLE and read_only.read_bytes() == WORKED_EXAMPLE
    assert os.listdir(locked) == ["f.bin"]


def test_loading_a_fifo_fails_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code = f"""
        from morvane import ECCs
        try:
            ECCs.from_postcard({str(fifo)!r})
        except OSError as e:
            print(type(e).__name__, e.errno, e)
    """
    # In a child process, so that a load that waits for a writer fails the test instead of hanging it.
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.stdout.strip() == "OSError 22 Failed to open file: Invalid argument (os error 22)", out.stderr


@pytest.fixture
def small_disk(tmp_path):
    """A tmpfs of 64 KiB, unmounted afterwards; skipped where mounting is not allowed."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("a tmpfs cannot be mounted here")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=True)


def test_running_out_of_space_keeps_the_file_that_was_there(tmp_path, small_disk):
    n = 4000  # copies of the worked example's second class: a file of about 100 KiB
    big = load_bytes(tmp_path, bytes([0x80 | n & 0x7F, n >> 7]) + WORKED_EXAMPLE[11:37] * n + b"\x02")
    small = load_bytes(tmp_path, WORKED_EXAMPLE)
    target, json_target = small_disk / "eccs.bin", small_disk / "eccs.json"
    small.dump_postcard(str(target))
    small.dump_quartz(str(json_target))
    saved = target.read_bytes(), json_target.read_bytes()
    full = "No space left on device (os error 28)"
    for call, message in [
        (lambda: big.dump_postcard(str(target)), "Failed to write postcard data: " + full),
        (lambda: big.dump_quartz(str(json_target)), "Failed to write JSON: " + full),
        (lambda: big.dump_postcard(str(small_disk / "new.bin")), "Failed to write postcard data: " + full),
    ]:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    assert (target.read_bytes(), json_target.read_bytes()) == saved
    assert ECCs.from_postcard(str(target)) == small
    assert sorted(os.listdir(small_disk)) == ["eccs.bin", "eccs.json"]


def self_adjoint_gate(name, params, phase):
    """A gate equal to its adjoint, so that a search over it uses no second gate."""
    p = np.exp(1j * phase)
    return Gate(name, params, np.array([[0, np.conj(p)], [p, 0]]))


@pytest.mark.parametrize(
    "name, params, phase, message",
    [
        ("h", [], 0.41, r"Gate\(\d+ -> h\) would load back as Gate\(1 -> h\), registered earlier with the same display text"),
        ("rz", ["pi/3"], 0.42,
         r"Gate\(\d+ -> rz\(pi/3\)\) would load back as Gate\(17 -> rz\(pi/3\)\), registered earlier with the same "
         r"display text"),
        ("q" * 8193, [], 0.43,
         r"Gate\(\d+ -> q{64}\.\.\.\) has a display text of 8193 bytes, longer than the 8192 bytes a reader accepts"),
    ],
)
def test_gates_that_would_not_load_back_are_refused_before_saving(tmp_path, name, params, phase, message):
    raw, _ = RawECCs.generate(Evaluator(1), [self_adjoint_gate(name, params, phase)], 2)
    eccs = raw.simplify()
    existing = tmp_path / "existing.bin"
    existing.write_bytes(WORKED_EXAMPLE)
    for path in (existing, tmp_path / "new.bin"):
        with pytest.raises(ValueError) as info:
            eccs.dump_postcard(str(path))
        assert re.fullmatch("Failed to write postcard data: " + message, str(info.value)), str(info.value)
    # A Quartz reader knows gates by name too, but reads texts of any length.
    if "would load back" in message:
        for path in (existing, tmp_path / "new.json"):
            with pytest.raises(ValueError) as info:
                eccs.dump_quartz(str(path))
            assert re.fullmatch("Failed to write JSON: " + message, str(info.value)), str(info.value)
    else:
        eccs.dump_quartz(str(tmp_path / "long.json"))
        assert name in (tmp_path / "long.json").read_text(encoding="utf-8")
        os.remove(tmp_path / "long.json")
    assert existing.read_bytes() == WORKED_EXAMPLE
    assert os.listdir(tmp_path) == ["existing.bin"]


def test_two_gates_with_one_name_are_refused_in_a_quartz_export(tmp_path):
    first, second = self_adjoint_gate("sx_twin", [], 0.45), self_adjoint_gate("sx_twin", [], 0.46)
    assert first != second
    raw, _ = RawECCs.generate(Evaluator(1), [first, second], 2)
    path = tmp_path / "twins.json"
    with pytest.raises(ValueError) as info:
        raw.simplify().dump_quartz(str(path))
    gate = re.escape(str(second))
    assert re.fullmatch(rf"Failed to write JSON: Gate\(\d+ -> {gate}\) would load back as Gate\(\d+ -> {gate}\), "
                        "registered earlier with the same display text", str(info.value)), str(info.value)
    assert not path.exists()


def test_the_longest_gate_text_a_reader_accepts_is_saved_and_loaded(tmp_path):
    raw, _ = RawECCs.generate(Evaluator(1), [self_adjoint_gate("w" * 8192, [], 0.44)], 2)
    eccs = raw.simplify()
    eccs.dump_postcard(str(tmp_path / "w.bin"))
    assert ECCs.from_postcard(str(tmp_path / "w.bin")) == eccs


def test_relative_path_uses_working_directory(tmp_path, collections, monkeypatch):
    monkeypatch.chdir(tmp_path)
    collections[1].dump_postcard("rel.bin")
    assert (tmp_path / "rel.bin").exists()
    assert ECCs.from_postcard("rel.bin") == collections[1]
