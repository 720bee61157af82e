"""`vesk show --function PATTERN` and `--thread NAME`: the part of a trace that is asked for.

The threads view is show's own, for the chosen threads only. The functions view shows, per
thread, each call of a matching function with the calls it made below it, and above it the calls
it was made in, merged into one tree: the path from the top of the thread down to each call,
and nothing beside. It is built one record at a time, keeping what it prints: the calls of the
path are held while they are open, and become lines only when a match is made inside them.
"""

import fnmatch
import sys

from vesk.utils import CommandError
from vesk.view.choose import chosen, chosen_trace, function_name, only_threads
from vesk.view.outline import Outline
from vesk.view.terminal import write_views
from vesk.view.trace import open_trace, read_trace
from vesk.view.tree import Node, Open, TreeWalker

__all__ = ["FunctionView", "function_matcher", "show_focused"]


def function_matcher(pattern):
    """A test of qualified names: pattern is found in the name, or, when it has any of * ? [ ],
    matches the name or the end of it after any dot (so "Basket.*" matches
    "shop.Basket.total")."""
    if not any(c in pattern for c in "*?["):
        test = lambda name: pattern in name  # noqa: E731
    else:
        def test(name):
            ends = [0] + [i + 1 for i, c in enumerate(name) if c == "."]
            return any(fnmatch.fnmatchcase(name[end:], pattern) for end in ends)
    known = {}

    def matches(name):
        found = known.get(name)
        if found is None:
            found = known[name] = test(name)
        return found

    return matches


class _Noted(Node):
    """A node shown with a note after its location: a matched call, with the frame id to show it
    in full by."""

    __slots__ = ("note",)

    def __init__(self, call, ret, start):
        Node.__init__(self, call, ret, start)
        frame_id = (call if call is not None else ret).get("frame_id")
        self.note = frame_id if isinstance(frame_id, str) else None


class _Line:
    __slots__ = ("node", "level", "has_next", "begin", "size", "cut")

    def __init__(self, node, level, begin, cut):
        self.node = node
        self.level = level
        self.has_next = False
        self.begin = begin  # nodes of the thread before it
        self.size = 1  # nodes in its subtree, once it has ended
        self.cut = cut  # at the deepest level shown: its subtree is counted, not shown


class _Step(Open):
    """An open call: shown or not yet, and whether it is a match or inside one."""

    __slots__ = ("record", "line", "wanted", "last_line", "root", "begin")

    def __init__(self, start, record, begin):
        self.frame_id = self.end = self.last = None
        self.start = start
        self.record = record
        self.line = None  # its _Line, if it is shown
        self.wanted = False  # in the view, shown or left out past the limit
        self.last_line = None  # its latest child in the view, if shown
        self.root = None  # the level of the match it is in (its own, for a match)
        self.begin = begin


