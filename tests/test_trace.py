"""The trace: what build_trace assembles, what save_request_in_db hands to the saver, and one
trace per test."""

import pathlib
import sys
import threading
import time

import msgpack
import pytest

from vesk import _vesk, db

TRACE_KEYS = ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
              "main_thread_id", "meta", "timestamp", "trace_id"]


def decode(raw):
    return msgpack.unpackb(raw, strict_map_key=False)


def noted(value):
    return value


def test_empty_trace_has_every_key(make_host):
    host = make_host(source="the source", trace_id="trc_first")
    before = time.time()
    _vesk.register_profiler(host)
    _vesk.register_noop_profiler()
    after = time.time()
    raw = host.rust_profiler.build_trace()
    assert isinstance(raw, bytes) and raw[0] == 0x88
    trace = decode(raw)
    assert list(trace) == TRACE_KEYS
    assert trace["command_line_args"] == sys.argv
    assert trace["frames"] == {} and trace["frames_of_interest"] == []
    assert trace["main_thread_id"] == threading.main_thread().native_id
    assert trace["meta"] == {"version": _vesk_version(), "source": "the source",
                             "use_frame_boundaries": True}
    assert before <= trace["timestamp"] <= after
    assert trace["trace_id"] == "trc_first"
    second = decode(host.rust_profiler.build_trace())
    assert (second["timestamp"], second["trace_id"]) == (trace["timestamp"], "trc_first")


def _vesk_version():
    from vesk.version import __version__
    return __version__


def test_build_moves_the_records_out(recording):
    with recording() as host:
        noted(1)
    first = recording.decode(host)
    second = recording.decode(host)
    assert len(first["frames_of_interest"]) == 2
    assert second["frames_of_interest"] == []


@pytest.mark.parametrize("commit, expected", [(None, None), ("a" * 40, "a" * 40)])
def test_commit_sha(recording, replace_module, commit, expected):
    replace_module("vesk.git", COMMIT_SHA=commit)
    with recording() as host:
        pass
    assert recording.decode(host)["current_commit_sha"] == expected


@pytest.mark.parametrize("module, attributes, error", [
    ("vesk.git", {"COMMIT_SHA": 5}, TypeError),
    ("vesk.git", {}, AttributeError),
    ("vesk.version", {"__version__": b"1.0"}, TypeError),
    ("vesk.version", None, ImportError),
])
def test_unusable_run_facts_raise_and_keep_the_records(recording, replace_module, monkeypatch,
                                                       module, attributes, error):
    with recording() as host:
        noted(1)
    if attributes is None:
        monkeypatch.setitem(sys.modules, module, None)
    else:
        replace_module(module, **attributes)
    with pytest.raises(error):
        host.rust_profiler.build_trace()
    monkeypatch.undo()
    assert len(recording.decode(host)["frames_of_interest"]) == 2


