import sqlite3
import threading

import msgpack
import pytest

from vesk.db import (APPLICATION_ID, SCHEMA_VERSION, DatabaseTooNew, NotAVeskDatabase, latest_trace_id, list_traces,
                     load_trace_parts, save_trace_in_sqlite)


def blob(records_per_thread, interesting=0, source="app.py"):
    return msgpack.packb({
        "command_line_args": ["app.py"], "current_commit_sha": None,
        "frames": {tid: [{"type": "call", "i": i} for i in range(n)] for tid, n in records_per_thread.items()},
        "frames_of_interest": [{"type": "call"}] * interesting, "main_thread_id": 1,
        "meta": {"version": "0.1.0", "source": source, "use_frame_boundaries": False},
        "timestamp": 1700000000.5, "trace_id": "t",
    })


def save(db, trace_id, data):
    return save_trace_in_sqlite(str(db), trace_id, timeout=30, msgpack=data)


def summary_row(db, trace_id):
    with sqlite3.connect(db) as conn:
        return conn.execute("SELECT source, record_count, raw_size FROM traces WHERE trace_id = ?",
                            (trace_id,)).fetchall()


def test_round_trip_parts_and_markings(tmp_path):
    db = tmp_path / "new" / "folder" / "traces.db"
    first, second = blob({1: 3, 7: 2}, interesting=1), blob({1: 4}, source="other")
    save(db, "a", first)
    save(db, "b", blob({1: 1}))
    save(db, "a", second)  # same id again: a second part, the first kept
    assert load_trace_parts(db, "a") == [first, second]
    assert summary_row(db, "a") == [("app.py", 6, len(first)), ("other", 4, len(second))]
    a, = [s for s in list_traces(db) if s.trace_id == "a"]
    assert (a.parts, a.record_count, a.source) == (2, 10, "app.py")
    assert a.size <= len(first) + len(second)  # stored, compressed where that gains
    assert [s.trace_id for s in list_traces(db)] == ["b", "a"] and latest_trace_id(db) == "b"
    with sqlite3.connect(db) as conn:
        pragmas = [conn.execute(f"PRAGMA {name}").fetchone()[0]
                   for name in ("application_id", "user_version", "journal_mode")]
    assert pragmas == [APPLICATION_ID, SCHEMA_VERSION, "wal"]
    with pytest.raises(KeyError):
        load_trace_parts(db, "c")


@pytest.mark.parametrize(
    "bad",
    [b"", b"\xc1", b"plain text", msgpack.packb([1, 2]), blob({1: 5})[:-7], msgpack.packb({"frames": {1: "x"}})],
    ids=["empty", "reserved-byte", "text", "array", "truncated", "wrong-shape"],
)
def test_unparsable_blob_is_still_saved(tmp_path, bad):
    db = tmp_path / "t.db"
    save(db, "x", blob({1: 5}))
    save(db, "x", bad)
    assert load_trace_parts(db, "x")[1] == bad
    assert summary_row(db, "x")[1][:2] == (None, None)
    assert list_traces(db)[0].record_count is None  # a count over only some parts would mislead


def foreign_sqlite(path):
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE notes (body TEXT)")


READERS = [list_traces, lambda db: load_trace_parts(db, "x"), latest_trace_id]


@pytest.mark.parametrize(
    "make, save_refused",
    [(foreign_sqlite, True), (lambda p: p.write_bytes(b"not a database " * 99), True), (lambda p: p.touch(), False)],
    ids=["foreign-sqlite", "not-sqlite", "empty-file"],
)
def test_foreign_files_are_refused_and_left_alone(tmp_path, make, save_refused):
    db = tmp_path / "other.db"
    make(db)
    before = db.read_bytes()
    for read in READERS:
        with pytest.raises(NotAVeskDatabase):
            read(db)
    if save_refused:
        with pytest.raises(NotAVeskDatabase):
            save(db, "x", b"")
        assert db.read_bytes() == before


def test_readers_do_not_create_files(tmp_path):
    db = tmp_path / "missing" / "t.db"
    for read in READERS:
        with pytest.raises(FileNotFoundError):
            read(db)
    assert not db.parent.exists()


def test_newer_schema_is_refused(tmp_path):
    db = tmp_path / "t.db"
    save(db, "x", b"")
    with sqlite3.connect(db) as conn:
        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION + 1}")
    with pytest.raises(DatabaseTooNew):
        save(db, "x", b"")


def test_concurrent_saves_into_a_new_database(tmp_path):
    db, threads, saves = tmp_path / "t.db", 8, 15
    barrier, errors = threading.Barrier(threads), []

    def work(n):
        barrier.wait()  # all race to create the file and schema together
        try:
            for i in range(saves):
                save(db, f"t{n}", blob({n: i}))
        except Exception as exc:
            errors.append(exc)

    workers = [threading.Thread(target=work, args=(n,)) for n in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert errors == []
    for n in range(threads):
        counts = [len(msgpack.unpackb(p, strict_map_key=False)["frames"][n]) for p in load_trace_parts(db, f"t{n}")]
        assert counts == list(range(saves))


@pytest.mark.parametrize("umask", [0o022, 0o077])
def test_new_files_are_private_and_existing_ones_keep_their_mode(tmp_path, umask):
    import os
    import stat

    def mode(path):
        return stat.S_IMODE(os.stat(path).st_mode)

    db = tmp_path / ".vesk" / "db.sqlite3"
    old = os.umask(umask)
    try:
        save(db, "a", blob({1: 2}))
        # The write connection stays open for the thread's next saves: its log files exist.
        logs = [p for p in (tmp_path / ".vesk").iterdir() if p.name.startswith("db.sqlite3-")]
        assert logs and (mode(db.parent), mode(db), {mode(p) for p in logs}) == (0o700, 0o600, {0o600})
        shared = tmp_path / "shared.db"
        save(shared, "a", blob({1: 2}))
        os.chmod(shared, 0o644)
        save(shared, "b", blob({1: 2}))
        assert mode(shared) == 0o644
    finally:
        os.umask(old)
