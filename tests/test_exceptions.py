"""Exceptions on their way through recorded frames, and generators' suspensions and resumptions,
as the engine records them beside the frames' records."""

import asyncio
import gc
import io
import json
import logging
import sys
import threading

import pytest

from vesk.export import export_chrome
from vesk.view import format_trace, trace_from_parts

FOLLOWED = sys.version_info >= (3, 12)  # before, only the frames an exception leaves are known


def boom():
    raise ValueError("boom")


def passes():
    boom()


def catches():
    try:
        passes()
    except ValueError:
        return "caught"


def reraises():
    try:
        boom()
    except ValueError:
        raise


def lets_through():
    try:
        boom()
    finally:
        pass


def replaces():
    try:
        boom()
    except ValueError as error:
        raise KeyError("other") from error


def key_raises(x):
    raise LookupError(x)


def through_sorted():
    try:
        sorted([1, 2], key=key_raises)
    except LookupError:
        pass


def through_map():
    try:
        list(map(key_raises, [3]))
    except LookupError:
        pass


def by_builtin():
    try:
        int("x")
    except ValueError:
        pass


def by_library():
    try:
        json.loads("{")
    except ValueError:
        pass


def in_thread():
    worker = threading.Thread(target=catches)
    worker.start()
    worker.join()


def in_loop():
    for value in (1, 2):
        try:
            boom()
        except ValueError:
            pass
    return "done"


VALUE = "builtins.ValueError"
LOOKUP = "builtins.LookupError"
SCENARIOS = {
    # name: (function, [(frame, exception, origin, caught)] as 3.12 records them)
    "raised and propagated, then caught": (catches, [
        ("boom", VALUE, "raised", False), ("passes", VALUE, "callee", False),
        ("catches", VALUE, "callee", True)]),
    "re-raised by a bare raise": (reraises, [
        ("boom", VALUE, "raised", False), ("reraises", VALUE, "callee", False)]),
    "let through by a finally block": (lets_through, [
        ("boom", VALUE, "raised", False), ("lets_through", VALUE, "callee", False)]),
    "replaced by another": (replaces, [
        ("boom", VALUE, "raised", False), ("replaces", VALUE, "callee", True),
        ("replaces", "builtins.KeyError", "raised", False)]),
    "through sorted(key=...)": (through_sorted, [
        ("key_raises", LOOKUP, "raised", False), ("through_sorted", LOOKUP, "callee", True)]),
    "through map()": (through_map, [
        ("key_raises", LOOKUP, "raised", False), ("through_map", LOOKUP, "callee", True)]),
    "raised by a builtin": (by_builtin, [("by_builtin", VALUE, "raised", True)]),
    "from frames left out": (by_library, [
        ("by_library", "json.decoder.JSONDecodeError", "callee", True)]),
    "in a thread": (in_thread, [
        ("boom", VALUE, "raised", False), ("passes", VALUE, "callee", False),
        ("catches", VALUE, "callee", True)]),
    "caught again and again": (in_loop, [
        ("boom", VALUE, "raised", False), ("in_loop", VALUE, "callee", True)] * 2),
}


def all_records(trace):
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


def exception_facts(records):
    names = {r["frame_id"]: r["co_name"] for r in records if r["type"] == "frame"}
    return [(names.get(r["frame_id"]), r["exception"], r["origin"], r["caught"])
            for r in records if r["type"] == "exception"]


@pytest.mark.parametrize("name", SCENARIOS)
def test_exception_records(recording, name):
    function, expected = SCENARIOS[name]
    with recording(config={"threading": True}) as host:
        try:
            function()
        except Exception:
            pass
    records = all_records(recording.decode(host))
    if not FOLLOWED:
        expected = [(frame, None, None, False) for frame, _, _, caught in expected if not caught]
    assert exception_facts(records) == expected
    for record in records:
        if record["type"] == "exception":
            assert record["thread"] == ("MainThread" if function is not in_thread else
                                        next(r["thread"] for r in records if r["type"] == "frame"
                                             and r["co_name"] == "catches"))
            if FOLLOWED and record["exception"] == VALUE:
                assert record["message"] == ("invalid literal for int() with base 10: 'x'"
                                             if function is by_builtin else "boom")
    # A frame an exception leaves returns nothing; its record comes right before that return.
    for index, record in enumerate(records):
        if record["type"] == "exception" and not record["caught"]:
            following = records[index + 1]
            assert (following["type"], following["event"], following["arg"]) == (
                "frame", "return", None)
            assert following["frame_id"] == record["frame_id"]
            assert following["user_code_call_site"] == record["user_code_call_site"]


def counter(n):
    for i in range(n):
        yield i


