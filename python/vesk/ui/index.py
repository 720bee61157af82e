"""A trace's nodes as compact columns per thread, made natively in one pass over its records (the
pass `vesk export` makes), so that the viewer can answer for any part of a big trace without
reading it again.

Nodes are numbered in the order their first record comes, which is the order of a depth-first
walk: the nodes inside node i are i+1 .. i+size[i]-1, so children and subtrees need no lists of
their own. Per node the columns keep its times, depth, kind and name; the JSON of its arguments,
call site and return value (values bounded to a line) lies in a spill, read back for the nodes a
page shows. A value other than None, a bool, a number or text is written there as the
MessagePack it was recorded as, and made text only when its node is shown: a page shows a few
hundred nodes of a trace of millions. So is a plugin record, whose name alone the pass needs.
Values in full are read again from the trace when asked for (see details).
"""

import array
import bisect
import json
import math
import threading

from vesk import _vesk
from vesk.export import (_CALL, _EVENT, _RETURN, _dump, _event_args, _event_name, _Formatter, _json_value, _site_args,
                         _SkimmedTrack, _Spill)
from vesk.view.choose import matches
from vesk.view.events import event_text
from vesk.view.trace import skim_trace, unpack
from vesk.view.values import format_value

__all__ = ["TraceIndex", "ThreadTrack", "build_index"]

_MAX_FLAME_BOXES = 20000
_VALUE_LIMIT = 200


def _shown(value):
    """A value as the page gets it: a scalar as it is, anything else as {"r": its text}, so that
    a recorded string never reads as another value's text."""
    if value is None or type(value) in (bool, int, float, str):
        return _json_value(value)
    return {"r": format_value(value, _VALUE_LIMIT)}


class _Texts(_Formatter):
    """export's formatter, but for values other than scalars, which it writes as _shown does."""

    @staticmethod
    def entries(record, with_arguments):
        args = _site_args(record, False)
        if with_arguments:
            args["arguments"] = _Texts._arguments(record.get("locals"))
        return _dump(args)[1:-1]

    @staticmethod
    def value(value):
        return _dump(_shown(value))

    @staticmethod
    def plugin(record):
        # Each field a scalar or bounded text: the page and event_text read them so.
        return _event_name(record), _dump(_event_args(record, _json_value))

    @staticmethod
    def arguments(arguments):
        return _dump(_Texts._arguments(arguments))

    @staticmethod
    def _arguments(arguments):
        return {str(k): _shown(v) for k, v in arguments.items()} if isinstance(arguments, dict) else {}


def _deferred(value):
    """Where the MessagePack of a value that the pass left in the spill is, or None: an object
    {"m": [offset, length]} stands in a place where the index writes nothing but scalars and
    {"r": text}, or for a plugin record's args, whose values are never lists."""
    if type(value) is dict and len(value) == 1:
        where = value.get("m")
        if type(where) is list and len(where) == 2:
            return where
    return None


class _IndexedTrack(_SkimmedTrack):
    """_SkimmedTrack with the nodes' sizes and parents."""

    def __init__(self, skim, index):
        sizes, parents = skim.shape(index)
        _SkimmedTrack.__init__(self, skim, index)
        self.sizes, self.parents = array.array("q"), array.array("q")
        self.sizes.frombytes(sizes)
        self.parents.frombytes(parents)


