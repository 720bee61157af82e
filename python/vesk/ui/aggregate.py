"""Where the time of a trace goes: its calls merged by call path (the calls of one function made
from the same chain of callers are one path), and per function the figures `vesk stats` prints.
Both come from one pass over the index's columns of the calls in scope (the whole trace, one
thread, or one call and the calls inside it), made once and kept; a request then takes a
bounded part of it.

The figures per function follow `vesk stats`: total counts the outermost calls of a function
only, own is a call's time less that of the calls it made, a call with no return recorded adds
no time, and a generator's stretches after the first (the interpreter resumed it) add their time
to its call and are no calls of their own. Paths, which draw the flame graph, show time: a call
with no return recorded lasts there until its thread's last record, as on the timeline.
"""

import heapq

from vesk.export import _CALL, _EVENT, _RETURN

__all__ = ["Profile", "SORTS"]

# What the table sorts by: the key of a row and whether the largest come first.
SORTS = {
    "total": (lambda f: -1.0 if f[3] is None else f[3], True),
    "own": (lambda f: -1.0 if f[4] is None else f[4], True),
    "calls": (lambda f: f[2], True),
    "mean": (lambda f: -1.0 if f[5] is None else f[5], True),
    "name": (lambda f: f[0], False),
}
_TABLE_LIMIT = 1000
_PATH_LIMIT = 4000  # paths a request gets at most
_SMALLEST = 1 / 2000  # of the shown root's time: a narrower path would be under a pixel wide


