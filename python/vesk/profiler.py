"""The host profiler: the object the recording engine is registered with, and the ways to use it
from Python code."""

import contextlib
import logging
import os
import sys
import threading

from vesk import _vesk
from vesk.filters import secrets
from vesk.utils import new_trace_id

DEFAULT_DB_PATH = os.path.join(".vesk", "db.sqlite3")
# Names the database where none is given: a file, or a postgresql:// URL of a shared store.
DB_VARIABLE = "VESK_DB"

_log = logging.getLogger("vesk")


def default_db_path():
    """The database to use when none is given: $VESK_DB, else .vesk/db.sqlite3."""
    return os.environ.get(DB_VARIABLE) or DEFAULT_DB_PATH


def database(db_path=None):
    """db_path (the default when None) as the profiler keeps it: a URL without its password, which
    stays in this process for its connections (vesk.filters.db_password)."""
    path = os.fspath(default_db_path() if db_path is None else db_path)
    if path.startswith(("postgresql://", "postgres://")):
        from vesk.filters import db_password

        return db_password.hide_password(path)
    return path


def make_config(*, include=(), ignore=(), lightweight=False, threads=True, plugins=(),
                part_size=None, trace_limit=None, events=True, redact=(), keep=(), call_repr=False,
                value_scale=1):
    """A configuration for the engine: fragments of file paths to record in spite of the built-in
    filters (include) or not to record (ignore), the lightweight serialiser, whether threads
    started later are recorded, extra plugin descriptions, whether the built-in framework events
    (HTTP, SQL, log records, web requests) are recorded, and two sizes in bytes (None for the
    defaults, 0 for no bound): the records held while recording before they are saved as the
    trace's next part (64 MiB), and the records one trace may hold before it stops recording
    (1 GiB). redact and keep are names whose values are secrets beside the default ones, and
    default ones that are not (see vesk.filters.secrets). Values are read from what objects hold,
    never through their own code: call_repr records what is not a builtin scalar or container as
    its repr instead, and value_scale (a whole number, at least 1) multiplies the bounds of the
    full form (docs/stored-layout.md)."""
    if isinstance(value_scale, bool) or not isinstance(value_scale, int) or value_scale < 1:
        raise ValueError(f"value_scale must be a whole number of at least 1, not {value_scale!r}")
    config = {
        "filters": {"include_frames": list(include), "ignore_frames": list(ignore)},
        "lightweight_repr": bool(lightweight),
        "threading": bool(threads),
        "plugins": list(plugins),
        "events": bool(events),
        "redact": list(redact),
        "keep": list(keep),
        "call_repr": bool(call_repr),
        "value_scale": int(value_scale),
    }
    if part_size is not None:
        config["part_size"] = int(part_size)
    if trace_limit is not None:
        config["trace_limit"] = int(trace_limit)
    return config


# The live recordings started by Profiler.start, in that order: each remembers the threading hook
# it found (see Profiler._unhook).
_hooked = []


