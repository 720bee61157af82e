"""Traces stored in a SQLite file; docs/stored-layout.md describes the file.

Each call to :func:`save_trace_in_sqlite` adds one row (a *part*). The engine
keeps recording under the same trace id after a save, so a trace id may have
several parts; read in save order, they are consecutive pieces of one trace.

Several threads and processes may save into one file at once: the database
runs in WAL mode, every save is one short write transaction, and writers wait
for each other up to the busy timeout, saying so once when they have to.

A file is recognised as ours by its ``application_id``; ``user_version`` is the
schema version: older files are brought up to date when written to, and read
as they are.

A ``postgresql://`` URL in place of the path names a database on a server, of the same layout
(vesk.filters.postgres): every function here takes either.
"""

import dataclasses
import getpass
import json
import logging
import os
import pathlib
import socket
import sqlite3
import stat
import threading
import time

import msgpack as _msgpack
import zstandard

from vesk.filters.connections import Connections

__all__ = [
    "APPLICATION_ID",
    "SCHEMA_VERSION",
    "NotAVeskDatabase",
    "DatabaseTooNew",
    "UnsafeDatabase",
    "PartUnreadable",
    "MAX_PART_SIZE",
    "TraceSummary",
    "prepare_for_writing",
    "refusal",
    "note_parent",
    "save_trace_in_sqlite",
    "list_traces",
    "load_trace_parts",
    "iter_trace_parts",
    "latest_trace_id",
    "delete_traces",
    "is_url",
    "PART_COLUMNS",
    "stored_parts",
    "add_parts",
    "StoreError",
    "STORE_ERRORS",
]

APPLICATION_ID = 0x7665736B  # b"vesk"
SCHEMA_VERSION = 6

_SCHEMA = (
    """
    CREATE TABLE traces (
        id INTEGER PRIMARY KEY,     -- save order
        trace_id TEXT NOT NULL,
        created_at REAL NOT NULL,   -- unix time of the save
        source TEXT,                -- "source" from the blob's meta; NULL when unknown
        record_count INTEGER,       -- records of all threads; NULL when the blob did not parse
        size INTEGER NOT NULL,      -- length of the blob in bytes, as stored
        msgpack BLOB NOT NULL,      -- the part, compressed as `encoding` says
        test_nodeid TEXT,           -- the test a part's start_test or end_test record names
        test_outcome TEXT,          -- the outcome its end_test record gives
        test_when TEXT,             -- and the phase that decided it
        encoding TEXT,              -- NULL: MessagePack as it is; "zstd": compressed with zstd
        raw_size INTEGER,           -- the MessagePack's length before compression
        pid INTEGER,                -- the process that recorded the part
        parent_trace_id TEXT,       -- for a child process's trace: the trace of the process
        parent_pid INTEGER,         -- that started it, and that process
        started_at REAL,            -- unix time the recording of the trace began, from the blob
        host TEXT,                  -- where and by whom it was recorded,
        user_name TEXT,
        labels TEXT,                -- with what labels (a JSON object of text to text),
        ci_job TEXT,                -- and in which CI job, of which commit
        ci_commit TEXT
    )
    """,
    "CREATE INDEX traces_by_trace_id ON traces (trace_id, id)",
)
# What each older schema version needs to become the current one.
_MIGRATIONS = {
    1: ("ALTER TABLE traces ADD COLUMN test_nodeid TEXT",
        "ALTER TABLE traces ADD COLUMN test_outcome TEXT",
        "ALTER TABLE traces ADD COLUMN test_when TEXT"),
    2: ("ALTER TABLE traces ADD COLUMN encoding TEXT",
        "ALTER TABLE traces ADD COLUMN raw_size INTEGER"),
    3: ("ALTER TABLE traces ADD COLUMN pid INTEGER",
        "ALTER TABLE traces ADD COLUMN parent_trace_id TEXT",
        "ALTER TABLE traces ADD COLUMN parent_pid INTEGER"),
    4: ("ALTER TABLE traces ADD COLUMN started_at REAL",),
    5: ("ALTER TABLE traces ADD COLUMN host TEXT",
        "ALTER TABLE traces ADD COLUMN user_name TEXT",
        "ALTER TABLE traces ADD COLUMN labels TEXT",
        "ALTER TABLE traces ADD COLUMN ci_job TEXT",
        "ALTER TABLE traces ADD COLUMN ci_commit TEXT"),
}
# A part's columns as a writer gives them.
PART_COLUMNS = ("trace_id, created_at, source, record_count, size, msgpack, test_nodeid, test_outcome,"
                " test_when, encoding, raw_size, pid, parent_trace_id, parent_pid, started_at, host,"
                " user_name, labels, ci_job, ci_commit")
# The schema version that gave the traces table each of them, for files written before.
_ADDED_IN = {"test_nodeid": 2, "test_outcome": 2, "test_when": 2, "encoding": 3, "raw_size": 3, "pid": 4,
             "parent_trace_id": 4, "parent_pid": 4, "started_at": 5, "host": 6, "user_name": 6, "labels": 6,
             "ci_job": 6, "ci_commit": 6}
