"""A stored trace read back: its parts merged, its records grouped by thread.

Records come from a recording that may have stopped anywhere: every field is checked before it is
used, and a part that cannot be decoded is left out with a warning.

A trace can be loaded whole (load_trace, trace_from_parts), or read in one pass that hands each
record to a walker of its thread and keeps nothing itself (open_trace, then read_trace): a part
is decoded one record at a time, so that only the part's MessagePack and what the walkers keep
are in memory. skim_trace makes that pass natively (vesk._vesk.Skim): records are read where
they lie in the part, and only those the caller keeps are decoded.
"""

import contextlib
import dataclasses
import functools
import io
import itertools
import math
import os
import sqlite3

import msgpack

from vesk import _vesk, db
from vesk.serialize import load_msgpack
from vesk.view.tree import build_tree, is_number

__all__ = ["ViewError", "ThreadRecords", "ThreadWalk", "Trace", "StoredTrace", "trace_from_parts",
           "load_trace", "open_trace", "read_trace", "skim_trace", "unpack"]


# The keys of a part other than its records, which read_trace decodes one at a time.
_SMALL_KEYS = ("command_line_args", "current_commit_sha", "main_thread_id", "meta", "timestamp",
               "trace_id")


class ViewError(Exception):
    """A problem the command line reports as it is: a one-line message."""


@dataclasses.dataclass
class ThreadRecords:
    """The records of one thread, in the order they were recorded."""

    name: str
    native_id: int | None
    is_main: bool
    records: list
    _roots: list | None = dataclasses.field(default=None, repr=False, compare=False)

    @property
    def roots(self):
        """The thread's call tree (top-level Nodes), built on first use."""
        if self._roots is None:
            self._roots = build_tree(self.records)
        return self._roots

    @property
    def record_count(self):
        return len(self.records)


@dataclasses.dataclass
class ThreadWalk:
    """A thread of a trace read in one pass (read_trace): what is known of it, and the walker its
    records went to."""

    name: str
    native_id: int | None
    is_main: bool
    record_count: int
    walker: object


@dataclasses.dataclass
class Trace:
    trace_id: str | None
    source: str | None
    version: str | None
    command_line_args: list
    commit: str | None
    started: float | None  # when the profiler was created (unix time)
    main_thread_id: int | None
    threads: list  # ThreadRecords, the main thread first
    parts: int
    record_count: int
    warnings: list  # one-line notes about parts that could not be read


def _first(parts, key):
    for part in parts:
        value = part.get(key)
        if value is not None:
            return value
    return None


def trace_from_parts(blobs, trace_id=None):
    """A Trace made of the MessagePack parts of one trace, in save order."""
    parts, warnings = [], []
    for number, blob in enumerate(blobs, 1):
        try:
            part = load_msgpack(blob)
        except Exception as exc:
            part = exc
        if not isinstance(part, dict):
            what = f"{type(part).__name__}: {part}" if isinstance(part, Exception) else "not a map"
            warnings.append(f"part {number} of {len(blobs)} could not be decoded and is left out ({what})")
            continue
        parts.append(part)
    if blobs and not parts:
        raise ViewError(f"trace {trace_id}: none of its {len(blobs)} parts can be decoded ({warnings[0]})")

    main_thread_id = _first(parts, "main_thread_id")
    groups = {}  # (native id, name) -> ThreadRecords

    def add(record, fallback_native_id):
        if not isinstance(record, dict):
            return
        native_id = record.get("thread_native_id")
        if type(native_id) is not int:
            native_id = fallback_native_id
        name = record.get("thread")
        name = name if isinstance(name, str) else "?"
        # The name as well as the id: the system may hand a finished
        # thread's native id to a new one.
        key = (native_id, name)
        group = groups.get(key)
        if group is None:
            group = groups[key] = ThreadRecords(name, native_id, False, [])
        group.records.append(record)

    for part in parts:
        # With threading off every thread's records share this list, interleaved.
        for record in _as_list(part.get("frames_of_interest")):
            add(record, None)
        frames = part.get("frames")
        if isinstance(frames, dict):
            for native_id, records in frames.items():
                for record in _as_list(records):
                    add(record, native_id if type(native_id) is int else None)

    threads = list(groups.values())
    main = None
    if main_thread_id is not None:
        main = next((t for t in threads if t.native_id == main_thread_id), None)
    if main is None:
        main = next((t for t in threads if t.name == "MainThread"), None)
    if main is not None:
        main.is_main = True
    threads.sort(key=lambda t: (not t.is_main, _first_timestamp(t.records)))

    first = parts[0] if parts else {}
    firsts = {key: first.get(key) for key in _SMALL_KEYS}
    firsts["current_commit_sha"] = _first(parts, "current_commit_sha")
    return _trace(firsts, main_thread_id, trace_id, len(blobs), warnings, threads)


