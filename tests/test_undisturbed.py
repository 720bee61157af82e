"""The program a recording watches runs as it would unwatched: no deadlock, no lasting slowdown,
no output of ours, no lost records, and recordings that stop everywhere they reached."""

import ctypes
import dis
import gc
import logging
import os
import subprocess
import sys
import textwrap
import threading

import msgpack
import pytest

import vesk
from vesk import _vesk, db


def run_python(source, *args, timeout=60, cwd=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source), *args],
                          capture_output=True, text=True, timeout=timeout, cwd=cwd)


def profiling_active():
    """Whether the interpreter calls a profile function on this thread, whatever its context
    object (sys.getprofile() says None for one without)."""
    def probe():
        return None

    probe()
    probe()
    return any(dis.opname[op].startswith("INSTRUMENTED")
               for op in probe.__code__._co_code_adaptive[::2])


def records_of(trace):
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


def saved_records(database, trace_id):
    return [r for part in db.load_trace_parts(database, trace_id)
            for r in records_of(msgpack.unpackb(part, strict_map_key=False))]


HOST = """
    import os, sys, threading
    from vesk import _vesk

    class Host:
        def __init__(self, plugins=()):
            self.config = {"threading": True, "plugins": list(plugins)}
            self.db_path, self.one_trace_per_test = "unused.sqlite3", False
            self.trace_id, self.source = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ", "tests"
        def __call__(self):
            pass

    def marked():
        return 1

    def plugin(process):
        return {"co_names": ["marked"], "path_fragment": "", "call_type": "c",
                "return_type": "r", "process": process}
"""

