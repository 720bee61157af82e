"""The viewer's JSON API: what the page asks of a trace, answered from its index, which is built
on first use and kept for the few traces looked at last."""

import collections
import os
import threading

from vesk import _vesk, db
from vesk.export import _EVENT
from vesk.ui.aggregate import SORTS, Profile
from vesk.ui.details import node_details
from vesk.ui.focus import busy_span
from vesk.ui.index import build_index
from vesk.ui.listing import first_timestamp, listed
from vesk.ui.seek import part_starts
from vesk.view.trace import ViewError, open_trace, skim_trace, unpack

__all__ = ["Api", "ApiError"]

_KEPT = 2  # indexes of traces kept in memory
_KEPT_DETAILS = 256
_SEARCH_LIMIT = 500
_PAGE = 200
_COUNTED_SIZE = 4 << 20  # bytes stored of a trace whose threads the list counts
_KEPT_PROFILES = 8
_MARK_TEXT = 200
_HEAVY = 2


class ApiError(Exception):
    """A request that cannot be answered: its HTTP status and a one-line message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def _number(query, key, default=None, low=None):
    text = query.get(key)
    if text is None:
        if default is None:
            raise ApiError(400, f"missing {key}")
        return default
    try:
        value = float(text) if "." in text or "e" in text else int(text)
    except ValueError:
        raise ApiError(400, f"{key}: not a number: {text!r}") from None
    if value != value or (low is not None and value < low):
        raise ApiError(400, f"{key}: out of range: {text!r}")
    return value


class Api:
    def __init__(self, db_path, roots=None):
        self.db_path = db_path
        self.roots = roots  # where a test for a call imports the program's modules from
        self._indexes = collections.OrderedDict()  # trace id -> (StoredTrace, TraceIndex)
        self._details = collections.OrderedDict()
        self._counts = {}  # trace id -> threads
        self._starts = {}  # trace id -> seek.part_starts
        self._profiles = collections.OrderedDict()  # (trace id, thread or None, node or None) -> Profile
        self._focus = {}  # trace id -> focus.busy_span
        self._profiling = threading.Lock()  # one profile is made at a time, for the same reason
        self._lock = threading.Lock()  # one index is built at a time: each takes the memory of one
        # Reads of whole traces for a list, and tests written for calls, at most this many at once:
        # many rows or clicks at a time must not take the machine's memory and cores.
        self._heavy = threading.BoundedSemaphore(_HEAVY)

    def close(self):
        with self._lock:
            for _, index in self._indexes.values():
                index.close()
            self._indexes.clear()

    def answer(self, parts, query):
        """The JSON-ready answer to /api/<parts...>?query."""
        if parts == ["traces"]:
            return self.traces()
        if len(parts) >= 2 and parts[0] == "trace":
            what = parts[2] if len(parts) > 2 else None
            if what == "threads":
                return self._thread_count(parts[1])
            stored, index = self._index(parts[1])
            if what is None:
                return self._trace(index)
            if what == "search":
                return self._search(index, query.get("q", ""))
            if what == "profile":
                return self._profile(index, query)
            thread = self._thread(index, query)
            if what == "children":
                return self._children(thread, query)
            if what == "node":
                return self._node(stored, index, thread, query)
            if what == "flame":
                return self._flame(thread, query)
            if what == "test":
                raise ApiError(405, "a test for a call is asked for with POST, by the viewer's own page")
        raise ApiError(404, "no such API")

    def act(self, parts, params):
        """The answer to POST /api/<parts...>: what is more than a read of the trace."""
        if len(parts) == 3 and parts[0] == "trace" and parts[2] == "test":
            stored, index = self._index(parts[1])
            return self._test(stored, self._thread(index, params), params)
        raise ApiError(404, "no such API")

    def traces(self):
        try:
            found = listed(self.db_path)
        except FileNotFoundError:
            return []
        return [{"id": s.trace_id, "started": s.started, "source": s.source, "records": s.record_count,
                 "size": s.size, "parts": s.parts, "test": s.test_nodeid, "outcome": s.test_outcome,
                 "pid": s.pid, "session": session, "saved": saved, "host": s.host, "user": s.user,
                 "labels": [f"{key}={value}" for key, value in sorted(s.labels.items())], "ci_job": s.ci_job}
                for s, session, saved in found]

    def _thread_count(self, trace_id):
        """The trace's threads and how long it ran: from its index when built (exact), read here
        when the trace is small (its last save less its first record), else None (the list shows
        them once the trace has been opened)."""
        with self._lock:
            if trace_id in self._indexes:
                threads = self._indexes[trace_id][1].threads
                lows = [t.low for t in threads if t.low is not None]
                highs = [t.high for t in threads if t.high is not None]
                return {"threads": len(threads), "duration": max(highs) - min(lows) if lows else None,
                        "exact": True}
            if trace_id in self._counts:
                return self._counts[trace_id]
        found = next((item for item in listed(self.db_path) if item[0].trace_id == trace_id), None)
        if found is None:
            raise ApiError(404, f"no trace {trace_id}")
        summary, _, saved = found
        counted = {"threads": None, "duration": None, "exact": False}
        if summary.size > _COUNTED_SIZE:
            # Too big to read here: when its recording began, as its first part says, will do.
            if summary.started_at is not None:
                counted["duration"] = max(saved - summary.started_at, 0.0)
            return counted
        with self._heavy:
            return self._count_threads(trace_id, counted, saved)

    def _count_threads(self, trace_id, counted, saved):
        stored = open_trace(self.db_path, trace_id)
        try:
            starts = part_starts(stored)
            if starts is None:  # a part that only Python reads, as it reads the first one here
                counted["threads"] = len(skim_trace(stored, lambda: _vesk.Skim(unpack, depth=1, limit=1),
                                                    lambda skim, index: None).threads)
                parts = stored.parts()
                try:
                    first = first_timestamp(next(parts))
                finally:
                    parts.close()
            else:
                counted["threads"] = len({key for part in starts for key in part})
                first = min((ts for ts in starts[0].values() if ts is not None), default=None) if starts else None
        except (ViewError, ValueError, TypeError):
            return counted
        if first is not None:
            counted["duration"] = max(saved - first, 0.0)
        with self._lock:
            self._counts[trace_id] = counted
        return counted

    def _index(self, trace_id):
        with self._lock:
            if trace_id in self._indexes:
                self._indexes.move_to_end(trace_id)
                return self._indexes[trace_id]
            try:
                stored = open_trace(self.db_path, trace_id)
            except ViewError as error:
                raise ApiError(404, str(error)) from None
            if stored.trace_id != trace_id:
                raise ApiError(404, f"no trace {trace_id}")  # no prefixes: ids come from the list
            while len(self._indexes) >= _KEPT:
                gone, (_, old) = self._indexes.popitem(last=False)
                old.close()
                with self._profiling:  # they read the names of files from its spill
                    for key in [k for k in self._profiles if k[0] == gone]:
                        del self._profiles[key]
            try:
                built = self._indexes[trace_id] = (stored, build_index(stored))
            except ViewError as error:
                raise ApiError(500, str(error)) from None
            return built

    def _trace(self, index):
        trace = index.trace
        summary = next((s for s in db.list_traces(self.db_path) if s.trace_id == trace.trace_id), None)
        with self._lock:
            if trace.trace_id not in self._focus:
                self._focus[trace.trace_id] = busy_span(index.threads)
            focus = self._focus[trace.trace_id]
        return {
            "id": trace.trace_id, "source": trace.source, "started": trace.started, "commit": trace.commit,
            "args": trace.command_line_args, "records": trace.record_count, "warnings": trace.warnings,
            "test": summary and summary.test_nodeid, "outcome": summary and summary.test_outcome,
            "focus": focus,
            "threads": [{"index": n, "name": t.name, "native_id": t.native_id, "is_main": t.is_main,
                         "records": t.record_count, "nodes": len(t), "low": t.low, "high": t.high}
                        for n, t in enumerate(index.threads)],
        }

    def _thread(self, index, query):
        return index.threads[self._threads_number(index, query)]

    def _node_number(self, thread, query, key="node", low=0):
        number = _number(query, key, low=low)
        if number >= len(thread):
            raise ApiError(404, f"no node {number}")
        return number

    def _children(self, thread, query):
        node = self._node_number(thread, query, low=-1)
        first = query.get("first")
        if first is not None:
            first = self._node_number(thread, query, "first")
            if thread.parents[first] != node:
                raise ApiError(400, f"node {first} is not a child of {node}")
        limit = min(_number(query, "limit", _PAGE, low=1), 2000)
        nodes, after = thread.children(node, first, limit)
        return {"nodes": [thread.summary(n) for n in nodes], "next": after}

    def _node(self, stored, index, thread, query):
        node = self._node_number(thread, query)
        summary = thread.summary(node)
        summary["ancestors"] = [{"id": a, "name": thread.names[thread.name_of[a]]} for a in thread.ancestors(node)]
        key = (stored.trace_id, index.threads.index(thread), node)
        if query.get("full") == "1":
            details = self._details.get(key)
            if details is None:
                try:
                    details = node_details(stored, thread, node, self._part_starts(stored))
                except Exception as error:  # noqa: BLE001 - a file from elsewhere: that call only
                    message = " ".join(f"{type(error).__name__}: {error}".split())[:300]
                    raise ApiError(422, f"the records of call {node} cannot be shown: {message}") from None
                with self._lock:
                    self._details[key] = details
                    while len(self._details) > _KEPT_DETAILS:
                        self._details.popitem(last=False)
            summary["details"] = details
        return summary

    def _test(self, stored, thread, query):
        """The pytest module that repeats one recorded call, or why that call cannot be one. It
        is written by a process of its own: the viewer runs none of the program's code."""
        from vesk.generate_tests import children_started
        from vesk.generate_tests.isolated import IsolatedFailed, test_source_isolated

        frame_id = query.get("frame", "")
        if not frame_id.startswith("frm_"):
            raise ApiError(400, "give the frame id of a call")
        with self._heavy:
            try:
                return test_source_isolated(stored.parts(), stored.trace_id, thread.name, frame_id,
                                            children_started(self.db_path, stored.trace_id),
                                            self.roots or [os.getcwd()])
            except IsolatedFailed as error:
                raise ApiError(500, str(error)) from None

    def _part_starts(self, stored):
        starts = self._starts.get(stored.trace_id, False)
        if starts is False:
            starts = part_starts(stored)
            with self._lock:
                self._starts[stored.trace_id] = starts
        return starts

    def _search(self, index, pattern):
        pattern = pattern.strip()
        if not pattern:
            raise ApiError(400, "give a function name to search for")
        found, total = [], 0
        for number, thread in enumerate(index.threads):
            hits, count = thread.search(pattern, _SEARCH_LIMIT - len(found))
            total += count
            found += [{"thread": number, "id": hit, "name": thread.names[thread.name_of[hit]],
                       "ancestors": thread.ancestors(hit)} for hit in hits]
        return {"matches": found, "total": total}

    def _flame(self, thread, query):
        low, high = float(_number(query, "low")), float(_number(query, "high"))
        width = _number(query, "width", 1000, low=1)
        if not high > low:
            raise ApiError(400, "high must be after low")
        boxes = thread.flame(low, high, (high - low) / width)
        return {"names": thread.names,
                "boxes": [[node, depth, start, end, thread.name_of[node]] for node, depth, start, end in boxes],
                "marks": [[node, at, thread.names[thread.name_of[node]], _mark_text(thread, node)]
                          for node, at in thread.marks(low, high)]}

    def _profile(self, index, query):
        """The calls of the trace, a thread, or a call, merged by call path from a path on (root),
        and the table of their functions."""
        scope = query.get("thread", "all")
        number = None if scope == "all" else self._threads_number(index, query)
        node = None
        if query.get("node") is not None:
            if number is None:
                raise ApiError(400, "a call is one thread's: give its thread")
            node = self._node_number(index.threads[number], query)
            if index.threads[number].flags[node] & _EVENT:  # a plugin record: no calls inside
                raise ApiError(400, f"node {node} is not a call")
        sort = query.get("sort", "total")
        if sort not in SORTS:
            raise ApiError(400, f"sort: one of {', '.join(SORTS)}, not {sort!r}")
        profile = self._profile_of(index, number, node)
        root = _number(query, "root", 0, low=0)
        if root >= len(profile.parents):
            raise ApiError(404, f"no path {root}")
        paths, hidden = profile.tree(root)
        # The names of the functions shown, numbered anew: a trace may have many more.
        shown = {}

        def numbered(function):
            return -1 if function < 0 else shown.setdefault(function, len(shown))

        for path in paths:
            path[2] = numbered(path[2])
        chain = [[p, numbered(profile.functions[p])] for p in profile.chain(root)]
        functions, count = profile.table(sort, _number(query, "limit", 200, low=1))
        return {"names": [profile.names[f] for f in shown], "root": root, "paths": paths, "hidden": hidden,
                "chain": chain, "scope": profile.totals[0], "functions": functions, "function_count": count,
                "sort": sort}

    def _threads_number(self, index, query):
        number = _number(query, "thread", low=0)
        if number >= len(index.threads):
            raise ApiError(404, f"no thread {number}")
        return number

    def _profile_of(self, index, number, node):
        if node is None and len(index.threads) == 1:
            number = None  # the thread is the trace: one profile for both
        key = (index.trace.trace_id, number, node)
        with self._profiling:
            profile = self._profiles.get(key)
            if profile is None:
                threads = list(enumerate(index.threads)) if number is None else [(number, index.threads[number])]
                profile = self._profiles[key] = Profile(threads, node)
                while len(self._profiles) > _KEPT_PROFILES:
                    self._profiles.popitem(last=False)
            self._profiles.move_to_end(key)
            return profile


def _mark_text(thread, node):
    """What a mark on the timeline says of its record when pointed at: its line, or its fields."""
    summary = thread.summary(node)
    text = summary.get("line")
    if text is None:
        text = " ".join(f"{k}={v}" for k, v in summary["args"].items() if k not in ("frame_id", "user_code_call_site"))
    return " ".join(text.split())[:_MARK_TEXT]
