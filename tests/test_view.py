"""Reading traces back: loading, call trees and the text views."""

import io
import re
import sqlite3
import sys

import msgpack
import pytest

from vesk import db
from vesk.view import ViewError, build_tree, format_trace, format_traces, format_value, load_trace, trace_from_parts

T0 = 1_700_000_000.0
MAIN = ("MainThread", 100)


def frame(event, name, fid, t, /, thread=MAIN, arg=None, site=None, line=10, **local):
    return {"path": f"app.py:{line}", "co_name": name.rsplit(".", 1)[-1], "qualname": name, "event": event,
            "frame_id": fid, "arg": arg, "locals": local, "thread": thread[0], "thread_native_id": thread[1],
            "timestamp": T0 + t / 1000, "type": "frame",
            "user_code_call_site": None if site is None else {"call_frame_id": "frm_x", "line_number": site}}


def plugin(kind, t, thread=MAIN, **extra):
    return {"frame_id": None, "timestamp": T0 + t / 1000, "thread": thread[0], "thread_native_id": thread[1],
            "user_code_call_site": None, "type": kind, **extra}


def blob(records, frames=None, main_thread_id=100, trace_id="trc_A"):
    return msgpack.packb({
        "command_line_args": ["app.py", "--fast"], "current_commit_sha": "abc123", "frames": frames or {},
        "frames_of_interest": records, "main_thread_id": main_thread_id,
        "meta": {"version": "0.1.0", "source": "vesk run app.py", "use_frame_boundaries": True},
        "timestamp": T0, "trace_id": trace_id})


def shape(nodes):
    """A tree as nested (name, finished, call recorded, children) tuples."""
    return [(n.name, n.finished, n.call is not None, shape(n.children)) for n in nodes]


def render(trace, **options):
    out = io.StringIO()
    format_trace(trace, out, width=options.pop("width", 200), **options)
    return out.getvalue()


def calls_of(text):
    return text.split("\n\n", 1)[1].splitlines()


@pytest.mark.parametrize("records, expected", [
    pytest.param([frame("call", "f", "a", 0), frame("call", "g", "b", 1)],
                 [("f", False, True, [("g", False, True, [])])], id="never-returned"),
    pytest.param([frame("call", "f", "a", 0), frame("call", "g", "b", 1), frame("return", "f", "a", 2),
                  frame("call", "h", "c", 3), frame("return", "h", "c", 4)],
                 [("f", True, True, [("g", False, True, [])]), ("h", True, True, [])], id="outer-return-closes-inner"),
    pytest.param([frame("call", "g", "a", 0), frame("return", "g", "a", 1), frame("return", "f", None, 2),
                  frame("call", "h", "b", 3), frame("return", "h", "b", 4), frame("return", "main", None, 5)],
                 [("main", True, False, [("f", True, False, [("g", True, True, [])]), ("h", True, True, [])])],
                 id="returns-without-calls-enclose-what-came-before"),
    pytest.param([frame("call", "f", "a", 0), frame("return", "x", None, 1), frame("return", "f", "a", 2)],
                 [("f", True, True, [("x", True, False, [])])], id="return-without-call-inside-a-call"),
    pytest.param([frame("call", "gen", "a", 0), frame("return", "gen", "a", 1),
                  frame("call", "gen", "b", 2), frame("call", "g", "c", 3), frame("return", "g", "c", 4),
                  frame("return", "gen", "b", 5)],
                 [("gen", True, True, []), ("gen", True, True, [("g", True, True, [])])], id="generator-resumed"),
    pytest.param([frame("call", "f", "a", 0), plugin("start_test", 1, nodeid="t.py::a"), frame("return", "f", "a", 2)],
                 [("f", True, True, [("start_test", False, True, [])])], id="plugin-record-in-place"),
    pytest.param([frame("call", "f", None, 0), plugin("exception", 1, caught=False), frame("return", "f", None, 2)],
                 [("f", False, True, [("exception", False, True, []), ("f", True, False, [])])],
                 id="only-ids-tie-a-fact-to-its-call"),
])
def test_tree_shapes(records, expected):
    assert shape(build_tree(records)) == expected


