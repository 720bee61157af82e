"""A trace's calls handed to a Collector as they end, one record at a time: what is held at once is
the calls open in each thread (the arguments of those that may become cases) and the cases the
Collector keeps, never the trace's records.

Two passes over the trace: the first learns what every case may need before any is made (the
modules of the recorded functions, where a function value is looked for; the module name of the
recorded script; the order of the threads), the second makes the cases.
"""

import itertools

from vesk.generate_tests.cases import READS_OUTSIDE, did_io
from vesk.view.choose import function_name
from vesk.view.trace import read_trace
from vesk.view.tree import Open, TreeWalker
from vesk.view.values import resolve_same

__all__ = ["collect"]
_MAIN_RECORDS = 50  # where in a thread the recorded script's module frame is looked for


class _Names:
    """The first pass over a thread: the functions it calls, and the recorded script's file."""

    __slots__ = ("number", "names", "seen", "main_file")

    def __init__(self, number, names):
        self.number = number
        self.names = names  # (qualname, co_name) of every call, shared by the threads
        self.seen = 0
        self.main_file = None

    def feed(self, record):
        if record.get("event") == "call":
            self.names.add((record.get("qualname"), record.get("co_name")))
        if self.seen < _MAIN_RECORDS:
            self.seen += 1
            if self.main_file is None and record.get("qualname") == "__main__.<module>":
                path = (record.get("locals") or {}).get("__file__")
                if isinstance(path, str) and path.endswith(".py"):
                    self.main_file = path

    def finish(self):
        pass


class _Skip:
    def feed(self, record):
        pass

    def finish(self):
        pass


def _where(record):
    """(path, name) of the function of a frame record, as view.tree.Node tells them."""
    path = record.get("path")
    return path if path.__class__ is str else None, function_name(record)


class _Call(Open):
    """A call open in a thread. Only a call that may become a case keeps its records."""

    __slots__ = ("qualname", "path", "name", "seq", "dotted", "record", "ret", "exception", "inner")

    def __init__(self, start, record, seq, dotted):
        self.frame_id = self.end = self.last = None
        self.start = start
        qualname = record.get("qualname")
        self.qualname = qualname if qualname.__class__ is str else None
        self.path, self.name = _where(record)
        self.seq = seq  # its place among the thread's calls: the order of the cases
        self.dotted = dotted  # the function's name, when it may become a case
        self.record = record if dotted is not None else None
        self.ret = None
        self.exception = None  # the record of the exception that left it
        # Why it cannot be repeated, from what ran inside it: the last such thing to end, as the
        # collector would find it looking through the call's finished tree.
        self.inner = None

    @property
    def call_site_line(self):
        site = self.record.get("user_code_call_site")
        line = site.get("line_number") if isinstance(site, dict) else None
        return line if type(line) is int else None

    @property
    def arguments(self):
        local = _resolved(self.record)["locals"]
        return local if isinstance(local, dict) else {}

    @property
    def return_value(self):
        return _resolved(self.ret)["arg"]

    @property
    def returned_locals(self):
        local = _resolved(self.ret)["locals"]
        return local if isinstance(local, dict) else {}


def _resolved(record):
    """A record's arg and locals, each object written once and referred to again in them as it
    was written: the values a test is made of."""
    return resolve_same({"arg": record.get("arg"), "locals": record.get("locals")})


class _Wrapper:
    """A return at top level whose call was not recorded: the caller of every call before it."""

    __slots__ = ("path", "name")

    def __init__(self, record):
        self.path, self.name = _where(record)


