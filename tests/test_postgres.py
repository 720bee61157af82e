"""The shared store on a PostgreSQL server behaves as the SQLite file does, for writers and every
reading command; many writers at once lose nothing, a writer killed mid-save leaves no partial
part, and a password goes nowhere but to the server."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from postgres import ADMIN_PASSWORD, READER_PASSWORD, WRITER_PASSWORD
from vesk import db
from vesk.filters import db_password, postgres

PASSWORDS = (ADMIN_PASSWORD, WRITER_PASSWORD, READER_PASSWORD)


def vesk_command(*args, cwd, env=None, timeout=120):
    return subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout, env=env)


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path):
    """(where writers write, where readers read): a SQLite file for both, or a database on the
    tests' server with its writer role and its read-only role."""
    if request.param == "sqlite":
        path = str(tmp_path / "traces.sqlite3")
        return path, path
    database = request.getfixturevalue("pg")
    return database.url, database.reader_url


PROGRAM = """
    import subprocess, sys

    def square(x):
        return x * x

    def main(n):
        subprocess.run([sys.executable, "-c", "def child(): return 7\\nchild()"], check=True)
        return square(n)

    print(main(int(sys.argv[1])))
"""


def _ok(result):
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_every_command_on_either_store(store, tmp_path):
    writer, reader = store
    (tmp_path / "prog.py").write_text(textwrap.dedent(PROGRAM))
    for n in (3, 4):
        assert _ok(vesk_command("run", "--db", writer, "prog.py", str(n), cwd=tmp_path)) == f"{n * n}\n"
    summaries = db.list_traces(reader)
    programs = [s for s in summaries if s.parent_trace_id is None]
    children = [s for s in summaries if s.parent_trace_id is not None]
    assert len(programs) == 2 and len(children) == 2
    assert {c.parent_trace_id for c in children} == {p.trace_id for p in programs}
    assert programs[0].record_count > 0 and programs[0].source.endswith("prog.py 4")

    listed = _ok(vesk_command("traces", "--db", reader, cwd=tmp_path))
    assert all(s.trace_id in listed for s in summaries)
    shown = _ok(vesk_command("show", "--db", reader, "--children", cwd=tmp_path))
    assert "square(x=4) -> 16" in shown and "child()" in shown
    stats = json.loads(_ok(vesk_command("stats", "--db", reader, "--json", cwd=tmp_path)))
    assert "__main__.square" in json.dumps(stats)
    exported = json.loads(_ok(vesk_command("export", "--db", reader, "-o", "-", cwd=tmp_path)))
    assert any(event.get("name", "").endswith("square") for event in exported["traceEvents"])
    differ = vesk_command("diff", "--db", reader, programs[1].trace_id, programs[0].trace_id, cwd=tmp_path)
    assert differ.returncode == 0 and "main(n=4)" in differ.stdout and "n: A 3, B 4" in differ.stdout

    _ok(vesk_command("prune", "--db", writer, "--keep", "3", cwd=tmp_path))
    kept = {s.trace_id for s in summaries[:3]}
    assert {s.trace_id for s in db.list_traces(reader)} == kept
    _ok(vesk_command("rm", "--db", writer, programs[0].trace_id, cwd=tmp_path))
    assert {s.trace_id for s in db.list_traces(reader)} == kept - {programs[0].trace_id}


def test_the_store_comes_from_vesk_db_and_the_python_api(store, tmp_path, monkeypatch):
    import vesk

    writer, reader = store

    def triple(x):
        return 3 * x

    with vesk.enable(db_path=writer) as profiler:
        triple(5)
    env = dict(os.environ, VESK_DB=reader)
    listed = _ok(vesk_command("traces", cwd=tmp_path, env=env))
    assert profiler.trace_id in listed
    assert "triple(x=5) -> 15" in _ok(vesk_command("show", cwd=tmp_path, env=env))


