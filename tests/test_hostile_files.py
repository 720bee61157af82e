"""Trace databases and paths from elsewhere (a shared folder, a download, a cloned repository):
whatever they hold, a command answers in one line and in bounded memory, and writes nothing
where others can read it."""

import os
import sqlite3
import struct
import subprocess
import sys
import tempfile
import tracemalloc

import msgpack
import pytest
import zstandard

from vesk import db
from vesk.__main__ import main
from vesk.view.values import clean

NOBODY = 65534
TRACE = "trc_HOSTILE"


def record(event, t, name="main", fid="a"):
    return {"path": f"/src/{name}.py:1", "co_name": name, "qualname": f"app.{name}", "event": event,
            "frame_id": fid, "arg": None, "locals": {}, "thread": "MainThread", "thread_native_id": 1,
            "timestamp": t, "type": "frame", "user_code_call_site": None}


def part(records):
    return msgpack.packb({"command_line_args": [], "current_commit_sha": None, "frames": {},
                          "frames_of_interest": records, "main_thread_id": 1,
                          "meta": {"version": "0", "source": "app.py", "use_frame_boundaries": True},
                          "timestamp": 1.0, "trace_id": TRACE})


def database(tmp_path, records=None, **columns):
    """A database of one trace of one part, its columns then set as given."""
    path = tmp_path / "db.sqlite3"
    db.save_trace_in_sqlite(path, TRACE, msgpack=part(records or [record("call", 1.0), record("return", 2.0)]))
    with sqlite3.connect(path) as conn:
        for column, value in columns.items():
            conn.execute(f"UPDATE traces SET {column} = ?", (value,))
    conn.close()
    return path


def command(capsys, *args):
    status = main(list(args))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def one_line(err):
    assert len(err.splitlines()) == 1 and "Traceback" not in err, err
    return err


def frame_claiming(size):
    """A zstd frame whose header claims size bytes and which holds none."""
    return b"\x28\xb5\x2f\xfd" + bytes([0b11100000]) + struct.pack("<Q", size) + b"\x01\x00\x00"


BOMB = zstandard.ZstdCompressor(level=3).compress(bytes(256 << 20))

UNREADABLE_PARTS = {
    "garbage zstd": dict(msgpack=b"\x28\xb5\x2f\xfd" + b"garbage" * 4, encoding="zstd"),
    "text blob": dict(msgpack="text, not bytes", encoding=None),
    "text blob, zstd": dict(msgpack="text, not bytes", encoding="zstd"),
    "bomb past its raw_size": dict(msgpack=BOMB, encoding="zstd", raw_size=4096),
    "raw_size past the ceiling": dict(msgpack=frame_claiming(1 << 40), encoding="zstd", raw_size=1 << 40),
    "frame claiming a terabyte": dict(msgpack=frame_claiming(1 << 40), encoding="zstd", raw_size=None),
    # no writer compresses a part without storing its size: nothing would bound the output
    "bomb with no raw_size": dict(msgpack=BOMB, encoding="zstd", raw_size=None),
    # a frame cut short after whole blocks reads as less than it held, and says nothing of it
    "frame cut after its header": dict(msgpack=zstandard.ZstdCompressor(write_content_size=False).compress(
        bytes(1000))[:6], encoding="zstd", raw_size=0),
    "bomb without its size in the frame": dict(msgpack=zstandard.ZstdCompressor(write_content_size=False).compress(
        bytes(256 << 20)), encoding="zstd", raw_size=4096),
    "raw_size not a count": dict(raw_size="big"),
}


@pytest.mark.parametrize("columns", UNREADABLE_PARTS.values(), ids=UNREADABLE_PARTS.keys())
@pytest.mark.parametrize("verb", ["show", "stats", "export"])
def test_unreadable_part_is_one_line_in_bounded_memory(tmp_path, capsys, monkeypatch, verb, columns):
    path = database(tmp_path, **columns)
    monkeypatch.chdir(tmp_path)
    tracemalloc.start()
    try:
        status, _, err = command(capsys, verb, "--db", str(path))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert status == 1
    assert one_line(err).startswith(f"vesk: trace {TRACE} part 1 cannot be read: ")
    assert peak < 64 << 20
    assert not (tmp_path / "trace.json").exists()


