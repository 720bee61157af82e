"""Reading stored traces back: the merged records of a trace, its call tree per
thread, and the text views of the command line (the list of traces, a trace
as an indented call tree).

Everything here only reads. Records come from a recording that may have
stopped anywhere, so the tree builder accepts calls that never return, returns
whose call was not recorded and records with missing fields; the text views
escape what they print and bound every value, so that a recorded string can
neither flood the terminal nor drive it with escape sequences.
"""

import dataclasses
import datetime
import math
import os
import shlex
import shutil
import sqlite3

from vesk import db
from vesk.serialize import load_msgpack

__all__ = [
    "ViewError",
    "ThreadRecords",
    "Trace",
    "Node",
    "load_trace",
    "trace_from_parts",
    "build_tree",
    "format_value",
    "format_traces",
    "format_trace",
]


class ViewError(Exception):
    """A problem the command line reports as it is: a one-line message."""


# --------------------------------------------------------------------------
# The merged trace


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


_HUGE = 1e300


def _is_number(value):
    return type(value) in (int, float) and math.isfinite(value)


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
        started=started if _is_number(started) else None,
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
        if _is_number(ts):
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


# --------------------------------------------------------------------------
# Call trees


class Node:
    """A call (call record and return record, either may be missing) or a
    plugin record, with the calls made inside it as children."""

    __slots__ = ("call", "ret", "children", "start", "_size")

    def __init__(self, call, ret, start):
        self.call = call
        self.ret = ret
        self.children = []
        # The call's timestamp; for a call that was not recorded, the earliest
        # time it is known to have been running.
        self.start = start
        self._size = None

    @property
    def record(self):
        return self.call if self.call is not None else self.ret

    @property
    def is_event(self):
        """A plugin record rather than a call."""
        return self.record.get("type", "frame") != "frame"

    @property
    def name(self):
        record = self.record
        if self.is_event:
            return str(record.get("type"))
        for key in ("qualname", "co_name"):
            value = record.get(key)
            if isinstance(value, str) and value:
                return value
        return "?"

    @property
    def path(self):
        """file:line of the call (of the return when the call is missing)."""
        path = self.record.get("path")
        return path if isinstance(path, str) else None

    @property
    def call_site_line(self):
        site = self.record.get("user_code_call_site")
        if isinstance(site, dict):
            line = site.get("line_number")
            return line if type(line) is int else None
        return None

    @property
    def arguments(self):
        """The call's locals, which at a call are its arguments; None when the
        call was not recorded."""
        if self.call is None:
            return None
        local = self.call.get("locals")
        return local if isinstance(local, dict) else {}

    @property
    def return_value(self):
        return None if self.ret is None else self.ret.get("arg")

    @property
    def finished(self):
        return self.ret is not None

    @property
    def end(self):
        if self.ret is None:
            return None
        ts = self.ret.get("timestamp")
        return ts if _is_number(ts) else self.start

    @property
    def duration(self):
        """Seconds from call to return; None unless both were recorded."""
        if self.call is None or self.ret is None:
            return None
        return self.end - self.start

    @property
    def size(self):
        """Nodes in this subtree, itself included."""
        if self._size is None:
            _compute_sizes(self)
        return self._size


def _compute_sizes(top):
    # Iterative: recorded recursion can be deeper than Python's own limit.
    order, pending = [], [top]
    while pending:
        node = pending.pop()
        order.append(node)
        pending.extend(n for n in node.children if n._size is None)
    for node in reversed(order):
        node._size = 1 + sum(child._size for child in node.children)


