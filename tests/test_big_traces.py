"""Traces of any size: saved in parts while recording, capped, compressed, and read back whole,
older files included."""

import sqlite3

import msgpack
import pytest

import vesk
from vesk import _vesk, db, view


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
