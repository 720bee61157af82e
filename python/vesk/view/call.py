"""`vesk show --call FRAME_ID`: one call in full. Its arguments, its locals at the return, its
return value and any exception recorded for it, all unabridged; the calls it was made in, with
the line it was called from; when, how long, and how many calls it made.

One pass finds it, keeping the call, what it returned and the records of the calls open around
it when it started.
"""

import shutil
import sys

from vesk.utils import CommandError
from vesk.view.choose import chosen, chosen_trace, function_name, only_threads
from vesk.view.terminal import _format_duration, _glyphs_for, _local_time
from vesk.view.trace import open_trace, read_trace
from vesk.view.tree import Open, TreeWalker, is_number
from vesk.view.values import clean, format_exception, format_value, is_object, object_parts

__all__ = ["Found", "CallFinder", "show_call", "write_call"]

_UNBOUNDED = 1 << 62
_OTHERS_KEPT = 3  # other frame ids that match, to say which


class Found:
    """What is known of the call: its records (call or ret may be missing), the records of the
    calls around it (outermost first), the exception records for it, and the calls it made."""

    def __init__(self, frame_id, thread, call, ret, callers):
        self.frame_id = frame_id
        self.thread = thread
        self.call = call
        self.ret = ret
        self.callers = callers
        self.exceptions = []
        self.inside = 0  # calls made inside it, at any depth
        self.direct = 0  # calls it made itself

    @property
    def duration(self):
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get("timestamp"), self.ret.get("timestamp")
        return end - start if is_number(start) and is_number(end) else None


class _Step(Open):
    __slots__ = ("record", "found", "begin")

    def __init__(self, start, record, found, begin):
        self.frame_id = self.end = self.last = None
        self.start = start
        self.record = record
        self.found = found  # the Found, for the call wanted
        self.begin = begin  # calls before it


class CallFinder(TreeWalker):
    """Finds, in one thread, the call whose frame id is wanted or contains it."""

    def __init__(self, wanted):
        TreeWalker.__init__(self)
        self.wanted = wanted
        self.found = None
        self.others = []  # other frame ids that contain wanted
        self.count = 0  # calls so far

    def _is_wanted(self, record):
        frame_id = record.get("frame_id")
        if frame_id.__class__ is not str or self.wanted not in frame_id:
            return None
        if self.found is None or self.found.frame_id == frame_id:
            return frame_id
        if frame_id not in self.others and len(self.others) < _OTHERS_KEPT:
            self.others.append(frame_id)
        return None

    def called(self, record, start, depth):
        self.count += 1
        stack = self.stack
        if stack and stack[-1].found is not None:
            stack[-1].found.direct += 1
        frame_id = self._is_wanted(record)
        found = None
        if frame_id is not None and self.found is None:
            callers = [step.record for step in stack]
            found = self.found = Found(frame_id, record.get("thread"), record, None, callers)
        return _Step(start, record, found, self.count)

    def returned(self, call, record):
        if call.found is not None:
            call.found.ret = record
        self.left(call)

    def left(self, call):
        if call.found is not None:
            call.found.inside = self.count - call.begin

    def event(self, record, start, depth):
        if record.get("type") == "exception" and self.found is not None:
            if record.get("frame_id") == self.found.frame_id:
                self.found.exceptions.append(record)

    def fact(self, call, record):
        # An exception that left the call is a fact of it, not an event inside it.
        if call.found is not None and record.get("type") == "exception":
            call.found.exceptions.append(record)

    def leaf(self, record, start, depth):
        self.count += 1
        self._return_alone(record)

    def wrapped(self, record, start):
        self._return_alone(record)

    def _return_alone(self, record):
        """A return whose call was not recorded may be the one wanted."""
        frame_id = self._is_wanted(record)
        if frame_id is not None and self.found is None:
            self.found = Found(frame_id, record.get("thread"), None, record, [])


def show_call(options):
    wanted = options.call.strip()
    if not wanted:
        raise CommandError("--call: give a frame id", status=2)
    if options.function is not None:
        raise CommandError("give --call or --function, not both", status=2)
    stored = open_trace(options.db, chosen_trace(options))
    trace = chosen(read_trace(stored, lambda: only_threads(options.thread, lambda: CallFinder(wanted))))
    finders = [thread.walker for thread in trace.threads]
    found = [finder.found for finder in finders if finder.found is not None]
    ids = list(dict.fromkeys([f.frame_id for f in found] + [i for finder in finders for i in finder.others]))
    if not ids:
        raise CommandError(f"no call {wanted} in trace {trace.trace_id}")
    if len(ids) > 1:
        shown = ", ".join(ids[:3]) + (", ..." if len(ids) > 3 else "")
        raise CommandError(f"frame id {wanted} is ambiguous in trace {trace.trace_id}: {shown}")
    write_call(trace, found[0], sys.stdout, shutil.get_terminal_size((100, 24)).columns)
    return 0