@pytest.mark.parametrize("argv, message", [
    ("python script.py", "^Can't extract `str` to `Vec`$"),
    (["script.py", 3], "'int' object cannot be converted to 'PyString'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
])
def test_unusable_argv(recording, monkeypatch, argv, message):
    with recording() as host:
        noted(1)
    with monkeypatch.context() as patch:
        patch.setattr(sys, "argv", argv)
        with pytest.raises(TypeError, match=message):
            host.rust_profiler.build_trace()
    trace = recording.decode(host)
    assert len(trace["frames_of_interest"]) == 2
    assert trace["command_line_args"] == sys.argv


def test_without_a_main_thread_id_every_thread_has_its_own_list(recording, monkeypatch):
    class MainWithoutId:
        pass

    monkeypatch.setattr(threading, "main_thread", MainWithoutId)
    with recording(config={"threading": True}) as host:
        noted(1)
    trace = recording.decode(host)
    assert trace["main_thread_id"] is None
    assert trace["frames_of_interest"] == []
    assert [len(records) for records in trace["frames"].values()] == [2]


def saver_recording(calls, fail=None):
    def save_trace_in_sqlite(*args, **kwargs):
        calls.append((args, list(kwargs), kwargs))
        if fail:
            raise fail
        return "ignored"
    return save_trace_in_sqlite


@pytest.mark.parametrize("config, timeout", [({}, 60), ({"sqlite_busy_timeout": 5}, 5)])
def test_saver_arguments(recording, replace_module, config, timeout):
    calls = []
    replace_module("vesk.db", save_trace_in_sqlite=saver_recording(calls))
    with recording(config=config, db_path=pathlib.Path("somewhere/db.sqlite3"),
                   trace_id="trc_saved") as host:
        noted(1)
    assert host.rust_profiler.save_request_in_db() is None
    ((args, keyword_order, kwargs),) = calls
    assert args == ("somewhere/db.sqlite3", "trc_saved")
    assert keyword_order == ["timeout", "msgpack"]
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is int
    trace = decode(kwargs["msgpack"])
    assert len(trace["frames_of_interest"]) == 2
    assert recording.decode(host)["frames_of_interest"] == []


def test_saver_failure_is_raised(recording, replace_module):
    calls = []
    replace_module("vesk.db", save_trace_in_sqlite=saver_recording(calls, OSError("disk full")))
    with recording() as host:
        noted(1)
    with pytest.raises(OSError, match="disk full"):
        host.rust_profiler.save_request_in_db()
    assert len(calls) == 1


def test_saved_into_a_real_database(recording, tmp_path):
    path = tmp_path / "nested" / "traces.sqlite3"
    with recording(db_path=str(path), trace_id="trc_real", source="tests") as host:
        noted(1)
    host.rust_profiler.save_request_in_db()
    with recording(db_path=str(path)) as host:
        pass
    (summary,) = db.list_traces(str(path))
    assert (summary.trace_id, summary.source, summary.parts) == ("trc_real", "tests", 1)
    (part,) = db.load_trace_parts(str(path), "trc_real")
    assert [r["arg"] for r in decode(part)["frames_of_interest"]] == [None, 1]


# One trace per test, driven by plugins that recognise run_test below.
TEST_PLUGIN = {"co_names": ["run_test"], "path_fragment": "test_trace.py",
               "call_type": "start_test", "return_type": "end_test",
               "process": lambda frame, event, arg, context: {"name": frame.f_locals["name"]}}


def run_test(name, body):
    return body()


def per_test_config(**extra):
    return {"plugins": [dict(TEST_PLUGIN, **extra)]}


def test_one_trace_per_test(recording, replace_module):
    calls = []
    replace_module("vesk.db", save_trace_in_sqlite=saver_recording(calls))
    with recording(config=per_test_config(), one_trace_per_test=True,
                   trace_id="trc_before") as host:
        noted("before any test")
        run_test("first", lambda: noted(1))
        noted("between tests")
        run_test("second", lambda: noted(2))
    host.rust_profiler.wait_for_saves()  # each test's end handed its trace to the saver thread
    traces = [(args[1], decode(kwargs["msgpack"])) for args, _, kwargs in calls]
    assert len(traces) == 2
    ids = [trace_id for trace_id, _ in traces]
    assert len(set(ids)) == 2 and "trc_before" not in ids
    for (trace_id, trace), name in zip(traces, ["first", "second"]):
        assert trace["trace_id"] == trace_id
        records = trace["frames_of_interest"]
        assert (records[0]["type"], records[0]["name"]) == ("start_test", name)
        assert (records[-1]["type"], records[-1]["name"]) == ("end_test", name)
        # The frame record of run_test's call follows the start, that of its return precedes
        # the end.
        assert [r.get("co_name") for r in records[1:3]] == ["run_test", "<lambda>"]
        assert records[-2]["co_name"] == "run_test" and records[-2]["event"] == "return"
        assert all("before" not in str(r.get("arg")) for r in records)
    # What came after the last test stays under the last trace id until saved or discarded.
    assert recording.decode(host)["trace_id"] == ids[-1]


def test_saver_failing_at_a_test_end(recording, replace_module):
    """The program goes on at once; the test's trace is kept for the next save, and what the
    test's end's batch held after its end stays recorded."""
    calls = []
    replace_module("vesk.db", save_trace_in_sqlite=saver_recording(calls, OSError("locked")))
    with recording(config=per_test_config(), one_trace_per_test=True) as host:
        run_test("only", lambda: noted(1))
        noted("after")
    with pytest.raises(OSError, match="locked") as failure:
        host.rust_profiler.wait_for_saves()
    assert "kept" in "".join(failure.value.__notes__)
    assert calls and host.rust_profiler.unsaved_traces == 1
    (saved,) = {decode(kwargs["msgpack"])["trace_id"] for _, _, kwargs in calls}
    records = recording.decode(host)["frames_of_interest"]
    assert [(r["co_name"], r["event"]) for r in records] == [("noted", "call"), ("noted", "return")]


def test_start_test_on_a_return_discards_the_frame_record_before_it(recording, replace_module):
    replace_module("vesk.db", save_trace_in_sqlite=saver_recording([]))
    config = per_test_config(call_type="ignored", return_type="start_test", process=None)
    with recording(config=config, one_trace_per_test=True) as host:
        run_test("x", lambda: None)
    records = recording.decode(host)["frames_of_interest"]
    assert [r["type"] for r in records] == ["start_test"]