def _as_list(value):
    return value if isinstance(value, list) else ()


def _first_timestamp(records):
    for record in records:
        ts = record.get("timestamp")
        if is_number(ts):
            return ts
    return math.inf


class StoredTrace:
    """A trace of a database, found but not read yet."""

    def __init__(self, path, trace_id):
        self.path = path
        self.trace_id = trace_id

    def parts(self, reuse=False):
        """The MessagePack of each part, in save order, one at a time (see db.iter_trace_parts
        for reuse)."""
        with _reading(self.path):
            try:
                yield from db.iter_trace_parts(self.path, self.trace_id, reuse)
            except KeyError:
                raise ViewError(f"no trace {self.trace_id} in {self.path}") from None


@contextlib.contextmanager
def _reading(path):
    """What reading the database at path may raise, as a ViewError fit for the user."""
    try:
        yield
    except FileNotFoundError:
        raise ViewError(f"no trace database at {path}: record something first with `vesk run`") from None
    except db.NotAVeskDatabase as exc:
        raise ViewError(f"{path} is not a vesk trace database ({exc})") from None
    except db.PartUnreadable as exc:
        raise ViewError(str(exc)) from None
    except db.DatabaseTooNew as exc:
        raise ViewError(f"{path} was written by a newer vesk ({exc}): upgrade vesk to read it") from None
    except db.StoreError as exc:
        raise ViewError(f"cannot read {exc}") from None
    except sqlite3.Error as exc:
        raise ViewError(f"cannot read {path}: {exc}") from None


def open_trace(db_path, trace_id=None):
    """The StoredTrace trace_id (the latest when None; or the one trace whose id starts with it)
    of the database db_path. Raises ViewError with a message fit for the user."""
    path = os.fspath(db_path)
    with _reading(path):
        if trace_id is None:
            trace_id = db.latest_trace_id(path)
            if trace_id is None:
                raise ViewError(f"no traces in {path}: record something first with `vesk run`")
        else:
            ids = [s.trace_id for s in db.list_traces(path)]
            if str(trace_id) not in ids:
                trace_id = _expand_prefix(path, ids, trace_id)
    return StoredTrace(path, trace_id)


def load_trace(db_path, trace_id=None):
    """The trace trace_id (the latest when None) of the database db_path, loaded whole.
    Raises ViewError with a message fit for the user."""
    stored = open_trace(db_path, trace_id)
    return trace_from_parts(list(stored.parts()), stored.trace_id)


def _expand_prefix(path, ids, prefix):
    """The one trace id starting with prefix, so that ids can be typed short."""
    matches = [i for i in ids if i.startswith(str(prefix))] if prefix else []
    if len(matches) == 1:
        return matches[0]
    if len(matches) > 1:
        shown = ", ".join(matches[:3]) + (", ..." if len(matches) > 3 else "")
        raise ViewError(f"trace id {prefix} is ambiguous in {path}: {shown}")
    raise ViewError(f"no trace {prefix} in {path}")


_READ_SIZE = 256 * 1024

# One value's MessagePack decoded as the records of a part are.
unpack = functools.partial(msgpack.unpackb, raw=False, strict_map_key=False)


def _unpacker(blob, offset=0):
    stream = io.BytesIO(blob)  # shares blob's memory
    stream.seek(offset)
    # The limits load_msgpack has for the whole blob.
    size = max(len(blob), 1)
    return msgpack.Unpacker(stream, raw=False, strict_map_key=False, max_buffer_size=size,
                            read_size=min(_READ_SIZE, size))


def _is_array(byte):
    return 0x90 <= byte <= 0x9F or byte in (0xDC, 0xDD)


def _is_map(byte):
    return 0x80 <= byte <= 0x8F or byte in (0xDE, 0xDF)


@dataclasses.dataclass
class _Layout:
    """A part as a first pass over it finds it: its small values, and where its record arrays
    start (None: it has none)."""

    values: dict
    main: int | None  # the array of "frames_of_interest"
    threads: list  # (native id, where its array starts), as "frames" lists them


