"""Traces stored in a SQLite file.

Each call to :func:`save_trace_in_sqlite` adds one row (a *part*). The engine
keeps recording under the same trace id after a save, so a trace id may have
several parts; read in save order, they are consecutive pieces of one trace.

Several threads and processes may save into one file at once: the database
runs in WAL mode, every save is one short write transaction, and writers wait
for each other up to the busy timeout.

A file is recognised as ours by its ``application_id``; ``user_version`` is the
schema version, so a later release can migrate older files.
"""

import dataclasses
import os
import pathlib
import sqlite3
import time

import msgpack as _msgpack

__all__ = [
    "APPLICATION_ID",
    "SCHEMA_VERSION",
    "NotAVeskDatabase",
    "DatabaseTooNew",
    "TraceSummary",
    "save_trace_in_sqlite",
    "list_traces",
    "load_trace_parts",
    "latest_trace_id",
]

APPLICATION_ID = 0x7665736B  # b"vesk"
SCHEMA_VERSION = 1

_SCHEMA = (
    """
    CREATE TABLE traces (
        id INTEGER PRIMARY KEY,     -- save order
        trace_id TEXT NOT NULL,
        created_at REAL NOT NULL,   -- unix time of the save
        source TEXT,                -- "source" from the blob's meta; NULL when unknown
        record_count INTEGER,       -- records of all threads; NULL when the blob did not parse
        size INTEGER NOT NULL,      -- length of the blob in bytes
        msgpack BLOB NOT NULL
    )
    """,
    "CREATE INDEX traces_by_trace_id ON traces (trace_id, id)",
)
# Readers seldom wait in WAL mode; this only covers a writer switching modes.
_READ_TIMEOUT = 30.0


class NotAVeskDatabase(Exception):
    """The file is not a vesk trace database (not SQLite, or SQLite made by
    something else)."""


class DatabaseTooNew(Exception):
    """The file was written by a newer vesk with a schema this one does not know."""


@dataclasses.dataclass(frozen=True)
class TraceSummary:
    trace_id: str
    created_at: float  # unix time of the first save
    source: str | None  # from the first part
    record_count: int | None  # over all parts; None if any part's blob did not parse
    size: int  # bytes over all parts
    parts: int


def _summarise(blob):
    """(source, record_count) of a trace blob, read without building the
    records: record_count counts the records of every thread. None for
    whatever is missing, both None when the blob does not parse."""
    try:
        unpacker = _msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=max(len(blob), 1))
        unpacker.feed(blob)
        source = None
        per_thread = main = None
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "frames":
                per_thread = 0
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()  # thread id
                    n = unpacker.read_array_header()
                    per_thread += n
                    for _ in range(n):
                        unpacker.skip()
            elif key == "frames_of_interest":
                main = unpacker.read_array_header()
                for _ in range(main):
                    unpacker.skip()
            elif key == "meta":
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get("source"), str):
                    source = meta["source"]
            else:
                unpacker.skip()
        if per_thread is None or main is None:
            return source, None
        return source, per_thread + main
    except Exception:
        return None, None


def _check_header(conn):
    """Raise unless conn is a vesk database; returns whether it is still empty
    (a new file, which the caller may initialise)."""
    try:
        # One statement, so one snapshot: read separately, a concurrent saver
        # creating the schema could be seen half-way (tables but no id yet).
        app_id, version, has_tables = conn.execute(
            "SELECT (SELECT application_id FROM pragma_application_id()),"
            " (SELECT user_version FROM pragma_user_version()),"
            " EXISTS (SELECT 1 FROM sqlite_master)"
        ).fetchone()
    except sqlite3.DatabaseError as exc:
        # Only "file is not a database"; "database is locked" and the like
        # are DatabaseErrors too but say nothing about whose file it is.
        if getattr(exc, "sqlite_errorname", None) != "SQLITE_NOTADB":
            raise
        raise NotAVeskDatabase(f"not a SQLite database: {exc}") from exc
    if app_id == 0 and version == 0 and not has_tables:
        return True
    if app_id != APPLICATION_ID:
        raise NotAVeskDatabase(f"SQLite file with application_id {app_id:#x}, not a vesk trace database")
    if version > SCHEMA_VERSION:
        raise DatabaseTooNew(f"trace database schema {version}; this vesk reads up to {SCHEMA_VERSION}")
    # Older schemas would be migrated here; version 1 is the first.
    return False


