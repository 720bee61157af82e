"""What the trace list tells beyond db.list_traces: which traces one `pytest --vesk` session
recorded, and when each trace's last part was saved (which, less its first record's time, is
about how long it ran, until the trace is opened and its span is known).

A session's traces share the process that recorded them. pytest-xdist's workers are processes
of their own, which store nothing of the process that started them but record at the same time:
the traces of a process that began to save while another was saving, or within a moment of its
last save, are of that one's session."""

from vesk import db
from vesk.serialize import load_msgpack
from vesk.view.tree import is_number

__all__ = ["first_timestamp", "listed"]

# Seconds between the last save of one process and the first of another that still make them one
# session: a worker that ran one short test saves once, just after the others' last. A new
# pytest command takes longer than this to start, collect and run its first test.
_MOMENT = 0.5


def _sessions(summaries, saves):
    """Trace id -> the key of the pytest session it is a test of."""
    processes = {}  # pid -> [first save, last save, trace ids]
    for s in summaries:
        if s.source != "pytest" or s.test_nodeid is None or s.pid is None:
            continue
        last = saves.get(s.trace_id, s.created_at)
        process = processes.setdefault(s.pid, [s.created_at, last, []])
        process[0], process[1] = min(process[0], s.created_at), max(process[1], last)
        process[2].append(s.trace_id)
    keys, session = {}, None
    for pid, (first, last, traces) in sorted(processes.items(), key=lambda item: item[1][0]):
        if session is None or first > session[1] + _MOMENT:
            session = [f"{pid}@{first:.3f}", last]
        session[1] = max(session[1], last)
        keys.update(dict.fromkeys(traces, session[0]))
    return keys


def listed(db_path):
    """db.list_traces, and per trace its session's key (None: not a test of a pytest session)
    and its last save."""
    summaries = db.list_traces(db_path)
    saves = db.last_saves(db_path)
    sessions = _sessions(summaries, saves)
    return [(s, sessions.get(s.trace_id), saves.get(s.trace_id, s.created_at)) for s in summaries]


def first_timestamp(blob):
    """The earliest timestamp of the records of a part (its MessagePack), decoded here: for the
    parts that the native reader leaves to Python."""
    part = load_msgpack(blob)
    if not isinstance(part, dict):
        return None
    frames = part.get("frames")
    found = None
    for records in [part.get("frames_of_interest"), *(frames.values() if isinstance(frames, dict) else ())]:
        for record in records if isinstance(records, list) else ():
            ts = record.get("timestamp") if isinstance(record, dict) else None
            if is_number(ts) and (found is None or ts < found):
                found = ts
    return found
