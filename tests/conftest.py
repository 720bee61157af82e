import signal
import sys
import threading

import pytest

from vesk import _vesk
from vesk.serialize import load_msgpack


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


def pytest_configure(config):
    # A suite started in the background by a shell without job control inherits Ctrl-C ignored, and
    # so would every program it starts: the tests that interrupt one need it heard. A handler, unlike
    # the ignoring, goes back to the default in the programs the tests start.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def make_host():
    return Host


@pytest.fixture(autouse=True)
def restore_profile_hooks():
    """Every test leaves the thread's profile function and the threading hook as it found them,
    and no trace part that the saver thread could not write, which the next save into the same
    database would try again."""
    yield
    _vesk.register_noop_profiler()
    sys.setprofile(None)
    threading.setprofile(None)
    _vesk._discard_kept_parts()


# Compiled under "<string>", which the engine never records, so that registering and stopping
# add no records of their own to the traces the tests look at.
_UNRECORDED = {}
exec(compile("""
class Recording:
    def __init__(self, host, register, noop, setprofile):
        self.host, self.register, self.noop, self.setprofile = host, register, noop, setprofile

    def __enter__(self):
        self.register(self.host)
        return self.host

    def __exit__(self, *exc_info):
        self.noop()
        self.setprofile(None)
""", "<string>", "exec"), _UNRECORDED)


@pytest.fixture
def recording():
    """Registers a profiler for a `with` block on this thread and decodes its trace afterwards."""

    def record(config=None, **host_attributes):
        host = Host(config=config, **host_attributes)
        return _UNRECORDED["Recording"](host, _vesk.register_profiler,
                                        _vesk.register_noop_profiler, threading.setprofile)

    def decode(host):
        return load_msgpack(host.rust_profiler.build_trace())

    record.decode = decode
    return record


@pytest.fixture
def replace_module(monkeypatch):
    """Puts a module made of the given attributes into sys.modules for the test. The parts that
    the saver thread still has when the test ends are tried with the replaced modules, not with
    the real ones after them."""
    import types

    def replace(name, **attributes):
        module = types.ModuleType(name)
        module.__dict__.update(attributes)
        monkeypatch.setitem(sys.modules, name, module)
        return module

    yield replace
    try:
        _vesk.wait_for_saves()
    except Exception:  # noqa: BLE001 - what the test's own saver made of them is the test's
        pass
    _vesk._discard_kept_parts()


from postgres import pg, postgres_server  # noqa: E402,F401 - the PostgreSQL fixtures
