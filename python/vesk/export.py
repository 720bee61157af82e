"""Export of a trace to the Chrome Trace Event format, the JSON that Perfetto
UI, chrome://tracing and speedscope open.

One process; one track per recorded thread, named after the thread; a
complete ("X") event per call and an instant ("i") event per plugin record.
Viewers reject or misdraw a track whose events overlap without nesting, and
recorded timestamps need not agree with the nesting (threads of one process
read the clock separately, and a call whose return is missing has no end), so
every interval is clamped into its parent and after its previous sibling.

Times are whole nanoseconds internally, so that the clamping is exact, and
microseconds (the format's unit) in the file.
"""

import datetime
import json
import math
import os

from vesk.view import format_value

__all__ = ["export_chrome"]

PID = 1
_PROGRESS_EVERY = 5000  # nodes between two progress calls
_FLUSH_EVERY = 1000  # events per write
_STRING_LIMIT = 200  # characters of a string argument
_VALUE_LIMIT = 200  # characters of the text of any other value
_SAFE_INT = 1 << 53  # larger ints lose digits in a JSON reader's doubles


def export_chrome(trace, out_file, progress=None):
    """Write trace (a vesk.view.Trace) as Chrome Trace Event JSON to
    out_file, a path or a text file object. Calls progress(done, total) from
    time to time with counts of records. Returns the number of events."""
    if hasattr(out_file, "write"):
        return _write(trace, out_file, progress)
    path = os.fspath(out_file)
    created = not os.path.exists(path)
    try:
        with open(path, "w", encoding="utf-8") as out:
            return _write(trace, out, progress)
    except BaseException:
        # Half a JSON file only misleads the next viewer that opens it.
        if created and os.path.isfile(path):
            os.unlink(path)
        raise


def _timestamp(record):
    ts = record.get("timestamp") if isinstance(record, dict) else None
    return ts if type(ts) in (int, float) and math.isfinite(ts) else None


def _thread_ids(threads):
    """A distinct tid per thread: its native id, unless another thread of the
    trace had it first or it is missing."""
    used = {t.native_id for t in threads if type(t.native_id) is int}
    next_free = max(used, default=0) + 1
    tids, taken = [], set()
    for thread in threads:
        tid = thread.native_id
        if type(tid) is not int or tid in taken:
            tid = next_free
            next_free += 1
        taken.add(tid)
        tids.append(tid)
    return tids


def _iso(ts):
    try:
        return datetime.datetime.fromtimestamp(ts, datetime.timezone.utc).isoformat()
    except (OverflowError, OSError, ValueError):
        return ""


def _json_value(value):
    """value as JSON: scalars as they are, anything else as bounded text."""
    t = type(value)
    if value is None or t is bool:
        return value
    if t is int and -_SAFE_INT <= value <= _SAFE_INT:
        return value
    if t is float and math.isfinite(value):
        return value
    if t is str:
        return value if len(value) <= _STRING_LIMIT else value[: _STRING_LIMIT - 1] + "…"
    return format_value(value, _VALUE_LIMIT)


def _call_args(node):
    args = {}
    if node.path is not None:
        args["path"] = node.path
    if node.call_site_line is not None:
        args["called_from_line"] = node.call_site_line
    arguments = node.arguments
    if arguments is not None and node.record.get("co_name") != "<module>":
        args["arguments"] = {str(k): _json_value(v) for k, v in arguments.items()}
    if node.finished:
        args["return_value"] = _json_value(node.return_value)
    if node.call is None:
        args["note"] = "call not recorded: it started before the time shown"
    elif not node.finished:
        args["note"] = "no return recorded: shown up to the thread's last record"
    return args


def _event_args(record):
    skip = {"timestamp", "thread", "thread_native_id", "type"}
    return {str(k): _json_value(v) for k, v in record.items() if k not in skip}


def _write(trace, out, progress):
    dump = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode
    timestamps = [ts for t in trace.threads for ts in map(_timestamp, t.records) if ts is not None]
    origin = min(timestamps, default=0.0)

    def ns(ts):
        return round((ts - origin) * 1e9)

    total = trace.record_count
    done = since_report = 0
    count = 0
    buffer = []

    def emit(event):
        nonlocal count
        buffer.append(dump(event))
        count += 1
        if len(buffer) >= _FLUSH_EVERY:
            flush()

    def flush():
        out.write((",\n" if flushed[0] else "") + ",\n".join(buffer))
        flushed[0] = True
        buffer.clear()

    flushed = [False]
    out.write('{"traceEvents":[\n')
    emit({"ph": "M", "name": "process_name", "pid": PID, "tid": 0, "ts": 0,
          "args": {"name": f"vesk: {trace.source or trace.trace_id}"}})
    tids = _thread_ids(trace.threads)
    for index, (thread, tid) in enumerate(zip(trace.threads, tids)):
        emit({"ph": "M", "name": "thread_name", "pid": PID, "tid": tid, "ts": 0, "args": {"name": thread.name}})
        emit({"ph": "M", "name": "thread_sort_index", "pid": PID, "tid": tid, "ts": 0, "args": {"sort_index": index}})

    for thread, tid in zip(trace.threads, tids):
        own = [ts for ts in map(_timestamp, thread.records) if ts is not None]
        first = ns(min(own)) if own else 0
        last = ns(max(own)) if own else 0
        # Per level: remaining siblings (reversed), the parent's interval,
        # and the end of the previous sibling.
        pending = [[list(reversed(thread.roots)), first, math.inf, first]]
        while pending:
            level = pending[-1]
            siblings = level[0]
            if not siblings:
                pending.pop()
                continue
            node = siblings.pop()
            low, high = max(level[1], level[3]), level[2]
            start = min(max(ns(node.start), low), high)

            if node.is_event:
                record = node.record
                name = str(record.get("type"))
                if isinstance(record.get("subtype"), str):
                    name += "/" + record["subtype"]
                emit({"ph": "i", "s": "t", "name": name, "cat": "plugin", "pid": PID, "tid": tid,
                      "ts": start / 1000, "args": _event_args(record)})
                level[3] = start
                done += 1
            else:
                end = ns(node.end) if node.finished else last
                end = min(max(end, start), high)
                emit({"ph": "X", "name": node.name, "cat": "call", "pid": PID, "tid": tid,
                      "ts": start / 1000, "dur": (end - start) / 1000, "args": _call_args(node)})
                level[3] = end
                if node.children:
                    pending.append([list(reversed(node.children)), start, end, start])
                done += (node.call is not None) + (node.ret is not None)
            since_report += 1
            if progress is not None and since_report >= _PROGRESS_EVERY:
                since_report = 0
                progress(min(done, total), total)

    if buffer:
        flush()
    other = {
        "trace_id": str(trace.trace_id),
        "source": str(trace.source or ""),
        "command_line": " ".join(trace.command_line_args),
        "commit": str(trace.commit or ""),
        "started": "" if trace.started is None else _iso(trace.started),
        "vesk_version": str(trace.version or ""),
        "records": str(trace.record_count),
    }
    out.write('\n],"displayTimeUnit":"ms","otherData":' + dump(other) + "}\n")
    if progress is not None:
        progress(total, total)
    return count
