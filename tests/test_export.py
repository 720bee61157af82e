"""Export to the Chrome Trace Event format."""

import io
import json
import math

import msgpack
import pytest

from vesk import db
from vesk.export import export_chrome, export_stored_trace
from vesk.view import load_trace, open_trace, trace_from_parts

T0 = 1000.0  # small enough for millisecond steps to be exact to the nanosecond
MAIN, WORKER = ("MainThread", 100), ("worker", 200)


def frame(event, name, fid, t, /, thread=MAIN, arg=None, **local):
    return {"path": "app.py:1", "co_name": name, "qualname": f"app.{name}", "event": event, "frame_id": fid,
            "arg": arg, "locals": local, "thread": thread[0], "thread_native_id": thread[1],
            "timestamp": T0 + t / 1000, "type": "frame", "user_code_call_site": None}


def plugin(kind, t, thread=MAIN, **extra):
    return {"frame_id": None, "timestamp": T0 + t / 1000, "thread": thread[0], "thread_native_id": thread[1],
            "user_code_call_site": None, "type": kind, **extra}


def blob(records, frames=None, trace_id="trc_E"):
    return msgpack.packb({
        "command_line_args": ["app.py"], "current_commit_sha": None, "frames": frames or {},
        "frames_of_interest": records, "main_thread_id": 100,
        "meta": {"version": "0.1.0", "source": "vesk run app.py", "use_frame_boundaries": True},
        "timestamp": T0, "trace_id": trace_id})


def exported(trace, **options):
    out = io.StringIO()
    count = export_chrome(trace, out, **options)

    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")

    document = json.loads(out.getvalue(), parse_constant=refuse)
    assert count == len(document["traceEvents"])
    check_format(document)
    return document


def check_format(document):
    """What viewers need: required fields, X durations, nesting on each track."""
    assert document["displayTimeUnit"] == "ms" and isinstance(document["otherData"], dict)
    tracks = {}
    for event in document["traceEvents"]:
        assert {"ph", "ts", "pid", "tid", "name"} <= event.keys(), event
        assert all(isinstance(event[k], int) for k in ("pid", "tid")) and event["ts"] >= 0
        if event["ph"] == "X":
            assert event["dur"] >= 0
            tracks.setdefault(event["tid"], []).append(event)
        else:
            assert event["ph"] in ("M", "i")
    for events in tracks.values():
        open_ends = []  # nanoseconds, as viewers compare them
        for event in events:  # written depth first, parents before children
            start, end = round(event["ts"] * 1000), round((event["ts"] + event["dur"]) * 1000)
            while open_ends and open_ends[-1] <= start and not (open_ends[-1] == start == end):
                open_ends.pop()
            assert not open_ends or end <= open_ends[-1], f"{event['name']} overlaps its parent"
            open_ends.append(end)


def by_phase(document, phase):
    return [e for e in document["traceEvents"] if e["ph"] == phase]


def test_calls_threads_and_plugin_events():
    main = [frame("call", "main", "a", 0, n=2), plugin("start_test", 1, nodeid="t.py::a"),
            frame("call", "step", "b", 2), frame("return", "step", "b", 5, arg=7), frame("return", "main", "a", 9)]
    worker = [frame("call", "work", "c", 3, thread=WORKER), frame("return", "work", "c", 4, thread=WORKER, arg="ok")]
    document = exported(trace_from_parts([blob(main, frames={200: worker})]))
    metadata = {(e["name"], e["tid"]): e["args"] for e in by_phase(document, "M")}
    assert metadata[("process_name", 0)] == {"name": "vesk: vesk run app.py"}
    assert metadata[("thread_name", 100)] == {"name": "MainThread"}
    assert metadata[("thread_name", 200)] == {"name": "worker"}
    calls = {e["name"]: e for e in by_phase(document, "X")}
    assert {n: (e["tid"], e["ts"], e["dur"]) for n, e in calls.items()} == {
        "app.main": (100, 0, 9000), "app.step": (100, 2000, 3000), "app.work": (200, 3000, 1000)}
    assert calls["app.main"]["args"]["arguments"] == {"n": 2}
    assert (calls["app.step"]["args"]["return_value"], calls["app.work"]["args"]["return_value"]) == (7, "ok")
    (instant,) = by_phase(document, "i")
    assert (instant["name"], instant["s"], instant["tid"], instant["ts"]) == ("start_test", "t", 100, 1000)
    assert instant["args"]["nodeid"] == "t.py::a"


@pytest.mark.parametrize("records, expected", [
    pytest.param([frame("call", "f", "a", 0), frame("call", "g", "b", 1), plugin("mark", 6)],
                 {"app.f": (0, 6000, "no return"), "app.g": (1000, 5000, "no return")},
                 id="unfinished-until-last-record"),
    pytest.param([frame("call", "f", "a", 5), frame("call", "g", "b", 3), frame("return", "g", "b", 9),
                  frame("return", "f", "a", 8)],
                 {"app.f": (2000, 3000, None), "app.g": (2000, 3000, None)}, id="child-clock-outside-parent"),
    pytest.param([frame("call", "f", "a", 0), frame("return", "f", "a", 4), frame("call", "g", "b", 2),
                  frame("return", "g", "b", 6)],
                 {"app.f": (0, 4000, None), "app.g": (4000, 2000, None)}, id="siblings-overlapping"),
    pytest.param([frame("call", "g", "a", 2), frame("return", "g", "a", 3), frame("return", "f", None, 5)],
                 {"app.f": (0, 3000, "call not recorded"), "app.g": (0, 1000, None)}, id="return-without-call"),
    pytest.param([frame("call", "f", "a", 0), frame("call", "g", "b", 1), frame("return", "f", "a", 2)],
                 {"app.f": (0, 2000, None), "app.g": (1000, 1000, "no return")}, id="closed-by-outer-return"),
])
def test_intervals_nest(records, expected):
    document = exported(trace_from_parts([blob(records)]))
    assert {e["name"]: (e["ts"], e["dur"], e["args"].get("note")) for e in by_phase(document, "X")} == {
        name: (ts, dur, note and Contains(note)) for name, (ts, dur, note) in expected.items()}


