"""Reading a stored trace in one pass, part by part: what `vesk show` and `vesk export` print must
not depend on how the trace was cut into parts, nor differ from loading it whole."""

import io
import math

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vesk import db
from vesk.__main__ import main
from vesk.export import export_chrome, export_stored_trace
from vesk.view import format_stored_trace, format_trace, open_trace, trace_from_parts
from vesk.view.outline import Outline

T0 = 1_700_000_000.0
MAIN, WORKER = ("MainThread", 100), ("worker", 200)


def frame(event, name, fid, t, thread=MAIN, **local):
    return {"path": f"/src/app/{name}.py:{int(t) + 1}", "co_name": name, "qualname": f"app.{name}",
            "event": event, "frame_id": fid, "arg": t if event == "return" else None, "locals": local,
            "thread": thread[0], "thread_native_id": thread[1], "timestamp": T0 + t / 1000, "type": "frame",
            "user_code_call_site": None}


def plugin(kind, t, thread=MAIN, **extra):
    return {"frame_id": None, "timestamp": T0 + t / 1000, "thread": thread[0], "thread_native_id": thread[1],
            "user_code_call_site": None, "type": kind, **extra}


def blob(main, workers=None, trace_id="trc_P"):
    return msgpack.packb({
        "command_line_args": ["app.py"], "current_commit_sha": "abc", "frames": workers or {},
        "frames_of_interest": main, "main_thread_id": 100,
        "meta": {"version": "0.1.0", "source": "vesk run app.py", "use_frame_boundaries": True},
        "timestamp": T0, "trace_id": trace_id})


# Three parts of one trace: calls that return parts later, a return without its call inside a
# call, one at top level that encloses all before it, a plugin record, a thread of "frames".
PARTS = [
    ([frame("call", "main", "a", 0, n=1), frame("call", "f", "b", 1), plugin("mark", 2, note="x"),
      frame("call", "g", "c", 3)],
     {200: [frame("call", "work", "w", 1, thread=WORKER)]}),
    ([frame("return", "g", "c", 4), frame("return", "lost", None, 5), frame("call", "h", "d", 6)],
     {200: []}),
    ([frame("return", "h", "d", 7), frame("return", "f", "b", 8), frame("return", "main", "a", 9),
      frame("return", "runner", None, 10), frame("call", "tail", "e", 11)],
     {200: [frame("return", "work", "w", 12, thread=WORKER)]}),
]


def run(capsys, *args):
    assert main(list(args)) == 0
    return capsys.readouterr().out


@pytest.mark.parametrize("options", [[], ["--depth", "2"], ["--limit", "3"], ["--depth", "1", "--limit", "1"]])
def test_parts_read_as_one(tmp_path, capsys, options):
    whole, cut = tmp_path / "whole.sqlite3", tmp_path / "cut.sqlite3"
    db.save_trace_in_sqlite(str(whole), "trc_P", msgpack=blob(
        [r for main_records, _ in PARTS for r in main_records],
        {200: [r for _, workers in PARTS for r in workers[200]]}))
    for main_records, workers in PARTS:
        db.save_trace_in_sqlite(str(cut), "trc_P", msgpack=blob(main_records, workers))

    shown = run(capsys, "show", "--db", str(whole), *options)
    assert run(capsys, "show", "--db", str(cut), *options) == shown.replace("in 1 part", "in 3 parts")
    assert "in 1 part\n" in shown and "runner" in shown
    run(capsys, "export", "--db", str(whole), "-o", str(tmp_path / "whole.json"))
    run(capsys, "export", "--db", str(cut), "-o", str(tmp_path / "cut.json"))
    assert (tmp_path / "whole.json").read_bytes() == (tmp_path / "cut.json").read_bytes()


def _bad_utf8():
    return blob([frame("call", "f", "a", 0)]).replace(b"/src/app/f.py", b"/src/app/\xff.py")


def _unhashable_key():
    return blob([frame("call", "f", "a", 0), {(1, 2): "key", **frame("return", "f", "a", 1)}])


def _repeated_thread():
    # "frames" names a native id twice: a dict keeps the second list only.
    pack = msgpack.Packer().pack
    return (b"\x82" + pack("frames") + b"\x82" + pack(200) + pack([frame("call", "v", "v", 0, thread=WORKER)])
            + pack(200) + pack([]) + pack("frames_of_interest") + pack([]))


BAD_TEXT = b"\xa2\xff\xfe"  # a str that is not UTF-8


def _with(key, value, main=None):
    """A part with one more entry, key (a str) to the MessagePack value; and main's records."""
    part = blob(main or [])
    assert part[0] == 0x88
    return b"\x89" + part[1:] + msgpack.packb(key) + value


def _bad(part):
    """part with its "@@bad@@" strs not UTF-8."""
    return part.replace(msgpack.packb("@@bad@@"), BAD_TEXT)