def test_deep_recursion_needs_no_python_recursion(monkeypatch):
    depth = 5000
    records = [frame("call", "r", f"f{i}", i) for i in range(depth)]
    records += [frame("return", "r", f"f{i}", depth + i) for i in reversed(range(depth))]
    trace = trace_from_parts([blob(records)])
    monkeypatch.setattr(sys, "getrecursionlimit", lambda: 100)  # nothing should ask
    assert len(calls_of(render(trace, width=60))) == 1 + depth
    assert trace.threads[0].roots[0].size == depth


def test_threads_grouped_and_main_first():
    worker = ("worker", 200)
    interleaved = [frame("call", "w", "a", 0, thread=worker), frame("call", "m", "b", 1),
                   frame("return", "w", "a", 2, thread=worker), frame("return", "m", "b", 3)]
    # A native id handed to a new thread after the first one ended.
    other, renewed = ("other", 300), ("renewed", 300)
    reused = [frame("call", "x", "c", 4, thread=other), frame("return", "x", "c", 5, thread=other),
              frame("call", "y", "d", 6, thread=renewed), frame("return", "y", "d", 7, thread=renewed)]
    trace = trace_from_parts([blob(interleaved, frames={300: reused})])
    assert [(t.name, t.native_id, t.is_main) for t in trace.threads] == [
        ("MainThread", 100, True), ("worker", 200, False), ("other", 300, False), ("renewed", 300, False)]
    assert [shape(t.roots) for t in trace.threads] == [[(n, True, True, [])] for n in "mwxy"]


def save(path, trace_id, records, **options):
    db.save_trace_in_sqlite(str(path), trace_id, msgpack=blob(records, trace_id=trace_id, **options))


def test_load_merges_parts_in_order(tmp_path):
    path = tmp_path / "db.sqlite3"
    save(path, "trc_OLD", [frame("call", "f", "a", 0), frame("call", "g", "b", 1)])
    save(path, "trc_NEW", [frame("call", "n", "z", 0)])
    save(path, "trc_OLD", [frame("return", "g", "b", 3), frame("return", "f", "a", 4)])
    trace = load_trace(path, "trc_OLD")
    assert (trace.parts, trace.record_count, trace.source, trace.commit) == (2, 4, "vesk run app.py", "abc123")
    (f,) = trace.threads[0].roots
    assert shape([f]) == [("f", True, True, [("g", True, True, [])])] and f.duration == pytest.approx(0.004, abs=1e-6)
    assert load_trace(path).trace_id == "trc_NEW"
    assert load_trace(path, "trc_O").trace_id == "trc_OLD"


def _foreign(path):
    sqlite3.connect(path).execute("CREATE TABLE t (x)").connection.commit()


def _too_new(path):
    save(path, "t", [])
    sqlite3.connect(path).execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")


def _emptied(path):
    save(path, "t", [])
    sqlite3.connect(path).execute("DELETE FROM traces").connection.commit()


@pytest.mark.parametrize("prepare, trace_id, message", [
    (None, None, "no trace database at {path}: record something first with `vesk run`"),
    (lambda p: save(p, "trc_A", []), "trc_B", "no trace trc_B in {path}"),
    (lambda p: (save(p, "trc_A1", []), save(p, "trc_A2", [])), "trc_A", "trace id trc_A is ambiguous in {path}"),
    (_emptied, None, "no traces in {path}: record something first with `vesk run`"),
    (_foreign, None, "{path} is not a vesk trace database"),
    (lambda p: p.write_bytes(b"not sqlite at all" * 100), "x", "{path} is not a vesk trace database"),
    (_too_new, None, "{path} was written by a newer vesk"),
])
def test_load_errors(tmp_path, prepare, trace_id, message):
    path = tmp_path / "db.sqlite3"
    if prepare:
        prepare(path)
    with pytest.raises(ViewError) as error:
        load_trace(path, trace_id)
    assert str(error.value).startswith(message.format(path=path)) and "\n" not in str(error.value)