# The variables that name a CI job and the commit it runs, in the order they are looked for.
_CI_JOB_VARIABLES = ("CI_JOB_ID", "GITHUB_RUN_ID", "BUILD_TAG", "BUILD_ID")
_CI_COMMIT_VARIABLES = ("CI_COMMIT_SHA", "GITHUB_SHA", "GIT_COMMIT", "BUILD_SOURCEVERSION")
# zstd's fastest level: a part is compressed while the program waits, about 20 bytes a record.
_ZSTD_LEVEL = 1
# Readers seldom wait in WAL mode; this only covers a writer switching modes.
_READ_TIMEOUT = 30.0
# A writer waits this long quietly, then says that it waits.
_QUIET_WAIT = 1.0
# Page cache of a writer's connection, in KiB.
_CACHE_KIB = 256
# The folder vesk creates by default; it gets a .gitignore so that traces are not committed.
_OWN_FOLDER = ".vesk"

_log = logging.getLogger("vesk")
_URL_SCHEMES = ("postgresql://", "postgres://")


def is_url(db_path):
    """Whether db_path names a database on a PostgreSQL server rather than a SQLite file."""
    return isinstance(db_path, str) and db_path.startswith(_URL_SCHEMES)


def _server():
    from vesk.filters import postgres

    return postgres


class StoreError(Exception):
    """A database server could not be reached or refused; the message names it without a
    password."""


# What reading or writing a database may raise besides vesk's own errors and OSError.
STORE_ERRORS = (sqlite3.Error, StoreError)
# Trace id -> (parent trace id, parent pid) for the traces of this process that a child process
# records: stored with each of their parts.
_parents = {}
# The labels stored with every part this process saves (`vesk run --label`, `pytest --vesk-label`).
_labels = {}


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
    test_nodeid: str | None = None  # the test of a one-trace-per-test trace
    test_outcome: str | None = None  # as pytest names it: passed, failed, error, skipped, ...
    pid: int | None = None  # the process that recorded it
    parent_trace_id: str | None = None  # a child process's trace: its parent's trace
    started_at: float | None = None  # when its recording began, as its first part says
    host: str | None = None  # where, by whom, with which labels and in which CI job it was recorded
    user: str | None = None
    labels: dict = dataclasses.field(default_factory=dict)
    ci_job: str | None = None
    ci_commit: str | None = None

    @property
    def started(self):
        """When the trace's recording began; the first save's time for a trace stored before
        vesk kept it (a trace saved at its end was begun earlier)."""
        return self.created_at if self.started_at is None else self.started_at


@dataclasses.dataclass
class _Summary:
    source: str | None = None
    records: int | None = None
    nodeid: str | None = None
    outcome: str | None = None
    when: str | None = None
    started: float | None = None


def _summarise(blob):
    """What the listing shows of a trace blob, read without building the records: its source,
    the records of every thread, and the test its first and last records of a thread open or
    end. None for whatever is missing, and for everything when the blob does not parse."""
    from vesk import _vesk  # natively: a Python walk over millions of records takes seconds

    source, records, nodeid, outcome, when, started = _vesk.summarise_trace(blob)
    if records is None:
        return _Summary()
    return _Summary(source, records, nodeid, outcome, when, _time(started))


def _check_header(conn):
    """Raise unless conn is a vesk database; returns its schema version, 0 while it is still
    empty (a new file, which a writer may initialise)."""
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
        return 0
    if app_id != APPLICATION_ID:
        raise NotAVeskDatabase(f"SQLite file with application_id {app_id:#x}, not a vesk trace database")
    if version > SCHEMA_VERSION:
        raise DatabaseTooNew(f"trace database schema {version}; this vesk reads up to {SCHEMA_VERSION}")
    return version


def _is_busy(exc):
    return getattr(exc, "sqlite_errorname", "").startswith(("SQLITE_BUSY", "SQLITE_LOCKED")) or (
        "locked" in str(exc))


# Traces are written by vesk's saver thread while the program runs, and the program may fork
# meanwhile. A fork copies SQLite's state in the process as it stands: a lock that the saver held
# inside SQLite at that moment would never be released in the child, and a write transaction under
# way would make the child's own connections to the file wait for one that never ends. So a writer
# holds this lock, which a fork waits for, during each call into SQLite and during each write
# transaction. Both are short: a writer never waits inside SQLite for another (busy_timeout 0) nor
# holds the lock while it waits, but waits between tries.
_fork_guard = threading.Lock()
_BUSY_PAUSES = (0.001, 0.002, 0.005, 0.01, 0.02)  # then 0.02 s at a time


def _release_fork_guard():
    _fork_guard.release()


os.register_at_fork(before=_fork_guard.acquire, after_in_parent=_release_fork_guard,
                    after_in_child=_release_fork_guard)