class ThreadTrack:
    """One thread's nodes."""

    def __init__(self, thread, track, read):
        self.name = thread.name
        self.native_id = thread.native_id
        self.is_main = thread.is_main
        self.record_count = thread.record_count
        self.low, self.high = track.low, track.high
        self.names = list(track.numbers)  # number -> name
        self.starts, self.ends = track.starts, track.ends
        self.depths, self.flags, self.name_of = track.depths, track.flags, track.names
        self.offsets, self.lengths = track.offsets, track.lengths
        self._read = read  # (offset, length, raw=False) -> the spill's text, or its bytes
        self.sizes, self.parents = track.sizes, track.parents
        self.events = _events(self)

    def __len__(self):
        return len(self.flags)

    def children(self, node, first=None, limit=200):
        """Up to limit children of node (-1: the top level), from the child first on; and the child
        after them, or None."""
        stop = len(self) if node < 0 else node + self.sizes[node]
        at = (0 if node < 0 else node + 1) if first is None else first
        sizes, found = self.sizes, []
        while at < stop and len(found) < limit:
            found.append(at)
            at += sizes[at]
        return found, at if at < stop else None

    def ancestors(self, node):
        """The nodes around node, outermost first."""
        chain = []
        node = self.parents[node]
        while node >= 0:
            chain.append(node)
            node = self.parents[node]
        return chain[::-1]

    def args(self, node):
        """The node's spilled JSON: path, called_from_line, arguments, return_value, raised, ..."""
        args = json.loads(self._read(self.offsets[node], self.lengths[node]) or "{}")
        if self.flags[node] & _EVENT:
            where = _deferred(args)
            return args if where is None else _event_args(self._value(where), _json_value)
        for key in ("return_value", "yielded"):
            where = _deferred(args.get(key))
            if where is not None:
                args[key] = _shown(self._value(where))
        arguments = args.get("arguments")
        where = _deferred(arguments)
        if where is not None:
            args["arguments"] = _Texts._arguments(self._value(where))
        elif type(arguments) is dict:
            for name, value in arguments.items():
                where = _deferred(value)
                if where is not None:
                    arguments[name] = _shown(self._value(where))
        return args

    def _value(self, where):
        return unpack(self._read(where[0], where[1], raw=True))

    def summary(self, node):
        flags = self.flags[node]
        end = self.ends[node]
        args = self.args(node)
        summary = {
            "id": node,
            "name": self.names[self.name_of[node]],
            "kind": "event" if flags & _EVENT else "call",
            "call": bool(flags & _CALL),
            "returned": bool(flags & _RETURN),
            "start": self.starts[node],
            "end": None if math.isnan(end) else end,
            "depth": self.depths[node],
            "children": _count_children(self, node),
            "nested": self.sizes[node] - 1,
            "args": args,
        }
        if flags & _EVENT:
            kind = summary["name"].partition("/")[0]
            line = event_text({**args, "type": kind})
            if line is not None:
                # A framework event as vesk show has it, less the kind that the page shows first.
                first, _, rest = line.partition(" ")
                summary["line"] = rest if first.lower() == kind else line
        return summary

    def search(self, pattern, limit):
        """The nodes whose name matches pattern (matches() of vesk show --function), up to limit,
        and how many there are."""
        wanted = {number for number, name in enumerate(self.names) if matches(name, pattern)}
        if not wanted:
            return [], 0
        flags = self.flags
        hits = [i for i, n in enumerate(self.name_of) if n in wanted and not flags[i] & _EVENT]
        return hits[:limit], len(hits)

    def marks(self, low, high, limit=2000):
        """The plugin records and caught exceptions between low and high: (node, time)."""
        times = [self.starts[e] for e in self.events]
        first, last = bisect.bisect_left(times, low), bisect.bisect_right(times, high)
        return [(self.events[i], times[i]) for i in range(first, min(last, first + limit))]

    def flame(self, low, high, shortest):
        """The calls that overlap low..high and last at least shortest seconds: (node, depth,
        start, end); a call shorter than that hides the calls inside it too."""
        boxes, pending = [], [(-1)]
        last = self.high if self.high is not None else 0.0
        starts, ends, sizes, flags, depths = self.starts, self.ends, self.sizes, self.flags, self.depths
        while pending and len(boxes) < _MAX_FLAME_BOXES:
            node = pending.pop()
            at = 0 if node < 0 else node + 1
            stop = len(self) if node < 0 else node + sizes[node]
            while at < stop:
                start, end = starts[at], ends[at]
                if end != end:  # NaN: no return recorded
                    end = last
                if not flags[at] & _EVENT and end >= low and start <= high and end - start >= shortest:
                    boxes.append((at, depths[at], start, end))
                    if sizes[at] > 1:
                        pending.append(at)
                if start > high:
                    break
                at += sizes[at]
        return boxes


def _count_children(track, node):
    if track.sizes[node] >= 10000:
        return None  # counting them would take longer than the page waits
    count, at, stop = 0, node + 1, node + track.sizes[node]
    while at < stop:
        count += 1
        at += track.sizes[at]
    return count


def _events(track):
    """The plugin records and the exceptions caught where they were recorded, in order."""
    flags = bytes(track.flags)
    events, node = [], flags.find(b"\x01")  # _EVENT alone: such a node has no call or return
    while node >= 0:
        events.append(node)
        node = flags.find(b"\x01", node + 1)
    return events


class TraceIndex:
    """A trace read for the viewer: what the trace tells of itself, and a ThreadTrack per thread,
    the main thread first."""

    def __init__(self, trace, threads, spill):
        self.trace = trace
        self.threads = threads
        self._spill = spill

    def close(self):
        self._spill.close()


def build_index(stored):
    """The TraceIndex of a vesk.view.trace.StoredTrace."""
    spill = None

    def start():
        nonlocal spill
        if spill is not None:
            spill.close()  # of a pass that met a part it could not read natively
        spill = _Spill()
        return _vesk.Skim(unpack, formatter=_Texts(spill), defer=True)

    try:
        trace = skim_trace(stored, start, _IndexedTrack)
    except BaseException:
        if spill is not None:
            spill.close()
        raise
    read, lock = spill.bytes_reader(), threading.Lock()

    def locked_read(offset, length, raw=False):
        with lock:  # the spill is one file, read by the server's threads in turn
            data = read(offset, length)
        return data if raw else data.decode("utf-8", "surrogatepass")

    threads = [ThreadTrack(thread, thread.walker, locked_read) for thread in trace.threads]
    for thread in trace.threads:
        thread.walker = None
    return TraceIndex(trace, threads, spill)
