"""The text views of the command line: the list of traces, and a trace as indented call trees
per thread."""

import datetime
import os
import shlex
import shutil

from vesk import _vesk
from vesk.view.outline import Outline, SkimmedOutline
from vesk.view.events import event_line
from vesk.view.trace import skim_trace, unpack
from vesk.view.tree import is_number
from vesk.view.values import clean, format_exception, format_value

__all__ = ["format_traces", "format_trace", "format_stored_trace", "write_views"]


def _local_time(ts):
    """Local time with its offset from UTC, so that it cannot be mistaken for either."""
    if not is_number(ts):
        return "?"
    try:
        return datetime.datetime.fromtimestamp(ts).astimezone().isoformat(" ", "seconds")
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
    first). A test's trace shows its outcome and node id. The last column
    is the one of unbounded width."""
    if not summaries:
        out.write("no traces\n")
        return
    from vesk.view.lineage import in_family_order

    tests = any(s.test_nodeid for s in summaries)
    # A child process's trace goes under its parent's, indented, with the process id.
    family = any(s.parent_trace_id for s in summaries)
    header = ("TRACE", "STARTED", "RECORDS", "SIZE", "PARTS", *(("PID",) if family else ()),
              *(("OUTCOME",) if tests else ()), "SOURCE / TEST" if tests else "SOURCE")
    rows = []
    for depth, s in in_family_order(summaries):
        row = [" " * (2 * depth) + clean(s.trace_id), _local_time(s.started),
               "?" if s.record_count is None else str(s.record_count), _human_size(s.size),
               str(s.parts)]
        if family:
            row.append("-" if s.pid is None else str(s.pid))
        if tests:
            row.append(clean(s.test_outcome) if s.test_outcome else "-")
        if s.test_nodeid:
            row.append(f"{clean(s.source or 'pytest')} {clean(s.test_nodeid)}")
        else:
            row.append("-" if s.source is None else clean(s.source))
        rows.append(row)
    widths = [max(len(row[i]) for row in (header, *rows)) for i in range(len(header) - 1)]
    numeric = (False, False, True, True, True, family, False)
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
          "micro": "µs", "out": "→"}
_PLAIN = {"tee": "|- ", "last": "`- ", "bar": "|  ", "space": "   ", "more": "...", "event": "> ", "micro": "us",
          "out": "->"}

_VALUE_LIMIT = 60  # one argument or return value
_MIN_ROOM = 24  # for arguments and return value together, however deep the line
_TAIL_LIMIT = 40  # a framework event's place or duration


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
        text = clean(path)
        if node.call_site_line is not None:
            text += f" (from line {node.call_site_line})"
        return text

    def line(self, node, guides, hidden):
        """One node as one line: guides and name, then what fits of the
        arguments and return value, then duration and location."""
        g = self.g
        if node.is_event and node.record.get("type") == "exception":
            # An exception the frame around it caught, where it reached that frame.
            room = max(self.width - len(guides) - 12, _MIN_ROOM)
            return self.paint("guide", guides) + self.paint(
                "problem", f"!! {format_exception(node.record, room)} (caught)")
        if node.is_event and (known := event_line(node.record, g)) is not None:
            return self.paint("guide", guides) + self._framework_event(guides, *known)
        if node.is_event:
            record = node.record
            label = g["event"] + clean(node.name)
            subtype = record.get("subtype")
            if isinstance(subtype, str):
                label += f"/{clean(subtype)}"
            details = _event_details(record)
            room = max(self.width - len(guides) - len(label) - 1, _MIN_ROOM)
            text = self.paint("event", label) + (" " + _cut(details, room, g["more"]) if details else "")
            return self.paint("guide", guides) + text

        name = clean(node.name)
        if node.call is None:
            args_text = "?"
        elif node.record.get("co_name") == "<module>":
            args_text = ""  # a module's locals are its globals, not arguments
        else:
            args_text = ", ".join(
                f"{clean(str(k))}={format_value(v, _VALUE_LIMIT)}" for k, v in _bounded_items(node.arguments)
            )
        ret_text = format_value(node.return_value, _VALUE_LIMIT) if node.finished else None
        arrow, ret_style = "-> ", "return"
        generator, exception = node.generator, node.exception
        resumed = " (resumed)" if generator is not None and generator.get("resumed") is True else ""
        if ret_text is not None and exception is not None:
            ret_text, arrow, ret_style = format_exception(exception, _VALUE_LIMIT), "!! ", "problem"
        elif ret_text is not None and generator is not None and generator.get("yielded") is True:
            arrow = "yield "

        if node.duration is not None:
            tail = [("duration", f"[{_format_duration(node.duration, g['micro'])}]")]
        elif node.call is None:
            tail = [("problem", "[call not recorded]")]
        else:
            tail = [("problem", "[no return recorded]")]
        if hidden:
            tail.append(("guide", f"[+{hidden} nested]"))
        tail.append(("location", self.location(node)))
        note = getattr(node, "note", None)  # what a view adds of its own, such as a frame id
        if note:
            tail.append(("guide", clean(note)))
        tail_len = sum(len(text) + 2 for _, text in tail)

        fixed = len(guides) + len(name) + 2 + len(resumed) + (len(arrow) + 1 if ret_text is not None else 0) + tail_len
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

        text = self.paint("guide", guides) + self.paint("name", name) + f"({args_text}){resumed}"
        if ret_text is not None:
            text += " " + self.paint(ret_style, arrow + ret_text)
        for style, part in tail:
            text += "  " + self.paint(style, part)
        return text


    def _framework_event(self, guides, text, tail):
        if self.base and tail.startswith(self.base):
            tail = tail[len(self.base):]
        if len(tail) > _TAIL_LIMIT:  # a place deep in a library: its last folders tell most
            end = tail[len(self.g["more"]) - _TAIL_LIMIT:]
            cut = end.find("/")
            tail = self.g["more"] + (end[cut:] if 0 <= cut < len(end) - 1 else end)
        room = max(self.width - len(guides) - len(tail) - 1, _MIN_ROOM)
        line = self.paint("event", _cut(text, room, self.g["more"]))
        return line + ("  " + self.paint("duration", tail) if tail else "")


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
            parts.append(clean(value))
        else:
            parts.append(f"{clean(str(key))}={format_value(value, _VALUE_LIMIT)}")
    return " ".join(parts)


def _common_base(paths):
    """The deepest directory holding every absolute path of the trace (with
    a trailing slash), or "" when paths are relative or share only the root."""
    dirs = set()
    for path in paths:
        if not path.startswith("/"):
            return ""
        dirs.add(path.rsplit(":", 1)[0].rsplit("/", 1)[0] or "/")
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
    calls; limit stops each thread after that many lines and counts what was
    left out.
    color adds ANSI styles. width (default: the terminal's) bounds lines, as
    far as the indentation leaves room."""
    outlines = []
    for thread in trace.threads:
        outline = Outline(depth, limit)
        for record in thread.records:
            outline.feed(record)
        outline.finish()
        outlines.append(outline)
    _write_trace(trace, outlines, out, color, width)


