"""Recording through sys.monitoring gives the records that the profile function gives, and lives
beside the program's own tools: its use of sys.monitoring, coverage's, a debugger's trace
function."""

import os
import re
import subprocess
import sys
import textwrap

import msgpack
import pytest

from vesk import db

MONITORED = sys.version_info >= (3, 12)

PROGRAM = """
    import asyncio, json, logging, sys, threading

    class Point:
        def __init__(self, x, y):
            self.x, self.y = x, y

        def norm(self):
            return abs(self.x) + abs(self.y)

    def fails(n):
        raise ValueError(n)

    def catches():
        try:
            fails(1)
        except ValueError:
            return "caught"

    def counts(n):
        yield from range(n)

    async def child(x):
        await asyncio.sleep(0)
        return x

    async def parent():
        task = asyncio.ensure_future(child(5))
        await asyncio.sleep(0.001)
        return (await task) + (await asyncio.create_task(child(1)))

    def in_thread(values):
        return [json.dumps(v) for v in values]

    def main():
        catches()
        list(counts(3))
        Point(3, -4).norm()
        asyncio.run(parent())
        logging.getLogger("app").warning("seen %s", 3)
        worker = threading.Thread(target=in_thread, args=([1, 2],), name="worker")
        worker.start()
        worker.join()
        sorted([3, 1, 2], key=lambda v: -v)
        try:
            fails(2)
        except ValueError:
            pass
        return {"done": True}

    main()
"""


def frame_ids(records):
    """Each frame id as the order of its first appearance, and each thread as its name."""
    order = {}
    for record in records:
        for key in ("frame_id",):
            value = record.get(key)
            if isinstance(value, str):
                order.setdefault(value, len(order))
    return order


def comparable(records):
    """The records with what differs between two runs of one program taken out: times, ids and
    native thread ids, and values that hold them (reprs with addresses)."""
    ids = frame_ids(records)
    out = []
    for record in records:
        record = dict(record)
        for key in ("timestamp", "thread_native_id", "duration", "start"):
            record.pop(key, None)
        if isinstance(record.get("frame_id"), str):
            record["frame_id"] = ids[record["frame_id"]]
        site = record.get("user_code_call_site")
        if isinstance(site, dict) and isinstance(site.get("caller_frame_id"), str):
            site = dict(site, caller_frame_id=ids.get(site["caller_frame_id"]))
            record["user_code_call_site"] = site
        text = re.sub(r"('_(?:ident|native_id)': )\d+", r"\1?", repr(record))
        out.append(re.sub(r"0x[0-9a-f]+|trc_\w+|frm_\w+", "?", text))
    return out


def recorded(database):
    """Per trace (in the order they began), its records per thread name."""
    traces = []
    for summary in reversed(db.list_traces(database)):
        threads = {}
        for part in db.load_trace_parts(database, summary.trace_id):
            trace = msgpack.unpackb(part, strict_map_key=False)
            for records in [trace["frames_of_interest"], *trace["frames"].values()]:
                for record in records:
                    threads.setdefault(record.get("thread"), []).append(record)
        traces.append({name: comparable(records) for name, records in threads.items()})
    return traces


TESTS = """
    import pytest

    def helper(x):
        return x * 2

    def test_passes():
        assert helper(2) == 4

    @pytest.mark.parametrize("x", [1, 2])
    def test_fails(x):
        assert helper(x) == 3
"""

HOW = {
    "vesk run": ("program.py", PROGRAM, ["vesk", "run", "--db={db}", "program.py"]),
    "pytest --vesk": ("test_things.py", TESTS,
                      ["pytest", "-q", "-p", "no:cacheprovider", "--vesk", "--vesk-db={db}",
                       "test_things.py"]),
}


def record(tmp_path, how, hook):
    name, source, command = HOW[how]
    (tmp_path / name).write_text(textwrap.dedent(source))
    database = tmp_path / f"{hook}.sqlite3"
    result = subprocess.run([sys.executable, "-m", *(c.format(db=database) for c in command)],
                            cwd=tmp_path, env=dict(os.environ, VESK_HOOK=hook), capture_output=True,
                            text=True, timeout=120)
    assert ("2 failed, 1 passed" in result.stdout) if how == "pytest --vesk" else (
        result.returncode == 0), result.stdout + result.stderr
    return recorded(database)


@pytest.mark.skipif(not MONITORED, reason="sys.monitoring comes with 3.12")
@pytest.mark.parametrize("how", HOW)
def test_the_same_records_as_through_the_profile_function(tmp_path, how):
    profiled = record(tmp_path, how, "profile")
    monitored = record(tmp_path, how, "monitoring")
    assert len(monitored) == len(profiled) >= 1
    for mine, theirs in zip(monitored, profiled):
        assert mine.keys() == theirs.keys()
        for thread in mine:
            assert mine[thread] == theirs[thread], thread