def closes_early():
    generator = counter(5)
    next(generator)
    try:
        generator.throw(KeyError("stop"))
    except KeyError:
        pass


async def sleeper():
    await asyncio.sleep(0)
    return "slept"


async def awaiter():
    # Awaits a task that is done, then one that is not: each ends with a StopIteration inside
    # the await, which is the await's result, never an exception of the coroutine.
    done = asyncio.ensure_future(sleeper())
    await asyncio.sleep(0.01)
    first = await done
    second = await asyncio.create_task(sleeper())
    return first + second


GENERATORS = {
    # name: (function, [(frame, resumed, yielded, ended by an exception)] per recorded stretch)
    "a generator": (lambda: list(counter(2)), [
        ("counter", False, True, False), ("counter", True, True, False),
        ("counter", True, False, False)]),
    "a generator thrown into": (closes_early, [
        ("counter", False, True, False), ("counter", True, False, True)]),
    "a coroutine": (lambda: asyncio.run(sleeper()), [
        ("sleeper", False, True, False), ("sleeper", True, False, False)]),
    "a coroutine awaiting tasks": (lambda: asyncio.run(awaiter()), [
        ("awaiter", False, True, False),
        ("sleeper", False, True, False), ("sleeper", True, False, False),
        ("awaiter", True, True, False),
        ("sleeper", False, True, False), ("sleeper", True, False, False),
        ("awaiter", True, False, False)]),
}


@pytest.mark.parametrize("name", GENERATORS)
def test_generator_stretches(recording, name):
    function, expected = GENERATORS[name]
    with recording(config={"filters": {"ignore_frames": ["asyncio"]}}) as host:
        function()
    records = all_records(recording.decode(host))
    stretches, facts = [], {}
    for record in records:
        if record["type"] in ("generator", "exception"):
            facts.setdefault(record["frame_id"], {})[record["type"]] = record
        elif record["type"] == "frame" and record["event"] == "return" and record["co_name"] in (
                "counter", "sleeper", "awaiter"):
            own = facts.get(record["frame_id"], {})
            generator = own.get("generator", {"resumed": False, "yielded": False})
            stretches.append((record["co_name"], generator["resumed"], generator["yielded"],
                              "exception" in own))
    assert stretches == expected


def program():
    catches()
    list(counter(2))