class _Rows:
    """What a writer's statement gave, read while the fork guard was held."""

    def __init__(self, cursor):
        self.rows = cursor.fetchall()
        self.lastrowid = cursor.lastrowid
        self.rowcount = cursor.rowcount

    def fetchone(self):
        return self.rows[0] if self.rows else None


class _GuardedConnection:
    """A writer's connection: each call into SQLite holds the fork guard, and so does a write
    transaction from its start to its end (`hold` and `let_go`)."""

    def __init__(self, path):
        self.holding = False
        with _fork_guard:
            self._conn = sqlite3.connect(path, timeout=0, isolation_level=None,
                                         check_same_thread=False)

    @property
    def in_transaction(self):
        return self._conn.in_transaction

    def execute(self, statement, parameters=()):
        if self.holding:
            return _Rows(self._conn.execute(statement, parameters))
        with _fork_guard:
            return _Rows(self._conn.execute(statement, parameters))

    def hold(self):
        _fork_guard.acquire()
        self.holding = True

    def let_go(self):
        if self.holding:
            self.holding = False
            _fork_guard.release()

    def close(self):
        with _fork_guard:
            self._conn.close()


class _Writer:
    """A write connection to one database file, kept for the thread's next saves (a connection
    per save would make each save open the file, check it and checkpoint its log on closing).
    It waits for other writers up to each save's deadline, quietly at first and then saying once
    on the logger "vesk" that it waits."""

    def __init__(self, path):
        self.path = path
        _create_private(path)
        self.conn = _GuardedConnection(path)
        self.identity = _file_identity(path)
        self.ready = False  # the file was found ours and up to date
        self.deadline = 0.0
        self.quiet_until = 0.0
        self.said = False

    def start(self, timeout):
        now = time.monotonic()
        self.deadline = now + float(timeout)
        self.quiet_until = now + _QUIET_WAIT
        self.said = False

    def _wait_after(self, exc, pauses):
        """After a try that found the file busy: waits a little, or raises exc past the deadline
        (and any other failure at once)."""
        now = time.monotonic()
        left = self.deadline - now
        if not _is_busy(exc) or left <= 0:
            raise exc
        if not self.said and now >= self.quiet_until:
            self.said = True
            _log.warning("vesk: waiting for another writer of %s (up to %.0f s more)", self.path, left)
        time.sleep(min(next(pauses, _BUSY_PAUSES[-1]), left))

    def execute(self, statement, parameters=()):
        pauses = iter(_BUSY_PAUSES)
        while True:
            try:
                return self.conn.execute(statement, parameters)
            except sqlite3.OperationalError as exc:
                self._wait_after(exc, pauses)

    def _begin_immediate(self):
        """Opens a write transaction, and holds the fork guard until it ends."""
        pauses = iter(_BUSY_PAUSES)
        while True:
            self.conn.hold()
            try:
                self.conn.execute("BEGIN IMMEDIATE")
                return
            except sqlite3.OperationalError as exc:
                self.conn.let_go()
                self._wait_after(exc, pauses)
            except BaseException:
                self.conn.let_go()
                raise

    def begin(self):
        """The file made ours (WAL mode, the current schema) and a write transaction open."""
        if self.ready:
            self._begin_immediate()
            # Another program may have written the file meanwhile.
            if _check_header(self) == SCHEMA_VERSION:
                return
            self.end(False)
        _check_header(self)  # refuse a foreign file before touching its journal mode
        # A saver only appends: pages it wrote are never read again, and SQLite's default cache
        # would keep 2 MB of them per saving thread in the program being recorded.
        self.execute(f"PRAGMA cache_size = -{_CACHE_KIB}")
        if self.execute("PRAGMA journal_mode").fetchone()[0].lower() != "wal":
            self.execute("PRAGMA journal_mode=WAL")
        # In WAL mode a commit survives a crash of the program without a sync of its own; only a
        # power loss can cost the last saves.
        self.execute("PRAGMA synchronous=NORMAL")
        self._begin_immediate()
        # Checked again under the write lock: another saver may have created the schema.
        version = _check_header(self)
        if version == 0:
            for statement in _SCHEMA:
                self.execute(statement)
            self.execute(f"PRAGMA application_id = {APPLICATION_ID}")
        else:
            for old in range(version, SCHEMA_VERSION):
                for statement in _MIGRATIONS[old]:
                    self.execute(statement)
        if version != SCHEMA_VERSION:
            self.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        self.ready = True

    def end(self, commit):
        try:
            if self.conn.in_transaction:
                self.execute("COMMIT" if commit else "ROLLBACK")
        finally:
            self.conn.let_go()

    def close(self):
        try:
            self.end(False)
        finally:
            self.conn.close()


def _file_identity(path):
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def _make_writer(path, timeout):
    _refuse_links(path)
    return _Writer(path)


def _close_writer(writer):
    try:
        writer.close()
    except sqlite3.Error:
        pass