def test_many_writers_at_once_lose_nothing(store, tmp_path):
    """Processes saving parts into one store at the same time: each part stored once, in order."""
    writer, reader = store
    script = textwrap.dedent("""
        import sys
        from vesk import db
        url, name = sys.argv[1], sys.argv[2]
        for part in range(15):
            db.save_trace_in_sqlite(url, f"trc_{name}_{part % 3}", msgpack=f"{name}:{part}".encode() * 50)
    """)
    writers = [subprocess.Popen([sys.executable, "-c", script, writer, str(n)]) for n in range(4)]
    assert [w.wait(timeout=120) for w in writers] == [0] * 4
    summaries = db.list_traces(reader)
    assert len(summaries) == 12 and all(s.parts == 5 for s in summaries)
    for s in summaries:
        _, name, first = s.trace_id.split("_")
        parts = db.load_trace_parts(reader, s.trace_id)
        assert parts == [f"{name}:{p}".encode() * 50 for p in range(int(first), 15, 3)]


def test_a_writer_killed_mid_save_leaves_no_partial_part(store, tmp_path):
    writer, reader = store
    script = textwrap.dedent("""
        import os, sys
        from vesk import db
        blob = os.urandom(4 << 20)  # incompressible: stored as it is, and slow to send
        db.save_trace_in_sqlite(sys.argv[1], "trc_killed", msgpack=blob)  # the store made
        print("ready", flush=True)
        while True:
            db.save_trace_in_sqlite(sys.argv[1], "trc_killed", msgpack=blob)
    """)
    for delay in (0.3, 0.55, 0.8):
        victim = subprocess.Popen([sys.executable, "-c", script, writer], stdout=subprocess.PIPE)
        assert victim.stdout.readline() == b"ready\n"
        time.sleep(delay)
        victim.send_signal(signal.SIGKILL)
        victim.wait(timeout=30)
        victim.stdout.close()
    parts = list(db.iter_trace_parts(reader, "trc_killed"))
    assert parts and all(len(part) == 4 << 20 for part in parts)


@pytest.mark.parametrize("pytest_options", [[], ["-p", "xdist", "-n", "2"]], ids=["one process", "xdist workers"])
def test_pytest_stores_one_trace_per_test_on_the_server(pg, tmp_path, pytest_options):
    (tmp_path / "test_sample.py").write_text(textwrap.dedent("""
        def double(x):
            return 2 * x

        def test_a():
            assert double(1) == 2

        def test_b():
            assert double(2) == 5

        def test_c():
            assert double(3) == 6
    """))
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--vesk",
                             "--vesk-db", pg.url, "--vesk-label", "suite=unit", *pytest_options, "test_sample.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=180)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "vesk: 3 test traces saved in postgresql://vesk_writer@/" in result.stdout
    assert not any(p in result.stdout + result.stderr for p in PASSWORDS)
    tests = sorted((s.test_nodeid, s.test_outcome) for s in db.list_traces(pg.reader_url)
                   if s.labels == {"suite": "unit"})
    assert tests == [("test_sample.py::test_a", "passed"), ("test_sample.py::test_b", "failed"),
                     ("test_sample.py::test_c", "passed")]
    failed = _ok(vesk_command("traces", "--db", pg.reader_url, "--failed", cwd=tmp_path))
    assert "test_b" in failed and "test_a" not in failed


