"""The vesk command as a careful user meets it: paths fixed before the program runs, places that
cannot take traces refused at once, programs run the ways python runs them, SIGTERM, a locked or
broken database, and every error as one line."""

import json
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import time
import zipfile

import pytest

import vesk
from vesk import db


def vesk_command(*args, cwd, **kwargs):
    kwargs.setdefault("timeout", 60)
    return subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, capture_output=True,
                          text=True, **kwargs)


def write(path, source):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source))
    return path


def one_line(result, status):
    assert result.returncode == status, result.stderr
    assert "Traceback" not in result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("vesk: "), result.stderr
    return lines[0]


def recorded(database):
    return db.list_traces(database) if os.path.exists(database) else []


@pytest.mark.parametrize("db_option", [None, "relative.sqlite3"])
def test_paths_are_fixed_before_the_program_runs(tmp_path, db_option):
    (tmp_path / "elsewhere").mkdir()
    write(tmp_path / "app" / "moves.py", """
        import os
        here = os.path.dirname(__file__)
        os.chdir(os.path.join(here, os.pardir, "elsewhere"))
        print(os.path.dirname(__file__) == here)
    """)
    options = ["--db", db_option] if db_option else []
    result = vesk_command("run", *options, "app/moves.py", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, "True\n"), result.stderr
    database = tmp_path / (db_option or ".vesk/db.sqlite3")
    assert len(recorded(database)) == 1
    assert not any((tmp_path / "elsewhere").iterdir())
    if db_option is None:
        assert (tmp_path / ".vesk" / ".gitignore").read_text().splitlines()[-1] == "*"


@pytest.mark.parametrize("place", ["a directory", "inside a file", "a broken database"])
def test_a_place_that_cannot_take_traces_is_refused_at_once(tmp_path, place):
    script = write(tmp_path / "prog.py", "open('ran', 'w').close()\n")
    target = tmp_path / "target"
    if place == "a directory":
        target.mkdir()
        database = target
    elif place == "inside a file":
        target.write_text("")
        database = target / "db.sqlite3"
    else:
        database = target
        database.write_bytes(b"SQLite format 3\x00" + b"\xff" * 4000)
    line = one_line(vesk_command("run", "--db", str(database), str(script), cwd=tmp_path), 2)
    assert line.startswith(f"vesk: cannot store traces in {database}")
    assert not (tmp_path / "ran").exists()


PROBE = """
import sys
print(sys.argv, repr(sys.path[0]), __name__, globals().get("__file__"))
def helper():
    return 1
helper()
"""


@pytest.mark.parametrize("kind", ["directory", "zip", "-c", "-"])
def test_runs_what_python_runs(tmp_path, kind):
    if kind == "directory":
        write(tmp_path / "app" / "__main__.py", PROBE)
        args, stdin = ["app", "x"], None
    elif kind == "zip":
        with zipfile.ZipFile(tmp_path / "app.zip", "w") as archive:
            archive.writestr("__main__.py", PROBE)
        args, stdin = ["app.zip", "x"], None
    elif kind == "-c":
        args, stdin = ["-c", PROBE, "x"], None
    else:
        args, stdin = ["-", "x"], PROBE
    plain = subprocess.run([sys.executable, *args], cwd=tmp_path, input=stdin,
                           capture_output=True, text=True)
    result = vesk_command("run", *args, cwd=tmp_path, input=stdin)
    assert (result.returncode, result.stdout) == (0, plain.stdout), result.stderr
    (summary,) = recorded(tmp_path / ".vesk" / "db.sqlite3")
    # The program's own code is recorded, however it was given.
    assert summary.record_count == 4