def test_undecodable_part_is_left_out_with_a_warning():
    trace = trace_from_parts([blob([frame("call", "f", "a", 0)]), b"\xc1"])
    assert trace.record_count == 1 and "part 2 of 2" in trace.warnings[0]
    assert "warning: part 2 of 2" in render(trace)
    with pytest.raises(ViewError):
        trace_from_parts([b"\xc1"], "trc_X")


SAMPLE = [
    frame("call", "app.main", "a", 0, line=3),
    frame("call", "app.Shop.add", "b", 1, site=5, line=10, self={"__type__": "app.Shop", "__repr__": "<Shop>"},
          name="apple", qty=3),
    frame("return", "app.Shop.add", "b", 3.5, arg=4, line=12),
    plugin("start_test", 4, nodeid="test_x.py::test_a"),
    frame("call", "app.helper", "c", 5, site=6, line=20),
    frame("call", "app.inner", "d", 6, line=30),
    frame("return", "app.helper", "c", 7, arg=None, line=21),
]


def test_call_lines():
    text = render(trace_from_parts([blob(SAMPLE)]))
    header, body = text.split("\n\n", 1)
    assert re.search(r"^command +app\.py --fast$", header, re.M) and re.search(r"^records +7 in 1 part$", header, re.M)
    assert body.splitlines() == [
        "MainThread (main thread, native id 100, 7 records)",
        "app.main()  [no return recorded]  app.py:3",
        "├─ app.Shop.add(self=<Shop>, name='apple', qty=3) -> 4  [2.50 ms]  app.py:10 (from line 5)",
        "├─ ▶ start_test test_x.py::test_a",
        "└─ app.helper() -> None  [2.00 ms]  app.py:20 (from line 6)",
        "   └─ app.inner()  [no return recorded]  app.py:30",
    ]


def test_a_record_whose_path_is_no_file_leaves_the_base_alone():
    records = [frame("call", "app.main", "a", 0), plugin("custom", 1, path="/items"),
               frame("return", "app.main", "a", 2)]
    for record in (records[0], records[2]):
        record["path"] = "/srv/shop/app.py:3"
    assert "app.main() -> None" in render(trace_from_parts([blob(records)]))


@pytest.mark.parametrize("options, expected", [
    ({"depth": 1}, ["app.main()  [no return recorded]  [+4 nested]  app.py:3"]),
    ({"depth": 2}, ["app.main()", "├─ app.Shop.add", "├─ ▶ start_test",
                    "└─ app.helper() -> None  [2.00 ms]  [+1 nested]"]),
    ({"limit": 2}, ["app.main()", "├─ app.Shop.add", "… 2 more calls, 1 more event"]),
    ({"limit": 3, "depth": 2}, ["app.main()", "├─ app.Shop.add", "├─ ▶ start_test", "… 1 more call"]),
    ({"limit": 5}, ["app.main()", "├─ app.Shop.add", "├─ ▶ start_test", "└─ app.helper",
                    "   └─ app.inner"]),
])
def test_depth_and_limit(options, expected):
    lines = calls_of(render(trace_from_parts([blob(SAMPLE)]), **options))[1:]
    assert len(lines) == len(expected)
    assert all(line.startswith(start) for line, start in zip(lines, expected)), lines


def test_limit_is_per_thread_and_counts_what_it_leaves_out():
    worker = ("worker", 200)
    records = [frame("call", "m", "a", 0), frame("return", "m", "a", 1),
               frame("call", "w", "b", 0, thread=worker), frame("call", "v", "c", 1, thread=worker)]
    lines = render(trace_from_parts([blob(records)]), limit=1).splitlines()
    assert "m() -> None  [1.00 ms]  app.py:10" in lines
    assert lines[-2:] == ["w()  [no return recorded]  app.py:10", "… 1 more call"]