class Profiler:
    """Holds what the engine reads when it is registered (config, db_path, one_trace_per_test,
    trace_id, source) and, once registered, the engine's own profiler as `rust_profiler`.

    Calling the profiler with a function returns a wrapper that records that function's calls.
    """

    def __init__(self, config=None, *, db_path=None, one_trace_per_test=False,
                 trace_id=None, source="python", children=False, all_threads=False):
        self.config = dict(config or {})
        self.db_path = database(db_path)
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id or new_trace_id()
        self.source = source
        self.rust_profiler = None
        self.children = children  # Python processes the program starts are recorded too
        self.all_threads = all_threads  # and threads already running when it starts
        self._previous_hook = None
        self.forked_away = False
        # Whether it records through sys.monitoring rather than the threads' profile function.
        self.monitored = False
        # Called after the save made when the program leaves by os._exit, which skips the code that
        # would say so.
        self.on_final_save = None

    def start(self):
        """Records the calling thread, and threads started later when config["threading"].
        Started inside another recording of this thread, both record until this one stops.
        Its config's redact and keep become the process's patterns of secret names (there is one
        serialiser per process): a recording started inside another sets them for both."""
        from vesk.filters import children

        secrets.configure(self.config.get("redact", ()), self.config.get("keep", ()))
        self._previous_hook = threading.getprofile()
        if os.environ.get("VESK_HOOK") == "profile":
            _vesk.register_nested_profiler(self)
            self.monitored = False
        else:
            self.monitored = _vesk.register_monitored_profiler(self)
        _hooked.append(self)
        children.follow(self)
        if self.all_threads:
            self.rust_profiler.record_running_threads()

    def stop(self):
        """Stops recording on every thread it reached, and leaves the thread it started on and the
        threading hook as start() found them: the recording it was started inside of goes on,
        another profiler or tracer gets its thread back, and a thread that had no profile
        function has none again."""
        from vesk.filters import children

        children.unfollow(self)
        if self.rust_profiler is not None:
            self.rust_profiler.stop()
        self._unhook()

    def _owns(self, hook):
        """Whether hook is the threading hook that this recording's engine sets (when it records
        through the profile function, at its start or when it had to move to it)."""
        return (self.rust_profiler is not None and getattr(hook, "__self__", None) is self.rust_profiler
                and getattr(hook, "__name__", None) == "register_threading_profiler")

    def _unhook(self):
        """Takes this recording's threading hook out of the chain of hooks, wherever it is: when it
        is the one set, the hook it replaced comes back; when another recording's was set over it,
        that one now replaces what this one did. A hook that is not a recording's is left as it
        is: a recording sets it back only where it set it, and only while it is still its own."""
        if self not in _hooked:
            return
        _hooked.remove(self)
        previous, self._previous_hook = self._previous_hook, None
        if self._owns(threading.getprofile()):
            threading.setprofile(previous)
            return
        for other in _hooked:
            if self._owns(other._previous_hook):
                other._previous_hook = previous

    def save(self, wait=True):
        """Stores everything recorded since the last save as one part of the trace: hands it to
        the saver thread, and with wait, waits until it (and every earlier part of this
        recording) is written, raising why one could not be (it is then kept for the next
        save)."""
        if self.forked_away:
            return  # a fork's copy of a recording that does not take children: nothing to store
        if wait:
            self.rust_profiler.save_request_in_db()
        else:
            self.rust_profiler.hand_off()

    def __call__(self, function):
        def recorded(*args, **kwargs):
            self.start()
            try:
                return function(*args, **kwargs)
            finally:
                self.stop()

        recorded.__wrapped__ = function
        return recorded


class enable(contextlib.ContextDecorator):
    """Records the calling thread (and threads it starts) for the duration of a `with` block or
    of each call of a decorated function, then saves the trace.

        with vesk.enable():
            handle(request)

        @vesk.enable(db_path="traces.sqlite3", include=["mylib/"])
        def main(): ...

    db_path defaults to $VESK_DB, else .vesk/db.sqlite3; a postgresql:// URL stores on a server.

    part_size and trace_limit (bytes) bound what recording holds before it saves a part of the
    trace, and what one trace may record at all (see make_config); events=False leaves out the
    built-in framework events. Values stored under names such as "password" or "api_key" are
    redacted: redact adds names, keep removes default ones. children=True records the Python
    processes the block starts (each as a trace naming this one as its parent); all_threads=True
    records the threads already running too, from their next call. Values are read from what
    objects hold: call_repr=True records other objects as their reprs (bounded; a repr that fails
    never reaches the program), and value_scale=N multiplies the bounds of what is kept of each value.

    The profiler is the value of the `with` statement; its trace_id names the saved trace.
    """

    def __init__(self, db_path=None, *, include=(), ignore=(), lightweight=False,
                 threads=True, source=None, part_size=None, trace_limit=None, events=True,
                 redact=(), keep=(), children=False, all_threads=False, call_repr=False,
                 value_scale=1):
        self.db_path = db_path
        self.config = make_config(include=include, ignore=ignore, lightweight=lightweight,
                                  threads=threads, part_size=part_size, trace_limit=trace_limit,
                                  events=events, redact=redact, keep=keep, call_repr=call_repr,
                                  value_scale=value_scale)
        self.source = source
        self.children = children
        self.all_threads = all_threads
        self._active = []

    def __enter__(self):
        source = self.source or " ".join(secrets.redacted_arguments(sys.argv)) or "python"
        profiler = Profiler(self.config, db_path=self.db_path, source=source,
                            children=self.children, all_threads=self.all_threads)
        self._active.append(profiler)
        profiler.start()
        return profiler

    def __exit__(self, *exc_info):
        profiler = self._active.pop()
        profiler.stop()
        try:
            profiler.save()
        except Exception as error:  # noqa: BLE001 - the program's own outcome stands
            _log.warning("vesk: the trace %s could not be saved in %s: %s: %s (it is kept for the "
                         "next save)", profiler.trace_id, profiler.db_path, type(error).__name__,
                         error)
        return False


def wait_for_saves():
    """Waits until every part of a trace that this process handed to its saver thread is written
    (parts go there as they fill, at each test's end, and at each request's end with the
    middleware). Raises why one could not be written; it is kept for the next save."""
    _vesk.wait_for_saves()