@pytest.mark.parametrize("column, value", [("source", b"\xff\x00bytes"), ("trace_id", b"trc_bytes")])
def test_listing_takes_any_column_type(tmp_path, capsys, column, value):
    path = database(tmp_path, **{column: value})
    status, out, err = command(capsys, "traces", "--db", str(path))
    assert (status, err) == (0, "")
    assert len(out.splitlines()) == 2


@pytest.mark.parametrize("column", ["record_count", "size"])
def test_listing_takes_counts_past_what_a_sum_holds(tmp_path, capsys, column):
    # Two parts whose counts add up past 64 bits: the listing's sum failed, and no trace of the
    # database could be listed.
    path = database(tmp_path)
    db.save_trace_in_sqlite(path, TRACE, msgpack=part([record("call", 3.0)]))
    db.save_trace_in_sqlite(path, "trc_OTHER", msgpack=part([record("call", 1.0)]))
    with sqlite3.connect(path) as conn:
        conn.execute(f"UPDATE traces SET {column} = ? WHERE trace_id = ?", (1 << 62, TRACE))
    conn.close()
    status, out, err = command(capsys, "traces", "--db", str(path))
    assert (status, err) == (0, "")
    assert [line.split()[0] for line in out.splitlines()[1:]] == ["trc_OTHER", TRACE]
    listed = {s.trace_id: s for s in db.list_traces(path)}
    assert (listed["trc_OTHER"].record_count, listed[TRACE].record_count) == (1, None if column == "record_count" else 3)


@pytest.mark.parametrize("parents, children", [
    pytest.param({TRACE: TRACE}, 0, id="its-own-parent"),
    pytest.param({TRACE: "trc_OTHER", "trc_OTHER": TRACE}, 1, id="each-others-parent"),
    pytest.param({"trc_OTHER": "trc_THIRD", "trc_THIRD": TRACE, TRACE: "trc_OTHER"}, 2, id="a-loop-of-three"),
])
def test_parent_links_that_loop_hide_no_trace(tmp_path, capsys, parents, children):
    # Traces named as each other's parents were listed by nobody (each waited for its parent),
    # and the children of one were looked for for ever.
    path = database(tmp_path)
    for trace_id in ("trc_OTHER", "trc_THIRD"):
        db.save_trace_in_sqlite(path, trace_id, msgpack=part([record("call", 1.0)]))
    with sqlite3.connect(path) as conn:
        for trace_id, parent in parents.items():
            conn.execute("UPDATE traces SET parent_trace_id = ? WHERE trace_id = ?", (parent, trace_id))
    conn.close()
    status, out, err = command(capsys, "traces", "--db", str(path))
    assert (status, err) == (0, "")
    assert sorted(line.split()[0] for line in out.splitlines()[1:]) == sorted([TRACE, "trc_OTHER", "trc_THIRD"])
    status, out, err = command(capsys, "show", TRACE, "--children", "--db", str(path))
    assert (status, err) == (0, "")
    assert out.count("= child process") == children


@pytest.mark.parametrize("low, high", [(-1e308, 1e308), (1.0, 1e300), (-1e300, 1.0)])
def test_export_of_timestamps_past_any_clock_is_one_line(tmp_path, capsys, low, high):
    path = database(tmp_path, [record("call", low), record("call", 2.0, "g", "b"),
                               record("return", high, "g", "b"), record("return", high)])
    status, _, err = command(capsys, "export", "--db", str(path), "-o", str(tmp_path / "out.json"))
    assert status == 1
    assert one_line(err).startswith(f"vesk: trace {TRACE}: its timestamps span ")


def test_export_file_is_private_and_whole(tmp_path, capsys, monkeypatch):
    path = database(tmp_path)
    out = tmp_path / "out.json"
    out.write_text("the previous export")
    os.chmod(out, 0o644)
    import vesk.export

    real_write = vesk.export._write

    def killed_half_way(trace, tracks, spill, file, progress):
        file.write('{"traceEvents":[')
        raise KeyboardInterrupt

    monkeypatch.setattr(vesk.export, "_write", killed_half_way)
    with pytest.raises(KeyboardInterrupt):
        main(["export", "--db", str(path), "-o", str(out)])
    assert out.read_text() == "the previous export"
    assert [name for name in os.listdir(tmp_path) if "out.json" in name] == ["out.json"]

    monkeypatch.setattr(vesk.export, "_write", real_write)
    assert command(capsys, "export", "--db", str(path), "-o", str(out))[0] == 0
    assert os.stat(out).st_mode & 0o777 == 0o600
    assert out.read_text().startswith('{"traceEvents":[')