def test_colour_only_when_asked():
    trace = trace_from_parts([blob(SAMPLE)])
    assert "\x1b" not in render(trace) and "\x1b[" in render(trace, color=True)
    assert re.sub(r"\x1b\[[0-9;]*m", "", render(trace, color=True)) == render(trace)


def test_recorded_text_cannot_break_lines_or_drive_the_terminal():
    hostile = "\x1b[2J\nrm -rf /\r" * 1000
    records = [frame("call", "evil\n\x1b[31m", "a", 0, text=hostile, obj={"__type__": "m.T", "__repr__": hostile}),
               frame("return", "evil\n\x1b[31m", "a", 1, arg=hostile), plugin("note\x1b", 2, payload=hostile)]
    text = render(trace_from_parts([blob(records, frames={7: []})]), width=100)
    assert "\x1b" not in text and "\r" not in text
    lines = calls_of(text)
    assert len(lines) == 3 and all(len(line) <= 100 for line in lines)


@pytest.mark.parametrize("value, limit, expected", [
    ({"__type__": "app.Point", "__repr__": "Point(1, 2)"}, 60, "Point(1, 2)"),
    ({"__type__": "a.b.Shop", "__repr__": "<a.b.Shop object at 0x7f01>"}, 60, "<Shop at 0x7f01>"),
    ({"__type__": "builtins.list_iterator", "__repr__": "<list_iterator object at 0x7f>"}, 60,
     "<list_iterator at 0x7f>"),
    ({"__type__": "decimal.Decimal", "__repr__": "1.5"}, 60, "<decimal.Decimal 1.5>"),
    ({"__type__": "builtins.str", "__len__": 5000, "__head__": "ab"}, 60, "'ab…' (5000 chars)"),
    ({"__type__": "builtins.tuple", "__len__": 40, "__head__": [1, 2]}, 60, "(1, 2, … 38 more)"),
    ({"__type__": "builtins.dict", "__len__": 9, "__head__": {"k": None}}, 60, "{'k': None, … 8 more}"),
    ({(1, 2): [b"x", 1.5, True]}, 60, "{(1, 2): [b'x', 1.5, True]}"),
    (list(range(100)), 20, "[0, 1, 2, 3, 4, 5, …"),
    ("x" * 10**6, 10, "'xxxxxxxx…"),
])
def test_format_value(value, limit, expected):
    assert format_value(value, limit) == expected


BASKET = {"__type__": "shop.Basket", "__fields__": {"owner": "ada", "items": [1, 2]}}
PASSWORD = {"__type__": "builtins.str", "__len__": 7, "__redacted__": True}


@pytest.mark.parametrize("value, limit, expected", [
    (BASKET, 60, "Basket(owner='ada', items=[1, 2])"),
    ({"__type__": "builtins.KeyError", "__args__": [3]}, 60, "KeyError(3)"),
    ({"__type__": "app.MyError", "__args__": ["x"], "__fields__": {"code": 3}}, 60, "MyError('x', code=3)"),
    ({"__type__": "collections.deque", "__items__": [1, 2, 3]}, 60, "deque([1, 2, 3])"),
    ({**BASKET, "__more__": 4}, 60, "Basket(owner='ada', items=[1, 2], … 4 more)"),
    ({"__type__": "shop.Basket", "__more__": 4}, 60, "Basket(… 4 more)"),
    ({"__type__": "shop.Basket", "__more__": None}, 60, "Basket(…)"),
    ({"__type__": "a.b.Thing"}, 60, "<Thing object>"),
    ({"__type__": "m.User", "__fields__": {"password": PASSWORD, "basket": BASKET}}, 80,
     "User(password=<redacted str, 7 chars>, basket=Basket(owner='ada', items=[1, 2]))"),
    ({"__type__": "m.Big", "__args__": ["x" * 10**6]}, 12, "Big('xxxxxx…"),
    ([[[[[[[[[[[[BASKET]]]]]]]]]]]], 80, "[[[[[[[[[[[[Basket(…)]]]]]]]]]]]]"),
    ({"__type__": "m.Node\x1b[2J", "__fields__": {"\n": 1}}, 60, "Node\\x1b[2J(\\x0a=1)"),
    ({"__type__": "m.Odd", "__fields__": {3: 4}}, 60, "Odd(3=4)"),
    # Dict keys that were objects, which decoding made tuples of pairs.
    ({(("__type__", "app.Color"), ("__repr__", "<Color.RED: 1>")): 1}, 60, "{<Color.RED: 1>: 1}"),
    ({(("__type__", "app.P"), ("__fields__", (("x", 1),))): 1}, 60, "{P(x=1): 1}"),
    ({((1, 2), (3, 4)): 5}, 60, "{((1, 2), (3, 4)): 5}"),
    # A program's own dicts that only look like one.
    ({"__type__": "order", "id": 7}, 60, "{'__type__': 'order', 'id': 7}"),
    ({"__type__": "order", "__args__": "7"}, 60, "{'__type__': 'order', '__args__': '7'}"),
    ({"__type__": "order", "__more__": True}, 60, "{'__type__': 'order', '__more__': True}"),
    ({"__type__": 5, "__fields__": {}}, 60, "{'__type__': 5, '__fields__': {}}"),
])
def test_object_maps_read_as_reprs(value, limit, expected):
    assert format_value(value, limit) == expected


