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

Clamping makes every interval depend on the ends of all the calls around it,
and the events go out parents first, so nothing of a call can be written
before the outermost call around it ends, and a trace can be one call. So the
records are read once, and each node leaves only its times, place in the tree
and name in compact arrays, and the JSON of its arguments in a spill (in memory
while small, then a temporary file), written when it ends; the events are laid
out from those at the end. A stored trace is read natively (vesk._vesk.Skim),
which writes that JSON itself but for values other than None, bools, numbers
and text, which _Formatter writes for it.
"""

import array
import datetime
import itertools
import json
import math
import os
import tempfile

from vesk import _vesk
from vesk.view import format_value
from vesk.view.trace import ViewError, skim_trace, unpack
from vesk.filters.secrets import is_marker
from vesk.view.values import _is_cut, _is_fallback, format_exception, is_object, is_same
from vesk.view.tree import Open, TreeWalker

__all__ = ["export_chrome", "export_stored_trace"]

PID = 1
_PROGRESS_EVERY = 5000  # nodes between two progress calls
_FLUSH_EVERY = 1000  # events per write
_STRING_LIMIT = 200  # characters of a string argument
_VALUE_LIMIT = 200  # characters of the text of any other value
_SAFE_INT = 1 << 53  # larger ints lose digits in a JSON reader's doubles
_NESTED_DEPTH = 16  # levels of a plugin record's field written as JSON; recordings keep 12
_NESTED_VALUES = 10000  # values of one such field; recordings keep 512 (value_scale times)
_MAX_NS = 1 << 62  # nanoseconds of the longest span exported, about 146 years


def export_chrome(trace, out_file, progress=None):
    """Write trace (a vesk.view.Trace) as Chrome Trace Event JSON to
    out_file, a path or a text file object. Calls progress(done, total) from
    time to time with counts of records. Returns the number of events."""

    def write(out):
        with _Spill() as spill:
            tracks = []
            for thread in trace.threads:
                track = _Track(spill)
                for record in thread.records:
                    track.feed(record)
                track.finish()
                tracks.append(track)
            return _write(trace, tracks, spill, out, progress)

    return _writing(out_file, write)


def export_stored_trace(stored, out_file, progress=None):
    """export_chrome for a trace of the database (a vesk.view.StoredTrace),
    read in one pass over its parts."""
    spill = None

    def start():
        nonlocal spill
        if spill is not None:
            spill.close()  # of a pass that met a part it could not read
        spill = _Spill()
        return _vesk.Skim(unpack, formatter=_Formatter(spill))

    try:
        trace = skim_trace(stored, start, _SkimmedTrack)
        tracks = [thread.walker for thread in trace.threads]
        return _writing(out_file, lambda out: _write(trace, tracks, spill, out, progress))
    finally:
        if spill is not None:
            spill.close()


def _writing(out_file, write):
    if hasattr(out_file, "write"):
        return write(out_file)
    # Written beside the target under another name and renamed at the end: a reader never meets
    # half a JSON file, even after a kill, and what the trace holds (the program's values) is its
    # owner's alone, as the database is.
    path = os.fspath(out_file)
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            result = write(out)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
    return result


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


def _call_args(call, ret, facts=()):
    """The args of a call's event, from its call and return records (either may be None) and the
    records of how it ended (tree.is_fact); what Node reads of them, read directly: this runs once
    per call."""
    record = call if call is not None else ret
    args = _site_args(record, call is not None and record.get("co_name") != "<module>")
    if ret is not None:
        args["return_value"] = _json_value(ret.get("arg"))
    for fact in facts:
        if fact.get("type") == "exception":
            args.pop("return_value", None)
            args["raised"] = format_exception(fact, _VALUE_LIMIT)
            origin = fact.get("origin")
            if origin in ("raised", "callee"):
                args["raised_in"] = "this frame" if origin == "raised" else "a callee"
        elif fact.get("type") == "generator":
            if fact.get("resumed") is True:
                args["resumed"] = True
            if fact.get("yielded") is True and "return_value" in args:
                args["yielded"] = args.pop("return_value")
    if call is None:
        args["note"] = "call not recorded: it started before the time shown"
    elif ret is None:
        args["note"] = "no return recorded: shown up to the thread's last record"
    return args


def _site_args(record, with_arguments):
    """The args a call's event takes from its call record (or return record, when the call was
    not recorded)."""
    args = {}
    path = record.get("path")
    if isinstance(path, str):
        args["path"] = path
    site = record.get("user_code_call_site")
    if isinstance(site, dict):
        line = site.get("line_number")
        if type(line) is int:
            args["called_from_line"] = line
    if with_arguments:
        args["arguments"] = _arguments(record.get("locals"))
    return args


def _arguments(arguments):
    return {str(k): _json_value(v) for k, v in arguments.items()} if isinstance(arguments, dict) else {}


def _json_nested(value):
    """value as JSON, its maps and lists as JSON objects and arrays (a key other than a text as its
    text), what is neither as _json_value writes it; past _NESTED_DEPTH levels or _NESTED_VALUES
    values, as _json_value's bounded text whole. A map that stands for one of the program's objects (an
    object, a text, a cut value, a redaction) is that object's text."""
    budget = [_NESTED_VALUES]

    def nested(value, depth):
        budget[0] -= 1
        if budget[0] < 0 or depth >= _NESTED_DEPTH:
            raise _TooBig
        if type(value) is list:
            return [nested(item, depth + 1) for item in value]
        if type(value) is dict and not _describes_object(value):
            return {k if type(k) is str else format_value(k, _VALUE_LIMIT): nested(v, depth + 1)
                    for k, v in value.items()}
        return _json_value(value)

    try:
        return nested(value, 0)
    except _TooBig:
        return _json_value(value)


