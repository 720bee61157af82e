"""Plugins: typed records for the frames they recognise."""

import os
import re
import subprocess
import sys
import textwrap

import msgpack
import numpy
import pytest

from vesk import db

PLUGIN_KEYS = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]


def handler(request):
    return f"handled {request}"


def other(value):
    return value


def plugin(**overrides):
    description = {"co_names": ["handler"], "path_fragment": "test_plugins.py",
                   "call_type": "request_started", "return_type": "request_finished"}
    description.update(overrides)
    return {key: value for key, value in description.items() if value is not ...}


def record(recording, *descriptions, call=None, **config):
    with recording(config={"plugins": list(descriptions), **config}) as host:
        if call is None:
            handler("r1")
        else:
            call()
    return recording.decode(host)["frames_of_interest"]


def plugin_records(records):
    return [r for r in records if r["type"] != "frame"]


def test_plugin_records_both_events(recording):
    records = record(recording, plugin(subtype="http"))
    assert [r["type"] for r in records] == ["request_started", "frame", "frame",
                                            "request_finished"]
    start, frame_call, frame_return, finish = records
    for r in (start, finish):
        assert list(r) == PLUGIN_KEYS + ["subtype"]
        assert r["subtype"] == "http" and r["thread"] == "MainThread"
    # One id for the call and its return, not the frame record's.
    assert start["frame_id"] == finish["frame_id"] != frame_call["frame_id"]
    # On the call the frame is not on the stack yet; on the return it is its own call site.
    assert start["user_code_call_site"] is None
    assert finish["user_code_call_site"]["call_frame_id"] == frame_call["frame_id"]


@pytest.mark.parametrize("overrides, recorded", [
    ({"path_fragment": "elsewhere.py"}, []),
    ({"path_fragment": ""}, ["request_started", "request_finished"]),
    ({"call": lambda frame, event, arg, context: True}, ["request_started", "request_finished"]),
    ({"call": lambda frame, event, arg, context: numpy.bool_(event == "call")},
     ["request_started"]),
    ({"call": lambda frame, event, arg, context: False}, []),
    ({"events": ["return"]}, ["request_finished"]),
    ({"events": []}, []),
    ({"process": lambda frame, event, arg, context: {"type": "renamed"}}, ["renamed", "renamed"]),
])
def test_matching_rules(recording, overrides, recorded):
    assert [r["type"] for r in plugin_records(record(recording, plugin(**overrides)))] == recorded


@pytest.mark.parametrize("overrides, error", [
    ({"call": lambda frame, event, arg, context: 1}, TypeError),
    ({"call": lambda frame, event, arg, context: None}, TypeError),
    ({"call": lambda frame, event, arg, context: 1 / 0}, ZeroDivisionError),
    ({"process": lambda frame, event, arg, context: [("a", 1)]}, TypeError),
    ({"process": lambda frame, event, arg, context: {"type": 7}}, TypeError),
    ({"process": lambda frame, event, arg, context: {}.missing}, AttributeError),
])
def test_failing_plugin_is_reported_and_the_event_goes_on(recording, caplog, overrides, error):
    records = record(recording, plugin(**overrides), plugin(call_type="second_start",
                                                             return_type="second_finish"))
    assert [r["type"] for r in records] == ["second_start", "frame", "frame", "second_finish"]
    failures = [r for r in caplog.records if r.name == "vesk"]
    assert len(failures) == 2 and {r.exc_info[0] for r in failures} == {error}


def test_call_still_runs_for_events_the_plugin_does_not_record(recording):
    seen = []

    def call(frame, event, arg, context):
        seen.append(event)
        return True

    record(recording, plugin(call=call, events=["return"]))
    assert seen == ["call", "return"]


def test_callables_receive_the_event_and_the_shared_context(recording):
    seen = []

    def process(frame, event, arg, context):
        context["count"] = context.get("count", 0) + 1
        seen.append((frame.f_code.co_name, event, arg, context["count"], id(context)))
        return {"argument": frame.f_locals.get("request", frame.f_locals.get("value"))}

    records = record(recording, plugin(co_names=["handler", "other"], process=process),
                     call=lambda: other(handler("r2")))
    assert [(name, event, arg, count) for name, event, arg, count, _ in seen] == [
        ("handler", "call", None, 1), ("handler", "return", "handled r2", 2),
        ("other", "call", None, 3), ("other", "return", "handled r2", 4)]
    assert len({context for *_, context in seen}) == 1
    assert [r["argument"] for r in plugin_records(records)] == ["r2", "r2", "handled r2",
                                                                "handled r2"]


def test_record_order_within_an_event(recording):
    records = record(recording, plugin(call_type="one_start", return_type="one_end"),
                     plugin(call_type="two_start", return_type="two_end"))
    assert [r["type"] for r in records] == ["one_start", "two_start", "frame", "frame", "two_end",
                                            "one_end"]
    assert records[0]["frame_id"] == records[-1]["frame_id"] != records[1]["frame_id"]


LIBRARY = {"__name__": "lib"}
exec(compile("def handler(callback):\n    return callback()\n",
             "/opt/venv/lib/python3.12/site-packages/lib.py", "exec"), LIBRARY)


