"""Recording end to end: what the engine stores for the calls and returns of user code."""

import gc
import logging
import os
import sys
import threading
import weakref

import msgpack
import pytest

from vesk import _vesk

RECORD_KEYS = ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
               "thread_native_id", "timestamp", "type", "user_code_call_site"]


def frames(trace):
    return trace["frames_of_interest"]


def events(records):
    return [(r["co_name"], r["event"]) for r in records]


def add(a, b):
    total = a + b
    return total


def twice(x):
    return add(x, x)


def test_call_and_return_records(recording, monkeypatch):
    monkeypatch.chdir(os.path.dirname(__file__))
    with recording() as host:
        result = twice(3)
    assert result == 6
    records = frames(recording.decode(host))
    assert events(records) == [("twice", "call"), ("add", "call"), ("add", "return"),
                               ("twice", "return")]
    for record in records:
        assert list(record) == RECORD_KEYS
        assert record["type"] == "frame"
        assert record["thread"] == "MainThread"
        assert record["thread_native_id"] == threading.get_native_id()
        assert record["frame_id"].startswith("frm_") and len(record["frame_id"]) == 30
    twice_call, add_call, add_return, twice_return = records
    assert twice_call["path"] == f"test_recording.py:{twice.__code__.co_firstlineno}"
    assert add_return["path"] == f"test_recording.py:{add.__code__.co_firstlineno + 2}"
    assert twice_call["qualname"] == "test_recording.twice"
    assert (twice_call["arg"], twice_call["locals"]) == (None, {"x": 3})
    assert (add_return["arg"], add_return["locals"]) == (6, {"a": 3, "b": 3, "total": 6})
    assert twice_return["arg"] == 6
    # A call and its return share the frame id; the caller's id and line are the call site.
    assert twice_call["frame_id"] == twice_return["frame_id"] != add_call["frame_id"]
    assert add_call["frame_id"] == add_return["frame_id"]
    assert twice_call["user_code_call_site"] is None
    site = {"call_frame_id": twice_call["frame_id"],
            "line_number": twice.__code__.co_firstlineno + 1}
    assert add_call["user_code_call_site"] == site == add_return["user_code_call_site"]
    stamps = [r["timestamp"] for r in records]
    assert stamps == sorted(stamps)


def test_records_are_exact_msgpack(recording):
    with recording() as host:
        add(1, 2)
    raw = host.rust_profiler.build_trace()
    assert raw[0] == 0x88
    unpacker = msgpack.Unpacker(strict_map_key=False)
    unpacker.feed(raw)
    assert len(list(unpacker)) == 1  # exactly one value, nothing after it


