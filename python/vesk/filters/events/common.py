"""What the event descriptions share: a clock per library frame, values bounded to what a record
should hold, and header or parameter values redacted by name.

Every function here runs inside the profile hook, on the thread of the frame it is given, with
the interpreter lock held. It must not import the libraries it describes (they are reached
through the frame's own globals and locals) and must not fail on odd values: a failure is
reported by the engine and costs the event's record, never the program.
"""

import time

from vesk._vesk import is_interruption
from vesk.filters.secrets import is_secret_name

# Bounds of what one record holds.
TEXT_LIMIT = 2000  # a statement, a message, a URL
BODY_LIMIT = 1024  # bytes of a body
ITEMS_LIMIT = 20  # parameters, rows of parameters, headers
VALUE_LIMIT = 200  # one parameter's text

# Frames a clock remembers at most: a frame whose return never comes (recording stopped inside
# it) is forgotten once this many newer ones are open.
OPEN_LIMIT = 1024


class Clock:
    """Start times of the library frames a description watches, keyed by the frame's address.

    A live frame's address is unique across threads, and each frame is started and finished on
    its own thread, so a plain dict under the interpreter lock is enough."""

    __slots__ = ("starts",)

    def __init__(self):
        self.starts = {}

    def start(self, frame, value=None):
        starts = self.starts
        if len(starts) >= OPEN_LIMIT:
            del starts[next(iter(starts))]
        starts[id(frame)] = (time.perf_counter(), value)

    def is_open(self, frame):
        return id(frame) in self.starts

    def finish(self, frame):
        """(seconds since start, the value given to start), or None if it was not started."""
        started = self.starts.pop(id(frame), None)
        if started is None:
            return None
        return time.perf_counter() - started[0], started[1]


def clock(context):
    """The clock of a description, kept in the context the engine gives its callables."""
    found = context.get("clock")
    if found is None:
        found = context["clock"] = Clock()
    return found


_PLAIN = (bool, int, float)


def text(value, limit=TEXT_LIMIT):
    """value's text, cut to limit characters; None stays None. An object that is not a builtin
    scalar is kept as it is, for the serialiser to read: its own str() is the program's code."""
    if value is None:
        return None
    if type(value) in _PLAIN:
        value = str(value)
    elif not isinstance(value, str):
        return value
    else:
        value = str.__str__(value)
    return value if len(value) <= limit else value[:limit] + "…"


def bounded(value, depth=0):
    """A parameter value as a record keeps it: scalars as they are (long ones cut), containers
    cut to ITEMS_LIMIT items, anything else as it is, for the serialiser to read within its
    bounds."""
    if value is None or isinstance(value, (bool, int, float)):
        return value
    if isinstance(value, str):
        return text(value, VALUE_LIMIT)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value[:VALUE_LIMIT])
    if depth < 2 and type(value) is dict:
        return redacted({k: v for k, v in _first(dict.items(value))}, depth + 1)
    if depth < 2 and type(value) in (list, tuple):
        return [bounded(item, depth + 1) for item in _first(value)]
    return value


def redacted(mapping, depth=0):
    """A dict of names to values, bounded but for those of secret names: the serialiser stores
    a value under a secret name as its marker (marking it here would have the marker itself
    redacted), and bounding it first would only falsify the length the marker gives."""
    result = {}
    for name, value in mapping.items():
        name = name if isinstance(name, str) else text(name, VALUE_LIMIT)
        result[name] = value if is_secret_name(name) else bounded(value, depth)
    return result


def body(data):
    """The first BODY_LIMIT bytes (or characters) of a body, or what kind of body it is."""
    if data is None or isinstance(data, (bytes, str)):
        return data if data is None or len(data) <= BODY_LIMIT else data[:BODY_LIMIT]
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data[:BODY_LIMIT])
    return f"<{type(data).__name__}>"


def size(data):
    """The length of a body in bytes or characters, None when it has none without reading it."""
    if isinstance(data, (bytes, str, bytearray)):
        return len(data)
    if isinstance(data, memoryview):
        return data.nbytes
    return None


def _first(items):
    for index, item in enumerate(items):
        if index >= ITEMS_LIMIT:
            return
        yield item
