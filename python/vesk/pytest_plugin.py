"""pytest plugin: with --vesk, every test is recorded and stored as a trace of its own.

The engine does not record this module's own frames, but its plugins see them: the calls of
vesk_test_started and vesk_test_finished around each test become the "start_test" and "end_test"
records that open and save the test's trace.
"""

import argparse
import os

import pytest

from vesk.filters import secrets
from vesk.filters.plugin_data import TEST_FINISHED, TEST_STARTED  # noqa: F401 - the boundaries
from vesk.utils import parse_label


def vesk_test_started(nodeid):
    return nodeid


def vesk_test_finished(nodeid, outcome, when):
    return outcome


def _scale(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def pytest_addoption(parser):
    group = parser.getgroup("vesk", "recording with vesk")
    group.addoption("--vesk", action="store_true", default=False,
                    help="record every test and store one trace per test")
    group.addoption("--vesk-db", default=None, metavar="PATH",
                    help="SQLite database for the traces, or a postgresql:// URL of a shared one "
                         "(default: $VESK_DB, else .vesk/db.sqlite3)")
    group.addoption("--vesk-label", action="append", default=[], metavar="KEY=VALUE", type=parse_label,
                    help="store the label KEY=VALUE with every test's trace (repeatable)")
    group.addoption("--vesk-db-shared", action="store_true", default=False,
                    help="write into a database file of another user's, or one others may read")
    group.addoption("--vesk-lightweight", action="store_true", default=False,
                    help="store bounded summaries of large values instead of whole values")
    group.addoption("--vesk-repr", dest="vesk_call_repr", action="store_true", default=False,
                    help="record objects other than builtin scalars and containers as their reprs "
                         "(the program's own __repr__ runs) instead of their fields")
    group.addoption("--vesk-value-scale", type=_scale, default=1, metavar="N",
                    help="keep N times more of each value and of what a record's values may cost together: items, characters, depth, values and text (default 1)")
    group.addoption("--vesk-no-events", action="store_false", dest="vesk_events", default=True,
                    help="leave out the framework events (HTTP, SQL, log records, requests)")
    group.addoption("--vesk-part-size", default=None, metavar="SIZE",
                    help="save a test's records as a part of its trace once they reach SIZE "
                         "(default 64M; 0: only at the test's end)")
    group.addoption("--vesk-no-children", dest="vesk_children", action="store_false", default=True,
                    help="do not record the Python processes tests start (by default each is "
                         "stored as a trace of its own, under the test's)")
    group.addoption("--vesk-all-threads", action="store_true", default=False,
                    help="also record threads already running when the session starts")
    group.addoption("--vesk-redact", action="append", default=[], metavar="NAME",
                    help="also redact values stored under names like NAME (beside password, "
                         "token, api_key, ...)")
    group.addoption("--vesk-keep", action="append", default=[], metavar="NAME",
                    help="store values under the default secret name NAME (e.g. session) whole")
    group.addoption("--vesk-trace-limit", default=None, metavar="SIZE",
                    help="stop recording a test's trace once it reaches SIZE (default 1G; 0: none)")


def pytest_configure(config):
    if not config.getoption("vesk"):
        return
    _prepare_database(config)
    from vesk import db

    db.set_labels(dict(config.getoption("vesk_label")))
    if _distributing(config):
        # pytest-xdist's controller runs no test: its workers record theirs, and it sums up.
        config.pluginmanager.register(WorkersSummary(config), "vesk-workers")
        return
    config.pluginmanager.register(TestRecorder(config), "vesk-recorder")


def _distributing(config):
    """Whether this process is pytest-xdist's controller, which hands the tests to workers (as
    xdist decides it: its command line hook has run by now)."""
    if hasattr(config, "workerinput") or not config.pluginmanager.hasplugin("xdist"):
        return False
    return (config.getoption("dist", "no") != "no"
            and not config.getoption("collectonly", False))


def _db_path(config):
    from vesk.profiler import DB_VARIABLE, DEFAULT_DB_PATH, database

    given = config.getoption("vesk_db") or os.environ.get(DB_VARIABLE)
    return database(given or os.path.join(str(config.rootpath), DEFAULT_DB_PATH))


def _prepare_database(config):
    """Refuses, before any test runs, a database that traces cannot or should not go into."""
    from vesk import db

    path = _db_path(config)
    try:
        db.prepare_for_writing(path, shared=config.getoption("vesk_db_shared"),
                               flag="--vesk-db-shared")
    except Exception as error:  # noqa: BLE001 - those it refuses with are told in one line
        reason = db.refusal(error)
        if reason is None:
            raise
        raise pytest.UsageError(f"vesk: cannot store traces in {path}: {reason}") from None


class WorkersSummary:
    """pytest-xdist's controller: the count of test traces its workers saved."""

    def __init__(self, config):
        self.db_path = _db_path(config)
        self.saved = 0
        self.unsaved = []

    def pytest_testnodedown(self, node, error):
        output = getattr(node, "workeroutput", None) or {}
        self.saved += output.get("vesk_saved", 0)
        if output.get("vesk_unsaved"):
            self.unsaved.append(output["vesk_unsaved"])

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(f"vesk: {self.saved} test traces saved in {self.db_path}")
        for line in self.unsaved:
            terminalreporter.write_line(line, red=True)


class TestRecorder:
    """Records the session with one trace per test."""

    __test__ = False  # not a test class, whatever pytest's collection rules say

    def __init__(self, config):
        from vesk.profiler import Profiler, make_config
        from vesk.utils import parse_size

        db_path = _db_path(config)
        if hasattr(config, "workerinput"):
            # A pytest-xdist worker, which a recording of the controller's process may record as
            # a whole (as its child): its tests' own traces stand instead.
            from vesk.filters import children

            children.leave_unrecorded()

        sizes = {}
        for name in ("part_size", "trace_limit"):
            given = config.getoption(f"vesk_{name}")
            try:
                sizes[name] = None if given is None else parse_size(given)
            except ValueError as error:
                raise pytest.UsageError(f"--vesk-{name.replace('_', '-')}: {error}") from None
        settings = make_config(lightweight=config.getoption("vesk_lightweight"),
                               events=config.getoption("vesk_events"),
                               redact=config.getoption("vesk_redact"),
                               keep=config.getoption("vesk_keep"),
                               call_repr=config.getoption("vesk_call_repr"),
                               value_scale=config.getoption("vesk_value_scale"), **sizes)
        self.profiler = Profiler(settings, db_path=db_path, one_trace_per_test=True,
                                 source="pytest", children=config.getoption("vesk_children"),
                                 all_threads=config.getoption("vesk_all_threads"))
        self.config = config
        self.outcomes = {}
        self.saved = 0
        self.unsaved = None  # why the traces kept after a failed save could not be saved either

    @pytest.hookimpl(tryfirst=True)
    def pytest_sessionstart(self, session):
        self.profiler.start()

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_protocol(self, item, nextitem):
        # An id whose parameter holds a secret (a URL with a password) would be recorded as a
        # marker, and its trace lose its test: only the secret is left out.
        nodeid = secrets.redacted_inside(item.nodeid)
        vesk_test_started(nodeid)
        try:
            yield
        finally:
            outcome, when = self.outcomes.pop(item.nodeid, ("unknown", None))
            vesk_test_finished(nodeid, outcome, when)
            self.saved += 1

    def pytest_runtest_logreport(self, report):
        # The outcome as pytest names it (passed, failed, error, skipped, xfailed, xpassed, or a
        # plugin's own), decided by the first phase (setup, call, teardown) that did not pass.
        category = self.config.hook.pytest_report_teststatus(report=report, config=self.config)[0]
        if category in ("", "passed"):
            self.outcomes.setdefault(report.nodeid, ("passed", "call"))
        elif self.outcomes.get(report.nodeid, ("passed",))[0] == "passed":
            self.outcomes[report.nodeid] = (category, report.when)

    @pytest.hookimpl(trylast=True)
    def pytest_sessionfinish(self, session):
        self.profiler.stop()
        engine = self.profiler.rust_profiler
        if engine is not None:
            # Each test's end handed its trace to the saver thread; those that failed get one
            # more try now.
            try:
                engine.wait_for_saves()
            except Exception as error:  # noqa: BLE001 - reported in the summary
                self.unsaved = error

        workeroutput = getattr(self.config, "workeroutput", None)
        if workeroutput is not None:  # a pytest-xdist worker: its controller says it
            workeroutput["vesk_saved"] = self.saved
            workeroutput["vesk_unsaved"] = self._unsaved_line()

    def _unsaved_line(self):
        if self.unsaved is None:
            return None
        return (f"vesk: {self.profiler.rust_profiler.unsaved_traces} traces could not be saved: "
                f"{type(self.unsaved).__name__}: {self.unsaved}")

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.write_line(
            f"vesk: {self.saved} test traces saved in {self.profiler.db_path}")
        if self.unsaved is not None:
            terminalreporter.write_line(self._unsaved_line(), red=True)
