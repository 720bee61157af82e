"""The host profiler: the object the recording engine is registered with."""

import os
import threading

from vesk import _vesk
from vesk.utils import new_trace_id

DEFAULT_DB_PATH = os.path.join(".vesk", "db.sqlite3")


class Profiler:
    """Holds what the engine reads when it is registered (config, db_path, one_trace_per_test,
    trace_id, source) and, once registered, the engine's own profiler as `rust_profiler`.

    Calling the profiler with a function returns a wrapper that records that function's calls.
    """

    def __init__(self, config=None, *, db_path=DEFAULT_DB_PATH, one_trace_per_test=False,
                 trace_id=None, source="python"):
        self.config = dict(config or {})
        self.db_path = os.fspath(db_path)
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id or new_trace_id()
        self.source = source
        self.rust_profiler = None

    def start(self):
        """Records the calling thread, and threads started later when config["threading"]."""
        _vesk.register_profiler(self)

    def stop(self):
        """Stops recording on the calling thread and no longer hooks new threads."""
        _vesk.register_noop_profiler()
        if self.config.get("threading") is True:
            threading.setprofile(None)

    def save(self):
        """Stores everything recorded since the last save as one part of the trace."""
        self.rust_profiler.save_request_in_db()

    def __call__(self, function):
        def recorded(*args, **kwargs):
            self.start()
            try:
                return function(*args, **kwargs)
            finally:
                self.stop()

        recorded.__wrapped__ = function
        return recorded