class _TooBig(Exception):
    pass


def _describes_object(value):
    """Whether a decoded map is one the recording wrote for an object of the program."""
    return is_marker(value) or _is_fallback(value) or _is_cut(value) or is_object(value) or is_same(value)


def _event_args(record, value=_json_nested):
    skip = {"timestamp", "thread", "thread_native_id", "type"}
    return {str(k): value(v) for k, v in record.items() if k not in skip}


def _event_name(record):
    name = str(record.get("type"))
    if name == "exception":  # one the frame around it caught
        name = "caught " + format_exception(record, _VALUE_LIMIT).partition("(")[0]
    if isinstance(record.get("subtype"), str):
        name += "/" + record["subtype"]
    return name


_dump = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode
_EVENT, _CALL, _RETURN = 1, 2, 4  # a node's flags: a plugin record, the records it has
_SPOOL = 8 << 20  # bytes of JSON kept in memory before the spill goes to a file
_WINDOW = 1 << 20  # bytes read from the spill at once


class _Spill:
    """Texts written once each, and read back by where they went."""

    def __init__(self):
        self.file = tempfile.SpooledTemporaryFile(max_size=_SPOOL)
        self.size = 0
        self.pending, self.pending_size = [], 0

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        self.file.close()

    def add(self, text):
        """Where text went: (offset, length)."""
        data = text.encode("utf-8", "surrogatepass")
        where = self.size
        self.write(data)
        return where, len(data)

    def write(self, data):
        """Adds the bytes data where the texts so far end."""
        self.size += len(data)
        self.pending.append(data)
        self.pending_size += len(data)
        if self.pending_size >= _WINDOW:
            self._flush()

    def _flush(self):
        self.file.write(b"".join(self.pending))
        self.pending.clear()
        self.pending_size = 0

    def reader(self):
        """read(offset, length) -> text, cheapest when reads go forwards."""
        read = self.bytes_reader()
        return lambda offset, length: read(offset, length).decode("utf-8", "surrogatepass")

    def bytes_reader(self):
        """reader() for the bytes written."""
        self._flush()
        window, window_start = b"", 0

        def read(offset, length):
            nonlocal window, window_start
            at = offset - window_start
            if at < 0 or at + length > len(window):
                self.file.seek(offset)
                window, window_start, at = self.file.read(max(length, _WINDOW)), offset, 0
            return window[at : at + length]

        return read


class _Call(Open):
    __slots__ = ("index", "record", "facts")

    def __init__(self, start, index, record):
        self.frame_id = self.end = self.last = None
        self.start = start
        self.index = index
        self.record = record
        self.facts = ()