def format_stored_trace(stored, out, depth=None, limit=None, color=False, width=None):
    """format_trace for a trace of the database (a StoredTrace), read in one pass over its parts
    that keeps only what is shown: natively, decoding only the records shown."""
    trace = skim_trace(stored, lambda: _vesk.Skim(unpack, depth=depth, limit=limit), SkimmedOutline)
    _write_trace(trace, [thread.walker for thread in trace.threads], out, color, width)


def write_views(trace, views, out, color=False, width=None):
    """Writes trace with a view of each of its threads, in the order of trace.threads: anything
    with paths, lines() and left_out(lines) as an Outline has them."""
    _write_trace(trace, views, out, color, width)


def _write_trace(trace, outlines, out, color, width):
    if width is None:
        width = shutil.get_terminal_size((120, 24)).columns
    width = max(width, 40)
    glyphs = _glyphs_for(out)
    base = _common_base(set().union(*(outline.paths for outline in outlines)))
    printer = _Printer(out, color, width, glyphs, base)
    paint = printer.paint

    def field(key, value):
        out.write(paint("key", f"{key:<9}") + _cut(value, max(width - 9, 20), glyphs["more"]) + "\n")

    field("trace", clean(str(trace.trace_id)))
    field("source", clean(trace.source or "-"))
    field("command", clean(shlex.join(trace.command_line_args)) if trace.command_line_args else "-")
    field("commit", clean(str(trace.commit)) if trace.commit else "-")
    field("started", _local_time(trace.started))
    parts = f"{trace.parts} part" + ("" if trace.parts == 1 else "s")
    field("records", f"{trace.record_count} in {parts}")
    names = ", ".join(clean(t.name) for t in trace.threads)
    field("threads", f"{len(trace.threads)}" + (f": {names}" if names else ""))
    if base:
        field("paths", f"relative to {clean(base)}")
    for warning in trace.warnings:
        out.write(paint("problem", f"warning: {clean(warning)}") + "\n")
    if not trace.threads:
        out.write("\n(no records)\n")
        return

    for thread, outline in zip(trace.threads, outlines):
        what = ["main thread"] if thread.is_main else []
        if thread.native_id is not None:
            what.append(f"native id {thread.native_id}")
        what.append(f"{thread.record_count} records")
        out.write("\n" + paint("heading", f"{clean(thread.name)} ({', '.join(what)})") + "\n")
        # The limit is per thread, so that every thread is seen.
        lines = outline.lines()
        _write_lines(printer, lines)
        left = outline.left_out(lines)
        if left is not None:
            _write_more(out, glyphs, *left)


def _write_more(out, glyphs, calls, events):
    if calls or events:
        text = f"{glyphs['more']} {calls} more call" + ("" if calls == 1 else "s")
        if events:
            text += f", {events} more event" + ("" if events == 1 else "s")
        out.write(text + "\n")


def _write_lines(printer, lines):
    g = printer.g
    guides = []  # per level, the guides of the latest node's children
    for node, level, is_last, hidden in lines:
        if level == 0:
            own = below = ""
        else:
            above = guides[level - 1]
            own = above + (g["last"] if is_last else g["tee"])
            below = above + (g["space"] if is_last else g["bar"])
        del guides[level:]
        guides.append(below)
        printer.out.write(printer.line(node, own, hidden) + "\n")