def _layout(blob):
    """The part's _Layout, or None unless it decodes as load_msgpack would decode it, to the same
    map, with nothing in its records known to fail: they are skipped, not decoded."""
    try:
        # Only the arrays of records are skipped, to be decoded as they are read; everything
        # else is decoded here, as it would be whole, so that what would fail fails here.
        unpacker = _unpacker(blob)
        values, main, threads, found = {}, None, [], set()
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key in ("frames_of_interest", "frames"):
                if key in found:
                    return None  # a dict would keep the last only: the first is decoded never
                found.add(key)
            if key == "frames_of_interest":
                start = unpacker.tell()
                main = start if _is_array(blob[start]) else None
                unpacker.skip() if main is not None else unpacker.unpack()
            elif key == "frames":
                if not _is_map(blob[unpacker.tell()]):
                    unpacker.unpack()
                    continue
                seen = set()
                for _ in range(unpacker.read_map_header()):
                    native_id = unpacker.unpack()
                    start = unpacker.tell()
                    if native_id in seen:
                        return None  # a dict would keep the last only, where the first was
                    seen.add(native_id)
                    if _is_array(blob[start]):
                        threads.append((native_id, start))
                        unpacker.skip()
                    else:
                        unpacker.unpack()
            elif key in _SMALL_KEYS:
                values[key] = unpacker.unpack()
            else:
                unpacker.unpack()
        if unpacker.tell() != len(blob):
            return None
    except Exception:
        return None
    return _Layout(values, main, threads)


class _Undecodable(Exception):
    """A part whose records turned out not to decode part-way through them (or, read natively,
    might not: read again by the companion package, it may)."""

    def __init__(self, number, natively=False):
        super().__init__(number)
        self.number = number
        self.natively = natively


def _records(blob, start):
    """The records of the array at start, decoded as they are iterated."""
    unpacker = _unpacker(blob, start)
    return itertools.islice(unpacker, unpacker.read_array_header())


class _Group:
    __slots__ = ("name", "native_id", "walker", "feed", "count", "first_ts")

    def __init__(self, name, native_id, walker):
        self.name = name
        self.native_id = native_id
        self.walker = walker
        self.feed = walker.feed
        self.count = 0
        self.first_ts = None


class _Walkers:
    """A pass's records grouped as trace_from_parts groups them, each group's handed to a walker
    of its own, made by new_walker() as the group appears."""

    skims = False

    def __init__(self, new_walker):
        self.new_walker = new_walker
        self.groups = {}  # (native id, name) -> _Group

    def feed_records(self, records, fallback_native_id):
        groups = self.groups
        get = groups.get
        last_key = group = None
        for record in records:
            if record.__class__ is not dict:
                continue
            native_id = record.get("thread_native_id")
            if native_id.__class__ is not int:
                native_id = fallback_native_id
            name = record.get("thread")
            if name.__class__ is not str:
                name = "?"
            if last_key is None or native_id != last_key[0] or name != last_key[1]:
                last_key = (native_id, name)
                group = get(last_key)
                if group is None:
                    group = groups[last_key] = _Group(name, native_id, self.new_walker())
            group.count += 1
            if group.first_ts is None and is_number(record.get("timestamp")):
                group.first_ts = record["timestamp"]
            group.feed(record)

    def finish(self):
        """(name, native id, records, first timestamp, walker) per thread, in order of
        appearance."""
        for group in self.groups.values():
            group.walker.finish()
        return [(g.name, g.native_id, g.count, g.first_ts, g.walker) for g in self.groups.values()]


class _Skimmed:
    """_Walkers' part played by a vesk._vesk.Skim; walker(skim, index) makes what stands for the
    walker of a thread once the records are over."""

    skims = True

    def __init__(self, skim, walker):
        self.skim = skim
        self.walker = walker
        self.feed_part = skim.feed_part
        self.feed_records = skim.feed_records

    def finish(self):
        threads = self.skim.finish()
        return [(*thread, self.walker(self.skim, index)) for index, thread in enumerate(threads)]


def read_trace(stored, start):
    """Reads the StoredTrace stored in one pass, handing each record to the walker of its thread,
    and returns a Trace whose threads are ThreadWalks.

    start() begins the pass and returns new_walker, which read_trace calls with no arguments as
    each thread appears, for an object with feed(record) and finish(). A part whose records turn
    out not to decode part-way through is read again whole, and left out if it does not decode
    then either; that takes a new pass, begun with start() again."""
    return _passes(stored, lambda: _Walkers(start()))


