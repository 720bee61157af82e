"""The part of a thread's call tree that a view of so many levels and lines shows, built one
record at a time: what it keeps grows with the lines shown, not with the records.

The view is the call tree's nodes depth first, cut at a depth and after a number of lines, with
counts of what was left out. Nodes arrive in that order, with one exception: a return whose
call was not recorded, at top level, becomes the parent of every node before it, which moves
them all one level down and puts it before them. So until the records are over, a node's final
level is its depth plus the number of such returns still to come, unknown; the outline keeps
every node that some number of them would show (the "scenarios" below, one per number), and
counts the rest per depth, so that the lines and counts come out exact whatever comes.
"""

import collections

from vesk.view.tree import Node, Open, TreeWalker

__all__ = ["Outline", "SkimmedOutline"]


class _Kept:
    """A node that some scenario shows."""

    __slots__ = ("node", "depth", "wraps", "has_next", "size")

    def __init__(self, depth, wraps):
        self.node = None
        self.depth = depth  # the calls enclosing it when it was recorded
        self.wraps = wraps  # top-level returns without calls before it
        self.has_next = False  # a later sibling
        self.size = 1  # nodes in its subtree


class _Call(Open):
    __slots__ = ("kept", "begin", "last_kept")

    def __init__(self, start, kept, begin):
        self.frame_id = self.end = self.last = None
        self.start = start
        self.kept = kept
        self.begin = begin  # nodes before its first child
        self.last_kept = None  # its latest child, if kept