def _repeated_main():
    # The first array of records is a dict's no more: the second takes its place.
    return _bad(_with("frames_of_interest", msgpack.packb([frame("call", "f", "a", 0)]),
                      [frame("call", "f", "a", 0), {"event": "@@bad@@"}]))


@pytest.mark.parametrize("bad", [
    pytest.param(b"\xc1", id="not-msgpack"),
    pytest.param(blob([frame("call", "f", "a", 0)])[:-7], id="truncated"),
    pytest.param(blob([frame("call", "f", "a", 0)]) + b"\x00", id="trailing-bytes"),
    pytest.param(_bad_utf8(), id="record-not-utf8"),
    pytest.param(_unhashable_key(), id="record-key-not-hashable"),
    pytest.param(_repeated_thread(), id="thread-listed-twice"),
    # Values that no reader of records decodes: the part does not decode whole all the same.
    pytest.param(_with("extra", BAD_TEXT, [frame("call", "f", "a", 0)]), id="other-key-not-utf8"),
    pytest.param(_with("extra", b"\x91" + BAD_TEXT), id="other-key-array-not-utf8"),
    pytest.param(_bad(blob("@@bad@@")), id="records-not-an-array"),
    pytest.param(_bad(blob([], {200: "@@bad@@"})), id="thread-not-an-array"),
    pytest.param(_bad(blob([], "@@bad@@")), id="frames-not-a-map"),
    pytest.param(_repeated_main(), id="records-given-twice"),
])
def test_odd_parts_read_as_when_loaded_whole(tmp_path, bad):
    path = tmp_path / "db.sqlite3"
    blobs = [blob(*PARTS[0]), bad, blob(*PARTS[2])]
    for data in blobs:
        db.save_trace_in_sqlite(str(path), "trc_P", msgpack=data)
    loaded = trace_from_parts(blobs, "trc_P")
    for options in ({}, {"depth": 2, "limit": 4}):
        expected, got = io.StringIO(), io.StringIO()
        format_trace(loaded, expected, width=120, **options)
        format_stored_trace(open_trace(path), got, width=120, **options)
        assert got.getvalue() == expected.getvalue()
    expected, got = io.StringIO(), io.StringIO()
    export_chrome(loaded, expected)
    export_stored_trace(open_trace(path), got)
    assert got.getvalue() == expected.getvalue()


@pytest.mark.parametrize("depth, limit", [(None, 5), (1, 5), (3, 5), (3, 1)])
def test_what_show_keeps_does_not_grow_with_the_trace(depth, limit):
    outline = Outline(depth, limit)
    t = 0
    for round_ in range(2000):
        # A few nested calls, then returns whose calls were not recorded: each of those at top
        # level encloses everything before it and moves it a level down.
        for level in range(4):
            outline.feed(frame("call", "f", f"c{round_}.{level}", t := t + 1))
        outline.feed(frame("return", "f", f"c{round_}.0", t := t + 1))
        outline.feed(frame("return", "runner", None, t := t + 1))
        assert len(outline.kept) <= 2 * limit * (depth or 1) + limit
    outline.finish()
    # Depth 1 shows the last of those returns only: it encloses everything.
    assert len(outline.lines()) == (1 if depth == 1 else limit)


# Values of every kind a record may hold, and some that only a broken or foreign recording would:
# numbers at the edges of what JSON holds (and any float or 64-bit int besides), text to cut and
# escape, map keys that are not text, extension types (a timestamp among them, which the native
# reader leaves to msgpack).
ODD_VALUES = [None, True, -1, 2**53, 2**53 + 1, -2**63, 2**64 - 1, 0.1, -0.0, 1e16, 1e-5, 12345.125,
              math.nan, -math.inf, "", "é" * 250, "\x00\n\"\\\u2028\x7f", b"\x00by", [1, [2.5, None]],
              {"k": 1, 2: "v"}, {"__type__": "m.C", "__repr__": "<m.C object at 0x1>"},
              msgpack.ExtType(5, b"x"), msgpack.Timestamp(1, 2)]
ODD_STAMPS = [None, "x", math.nan, math.inf, 1e300, -1e300, 1e301, True, 7]


