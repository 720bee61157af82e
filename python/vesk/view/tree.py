"""Call trees: a thread's records paired into calls, nested by their call and return records.

The builder accepts calls that never return, returns whose call was not recorded and records with
missing fields.
"""

import math

__all__ = ["Node", "build_tree", "is_fact", "is_number", "Open", "TreeWalker"]

HUGE = 1e300


def is_number(value):
    return type(value) in (int, float) and math.isfinite(value)


def is_fact(record):
    """A record that tells how the call around it ended rather than standing for a node of its
    own: an exception that left the frame, a generator's suspension or resumption."""
    kind = record.get("type")
    return kind == "generator" or (kind == "exception" and record.get("caught") is not True)


class Node:
    """A call (call record and return record, either may be missing) or a
    plugin record, with the calls made inside it as children."""

    __slots__ = ("call", "ret", "children", "start", "_size", "facts")

    def __init__(self, call, ret, start):
        self.call = call
        self.ret = ret
        self.children = []
        self.facts = ()  # its records that is_fact() names
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

    def add_fact(self, record):
        self.facts = (*self.facts, record)

    def _fact(self, kind):
        return next((f for f in reversed(self.facts) if f.get("type") == kind), None)

    @property
    def exception(self):
        """The record of the exception that left the frame, or None."""
        return self._fact("exception")

    @property
    def generator(self):
        """The record of a generator's stretch that was resumed or ends suspended, or None."""
        return self._fact("generator")

    @property
    def finished(self):
        return self.ret is not None

    @property
    def end(self):
        if self.ret is None:
            return None
        ts = self.ret.get("timestamp")
        return ts if is_number(ts) else self.start

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
        if (ts.__class__ is float or ts.__class__ is int) and -HUGE < ts < HUGE:
            last_ts = ts
            if first_ts is None:
                first_ts = ts
        elif last_ts is not None:
            ts = last_ts
        else:
            ts = 0.0
        siblings = stack[-1].children if stack else roots

        if record.get("type", "frame") != "frame":
            if stack and is_fact(record) and stack[-1].call.get("frame_id").__class__ is str \
                    and record.get("frame_id") == stack[-1].call.get("frame_id"):
                stack[-1].add_fact(record)
                continue
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


class Open:
    """A call a TreeWalker has seen start and not yet end."""

    __slots__ = ("frame_id", "start", "end", "last")

    def __init__(self, start):
        self.frame_id = None  # set by the walker
        self.start = start
        self.end = None  # as Node.end, once returned
        # The latest node inside it: an Open, or (start, end) of a plugin record or of a return
        # without its call. A return without its call that comes next starts no earlier.
        self.last = None


class TreeWalker:
    """build_tree's pairing of calls and returns made one record at a time, for readers that keep
    less than the whole tree. A subclass is told of each node as build_tree would make it, with
    its depth (the calls enclosing it when it is recorded):

    - called(record, start, depth): a call; returns the Open that stands for it until it ends
    - returned(call, record): the return of that Open
    - left(call): the Open ended without its return (an outer return, or the end of the records)
    - event(record, start, depth): a plugin record
    - fact(call, record): a record of how that Open ends (see is_fact)
    - leaf(record, start, depth): a return without its call, inside a recorded call
    - wrapped(record, start): a return without its call at top level, which encloses every node
      before it; what comes after it is at top level again
    """

    def __init__(self):
        self.stack = []
        self.open_ids = {}
        self.first_ts = self.last_ts = None

    def feed(self, record):
        """Takes the thread's next record, a dict."""
        ts = record.get("timestamp")
        # Inlined is_number: this runs once per record.
        if (ts.__class__ is float or ts.__class__ is int) and -HUGE < ts < HUGE:
            self.last_ts = ts
            if self.first_ts is None:
                self.first_ts = ts
        elif self.last_ts is not None:
            ts = self.last_ts
        else:
            ts = 0.0
        stack = self.stack
        if record.get("type", "frame") != "frame":
            if stack and stack[-1].frame_id is not None and record.get("frame_id") == stack[-1].frame_id \
                    and is_fact(record):
                self.fact(stack[-1], record)
                return
            if stack:
                stack[-1].last = (ts, None)
            self.event(record, ts, len(stack))
            return
        event = record.get("event")
        frame_id = record.get("frame_id")
        if frame_id.__class__ is not str:
            frame_id = None  # only ids can pair a call with its return
        if event == "call":
            call = self.called(record, ts, len(stack))
            call.frame_id = frame_id
            if stack:
                stack[-1].last = call
            stack.append(call)
            if frame_id is not None:
                self.open_ids[frame_id] = call
        elif event == "return":
            open_ids = self.open_ids
            call = open_ids.get(frame_id) if frame_id is not None else None
            if call is not None:
                while True:
                    top = stack.pop()
                    if top.frame_id is not None and open_ids.get(top.frame_id) is top:
                        del open_ids[top.frame_id]
                    if top is call:
                        break
                    self.left(top)
                end = record.get("timestamp")
                call.end = end if is_number(end) else call.start
                self.returned(call, record)
            elif stack:
                # Inside a recorded call: nothing tells what it enclosed.
                top = stack[-1]
                last = top.last
                if last is None:
                    start = top.start
                elif last.__class__ is tuple:
                    start = last[1] if last[1] is not None else last[0]
                else:
                    start = last.end if last.end is not None else last.start
                start = min(start, ts)
                end = record.get("timestamp")
                top.last = (start, end if is_number(end) else start)
                self.leaf(record, start, len(stack))
            else:
                self.wrapped(record, self.first_ts if self.first_ts is not None else ts)

    def finish(self):
        """The records are over: calls still open end without their returns, innermost first."""
        stack = self.stack
        while stack:
            self.left(stack.pop())
        self.open_ids.clear()

    def called(self, record, start, depth):
        return Open(start)

    def returned(self, call, record):
        pass

    def left(self, call):
        pass

    def event(self, record, start, depth):
        pass

    def fact(self, call, record):
        pass

    def leaf(self, record, start, depth):
        pass

    def wrapped(self, record, start):
        pass