def test_a_password_goes_only_to_the_server(pg, tmp_path):
    """Not into a trace, the output, a child's command line or environment, nor a file; the child
    still saves its trace (it reads the URL from a descriptor its parent hands it)."""
    (tmp_path / "prog.py").write_text(textwrap.dedent("""
        import os, subprocess, sys
        code = ("import os, sys; print(open('/proc/self/cmdline').read());"
                "print(dict(os.environ)); print(sys.argv)")
        subprocess.run([sys.executable, "-c", code, *sys.argv[1:]], check=True)
        print(sys.argv)
    """))
    (tmp_path / "tmp").mkdir()
    env = dict(os.environ, TMPDIR=str(tmp_path / "tmp"))
    env.pop("PGPASSWORD", None)
    result = vesk_command("run", "--db", pg.url, "prog.py", "--token", "x", cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    assert "vesk_writer@/" in result.stderr
    summaries = db.list_traces(pg.reader_url)
    assert len(summaries) == 2
    stored = b"".join(part for s in summaries for part in db.iter_trace_parts(pg.reader_url, s.trace_id))
    everything = result.stdout + result.stderr + stored.decode("latin-1") + repr(summaries)
    assert not any(p in everything for p in PASSWORDS)
    assert os.listdir(tmp_path / "tmp") == []

    wrong = pg.url.replace(WRITER_PASSWORD, "Not-The-Pw-42")
    for args in (["traces", "--db", wrong], ["run", "--db", wrong, "prog.py"]):
        refused = vesk_command(*args, cwd=tmp_path)
        assert refused.returncode != 0 and "vesk_writer" in refused.stderr
        assert "Not-The-Pw-42" not in refused.stderr and len(refused.stderr.strip().splitlines()) == 1


def test_a_read_only_role_lists_and_opens_traces_and_cannot_write(pg, tmp_path):
    from vesk.ui.api import Api

    (tmp_path / "prog.py").write_text("def f():\n    return 1\nf()\n")
    _ok(vesk_command("run", "--db", pg.url, "--no-children", "prog.py", cwd=tmp_path))
    api = Api(postgres.hide_password(pg.reader_url))
    try:
        [listed] = api.answer(["traces"], {})
        assert listed["records"] > 0
        assert api.answer(["trace", listed["id"]], {})
    finally:
        api.close()
    refused = vesk_command("rm", "--db", pg.reader_url, listed["id"], cwd=tmp_path)
    assert refused.returncode == 1 and "permission denied" in refused.stderr
    assert len(db.list_traces(pg.reader_url)) == 1


def test_an_empty_server_database_has_no_traces_yet(pg, tmp_path):
    result = vesk_command("traces", "--db", pg.reader_url, cwd=tmp_path)
    assert result.returncode == 1 and "no trace database at postgresql://vesk_reader@/" in result.stderr


@pytest.mark.parametrize("url, bare", [
    ("postgresql://u:p%40ss@h:5/d", "postgresql://u@h:5/d"),
    ("postgresql://u@h/d?password=x&sslmode=require", "postgresql://u@h/d?sslmode=require"),
    ("postgresql:///d?host=%2Ftmp", "postgresql:///d?host=%2Ftmp"),
])
def test_hide_password(url, bare):
    assert postgres.hide_password(url) == bare == postgres.shown(url)


def test_push_and_pull_copy_traces_with_their_children_once(pg, tmp_path):
    local = str(tmp_path / "local.sqlite3")
    (tmp_path / "prog.py").write_text(textwrap.dedent(PROGRAM))
    _ok(vesk_command("run", "--db", local, "prog.py", "2", cwd=tmp_path))
    (tmp_path / "test_sample.py").write_text("def test_ok():\n    pass\n\ndef test_bad():\n    assert 0\n")
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vesk", "--vesk-db",
                    local, "test_sample.py"], cwd=tmp_path, capture_output=True, timeout=120)
    found = {s.test_nodeid or s.source: s for s in db.list_traces(local)}
    program = found["vesk run prog.py 2"]

    def push(*args):
        result = _ok(vesk_command("push", "--db", local, *args, "--to", pg.url, cwd=tmp_path))
        return result.split()

    assert push("--failed") == [found["test_sample.py::test_bad"].trace_id]
    pushed = push(program.trace_id[:-2])
    assert pushed[0] == program.trace_id and len(pushed) == 2  # and its child's trace
    assert push(program.trace_id) == pushed  # again: nothing stored twice
    db.save_trace_in_sqlite(local, program.trace_id, msgpack=b"a later part")
    push(program.trace_id)
    remote = {s.trace_id: s for s in db.list_traces(pg.reader_url)}
    assert len(remote) == 3 and remote[program.trace_id].parts == 2

    pulled = str(tmp_path / "pulled.sqlite3")
    for _ in range(2):
        _ok(vesk_command("pull", "--db", pulled, "--from", pg.reader_url, "--test", "bad", cwd=tmp_path))
        _ok(vesk_command("pull", "--db", pulled, "--from", pg.reader_url, program.trace_id, cwd=tmp_path))
    assert sorted(s.trace_id for s in db.list_traces(pulled)) == sorted(remote)
    for trace_id in remote:
        assert db.load_trace_parts(pulled, trace_id) == db.load_trace_parts(local, trace_id)
    refused = vesk_command("push", "--db", local, "--to", pg.url, cwd=tmp_path)
    assert refused.returncode == 2 and "give trace ids, --failed or --test" in refused.stderr