def as_nobody(action):
    """action() run in a forked child with the uid of nobody: its exception's text, or None."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            action()
            message = b""
        except BaseException as exc:  # noqa: BLE001 - told to the parent
            message = f"{type(exc).__name__}: {exc}".encode() or b"?"
        os.write(write, message)
        os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        message = pipe.read().decode()
    os.waitpid(pid, 0)
    return message or None


@pytest.mark.skipif(os.geteuid() != 0, reason="makes files of another user")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_read_only_database_is_refused_before_recording(tmp_path):
    with tempfile.TemporaryDirectory() as folder:  # pytest's are closed to other users
        os.chown(folder, NOBODY, NOBODY)
        path = os.path.join(folder, "db.sqlite3")
        with sqlite3.connect(database(tmp_path)) as source, sqlite3.connect(path) as copy:
            source.backup(copy)
        source.close()
        copy.close()
        os.chown(path, NOBODY, NOBODY)
        os.chmod(path, 0o400)
        assert "readonly" in (as_nobody(lambda: db.prepare_for_writing(path)) or "")


def test_rm_refuses_an_empty_pattern(tmp_path, capsys):
    path = database(tmp_path, test_nodeid="tests/test_a.py::test_one")
    status, _, err = command(capsys, "rm", "--db", str(path), "--test", "")
    assert status == 2 and one_line(err).startswith("vesk: rm: ")
    assert [s.trace_id for s in db.list_traces(path)] == [TRACE]


BIDI = [0x061C, 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A)]


@pytest.mark.parametrize("code", BIDI, ids=hex)
def test_bidirectional_controls_are_escaped(code):
    assert clean(f"a{chr(code)}b") == f"a\\u{code:04x}b"


@pytest.mark.parametrize("verb", ["show", "stats"])
def test_names_reach_the_terminal_escaped(tmp_path, capsys, verb):
    name = "admin\u202eexe.txt"
    path = database(tmp_path, [record("call", 1.0, name), record("return", 2.0, name)])
    status, out, _ = command(capsys, verb, "--db", str(path))
    assert status == 0 and "\u202e" not in out and "admin\\u202eexe" in out


def planted(tmp_path, how):
    """A database path as another user may have left it: (path, the file a write would reach)."""
    path = tmp_path / "db.sqlite3"
    target = tmp_path / "elsewhere.sqlite3"
    if how == "dangling link":
        path.symlink_to(target)
    elif how == "journal link":
        database(tmp_path)
        (tmp_path / "db.sqlite3-wal").unlink(missing_ok=True)
        (tmp_path / "db.sqlite3-wal").symlink_to(target)
    elif how == "journal open to all":
        database(tmp_path)
        shm = tmp_path / "db.sqlite3-shm"
        shm.touch()
        os.chmod(shm, 0o666)
        target = shm
    elif how == "link to a database":
        database(tmp_path).rename(target)
        path.symlink_to(target)
    else:
        path.touch()
        os.chmod(path, 0o666 if how == "open to all" else 0o600)
        if how == "another user's":
            os.chown(path, NOBODY, NOBODY)
        target = path
    return path, target


@pytest.mark.parametrize("how, shared_ok", [
    ("dangling link", False), ("link to a database", False), ("open to all", True),
    ("journal link", False), ("journal open to all", True),
    pytest.param("another user's", True, marks=pytest.mark.skipif(os.geteuid() != 0, reason="chown")),
])
def test_others_database_files_are_refused(tmp_path, how, shared_ok):
    path, target = planted(tmp_path, how)
    before = target.stat() if target.exists() else None
    with pytest.raises(db.UnsafeDatabase):
        db.prepare_for_writing(path)
    after = target.stat() if target.exists() else None
    assert (after and (after.st_size, after.st_mode)) == (before and (before.st_size, before.st_mode))
    if shared_ok:
        db.prepare_for_writing(path, shared=True)
        assert [s.trace_id for s in db.list_traces(path)] == ([TRACE] if "journal" in how else [])
    else:
        with pytest.raises(db.UnsafeDatabase):
            db.prepare_for_writing(path, shared=True)


def test_run_refuses_a_shipped_vesk_folder_link(tmp_path):
    (tmp_path / "elsewhere").mkdir()
    (tmp_path / ".vesk").symlink_to(tmp_path / "elsewhere")
    run = [sys.executable, "-m", "vesk", "run", "-c", "print('ran')"]
    result = subprocess.run(run, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (2, "")
    assert one_line(result.stderr).startswith("vesk: cannot store traces in .vesk/db.sqlite3: ")
    assert os.listdir(tmp_path / "elsewhere") == []
    result = subprocess.run([*run[:4], "--db-shared", *run[4:]], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "ran\n")


def test_pytest_refuses_a_planted_database_before_any_test(tmp_path):
    (tmp_path / "test_one.py").write_text("def test_one():\n    pass\n")
    path, _ = planted(tmp_path, "open to all")
    run = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vesk",
           f"--vesk-db={path}", "test_one.py"]
    result = subprocess.run(run, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == pytest.ExitCode.USAGE_ERROR and "passed" not in result.stdout
    assert f"vesk: cannot store traces in {path}: " in result.stderr
    assert "--vesk-db-shared" in result.stderr and path.stat().st_size == 0
    result = subprocess.run([*run, "--vesk-db-shared"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert [s.test_nodeid for s in db.list_traces(path)] == ["test_one.py::test_one"]


DEEP_LABELS = '{"a":' + "[" * 100000


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_one_rows_labels_cost_that_row_only(request, tmp_path, capsys, kind):
    """Labels made to break a parser (nested past any recursion limit) leave every listing whole:
    the row lists, with no labels."""
    path = database(tmp_path)
    db.save_trace_in_sqlite(path, "trc_OTHER", msgpack=part([record("call", 1.0), record("return", 2.0)]))
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE traces SET labels = ?, test_outcome = 'failed' WHERE trace_id = ?", (DEEP_LABELS, TRACE))
    conn.close()
    store = str(path)
    if kind == "postgres":
        store = request.getfixturevalue("pg").url
        status, _, err = command(capsys, "push", "--db", str(path), "--to", store, TRACE, "trc_OTHER")
        assert status == 0, err
        import psycopg

        with psycopg.connect(store, autocommit=True) as conn:
            conn.execute("UPDATE traces SET labels = %s, test_outcome = 'failed' WHERE trace_id = %s",
                         (DEEP_LABELS, TRACE))
    status, out, err = command(capsys, "traces", "--db", store)
    assert (status, err) == (0, "") and TRACE in out and "trc_OTHER" in out
    status, out, err = command(capsys, "pull", "--db", str(tmp_path / "copy.sqlite3"), "--from", store, "--failed")
    assert status == 0, err
    from vesk.ui.api import Api

    listed = {t["id"]: t["labels"] for t in Api(store).traces()}
    assert listed == {TRACE: [], "trc_OTHER": []}


ESCAPES = "\x1b]0;owned\x07\x1b[2J\u202e"


@pytest.mark.parametrize("args", [
    ["traces"], ["prune", "--keep", "0", "--dry-run"], ["push", "--to", "{copy}", "--failed"],
    ["show", "--test", "t"], ["diff", "--test", "t"], ["show", "trc_ESC"], ["rm", "--test", "test_x"],
])
def test_every_line_that_prints_recorded_text_escapes_it(tmp_path, capsys, args):
    """Trace ids, test names and sources from a file from elsewhere never drive the terminal."""
    path = database(tmp_path)
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE traces SET trace_id = ?, source = ?, test_nodeid = ?, test_outcome = 'failed'",
                     (f"trc_ESC{ESCAPES}", f"app.py{ESCAPES}", f"test_x{ESCAPES}"))
        row = conn.execute("SELECT * FROM traces").fetchone()
        conn.execute(f"INSERT INTO traces VALUES ({', '.join('?' * len(row))})",
                     (None, *row[1:3], row[3], *row[4:]))
        conn.execute("UPDATE traces SET test_nodeid = ? WHERE id = 2", (f"test_y{ESCAPES}",))
    conn.close()
    args = [a.replace("{copy}", str(tmp_path / "copy.sqlite3")) for a in args]
    _, out, err = command(capsys, *args, "--db", str(path))
    assert "\x1b" not in out + err and "\x07" not in out + err and "\u202e" not in out + err, out + err
