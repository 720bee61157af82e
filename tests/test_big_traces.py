"""Traces of any size: saved in parts while recording, capped, compressed, and read back whole,
older files included."""

import sqlite3

import types

import msgpack
import pytest
from hypothesis import HealthCheck, example, given, settings

import vesk
from test_stored_read import _InMemory, blob, frame, odd_records, plugin
from vesk import _vesk, db, view
from vesk.ui import index as ui_index


def countdown(n):
    total = 0
    for i in range(n):
        total += step(i, [i] * 3)
    return total


def step(i, padding):
    return i % 7


def records(database, trace_id):
    trace = view.load_trace(database, trace_id)
    return [(r.get("co_name"), r.get("event"), r.get("locals"), r.get("arg"))
            for thread in trace.threads for r in thread.records]


def test_a_trace_saved_in_parts_reads_back_whole(tmp_path):
    database = tmp_path / "parts.sqlite3"
    with vesk.enable(database, part_size=0) as whole:
        countdown(300)
    with vesk.enable(database, part_size=4096) as in_parts:
        countdown(300)
    summaries = {s.trace_id: s for s in db.list_traces(database)}
    assert summaries[whole.trace_id].parts == 1
    assert summaries[in_parts.trace_id].parts > 10
    assert records(database, in_parts.trace_id) == records(database, whole.trace_id)
    assert summaries[in_parts.trace_id].record_count == 602


def test_a_trace_stops_at_its_limit_and_says_where(tmp_path):
    database = tmp_path / "capped.sqlite3"
    with vesk.enable(database, trace_limit=20_000) as profiler:
        assert countdown(1000) == sum(i % 7 for i in range(1000))
    trace = view.load_trace(database, profiler.trace_id)
    (limit,) = [r for t in trace.threads for r in t.records if r.get("type") == "trace_limit"]
    assert limit["limit"] == 20_000 and limit["recorded"] <= 20_000
    assert limit["path"].startswith("tests/test_big_traces.py:")
    assert sum(t.records[-1] is limit for t in trace.threads) == 1


OLD_SCHEMA = """
CREATE TABLE traces (
    id INTEGER PRIMARY KEY, trace_id TEXT NOT NULL, created_at REAL NOT NULL, source TEXT,
    record_count INTEGER, size INTEGER NOT NULL, msgpack BLOB NOT NULL)
"""


def test_a_database_written_before_compression_still_reads_and_takes_new_traces(
        tmp_path, recording):
    with recording() as host:
        countdown(5)
    old = host.rust_profiler.build_trace()
    database = tmp_path / "old.sqlite3"
    with sqlite3.connect(database) as conn:
        conn.execute(OLD_SCHEMA)
        conn.execute("INSERT INTO traces (trace_id, created_at, source, record_count, size, msgpack)"
                     " VALUES ('trc_old', 0, 'tests', 12, ?, ?)", (len(old), old))
        conn.execute(f"PRAGMA application_id = {db.APPLICATION_ID}")
        conn.execute("PRAGMA user_version = 1")
    assert [s.trace_id for s in db.list_traces(database)] == ["trc_old"]
    assert db.load_trace_parts(database, "trc_old") == [old]
    with vesk.enable(database) as profiler:
        countdown(5)
    assert [s.trace_id for s in db.list_traces(database)] == [profiler.trace_id, "trc_old"]
    assert records(database, "trc_old") == records(database, profiler.trace_id)
    assert msgpack.unpackb(db.load_trace_parts(database, "trc_old")[0])["trace_id"] == host.trace_id


def _index_summaries(stored):
    index = ui_index.build_index(stored)
    try:
        return [[thread.summary(node) for node in range(len(thread))] for thread in index.threads]
    finally:
        index.close()


# A generator's stretch that yielded a list; locals too many for the native reader, and named by
# other values than texts; plugin records of a subtype, and an exception its frame caught.
_YIELDED = [(frame("call", "gen", "g", 1, **{f"v{i}": [i] for i in range(40)}), None),
            ({**plugin("generator", 2, resumed=False, yielded=True), "frame_id": "g"}, None),
            ({**frame("return", "gen", "g", 3), "arg": {"k": [1, 2]}}, None),
            ({**frame("call", "odd", "o", 4), "locals": {1: b"x", "y": {"z": 1}}}, None),
            (plugin("http", 5, subtype="get", request_headers={"A": "b"}), 200),
            (plugin("exception", 6, exception="builtins.KeyError", caught=True, value=None), None),
            (plugin("exception", 7, exception="app.Odd(\u202e\x85é", caught=True, subtype="x"), None)]


@settings(max_examples=150, deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(records=odd_records())
@example(records=_YIELDED)
def test_the_viewer_shows_values_it_left_unread_as_when_read_at_once(records):
    # The viewer's index leaves values other than scalars, and plugin records, in the MessagePack
    # they were recorded as until a page shows them.
    workers = {tid: [r for r, where in records if where == tid] for tid in (200, 300)}
    blobs = [blob([r for r, where in records if where is None], workers)]
    deferred = _index_summaries(_InMemory(blobs))
    skim = _vesk.Skim
    at_once = types.SimpleNamespace(Skim=lambda *args, defer=False, **options: skim(*args, **options))
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(ui_index, "_vesk", at_once)
        assert deferred == _index_summaries(_InMemory(blobs))


BIG_TESTS = """
def work(n):
    return [n] * 5

def test_big():
    for i in range(3000):
        work(i)

def test_small():
    work(1)
"""


def test_a_test_past_the_trace_limit_keeps_its_outcome(tmp_path):
    """Its end record survives the limit: the list shows how the test ended, --failed finds it."""
    import subprocess
    import sys

    (tmp_path / "test_big.py").write_text(BIG_TESTS)
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vesk",
                             "--vesk-trace-limit", "20K", "test_big.py"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    summaries = {s.test_nodeid: s for s in db.list_traces(tmp_path / ".vesk" / "db.sqlite3")}
    assert {n: s.test_outcome for n, s in summaries.items()} == {
        "test_big.py::test_big": "passed", "test_big.py::test_small": "passed"}
    big = view.load_trace(tmp_path / ".vesk" / "db.sqlite3", summaries["test_big.py::test_big"].trace_id)
    kinds = [r.get("type") for t in big.threads for r in t.records if r.get("type") != "frame"]
    assert kinds[0] == "start_test" and kinds[-2:] == ["trace_limit", "end_test"]