def save_trace_in_sqlite(db_path, trace_id, timeout=60, msgpack=b""):
    """Store one part of trace trace_id (a MessagePack trace blob) in the
    SQLite file db_path, creating the file, its folder and the schema as
    needed. Waits up to timeout seconds for other writers. Returns the new
    part's row id. A blob that does not parse is stored all the same, with
    NULL summary columns."""
    blob = bytes(msgpack)
    created_at = time.time()
    # Parsed before taking the write lock, which other savers are waiting for.
    source, records = _summarise(blob)
    path = os.fspath(db_path)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    conn = sqlite3.connect(path, timeout=float(timeout), isolation_level=None)
    try:
        _check_header(conn)  # refuse a foreign file before touching its journal mode
        if conn.execute("PRAGMA journal_mode").fetchone()[0].lower() != "wal":
            conn.execute("PRAGMA journal_mode=WAL")
        conn.execute("BEGIN IMMEDIATE")
        try:
            # Checked again under the write lock: another saver may have
            # created the schema in between.
            if _check_header(conn):
                for statement in _SCHEMA:
                    conn.execute(statement)
                conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
                conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
            row_id = conn.execute(
                "INSERT INTO traces (trace_id, created_at, source, record_count, size, msgpack)"
                " VALUES (?, ?, ?, ?, ?, ?)",
                (str(trace_id), created_at, source, records, len(blob), blob),
            ).lastrowid
            conn.execute("COMMIT")
        except BaseException:
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        return row_id
    finally:
        conn.close()


def _open_for_reading(db_path):
    path = os.fspath(db_path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no trace database at {path}")
    # mode=rw: never create the file (plain connect would), but still allow
    # the WAL index to be written, which WAL readers need.
    uri = pathlib.Path(path).resolve().as_uri() + "?mode=rw"
    conn = sqlite3.connect(uri, uri=True, timeout=_READ_TIMEOUT, isolation_level=None)
    try:
        if _check_header(conn):
            raise NotAVeskDatabase(f"{path} is an empty SQLite file, not a vesk trace database")
    except BaseException:
        conn.close()
        raise
    return conn


def list_traces(db_path):
    """A TraceSummary per trace id, the most recently started trace first."""
    conn = _open_for_reading(db_path)
    try:
        rows = conn.execute(
            """
            SELECT g.trace_id, first.created_at, first.source, g.records, g.size, g.parts
            FROM (
                SELECT trace_id,
                       MIN(id) AS first_id,
                       CASE WHEN COUNT(record_count) = COUNT(*) THEN SUM(record_count) END AS records,
                       SUM(size) AS size,
                       COUNT(*) AS parts
                FROM traces GROUP BY trace_id
            ) AS g
            JOIN traces AS first ON first.id = g.first_id
            ORDER BY g.first_id DESC
            """
        ).fetchall()
    finally:
        conn.close()
    return [TraceSummary(*row) for row in rows]


def load_trace_parts(db_path, trace_id):
    """The blobs saved under trace_id, in save order. KeyError if there are none."""
    conn = _open_for_reading(db_path)
    try:
        rows = conn.execute("SELECT msgpack FROM traces WHERE trace_id = ? ORDER BY id", (str(trace_id),)).fetchall()
    finally:
        conn.close()
    if not rows:
        raise KeyError(trace_id)
    return [bytes(row[0]) for row in rows]


def latest_trace_id(db_path):
    """The id of the most recently started trace (the first of list_traces),
    or None when the database holds none."""
    conn = _open_for_reading(db_path)
    try:
        row = conn.execute("SELECT trace_id FROM traces GROUP BY trace_id ORDER BY MIN(id) DESC LIMIT 1").fetchone()
    finally:
        conn.close()
    return row[0] if row else None