@st.composite
def odd_record(draw, fact=False):
    """A record of a recording that may have stopped anywhere, or of another writer: any field
    missing or of another type, frame ids shared or odd; with fact, or now and then, an exception
    or generator record."""
    value = st.one_of(st.sampled_from(ODD_VALUES), st.floats(), st.integers(-2**63, 2**64 - 1))
    flag = st.sampled_from([True, False, None, 1])
    fields = {
        "event": st.sampled_from(["call", "call", "return", "return", "line", None]),
        "frame_id": st.sampled_from(["a", "b", "c", "d", None, 7]),
        "timestamp": st.one_of(st.integers(0, 60).map(lambda t: T0 + t / 8), st.sampled_from(ODD_STAMPS)),
        "type": st.sampled_from(["frame", "frame", "mark", None, 5, "exception", "generator"]),
        "subtype": st.sampled_from(["sub", 3]),
        "path": st.sampled_from(["/src/app/a.py:3", "/src/lib/b.py:9", "rel.py:1", 4]),
        "co_name": st.sampled_from(["f", "<module>", "", None]),
        "qualname": st.sampled_from(["app.f", "app.g", "", 8]),
        "locals": st.one_of(st.dictionaries(st.sampled_from(["x", "y", 1, "é"]), value, max_size=3), value),
        "arg": value,
        "user_code_call_site": st.sampled_from([None, {"line_number": 3}, {"line_number": "x"},
                                                {"line_number": True, "call_frame_id": "a"}, 5]),
        "thread": st.sampled_from(["MainThread", "worker", None]),
        "thread_native_id": st.sampled_from([100, 200, None, True, "x"]),
        "caught": flag,
        "resumed": flag,
        "yielded": flag,
        "origin": st.sampled_from(["raised", "callee", "elsewhere", None]),
        "exception": st.sampled_from(["builtins.ValueError", "app.Odd\x1b[0m", "", None, 3]),
        "message": st.one_of(value, st.sampled_from(["boom", "", "it's \"odd\"\n" * 30])),
    }
    if fact or draw(st.integers(0, 5)) == 0:
        fields["type"] = st.sampled_from(["exception", "exception", "generator"])
        extra = draw(st.lists(st.sampled_from(["thread", "thread_native_id", "caught", "resumed", "yielded",
                                                "origin", "exception", "message", "path"]), unique=True))
        return draw(st.fixed_dictionaries({key: fields[key] for key in ["type", "frame_id", "timestamp", *extra]}))
    keys = draw(st.lists(st.sampled_from(list(fields)), unique=True, min_size=3))
    if draw(st.booleans()):
        keys = ["event", "frame_id", "timestamp", *[k for k in keys if k not in ("event", "frame_id", "timestamp")]]
    return draw(st.one_of(st.fixed_dictionaries({key: fields[key] for key in keys}), st.sampled_from([3, [1]]))
                if draw(st.integers(0, 30)) == 0 else st.fixed_dictionaries({key: fields[key] for key in keys}))


class _InMemory:
    """A StoredTrace's part: the parts of one trace, in memory."""

    trace_id = "trc_P"

    def __init__(self, blobs):
        self.blobs = blobs

    def parts(self, reuse=False):
        return iter(self.blobs)


@st.composite
def ended_call(draw):
    """A call, records of how it ended (exception, generator; caught ones among them, which are
    not) and mostly its return: as the engine writes them, but for the odd fields."""
    fid, thread, t = draw(st.sampled_from("abcd")), draw(st.sampled_from([MAIN, WORKER])), draw(st.integers(0, 50))
    facts = [{**fact, "frame_id": fid, "thread": thread[0], "thread_native_id": thread[1]}
             for fact in draw(st.lists(odd_record(fact=True), min_size=1, max_size=3))]
    ret = [frame("return", "g", fid, t + 2, thread)] if draw(st.integers(0, 3)) else []
    return (frame("call", "g", fid, t, thread, x=t), *facts, *ret)


@st.composite
def odd_records(draw):
    """odd_records with ended_calls among them, in the arrays they are stored in (None: the main
    thread's)."""
    where = st.sampled_from([None, None, 200, 300])
    records = draw(st.lists(st.tuples(odd_record(), where), max_size=40))
    for at, call, array in draw(st.lists(st.tuples(st.integers(0, 40), ended_call(), where), max_size=4)):
        records[at:at] = [(record, array) for record in call]
    return records


@settings(max_examples=200, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(records=odd_records(), cuts=st.lists(st.integers(0, 40), max_size=2))
def test_native_reading_matches_the_python_walkers(records, cuts):
    # The records cut into parts, each record in the main array or in a thread's.
    bounds = [0, *sorted(cuts), len(records)]
    blobs = []
    for start, end in zip(bounds, bounds[1:]):
        chunk = records[start:end]
        workers = {tid: [r for r, where in chunk if where == tid] for tid in (200, 300)}
        blobs.append(blob([r for r, where in chunk if where is None], workers))
    loaded, stored = trace_from_parts(blobs, "trc_P"), _InMemory(blobs)
    for options in ({}, {"depth": 1}, {"depth": 2, "limit": 3}, {"limit": 2}, {"depth": 3, "limit": 1}):
        expected, got = io.StringIO(), io.StringIO()
        format_trace(loaded, expected, width=200, **options)
        format_stored_trace(stored, got, width=200, **options)
        assert got.getvalue() == expected.getvalue()
    assert _exported(export_stored_trace, stored) == _exported(export_chrome, loaded)


def _exported(export, trace):
    """What export writes of trace, or the error it fails with (both ways of reading meet it)."""
    out = io.StringIO()
    try:
        export(trace, out)
    except Exception as exc:
        return repr(exc)
    return out.getvalue()