def build_tree(records):
    """The call tree of one thread's records: a list of top-level Nodes.

    Calls nest by their call/return pairs. A return that matches an outer open
    call closes the calls above it as unfinished. A return whose call was not
    recorded at top level belongs to a frame that was already running when
    recording began, so it takes everything recorded before it as children.
    """
    roots, stack, open_ids = [], [], {}
    last_ts = first_ts = None
    for record in records:
        if type(record) is not dict:
            continue
        ts = record.get("timestamp")
        # Inlined _is_number: this loop runs once per record.
        if (ts.__class__ is float or ts.__class__ is int) and -_HUGE < ts < _HUGE:
            last_ts = ts
            if first_ts is None:
                first_ts = ts
        elif last_ts is not None:
            ts = last_ts
        else:
            ts = 0.0
        siblings = stack[-1].children if stack else roots

        if record.get("type", "frame") != "frame":
            siblings.append(Node(record, None, ts))
            continue
        event = record.get("event")
        frame_id = record.get("frame_id")
        if frame_id.__class__ is not str:
            frame_id = None  # only ids can pair a call with its return
        if event == "call":
            node = Node(record, None, ts)
            siblings.append(node)
            stack.append(node)
            if frame_id is not None:
                open_ids[frame_id] = node
        elif event == "return":
            node = open_ids.get(frame_id) if frame_id is not None else None
            if node is not None:
                while True:
                    top = stack.pop()
                    top_id = top.call.get("frame_id")
                    if top_id.__class__ is str and open_ids.get(top_id) is top:
                        del open_ids[top_id]
                    if top is node:
                        break
                node.ret = record
            elif stack:
                # Inside a recorded call: nothing tells what it enclosed.
                previous = siblings[-1] if siblings else stack[-1]
                start = previous.end if siblings and previous.end is not None else previous.start
                siblings.append(Node(None, record, min(start, ts)))
            else:
                orphan = Node(None, record, first_ts if first_ts is not None else ts)
                orphan.children = roots[:]
                roots[:] = [orphan]
    return roots


# --------------------------------------------------------------------------
# Values as bounded text

_CONTROL = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}
_CONTROL.update({0x2028: "\\u2028", 0x2029: "\\u2029"})


def _clean(text):
    """text with control characters escaped: one line, no terminal escapes."""
    return text.translate(_CONTROL)


class _Full(Exception):
    pass


_MAX_NESTING = 12


def format_value(value, limit=60):
    """A repr-like text of a decoded value, at most limit characters; cut
    text ends with "…". Fallback maps show as their type and repr, cut maps
    (bounded recordings of big values) with their full length."""
    limit = max(limit, 4)
    out = []
    room = [limit + 1]

    def emit(text):
        out.append(text)
        room[0] -= len(text)
        if room[0] < 0:
            raise _Full

    try:
        _emit_value(value, emit, room, 0)
    except _Full:
        pass
    text = "".join(out)
    if len(text) > limit:
        text = text[: limit - 1] + "…"
    return text


def _emit_value(value, emit, room, nesting):
    t = type(value)
    if value is None or t is bool or t is int or t is float:
        emit(repr(value))
    elif t is str or t is bytes:
        # Cut before repr: a recorded string may be megabytes long.
        emit(repr(value if len(value) <= room[0] else value[: room[0] + 1]))
    elif t is dict:
        if _is_fallback(value):
            emit(_fallback_text(value))
        elif _is_cut(value):
            _emit_cut(value, emit, room, nesting)
        else:
            _emit_items("{", "}", value.items(), emit, room, nesting)
    elif t is list:
        _emit_items("[", "]", value, emit, room, nesting)
    elif t is tuple:  # a map key that was an array or a map
        _emit_items("(", ")", value, emit, room, nesting)
    else:
        emit(_clean(repr(value)))


def _emit_items(opening, closing, items, emit, room, nesting, more=0):
    if nesting >= _MAX_NESTING:
        emit(opening + "…" + closing)
        return
    emit(opening)
    for index, item in enumerate(items):
        if index:
            emit(", ")
        if opening == "{":
            key, item = item
            _emit_value(key, emit, room, nesting + 1)
            emit(": ")
        _emit_value(item, emit, room, nesting + 1)
    if more > 0:
        emit(f", … {more} more" if items else f"… {more} more")
    emit(closing)


def _is_fallback(value):
    return len(value) == 2 and isinstance(value.get("__type__"), str) and isinstance(value.get("__repr__"), str)


def _is_cut(value):
    return (len(value) == 3 and isinstance(value.get("__type__"), str) and type(value.get("__len__")) is int
            and "__head__" in value)


def _fallback_text(value):
    type_name, text = value["__type__"], _clean(value["__repr__"])
    short = type_name.rsplit(".", 1)[-1]
    # The default repr spends a line's width on the module path.
    for shown in (type_name, short):
        prefix = f"<{shown} object at 0x"
        if text.startswith(prefix) and text.endswith(">"):
            return f"<{short} at {text[len(prefix) - 2 : -1]}>"
    # Most reprs already name their type; don't say it twice.
    if text.startswith("<") or text.startswith(short) or type_name == "builtins.int":
        return text
    return f"<{_clean(type_name)} {text}>"


