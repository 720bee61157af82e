"""The viewer's JSON API: what the page asks of a trace, answered from its index, which is built
on first use and kept for the few traces looked at last."""

import collections
import threading

from vesk import _vesk, db
from vesk.ui.details import node_details
from vesk.ui.index import build_index
from vesk.ui.seek import part_starts
from vesk.view.trace import ViewError, open_trace, skim_trace, unpack

__all__ = ["Api", "ApiError"]

_KEPT = 2  # indexes of traces kept in memory
_KEPT_DETAILS = 256
_SEARCH_LIMIT = 500
_PAGE = 200
_COUNTED_SIZE = 4 << 20  # bytes stored of a trace whose threads the list counts


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
    def __init__(self, db_path):
        self.db_path = db_path
        self._indexes = collections.OrderedDict()  # trace id -> (StoredTrace, TraceIndex)
        self._details = collections.OrderedDict()
        self._counts = {}  # trace id -> threads
        self._starts = {}  # trace id -> seek.part_starts
        self._lock = threading.Lock()  # one index is built at a time: each takes the memory of one

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
                return {"threads": self._thread_count(parts[1])}
            stored, index = self._index(parts[1])
            if what is None:
                return self._trace(index)
            if what == "search":
                return self._search(index, query.get("q", ""))
            thread = self._thread(index, query)
            if what == "children":
                return self._children(thread, query)
            if what == "node":
                return self._node(stored, index, thread, query)
            if what == "flame":
                return self._flame(thread, query)
        raise ApiError(404, "no such API")

    def traces(self):
        try:
            summaries = db.list_traces(self.db_path)
        except FileNotFoundError:
            return []
        return [{"id": s.trace_id, "started": s.created_at, "source": s.source, "records": s.record_count,
                 "size": s.size, "parts": s.parts, "test": s.test_nodeid, "outcome": s.test_outcome}
                for s in summaries]

    def _thread_count(self, trace_id):
        """The trace's threads: from its index when built, read here when the trace is small,
        else None (the list shows it once the trace has been opened)."""
        with self._lock:
            if trace_id in self._indexes:
                return len(self._indexes[trace_id][1].threads)
            if trace_id in self._counts:
                return self._counts[trace_id]
        summary = next((s for s in db.list_traces(self.db_path) if s.trace_id == trace_id), None)
        if summary is None:
            raise ApiError(404, f"no trace {trace_id}")
        if summary.size > _COUNTED_SIZE:
            return None
        try:
            trace = skim_trace(open_trace(self.db_path, trace_id), lambda: _vesk.Skim(unpack, depth=1, limit=1),
                               lambda skim, index: None)
        except ViewError:
            return None
        with self._lock:
            self._counts[trace_id] = len(trace.threads)
        return len(trace.threads)

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
                _, (_, old) = self._indexes.popitem(last=False)
                old.close()
            try:
                built = self._indexes[trace_id] = (stored, build_index(stored))
            except ViewError as error:
                raise ApiError(500, str(error)) from None
            return built

    def _trace(self, index):
        trace = index.trace
        return {
            "id": trace.trace_id, "source": trace.source, "started": trace.started, "commit": trace.commit,
            "args": trace.command_line_args, "records": trace.record_count, "warnings": trace.warnings,
            "threads": [{"index": n, "name": t.name, "native_id": t.native_id, "is_main": t.is_main,
                         "records": t.record_count, "nodes": len(t), "low": t.low, "high": t.high}
                        for n, t in enumerate(index.threads)],
        }

    def _thread(self, index, query):
        number = _number(query, "thread", low=0)
        if number >= len(index.threads):
            raise ApiError(404, f"no thread {number}")
        return index.threads[number]

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
                "marks": [[node, at, thread.names[thread.name_of[node]]] for node, at in thread.marks(low, high)]}
