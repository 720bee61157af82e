"""`vesk stats`: per function, how often it was called and the time spent in it, from one pass
over a trace that keeps a few numbers per function.

A function is its qualified name and file. Its total time is the time of its outermost calls
only: a call made inside another call of the same function (recursion, direct or not) is
already in that call's time. Its own time is the time of all its calls less that of the calls
they made. The mean is the total over the outermost calls that returned. A call whose return
was not recorded counts as a call but adds no time. A generator's (or coroutine's) stretches
after the first, which the interpreter resumed, add their time to its call and are no calls of
their own.

The framework events of the trace are counted too: SQL statements (and those run again with the
same parameters), outbound HTTP requests, log records by level, requests answered.
"""

import json
import sys

from vesk import _vesk
from vesk.view.choose import chosen_trace, function_name, matches
from vesk.view.events import EventCounts
from vesk.view.terminal import _common_base, _format_duration, _glyphs_for
from vesk.view.trace import open_trace, skim_trace, unpack
from vesk.view.tree import Open, TreeWalker
from vesk.view.values import clean

__all__ = ["FunctionStats", "StatsWalker", "SkimmedStats", "SORTS", "stats", "read_stats", "merged",
           "ranked"]

# What --sort takes: the key and whether the largest come first.
SORTS = {
    "total": (lambda f: f.total, True),
    "own": (lambda f: f.own, True),
    "calls": (lambda f: f.calls, True),
    "mean": (lambda f: -1.0 if f.mean is None else f.mean, True),
    "name": (lambda f: f.name, False),
}


class FunctionStats:
    __slots__ = ("name", "file", "line", "calls", "outer", "returned", "timed", "total", "own")

    def __init__(self, name, file, line):
        self.name = name
        self.file = file
        self.line = line  # the first line any of its calls started at
        self.calls = 0
        self.outer = 0  # calls not made inside another call of it
        self.returned = 0  # calls that returned
        self.timed = 0  # outermost calls that returned
        self.total = 0.0
        self.own = 0.0

    @property
    def mean(self):
        return self.total / self.timed if self.timed else None

    @property
    def where(self):
        return self.file if self.line is None else f"{self.file}:{self.line}"

    def add(self, other):
        self.line = _first_line(self.line, other.line)
        self.calls += other.calls
        self.outer += other.outer
        self.returned += other.returned
        self.timed += other.timed
        self.total += other.total
        self.own += other.own


def _first_line(a, b):
    return b if a is None else a if b is None else min(a, b)


def _function(record):
    """(name, file, line) of a call record."""
    name = function_name(record)
    path = record.get("path")
    if path.__class__ is not str:
        return name, "?", None
    file, _, line = path.rpartition(":")
    if file and line.isdigit():
        return name, file, int(line)
    return name, path, None


class _Call(Open):
    __slots__ = ("function", "outer", "inner", "resumed")

    def __init__(self, start, function, outer):
        self.frame_id = self.end = self.last = None
        self.start = start
        self.function = function
        self.outer = outer
        self.inner = 0.0  # time of the calls it made that returned
        self.resumed = False  # a generator's stretch after the first: its time, but no call


class StatsWalker(TreeWalker):
    """The FunctionStats of one thread's records, by (name, file) in functions."""

    def __init__(self):
        TreeWalker.__init__(self)
        self.functions = {}
        self.running = {}  # (name, file) -> its calls open on the stack
        self.events = EventCounts()

    def event(self, record, start, depth):
        self.events.add(record)

    def called(self, record, start, depth):
        name, file, line = _function(record)
        key = (name, file)
        function = self.functions.get(key)
        if function is None:
            function = self.functions[key] = FunctionStats(name, file, line)
        elif line is not None and (function.line is None or line < function.line):
            # A generator's resumptions start at the line it stopped at.
            function.line = line
        function.calls += 1
        running = self.running.get(key, 0)
        self.running[key] = running + 1
        if not running:
            function.outer += 1
        return _Call(start, function, not running)

    def fact(self, call, record):
        # Known only at the stretch's end: the interpreter resumed it rather than called it.
        if record.get("type") == "generator" and record.get("resumed") is True and not call.resumed:
            call.resumed = True
            call.function.calls -= 1
            if call.outer:
                call.function.outer -= 1

    def returned(self, call, record):
        self.left(call)
        duration = max(call.end - call.start, 0.0)
        function = call.function
        function.own += max(duration - call.inner, 0.0)
        if not call.resumed:
            function.returned += 1
        if call.outer:
            function.total += duration
            if not call.resumed:
                function.timed += 1
        if self.stack:
            self.stack[-1].inner += duration

    def left(self, call):
        key = (call.function.name, call.function.file)
        self.running[key] -= 1


