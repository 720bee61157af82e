import sys
import threading

import pytest

from vesk import _vesk


class Host:
    """A host profiler object as the companion package hands it to the engine."""

    def __init__(self, config=None, db_path="traces.sqlite3", one_trace_per_test=False,
                 trace_id="trc_01HZZZZZZZZZZZZZZZZZZZZZZZ", source="tests"):
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args, **kwargs):
        return None


@pytest.fixture
def make_host():
    return Host


@pytest.fixture(autouse=True)
def restore_profile_hooks():
    """Every test leaves the thread's profile function and the threading hook as it found them."""
    yield
    _vesk.register_noop_profiler()
    sys.setprofile(None)
    threading.setprofile(None)
