"""The vesk command and the Python API, driven as a user drives them."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import msgpack
import pytest

import vesk
from vesk import db


def vesk_command(*args, cwd, timeout=60, **kwargs):
    return subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout, **kwargs)


def write(folder, name, source):
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(textwrap.dedent(source))
    return path


def stored(folder, trace_id=None):
    database = folder / ".vesk" / "db.sqlite3"
    trace_id = trace_id or db.latest_trace_id(database)
    parts = [msgpack.unpackb(part, strict_map_key=False)
             for part in db.load_trace_parts(database, trace_id)]
    records = [r for part in parts for r in part["frames_of_interest"]]
    threads = [r for part in parts for rs in part["frames"].values() for r in rs]
    return parts[0], records, threads


PROGRAM = """
    import sys, threading

    def square(x):
        return x * x

    def main():
        worker = threading.Thread(target=square, args=(4,), name="helper")
        worker.start()
        worker.join()
        print(__name__, sys.argv, square(3))

    main()
"""


def test_run_script_like_python(tmp_path):
    script = write(tmp_path, "app/prog.py", PROGRAM)
    result = vesk_command("run", "app/prog.py", "--flag", "x", cwd=tmp_path)
    plain = subprocess.run([sys.executable, "app/prog.py", "--flag", "x"], cwd=tmp_path,
                           capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout == plain.stdout
    assert result.stdout == "__main__ ['app/prog.py', '--flag', 'x'] 9\n"
    trace, records, threads = stored(tmp_path)
    (line,) = result.stderr.splitlines()
    assert line == (f"vesk: trace {trace['trace_id']}: {len(records) + len(threads)} records saved "
                    f"in .vesk/db.sqlite3")
    assert trace["command_line_args"] == ["app/prog.py", "--flag", "x"]
    assert trace["meta"]["source"] == "vesk run app/prog.py --flag x"
    assert [r["qualname"] for r in records if r["event"] == "call"] == [
        "__main__.<module>", "__main__.main", "__main__.square"]
    assert [(r["thread"], r["co_name"]) for r in threads] == [("helper", "square")] * 2
    assert script.exists()


def test_run_module_like_python(tmp_path):
    write(tmp_path, "pkg/__init__.py", "")
    write(tmp_path, "pkg/__main__.py", "import sys\nprint(__name__, sys.argv[1:])\n")
    result = vesk_command("run", "-m", "pkg", "a", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (0, "__main__ ['a']\n")
    _, records, _ = stored(tmp_path)
    assert records[0]["path"] == "pkg/__main__.py:0"


@pytest.mark.parametrize("source, status, stderr_line", [
    ("import sys\nsys.exit(3)\n", 3, None),
    ("import sys\nsys.exit('bye')\n", 1, "bye"),
    ("def fail():\n    raise ValueError('boom')\nfail()\n", 1, "ValueError: boom"),
])
def test_program_endings_keep_the_trace(tmp_path, source, status, stderr_line):
    write(tmp_path, "prog.py", source)
    result = vesk_command("run", "prog.py", cwd=tmp_path)
    plain = subprocess.run([sys.executable, "prog.py"], cwd=tmp_path, capture_output=True,
                           text=True)
    assert result.returncode == plain.returncode == status
    if stderr_line:
        assert stderr_line in result.stderr.splitlines()
    # The traceback is the program's own, as python shows it.
    assert result.stderr.count("Traceback") == plain.stderr.count("Traceback")
    assert "vesk/" not in result.stderr.replace(".vesk/db", "")
    _, records, _ = stored(tmp_path)
    assert records[0]["co_name"] == "<module>"


def test_interrupted_program_keeps_its_trace(tmp_path):
    write(tmp_path, "loop.py", """
        import time
        print("ready", flush=True)
        while True:
            time.sleep(0.01)
    """)
    process = subprocess.Popen([sys.executable, "-m", "vesk", "run", "loop.py"], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "ready\n"
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130
    assert "KeyboardInterrupt" in stderr and "records saved" in stderr
    _, records, _ = stored(tmp_path)
    assert records[0]["co_name"] == "<module>"


def test_run_options(tmp_path):
    write(tmp_path, "lib/helpers.py", "def helper(values):\n    return len(values)\n")
    write(tmp_path, "main.py", """
        import sys
        sys.path.insert(0, "lib")
        from helpers import helper
        def work():
            return helper(list(range(1000)))
        work()
    """)
    result = vesk_command("run", "--ignore", "lib/", "--lightweight", "--db", "other.sqlite3",
                          "main.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    trace_id = db.latest_trace_id(tmp_path / "other.sqlite3")
    (part,) = db.load_trace_parts(tmp_path / "other.sqlite3", trace_id)
    records = msgpack.unpackb(part, strict_map_key=False)["frames_of_interest"]
    assert "helper" not in {r["co_name"] for r in records}
    work_return = [r for r in records if r["co_name"] == "work" and r["event"] == "return"][0]
    assert work_return["arg"] == 1000


@pytest.mark.parametrize("args, message, status", [
    (["run", "missing.py"], "vesk: can't open file", 2),
    (["run", "-m", "no_such_module_here"], "vesk: no module named 'no_such_module_here'", 2),
    (["traces", "--db", "absent.sqlite3"], "vesk: no trace database at absent.sqlite3", 1),
])
def test_bad_input_is_one_line(tmp_path, args, message, status):
    result = vesk_command(*args, cwd=tmp_path)
    assert result.returncode == status
    assert result.stderr.startswith(message) and len(result.stderr.splitlines()) == 1


def test_foreign_database_is_refused(tmp_path):
    import sqlite3

    with sqlite3.connect(tmp_path / "foreign.sqlite3") as connection:
        connection.execute("CREATE TABLE notes (text TEXT)")
    result = vesk_command("traces", "--db", "foreign.sqlite3", cwd=tmp_path)
    assert result.returncode == 1 and len(result.stderr.splitlines()) == 1
    assert "not a vesk trace database" in result.stderr


def square(x):
    return x * x


def test_enable_as_context_manager_and_decorator(tmp_path):
    database = tmp_path / "api.sqlite3"
    with vesk.enable(database) as profiler:
        square(2)
    traced = vesk.enable(database)(square)
    assert traced(5) == 25
    summaries = {s.trace_id: s for s in db.list_traces(database)}
    assert len(summaries) == 2 and summaries[profiler.trace_id].record_count == 2


def test_show_and_export_a_recorded_program(tmp_path):
    example = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "shop.py")
    assert vesk_command("run", example, cwd=tmp_path).returncode == 0
    traces = vesk_command("traces", cwd=tmp_path)
    assert traces.returncode == 0 and len(traces.stdout.splitlines()) == 2

    shown = vesk_command("show", "--depth", "3", cwd=tmp_path)
    assert shown.returncode == 0, shown.stderr
    assert "\x1b[" not in shown.stdout  # no colour when not on a terminal
    for expected in ("MainThread", "pricer-0", "pricer-1", "__main__.main()",
                     "__main__.price_baskets(owners=['dee']"):
        assert expected in shown.stdout

    exported = vesk_command("export", "-o", "trace.json", cwd=tmp_path)
    assert exported.returncode == 0, exported.stderr
    import json

    document = json.loads((tmp_path / "trace.json").read_text())
    events = document["traceEvents"]
    names = {e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    assert {"MainThread", "pricer-0", "pricer-1"} <= names
    spans = [e for e in events if e["ph"] == "X"]
    assert spans and all({"name", "ts", "dur", "pid", "tid"} <= set(e) for e in spans)
    # Complete events nest on each track: sorted by start, each one ends within its parent. Times
    # are written in microseconds to 3 places: a sum of two is compared at that precision, as
    # 2429.724 may come out of it as 2429.7239999999997.
    for tid in {e["tid"] for e in spans}:
        open_ends = []
        for event in sorted((e for e in spans if e["tid"] == tid), key=lambda e: (e["ts"], -e["dur"])):
            while open_ends and open_ends[-1] <= event["ts"]:
                open_ends.pop()
            end = round(event["ts"] + event["dur"], 3)
            assert not open_ends or end <= open_ends[-1]
            open_ends.append(end)


def test_show_unknown_trace_is_one_line(tmp_path):
    write(tmp_path, "prog.py", "print('x')\n")
    vesk_command("run", "prog.py", cwd=tmp_path)
    result = vesk_command("show", "trc_nothing", cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.startswith("vesk: no trace trc_nothing")
    assert len(result.stderr.splitlines()) == 1


def test_program_sees_the_import_path_python_gives_it(tmp_path):
    write(tmp_path, "app/prog.py", "import sys\nprint(sys.path[0])\n")
    write(tmp_path, "mod.py", "import sys\nprint(sys.path[0])\n")
    assert vesk_command("run", "app/prog.py", cwd=tmp_path).stdout == f"{tmp_path / 'app'}\n"
    assert vesk_command("run", "-m", "mod", cwd=tmp_path).stdout == f"{tmp_path}\n"


CONFIG_PROBE = """
    import json

    def test_probe(request):
        recorder = request.config.pluginmanager.get_plugin("vesk-recorder")
        print("CONFIG", json.dumps(recorder.profiler.config))