class Outline(TreeWalker):
    """The lines of one thread's call tree down to depth levels (None: all), at most limit lines
    (None: all), and the counts of the nodes within depth left out: feed() the records in order,
    then finish(), then lines() and left_out()."""

    def __init__(self, depth=None, limit=None):
        TreeWalker.__init__(self)
        # Top-level nodes show whatever the depth, as format_trace has always shown them.
        depth = None if depth is None else max(depth, 1)
        limit = None if limit is None else max(limit, 0)
        self.depth_limit = depth
        self.line_limit = limit
        self.paths = set()  # every "path" of the records, for the common base of the view
        self.count = 0  # nodes so far
        self.wraps = 0  # top-level returns without calls so far
        self.kept = []  # in record order, which is the view's order but for those returns
        # The outermost of those returns, all a view can show of them.
        bounds = [bound for bound in (depth, limit) if bound is not None]
        self.wrappers = collections.deque(maxlen=min(bounds) if bounds else None)
        self.last_top = None  # the latest top-level node, if kept
        # Per scenario (how many more top-level returns without calls come), the nodes seen so
        # far that it would show were there no limit; [0] alone without a depth.
        self.seen = [0] * (depth or 1)
        self.full = False  # no scenario can show more
        # Nodes within the depth: without one, in all; with one, per depth, for the nodes since
        # each of the last depth top-level returns without calls.
        self.calls = self.events = 0
        self.since = collections.deque([([], [])], maxlen=depth) if depth is not None else None

    def feed(self, record):
        path = record.get("path")
        if path.__class__ is str:
            self.paths.add(path)
        TreeWalker.feed(self, record)

    def _place(self, depth, is_event):
        """Counts a new node depth calls deep; its _Kept if a scenario shows it, else None."""
        self.count += 1
        limit = self.depth_limit
        if limit is None:
            if is_event:
                self.events += 1
            else:
                self.calls += 1
        elif depth < limit:
            counts = self.since[-1][is_event]
            if depth < len(counts):
                counts[depth] += 1
            else:
                counts.extend([0] * (depth - len(counts)))
                counts.append(1)
        stack = self.stack
        parent = stack[-1] if stack else None
        previous = parent.last_kept if parent is not None else self.last_top
        if previous is not None:
            previous.has_next = True
        kept = _Kept(depth, self.wraps) if not self.full and self._shown(depth) else None
        if kept is not None:
            self.kept.append(kept)
        if parent is not None:
            parent.last_kept = kept
        else:
            self.last_top = kept
        return kept

    def _shown(self, depth):
        limit, lines, seen = self.depth_limit, self.line_limit, self.seen
        if limit is None:
            if lines is None:
                return True
            if seen[0] < lines - self.wraps:
                seen[0] += 1
                return True
            self.full = True
            return False
        if depth >= limit:
            return False
        if lines is None:
            return True
        # Scenario a shows the node if it is within the depth (depth + a < limit) and lines are
        # left: the returns without calls take one each, down to the depth.
        shown = False
        wraps = self.wraps
        for a in range(limit - depth):
            if seen[a] < lines - min(wraps + a, limit):
                shown = True
            seen[a] += 1
        if not shown and depth == 0:
            self.full = True  # a top-level node is within every scenario's depth
        return shown

    def called(self, record, start, depth):
        kept = self._place(depth, False)
        if kept is not None:
            kept.node = Node(record, None, start)
        return _Call(start, kept, self.count)

    def returned(self, call, record):
        kept = call.kept
        if kept is not None:
            kept.node.ret = record
            kept.size = 1 + self.count - call.begin

    def fact(self, call, record):
        if call.kept is not None:
            call.kept.node.add_fact(record)

    def left(self, call):
        if call.kept is not None:
            call.kept.size = 1 + self.count - call.begin

    def event(self, record, start, depth):
        kept = self._place(depth, True)
        if kept is not None:
            kept.node = Node(record, None, start)

    def leaf(self, record, start, depth):
        kept = self._place(depth, False)
        if kept is not None:
            kept.node = Node(None, record, start)

    def wrapped(self, record, start):
        # The previous top-level node gets no sibling: it becomes this one's last child.
        wrapper = _Kept(0, self.wraps)
        wrapper.node = Node(None, record, start)
        wrapper.size = 1 + self.count
        self.count += 1
        self.wraps += 1
        self.wrappers.append(wrapper)
        self.last_top = wrapper
        if self.depth_limit is None:
            self.calls += 1
            return
        # What scenario a + 1 was is now scenario a.
        self.seen.pop(0)
        self.seen.append(0)
        self.full = False
        self.since.append(([], []))
        lines = self.line_limit
        if lines is not None and len(self.kept) > 2 * lines * self.depth_limit:
            self._prune()

    def _prune(self):
        """Drops the kept nodes that no scenario left shows any more."""
        limit, lines, wraps = self.depth_limit, self.line_limit, self.wraps
        seen = [0] * limit
        kept = []
        for node in self.kept:
            level = node.depth + wraps - node.wraps
            shown = False
            for a in range(max(limit - level, 0)):
                if seen[a] < lines - min(wraps + a, limit):
                    shown = True
                seen[a] += 1
            if shown:
                kept.append(node)
        self.kept = kept

    def lines(self):
        """The view's lines in order: (node, level, is_last, hidden), where hidden counts the
        nodes under a node at the last level shown."""
        limit, room = self.depth_limit, self.line_limit
        result = []

        def add(kept, level):
            cut = limit is not None and level + 1 >= limit
            result.append((kept.node, level, not kept.has_next, kept.size - 1 if cut else 0))

        for level, wrapper in enumerate(reversed(self.wrappers)):
            if (limit is not None and level >= limit) or (room is not None and len(result) >= room):
                return result
            add(wrapper, level)
        for kept in self.kept:
            if room is not None and len(result) >= room:
                break
            level = kept.depth + self.wraps - kept.wraps
            if limit is None or level < limit:
                add(kept, level)
        return result

    def left_out(self, lines):
        """(calls, events) within the depth that the lines leave out when the limit cut them
        short, else None."""
        return _left_out(self._totals(), lines)

    def _totals(self):
        """(calls, events) within the depth, or None without a limit."""
        if self.line_limit is None:
            return None
        limit = self.depth_limit
        if limit is None:
            return self.calls, self.events
        calls, events = min(self.wraps, limit), 0
        for shift, (call_counts, event_counts) in enumerate(reversed(self.since)):
            calls += sum(call_counts[: limit - shift])
            events += sum(event_counts[: limit - shift])
        return calls, events


def _left_out(totals, lines):
    if totals is None:
        return None
    calls, events = totals
    if calls + events <= len(lines):
        return None
    shown_events = sum(1 for node, *_ in lines if node.is_event)
    return calls - (len(lines) - shown_events), events - shown_events


class SkimmedOutline:
    """The Outline of thread index of a vesk._vesk.Skim made with its depth and limit, once the
    skim is finished: the same paths, lines() and left_out(lines)."""

    def __init__(self, skim, index):
        self.skim = skim
        self.index = index
        self.paths = skim.paths(index)

    def lines(self):
        result = []
        for call, ret, facts, start, level, is_last, hidden in self.skim.lines(self.index):
            node = Node(call, ret, start)
            if facts:
                node.facts = facts
            result.append((node, level, is_last, hidden))
        return result

    def left_out(self, lines):
        return _left_out(self.skim.totals(self.index), lines)