def _file(record):
    path = record.get("path")
    return path.rpartition(":")[0] or path if isinstance(path, str) else "?"


def write_call(trace, found, out, width=100):
    """Writes what is known of the call found (a Found) of trace."""
    micro = _glyphs_for(out)["micro"]
    record = found.call if found.call is not None else found.ret

    def field(key, value):
        out.write(f"{key:<10}{value}\n")

    field("call", clean(function_name(record)))
    field("frame", clean(found.frame_id))
    field("trace", clean(str(trace.trace_id)))
    field("thread", clean(str(found.thread)))
    field("where", clean(str(record.get("path"))))
    if found.call is not None:
        field("started", _local_time(found.call.get("timestamp")))
    duration = found.duration
    if duration is not None:
        field("took", _format_duration(duration, micro))
    else:
        field("took", "?  (" + ("call not recorded" if found.call is None else "no return recorded") + ")")
    field("made", f"{found.direct} call{'' if found.direct == 1 else 's'} directly, {found.inside} in all")
    site = record.get("user_code_call_site")
    line = site.get("line_number") if isinstance(site, dict) else None
    if found.callers:
        caller = found.callers[-1]
        at = f"{_file(caller)}:{line}" if type(line) is int else "?"
        field("called", f"from {clean(function_name(caller))} at {clean(at)}")
    elif type(line) is int:
        field("called", f"from line {line}")

    if found.callers:
        out.write("\ncalled in, outermost first\n")
        for caller in found.callers:
            out.write(f"  {clean(function_name(caller))}  {clean(str(caller.get('path')))}  {clean(str(caller.get('frame_id')))}\n")
    if found.call is not None:
        _section(out, "arguments", found.call.get("locals"), width)
    if found.ret is not None:
        _section(out, "locals at the return", found.ret.get("locals"), width)
        raised = next((e for e in found.exceptions if e.get("caught") is not True), None)
        if raised is None:
            out.write("\nreturn value\n")
            _value_lines(out, "  ", found.ret.get("arg"), width)
        else:  # the return record's value is the hook's None, not what the call gave
            out.write(f"\nraised\n  {format_exception(raised, _UNBOUNDED)}\n")
    for exception in found.exceptions:
        fields = {k: v for k, v in exception.items()
                  if k not in ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type")}
        _section(out, "exception", fields, width)


def _section(out, title, names, width):
    out.write(f"\n{title}\n")
    if not isinstance(names, dict):
        out.write("  ?\n")
        return
    if not names:
        out.write("  (none)\n")
    for name, value in names.items():
        _value_lines(out, f"  {clean(str(name))} = ", value, width)


def _value_lines(out, head, value, width):
    """value whole: on one line when it fits in width, else a container an item a line."""
    lines = _lines(value, width - len(head))
    out.write(head + lines[0] + "\n")
    for line in lines[1:]:
        out.write("  " + line + "\n")


def _layout(value):
    """What a value that does not fit on one line is laid out as, an entry a line: its opening,
    its entries as (head, value), its closing and what follows its entries; None for a value
    shown whole however long (a text, a text map, a cut map, a redaction marker)."""
    if is_object(value):
        name, parts, more = object_parts(value)
        if len(value) == 1 or not parts:
            return None
        heads = ["" if key is None else (clean(key) if type(key) is str else _whole(key)) + "=" for key, _ in parts]
        tail = "…" if more is None else f"… {more} more" if more > 0 else None
        return name + "(", [(head, item) for head, (_, item) in zip(heads, parts)], ")", tail
    if isinstance(value, list) and value:
        return "[", [("", item) for item in value], "]", None
    if isinstance(value, dict) and value and set(value) not in (
            {"__type__", "__repr__"}, {"__type__", "__len__", "__head__"}, {"__type__", "__len__", "__redacted__"},
            {"__type__", "__same__"}):
        return "{", [(_whole(key) + ": ", item) for key, item in value.items()], "}", None
    return None


def _whole(value):
    return format_value(value, _UNBOUNDED, _UNBOUNDED)


def _lines(value, room):
    room = max(room, 20)
    text = format_value(value, room + 1, _UNBOUNDED)  # no longer than room unless cut
    if len(text) <= room:
        return [text]
    layout = _layout(value)
    if layout is None:
        return [_whole(value)]
    opening, entries, closing, tail = layout
    lines = [opening]
    for head, item in entries:
        inner = _lines(item, room - 2 - len(head))
        lines.append("  " + head + inner[0])
        lines.extend("  " + line for line in inner[1:])
        lines[-1] += ","
    if tail is not None:
        lines.append("  " + tail)
    lines.append(closing)
    return lines