class Profile:
    """The paths and functions of the calls of threads (ThreadTracks), or of the call node of the
    one thread given and the calls inside it."""

    def __init__(self, threads, node=None):
        self.names = []  # function number -> name
        self._numbers = {}
        # Per path: the path it was called from (-1: none, for path 0, the scope), its function,
        # its calls, their time, and the part of it spent in no other call of the path.
        self.parents, self.functions, self.calls, self.totals, self.selfs = [-1], [-1], [0], [0.0], [0.0]
        self._kids = {}  # (path, function) -> path
        # Per function: calls, outermost calls, returned, timed, total, own, (thread, first node).
        self._stats = {}
        for number, thread in threads:
            if node is None:
                self._walk(number, thread, 0, len(thread), 0)
            else:
                self._walk(number, thread, node, node + thread.sizes[node], thread.depths[node])
        self.totals[0] = sum(self.totals[p] for (parent, _), p in self._kids.items() if parent == 0)
        self.children = [[] for _ in self.parents]
        for path in range(1, len(self.parents)):
            self.children[self.parents[path]].append(path)
        self._where = {}
        self._threads = dict(threads)

    def _number(self, name):
        number = self._numbers.get(name)
        if number is None:
            number = self._numbers[name] = len(self.names)
            self.names.append(name)
        return number

    def _walk(self, thread_number, thread, low, high, base):
        # One pass over the nodes in order, which is depth first: the open calls are a stack,
        # each [path, function, its time as stats counts it (None: no return), time of the calls
        # it made that returned, whether it was the outermost call of its function].
        numbers = [self._number(name) for name in thread.names]
        starts, ends = thread.starts[low:high].tolist(), thread.ends[low:high].tolist()
        depths, flags = thread.depths[low:high].tolist(), thread.flags[low:high].tolist()
        name_of = thread.name_of[low:high].tolist()
        last = thread.high if thread.high is not None else 0.0
        resumed = _resumed(thread, low, name_of, flags)
        parents, functions, calls, totals, selfs, kids = (self.parents, self.functions, self.calls, self.totals,
                                                          self.selfs, self._kids)
        stats, running, stack = self._stats, {}, []

        def close(call):
            path, function, spent, inner, outer = call
            running[function] -= 1
            if spent is not None:
                stats[function][5] += max(spent - inner, 0.0)
                if stack:
                    stack[-1][3] += spent

        for at in range(high - low):
            kind = flags[at]
            if kind & _EVENT:
                continue
            depth = depths[at] - base
            while len(stack) > depth:
                close(stack.pop())
            caller = stack[-1][0] if stack else 0
            function = numbers[name_of[at]]
            if not kind & _CALL:
                # A return whose call was not recorded: no call, but what is inside stays under
                # its caller.
                stack.append([caller, function, None, 0.0, False])
                running[function] = running.get(function, 0) + 1
                continue
            path = kids.get((caller, function))
            if path is None:
                path = kids[(caller, function)] = len(parents)
                parents.append(caller)
                functions.append(function)
                calls.append(0)
                totals.append(0.0)
                selfs.append(0.0)
            start, end = starts[at], ends[at]
            returned = kind & _RETURN and end == end
            spent = (end if returned else last) - start
            again = (low + at) in resumed
            calls[path] += not again
            totals[path] += spent
            selfs[path] += spent
            if caller:
                selfs[caller] -= spent
            row = stats.get(function)
            if row is None:
                row = stats[function] = [0, 0, 0, 0, 0.0, 0.0, (thread_number, low + at)]
            outer = not running.get(function)
            running[function] = running.get(function, 0) + 1
            row[0] += not again
            row[1] += outer and not again
            if returned:
                row[2] += not again
                if outer:
                    row[3] += not again
                    row[4] += spent
            stack.append([path, function, spent if returned else None, 0.0, outer])
        while stack:
            close(stack.pop())

    def tree(self, root=0, smallest=_SMALLEST, limit=_PATH_LIMIT):
        """The paths under root (root included) whose time is at least smallest of root's, at
        most limit of them, the longest first: [path, caller, function, calls, total, self], and
        how many paths under root are left out."""
        if not 0 <= root < len(self.parents):
            raise KeyError(root)
        least = self.totals[root] * smallest
        shown, waiting = [], [(-self.totals[root], root)]
        while waiting and len(shown) < limit:
            _, path = heapq.heappop(waiting)
            shown.append([path, self.parents[path], self.functions[path], self.calls[path], self.totals[path],
                          max(self.selfs[path], 0.0)])
            for kid in self.children[path]:
                if self.totals[kid] >= least and self.totals[kid] > 0:
                    heapq.heappush(waiting, (-self.totals[kid], kid))
        return shown, self._count(root) - len(shown)

    def _count(self, root):
        count, pending = 0, [root]
        while pending:
            path = pending.pop()
            count += 1
            pending.extend(self.children[path])
        return count

    def chain(self, path):
        """The paths from the scope down to path, outermost first, without the scope itself."""
        chain = []
        while path > 0:
            chain.append(path)
            path = self.parents[path]
        return chain[::-1]

    def table(self, sort="total", limit=_TABLE_LIMIT):
        """Per function, in the order of sort: [name, where, calls, total, own, mean], at most
        limit of them; and how many functions there are."""
        key, largest_first = SORTS[sort]
        rows = []
        for function, (calls, _, returned, timed, total, own, first) in self._stats.items():
            rows.append([self.names[function], first, calls, total if timed else None,
                         own if returned else None, total / timed if timed else None])
        rows.sort(key=lambda r: r[0])
        rows.sort(key=key, reverse=largest_first)
        shown = rows[:min(limit, _TABLE_LIMIT)]
        for row in shown:
            row[1] = self.where(*row[1])
        return shown, len(rows)

    def where(self, thread_number, node):
        """The file and line of a function, as its first call in scope has them."""
        key = (thread_number, node)
        if key not in self._where:
            path = self._threads[thread_number].args(node).get("path")
            self._where[key] = path if isinstance(path, str) else "?"
        return self._where[key]


def _resumed(thread, low, name_of, flags):
    """The nodes (numbered from low, as name_of and flags are) that are a generator's stretches
    after its first. Only their args tell, so those are read for the functions whose first call
    yielded or was resumed: the generators and coroutines."""
    first = {}
    for at, number in enumerate(name_of):
        if number not in first and flags[at] & _CALL:
            first[number] = at
    generators = set()
    for number, at in first.items():
        args = thread.args(low + at)
        if "yielded" in args or args.get("resumed") is True:
            generators.add(number)
    if not generators:
        return set()
    return {low + at for at, number in enumerate(name_of)
            if number in generators and flags[at] & _CALL and thread.args(low + at).get("resumed") is True}
