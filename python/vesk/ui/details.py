"""One node of a trace in full, read again from the stored trace: a call's arguments, locals at
its return, return value or exception; a plugin record's fields. Values are whole, as `vesk show
--call` prints them.

The pass stops as soon as the node is complete, so that a node early in a big trace is quick."""

from vesk.ui.seek import seek
from vesk.view.call import _lines
from vesk.view.trace import read_trace
from vesk.view.tree import Open, TreeWalker
from vesk.view.values import clean, format_exception

__all__ = ["node_details"]

_WIDTH = 100
_SKIPPED = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type")


class _Complete(BaseException):
    """Ends the pass early. Not an Exception: the reader takes those for a part it cannot
    decode, and reads it again."""


class _Finder(TreeWalker):
    """Counts one thread's nodes as the index numbers them, and keeps the records of one."""

    def __init__(self, thread_name, native_id, wanted):
        TreeWalker.__init__(self)
        self.thread_name, self.native_id, self.wanted = thread_name, native_id, wanted
        self.count = 0
        self.mine = None  # whether this walker's thread is the one asked for
        self.call = self.ret = self.open = None
        self.facts = []
        self.found = False

    def feed(self, record):
        if self.mine is None:
            native_id = record.get("thread_native_id")
            self.mine = record.get("thread") == self.thread_name and native_id in (self.native_id, None)
        if self.mine:
            TreeWalker.feed(self, record)

    def _next(self):
        number, self.count = self.count, self.count + 1
        return number == self.wanted

    def called(self, record, start, depth):
        call = Open(start)
        if self._next():
            self.call, self.open, self.found = record, call, True
        return call

    def returned(self, call, record):
        if call is self.open:
            self.ret = record
            raise _Complete

    def left(self, call):
        if call is self.open:
            raise _Complete

    def fact(self, call, record):
        if call is self.open:
            self.facts.append(record)

    def event(self, record, start, depth):
        if self._next():
            self.call, self.found = record, True
            raise _Complete

    def leaf(self, record, start, depth):
        if self._next():
            self.ret, self.found = record, True
            raise _Complete

    wrapped = leaf


def _text(value):
    return "\n".join(_lines(value, _WIDTH))


def _names(values):
    if not isinstance(values, dict):
        return None
    return [[clean(str(name)), _text(value)] for name, value in values.items()]


def node_details(stored, thread, node, starts=None):
    """The node number node of thread (an index.ThreadTrack) of stored, in full, as JSON-ready
    values; None when the trace no longer has it. starts: seek.part_starts(stored), to read only
    the parts the node lies in."""
    found = seek(stored, starts, thread, node) if starts is not None else None
    if found is None:
        found = _walk(stored, thread, node)
    if found is None:
        return None
    return _details(*found)


def _walk(stored, thread, node):
    """seek's answer, from a pass over the records before the node's end."""
    finders = []

    def new_walker():
        finder = _Finder(thread.name, thread.native_id, node)
        finders.append(finder)
        return finder

    try:
        read_trace(stored, lambda: new_walker)
    except _Complete:
        pass
    finder = next((f for f in finders if f.found), None)
    return None if finder is None else (finder.call, finder.ret, finder.facts)


def _details(call, ret, facts):
    record = call if call is not None else ret
    details = {"frame_id": record.get("frame_id") if isinstance(record.get("frame_id"), str) else None}
    if record.get("type", "frame") != "frame":
        details["fields"] = [[clean(str(k)), _text(v)] for k, v in record.items() if k not in _SKIPPED]
        return details
    if call is not None and call.get("co_name") != "<module>":
        details["arguments"] = _names(call.get("locals"))
    if ret is not None:
        details["locals"] = _names(ret.get("locals"))
        raised = next((f for f in facts if f.get("type") == "exception"), None)
        if raised is not None:
            details["raised"] = format_exception(raised, 1 << 62)
        else:
            details["return_value"] = _text(ret.get("arg"))
        if any(f.get("type") == "generator" and f.get("yielded") is True for f in facts):
            details["yielded"] = True
    details["exceptions"] = [[[clean(str(k)), _text(v)] for k, v in f.items() if k not in _SKIPPED]
                             for f in facts if f.get("type") == "exception"]
    return details