class Contains(str):
    def __eq__(self, other):
        return isinstance(other, str) and self in other

    __hash__ = str.__hash__


def test_values_that_json_cannot_hold():
    values = {"nan": math.nan, "big": 1 << 60, "raw": b"\x00\xff", "keys": {(1, 2): 3},
              "long": "x" * 10_000, "fallback": {"__type__": "m.T", "__repr__": "<T>"}}
    document = exported(trace_from_parts([blob([frame("call", "f", "a", 0, **values),
                                                frame("return", "f", "a", 1, arg=math.inf)])]))
    (call,) = by_phase(document, "X")
    args = call["args"]["arguments"]
    assert (args["nan"], args["big"], args["raw"], args["fallback"]) == ("nan", str(1 << 60), "b'\\x00\\xff'", "<T>")
    assert args["keys"] == "{(1, 2): 3}" and len(args["long"]) <= 200 and call["args"]["return_value"] == "inf"


def test_threads_sharing_a_native_id_get_separate_tracks():
    first, second = ("old", 300), ("new", 300)
    records = [frame("call", "a", "a", 0, thread=first), frame("return", "a", "a", 2, thread=first),
               frame("call", "b", "b", 1, thread=second), frame("return", "b", "b", 3, thread=second)]
    document = exported(trace_from_parts([blob([], frames={300: records})]))
    tids = {e["args"]["name"]: e["tid"] for e in by_phase(document, "M") if e["name"] == "thread_name"}
    assert tids["old"] == 300 and tids["new"] not in (0, 300)
    assert {e["name"]: e["tid"] for e in by_phase(document, "X")} == {"app.a": tids["old"], "app.b": tids["new"]}


def test_multi_part_trace_to_a_file_with_progress(tmp_path):
    path = tmp_path / "db.sqlite3"
    calls = 6000
    first = [frame("call", "outer", "o", 0)] + [frame("call", "f", f"f{i}", i + 1) for i in range(calls)]
    second = [frame("return", "f", f"f{i}", i + 2) for i in range(calls)] + [frame("return", "outer", "o", 7000)]
    for records in (first, second):
        db.save_trace_in_sqlite(str(path), "trc_E", msgpack=blob(records))
    seen = []
    out = tmp_path / "trace.json"
    export_chrome(load_trace(path), out, progress=lambda done, total: seen.append((done, total)))
    with open(out, encoding="utf-8") as f:
        document = json.load(f)
    check_format(document)
    outer, f0, *_ = by_phase(document, "X")
    assert (outer["dur"], f0["dur"]) == (7_000_000, 1000) and "note" not in f0["args"]
    assert seen[-1] == (2 * calls + 2, 2 * calls + 2) and len(seen) > 1
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)
    assert document["otherData"]["trace_id"] == "trc_E" and document["otherData"]["records"] == str(2 * calls + 2)


NESTED = {
    "user_code_call_site": {"call_frame_id": "frm_1", "line_number": 10},
    "request_headers": {"Accept": "*/*", "Authorization": {"__type__": "builtins.str", "__len__": 24,
                                                           "__redacted__": True}},
    "parameters": [[1, "a", 0.5], {"name": "ada", "when": {"__type__": "datetime.date", "__repr__": "2024-01-02"}}],
    "exception": {"__type__": "builtins.KeyError", "__args__": ["k"]},
    "body": {"__type__": "builtins.str", "__len__": 5000, "__head__": "x" * 10},
    "odd_keys": {1: "one", (2, 3): [], b"k": None},
    "deep": [[[[[[[[[[[[[[[[[["bottom"]]]]]]]]]]]]]]]]]],
}


@pytest.mark.parametrize("stored", [False, True], ids=["loaded", "stored"])
def test_nested_fields_of_plugin_records_are_json(tmp_path, stored):
    records = [frame("call", "f", "a", 0), plugin("http", 1, **NESTED), frame("return", "f", "a", 2)]
    if stored:
        path = tmp_path / "db.sqlite3"
        db.save_trace_in_sqlite(str(path), "trc_E", msgpack=blob(records))
        out = io.StringIO()
        export_stored_trace(open_trace(path), out)
        document = json.loads(out.getvalue())
    else:
        document = exported(trace_from_parts([blob(records)]))
    (event,) = by_phase(document, "i")
    args = event["args"]
    assert args["user_code_call_site"] == {"call_frame_id": "frm_1", "line_number": 10}
    # What stands for one of the program's objects stays its text.
    assert args["request_headers"] == {"Accept": "*/*", "Authorization": "<redacted str, 24 chars>"}
    assert args["parameters"] == [[1, "a", 0.5], {"name": "ada", "when": "<datetime.date 2024-01-02>"}]
    assert (args["exception"], args["body"]) == ("KeyError('k')", "'xxxxxxxxxx…' (5000 chars)")
    assert args["odd_keys"] == {"1": "one", "(2, 3)": [], "b'k'": None}
    assert isinstance(args["deep"], str) and args["deep"].startswith("[[[[")
