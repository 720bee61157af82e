"""A stored trace read back: its parts merged, its records grouped by thread.

Records come from a recording that may have stopped anywhere: every field is checked before it is
used, and a part that cannot be decoded is left out with a warning.
"""

import dataclasses
import math
import os
import sqlite3

from vesk import db
from vesk.serialize import load_msgpack
from vesk.view.tree import build_tree, is_number

__all__ = ["ViewError", "ThreadRecords", "Trace", "trace_from_parts", "load_trace"]


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
    meta = first.get("meta") if isinstance(first.get("meta"), dict) else {}
    args = first.get("command_line_args")
    started = first.get("timestamp")
    return Trace(
        trace_id=first.get("trace_id") if isinstance(first.get("trace_id"), str) else trace_id,
        source=meta.get("source") if isinstance(meta.get("source"), str) else None,
        version=meta.get("version") if isinstance(meta.get("version"), str) else None,
        command_line_args=[str(a) for a in args] if isinstance(args, list) else [],
        commit=_first(parts, "current_commit_sha"),
        started=started if is_number(started) else None,
        main_thread_id=main_thread_id,
        threads=threads,
        parts=len(blobs),
        record_count=sum(len(t.records) for t in threads),
        warnings=warnings,
    )


def _as_list(value):
    return value if isinstance(value, list) else ()


def _first_timestamp(records):
    for record in records:
        ts = record.get("timestamp")
        if is_number(ts):
            return ts
    return math.inf


def load_trace(db_path, trace_id=None):
    """The trace trace_id (the latest when None) of the database db_path.
    Raises ViewError with a message fit for the user."""
    path = os.fspath(db_path)
    try:
        if trace_id is None:
            trace_id = db.latest_trace_id(path)
            if trace_id is None:
                raise ViewError(f"no traces in {path}: record something first with `vesk run`")
        try:
            blobs = db.load_trace_parts(path, trace_id)
        except KeyError:
            trace_id = _expand_prefix(path, trace_id)
            blobs = db.load_trace_parts(path, trace_id)
    except FileNotFoundError:
        raise ViewError(f"no trace database at {path}: record something first with `vesk run`") from None
    except db.NotAVeskDatabase as exc:
        raise ViewError(f"{path} is not a vesk trace database ({exc})") from None
    except db.DatabaseTooNew as exc:
        raise ViewError(f"{path} was written by a newer vesk ({exc}): upgrade vesk to read it") from None
    except sqlite3.Error as exc:
        raise ViewError(f"cannot read {path}: {exc}") from None
    return trace_from_parts(blobs, trace_id)


def _expand_prefix(path, prefix):
    """The one trace id starting with prefix, so that ids can be typed short."""
    matches = [s.trace_id for s in db.list_traces(path) if s.trace_id.startswith(str(prefix))] if prefix else []
    if len(matches) == 1:
        return matches[0]
    if len(matches) > 1:
        shown = ", ".join(matches[:3]) + (", ..." if len(matches) > 3 else "")
        raise ViewError(f"trace id {prefix} is ambiguous in {path}: {shown}")
    raise ViewError(f"no trace {prefix} in {path}")