_BRACKETS = {"builtins.tuple": ("(", ")"), "builtins.set": ("{", "}"), "builtins.frozenset": ("{", "}")}


def _emit_cut(value, emit, room, nesting):
    head, length = value["__head__"], value["__len__"]
    if isinstance(head, (str, bytes)):
        text = repr(head if len(head) <= room[0] else head[: room[0] + 1])
        unit = "chars" if isinstance(head, str) else "bytes"
        emit(f"{text[:-1]}…{text[-1]} ({length} {unit})")
    elif isinstance(head, dict):
        _emit_items("{", "}", head.items(), emit, room, nesting, length - len(head))
    elif isinstance(head, list):
        opening, closing = _BRACKETS.get(value["__type__"], ("[", "]"))
        _emit_items(opening, closing, head, emit, room, nesting, length - len(head))
    else:
        emit(f"<{_clean(value['__type__'])} of length {length}>")


# --------------------------------------------------------------------------
# Text views


def _local_time(ts):
    if not _is_number(ts):
        return "?"
    try:
        return datetime.datetime.fromtimestamp(ts).strftime("%Y-%m-%d %H:%M:%S")
    except (OverflowError, OSError, ValueError):
        return "?"


def _human_size(size):
    size = float(size or 0)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024


def format_traces(summaries, out):
    """A table of db.TraceSummary rows (as list_traces gives them, newest
    first). The source goes last: it is the one column of unbounded width."""
    if not summaries:
        out.write("no traces\n")
        return
    header = ("TRACE", "STARTED", "RECORDS", "SIZE", "PARTS", "SOURCE")
    rows = [
        (
            _clean(s.trace_id),
            _local_time(s.created_at),
            "?" if s.record_count is None else str(s.record_count),
            _human_size(s.size),
            str(s.parts),
            "-" if s.source is None else _clean(s.source),
        )
        for s in summaries
    ]
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header) - 1)]
    numeric = (False, False, True, True, True)
    for row in (header, *rows):
        cells = [cell.rjust(w) if right else cell.ljust(w) for cell, w, right in zip(row, widths, numeric)]
        out.write("  ".join([*cells, row[-1]]).rstrip() + "\n")


_RESET = "\x1b[0m"
_STYLES = {
    "name": "\x1b[1m",
    "return": "\x1b[32m",
    "duration": "\x1b[33m",
    "location": "\x1b[2m",
    "guide": "\x1b[2m",
    "event": "\x1b[35m",
    "problem": "\x1b[31m",
    "heading": "\x1b[1;36m",
    "key": "\x1b[1m",
}

_FANCY = {"tee": "├─ ", "last": "└─ ", "bar": "│  ", "space": "   ", "more": "…", "event": "▶ ",
          "micro": "µs"}
_PLAIN = {"tee": "|- ", "last": "`- ", "bar": "|  ", "space": "   ", "more": "...", "event": "> ", "micro": "us"}

_VALUE_LIMIT = 60  # one argument or return value
_MIN_ROOM = 24  # for arguments and return value together, however deep the line


def _format_duration(seconds, micro):
    # Three significant digits; units chosen after rounding, so that
    # 999.96 µs reads "1.00 ms" rather than "1000 µs".
    us = max(seconds, 0.0) * 1e6
    if round(us, 1) < 10:
        return f"{us:.1f} {micro}"
    if round(us) < 1000:
        return f"{us:.0f} {micro}"
    ms = us / 1e3
    for digits, below in ((2, 10), (1, 100), (0, 1000)):
        if round(ms, digits) < below:
            return f"{ms:.{digits}f} ms"
    s = ms / 1e3
    return f"{s:.2f} s" if round(s, 2) < 60 else f"{s:.0f} s"


def _cut(text, limit, more):
    return text if len(text) <= limit else text[: max(limit - len(more), 0)] + more