def test_a_syntax_error_is_pythons_message_and_no_trace(tmp_path):
    write(tmp_path / "bad.py", "def broken(:\n    pass\n")
    plain = subprocess.run([sys.executable, "bad.py"], cwd=tmp_path, capture_output=True,
                           text=True)
    result = vesk_command("run", "bad.py", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (1, plain.stderr)
    assert recorded(tmp_path / ".vesk" / "db.sqlite3") == []


def test_sigterm_saves_the_trace_then_ends_as_python_would(tmp_path):
    write(tmp_path / "forever.py", """
        import time
        def tick():
            time.sleep(0.01)
        print("ready", flush=True)
        while True:
            tick()
    """)
    process = subprocess.Popen([sys.executable, "-m", "vesk", "run", "forever.py"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "ready\n"
    time.sleep(0.2)
    process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=60)
    assert process.returncode == -signal.SIGTERM, err
    (summary,) = recorded(tmp_path / ".vesk" / "db.sqlite3")
    assert summary.record_count > 2


def test_a_locked_database_is_said_to_be_waited_for(tmp_path):
    database = tmp_path / "busy.sqlite3"
    db.prepare_for_writing(database)
    write(tmp_path / "quick.py", "print('ran')\n")
    blocker = sqlite3.connect(database, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    process = subprocess.Popen([sys.executable, "-m", "vesk", "run", "--db", str(database),
                                "quick.py"], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    time.sleep(2.5)
    blocker.execute("ROLLBACK")
    blocker.close()
    out, err = process.communicate(timeout=60)
    assert (process.returncode, out) == (0, "ran\n"), err
    assert "waiting for another writer" in err


def broken_database(folder):
    """A database cut short, as a full disk or a copy in progress leaves it."""
    database = folder / "cut.sqlite3"
    # Written by another process, which keeps no connection to it open here.
    subprocess.run([sys.executable, "-c", "import os, sys\nfrom vesk import db\nfor i in range(40):\n"
                    "    db.save_trace_in_sqlite(sys.argv[1], f'trc_{i}', msgpack=os.urandom(4000))",
                    str(database)], check=True)
    with sqlite3.connect(database) as conn:
        conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    with open(database, "r+b") as file:
        file.truncate(4 * 4096)
    return database


@pytest.mark.parametrize("case", ["traces of a cut database", "show of a cut database",
                                  "run into a cut database", "export to a missing folder",
                                  "export to a directory", "negative limit", "negative depth"])
def test_errors_are_one_line(tmp_path, case):
    database = str(broken_database(tmp_path)) if "cut" in case else str(tmp_path / "d.sqlite3")
    if "cut" not in case:
        vesk.db.save_trace_in_sqlite(database, "trc_1", msgpack=b"\x80")
    write(tmp_path / "prog.py", "pass\n")
    command = {
        "traces of a cut database": ["traces"],
        "show of a cut database": ["show"],
        "run into a cut database": ["run", "prog.py"],
        "export to a missing folder": ["export", "-o", str(tmp_path / "missing" / "x.json")],
        "export to a directory": ["export", "-o", str(tmp_path)],
        "negative limit": ["show", "--limit", "-1"],
        "negative depth": ["show", "--depth", "-1"],
    }[case]
    result = vesk_command(command[0], "--db", database, *command[1:], cwd=tmp_path)
    if case.startswith("negative"):
        # argparse's own refusal: usage, then the reason.
        assert result.returncode == 2 and "must be at least" in result.stderr
        assert "Traceback" not in result.stderr
    else:
        one_line(result, 2 if case == "run into a cut database" or "directory" in case else 1)


def test_output_cut_short_by_its_reader_is_quiet(tmp_path):
    database = tmp_path / "many.sqlite3"
    db.save_trace_in_sqlite(database, "trc_0", msgpack=b"\x80")
    with sqlite3.connect(database) as conn:
        conn.executemany("INSERT INTO traces (trace_id, created_at, size, msgpack) "
                         "VALUES (?, 0, 1, x'80')", [(f"trc_{i:04}",) for i in range(3000)])
    result = subprocess.run(f"{sys.executable} -m vesk traces --db {database} | head -1",
                            shell=True, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.stdout.startswith("TRACE") and result.stderr == ""


def test_a_database_on_a_read_only_place_is_read(tmp_path):
    folder = tmp_path / "ro"
    write(folder / "prog.py", "def f():\n    return 1\nf()\n")
    assert vesk_command("run", "--db", "traces.sqlite3", "prog.py", cwd=folder).returncode == 0
    if os.geteuid() == 0:
        if subprocess.run(["chattr", "+i", str(folder)], capture_output=True).returncode != 0:
            pytest.skip("no way to make a folder read-only for root here")
        undo = ["chattr", "-i", str(folder)]
    else:
        folder.chmod(0o555)
        undo = ["chmod", "755", str(folder)]
    try:
        listed = vesk_command("traces", "--db", "traces.sqlite3", cwd=folder)
        shown = vesk_command("show", "--db", "traces.sqlite3", cwd=folder)
        exported = vesk_command("export", "--db", "traces.sqlite3", "-o", "-", cwd=folder)
    finally:
        subprocess.run(undo, check=True)
    assert listed.returncode == 0 and "vesk run prog.py" in listed.stdout, listed.stderr
    assert shown.returncode == 0 and "__main__.f()" in shown.stdout, shown.stderr
    assert exported.returncode == 0 and json.loads(exported.stdout)["traceEvents"]


def test_version(tmp_path):
    result = vesk_command("--version", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, f"vesk {vesk.__version__}\n")
