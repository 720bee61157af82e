"""The viewer's list of traces: how long each ran, and the tests of one pytest session together."""

import pytest

from ui_trace import record, record_tests
from vesk.db import TraceSummary
from vesk.ui.api import Api
from vesk.ui.listing import _sessions


def summary(name, pid, first, source="pytest"):
    return TraceSummary(name, first, source, 1, 1, 1, test_nodeid=f"t.py::{name}" if source == "pytest" else None,
                        pid=pid)


@pytest.mark.parametrize("traces, sessions", [
    # (name, pid, first save, last save)
    ([("a", 1, 10.0, 10.0), ("b", 1, 11.0, 11.0), ("c", 1, 30.0, 30.0)], ["abc"]),  # one process, however slow
    # pytest-xdist's workers: saves that overlap, and a worker with one test that saved just after
    ([("a", 1, 10.0, 10.0), ("b", 2, 10.5, 10.5), ("c", 1, 12.0, 12.0), ("d", 3, 12.2, 12.2)], ["abcd"]),
    ([("a", 1, 10.0, 10.0), ("b", 1, 11.0, 11.0), ("c", 2, 15.0, 15.0)], ["ab", "c"]),  # two pytest commands
    ([("a", 1, 10.0, 10.0), ("b", 5, 10.1, 10.1, "vesk run x.py"), ("c", None, 10.2, 10.2)], ["a"]),  # not tests
    ([("a", 1, 10.0, 12.0), ("b", 2, 11.0, 11.0)], ["ab"]),  # a test saved in parts while another ended
])
def test_sessions(traces, sessions):
    summaries = [summary(name, pid, first, *source) for name, pid, first, _, *source in traces]
    keys = _sessions(summaries, {name: last for name, _, _, last, *_ in traces})
    grouped = {}
    for name, key in sorted(keys.items()):
        grouped[key] = grouped.get(key, "") + name
    assert sorted(grouped.values()) == sessions


@pytest.fixture(scope="module")
def api(tmp_path_factory):
    folder = tmp_path_factory.mktemp("listing")
    record(folder)
    api = Api(str(record_tests(folder)))
    yield api
    api.close()


def test_list_tells_sessions_and_durations(api):
    traces = {t["test"] or t["source"]: t for t in api.traces()}
    assert len({t["session"] for t in traces.values() if t["test"]}) == 1
    assert traces["vesk run prog.py"]["session"] is None
    slow = traces["test_recorded.py::test_slow"]
    before = api.answer(["trace", slow["id"], "threads"], {})
    assert before["threads"] == 1 and not before["exact"] and before["duration"] >= 0.05  # its sleep
    opened = api.answer(["trace", slow["id"]], {})
    after = api.answer(["trace", slow["id"], "threads"], {})
    assert after["exact"] and after["duration"] == pytest.approx(opened["threads"][0]["high"] - opened["threads"][0]["low"])
    assert 0.05 <= after["duration"] <= before["duration"]  # the estimate counts the wait for its save
    # A test's trace is known by its test, with its outcome.
    failed = api.answer(["trace", traces["test_recorded.py::test_fails"]["id"]], {})
    assert (failed["source"], failed["test"], failed["outcome"]) == ("pytest", "test_recorded.py::test_fails", "failed")


def test_a_trace_that_only_python_reads_has_a_duration_too(api, monkeypatch):
    import vesk.ui.api

    monkeypatch.setattr(vesk.ui.api, "part_starts", lambda stored: None)  # as for some framework events
    fresh = Api(api.db_path)
    try:
        prog = next(t for t in fresh.traces() if t["source"] == "vesk run prog.py")
        counted = fresh.answer(["trace", prog["id"], "threads"], {})
        exact = fresh.answer(["trace", prog["id"]], {})["threads"]
    finally:
        fresh.close()
    assert counted["threads"] == 2 and counted["duration"] >= max(t["high"] for t in exact) - min(t["low"] for t in exact)