SCENARIOS = {
    # Thread B holds the program's lock L and calls a function with a plugin while thread A,
    # inside that plugin, waits for L.
    "plugin waits for the program's lock": """
        lock, in_plugin, acquired = threading.Lock(), threading.Event(), []
        def process(frame, event, arg, context):
            if threading.current_thread().name == "A" and event == "call":
                in_plugin.set()
                acquired.append(lock.acquire(timeout=3))
                if acquired[-1]:
                    lock.release()
            return {}
        _vesk.register_profiler(Host([plugin(process)]))
        def holder():
            with lock:
                in_plugin.wait()
                marked()
        b = threading.Thread(target=holder, name="B")
        b.start()
        a = threading.Thread(target=marked, name="A")
        a.start()
        a.join(); b.join()
        print(acquired)
    """,
    # Another thread forks while one is inside a plugin: the child records with plugins too.
    "fork while a plugin runs": """
        inside, release = threading.Event(), threading.Event()
        def process(frame, event, arg, context):
            if threading.current_thread().name == "A" and event == "call":
                inside.set()
                release.wait()
            return {}
        _vesk.register_profiler(Host([plugin(process)]))
        a = threading.Thread(target=marked, name="A")
        a.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            marked()
            os._exit(7)
        release.set()
        a.join()
        import time
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print([os.waitstatus_to_exitcode(status) == 7])
                break
            time.sleep(0.05)
        else:
            os.kill(pid, 9)
            print("child hangs")
    """,
    # Memory runs out at each allocation of a plugin's event in turn: the event is lost, the
    # next one is recorded.
    "memory runs out inside an event": """
        import _testcapi, logging, msgpack
        logging.disable(logging.CRITICAL)
        failing_at = []
        def call(frame, event, arg, context):
            if failing_at:
                _testcapi.set_nomemory(failing_at[0], failing_at.pop() + 1)
            return True
        host = Host([dict(plugin(None), call=call, events=["call"])])
        _vesk.register_profiler(host)
        recorded = []
        for allocation in range(30):
            try:
                failing_at.append(allocation)
                marked()
            except MemoryError:
                pass
            while True:  # the interpreter's own allocations may be the ones that fail
                try:
                    _testcapi.remove_mem_hooks()
                    break
                except MemoryError:
                    pass
            host.rust_profiler.build_trace()
            marked()
            trace = msgpack.unpackb(host.rust_profiler.build_trace())
            recorded.append([r["type"] for r in trace["frames_of_interest"]] == ["c"])
        _vesk.register_noop_profiler()
        print([all(recorded)])
    """,
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_the_program_runs_on(scenario):
    result = run_python(textwrap.dedent(HOST) + textwrap.dedent(SCENARIOS[scenario]))
    assert (result.returncode, result.stdout) == (0, "[True]\n"), result.stderr


def spin(stop, started):
    def tick(i):
        return i + 1

    i = 0
    while not stop.is_set():
        i = tick(i)
        started.set()


def test_stop_reaches_every_thread_and_leaves_it_as_found(tmp_path):
    database = tmp_path / "stop.sqlite3"
    stop, started = threading.Event(), threading.Event()
    assert sys.getprofile() is None and not profiling_active()
    with vesk.enable(database) as profiler:
        worker = threading.Thread(target=spin, args=(stop, started), name="spinner")
        worker.start()
        started.wait()
    try:
        trace_id, engine = profiler.trace_id, profiler.rust_profiler
        # Nothing more reaches the stopped recording, and no thread holds on to it.
        stop.wait(0.3)
        assert records_of(msgpack.unpackb(engine.build_trace(), strict_map_key=False)) == []
        assert sys.getrefcount(engine) == 3, gc.get_referrers(engine)
        assert sys.getprofile() is None and threading.getprofile() is None
        assert not profiling_active()
    finally:
        stop.set()
        worker.join()
    # What the thread recorded before the stop was saved.
    assert any(r["thread"] == "spinner" for r in saved_records(database, trace_id))


def square(x):
    return x * x


def after_the_block():
    return square(3)


def with_cprofile(record):
    import cProfile
    import pstats

    profile = cProfile.Profile()
    profile.enable()
    try:
        record()
        after_the_block()
    finally:
        profile.disable()
    return "after_the_block" in {function for _, _, function in pstats.Stats(profile).stats}


def with_python_profile_function(record):
    seen = []

    def profile(frame, event, arg):
        seen.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        record()
        after_the_block()
        still_there = sys.getprofile() is profile
    finally:
        sys.setprofile(None)
    return still_there and "after_the_block" in seen


@pytest.mark.parametrize("profiled", [with_cprofile, with_python_profile_function])
def test_stop_gives_the_thread_back_to_its_profiler(tmp_path, profiled):
    def record():
        with vesk.enable(tmp_path / "t.sqlite3"):
            square(2)

    assert profiled(record)


def test_threads_that_a_tracer_follows_are_left_to_it(tmp_path):
    database = tmp_path / "traced.sqlite3"
    ready, go, seen = threading.Event(), threading.Event(), []

    def traced():
        sys.settrace(lambda frame, event, arg: None)
        ready.set()
        go.wait()
        square(4)
        seen.append(sys.getprofile())
        sys.settrace(None)

    thread = threading.Thread(target=traced, name="traced")
    thread.start()
    ready.wait()
    with vesk.enable(database, all_threads=True) as profiler:
        go.set()
        thread.join()
    assert seen == [None]
    assert not [r for r in saved_records(database, profiler.trace_id) if r["thread"] == "traced"]


def test_recordings_nest(tmp_path):
    database = tmp_path / "nest.sqlite3"
    with vesk.enable(database) as outer:
        square(1)
        with vesk.enable(database) as inner:
            square(2)
        square(3)

    def calls(trace_id):
        records = saved_records(database, trace_id)
        assert not [r for r in records if "vesk/" in r.get("path", "")]
        return [r["locals"]["x"] for r in records
                if r.get("co_name") == "square" and r["event"] == "call"]

    assert calls(outer.trace_id) == [1, 2, 3]
    assert calls(inner.trace_id) == [2]
    assert not profiling_active()


class Failing:
    """A saver that fails while `failing` is set and stores as the real one otherwise."""

    def __init__(self):
        self.failing = True

    def __call__(self, *args, **kwargs):
        if self.failing:
            raise OSError("disk full")
        return db.save_trace_in_sqlite(*args, **kwargs)


def test_a_failed_save_keeps_every_record(recording, replace_module, tmp_path):
    saver = Failing()
    replace_module("vesk.db", save_trace_in_sqlite=saver)
    database = str(tmp_path / "kept.sqlite3")
    with recording(db_path=database) as host:
        square(1)
        with pytest.raises(OSError, match="disk full"):
            host.rust_profiler.save_request_in_db()
        square(3)
    saver.failing = False
    host.rust_profiler.save_request_in_db()
    assert [r["locals"]["x"] for r in saved_records(database, host.trace_id)
            if r.get("co_name") == "square" and r["event"] == "call"] == [1, 3]


def test_a_failed_test_save_keeps_the_test_trace(recording, replace_module, tmp_path):
    saver = Failing()
    replace_module("vesk.db", save_trace_in_sqlite=saver)
    database = str(tmp_path / "kept.sqlite3")
    boundaries = [{"co_names": ["start"], "path_fragment": "test_undisturbed.py",
                   "call_type": "start_test", "return_type": "r", "events": ["call"]},
                  {"co_names": ["end"], "path_fragment": "test_undisturbed.py",
                   "call_type": "end_test", "return_type": "r", "events": ["call"]}]

    def start():
        pass

    def end():
        pass

    with recording(config={"plugins": boundaries}, one_trace_per_test=True,
                   db_path=database) as host:
        start()
        square(1)
        end()
        with pytest.raises(OSError) as failure:
            host.rust_profiler.wait_for_saves()
        assert "kept" in "".join(failure.value.__notes__)
        saver.failing = False
        start()
        square(2)
        end()
    host.rust_profiler.wait_for_saves()
    tests = [s.trace_id for s in db.list_traces(database)]
    assert sorted([r["locals"]["x"] for r in saved_records(database, t)
                   if r.get("co_name") == "square" and r["event"] == "call"] for t in tests) == [
        [1], [2]]


BAD = object()


def refusing_bad(value):
    if value is BAD:
        raise ValueError("cannot serialise")
    return msgpack.packb(value, default=repr)


def returns_bad():
    return BAD


def test_a_failed_return_still_leaves_the_stack(recording, replace_module):
    replace_module("vesk.serialize", dump_msgpack=refusing_bad,
                   dump_msgpack_lightweight_repr=refusing_bad)

    def caller():
        for _ in range(3):
            returns_bad()
        return square(2)

    with recording() as host:
        caller()
    records = records_of(recording.decode(host))
    (caller_call,) = [r for r in records if r["co_name"] == "caller" and r["event"] == "call"]
    (square_call,) = [r for r in records if r["co_name"] == "square" and r["event"] == "call"]
    assert square_call["user_code_call_site"]["call_frame_id"] == caller_call["frame_id"]


def test_lasting_conditions_are_recorded_not_reported(recording, tmp_path, monkeypatch, caplog):
    gone = tmp_path / "gone"
    gone.mkdir()
    namespace = {}
    exec(compile("def anonymous(x):\n    return x\n", str(tmp_path / "made.py"), "exec"),
         namespace)
    with recording() as host:
        namespace["anonymous"](1)
        monkeypatch.chdir(gone)
        gone.rmdir()
        square(2)
        monkeypatch.undo()
    assert [r for r in caplog.records if r.name == "vesk"] == []
    records = records_of(recording.decode(host))
    assert [r["qualname"] for r in records if r["co_name"] == "anonymous"] == ["anonymous"] * 2
    assert {r["path"].rpartition(":")[0] for r in records if r["co_name"] == "square"} == {
        __file__}


def test_chdir_on_another_thread_keeps_the_directory_cached(recording, tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    (work / "module_in_work.py").write_text("def f():\n    return 1\n")
    monkeypatch.syspath_prepend(str(work))
    import module_in_work

    monkeypatch.chdir(tmp_path)
    with recording() as host:
        thread = threading.Thread(target=os.chdir, args=(work,))
        thread.start()
        thread.join()
        module_in_work.f()
        # A change that bypasses os.chdir is not seen: the directory was cached again.
        assert ctypes.CDLL(None).chdir(str(tmp_path).encode()) == 0
        module_in_work.f()
    paths = {r["path"] for r in records_of(recording.decode(host)) if r["co_name"] == "f"}
    assert paths == {"module_in_work.py:1", "module_in_work.py:2"}


def test_a_signal_raised_while_recording_reaches_the_program(recording, replace_module):
    raised = []

    def interrupted(value):
        if not raised:
            raised.append(True)
            raise KeyboardInterrupt
        return msgpack.packb(value, default=repr)

    replace_module("vesk.serialize", dump_msgpack=interrupted)
    with pytest.raises(KeyboardInterrupt):
        with recording():
            square(1)


def test_no_output_at_the_recursion_limit(tmp_path):
    script = tmp_path / "deep.py"
    script.write_text(textwrap.dedent("""
        def down(n):
            return down(n + 1)

        try:
            down(0)
        except RecursionError:
            print("bottom")
    """))
    result = subprocess.run([sys.executable, "-m", "vesk", "run", str(script)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and result.stdout == "bottom\n"
    assert "Exception ignored" not in result.stderr and "Traceback" not in result.stderr


def test_start_of_a_test_keeps_other_threads_records(recording):
    start_plugin = {"co_names": ["start"], "path_fragment": "test_undisturbed.py",
                    "call_type": "start_test", "return_type": "r", "events": ["call"]}
    done = threading.Event()

    def start():
        pass

    def background():
        square(7)
        done.set()

    with recording(config={"plugins": [start_plugin], "threading": True},
                   one_trace_per_test=True) as host:
        square(1)
        worker = threading.Thread(target=background)
        worker.start()
        done.wait()
        start()
        worker.join()
    records = records_of(recording.decode(host))
    assert [r["locals"]["x"] for r in records if r.get("co_name") == "square"] == [7, 7]


EMBEDDED = r"""
#include <Python.h>
int main(int argc, char** argv) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        FILE* script = fopen(argv[1], "r");
        if (script == NULL || PyRun_SimpleFileEx(script, argv[1], 1) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
"""


def test_an_embedding_program_initialises_python_twice(tmp_path):
    import sysconfig

    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("needs a shared libpython")
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDED)
    include, libdir = sysconfig.get_paths()["include"], sysconfig.get_config_var("LIBDIR")
    library = f"python{sysconfig.get_config_var('LDVERSION')}"
    program = tmp_path / "embed"
    subprocess.run(["cc", str(source), f"-I{include}", f"-L{libdir}", f"-l{library}",
                    f"-Wl,-rpath,{libdir}", "-o", str(program)], check=True)
    # The engine alone, with stand-ins for the companion's modules that it imports when recording
    # starts: the interpreter's own _datetime (which sqlite3 and msgpack import) does not survive
    # a second initialisation.
    script = tmp_path / "embedded.py"
    script.write_text(textwrap.dedent(f"""
        import site, sys, types
        site.addsitedir({sysconfig.get_paths()["purelib"]!r})
        from vesk import _vesk
        serialize = sys.modules["vesk.serialize"] = types.ModuleType("vesk.serialize")
        serialize.dump_msgpack = lambda value: b"\\xc0"
        sys.modules["vesk.db"] = types.ModuleType("vesk.db")

        class Host:
            config, db_path, one_trace_per_test = {{}}, "unused", False
            trace_id, source = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ", "embedded"
            def __call__(self):
                pass

        def work(n):
            return n + 1

        host = Host()
        _vesk.register_profiler(host)
        work(1)
        _vesk.register_noop_profiler()
        print(host.rust_profiler.build_trace().count(b"\\xa4work"))
    """))
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    result = subprocess.run([str(program), str(script)], capture_output=True, text=True,
                            timeout=60, env=env)
    assert (result.returncode, result.stdout) == (0, "2\n2\n"), result.stderr