"""


def config_through(entry, tmp_path, **options):
    """The engine's config that an entry point makes of the options, as a user gives them; a
    refusal as ValueError."""
    import contextlib
    import io
    import json

    if entry == "make_config":
        return vesk.profiler.make_config(**options)
    if entry == "vesk.enable":
        return vesk.enable(tmp_path / "db.sqlite3", **options).config
    if entry == "middleware":
        from vesk.middleware import TracePerRequest

        return TracePerRequest(lambda environ, start_response: [], tmp_path / "db.sqlite3", **options).config
    flags = {"vesk run": ("--repr", "--value-scale"), "pytest": ("--vesk-repr", "--vesk-value-scale")}[entry]
    args = [flags[0]] if options.get("call_repr") else []
    if "value_scale" in options:
        args += [flags[1], str(options["value_scale"])]
    if entry == "vesk run":
        from vesk.__main__ import build_parser
        from vesk.filters.run import recording_config

        errors = io.StringIO()
        try:
            with contextlib.redirect_stderr(errors):
                parsed = build_parser().parse_args(["run", *args, "prog.py"])
        except SystemExit:
            raise ValueError(errors.getvalue()) from None
        return recording_config(parsed)
    write(tmp_path, "test_probe.py", CONFIG_PROBE)
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider", "--vesk",
                             f"--vesk-db={tmp_path / 'db.sqlite3'}", *args, "test_probe.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    if result.returncode == 4:  # a usage error
        raise ValueError(result.stderr)
    assert result.returncode == 0, result.stdout + result.stderr
    return json.loads(next(line for line in result.stdout.splitlines() if line.startswith("CONFIG "))[7:])


@pytest.mark.parametrize("entry", ["make_config", "vesk.enable", "middleware", "vesk run", "pytest"])
@pytest.mark.parametrize("options, expected", [
    ({}, {"call_repr": False, "value_scale": 1}),
    ({"call_repr": True, "value_scale": 3}, {"call_repr": True, "value_scale": 3}),
    ({"value_scale": 0}, None),
    ({"value_scale": 1.5}, None),
    ({"value_scale": True}, None),
])
def test_value_options_reach_the_engine_config(tmp_path, entry, options, expected):
    if expected is None:
        with pytest.raises(ValueError, match=r"value[_-]scale"):
            config_through(entry, tmp_path, **options)
    else:
        config = config_through(entry, tmp_path, **options)
        assert {key: config[key] for key in expected} == expected
        assert type(config["value_scale"]) is int and type(config["call_repr"]) is bool
