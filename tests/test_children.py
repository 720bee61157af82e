"""Child processes and threads that a recorded program starts."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from vesk import db
from vesk.serialize import load_msgpack

PROGRAM = textwrap.dedent('''
    import json, multiprocessing, os, subprocess, sys

    def square(x):
        return x * x

    def report(tag):
        # What the child sees, for the parent to compare with what it would see unrecorded.
        return json.dumps({"tag": tag, "argv": sys.argv, "path0": sys.path[0],
                           "env": sorted(k for k in os.environ if "VESK" in k),
                           "pythonpath": os.environ.get("PYTHONPATH"),
                           "custom": getattr(sys, "custom_ran", False)})

    def child(tag, *rest):
        print(report(tag), flush=True)
        if tag == "middle":
            # A grandchild, then the process replaced by another image (its status the child's).
            status = subprocess.run([sys.executable, __file__, "leaf"]).returncode + 1
            os.execv(sys.executable, [sys.executable, __file__, "replaced", str(status)])
        return int(rest[0]) if rest else 7

    def forked():
        return square(11)

    if __name__ == "__main__":
        if len(sys.argv) > 1:
            sys.exit(child(*sys.argv[1:]))
        # A cleaned environment: empty, but for a sanitizer's runtime, which every process that
        # loads the engine built with it needs preloaded.
        clean = {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS")}
        for env in (None, clean):
            status = subprocess.run([sys.executable, __file__, "middle"], env=env).returncode
            print(json.dumps({"status": status}), flush=True)
        for method in multiprocessing.get_all_start_methods():
            with multiprocessing.get_context(method).Pool(1) as pool:
                assert pool.map(square, [2, 3]) == [4, 9]
                pool.close()
                pool.join()
        pid = os.fork()
        if pid == 0:
            forked()
            sys.exit(0)
        os.waitpid(pid, 0)
        square(5)
''')


def _records(path, trace_id):
    for blob in db.load_trace_parts(path, trace_id):
        trace = load_msgpack(blob)
        yield from trace["frames_of_interest"]
        for records in trace["frames"].values():
            yield from records


def _calls(path, trace_id):
    return sorted(r.get("co_name") for r in _records(path, trace_id) if r.get("event") == "call")


@pytest.fixture
def family(tmp_path):
    """The traces of PROGRAM run under `vesk run`, with a user sitecustomize on PYTHONPATH."""
    (tmp_path / "program.py").write_text(PROGRAM)
    custom = tmp_path / "custom"
    custom.mkdir()
    (custom / "sitecustomize.py").write_text("import sys\nsys.custom_ran = True\n")
    env = {**os.environ, "PYTHONPATH": str(custom)}
    run = subprocess.run([sys.executable, "-m", "vesk", "run", "--db", "t.sqlite3", "program.py"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = [json.loads(line) for line in run.stdout.splitlines()]
    path = str(tmp_path / "t.sqlite3")
    return lines, path, {s.trace_id: s for s in db.list_traces(path)}, run


def test_children_are_recorded_under_their_parents_without_noticing(family):
    lines, path, traces, run = family
    (root,) = [s for s in traces.values() if s.parent_trace_id is None]
    assert root.pid and _calls(path, root.trace_id).count("square") == 1  # the fork's call is not here

    # The children see what they would see unrecorded: argv, sys.path[0], no vesk variable, the
    # PYTHONPATH they were given, their own sitecustomize run; the status reaches the parent.
    reports = [line for line in lines if "tag" in line]
    assert [r["tag"] for r in reports] == ["middle", "leaf", "replaced"] * 2
    for report in reports:
        assert report["argv"][1] == report["tag"] and report["env"] == []
        assert report["path0"] == os.path.dirname(path)
    inherited, cleaned = reports[:3], reports[3:]
    assert all(r["pythonpath"].endswith("custom") and r["custom"] for r in inherited)
    assert all(r["pythonpath"] is None for r in cleaned)
    assert [line["status"] for line in lines if "status" in line] == [8, 8]
    assert "vesk:" not in run.stdout and run.stderr.count("records saved") == 1

    children = [s for s in traces.values() if s.parent_trace_id == root.trace_id]
    middles = [s for s in children if s.source.endswith("program.py middle")]
    assert len(middles) == 2
    for middle in middles:
        # What a process recorded before exec() replaced it is saved, and the new image is its
        # child, in the same process.
        assert _calls(path, middle.trace_id) == ["<genexpr>", "<module>", "child", "report"]
        leaf, replaced = sorted((s for s in traces.values() if s.parent_trace_id == middle.trace_id),
                                key=lambda s: s.source.endswith("leaf"), reverse=True)
        assert leaf.source.endswith("program.py leaf") and leaf.pid != middle.pid
        assert _calls(path, leaf.trace_id) == ["<genexpr>", "<module>", "child", "report"]
        assert replaced.source.endswith("replaced 8") and replaced.pid == middle.pid

    # Every start method's pool worker recorded its squares in a trace of its own.
    squares = sum(_calls(path, s.trace_id).count("square") for s in traces.values()
                  if s.trace_id != root.trace_id)
    assert squares >= 2 * 3 + 1  # fork, spawn, forkserver; and the fork
    (fork,) = [s for s in children if "forked" in _calls(path, s.trace_id)]
    assert fork.pid != root.pid and _calls(path, fork.trace_id).count("<module>") == 0

    # Ids made in a child never repeat the parent's.
    ids = {}
    for trace_id in traces:
        for record in _records(path, trace_id):
            if record.get("event") == "call":
                ids.setdefault(record["frame_id"], set()).add(trace_id)
    assert all(len(owners) == 1 for owners in ids.values())

    listing = subprocess.run([sys.executable, "-m", "vesk", "traces", "--db", path],
                             capture_output=True, text=True, check=True).stdout
    assert f"\n  {middles[0].trace_id}" in listing or f"\n  {middles[1].trace_id}" in listing
    shown = subprocess.run([sys.executable, "-m", "vesk", "show", root.trace_id, "--children",
                            "--db", path], capture_output=True, text=True, check=True).stdout
    assert shown.count("child process") == len(traces) - 1


def test_threads_already_running_are_recorded_from_their_next_call(tmp_path):
    import threading
    import time

    import vesk

    go, done = threading.Event(), threading.Event()

    def early_work(n):
        return n + 1

    def loop():
        go.wait()
        early_work(1)
        done.set()

    thread = threading.Thread(target=loop, name="early")
    thread.start()
    with vesk.enable(db_path=tmp_path / "t.sqlite3", all_threads=True) as profiler:
        go.set()
        done.wait(10)
        time.sleep(0.01)
    thread.join()
    records = list(_records(str(tmp_path / "t.sqlite3"), profiler.trace_id))
    assert [r["thread"] for r in records if r.get("co_name") == "early_work"] == ["early"] * 2


@pytest.mark.parametrize("payload", ["not json", "[]", "{}", '{"db": 1, "config": {}, "parent": null, "pid": 1}',
                                     '{"pythonpath": 5}', '{"db": "x", "config": [], "parent": null, "pid": "1"}'])
def test_a_malformed_child_description_is_ignored_quietly(tmp_path, payload):
    import vesk.filters.boot

    boot = list(vesk.filters.boot.__path__)[0]
    environment = dict(os.environ, PYTHONPATH=boot, VESK_CHILD=payload)
    result = subprocess.run([sys.executable, "-c", "import os; print('ran', 'VESK_CHILD' in os.environ)"],
                            cwd=tmp_path, env=environment, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout == "ran False\n"
    assert "Traceback" not in result.stderr and len(result.stderr.splitlines()) <= 1
    assert not list(tmp_path.iterdir())  # nothing recorded, nowhere