def merged(walkers):
    """The FunctionStats of several threads added up per function."""
    functions = {}
    for walker in walkers:
        for key, function in walker.functions.items():
            total = functions.get(key)
            if total is None:
                total = functions[key] = FunctionStats(function.name, function.file, function.line)
            total.add(function)
    return list(functions.values())


def ranked(functions, sort="total", limit=None):
    """functions in the order of sort, ties by name and place, at most limit of them."""
    key, largest_first = SORTS[sort]
    ordered = sorted(functions, key=lambda f: (f.name, f.file, f.line or 0))
    ordered.sort(key=key, reverse=largest_first)
    return ordered if limit is None else ordered[:limit]


class SkimmedStats:
    """What a StatsWalker keeps of thread index of a vesk._vesk.Skim made with stats, once the
    skim is finished: the same functions and events, added up natively."""

    def __init__(self, skim, index):
        rows, events = skim.stats(index)
        self.functions = {}
        for name, file, line, *numbers in rows:
            function = self.functions[(name, file)] = FunctionStats(name, file, line)
            (function.calls, function.outer, function.returned, function.timed, function.total,
             function.own) = numbers
        self.events = EventCounts()
        for record in events:
            self.events.add(record)


def read_stats(stored, thread=None):
    """The trace with a StatsWalker's results per thread (only the threads whose name matches
    thread, when given), added up in one native pass."""
    trace = skim_trace(stored, lambda: _vesk.Skim(unpack, stats=True), SkimmedStats)
    if thread is not None:
        trace.threads = [t for t in trace.threads if matches(t.name, thread)]
    return trace


def stats(options):
    stored = open_trace(options.db, chosen_trace(options))
    trace = read_stats(stored, options.thread)
    if options.per_thread:
        groups = [(thread, list(thread.walker.functions.values())) for thread in trace.threads]
    else:
        groups = [(None, merged(thread.walker for thread in trace.threads))]
    counts = EventCounts()
    for thread in trace.threads:
        counts.merge(thread.walker.events)
    if options.json:
        _write_json(trace, groups, options, sys.stdout, counts)
    else:
        _write_table(trace, groups, options, sys.stdout)
        if counts:
            glyphs = _glyphs_for(sys.stdout)
            counts.write(sys.stdout, glyphs["micro"], glyphs["more"])
    return 0


def _write_json(trace, groups, options, out, counts):
    rows = []
    for thread, functions in groups:
        for f in ranked(functions, options.sort, options.limit):
            rows.append({
                "function": f.name, "file": f.file, "line": f.line,
                "thread": None if thread is None else thread.name,
                "native_id": None if thread is None else thread.native_id,
                "calls": f.calls, "outer_calls": f.outer,
                "total": f.total, "own": f.own, "mean": f.mean,
            })
    json.dump({"trace": trace.trace_id, "threads": [t.name for t in trace.threads],
               "functions": rows, "events": counts.as_json()}, out, indent=1)
    out.write("\n")


_HEADER = ("CALLS", "TOTAL", "OWN", "MEAN", "FUNCTION", "WHERE")


def _write_table(trace, groups, options, out):
    glyphs = _glyphs_for(out)
    files = {f.file for _, functions in groups for f in functions}
    base = _common_base(f for f in files if f != "?")
    out.write(f"trace    {clean(str(trace.trace_id))}\n")
    names = ", ".join(clean(t.name) for t in trace.threads)
    out.write(f"threads  {len(trace.threads)}" + (f": {names}" if names else "") + "\n")
    if base:
        out.write(f"paths    relative to {clean(base)}\n")
    for warning in trace.warnings:
        out.write(f"warning: {clean(warning)}\n")

    def duration(seconds):
        return "-" if seconds is None else _format_duration(seconds, glyphs["micro"])

    for thread, functions in groups:
        out.write("\n")
        if thread is not None:
            what = "main thread, " if thread.is_main else ""
            out.write(f"{clean(thread.name)} ({what}{len(functions)} functions)\n")
        shown = ranked(functions, options.sort, options.limit)
        rows = [(str(f.calls), duration(f.total if f.timed else None),
                 duration(f.own if f.returned else None), duration(f.mean), clean(f.name),
                 clean(f.where[len(base):] if base and f.where.startswith(base) else f.where))
                for f in shown]
        if not rows:
            out.write("(no calls)\n")
            continue
        widths = [max(len(row[i]) for row in (_HEADER, *rows)) for i in range(5)]
        for row in (_HEADER, *rows):
            cells = [cell.rjust(width) for cell, width in zip(row[:4], widths)]
            out.write("  ".join([*cells, row[4].ljust(widths[4]), row[5]]).rstrip() + "\n")
        if len(shown) < len(functions):
            more = len(functions) - len(shown)
            out.write(f"{glyphs['more']} {more} more function" + ("" if more == 1 else "s") + "\n")