def _busy():
    return sqlite3.OperationalError("database is locked")


# A new connection when there is none yet, when the process is a fork's child, or when the file at
# the path is no longer the one it opened (removed or replaced).
_writers = Connections(_make_writer, lambda writer: writer.identity == _file_identity(writer.path),
                       _close_writer, _busy)


def _write(path, timeout, insert=None, commit=True):
    """Runs one write transaction on the file at path: the schema made current and, when given,
    insert(writer) run in it; rolled back unless commit. A connection that failed is not kept."""
    with _writers.using(path, timeout) as writer:
        writer.start(timeout)
        writer.begin()
        result = insert(writer) if insert is not None else None
        writer.end(commit)
        return result


def _make_folder(path):
    # Traces hold the values of a program's variables: a folder made here is its owner's alone
    # (the umask may take more away). A folder that exists is left as its owner made it.
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(folder):
        return
    os.makedirs(folder, mode=0o700, exist_ok=True)
    if os.path.basename(folder) == _OWN_FOLDER:
        with open(os.path.join(folder, ".gitignore"), "w", encoding="utf-8") as ignore:
            ignore.write("# Traces of vesk, not to be committed.\n*\n")


class UnsafeDatabase(Exception):
    """The database path is one vesk does not write traces into: a symbolic link, or (unless
    shared) a file of another user or one that others may read or write."""


def _create_private(path):
    """Creates the database file readable by its owner alone when there is none yet (SQLite gives
    its -wal and -shm files the mode of the database file); an existing file keeps its mode.
    Refuses a symbolic link, which SQLite would follow: one left dangling in a shared folder
    would have SQLite create its target, readable by all."""
    try:
        os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600))
    except FileExistsError:
        if os.path.islink(path):
            raise UnsafeDatabase(f"{path} is a symbolic link; give the file it points to") from None


# SQLite's companions of a database file, which it opens (and creates) beside it by name.
_SIDECARS = ("-wal", "-shm", "-journal")


def _refuse_links(path):
    """Refuses a database whose file or companion files are symbolic links: SQLite would follow
    them, writing the traces (or their journal) wherever whoever planted them chose."""
    for name in (path, *(path + suffix for suffix in _SIDECARS)):
        if os.path.islink(name):
            raise UnsafeDatabase(f"{name} is a symbolic link; give the file it points to")


def _check_sidecars(path, shared, flag):
    """Refuses companion files that another user left for SQLite to write into (it uses one it
    finds), unless shared."""
    for name in (path + suffix for suffix in _SIDECARS):
        try:
            info = os.lstat(name)
        except FileNotFoundError:
            continue
        _check_info(name, info, shared, flag)


def _check_info(name, info, shared, flag):
    if not stat.S_ISREG(info.st_mode):
        raise UnsafeDatabase(f"{name} is not a regular file")
    if shared:
        return
    if info.st_uid != os.geteuid():
        raise UnsafeDatabase(f"{name} belongs to another user (uid {info.st_uid}); "
                             f"pass {flag} to write into it all the same")
    if info.st_mode & 0o077:
        raise UnsafeDatabase(f"{name} may be read or written by others (mode "
                             f"{stat.S_IMODE(info.st_mode):04o}); chmod 600 it, or pass {flag}")


def _check_private(path, shared, flag):
    """Refuses a database file that is not a regular file of the user's, or that others may read
    or write, unless shared: traces hold the values of the program's variables, and a file
    another user made (planted empty in a shared folder) stays theirs to read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        if os.path.islink(path):
            raise UnsafeDatabase(f"{path} is a symbolic link; give the file it points to") from None
        raise exc
    try:
        info = os.fstat(fd)
    finally:
        os.close(fd)
    _check_info(path, info, shared, flag)


def prepare_for_writing(db_path, timeout=60, shared=False, flag="--db-shared"):
    """Makes sure that traces can be stored at db_path before anything is recorded: creates its
    folder, the database and its schema as needed. Raises OSError, sqlite3.Error,
    NotAVeskDatabase, DatabaseTooNew or UnsafeDatabase saying why not; shared lets the file be
    another user's, or open to others, and flag is the option that says so, for the messages."""
    if is_url(db_path):
        return _server().prepare_for_writing(db_path, timeout)
    path = os.path.abspath(os.fspath(db_path))
    if os.path.isdir(path):
        raise IsADirectoryError(f"{path} is a directory")
    folder = os.path.dirname(path)
    # A repository may ship its own .vesk, as a link to wherever it likes.
    if not shared and os.path.basename(folder) == _OWN_FOLDER and os.path.islink(folder):
        raise UnsafeDatabase(f"{folder} is a symbolic link; pass {flag} to write through it")
    _make_folder(path)
    _refuse_links(path)
    _create_private(path)
    _check_private(path, shared, flag)
    _check_sidecars(path, shared, flag)
    _write(path, timeout)
    # SQLite opens a file it may not write read-only, and lets an empty transaction (even BEGIN
    # IMMEDIATE) through: only a row written finds it out, which is then taken back.
    _write(path, timeout, _write_nothing, commit=False)