class _Printer:
    def __init__(self, out, color, width, glyphs, base):
        self.out = out
        self.color = color
        self.width = width
        self.g = glyphs
        self.base = base  # common directory of the absolute paths, left out

    def paint(self, style, text):
        if not self.color or not text:
            return text
        return _STYLES[style] + text + _RESET

    def location(self, node):
        path = node.path
        if path is None:
            return "?"
        if self.base and path.startswith(self.base):
            path = path[len(self.base) :]
        text = _clean(path)
        if node.call_site_line is not None:
            text += f" (from line {node.call_site_line})"
        return text

    def line(self, node, guides, hidden):
        """One node as one line: guides and name, then what fits of the
        arguments and return value, then duration and location."""
        g = self.g
        if node.is_event:
            record = node.record
            label = g["event"] + _clean(node.name)
            subtype = record.get("subtype")
            if isinstance(subtype, str):
                label += f"/{_clean(subtype)}"
            details = _event_details(record)
            room = max(self.width - len(guides) - len(label) - 1, _MIN_ROOM)
            text = self.paint("event", label) + (" " + _cut(details, room, g["more"]) if details else "")
            return self.paint("guide", guides) + text

        name = _clean(node.name)
        if node.call is None:
            args_text = "?"
        elif node.record.get("co_name") == "<module>":
            args_text = ""  # a module's locals are its globals, not arguments
        else:
            args_text = ", ".join(
                f"{_clean(str(k))}={format_value(v, _VALUE_LIMIT)}" for k, v in _bounded_items(node.arguments)
            )
        ret_text = format_value(node.return_value, _VALUE_LIMIT) if node.finished else None

        if node.duration is not None:
            tail = [("duration", f"[{_format_duration(node.duration, g['micro'])}]")]
        elif node.call is None:
            tail = [("problem", "[call not recorded]")]
        else:
            tail = [("problem", "[no return recorded]")]
        if hidden:
            tail.append(("guide", f"[+{hidden} nested]"))
        tail.append(("location", self.location(node)))
        tail_len = sum(len(text) + 2 for _, text in tail)

        fixed = len(guides) + len(name) + 2 + (4 if ret_text is not None else 0) + tail_len
        room = max(self.width - fixed, _MIN_ROOM)
        ret_len = len(ret_text) if ret_text is not None else 0
        if len(args_text) + ret_len > room:
            # The return value keeps up to a third; arguments get the rest.
            ret_room = min(ret_len, max(room // 3, 8))
            args_room = room - ret_room
            if len(args_text) < args_room:
                ret_room = room - len(args_text)
            args_text = _cut(args_text, max(args_room, 1), g["more"])
            if ret_text is not None:
                ret_text = _cut(ret_text, max(ret_room, 1), g["more"])

        text = self.paint("guide", guides) + self.paint("name", name) + f"({args_text})"
        if ret_text is not None:
            text += " " + self.paint("return", "-> " + ret_text)
        for style, part in tail:
            text += "  " + self.paint(style, part)
        return text


def _bounded_items(arguments):
    # Enough to fill a line; the rest is cut anyway.
    for index, item in enumerate(arguments.items()):
        if index >= 64:
            return
        yield item


def _event_details(record):
    skip = {"frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype"}
    parts = []
    for key, value in record.items():
        if key in skip:
            continue
        if key in ("nodeid", "name") and isinstance(value, str):
            parts.append(_clean(value))
        else:
            parts.append(f"{_clean(str(key))}={format_value(value, _VALUE_LIMIT)}")
    return " ".join(parts)


def _common_base(trace):
    """The deepest directory holding every absolute path of the trace (with
    a trailing slash), or "" when paths are relative or share only the root."""
    dirs = set()
    for thread in trace.threads:
        for record in thread.records:
            path = record.get("path") if isinstance(record, dict) else None
            if isinstance(path, str):
                if not path.startswith("/"):
                    return ""
                dirs.add(path.rsplit(":", 1)[0].rsplit("/", 1)[0])
    if not dirs:
        return ""
    base = os.path.commonpath(list(dirs))
    return base + "/" if base != "/" else ""


def _glyphs_for(out):
    encoding = getattr(out, "encoding", None) or "utf-8"
    try:
        "".join(_FANCY.values()).encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return _PLAIN
    return _FANCY


def format_trace(trace, out, depth=None, limit=None, color=False, width=None):
    """Write trace as text to out: a header, then per thread its call tree,
    one line per call or plugin record. depth keeps that many levels of
    calls; limit stops after that many lines and counts what was left out.
    color adds ANSI styles. width (default: the terminal's) bounds lines, as
    far as the indentation leaves room."""
    if width is None:
        width = shutil.get_terminal_size((120, 24)).columns
    width = max(width, 40)
    glyphs = _glyphs_for(out)
    base = _common_base(trace)
    printer = _Printer(out, color, width, glyphs, base)
    paint = printer.paint

    def field(key, value):
        out.write(paint("key", f"{key:<9}") + _cut(value, max(width - 9, 20), glyphs["more"]) + "\n")

    field("trace", _clean(str(trace.trace_id)))
    field("source", _clean(trace.source or "-"))
    field("command", _clean(shlex.join(trace.command_line_args)) if trace.command_line_args else "-")
    field("commit", _clean(str(trace.commit)) if trace.commit else "-")
    field("started", _local_time(trace.started))
    parts = f"{trace.parts} part" + ("" if trace.parts == 1 else "s")
    field("records", f"{trace.record_count} in {parts}")
    names = ", ".join(_clean(t.name) for t in trace.threads)
    field("threads", f"{len(trace.threads)}" + (f": {names}" if names else ""))
    if base:
        field("paths", f"relative to {_clean(base)}")
    for warning in trace.warnings:
        out.write(paint("problem", f"warning: {_clean(warning)}") + "\n")
    if not trace.threads:
        out.write("\n(no records)\n")
        return

    shown = 0
    for index, thread in enumerate(trace.threads):
        if limit is not None and shown >= limit:
            left_calls = left_events = 0
            for rest in trace.threads[index:]:
                calls, events = _count_visible(rest.roots, depth)
                left_calls += calls
                left_events += events
            _write_more(out, glyphs, left_calls, left_events)
            return
        what = ["main thread"] if thread.is_main else []
        if thread.native_id is not None:
            what.append(f"native id {thread.native_id}")
        what.append(f"{len(thread.records)} records")
        out.write("\n" + paint("heading", f"{_clean(thread.name)} ({', '.join(what)})") + "\n")
        shown, left = _write_tree(printer, thread.roots, depth, limit, shown)
        if left is not None:
            for rest in trace.threads[index + 1 :]:
                calls, events = _count_visible(rest.roots, depth)
                left = (left[0] + calls, left[1] + events)
            _write_more(out, glyphs, *left)
            return


def _write_more(out, glyphs, calls, events):
    if calls or events:
        text = f"{glyphs['more']} {calls} more call" + ("" if calls == 1 else "s")
        if events:
            text += f", {events} more event" + ("" if events == 1 else "s")
        out.write(text + "\n")


def _write_tree(printer, roots, depth, limit, shown):
    """Writes the nodes of one thread depth first. Returns the lines shown so
    far and, when limit was reached, (calls, events) not shown."""
    g = printer.g
    # Each entry: the remaining siblings (reversed, to pop), their level and
    # the guides of their parent.
    pending = [(list(reversed(roots)), 0, "")]
    while pending:
        siblings, level, guides = pending[-1]
        if not siblings:
            pending.pop()
            continue
        node = siblings.pop()
        if limit is not None and shown >= limit:
            siblings.append(node)
            calls = events = 0
            for rest, rest_level, _ in pending:
                c, e = _count_visible(rest, depth, rest_level)
                calls += c
                events += e
            return shown, (calls, events)
        is_last = not siblings
        if level == 0:
            own, child_guides = "", ""
        else:
            own = guides + (g["last"] if is_last else g["tee"])
            child_guides = guides + (g["space"] if is_last else g["bar"])
        show_children = depth is None or level + 1 < depth
        hidden = 0 if show_children or not node.children else node.size - 1
        printer.out.write(printer.line(node, own, hidden) + "\n")
        shown += 1
        if node.children and show_children:
            pending.append((list(reversed(node.children)), level + 1, child_guides))
    return shown, None


def _count_visible(nodes, depth, level=0):
    """(calls, events) among nodes and their descendants within depth."""
    calls = events = 0
    pending = [(node, level) for node in nodes]
    while pending:
        node, lvl = pending.pop()
        if node.is_event:
            events += 1
        else:
            calls += 1
        if depth is None or lvl + 1 < depth:
            pending.extend((child, lvl + 1) for child in node.children)
    return calls, events