class FunctionView(TreeWalker):
    """The view of one thread for show --function: feed() its records, finish(), then lines()
    and left_out(lines) as an Outline has them."""

    def __init__(self, matches, depth=None, limit=None):
        TreeWalker.__init__(self)
        self.matches = matches
        self.depth_limit = depth
        self.line_limit = limit
        self.paths = set()
        self.kept = []
        self.count = 0  # nodes so far
        self.matched = 0
        self.more_calls = self.more_events = 0  # past the limit
        self.last_top = None

    def _show(self, parent, level, make_node, is_event, record, cut=False):
        """Puts a node in the view under parent (a _Step, None at top level); its _Line, or
        None past the limit."""
        previous = parent.last_line if parent is not None else self.last_top
        if previous is not None:
            previous.has_next = True
        line = None
        if self.line_limit is None or len(self.kept) < self.line_limit:
            line = _Line(make_node(), level, self.count, cut)
            self.kept.append(line)
            path = record.get("path")
            if path.__class__ is str:
                self.paths.add(path)
        elif is_event:
            self.more_events += 1
        else:
            self.more_calls += 1
        if parent is not None:
            parent.last_line = line
        else:
            self.last_top = line
        return line

    def _want(self, step, parent, level, noted=False, cut=False):
        step.wanted = True
        node = _Noted if noted else Node
        step.line = self._show(parent, level, lambda: node(step.record, None, step.start), False, step.record, cut)

    def _path_to(self, level):
        """Puts in the view the open calls down to level that are not in it yet."""
        stack = self.stack
        for index in range(level):
            if not stack[index].wanted:
                self._want(stack[index], stack[index - 1] if index else None, index)

    def _inside(self, parent, depth):
        """(in a match's subtree, at the deepest level shown) for a node depth calls deep."""
        if parent is None or parent.root is None:
            return False, False
        if self.depth_limit is None:
            return True, False
        below = depth - parent.root
        return below < self.depth_limit, below == self.depth_limit - 1

    def called(self, record, start, depth):
        self.count += 1
        stack = self.stack
        parent = stack[-1] if stack else None
        step = _Step(start, record, self.count)
        matched = self.matches(function_name(record))
        if parent is not None and parent.root is not None:
            step.root = parent.root
            shown, cut = self._inside(parent, depth)
            if shown:
                self._want(step, parent, depth, matched, cut)
        elif matched:
            self.matched += 1
            step.root = depth
            self._path_to(depth)
            self._want(step, parent, depth, True, self.depth_limit == 1)
        return step

    def returned(self, call, record):
        if call.line is not None:
            call.line.node.ret = record
        self.left(call)

    def left(self, call):
        if call.line is not None:
            call.line.size = 1 + self.count - call.begin

    def fact(self, call, record):
        # What the call raised, or that it yielded or was resumed: its line says it as show's
        # plain view does.
        if call.line is not None:
            call.line.node.add_fact(record)

    def _single(self, record, start, depth, is_event):
        self.count += 1
        parent = self.stack[-1] if self.stack else None
        if is_event:
            make = lambda: Node(record, None, start)  # noqa: E731
        else:
            make = lambda: Node(None, record, start)  # noqa: E731
        shown, _ = self._inside(parent, depth)
        if shown:
            self._show(parent, depth, make, is_event, record)
        elif not is_event and self.matches(function_name(record)):
            self.matched += 1
            self._path_to(depth)
            self._show(parent, depth, lambda: _Noted(None, record, start), False, record)

    def event(self, record, start, depth):
        self._single(record, start, depth, True)

    def leaf(self, record, start, depth):
        self._single(record, start, depth, False)

    def wrapped(self, record, start):
        # A return without its call at top level: the frame was running when recording began.
        # The view keeps the paths it has, from the calls that were recorded.
        self.count += 1

    def lines(self):
        return [(line.node, line.level, not line.has_next, line.size - 1 if line.cut else 0)
                for line in self.kept]

    def left_out(self, lines):
        if not self.more_calls and not self.more_events:
            return None
        return self.more_calls, self.more_events


def show_focused(options, color):
    """show with --function or --thread."""
    stored = open_trace(options.db, chosen_trace(options))
    if options.function is not None:
        matches = function_matcher(options.function)
        new_view = lambda: FunctionView(matches, options.depth, options.limit)  # noqa: E731
    else:
        new_view = lambda: Outline(options.depth, options.limit)  # noqa: E731
    trace = read_trace(stored, lambda: only_threads(options.thread, new_view))
    names = [thread.name for thread in trace.threads]
    chosen(trace)
    if not trace.threads and options.thread is not None:
        raise CommandError(f"no thread of trace {trace.trace_id} matches {options.thread!r} "
                           f"(its threads: {', '.join(names) or 'none'})")
    if options.function is not None:
        trace.threads = [t for t in trace.threads if t.walker.matched]
        if not trace.threads:
            raise CommandError(f"no call of a function matching {options.function!r} in trace {trace.trace_id}")
    write_views(trace, [thread.walker for thread in trace.threads], sys.stdout, color)
    return 0
