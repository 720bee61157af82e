"""Traces stored on a PostgreSQL server, for a team: the layout of docs/stored-layout.md in a
table `traces` of the database a ``postgresql://`` URL names, parts as zstd-compressed bytea.

Every part is one transaction: a writer killed while saving leaves nothing of that part, and
readers see whole parts only. Writers keep one connection per thread and URL (a new connection
costs a round of authentication per part); the schema is created or brought up to date by the
first writer, under an advisory lock so that writers starting together create it once.

A password never travels with the URL inside vesk (vesk.filters.db_password): connections read
the URL as given, kept in this process alone; messages, traces and a child's environment show it
without its password. libpq's own ways (PGPASSWORD, .pgpass, a service file) work as usual.
"""

import os
import re
import urllib.parse

from vesk import db
from vesk.filters.connections import Connections
from vesk.filters.db_password import _conninfo, _without_password, hide_password, shown
from vesk.filters.secrets import REDACTED

__all__ = ["hide_password", "shown", "prepare_for_writing",
           "save_part", "list_traces", "iter_trace_parts", "delete_traces", "size",
           "stored_parts", "add_parts"]

# Taken by the writer that creates or upgrades the schema: b"vesk".
_SCHEMA_LOCK = db.APPLICATION_ID
# The first key of the advisory locks that copies of one trace take (the second: its id's hash).
_COPY_LOCKS = 0x7665

_SCHEMA = (
    """
    CREATE TABLE traces (
        id BIGSERIAL PRIMARY KEY,
        trace_id TEXT NOT NULL,
        created_at DOUBLE PRECISION NOT NULL,
        source TEXT,
        record_count BIGINT,
        size BIGINT NOT NULL,
        msgpack BYTEA NOT NULL,
        test_nodeid TEXT,
        test_outcome TEXT,
        test_when TEXT,
        encoding TEXT,
        raw_size BIGINT,
        pid BIGINT,
        parent_trace_id TEXT,
        parent_pid BIGINT,
        started_at DOUBLE PRECISION,
        host TEXT,
        user_name TEXT,
        labels TEXT,
        ci_job TEXT,
        ci_commit TEXT
    )
    """,
    "CREATE INDEX traces_by_trace_id ON traces (trace_id, id)",
    # Parts are compressed already: the server's own compression would only spend time on them.
    "ALTER TABLE traces ALTER COLUMN msgpack SET STORAGE EXTERNAL",
    "CREATE TABLE vesk_schema (version INTEGER NOT NULL)",
)
# What each older schema version needs to become the current one: the server store began at
# version 5, and takes the file's statements since.
_MIGRATIONS = {5: db._MIGRATIONS[5]}

StoreError = db.StoreError


def _psycopg():
    try:
        import psycopg
    except ImportError:
        raise StoreError("a postgresql:// database needs psycopg: pip install 'vesk[postgres]'") from None
    return psycopg


def _connect(url, timeout=None):
    psycopg = _psycopg()
    conninfo = _conninfo(url)
    options = {"autocommit": True}
    if timeout is not None:
        options["connect_timeout"] = max(1, int(timeout))
    try:
        if not os.environ.get("PGUSER") and "user" not in psycopg.conninfo.conninfo_to_dict(conninfo):
            # The client library would look the default up itself, each time, in name services
            # that a fork may copy locked (see db.user_name).
            options["user"] = db.user_name()
        return psycopg.connect(conninfo, **options)
    except psycopg.Error as exc:
        raise _error(url, exc) from None


def _error(url, exc):
    message = str(exc).strip().splitlines()
    reason = message[0] if message else type(exc).__name__
    bare, hidden = _without_password(_conninfo(url))
    # What the server or libpq says may quote the password, or what libpq read of one as a host,
    # a port or a database: every piece of it is left out, as written and decoded.
    pieces = set()
    for text in hidden:
        for piece in (text, *re.split("[@/]", text)):
            pieces.update((piece, urllib.parse.unquote(piece)))
    for piece in sorted(filter(None, pieces), key=len, reverse=True):
        reason = reason.replace(piece, REDACTED)
    return StoreError(f"{bare}: {reason}")


def _version(conn):
    """The schema version of the database, 0 when it holds no traces table yet."""
    found = conn.execute("SELECT to_regclass('traces') IS NOT NULL, to_regclass('vesk_schema') IS NOT NULL").fetchone()
    if not found[0]:
        return 0
    if not found[1]:
        raise db.NotAVeskDatabase("its table traces was not made by vesk")
    row = conn.execute("SELECT max(version) FROM vesk_schema").fetchone()
    version = row[0] or 0
    if version > db.SCHEMA_VERSION:
        raise db.DatabaseTooNew(f"trace database schema {version}; this vesk reads up to {db.SCHEMA_VERSION}")
    return version


def _make_current(conn):
    """Creates the schema or brings it up to date, once among writers starting together."""
    if _version(conn) == db.SCHEMA_VERSION:
        return
    # Taken before the transaction that looks again: a transaction begun after the lock sees the
    # tables another writer created meanwhile (one begun before may not).
    conn.execute("SELECT pg_advisory_lock(%s)", (_SCHEMA_LOCK,))
    try:
        with conn.transaction():
            version = _version(conn)
            if version == 0:
                for statement in _SCHEMA:
                    conn.execute(statement)
                conn.execute("INSERT INTO vesk_schema VALUES (%s)", (db.SCHEMA_VERSION,))
            elif version < db.SCHEMA_VERSION:
                for old in range(version, db.SCHEMA_VERSION):
                    for statement in _MIGRATIONS[old]:
                        conn.execute(statement)
                conn.execute("UPDATE vesk_schema SET version = %s", (db.SCHEMA_VERSION,))
    finally:
        conn.execute("SELECT pg_advisory_unlock(%s)", (_SCHEMA_LOCK,))


