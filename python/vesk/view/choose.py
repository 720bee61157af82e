"""What a reading command reads: which traces of the database (an id or a prefix of one, the
latest trace of a test, the latest trace) and which threads of a trace."""

import fnmatch
import sys

from vesk import db
from vesk.filters import secrets
from vesk.utils import CommandError
from vesk.view.values import clean

__all__ = ["matches", "summaries", "test_traces", "chosen_trace", "only_threads", "chosen", "function_name", "thread_name", "Skip"]


def matches(text, pattern):
    """pattern is found in text as it stands, or matches it whole as a glob when it has any of
    * ? [ ]. Taken as it stands first: a pytest node id holds brackets of its own
    (test_edge.py::test_param[1]), which copied whole must find its test."""
    if pattern in text:
        return True
    return any(c in pattern for c in "*?[") and fnmatch.fnmatchcase(text, pattern)


def summaries(path):
    try:
        return db.list_traces(path)
    except FileNotFoundError:
        raise CommandError(f"no trace database at {path}: record something first with "
                           f"`vesk run`") from None


def test_traces(path, pattern):
    """The summaries of the test traces whose node id matches pattern, newest first; a
    CommandError when there are none."""
    # Stored ids have their secrets taken out (secrets.redacted_inside): one copied from pytest's
    # output finds its test too.
    patterns = dict.fromkeys([pattern, secrets.redacted_inside(pattern)])
    found = [s for s in summaries(path) if s.test_nodeid and any(matches(s.test_nodeid, p) for p in patterns)]
    if not found:
        raise CommandError(f"no test trace matches {pattern!r} in {path}")
    return found


def chosen_trace(options):
    """The trace id asked for: given, or the latest test trace whose node id matches --test, or
    None for the latest trace."""
    pattern = getattr(options, "test", None)
    if pattern is None:
        return options.trace_id
    if options.trace_id is not None:
        raise CommandError("give a trace id or --test, not both", status=2)
    found = test_traces(options.db, pattern)
    tests = {s.test_nodeid for s in found}
    if len(tests) > 1:
        print(f"vesk: {len(tests)} tests match {pattern!r}; showing the latest, "
              f"{clean(str(found[0].test_nodeid))}", file=sys.stderr)
    return found[0].trace_id


def function_name(record):
    """The qualified name of a frame record's function, or its code's name."""
    for key in ("qualname", "co_name"):
        value = record.get(key)
        if value.__class__ is str and value:
            return value
    return "?"


def thread_name(record):
    """The name a record gives its thread, as read_trace groups records."""
    name = record.get("thread")
    return name if name.__class__ is str else "?"


class Skip:
    """The walker of a thread nobody asked for: its records are dropped."""

    def feed(self, record):
        pass

    def finish(self):
        pass


class _FirstRecord:
    """A thread's walker, which its first record chooses."""

    __slots__ = ("pattern", "new_walker", "walker")

    def __init__(self, pattern, new_walker):
        self.pattern = pattern
        self.new_walker = new_walker
        self.walker = None

    def feed(self, record):
        walker = self.walker
        if walker is None:
            wanted = matches(thread_name(record), self.pattern)
            walker = self.walker = self.new_walker() if wanted else Skip()
        walker.feed(record)

    def finish(self):
        if self.walker is not None:
            self.walker.finish()


def only_threads(pattern, new_walker):
    """A new_walker for read_trace that gives the threads whose name matches pattern (all of
    them when it is None) a walker of new_walker, and drops the records of the others. After the
    pass, chosen(trace) keeps the threads given a walker, with theirs in place of this one's."""
    if pattern is None:
        return new_walker
    return lambda: _FirstRecord(pattern, new_walker)


def chosen(trace):
    """The threads of a trace read with only_threads that were given a walker of their own, with
    that walker in place."""
    kept = []
    for thread in trace.threads:
        walker = thread.walker
        if isinstance(walker, _FirstRecord):
            walker = walker.walker
            if walker is None or isinstance(walker, Skip):
                continue
            thread.walker = walker
        kept.append(thread)
    trace.threads = kept
    return trace