def skim_trace(stored, start, walker):
    """read_trace made natively: start() begins the pass and returns a vesk._vesk.Skim, and the
    ThreadWalks' walkers are walker(skim, index of the thread). A part whose records the skim
    cannot read (it reads only what decodes as the companion package would decode it, and reads
    nothing it is unsure of) is read as read_trace reads it, in a new pass."""
    return _passes(stored, lambda: _Skimmed(start(), walker))


def _passes(stored, begin):
    slow, whole = set(), set()  # numbers of the parts to decode record by record, and whole
    while True:
        try:
            return _read(stored, begin(), slow, whole)
        except _Undecodable as failed:
            (slow if failed.natively else whole).add(failed.number)


def _feed(reader, number, blob, slow, whole):
    """Hands the records of part number to reader: (the part's small values, None), or (None, what
    keeps the part out)."""
    if reader.skims and number not in slow and number not in whole:
        spans = reader.feed_part(blob)
        if spans is False:
            raise _Undecodable(number, natively=True)
        if spans is not None:
            try:
                with memoryview(blob) as view:
                    return {key: unpack(view[start:end]) for key, start, end in spans if key in _SMALL_KEYS}, None
            except Exception as exc:
                raise _Undecodable(number, natively=True) from exc
    layout = None if number in whole else _layout(blob)
    if layout is None:
        try:
            part = load_msgpack(blob)
        except Exception as exc:
            return None, f"{type(exc).__name__}: {exc}"
        if not isinstance(part, dict):
            return None, "not a map"
        reader.feed_records(_as_list(part.get("frames_of_interest")), None)
        frames = part.get("frames")
        if isinstance(frames, dict):
            for native_id, records in frames.items():
                reader.feed_records(_as_list(records), native_id if type(native_id) is int else None)
        return part, None
    try:
        if layout.main is not None:
            reader.feed_records(_records(blob, layout.main), None)
        for native_id, where in layout.threads:
            reader.feed_records(_records(blob, where), native_id if type(native_id) is int else None)
    except Exception as exc:
        # Most likely a record that does not decode; were it anything else, reading the part
        # whole would meet it again and let it out.
        raise _Undecodable(number) from exc
    return layout.values, None


def _read(stored, reader, slow, whole):
    firsts, failures, total, decoded = {}, [], 0, 0
    # A skim keeps nothing of a part once read.
    for number, blob in enumerate(stored.parts(reuse=reader.skims), 1):
        total = number
        values, what = _feed(reader, number, blob, slow, whole)
        blob = None  # not kept while the next part is made
        if values is None:
            failures.append((number, what))
            continue
        decoded += 1
        if not firsts:
            firsts = {key: values.get(key) for key in _SMALL_KEYS}
        for key in ("main_thread_id", "current_commit_sha"):
            if firsts.get(key) is None:
                firsts[key] = values.get(key)
        values = None
    warnings = [f"part {number} of {total} could not be decoded and is left out ({what})"
                for number, what in failures]
    if total and not decoded:
        raise ViewError(f"trace {stored.trace_id}: none of its {total} parts can be decoded ({warnings[0]})")

    threads = reader.finish()  # (name, native id, records, first timestamp, walker)
    main_thread_id = firsts.get("main_thread_id")
    main = None
    if main_thread_id is not None:
        main = next((t for t in threads if t[1] == main_thread_id), None)
    if main is None:
        main = next((t for t in threads if t[0] == "MainThread"), None)
    threads.sort(key=lambda t: (t is not main, math.inf if t[3] is None else t[3]))
    return _trace(firsts, main_thread_id, stored.trace_id, total, warnings,
                  [ThreadWalk(t[0], t[1], t is main, t[2], t[4]) for t in threads])


def _trace(first, main_thread_id, trace_id, parts, warnings, threads):
    """A Trace with the metadata in first: the small values of the first decoded part, but for
    the commit, the first one given."""
    meta = first.get("meta") if isinstance(first.get("meta"), dict) else {}
    args = first.get("command_line_args")
    started = first.get("timestamp")
    return Trace(
        trace_id=first.get("trace_id") if isinstance(first.get("trace_id"), str) else trace_id,
        source=meta.get("source") if isinstance(meta.get("source"), str) else None,
        version=meta.get("version") if isinstance(meta.get("version"), str) else None,
        command_line_args=[str(a) for a in args] if isinstance(args, list) else [],
        commit=first.get("current_commit_sha"),
        started=started if is_number(started) else None,
        main_thread_id=main_thread_id,
        threads=threads,
        parts=parts,
        record_count=sum(t.record_count for t in threads),
        warnings=warnings,
    )