def test_object_maps_lay_out_a_field_a_line():
    from vesk.view.call import _lines

    value = {"__type__": "shop.Basket", "__args__": [1], "__items__": [2, 3],
             "__fields__": {"owner": "ada" * 10, "nested": {**BASKET, "__more__": 2}}, "__more__": 5}
    assert _lines(value, 200) == [format_value(value, 200)]
    assert _lines(value, 40) == [
        "Basket(",
        "  1,",
        "  [2, 3],",
        "  owner='adaadaadaadaadaadaadaadaadaada',",
        "  nested=Basket(",
        "    owner='ada',",
        "    items=[1, 2],",
        "    … 2 more",
        "  ),",
        "  … 5 more",
        ")",
    ]
    assert _lines({"__type__": "m.Long", "__more__": None}, 20) == ["Long(…)"]


def raised(name, message, value=None, **more):
    record = plugin("exception", 0, exception=name, message=message, origin="raised", caught=False, **more)
    if value is not None:
        record["value"] = value
    return record


@pytest.mark.parametrize("record, limit, expected", [
    (raised("builtins.KeyError", "3", {"__type__": "builtins.KeyError", "__args__": [3]}), 60, "KeyError(3)"),
    (raised("app.errors.MyError", "x", {"__type__": "app.errors.MyError", "__args__": ["x"], "__fields__": {"code": 3}}),
     60, "app.errors.MyError('x', code=3)"),
    (raised("builtins.ValueError", "", {"__type__": "builtins.ValueError", "__args__": []}), 60, "ValueError()"),
    (raised("builtins.OSError", None, {"__type__": "builtins.OSError", "__args__": ["x" * 10**6]}), 20,
     "OSError('xxxxxxxxxx…"),
    # Traces stored before, and values that cannot tell the arguments: the message stands.
    (raised("builtins.KeyError", "'k'"), 60, "KeyError(\"'k'\")"),
    (raised("builtins.ValueError", "boom", {"__type__": "builtins.ValueError", "__more__": None}), 60,
     "ValueError('boom')"),
    (raised("builtins.ValueError", "boom", {"__type__": "builtins.ValueError", "__repr__": "ValueError('b')"}), 60,
     "ValueError('boom')"),
    (raised("builtins.ValueError", None), 60, "ValueError()"),
    (raised(None, None), 60, "exception"),
])
def test_exceptions_read_from_their_recorded_value(record, limit, expected):
    from vesk.view.values import format_exception

    assert format_exception(record, limit) == expected


