"""The plugin descriptions handed to the recording engine when a profiler is registered, and the
code they call. Defined here, where the engine never records, so that registering a recording
inside another leaves no frame of vesk's in the outer trace.

A description names functions, by code name and a fragment of their file's path, whose calls
and returns the engine turns into typed records (a plugin record) besides, or instead of, the
ordinary frame records. Records typed "start_test" and "end_test" open and save one trace per
test when the profiler records one trace per test. The framework events (outbound HTTP, SQL,
log records, web requests) follow the test boundaries; config["events"] false leaves them out.
"""

import sys
from collections.abc import Iterable

from vesk.filters import events

# Called by vesk's pytest plugin around every test; their calls are the test boundaries.
TEST_STARTED = "vesk_test_started"
TEST_FINISHED = "vesk_test_finished"


def _test_started(frame, event, arg, context):
    return {"nodeid": frame.f_locals["nodeid"]}


def _test_finished(frame, event, arg, context):
    local = frame.f_locals
    return {"nodeid": local["nodeid"], "outcome": local["outcome"], "when": local["when"]}


TEST_BOUNDARIES = [
    {
        "co_names": [TEST_STARTED],
        "path_fragment": "vesk/pytest_plugin.py",
        "call_type": "start_test",
        "return_type": "start_test",
        "events": ["call"],
        "process": _test_started,
    },
    {
        "co_names": [TEST_FINISHED],
        "path_fragment": "vesk/pytest_plugin.py",
        "call_type": "end_test",
        "return_type": "end_test",
        "events": ["call"],
        "process": _test_finished,
    },
]

def _pool_result(frame, event, arg, context):
    """A multiprocessing pool's worker puts a task's result: in a recorded child whose worker then
    has nothing to do, what it recorded is saved before the result goes out, since a pool ends its
    workers by SIGTERM as soon as it has their results (leaving a `with Pool()` block does)."""
    caller = frame.f_back
    if caller is None or caller.f_code.co_name != "worker":
        return False
    children = sys.modules.get("vesk.filters.children")
    if children is not None:
        children.save_when_idle(caller)
    return False


POOL_WORKERS = [
    {
        "co_names": ["put"],
        "path_fragment": "multiprocessing/queues.py",
        "call_type": "pool_result",
        "return_type": "pool_result",
        "events": ["call"],
        "call": _pool_result,
    },
]

BUILT_IN = [*TEST_BOUNDARIES, *POOL_WORKERS, *events.DESCRIPTIONS]


def load_plugin_data(config):
    """The plugin descriptions for a profiler with this configuration: the built-in ones (the
    test boundaries alone when config["events"] is false), then those given in
    config["plugins"], in order. None there means none; a value that is not a
    collection of descriptions is handed on as one, for the engine to refuse with a TypeError
    like any other malformed description (this function itself must not fail)."""
    built_in = (BUILT_IN if dict.get(config, "events", True) is not False
                else [*TEST_BOUNDARIES, *POOL_WORKERS])
    given = dict.get(config, "plugins")
    if given is None:
        return list(built_in)
    if isinstance(given, (str, bytes, dict)) or not isinstance(given, Iterable):
        return [*built_in, given]
    return [*built_in, *given]