def refusal(error):
    """Why prepare_for_writing refused, in one line; None for an error it does not raise."""
    if isinstance(error, OSError):
        return error.strerror or str(error)
    if isinstance(error, (*STORE_ERRORS, NotAVeskDatabase, DatabaseTooNew, UnsafeDatabase)):
        return str(error)
    return None


def _write_nothing(writer):
    writer.execute("INSERT INTO traces (trace_id, created_at, size, msgpack) VALUES ('', 0, 0, x'')")


def set_labels(labels):
    """The labels (text to text) stored with every part this process saves from now on."""
    _labels.clear()
    _labels.update(labels)


def labels():
    return dict(_labels)


_user = None  # (uid, its name)


def user_name():
    """The name of the user the process runs as, looked up once per uid. The lookup may go through
    the C library's name services, whose locks a fork copies as they stand: one taken by the saver
    thread at that moment would leave every lookup in the child waiting for ever. So it is made
    with the fork guard held, and a child inherits its result."""
    global _user
    uid = os.getuid()
    if _user is None or _user[0] != uid:
        with _fork_guard:
            try:
                name = getpass.getuser()
            except (KeyError, OSError):  # a uid without a name, as in some containers
                name = str(uid)
        _user = (uid, name)
    return _user[1]


def _provenance():
    """What a part records of where it comes from: host, user, labels, CI job and commit."""
    user = user_name()
    job = next((os.environ[name] for name in _CI_JOB_VARIABLES if os.environ.get(name)), None)
    commit = next((os.environ[name] for name in _CI_COMMIT_VARIABLES if os.environ.get(name)), None)
    return (socket.gethostname(), user, json.dumps(_labels, sort_keys=True) if _labels else None, job,
            commit)


def note_parent(trace_id, parent_trace_id, parent_pid):
    """Stores the parts of trace_id, recorded by this process, as a child of parent_trace_id,
    recorded by the process parent_pid."""
    _parents[trace_id] = (parent_trace_id, parent_pid)


def save_trace_in_sqlite(db_path, trace_id, timeout=60, msgpack=b""):
    """Store one part of trace trace_id (a MessagePack trace blob) in the
    SQLite file db_path, creating the file, its folder and the schema as
    needed, or in the database a postgresql:// URL names (one transaction, the
    schema made as needed). Waits up to timeout seconds for other writers (for
    the server, to connect). Returns the new part's row id. A blob that does not parse is stored all the same, with
    NULL summary columns."""
    blob = bytes(msgpack)
    created_at = time.time()
    # Parsed before taking the write lock, which other savers are waiting for.
    summary = _summarise(blob)
    if not is_url(db_path):
        path = os.path.abspath(os.fspath(db_path))
        _make_folder(path)

    # Compressed before the write lock too; the compressor lets other threads run meanwhile. A
    # part too small to gain is kept as it is.
    stored, encoding = zstandard.ZstdCompressor(level=_ZSTD_LEVEL).compress(blob), "zstd"
    if len(stored) >= len(blob):
        stored, encoding = blob, None

    parent, parent_pid = _parents.get(trace_id, (None, None))
    row = (str(trace_id), created_at, summary.source, summary.records, len(stored), stored,
           summary.nodeid, summary.outcome, summary.when, encoding, len(blob), os.getpid(),
           parent, parent_pid, summary.started, *_provenance())
    if is_url(db_path):
        return _server().save_part(db_path, row, timeout)

    def insert(writer):
        return writer.execute(
            f"INSERT INTO traces ({PART_COLUMNS}) VALUES ({', '.join('?' * len(row))})", row).lastrowid

    return _write(path, timeout, insert)