def test_a_trace_tells_where_it_comes_from_and_traces_filter_by_it(store, tmp_path):
    writer, reader = store
    (tmp_path / "prog.py").write_text(textwrap.dedent(PROGRAM))
    env = dict(os.environ, CI_JOB_ID="job-41", CI_COMMIT_SHA="abc123")
    _ok(vesk_command("run", "--db", writer, "--label", "team=core", "--label", "round=1", "prog.py", "2",
                     cwd=tmp_path, env=env))
    _ok(vesk_command("run", "--db", writer, "--label", "team=web", "prog.py", "3", cwd=tmp_path))
    summaries = db.list_traces(reader)
    labelled = [s for s in summaries if s.labels.get("team") == "core"]
    assert len(labelled) == 2  # the program's trace and its child's
    assert all(s.host == os.uname().nodename and s.user and s.ci_job == "job-41" and s.ci_commit == "abc123"
               and s.labels == {"team": "core", "round": "1"} for s in labelled)

    def listed(*options):
        return {s.trace_id for s in summaries if s.trace_id in _ok(vesk_command(
            "traces", "--db", reader, *options, cwd=tmp_path))}

    assert listed("--label", "team=core") == {s.trace_id for s in labelled}
    assert listed("--label", "team=core", "--label", "round=2") == set()
    assert listed("--ci-job", "job-41") == {s.trace_id for s in labelled}
    assert listed("--host", os.uname().nodename) == {s.trace_id for s in summaries}
    refused = vesk_command("traces", "--db", reader, "--label", "team", cwd=tmp_path)
    assert refused.returncode == 2 and "not KEY=VALUE: 'team'" in refused.stderr
    # The viewer's list gives the same, which its filter matches.
    from vesk.ui.api import Api

    api = Api(reader)
    try:
        shown = {t["id"]: t for t in api.answer(["traces"], {})}
    finally:
        api.close()
    assert all(shown[s.trace_id]["labels"] == ["round=1", "team=core"] and shown[s.trace_id]["ci_job"] == "job-41"
               and shown[s.trace_id]["host"] == os.uname().nodename for s in labelled)


def test_a_server_database_of_schema_5_is_brought_up_to_date(pg):
    import psycopg

    with psycopg.connect(postgres.hide_password(pg.url), password=WRITER_PASSWORD, autocommit=True) as conn:
        for statement in postgres._SCHEMA:
            conn.execute(statement.replace(",\n        host TEXT,\n        user_name TEXT,\n        labels TEXT,\n"
                                           "        ci_job TEXT,\n        ci_commit TEXT", ""))
        conn.execute("INSERT INTO vesk_schema VALUES (5)")
        conn.execute("INSERT INTO traces (trace_id, created_at, size, msgpack) VALUES ('trc_old', 1, 1, 'x')")
    db.set_labels({"k": "v"})
    try:
        db.save_trace_in_sqlite(pg.url, "trc_new", msgpack=b"new")
    finally:
        db.set_labels({})
    found = {s.trace_id: s for s in db.list_traces(pg.reader_url)}
    assert found["trc_old"].labels == {} and found["trc_new"].labels == {"k": "v"}
    assert db.load_trace_parts(pg.reader_url, "trc_old") == [b"x"]


def test_a_forked_child_saving_leaves_the_parents_connection_working(pg):
    script = textwrap.dedent("""
        import gc, os, sys
        from vesk import db
        url = sys.argv[1]
        db.save_trace_in_sqlite(url, "trc_parent", msgpack=b"before")
        pid = os.fork()
        if pid == 0:
            db.save_trace_in_sqlite(url, "trc_child", msgpack=b"child")
            gc.collect()
            sys.exit(0)  # finalisers run: the inherited connection must not end the parent's session
        assert os.waitpid(pid, 0)[1] == 0
        db.save_trace_in_sqlite(url, "trc_parent", msgpack=b"after")
    """)
    result = subprocess.run([sys.executable, "-c", script, pg.url], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert db.load_trace_parts(pg.reader_url, "trc_parent") == [b"before", b"after"]
    assert db.load_trace_parts(pg.reader_url, "trc_child") == [b"child"]


def test_connections_read_the_url_as_given():
    url = "postgresql://u:p%40ss@h/d?password=wins&sslmode=require"
    assert postgres.hide_password(url) == "postgresql://u@h/d?sslmode=require"
    assert db_password._conninfo("postgresql://u@h/d?sslmode=require") == url