def test_exceptions_show_their_value_in_the_call_tree():
    key_error = {"__type__": "builtins.KeyError", "__args__": [3]}
    mine = {"__type__": "app.MyError", "__args__": ["x"], "__fields__": {"code": 3}}
    records = [frame("call", "f", "a", 0),
               frame("call", "g", "b", 1), raised("app.MyError", "x", mine, frame_id="b"), frame("return", "g", "b", 2),
               {**raised("builtins.KeyError", "3", key_error, frame_id="a"), "caught": True},
               frame("return", "f", "a", 3)]
    lines = calls_of(render(trace_from_parts([blob(records)])))[1:]
    assert [line.split("  [")[0] for line in lines] == [
        "f() -> None", "├─ g() !! app.MyError('x', code=3)", "└─ !! KeyError(3) (caught)"]


def test_format_traces():
    rows = [db.TraceSummary("trc_LONGER_ID", T0, "pytest", 12, 3 * 1024 * 1024, 2, "t.py::test_a", "failed"),
            db.TraceSummary("trc_B", T0, None, None, 100, 1)]
    out = io.StringIO()
    format_traces(rows, out)
    header, first, second = out.getvalue().splitlines()
    assert header.split() == ["TRACE", "STARTED", "RECORDS", "SIZE", "PARTS", "OUTCOME", "SOURCE", "/", "TEST"]
    # Local time, with its offset from UTC.
    started = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d[+-]\d\d:\d\d"
    assert re.fullmatch(rf"trc_LONGER_ID +{started} +12 +3\.0 MiB +2 +failed +pytest t\.py::test_a", first)
    assert re.fullmatch(rf"trc_B +{started} +\? +100 B +1 +- +-", second)
    assert first.index("MiB") + 3 == second.index("100 B") + 5 == header.index("SIZE") + 4


def gen_values():
    yield 1
    yield 2


def consume():
    g = gen_values()
    return next(g) + next(g)


def test_view_of_a_real_recording(recording):
    with recording() as host:
        consume()
    trace = trace_from_parts([host.rust_profiler.build_trace()])
    # Before 3.13 a third resume closes the generator as consume's frame is torn down, after its
    # return; 3.13 closes a generator suspended outside any try block without resuming it.
    closing = [("test_view.gen_values", True, True, [])] if sys.version_info < (3, 13) else []
    assert shape(trace.threads[0].roots) == [("test_view.consume", True, True, [
        ("test_view.gen_values", True, True, []), ("test_view.gen_values", True, True, [])]),
        *closing]
    lines = calls_of(render(trace))
    assert lines[1].startswith("test_view.consume() -> 3  [")
    assert lines[2].startswith("├─ test_view.gen_values() yield 1  [")
    assert lines[3].startswith("└─ test_view.gen_values() (resumed) yield 2  [")


def test_same_maps_are_shown_and_resolved_by_their_paths():
    from vesk import serialize
    from vesk.view.values import resolve_same

    class Shop:
        def __init__(self, stock):
            self.stock = stock

    stock = [1, [2]]
    shop = Shop(stock)
    pairs = [("shop", shop), ("by_key", {"a'b": stock, 7: stock[1]}), ("error", ValueError(stock)),
             ("inner", stock[1]), ("again", shop)]
    arg, locals_ = serialize._dump_record_py({"stock": stock}, pairs)
    values = {"arg": serialize.load_msgpack(arg), "locals": serialize.load_msgpack(locals_)}
    shown = format_value(values["locals"], 400)
    assert "<same list as arg['stock']>" in shown and "<same Shop as locals.shop>" in shown
    whole = resolve_same(values)
    assert whole["locals"]["shop"]["__fields__"]["stock"] == stock
    assert whole["locals"]["by_key"] == {"a'b": stock, 7: stock[1]}
    assert whole["locals"]["error"]["__args__"] == [stock] and whole["locals"]["inner"] == stock[1]
    assert whole["locals"]["again"] == whole["locals"]["shop"]
    # A path that leads nowhere, or into what was cut, leaves the map as it is.
    lost = {"__type__": "builtins.list", "__same__": "locals.gone[3]"}
    assert resolve_same({"locals": {"x": lost}}) == {"locals": {"x": lost}}
    assert resolve_same({"value": {"__type__": "x.Y", "__same__": "value.__import__('os')"}})["value"]["__same__"]