class _Cases(TreeWalker):
    """The second pass over a thread: each call that may become a case, with its return and what
    ran inside it, goes to the collector when it ends."""

    def __init__(self, collector, order):
        TreeWalker.__init__(self)
        self.collector = collector
        self.order = order  # the thread's place among the traces' threads
        self.calls = 0
        self.open_cases = 0  # calls open that may become cases: what ran inside matters
        self.tops = []  # cases made of top-level calls since the last _Wrapper

    def called(self, record, start, depth):
        dotted = self.collector.wanted(record)
        call = _Call(start, record, self.calls, dotted or None)
        self.calls += 1
        if dotted:
            self.open_cases += 1
        return call

    def fact(self, call, record):
        if call.record is not None and record.get("type") == "exception":
            call.exception = record

    def returned(self, call, record):
        call.ret = record
        self._ended(call)

    def left(self, call):
        self._ended(call)

    def _ended(self, call):
        stack = self.stack
        caller = stack[-1] if stack else None
        if call.record is not None:
            self.open_cases -= 1
            case = self.collector.add_call(call, caller, (self.order, call.seq))
            if case is not None and caller is None:
                self._top(case, call.call_site_line)
            call.record = call.ret = call.exception = None
        if caller is not None and self.open_cases:
            if self.collector.reads_outside(call.qualname):
                caller.inner = READS_OUTSIDE
            elif call.inner is not None:
                caller.inner = call.inner

    def event(self, record, start, depth):
        if self.open_cases and self.stack:
            self.stack[-1].inner = did_io(record) or self.stack[-1].inner

    def leaf(self, record, start, depth):
        if self.open_cases and self.collector.reads_outside(record.get("qualname")):
            self.stack[-1].inner = READS_OUTSIDE

    def wrapped(self, record, start):
        # The calls before it were made in it: their cases say so, as those made later in a
        # recorded call do.
        wrapper = _Wrapper(record)
        for case, line in self.tops:
            case.site = self.collector.site(line, wrapper)
            if case.variant is not None:
                case.variant.site = case.site
        self.tops = []

    def _top(self, case, line):
        if len(self.tops) >= 2 * self.collector.kept + 16:  # what is no longer kept needs no site
            self.tops = [(c, n) for c, n in self.tops if c.holds]
        self.tops.append((case, line))


def _threads(one, make, again=None):
    """The threads of one trace, each read by a walker of make(number): a view.trace.Trace whose
    threads' records are loaded, or a StoredTrace read part by part. Returns the Trace read and the
    walkers of its threads, in their order. A pass over a StoredTrace may begin again (a part
    whose records did not all decode is read whole): again() is called then, before it does."""
    if hasattr(one, "threads"):
        walkers = []
        for number, thread in enumerate(one.threads):
            walker = make(number)
            for record in thread.records:
                if record.__class__ is dict:
                    walker.feed(record)
            walker.finish()
            walkers.append(walker)
        return one, walkers

    passes = itertools.count()

    def start():
        if next(passes) and again is not None:
            again()
        numbers = itertools.count()
        return lambda: make(next(numbers))

    trace = read_trace(one, start)
    return trace, [thread.walker for thread in trace.threads]


def collect(traces, collector_for, thread=None):
    """Makes the cases of the traces (view.trace.Trace or StoredTrace), in two passes. Only the
    threads named thread are read the second time, or all when none is. collector_for(main
    module) makes the Collector once the first pass has found the recorded script's module.
    Returns (the first trace read, the Collector)."""
    names, passes = set(), []
    for one in traces:
        read, walkers = _threads(one, lambda number: _Names(number, names))
        order = {walker.number: place for place, walker in enumerate(walkers)}
        named = {w.number for w in walkers if thread is not None and read.threads[order[w.number]].name == thread}
        passes.append((read, walkers, order, named))
    main_file = next((w.main_file for w in passes[0][1] if w.main_file is not None), None) if passes else None
    collector = collector_for(main_file)
    for qualname, co_name in names:
        collector.resolver.saw(qualname, co_name)
    names.clear()
    for index, (one, (read, _, order, named)) in enumerate(zip(traces, passes)):
        def make(number, index=index, order=order, named=named):
            if named and number not in named:
                return _Skip()
            return _Cases(collector, (index, order[number]))

        counts = collector.counts()
        _threads(one, make, lambda index=index, counts=counts: collector.rewind(index, counts))
    return (passes[0][0] if passes else None), collector