def test_path_outside_the_working_directory_stays_absolute(recording, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with recording() as host:
        add(1, 2)
    assert frames(recording.decode(host))[0]["path"] == f"{__file__}:{add.__code__.co_firstlineno}"


def test_working_directory_change_while_recording(recording, tmp_path, monkeypatch):
    here = os.path.dirname(__file__)
    monkeypatch.chdir(tmp_path)
    with recording() as host:
        add(1, 2)
        os.chdir(here)
        add(1, 2)
    paths = [r["path"].rsplit(":", 1)[0] for r in frames(recording.decode(host))]
    assert paths == [__file__, __file__, "test_recording.py", "test_recording.py"]


def test_working_directory_compared_by_whole_components(recording, tmp_path, monkeypatch):
    code = compile("def f():\n    return 1\n", str(tmp_path / "app-2" / "mod.py"), "exec")
    namespace = {"__name__": "mod"}
    exec(code, namespace)
    (tmp_path / "app").mkdir()
    monkeypatch.chdir(tmp_path / "app")
    with recording() as host:
        namespace["f"]()
    assert frames(recording.decode(host))[0]["path"] == f"{tmp_path}/app-2/mod.py:1"


def identity(value):
    return value


LIBRARY = {"__name__": "somelib"}
exec(compile("def call_back(callback, value):\n    return callback(value)\n",
             "/opt/venv/lib/python3.12/site-packages/somelib.py", "exec"), LIBRARY)


def caller_through_library(x):
    return LIBRARY["call_back"](identity, x)


def test_call_site_across_unrecorded_frames(recording):
    with recording() as host:
        caller_through_library(2)
    records = frames(recording.decode(host))
    assert events(records) == [("caller_through_library", "call"), ("identity", "call"),
                               ("identity", "return"), ("caller_through_library", "return")]
    line = caller_through_library.__code__.co_firstlineno + 1
    for record in records[1:3]:
        assert record["user_code_call_site"] == {"call_frame_id": records[0]["frame_id"],
                                                 "line_number": line}


def factorial(n):
    return 1 if n <= 1 else n * factorial(n - 1)


def test_recursion_names_the_outer_frame(recording):
    with recording() as host:
        factorial(3)
    records = frames(recording.decode(host))
    calls = [r for r in records if r["event"] == "call"]
    assert [c["locals"]["n"] for c in calls] == [3, 2, 1]
    assert len({c["frame_id"] for c in calls}) == 3
    for outer, inner in zip(calls, calls[1:]):
        assert inner["user_code_call_site"]["call_frame_id"] == outer["frame_id"]
    returns = [r for r in records if r["event"] == "return"]
    assert [r["arg"] for r in returns] == [1, 2, 6]
    assert [r["frame_id"] for r in returns] == [c["frame_id"] for c in reversed(calls)]


def counter(limit):
    for i in range(limit):
        yield i


def test_generator_frames_get_a_new_id_at_each_resumption(recording):
    with recording() as host:
        values = list(counter(2))
    assert values == [0, 1]
    records = [r for r in frames(recording.decode(host)) if r["type"] == "frame"]
    assert events(records) == [("counter", "call"), ("counter", "return")] * 3
    ids = [r["frame_id"] for r in records]
    assert ids[0] == ids[1] and ids[2] == ids[3] and ids[4] == ids[5]
    assert len(set(ids)) == 3
    assert [r["arg"] for r in records if r["event"] == "return"] == [0, 1, None]


def test_return_whose_call_was_not_seen(recording, make_host):
    host = make_host()

    def started_inside():
        _vesk.register_profiler(host)
        return "done"

    try:
        assert started_inside() == "done"
    finally:
        _vesk.register_noop_profiler()
    trace = recording.decode(host)
    record = frames(trace)[0]
    assert (record["co_name"], record["event"], record["arg"]) == ("started_inside", "return", "done")
    assert record["frame_id"] is None and record["user_code_call_site"] is None
    assert list(record) == RECORD_KEYS


def test_module_frame_locals_leave_out_builtins(recording):
    namespace = {"__name__": "scripted"}
    code = compile("answer = 42\n", os.path.join(os.path.dirname(__file__), "scripted.py"), "exec")
    with recording() as host:
        exec(code, namespace)
    assert "__builtins__" in namespace
    (call, ret) = frames(recording.decode(host))
    assert call["qualname"] == "scripted.<module>"
    assert "__builtins__" not in ret["locals"] and ret["locals"]["answer"] == 42


def test_class_body_with_a_mapping_that_is_not_a_dict(recording):
    class Namespace(dict):
        pass

    class Prepared(type):
        @classmethod
        def __prepare__(mcs, name, bases):
            return Namespace()

    with recording() as host:
        class Shape(metaclass=Prepared):
            sides = 4

    calls = [r for r in frames(recording.decode(host)) if r["co_name"] == "Shape"]
    assert calls[-1]["locals"]["sides"] == 4


class Greeter:
    def greet(self, name):
        def decorate(text):
            return f"<{text}>"
        return decorate(name)


def test_qualified_names(recording):
    borrowed = {"__name__": "borrowed.module"}
    exec(compile("def lend():\n    return 1\n", __file__, "exec"), borrowed)
    with recording() as host:
        Greeter().greet("ada")
        borrowed["lend"]()
    names = [r["qualname"] for r in frames(recording.decode(host)) if r["event"] == "call"]
    assert names == ["test_recording.Greeter.greet",
                     "test_recording.Greeter.greet.<locals>.decorate",
                     "borrowed.module.lend"]


def run_in_thread(target, name="worker"):
    thread = threading.Thread(target=target, name=name)
    thread.start()
    thread.join()
    return thread


@pytest.mark.parametrize("threading_on", [True, False])
def test_records_of_other_threads(recording, threading_on):
    seen = {}

    def work():
        seen["native_id"] = threading.get_native_id()
        if not threading_on:  # not hooked: install the same profiler by hand
            host.rust_profiler.register_threading_profiler(None, None, None)
        add(1, 2)

    with recording(config={"threading": threading_on}) as host:
        add(0, 0)
        run_in_thread(work)
    trace = recording.decode(host)
    if threading_on:
        assert list(trace["frames"]) == [seen["native_id"]]
        worker_records = trace["frames"][seen["native_id"]]
    else:
        assert trace["frames"] == {}
        worker_records = [r for r in frames(trace) if r["thread"] == "worker"]
    assert events(worker_records)[-3:] == [("add", "call"), ("add", "return"), ("work", "return")]
    assert {r["thread_native_id"] for r in worker_records} == {seen["native_id"]}
    main_records = [r for r in frames(trace) if r["thread"] == "MainThread"]
    assert events(main_records) == [("add", "call"), ("add", "return"), ("run_in_thread", "call"),
                                    ("run_in_thread", "return")]


def test_thread_keeps_its_first_name(recording):
    def work():
        add(1, 1)
        threading.current_thread().name = "renamed"
        add(2, 2)

    with recording(config={"threading": True}) as host:
        run_in_thread(work, name="original")
    (records,) = recording.decode(host)["frames"].values()
    assert {r["thread"] for r in records} == {"original"}


@pytest.mark.parametrize("name, native_id, expected", [
    ("fake", None, None), ("fake", "missing", None), ("fake", 7, 7),
    ("fake", -1, OverflowError), ("fake", 2**64, OverflowError), (42, 7, TypeError)])
def test_thread_identity_of_unusual_threads(recording, monkeypatch, caplog, name, native_id,
                                            expected):
    class FakeThread:
        pass

    fake = FakeThread()
    fake.name = name
    if native_id != "missing":
        fake.native_id = native_id
    with recording() as host:
        monkeypatch.setattr(threading, "current_thread", lambda: fake)
        add(1, 1)
        monkeypatch.undo()
    records = frames(recording.decode(host))
    if isinstance(expected, type):
        assert records == []
        assert [r.exc_info[0] for r in caplog.records if r.name == "vesk"] == [expected] * 2
    else:
        assert {(r["thread"], r["thread_native_id"]) for r in records} == {("fake", expected)}


def test_finished_thread_releases_its_values(recording):
    """Frames still on a thread's stack of recorded calls go when the thread ends."""
    class Token:
        pass

    tokens = []

    def leave_frame_behind():
        token = Token()  # noqa: F841 - kept alive by the frame
        tokens.append(weakref.ref(token))
        _vesk.register_noop_profiler()  # this frame's return is never recorded

    with recording(config={"threading": True}) as host:
        run_in_thread(leave_frame_behind)
    gc.collect()
    assert tokens[0]() is None
    assert events(recording.decode(host)["frames"].popitem()[1])[-1] == (
        "leave_frame_behind", "call")


def test_new_threads_start_with_fresh_values(recording):
    """A thread never inherits the stack or name of a thread that ended before it."""
    def first():
        _vesk.register_noop_profiler()  # leaves this call on the thread's stack

    with recording(config={"threading": True}) as host:
        run_in_thread(first, name="first")
        run_in_thread(lambda: add(1, 1), name="second")
    trace = recording.decode(host)
    second = [r for records in trace["frames"].values() for r in records if r["thread"] == "second"]
    assert events(second) == [("<lambda>", "call"), ("add", "call"), ("add", "return"),
                              ("<lambda>", "return")]
    assert second[0]["user_code_call_site"] is None
    assert second[1]["user_code_call_site"]["call_frame_id"] == second[0]["frame_id"]


def test_profiler_freed_with_its_last_reference(recording, make_host):
    host = make_host()
    _vesk.register_profiler(host)
    add(1, 1)
    _vesk.register_noop_profiler()
    ref_count_before = sys.getrefcount(type(host.rust_profiler))
    del host.rust_profiler
    gc.collect()
    assert sys.getrefcount(type(None)) > 0  # interpreter still fine
    assert ref_count_before > 0


def test_event_codes_other_than_call_and_return_are_ignored(recording):
    with recording() as host:
        len("builtin calls are c_call events")
        try:
            raise ValueError
        except ValueError:
            pass
    assert frames(recording.decode(host)) == []