class _Track(TreeWalker):
    """A thread's nodes as the export needs them, numbered in the order their records make
    them (which is the order of the events but for top-level returns without calls, which
    come first): per node its start, end (NaN: none), depth, flags and name in arrays, and the
    JSON of its args in the spill."""

    def __init__(self, spill):
        TreeWalker.__init__(self)
        self.spill = spill
        self.starts, self.ends = array.array("d"), array.array("d")
        self.depths, self.flags, self.names = array.array("q"), array.array("B"), array.array("q")
        self.offsets, self.lengths = array.array("q"), array.array("q")
        self.numbers = {}  # name -> its number, in self.names
        self.wrappers = []  # numbers of the top-level returns without calls
        self.low = self.high = None  # the earliest and latest timestamps

    def feed(self, record):
        ts = record.get("timestamp")
        if (ts.__class__ is float or ts.__class__ is int) and ts - ts == 0:  # finite
            if self.low is None:
                self.low = self.high = ts
            elif ts < self.low:
                self.low = ts
            elif ts > self.high:
                self.high = ts
        TreeWalker.feed(self, record)

    def _node(self, start, depth, flags, name):
        number = self.numbers.get(name)
        if number is None:
            number = self.numbers[name] = len(self.numbers)
        self.starts.append(start)
        self.ends.append(math.nan)
        self.depths.append(depth)
        self.flags.append(flags)
        self.names.append(number)
        self.offsets.append(0)
        self.lengths.append(0)
        return len(self.flags) - 1

    def _args(self, index, args):
        self.offsets[index], self.lengths[index] = self.spill.add(_dump(args))

    def _returned(self, index, call, ret, start, facts=()):
        self.flags[index] |= _RETURN
        end = ret.get("timestamp")
        self.ends[index] = end if (end.__class__ is float or end.__class__ is int) and end - end == 0 else start
        self._args(index, _call_args(call, ret, facts))

    def called(self, record, start, depth):
        return _Call(start, self._node(start, depth, _CALL, _name(record)), record)

    def returned(self, call, record):
        self._returned(call.index, call.record, record, call.start, call.facts)

    def fact(self, call, record):
        call.facts = (*call.facts, record)

    def left(self, call):
        self._args(call.index, _call_args(call.record, None))

    def event(self, record, start, depth):
        self._args(self._node(start, depth, _EVENT, _event_name(record)), _event_args(record))

    def leaf(self, record, start, depth):
        self._returned(self._node(start, depth, 0, _name(record)), None, record, start)

    def wrapped(self, record, start):
        index = self._node(start, 0, 0, _name(record))
        self.wrappers.append(index)
        self._returned(index, None, record, start)


class _Formatter:
    """What a vesk._vesk.Skim asks export to write: the JSON texts of what it does not write
    itself, and the spill, where the JSON of args goes."""

    def __init__(self, spill):
        self.write = spill.write

    @staticmethod
    def entries(record, with_arguments):
        """_site_args of a record as the entries of a JSON object, without its braces."""
        return _dump(_site_args(record, with_arguments))[1:-1]

    @staticmethod
    def value(value):
        return _dump(_json_value(value))

    @staticmethod
    def arguments(arguments):
        return _dump(_arguments(arguments))

    @staticmethod
    def plugin(record):
        """A plugin record's event name and the JSON of its args."""
        return _event_name(record), _dump(_event_args(record))

    @staticmethod
    def raised(record):
        """The JSON of "raised" in the args of a call that the exception of record left."""
        return _dump(format_exception(record, _VALUE_LIMIT))


class _SkimmedTrack:
    """The _Track of thread index of a vesk._vesk.Skim made with a formatter, once the skim is
    finished: its arrays, names (numbers, listed by number) and wrappers."""

    def __init__(self, skim, index):
        (self.low, self.high, self.numbers, self.wrappers, starts, ends, depths, flags, names, offsets,
         lengths) = skim.track(index)
        self.starts, self.ends = memoryview(starts).cast("d"), memoryview(ends).cast("d")
        self.depths, self.flags = memoryview(depths).cast("q"), memoryview(flags).cast("B")
        self.names = memoryview(names).cast("q")
        self.offsets, self.lengths = memoryview(offsets).cast("q"), memoryview(lengths).cast("q")


