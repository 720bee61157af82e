"""A node's records found by their time, reading only the parts of the trace they lie in, so
that a call late in a big trace is read as quickly as an early one.

Parts hold a thread's records in the order they were recorded, so the part of a record with
timestamp t is the last one whose first record of that thread is no later than t. A node is
found by its timestamp, its name and, among nodes of the same timestamp and name, its place.
"""

import math

from vesk import _vesk
from vesk.export import _CALL, _EVENT, _event_name
from vesk.serialize import load_msgpack
from vesk.view.choose import function_name
from vesk.view.trace import unpack
from vesk.view.tree import is_fact

__all__ = ["part_starts", "seek"]


def part_starts(stored):
    """Per part of stored: {(thread name, native id): timestamp of its first record}, read
    natively; None when a part cannot be read so."""
    starts = []
    for blob in stored.parts():
        skim = _vesk.Skim(unpack, depth=1, limit=1)
        if not skim.feed_part(blob):
            return None
        starts.append({(name, native_id): first for name, native_id, _, first in skim.finish()})
    return starts


def _records(part, thread):
    for records in [part.get("frames_of_interest"), *(part.get("frames") or {}).values()]:
        for record in records if isinstance(records, list) else ():
            if isinstance(record, dict) and record.get("thread") == thread.name and \
                    record.get("thread_native_id", thread.native_id) == thread.native_id:
                yield record


def _is_node(record, name, flags):
    if flags & _EVENT:
        return record.get("type", "frame") != "frame" and _event_name(record) == name
    wanted = "call" if flags & _CALL else "return"
    return record.get("type", "frame") == "frame" and record.get("event") == wanted and function_name(record) == name


def seek(stored, starts, thread, node):
    """(call record, return record, facts) of node of thread (an index.ThreadTrack); the call or
    a plugin record as the first, either of the first two None when not recorded. None when not
    found so."""
    flags, name = thread.flags[node], thread.names[thread.name_of[node]]
    at = thread.starts[node] if flags & (_CALL | _EVENT) else thread.ends[node]
    before = 0  # nodes of the same time and name before it
    other = node - 1
    while other >= 0 and thread.starts[other] == thread.starts[node]:
        before += thread.name_of[other] == thread.name_of[node] and thread.flags[other] == flags
        other -= 1
    key = (thread.name, thread.native_id)

    def part_of(ts):
        return max((n for n, part in enumerate(starts) if part.get(key) is not None and part[key] <= ts), default=0)

    first = part_of(at)
    found, frame_id, facts = None, None, []
    for number, blob in enumerate(stored.parts()):
        if number < first:
            continue
        for record in _records(load_msgpack(blob), thread):
            if found is None:
                if record.get("timestamp") == at and _is_node(record, name, flags):
                    if before:
                        before -= 1
                        continue
                    found = record
                    if flags & _EVENT or not flags & _CALL:
                        return (found, None, []) if flags & _EVENT else (None, found, [])
                    frame_id = record.get("frame_id")
                    if not isinstance(frame_id, str) or math.isnan(thread.ends[node]):
                        return found, None, []  # no return to look for
                    # Its return may be many parts on. A generator's resumption is recorded as it
                    # starts, an exception that left it or what it yielded just before its return,
                    # which a part may have ended between.
                    shown = thread.args(node)
                    if not shown.get("resumed"):
                        ending = part_of(thread.ends[node])
                        first = ending - 1 if "raised" in shown or "yielded" in shown else ending
                        if first > number:
                            break
                elif type(record.get("timestamp")) in (int, float) and record["timestamp"] > at:
                    return None  # past it: the walk over every record will tell
            elif record.get("frame_id") == frame_id:
                if record.get("type", "frame") == "frame" and record.get("event") == "return":
                    return found, record, facts
                if is_fact(record):
                    facts.append(record)
    return None