def test_show_and_export_mark_exceptions_and_yields(recording, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    with recording() as host:
        program()
    trace = trace_from_parts([host.rust_profiler.build_trace()])
    out = io.StringIO()
    format_trace(trace, out, width=200)
    lines = [line.split("  [")[0] for line in out.getvalue().splitlines()
             if line.startswith(("test_exceptions.", "├", "│", "└"))]
    raised = "ValueError('boom')" if FOLLOWED else "exception"
    expected = [
        "test_exceptions.program() -> None",
        f"├─ test_exceptions.catches() -> 'caught'",
        f"│  ├─ test_exceptions.passes() !! {raised}",
        f"│  │  └─ test_exceptions.boom() !! {raised}",
        *(["│  └─ !! ValueError('boom') (caught)"] if FOLLOWED else []),
        "├─ test_exceptions.counter(n=2) yield 0",
        "├─ test_exceptions.counter(n=2, i=0) (resumed) yield 1",
        "└─ test_exceptions.counter(n=2, i=1) (resumed) -> None",
    ]
    if not FOLLOWED:
        expected[1] = "├─ test_exceptions.catches() -> 'caught'"
        expected[2] = expected[2].replace("├─", "└─", 1)
        expected[3] = expected[3].replace("│  │", "│   ", 1)
    assert lines == expected

    path = tmp_path / "trace.json"
    export_chrome(trace, path)
    events = {}
    for event in json.loads(path.read_text())["traceEvents"]:
        events.setdefault(event["name"], []).append(event.get("args", {}))
    assert events["test_exceptions.boom"][0]["raised"] == raised
    assert "return_value" not in events["test_exceptions.boom"][0]
    assert [(a.get("resumed"), a.get("yielded"), a.get("return_value"))
            for a in events["test_exceptions.counter"]] == [(None, 0, None), (True, 1, None),
                                                            (True, None, None)]
    if FOLLOWED:
        assert events["test_exceptions.boom"][0]["raised_in"] == "this frame"
        assert events["caught ValueError"][0]["caught"] is True


def stop_earlier_recordings(recording):
    """Recordings of earlier tests that were never stopped still hold our tool id."""
    with recording() as host:
        pass
    profiler_type = type(host.rust_profiler)
    gc.collect()
    for profiler in [o for o in gc.get_objects() if type(o) is profiler_type]:
        profiler.stop()


@pytest.mark.skipif(not FOLLOWED, reason="sys.monitoring comes with 3.12")
def test_the_program_gets_the_tool_id_that_vesk_holds(recording):
    monitoring = sys.monitoring
    stop_earlier_recordings(recording)
    with recording() as host:
        (ours,) = [t for t in range(6) if monitoring.get_tool(t) == "vesk"]
        monitoring.use_tool_id(ours, "the program's")
        try:
            assert monitoring.get_tool(ours) == "the program's"
            (moved,) = [t for t in range(6) if monitoring.get_tool(t) == "vesk"]
            catches()
        finally:
            monitoring.free_tool_id(ours)
    assert len(exception_facts(all_records(recording.decode(host)))) == 3
    host.rust_profiler.stop()
    assert monitoring.get_tool(moved) is None
    assert monitoring.use_tool_id.__self__ is monitoring  # the interpreter's own again


@pytest.mark.skipif(not FOLLOWED, reason="sys.monitoring comes with 3.12")
def test_tool_ids_of_the_program_are_left_alone(recording, caplog):
    monitoring = sys.monitoring
    stop_earlier_recordings(recording)
    free = [tool for tool in range(6) if monitoring.get_tool(tool) is None]
    seen = []
    monitoring.use_tool_id(free[0], "the program's")
    try:
        monitoring.register_callback(free[0], monitoring.events.RAISE,
                                     lambda code, offset, exc: seen.append(type(exc)))
        monitoring.set_events(free[0], monitoring.events.RAISE)
        with recording() as host:
            catches()
            ours = [t for t in range(6) if monitoring.get_tool(t) == "vesk"]
        assert len(ours) == 1 and ours[0] != free[0]
        assert seen == [ValueError] * 3  # the program's own tool still sees every frame
        assert len(exception_facts(all_records(recording.decode(host)))) == 3
        host.rust_profiler.stop()
        assert monitoring.get_tool(ours[0]) is None  # given back when recording stops

        # Every id taken: recording goes on without exception facts, and says so once.
        taken = [t for t in range(6) if monitoring.get_tool(t) is None]
        for tool in taken:
            monitoring.use_tool_id(tool, "the program's")
        try:
            with caplog.at_level(logging.WARNING, logger="vesk"):
                for _ in range(2):
                    with recording() as host:
                        catches()
                    host.rust_profiler.stop()
                    # 3.13 still tells the frames an exception leaves, as 3.11 does.
                    facts = exception_facts(all_records(recording.decode(host)))
                    assert facts == ([("boom", None, None, False), ("passes", None, None, False)]
                                     if sys.version_info >= (3, 13) else [])
            assert len([r for r in caplog.records if "tool id" in r.getMessage()]) <= 1
        finally:
            for tool in taken:
                monitoring.free_tool_id(tool)
    finally:
        monitoring.set_events(free[0], 0)
        monitoring.register_callback(free[0], monitoring.events.RAISE, None)
        monitoring.free_tool_id(free[0])


class Counted(Exception):
    """An exception whose own str() and repr() are the program's code, counted."""

    calls = 0

    def __str__(self):
        Counted.calls += 1
        return "counted"

    __repr__ = __str__


class Described:
    calls = 0

    def __repr__(self):
        Described.calls += 1
        return "described"

    __str__ = __repr__


@pytest.mark.parametrize("error, value, message", [
    (KeyError(3), {"__type__": "builtins.KeyError", "__args__": [3]}, "3"),
    (KeyError("name"), {"__type__": "builtins.KeyError", "__args__": ["name"]}, "'name'"),
    (FileNotFoundError(2, "No such file"),
     {"__type__": "builtins.FileNotFoundError", "__args__": [2, "No such file"]},
     "[Errno 2] No such file"),
    (Counted("x"), {"__type__": f"{__name__}.Counted", "__args__": ["x"]}, None),
    (ValueError(Described()),
     {"__type__": "builtins.ValueError",
      "__args__": [{"__type__": f"{__name__}.Described", "__fields__": {}}]}, None),
], ids=["int-key", "str-key", "os-error", "own-str", "object-arg"])
def test_an_exception_is_stored_from_its_args_without_the_programs_code(recording, error, value,
                                                                         message):
    Counted.calls = Described.calls = 0

    def fails():
        raise error

    with recording() as host:
        try:
            fails()
        except Exception:
            pass
    [record] = [r for r in all_records(recording.decode(host)) if r["type"] == "exception"]
    assert Counted.calls == Described.calls == 0
    if FOLLOWED:
        assert record["value"] == value
        assert record["message"] == message
    else:
        assert record["value"] is None and record["message"] is None