# The program (or a tool around it) follows the same code through sys.monitoring, or with a trace
# function, while vesk records: both see every call, whatever either answers.
BESIDE = """
    import sys, threading
    import vesk

    def square(x):
        return x * x

    def work():
        return [square(i) for i in range(3)]

    seen = []
    beside = sys.argv[1]
    if beside == "own tool":
        monitoring = sys.monitoring
        monitoring.use_tool_id(2, "mine")
        def started(code, offset):
            seen.append(code.co_name)
            return monitoring.DISABLE  # once per code object is all it wants
        monitoring.register_callback(2, monitoring.events.PY_START, started)
        monitoring.set_events(2, monitoring.events.PY_START)
    elif beside == "every tool id":
        for tool in range(6):
            if sys.monitoring.get_tool(tool) is None:
                sys.monitoring.use_tool_id(tool, "mine")
        seen += ["square", "work"]
    elif beside == "trace function":
        def tracer(frame, event, arg):
            if event == "call":
                seen.append(frame.f_code.co_name)
            return None
        sys.settrace(tracer)
    with vesk.enable(sys.argv[2]) as recording:
        work()
        if beside == "own tool":
            sys.monitoring.restart_events()
        work()
    sys.settrace(None)
    print(sorted(set(seen)) if beside != "coverage" else "")
"""


@pytest.mark.skipif(not MONITORED, reason="sys.monitoring comes with 3.12")
@pytest.mark.parametrize("beside", ["own tool", "every tool id", "trace function", "coverage"])
def test_lives_beside_the_programs_own_tools(tmp_path, beside):
    (tmp_path / "program.py").write_text(textwrap.dedent(BESIDE))
    database = tmp_path / "traces.sqlite3"
    command = [sys.executable, "program.py", beside, str(database)]
    env = dict(os.environ)
    if beside == "coverage":
        command[1:1] = ["-m", "coverage", "run", "--data-file", str(tmp_path / "cov")]
        env["COVERAGE_CORE"] = "sysmon"
    result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    if beside == "coverage":
        report = subprocess.run([sys.executable, "-m", "coverage", "report", "--data-file",
                                 str(tmp_path / "cov"), "--show-missing"], cwd=tmp_path,
                                capture_output=True, text=True, timeout=120)
        # Every line of the two functions ran, whatever vesk did.
        line = next(line for line in report.stdout.splitlines() if "program.py" in line)
        missing = line.split()[-1] if not line.rstrip().endswith("%") else ""
        assert not any(str(n) in missing.split(",") for n in (5, 6, 8, 9)), report.stdout
    else:
        assert "'square'" in result.stdout and "'work'" in result.stdout
    (summary,) = db.list_traces(database)
    calls = [r["co_name"] for part in db.load_trace_parts(database, summary.trace_id)
             for r in msgpack.unpackb(part, strict_map_key=False)["frames_of_interest"]
             if r.get("event") == "call"]
    assert calls.count("work") == 2 and calls.count("square") == 6


# Library code that a first recording turned off is recorded by a later one that includes it,
# and by one started inside the first.
WANTS_MORE = """
    import json, sys
    import vesk

    def work():
        return json.dumps({"a": 1})

    with vesk.enable(sys.argv[1]):
        work()
    with vesk.enable(sys.argv[1], include=["json/"]):
        work()
    with vesk.enable(sys.argv[1]):
        work()
        with vesk.enable(sys.argv[1], include=["json/"]):
            work()
"""


@pytest.mark.parametrize("hook", ["monitoring", "profile"])
def test_a_recording_that_wants_more_gets_it(tmp_path, hook):
    (tmp_path / "program.py").write_text(textwrap.dedent(WANTS_MORE))
    database = tmp_path / "traces.sqlite3"
    result = subprocess.run([sys.executable, "program.py", str(database)], cwd=tmp_path,
                            env=dict(os.environ, VESK_HOOK=hook), capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    dumps = []
    for summary in reversed(db.list_traces(database)):
        records = [r for part in db.load_trace_parts(database, summary.trace_id)
                   for r in msgpack.unpackb(part, strict_map_key=False)["frames_of_interest"]]
        dumps.append(sum(1 for r in records if r.get("co_name") == "dumps" and r["event"] == "call"))
    assert dumps == [0, 1, 0, 1]


# The program takes every tool id, the one vesk holds among them: the recording goes on through
# the profile function, for the thread it runs on and the threads started later, and says so once.
TAKES_EVERY_TOOL_ID = """
    import sys, threading
    import vesk

    def work(n):
        return n

    with vesk.enable(sys.argv[1]):
        work(1)
        for tool in range(6):
            sys.monitoring.use_tool_id(tool, f"the program's {tool}")
        work(2)
        thread = threading.Thread(target=work, args=(3,))
        thread.start()
        thread.join()
    print([sys.monitoring.get_tool(tool) for tool in range(6)] == [f"the program's {t}" for t in range(6)],
          threading.getprofile())
"""


@pytest.mark.skipif(not MONITORED, reason="no sys.monitoring before 3.12")
def test_a_recording_goes_on_when_the_program_takes_every_tool_id(tmp_path):
    (tmp_path / "program.py").write_text(textwrap.dedent(TAKES_EVERY_TOOL_ID))
    database = tmp_path / "traces.sqlite3"
    result = subprocess.run([sys.executable, "program.py", str(database)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, "True None\n"), result.stderr
    assert result.stderr.count("calls and returns are recorded through the profile function") == 1
    (summary,) = db.list_traces(database)
    returned = [r["arg"] for part in db.load_trace_parts(database, summary.trace_id)
                for trace in [msgpack.unpackb(part, strict_map_key=False)]
                for r in [*trace["frames_of_interest"], *(r for rs in trace["frames"].values() for r in rs)]
                if r.get("co_name") == "work" and r["event"] == "return"]
    assert sorted(returned) == [1, 2, 3]