def _make_writer(url, timeout):
    conn = _connect(url, timeout)
    try:
        # As the SQLite file's synchronous=NORMAL: a saved part survives the program's crash
        # at once, and the server's own crash only costs the last instants of commits.
        conn.execute("SET synchronous_commit = off")
        _make_current(conn)
    except BaseException:
        conn.close()
        raise
    return conn


def _busy():
    return TimeoutError("another thread of this process is still writing")


_writers = Connections(_make_writer, lambda conn: not conn.closed, lambda conn: conn.close(), _busy)


def _write(url, timeout, work, commit=True, statement=False):
    """Runs work(conn) in one transaction on the process's writer connection (work that is one
    statement is a transaction of its own); a connection that failed is dropped, so that the
    next write makes a new one."""
    psycopg = _psycopg()
    try:
        with _writers.using(url, timeout) as conn:
            if statement:
                return work(conn)
            with conn.transaction() as transaction:
                result = work(conn)
                if not commit:
                    raise psycopg.Rollback(transaction)
            return result
    except psycopg.Error as exc:
        raise _error(url, exc) from None
    except TimeoutError as exc:
        raise StoreError(f"cannot write into {shown(url)}: {exc}") from None


def prepare_for_writing(url, timeout=60):
    """Connects, creates the schema as needed and tries a write, taken back: a role that may not
    write is found out before anything is recorded."""
    _write(url, timeout, lambda conn: conn.execute(
        "INSERT INTO traces (trace_id, created_at, size, msgpack) VALUES ('', 0, 0, '')"), commit=False)


def _insert(conn, row):
    return conn.execute(f"INSERT INTO traces ({db.PART_COLUMNS}) VALUES ({', '.join(['%s'] * len(row))})"
                        " RETURNING id", row).fetchone()[0]


def save_part(url, row, timeout=60):
    """Stores one part (the values of db.PART_COLUMNS) as one transaction; returns its id."""
    return _write(url, timeout, lambda conn: _insert(conn, row), statement=True)


class _Reading:
    """A reader's connection: StoreError for what the server says, FileNotFoundError when the
    database holds no traces yet."""

    def __init__(self, url):
        self.url = url
        self.conn = None

    def __enter__(self):
        self.conn = _connect(self.url)
        try:
            self.version = _version(self.conn)
        except BaseException:
            self.conn.close()
            raise
        if self.version == 0:
            self.conn.close()
            raise FileNotFoundError(f"no trace database at {shown(self.url)}")
        return self

    def __exit__(self, kind, value, tb):
        self.conn.close()
        if value is not None and isinstance(value, _psycopg().Error):
            raise _error(self.url, value) from None


def list_traces(url):
    with _Reading(url) as reading:
        rows = reading.conn.execute(db.listing_query(reading.version)).fetchall()
    return [db._summary(trace_id, created_at, source, None if records is None else int(records),
                        int(size), parts, *rest)
            for trace_id, created_at, source, records, size, parts, *rest in rows]


def last_saves(url):
    with _Reading(url) as reading:
        return reading.conn.execute(
            "SELECT trace_id, MAX(created_at) FROM traces GROUP BY trace_id").fetchall()


def iter_trace_parts(url, trace_id, reuse=False):
    buffer = [bytearray()] if reuse else None
    with _Reading(url) as reading:
        ids = [row[0] for row in reading.conn.execute(
            "SELECT id FROM traces WHERE trace_id = %s ORDER BY id", (str(trace_id),))]
        if not ids:
            raise KeyError(trace_id)
        for number, part_id in enumerate(ids, 1):
            # Binary results: the part arrives as it is stored, not as hex text to decode.
            blob, how, raw_size = reading.conn.execute(
                "SELECT msgpack, encoding, raw_size FROM traces WHERE id = %s", (part_id,),
                binary=True).fetchone()
            yield db.decode_part(bytes(blob), how, raw_size, buffer, trace_id, number)


def delete_traces(url, trace_ids, timeout=60):
    ids = [str(trace_id) for trace_id in trace_ids]
    with _Reading(url):  # FileNotFoundError before a writer would create the schema
        pass
    return _write(url, timeout, lambda conn: conn.execute(
        "DELETE FROM traces WHERE trace_id = ANY(%s)", (ids,)).rowcount)


def size(url):
    """Bytes the traces take on the server (its table, indexes and the compressed parts)."""
    try:
        with _Reading(url) as reading:
            return reading.conn.execute("SELECT pg_total_relation_size('traces')").fetchone()[0]
    except (FileNotFoundError, StoreError):
        return 0


def stored_parts(url, trace_id):
    with _Reading(url) as reading:
        ids = [row[0] for row in reading.conn.execute(
            "SELECT id FROM traces WHERE trace_id = %s ORDER BY id", (str(trace_id),))]
        for part_id in ids:
            row = reading.conn.execute(f"SELECT {db.PART_COLUMNS} FROM traces WHERE id = %s",
                                       (part_id,), binary=True).fetchone()
            yield row[:5] + (bytes(row[5]),) + row[6:]


def add_parts(url, trace_id, parts, timeout=60):
    def add(conn):
        # Two copies of one trace at once would both find it missing.
        conn.execute("SELECT pg_advisory_xact_lock(%s, hashtext(%s))", (_COPY_LOCKS, str(trace_id)))
        held = conn.execute("SELECT COUNT(*) FROM traces WHERE trace_id = %s", (str(trace_id),)).fetchone()[0]
        added = 0
        for number, row in enumerate(parts):
            if number >= held:
                _insert(conn, row)
                added += 1
        return added

    return _write(url, timeout, add)