def _open_for_reading(db_path):
    path = os.fspath(db_path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no trace database at {path}")
    resolved = pathlib.Path(path).resolve().as_uri()
    # mode=rw: never create the file (plain connect would), but still allow
    # the WAL index to be written, which WAL readers need. Where nothing may
    # be written (a read-only place), the file is read as it stands.
    for query in ("?mode=rw", "?mode=ro&immutable=1"):
        conn = None
        try:
            conn = sqlite3.connect(resolved + query, uri=True, timeout=_READ_TIMEOUT, isolation_level=None)
            version = _check_header(conn)
            break
        except BaseException as exc:
            if conn is not None:
                conn.close()
            if not isinstance(exc, sqlite3.OperationalError) or "immutable" in query or not _cannot_write(exc, path):
                raise
    if version == 0:
        conn.close()
        raise NotAVeskDatabase(f"{path} is an empty SQLite file, not a vesk trace database")
    return conn, version


def _cannot_write(exc, path):
    readonly = getattr(exc, "sqlite_errorname", "").startswith(("SQLITE_READONLY", "SQLITE_CANTOPEN"))
    return readonly or not os.access(path, os.W_OK) or not os.access(os.path.dirname(os.path.abspath(path)), os.W_OK)


def list_traces(db_path):
    """A TraceSummary per trace id, the most recently started trace first."""
    if is_url(db_path):
        return _server().list_traces(db_path)
    conn, version = _open_for_reading(db_path)
    try:
        rows = conn.execute(listing_query(version)).fetchall()
    finally:
        conn.close()
    return [_summary(*row) for row in rows]


def _counted(column):
    """The column where it holds a count that a part can hold, else NULL. A part holds at most
    MAX_PART_SIZE bytes, and so fewer records: a file from elsewhere that gives more gives no count,
    and adding its counts up could pass what SQLite's integers hold, which fails the listing whole."""
    return f"CASE WHEN {column} BETWEEN 0 AND {MAX_PART_SIZE} THEN {column} END"


def listing_query(version):
    """The query of list_traces on a database of schema version (a server's is always current):
    a row per trace, with _summary's arguments."""
    test = ("MAX(test_nodeid)", "MAX(test_outcome)") if version >= 2 else ("NULL", "NULL")
    lineage = "first.pid, first.parent_trace_id" if version >= 4 else "NULL, NULL"
    started = "first.started_at" if version >= 5 else "NULL"
    provenance = ("first.host, first.user_name, first.labels, first.ci_job, first.ci_commit" if version >= 6
                  else "NULL, NULL, NULL, NULL, NULL")
    # A trace saved at its end, such as a program's whose children ended first, was begun earlier.
    order = "COALESCE(first.started_at, first.created_at) DESC, " if version >= 5 else ""
    return f"""
        SELECT g.trace_id, first.created_at, first.source, g.records, g.size, g.parts,
               g.nodeid, g.outcome, {lineage}, {started}, {provenance}
        FROM (
            SELECT trace_id,
                   MIN(id) AS first_id,
                   CASE WHEN COUNT({_counted("record_count")}) = COUNT(*)
                        THEN SUM({_counted("record_count")}) END AS records,
                   SUM({_counted("size")}) AS size,
                   COUNT(*) AS parts,
                   {test[0]} AS nodeid,
                   {test[1]} AS outcome
            FROM traces GROUP BY trace_id
        ) AS g
        JOIN traces AS first ON first.id = g.first_id
        ORDER BY {order}g.first_id DESC
        """


def _text(value):
    """A text column of a file from elsewhere, which may hold any type: str or None."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value)


def _count(value):
    return value if type(value) is int else None


def _time(value):
    """A time column of a file from elsewhere, which may hold anything: a finite float or None."""
    return float(value) if type(value) in (int, float) and value - value == 0 else None


def _summary(trace_id, created_at, source, records, size, parts, nodeid, outcome, pid, parent, started,
             host, user, labels, ci_job, ci_commit):
    return TraceSummary(_text(trace_id), _time(created_at) or 0.0, _text(source), _count(records),
                        _count(size) or 0, parts, _text(nodeid), _text(outcome), _count(pid), _text(parent),
                        _time(started), _text(host), _text(user), _labels_of(labels), _text(ci_job),
                        _text(ci_commit))


# The most text a labels column is read from: labels are a few short words.
_LABELS_SIZE = 64 << 10


def _nesting(text):
    """How deep the arrays and objects of a JSON text nest, read without parsing it."""
    deepest = depth = 0
    inside = escaped = False
    for char in text:
        if inside:
            escaped, inside = (False, True) if escaped else (char == "\\", char != '"')
        elif char == '"':
            inside = True
        elif char in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif char in "]}":
            depth -= 1
    return deepest


def _labels_of(value):
    """The labels column of a file from elsewhere: a dict of text to text, empty when it holds
    anything else. Read with bounded size and depth: a row made to break parsers costs its own
    labels, never the listing."""
    text = _text(value) or "{}"
    if len(text) > _LABELS_SIZE or _nesting(text) > 1:
        return {}
    try:
        found = json.loads(text)
    except (ValueError, RecursionError):
        return {}
    if not isinstance(found, dict) or not all(isinstance(v, str) for v in found.values()):
        return {}
    return found


# The most a part may hold once decompressed. Parts are cut at the part size (64 MiB by default);
# with parts cut only at the end (--part-size 0) a part is bounded by the trace limit, 1 GiB by
# default, plus the few bytes of its header. Twice that reads every part the default settings
# write, with room for a larger --part-size, while a file from elsewhere that claims more (a
# decompression bomb, or a raw_size of a terabyte) is refused before it is decompressed.
MAX_PART_SIZE = 2 << 30
# Room first given to a part whose declared size is larger than its compressed size makes likely,
# in times that compressed size (zstd level 1 shrinks records 5 to 20 times): past it, the buffer
# grows as the output arrives, never by what the row claims.
_FIRST_ROOM = 32
# The most a buffer grows by at once: it grows in place, so that the output is never held twice.
_GROWTH = 64 << 20


class PartUnreadable(Exception):
    """A part of a trace that cannot be read: corrupt, of the wrong type, or larger than it says
    or than any part vesk writes. The message names the trace and the part."""


def _limit(raw_size, encoding):
    """The most a part declaring raw_size may hold once decompressed; ValueError for a raw_size
    no writer gives."""
    if raw_size is None:
        if encoding is not None:
            # Every writer that compresses stores the size with it: no bound could be known.
            raise ValueError("it is compressed and declares no raw_size, as no writer stores it")
        return MAX_PART_SIZE  # written before raw_size was stored, and never compressed
    if type(raw_size) is not int or raw_size < 0:
        raise ValueError(f"its raw_size is {raw_size!r}, not a byte count")
    if raw_size > MAX_PART_SIZE:
        raise ValueError(f"it declares {raw_size} bytes, more than the {MAX_PART_SIZE} a part may hold")
    return raw_size


def _grown(buffer, room, done, size):
    """room, holding done bytes, made size bytes long: in place, a step at a time, so that its
    bytes are not held twice; in a new buffer when a reader still holds a view of it."""
    try:
        while len(room) < size:
            room += bytes(min(size - len(room), _GROWTH))
        return room
    except BufferError:
        grown = bytearray(size)
        grown[:done] = memoryview(room)[:done]
        buffer[0] = grown
        return grown


def _inflate(blob, limit, buffer):
    """The zstd frame blob decompressed into buffer[0], a bytearray that grows as needed: a
    memoryview of it. ValueError when it holds more than limit bytes, found with at most limit
    + 1 bytes of output in memory."""
    # Every writer's frame says its size: one that does not, or says another, was not made by one
    # (and a frame cut short after whole blocks would read as a shorter part, unreported).
    declared = zstandard.frame_content_size(blob)
    if declared < 0:
        raise ValueError("its frame does not say how many bytes it holds, as every writer's does")
    if declared != limit:
        raise ValueError(f"its frame holds {declared} bytes, not the {limit} it declares")
    room = buffer[0]
    if len(room) <= limit:
        room = _grown(buffer, room, 0, min(limit + 1, max(len(room), _FIRST_ROOM * len(blob), 1 << 16)))
    done = 0
    with zstandard.ZstdDecompressor().stream_reader(blob) as reader:
        while True:
            if done == len(room):
                if done > limit:
                    raise ValueError(f"it holds more than the {limit} bytes it declares")
                room = _grown(buffer, room, done, min(done + max(done, 1 << 16), limit + 1))
            with memoryview(room) as view, view[done:] as rest:
                got = reader.readinto(rest)
            if not got:
                break
            done += got
    if done > limit:
        raise ValueError(f"it holds more than the {limit} bytes it declares")
    return memoryview(room)[:done]


def _decoded(blob, encoding, raw_size, buffer=None):
    """The MessagePack of a part as stored: bytes, or with buffer a memoryview of buffer[0] (see
    _inflate); without buffer, a bytearray of its own. ValueError, TypeError or
    zstandard.ZstdError for a part that cannot be read."""
    if encoding is not None and encoding != "zstd":
        raise DatabaseTooNew(f"a part is stored with {encoding!r}, which this vesk cannot read")
    if not isinstance(blob, bytes):
        raise TypeError(f"it holds {type(blob).__name__}, not bytes")
    limit = _limit(raw_size, encoding)
    if encoding is None:
        if len(blob) > limit:
            raise ValueError(f"it holds {len(blob)} bytes, more than the {limit} it declares")
        part = blob
    else:
        own = [bytearray()] if buffer is None else buffer
        part = _inflate(blob, limit, own)
        if buffer is None:  # the buffer is the part's alone: cut to its size where it lies
            done = len(part)
            part.release()
            part = own[0]
            del part[done:]
    if raw_size is not None and len(part) != raw_size:
        raise ValueError(f"it holds {len(part)} bytes, not the {raw_size} it declares")
    return part


def iter_trace_parts(db_path, trace_id, reuse=False):
    """The parts saved under trace_id, in save order, decompressed one at a time: a trace of
    any size is read holding one part. KeyError if there are none; PartUnreadable for a part
    that cannot be read.

    With reuse, a part may be a memoryview of a buffer that the next part overwrites, for a
    reader done with each part before it asks for the next: mapping fresh memory for every part
    costs more than decompressing it."""
    if is_url(db_path):
        return _server().iter_trace_parts(db_path, trace_id, reuse)
    return _iter_file_parts(db_path, trace_id, reuse)


def decode_part(blob, encoding, raw_size, buffer, trace_id, number):
    """Part number of trace_id as stored, decoded (see _decoded); PartUnreadable when it cannot be."""
    try:
        return _decoded(blob, encoding, raw_size, buffer)
    except (ValueError, TypeError, zstandard.ZstdError) as exc:
        raise PartUnreadable(f"trace {trace_id} part {number} cannot be read: {exc}") from None


def _iter_file_parts(db_path, trace_id, reuse):
    conn, version = _open_for_reading(db_path)
    stored_as = "encoding, raw_size" if version >= 3 else "NULL, NULL"
    buffer = [bytearray()] if reuse else None
    try:
        ids = [row[0] for row in conn.execute(
            "SELECT id FROM traces WHERE trace_id = ? ORDER BY id", (str(trace_id),))]
        if not ids:
            raise KeyError(trace_id)
        for number, part_id in enumerate(ids, 1):
            blob, how, raw_size = conn.execute(
                f"SELECT msgpack, {stored_as} FROM traces WHERE id = ?", (part_id,)).fetchone()
            yield decode_part(blob, how, raw_size, buffer, trace_id, number)
    finally:
        conn.close()


def load_trace_parts(db_path, trace_id):
    """The blobs saved under trace_id, in save order. KeyError if there are none."""
    return list(iter_trace_parts(db_path, trace_id))


def latest_trace_id(db_path):
    """The id of the most recently started trace that is no child process's, or None when the
    database holds none. A child may outlive the program that started it (multiprocessing's
    resource tracker does), and its trace be saved last, but the program is what a command
    without an id is about."""
    summaries = list_traces(db_path)
    programs = [s for s in summaries if s.parent_trace_id is None] or summaries
    return programs[0].trace_id if programs else None


def delete_traces(db_path, trace_ids, timeout=60):
    """Removes every part of the traces trace_ids from the database at db_path, which must exist,
    then hands the space they took back to the file system. Returns the number of parts removed."""
    if is_url(db_path):
        return _server().delete_traces(db_path, trace_ids, timeout)
    path = os.path.abspath(os.fspath(db_path))
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no trace database at {db_path}")
    ids = [str(trace_id) for trace_id in trace_ids]

    def delete(writer):
        removed = 0
        for start in range(0, len(ids), 500):  # SQLite bounds the parameters of a statement
            chunk = ids[start:start + 500]
            marks = ", ".join("?" * len(chunk))
            removed += writer.execute(f"DELETE FROM traces WHERE trace_id IN ({marks})", chunk).rowcount
        return removed

    removed = _write(path, timeout, delete)
    if removed:
        _shrink(path, timeout)
    return removed


def _shrink(path, timeout):
    """Rewrites the file without its free pages, and empties the write-ahead log into it."""
    with _writers.using(path, timeout) as writer:
        writer.start(timeout)
        writer.execute("VACUUM")
        writer.execute("PRAGMA wal_checkpoint(TRUNCATE)")


def last_saves(db_path):
    """Trace id -> unix time of the save of its last part."""
    if is_url(db_path):
        rows = _server().last_saves(db_path)
    else:
        conn, _ = _open_for_reading(db_path)
        try:
            rows = conn.execute("SELECT trace_id, MAX(created_at) FROM traces GROUP BY trace_id").fetchall()
        finally:
            conn.close()
    return {_text(trace_id): last for trace_id, last in rows
            if type(last) in (int, float) and last - last == 0}


def stored_parts(db_path, trace_id):
    """The parts of trace_id as they are stored (the values of PART_COLUMNS, compressed), in save
    order, one at a time: what add_parts copies into another database."""
    if is_url(db_path):
        yield from _server().stored_parts(db_path, trace_id)
        return
    conn, version = _open_for_reading(db_path)
    names = [name.strip() for name in PART_COLUMNS.split(",")]
    columns = ", ".join(name if _ADDED_IN.get(name, 1) <= version else "NULL" for name in names)
    try:
        ids = [row[0] for row in conn.execute(
            "SELECT id FROM traces WHERE trace_id = ? ORDER BY id", (str(trace_id),))]
        for part_id in ids:
            yield conn.execute(f"SELECT {columns} FROM traces WHERE id = ?", (part_id,)).fetchone()
    finally:
        conn.close()


def add_parts(db_path, trace_id, parts, timeout=60):
    """Stores the parts of trace_id (stored_parts of another database, in order) that db_path
    does not hold yet, in one transaction: a part is known by its trace and its place among the
    trace's parts, so that copying a trace again stores only what it gained since. db_path must
    be ready for writing (prepare_for_writing). Returns the number of parts stored."""
    if is_url(db_path):
        return _server().add_parts(db_path, trace_id, parts, timeout)
    path = os.path.abspath(os.fspath(db_path))

    def add(writer):
        held = writer.execute("SELECT COUNT(*) FROM traces WHERE trace_id = ?", (str(trace_id),)).fetchone()[0]
        added = 0
        for number, row in enumerate(parts):
            if number >= held:
                writer.execute(f"INSERT INTO traces ({PART_COLUMNS}) VALUES ({', '.join('?' * len(row))})", row)
                added += 1
        return added

    return _write(path, timeout, add)