def test_plugin_records_of_filtered_frames_leave_the_bookkeeping_alone(recording):
    def outer():
        return LIBRARY["handler"](lambda: other(1))

    records = record(recording, plugin(path_fragment="site-packages/lib.py"), call=outer)
    assert [(r["type"], r.get("co_name")) for r in records] == [
        ("frame", "outer"), ("request_started", None), ("frame", "<lambda>"), ("frame", "other"),
        ("frame", "other"), ("frame", "<lambda>"), ("request_finished", None), ("frame", "outer")]
    outer_id = records[0]["frame_id"]
    assert records[1]["user_code_call_site"]["call_frame_id"] == outer_id
    assert records[2]["user_code_call_site"]["call_frame_id"] == outer_id


def test_plugins_do_not_deadlock_when_their_code_lets_other_threads_run(tmp_path):
    """Two threads in a plugin whose process sleeps: the second waits for the table without
    holding the interpreter lock, so the first can finish."""
    script = textwrap.dedent("""
        import sys, threading, time
        from vesk import _vesk

        def slow(frame, event, arg, context):
            time.sleep(0.05)
            return {}

        def handler(n):
            return n

        class Host:
            config = {"threading": True, "plugins": [{
                "co_names": ["handler"], "path_fragment": "", "call_type": "s",
                "return_type": "e", "process": slow}]}
            db_path, one_trace_per_test, trace_id, source = "db", False, "trc_x", "t"
            def __call__(self): pass

        host = Host()
        _vesk.register_profiler(host)
        threads = [threading.Thread(target=lambda: [handler(i) for i in range(5)])
                   for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        _vesk.register_noop_profiler()
        print("done")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.stdout.strip() == "done", result.stderr


@pytest.mark.parametrize("workers", [[], ["-n", "2"]], ids=["one process", "xdist workers"])
def test_pytest_session_saves_one_trace_per_test(tmp_path, workers):
    """With pytest-xdist too: one trace per test from every worker and none of a worker as a
    whole, counted by the controller."""
    (tmp_path / "test_sample.py").write_text(textwrap.dedent("""
        import threading

        import pytest

        def double(x):
            return 2 * x

        @pytest.fixture
        def broken():
            raise RuntimeError("fixture")

        @pytest.fixture
        def breaks_after():
            yield
            raise RuntimeError("teardown")

        def test_first():
            assert double(1) == 2

        def test_second():
            worker = threading.Thread(target=double, args=(3,))
            worker.start()
            worker.join()
            assert double(2) == 4

        def test_third():
            import subprocess, sys
            subprocess.run([sys.executable, "-c", "pass"], check=True)
            assert double(0) == 1

        def test_setup_fails(broken):
            pass

        def test_teardown_fails(breaks_after):
            pass

        @pytest.mark.xfail
        def test_expected_to_fail():
            assert False

        @pytest.mark.xfail
        def test_unexpectedly_passes():
            pass

        def test_skipped():
            pytest.skip("not here")
    """))
    database = tmp_path / "traces.sqlite3"
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *workers, "--vesk",
         f"--vesk-db={database}", str(tmp_path)],
        capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert re.search(r"1 failed, 3 passed, 1 skipped, 1 xfailed, 1 xpassed(, \d+ warnings?)?, "
                     r"2 errors", result.stdout), result.stdout + result.stderr
    assert f"vesk: 8 test traces saved in {database}" in result.stdout
    summaries = db.list_traces(database)
    # The process a test starts is recorded under that test's trace.
    (child,) = [s for s in summaries if s.parent_trace_id is not None]
    summaries.remove(child)
    assert [s.test_nodeid for s in summaries if s.trace_id == child.parent_trace_id] == [
        "test_sample.py::test_third"]
    assert len(summaries) == 8 and len({s.trace_id for s in summaries}) == 8
    traces = {}
    for summary in summaries:
        (part,) = db.load_trace_parts(database, summary.trace_id)
        trace = msgpack.unpackb(part, strict_map_key=False)
        assert trace["trace_id"] == summary.trace_id
        records = trace["frames_of_interest"]
        assert records[0]["type"] == "start_test" and records[-1]["type"] == "end_test"
        assert records[0]["nodeid"] == records[-1]["nodeid"] == summary.test_nodeid
        assert records[-1]["outcome"] == summary.test_outcome
        traces[records[0]["nodeid"].split("::")[1]] = (trace, records)
    # As pytest names them, with the phase that decided.
    assert {name: (records[-1]["outcome"], records[-1]["when"])
            for name, (_, records) in traces.items()} == {
        "test_first": ("passed", "call"), "test_second": ("passed", "call"),
        "test_third": ("failed", "call"), "test_setup_fails": ("error", "setup"),
        "test_teardown_fails": ("error", "teardown"),
        "test_expected_to_fail": ("xfailed", "call"),
        "test_unexpectedly_passes": ("xpassed", "call"), "test_skipped": ("skipped", "call")}

    def vesk(*args):
        return subprocess.run([sys.executable, "-m", "vesk", *args, "--db", str(database)],
                              capture_output=True, text=True, timeout=60, cwd=tmp_path)

    failed = vesk("traces", "--failed").stdout.splitlines()[1:]
    assert sorted(line.split()[-1].split("::")[1] for line in failed) == [
        "test_setup_fails", "test_teardown_fails", "test_third"]
    shown = vesk("show", "--test", "test_third").stdout
    assert "test_sample.test_third()" in shown and "test_first" not in shown
    first = [r["co_name"] for r in traces["test_first"][1][1:-1]]
    assert first == ["test_first", "double", "double", "test_first"]
    second_trace = traces["test_second"][0]
    assert [[r["co_name"] for r in records] for records in second_trace["frames"].values()] == [
        ["double", "double"]]
