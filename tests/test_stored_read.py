"""Reading a stored trace in one pass, part by part: what `vesk show` and `vesk export` print must
not depend on how the trace was cut into parts, nor differ from loading it whole."""

import io

import msgpack
import pytest

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


@pytest.mark.parametrize("bad", [
    pytest.param(b"\xc1", id="not-msgpack"),
    pytest.param(blob([frame("call", "f", "a", 0)])[:-7], id="truncated"),
    pytest.param(blob([frame("call", "f", "a", 0)]) + b"\x00", id="trailing-bytes"),
    pytest.param(_bad_utf8(), id="record-not-utf8"),
    pytest.param(_unhashable_key(), id="record-key-not-hashable"),
    pytest.param(_repeated_thread(), id="thread-listed-twice"),
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