def _name(record):
    """Node.name of a call's record."""
    for key in ("qualname", "co_name"):
        value = record.get(key)
        if isinstance(value, str) and value:
            return value
    return "?"


def _write(trace, tracks, spill, out, progress):
    dump = _dump
    origin = min((track.low for track in tracks if track.low is not None), default=0.0)
    latest = max((track.high for track in tracks if track.high is not None), default=origin)
    # Times are written as whole nanoseconds from the origin; a file from elsewhere may hold
    # finite timestamps too far apart for them (1e308), which no clock gives.
    if not (latest - origin) * 1e9 < _MAX_NS:
        raise ViewError(f"trace {trace.trace_id}: its timestamps span {latest - origin:g} s, "
                        "more than a recording can")

    def ns(ts):
        return round((ts - origin) * 1e9)

    total = trace.record_count
    done = since_report = 0
    count = 0
    buffer = []

    def flush():
        out.write((",\n" if flushed[0] else "") + ",\n".join(buffer))
        flushed[0] = True
        buffer.clear()

    flushed = [False]
    out.write('{"traceEvents":[\n')
    buffer.append(dump({"ph": "M", "name": "process_name", "pid": PID, "tid": 0, "ts": 0,
                        "args": {"name": f"vesk: {trace.source or trace.trace_id}"}}))
    tids = _thread_ids(trace.threads)
    for index, (thread, tid) in enumerate(zip(trace.threads, tids)):
        buffer.append(dump({"ph": "M", "name": "thread_name", "pid": PID, "tid": tid, "ts": 0,
                            "args": {"name": thread.name}}))
        buffer.append(dump({"ph": "M", "name": "thread_sort_index", "pid": PID, "tid": tid, "ts": 0,
                            "args": {"sort_index": index}}))
    count = len(buffer)
    if len(buffer) >= _FLUSH_EVERY:
        flush()

    read = spill.reader()
    for track, tid in zip(tracks, tids):
        first = ns(track.low) if track.low is not None else 0
        last = ns(track.high) if track.high is not None else 0
        starts, ends, depths, flags = track.starts, track.ends, track.depths, track.flags
        names, offsets, lengths = track.names, track.offsets, track.lengths
        # Per name, the text of its events up to their time: as a plugin record's, as a call's.
        heads = [(f'{{"ph":"i","s":"t","name":{dump(name)},"cat":"plugin","pid":{PID},"tid":{tid},"ts":',
                  f'{{"ph":"X","name":{dump(name)},"cat":"call","pid":{PID},"tid":{tid},"ts":')
                 for name in track.numbers]
        wrappers = track.wrappers
        # Per level: the parent's interval and the end of the previous sibling. The top-level
        # returns without calls come first, the latest outermost, each the parent of the one
        # before it and of what came between them.
        levels = [[first, math.inf, first]]
        passed = 0  # of those returns, the ones before i in record order
        for position, i in enumerate(itertools.chain(reversed(wrappers), range(len(flags)))):
            if position < len(wrappers):
                level = levels[-1]
            elif passed < len(wrappers) and wrappers[passed] == i:
                passed += 1
                continue
            else:
                at = len(wrappers) - passed + depths[i]
                del levels[at + 1 :]
                level = levels[at]
            low, high = level[0], level[1]
            if level[2] > low:
                low = level[2]
            start = round((starts[i] - origin) * 1e9)
            start = min(max(start, low), high)
            kind = flags[i]
            if kind & _EVENT:
                buffer.append(f'{heads[names[i]][0]}{start / 1000!r},"args":{read(offsets[i], lengths[i])}}}')
                level[2] = start
                done += 1
            else:
                end = round((ends[i] - origin) * 1e9) if kind & _RETURN else last
                end = min(max(end, start), high)
                buffer.append(f'{heads[names[i]][1]}{start / 1000!r},"dur":{(end - start) / 1000!r},'
                              f'"args":{read(offsets[i], lengths[i])}}}')
                level[2] = end
                levels.append([start, end, start])
                done += bool(kind & _CALL) + bool(kind & _RETURN)
            count += 1
            if len(buffer) >= _FLUSH_EVERY:
                flush()
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
