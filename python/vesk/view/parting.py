"""Where two traces of the same program or test part, thread by thread.

The records of a thread are compared in order, each by what it says of the program: a call by
its function and arguments, a return by its function and value, any other record (a test's
start and end, an exception) by its fields. Times, ids, threads and lines are left out, and so
are the parts of values that change from run to run whatever the program does (memory
addresses, pytest's numbered temporary folders). The first record where two threads differ is
where they part.

Each trace is read twice, keeping little: the first pass keeps, per thread, a running hash of
its records at every WINDOW records; comparing those tells in which window two threads part.
The second pass, up to the last such window, keeps the records of each window alone, with the
calls open around each, and the windows tell the record and what surrounds it. The cost is the
traces' length, whatever they hold.
"""

import itertools
import re

import msgpack

from vesk.view.choose import Skip, chosen, function_name, only_threads
from vesk.view.trace import read_trace
from vesk.view.tree import Open, TreeWalker

__all__ = ["WINDOW", "Parting", "diff_traces", "signature", "packed"]

WINDOW = 256  # records between two kept hashes

# What differs between two runs of one program doing the same thing.
_VOLATILE = re.compile(rb"0x[0-9a-fA-F]{4,}|pytest-\d+")
# Fields of a record that are not what the program did.
_BOOKKEEPING = frozenset(("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "path"))


def packed(value):
    """value as bytes that are alike for two runs that are alike."""
    try:
        text = msgpack.packb(value)
    except Exception:
        text = repr(value).encode("utf-8", "replace")
    return _VOLATILE.sub(b"", text)


def signature(record):
    """A hash of what record says of the program (hashes of bytes differ from one process to
    the next: both traces are hashed in one)."""
    kind = record.get("type", "frame")
    if kind != "frame":
        return hash((kind, packed({k: v for k, v in record.items() if k not in _BOOKKEEPING})))
    event = record.get("event")
    if event == "call":
        return hash(("call", function_name(record), packed(record.get("locals"))))
    if event == "return":
        return hash(("return", function_name(record), packed(record.get("arg"))))
    return hash(("frame", str(event)))


class _Digest:
    """A thread's record count and its running hash at every WINDOW records."""

    __slots__ = ("number", "count", "hash", "marks")

    def __init__(self, number):
        self.number = number  # the order read_trace made it in, the same in every pass
        self.count = 0
        self.hash = 0
        self.marks = []

    def feed(self, record):
        self.hash = hash((self.hash, signature(record)))
        self.count += 1
        if not self.count % WINDOW:
            self.marks.append(self.hash)

    def finish(self):
        pass


def _parting_window(a, b):
    """The window where two _Digests first differ, or None when they do not."""
    for window, (mark_a, mark_b) in enumerate(zip(a.marks, b.marks)):
        if mark_a != mark_b:
            return window
    if a.count == b.count and a.hash == b.hash:
        return None
    return min(len(a.marks), len(b.marks))


class _Frame(Open):
    """A call open around records of the window: its record and the call it was made in."""

    __slots__ = ("record", "parent")

    def __init__(self, start, record, parent):
        self.frame_id = self.end = self.last = None
        self.start = start
        self.record = record
        self.parent = parent


class _Seen:
    """A record of a window: its signature, the call it is made in (caller) and, for a call or
    the return of one, that call."""

    __slots__ = ("record", "signature", "caller", "call")

    def __init__(self, record, caller, call):
        self.record = record
        self.signature = signature(record)
        self.caller = caller
        self.call = call


class _Captured(BaseException):
    """Every window of a pass is complete: the rest of the trace need not be read. (Not an
    Exception, which read_trace would take for a part that does not decode.)"""


class _Window(TreeWalker):
    """The records first..first + WINDOW of a thread, as _Seen. pending counts the windows of
    the pass still incomplete, [count]."""

    def __init__(self, first, pending):
        TreeWalker.__init__(self)
        self.first = first
        self.pending = pending
        self.index = 0
        self.seen = []
        self.context = None

    def feed(self, record):
        index = self.index
        self.index += 1
        if index < self.first:
            TreeWalker.feed(self, record)
            return
        if index >= self.first + WINDOW:
            if index == self.first + WINDOW:
                self.pending[0] -= 1
                if not self.pending[0]:
                    raise _Captured
            return
        self.context = None
        TreeWalker.feed(self, record)
        if self.context is None:
            self.context = (self.stack[-1] if self.stack else None, None)
        self.seen.append(_Seen(record, *self.context))

    def called(self, record, start, depth):
        call = _Frame(start, record, self.stack[-1] if self.stack else None)
        self.context = (call.parent, call)
        return call

    def returned(self, call, record):
        self.context = (call.parent, call)


def _pass(stored, thread, make):
    """A pass over a trace whose walkers are make(number), numbered in the order read_trace asks
    for them: the same order in every pass."""

    def start():
        numbers = itertools.count()
        return only_threads(thread, lambda: make(next(numbers)))

    return chosen(read_trace(stored, start))


class Parting:
    """Where a thread of A and its thread in B part: index is the records they share before,
    a and b the _Seen of each there (None: that thread's records are over)."""

    def __init__(self, index, a, b):
        self.index = index
        self.a = a
        self.b = b

    @property
    def kind(self):
        a, b = self.a, self.b
        if a is None or b is None:
            return f"{'A' if a is None else 'B'} ends here, the other goes on"
        types = [s.record.get("type", "frame") for s in (a, b)]
        if types.count("exception") == 1:
            return f"an exception in {'A' if types[0] == 'exception' else 'B'} only"
        if types != ["frame", "frame"]:
            return f"a different {types[0]} record" if types[0] == types[1] else "different records"
        events = [s.record.get("event") for s in (a, b)]
        if events == ["call", "call"]:
            if function_name(a.record) != function_name(b.record):
                return "a different callee"
            return "a different argument"
        if events == ["return", "return"] and function_name(a.record) == function_name(b.record):
            return "a different return value"
        if "call" in events and "return" in events:
            return f"a call in {'A' if events[0] == 'call' else 'B'} only"
        return "a different callee"


def _pairs(threads_a, threads_b):
    """(thread of A or None, thread of B or None): main threads together, the others by name in
    the order they started."""
    pairs, left = [], list(threads_b)
    for thread in threads_a:
        match = next((t for t in left if t.is_main), None) if thread.is_main else None
        if match is None:
            match = next((t for t in left if not t.is_main and t.name == thread.name), None)
        if match is not None:
            left.remove(match)
        pairs.append((thread, match))
    pairs.extend((None, thread) for thread in left)
    return pairs


def diff_traces(stored_a, stored_b, thread=None):
    """The traces' metadata and, per pair of threads, (thread of A, thread of B, Parting or
    None where they do not part)."""
    trace_a = _pass(stored_a, thread, _Digest)
    trace_b = _pass(stored_b, thread, _Digest)
    pairs = _pairs(trace_a.threads, trace_b.threads)
    windows = {}  # pair index -> window
    for index, (a, b) in enumerate(pairs):
        if a is not None and b is not None:
            window = _parting_window(a.walker, b.walker)
            if window is not None:
                windows[index] = window

    results = [(a, b, None) for a, b in pairs]
    if windows:
        seen_a = _windows(stored_a, thread, {pairs[i][0].walker.number: w for i, w in windows.items()})
        seen_b = _windows(stored_b, thread, {pairs[i][1].walker.number: w for i, w in windows.items()})
        for i, window in windows.items():
            a, b = pairs[i]
            results[i] = (a, b, _first_difference(window * WINDOW, seen_a[a.walker.number], seen_b[b.walker.number]))
    return trace_a, trace_b, results


def _windows(stored, thread, windows):
    """The _Seen of a window of each thread that windows names (thread number -> window)."""
    walkers, pending = {}, [len(windows)]

    def make(number):
        if number not in windows:
            return Skip()
        walker = walkers[number] = _Window(windows[number] * WINDOW, pending)
        return walker

    try:
        _pass(stored, thread, make)
    except _Captured:
        pass
    return {number: walker.seen for number, walker in walkers.items()}


def _first_difference(first, seen_a, seen_b):
    for offset in range(max(len(seen_a), len(seen_b))):
        a = seen_a[offset] if offset < len(seen_a) else None
        b = seen_b[offset] if offset < len(seen_b) else None
        if a is None or b is None or a.signature != b.signature:
            return Parting(first + offset, a, b)
    return None
