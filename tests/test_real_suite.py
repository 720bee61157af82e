"""An established package's own test suite, run with and without `pytest --vesk`.

The suite (toolz, pinned) is fetched once from the package index into build/real-suite/ and
reused from there, so only the first run on a machine needs the network; without it the tests
skip. Both runs use the same interpreter, options and hash seed: any test whose outcome
differs, or a crash or hang under recording, is the engine's doing.
"""

import dataclasses
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import xml.etree.ElementTree as ET

import pytest

from vesk import db
from vesk.serialize import load_msgpack

PACKAGE = "toolz"
VERSION = "1.2.0"
# The suite is only a fair yardstick if it is the same bytes everywhere.
SDIST_SHA256 = "9667a038e9d6ecba37995e26cb2f59ec6420b6ad8dd9677de59db9b956b08490"
SDIST_NAME = f"{PACKAGE}-{VERSION}.tar.gz"

ROOT = pathlib.Path(__file__).resolve().parents[1]
CACHE = ROOT / "build" / "real-suite"
SUITE = CACHE / f"{PACKAGE}-{VERSION}"
# Written inside the tree before it is moved into place: a tree without it is a torn unpack.
COMPLETE = ".unpacked"

FETCH_TIMEOUT = 300
# The suite takes seconds, plain or recorded; this only turns a hang into a failure.
RUN_TIMEOUT = 300

# What pip prints when the index cannot be reached at all, as opposed to any other failure,
# which must fail the test rather than skip it.
_NO_NETWORK = re.compile(
    r"NameResolutionError|Failed to resolve|Temporary failure in name resolution"
    r"|Name or service not known|NewConnectionError|Failed to establish a new connection"
    r"|Network is unreachable|No route to host|Connection refused|ConnectTimeoutError"
    r"|ReadTimeoutError|ProxyError|connection broken by"
)

COMMON_OPTIONS = ["-p", "no:cacheprovider"]


def _sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def _download_sdist():
    """The pinned source archive, which unlike the wheel carries the tests."""
    sdist = CACHE / SDIST_NAME
    if sdist.is_file() and _sha256(sdist) == SDIST_SHA256:
        return sdist
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as scratch:
        try:
            result = subprocess.run(
                [sys.executable, "-m", "pip", "download", f"{PACKAGE}=={VERSION}",
                 "--no-binary", ":all:", "--no-deps", "--disable-pip-version-check",
                 "--retries", "2", "--timeout", "30", "--dest", scratch],
                capture_output=True, text=True, timeout=FETCH_TIMEOUT)
        except subprocess.TimeoutExpired as exc:
            pytest.skip(f"fetching {PACKAGE}=={VERSION} took over {FETCH_TIMEOUT}s; "
                        f"is the package index reachable? ({exc})")
        output = result.stdout + result.stderr
        if result.returncode != 0:
            if _NO_NETWORK.search(output):
                pytest.skip(f"package index unreachable, cannot fetch {PACKAGE}=={VERSION}")
            pytest.fail(f"pip download {PACKAGE}=={VERSION} failed:\n{output}")
        fetched = pathlib.Path(scratch) / SDIST_NAME
        assert fetched.is_file(), f"pip saved no {SDIST_NAME}:\n{output}"
        digest = _sha256(fetched)
        assert digest == SDIST_SHA256, f"{SDIST_NAME} has sha256 {digest}, expected {SDIST_SHA256}"
        os.replace(fetched, sdist)
    return sdist


def fetch_suite():
    """The unpacked source tree of the pinned package, fetched on first use."""
    if (SUITE / COMPLETE).is_file():
        return SUITE
    sdist = _download_sdist()
    with tempfile.TemporaryDirectory(dir=CACHE) as scratch:
        with tarfile.open(sdist) as archive:
            archive.extractall(scratch, filter="data")
        unpacked = pathlib.Path(scratch) / SUITE.name
        (unpacked / COMPLETE).write_text(f"{SDIST_NAME} sha256 {SDIST_SHA256}\n")
        if SUITE.exists() and not (SUITE / COMPLETE).is_file():
            shutil.rmtree(SUITE)
        try:
            os.replace(unpacked, SUITE)
        except OSError:
            # Another session unpacked it meanwhile; its tree is as good as ours.
            if not (SUITE / COMPLETE).is_file():
                raise
    return SUITE


def junit_key(nodeid):
    """The (classname, name) under which pytest's JUnit report lists the test nodeid."""
    path, bracket, params = nodeid.partition("[")
    names = path.split("::")
    names[0] = re.sub(r"\.py$", "", names[0].replace("/", "."))
    names[-1] += bracket + params
    return ".".join(names[:-1]), names[-1]


def read_junit(path):
    """{(classname, name): (outcome, detail)} of a JUnit report; detail is the skip reason."""
    outcomes = {}
    for case in ET.parse(path).getroot().iter("testcase"):
        key = (case.get("classname"), case.get("name"))
        assert key not in outcomes, f"{key} reported twice in {path}"
        if case.find("error") is not None:
            outcome = ("error", None)
        elif case.find("failure") is not None:
            outcome = ("failed", None)
        elif (skipped := case.find("skipped")) is not None:
            kind = "xfailed" if skipped.get("type") == "pytest.xfail" else "skipped"
            outcome = (kind, skipped.get("message"))
        else:
            outcome = ("passed", None)
        outcomes[key] = outcome
    return outcomes


@dataclasses.dataclass
class SuiteRun:
    returncode: int
    seconds: float
    output: str
    outcomes: dict


def run_suite(suite, report, *extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTEST_ADDOPTS", "PYTEST_PLUGINS", "PYTEST_DISABLE_PLUGIN_AUTOLOAD")}
    # Same hash seed in both runs, so that set and dict orders cannot tell them apart.
    env["PYTHONHASHSEED"] = "0"
    command = [sys.executable, "-m", "pytest", *COMMON_OPTIONS, f"--junitxml={report}", *extra,
               PACKAGE]
    started = time.monotonic()
    try:
        result = subprocess.run(command, cwd=suite, env=env, capture_output=True, text=True,
                                timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"{' '.join(command)} hung for {RUN_TIMEOUT}s; last output:\n"
                    f"{(exc.stdout or b'')[-3000:]!r}\n{(exc.stderr or b'')[-3000:]!r}")
    seconds = time.monotonic() - started
    output = result.stdout + result.stderr
    assert report.is_file(), f"{' '.join(command)} wrote no report:\n{output}"
    return SuiteRun(result.returncode, seconds, output, read_junit(report))


@dataclasses.dataclass
class Recorded:
    plain: SuiteRun
    recorded: SuiteRun
    db_path: pathlib.Path
    summaries: list
    traces: dict  # trace id -> decoded parts


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    suite = fetch_suite()
    work = tmp_path_factory.mktemp("real-suite")
    db_path = work / "traces.sqlite3"
    plain = run_suite(suite, work / "plain.xml")
    recorded = run_suite(suite, work / "recorded.xml", "--vesk", "--vesk-db", str(db_path))
    summaries = db.list_traces(db_path) if db_path.is_file() else []
    # The Python processes a test starts are traces of their own, under the test's trace.
    tests = {s.trace_id for s in summaries if s.parent_trace_id is None}
    assert all(s.parent_trace_id in tests for s in summaries if s.parent_trace_id is not None)
    summaries = [s for s in summaries if s.trace_id in tests]
    traces = {s.trace_id: [load_msgpack(part) for part in db.load_trace_parts(db_path, s.trace_id)]
              for s in summaries}
    frame_records = sum(1 for parts in traces.values() for part in parts
                        for record in _all_records(part) if record.get("type") == "frame")
    print(f"\n{PACKAGE} {VERSION}: {len(plain.outcomes)} tests; plain {plain.seconds:.1f}s, "
          f"--vesk {recorded.seconds:.1f}s; {len(summaries)} traces, "
          f"{sum(s.record_count or 0 for s in summaries)} records "
          f"({frame_records} frame records), {sum(s.size for s in summaries)} bytes stored")
    return Recorded(plain, recorded, db_path, summaries, traces)


def _all_records(part):
    yield from part["frames_of_interest"]
    for records in part["frames"].values():
        yield from records


def _main_records(parts):
    return [record for part in parts for record in part["frames_of_interest"]]


def _by_nodeid(runs):
    """{nodeid: main-thread records} of every stored trace."""
    by_nodeid = {}
    for trace_id, parts in runs.traces.items():
        records = _main_records(parts)
        assert records and records[0]["type"] == "start_test", (
            f"trace {trace_id} opens with {records[:1]}")
        nodeid = records[0]["nodeid"]
        assert nodeid not in by_nodeid, f"{nodeid} has two traces"
        by_nodeid[nodeid] = records
    return by_nodeid


class TestSameOutcomes:
    def test_the_plain_run_is_a_real_green_suite(self, runs):
        # Guards the comparison below against passing vacuously on a broken or empty run.
        plain = runs.plain
        assert plain.returncode == 0, plain.output[-5000:]
        assert len(plain.outcomes) > 150
        assert {outcome for outcome, _ in plain.outcomes.values()} <= {"passed", "skipped", "xfailed"}

    def test_every_test_ends_as_it_does_without_recording(self, runs):
        plain, recorded = runs.plain.outcomes, runs.recorded.outcomes
        assert recorded.keys() == plain.keys(), (
            f"only plain: {sorted(plain.keys() - recorded.keys())[:20]}, "
            f"only recorded: {sorted(recorded.keys() - plain.keys())[:20]}")
        differ = {key: (plain[key], recorded[key]) for key in plain if plain[key] != recorded[key]}
        assert not differ, differ
        assert runs.recorded.returncode == runs.plain.returncode, runs.recorded.output[-5000:]

    def test_the_plugin_reports_every_trace_saved(self, runs):
        line = f"vesk: {len(runs.plain.outcomes)} test traces saved in {runs.db_path}"
        assert line in runs.recorded.output.splitlines(), runs.recorded.output[-3000:]


class TestOneTracePerTest:
    def test_one_trace_for_each_test_that_ran(self, runs):
        by_nodeid = _by_nodeid(runs)
        assert len(runs.summaries) == len(runs.recorded.outcomes)
        assert {junit_key(nodeid) for nodeid in by_nodeid} == runs.recorded.outcomes.keys()
        assert {s.source for s in runs.summaries} == {"pytest"}

    def test_each_trace_is_framed_by_its_own_test(self, runs):
        for nodeid, records in _by_nodeid(runs).items():
            last = records[-1]
            assert last["type"] == "end_test" and last["nodeid"] == nodeid, (nodeid, last)
            markers = [r for r in records if r["type"] in ("start_test", "end_test")]
            assert len(markers) == 2, (nodeid, markers)

    def test_end_record_carries_the_reported_outcome(self, runs):
        # The JUnit report says "skipped" for an expected failure too.
        as_recorded = {"passed": {"passed"}, "skipped": {"skipped", "xfailed"},
                       "failed": {"failed", "xpassed"}, "error": {"error"}}
        for nodeid, records in _by_nodeid(runs).items():
            reported, _ = runs.recorded.outcomes[junit_key(nodeid)]
            assert records[-1]["outcome"] in as_recorded[reported], (nodeid, records[-1], reported)


class TestRecordedCalls:
    def test_every_test_that_ran_holds_its_own_test_function(self, runs):
        # A trace that only has the right markers could still hold another test's calls, or none.
        for nodeid, records in _by_nodeid(runs).items():
            if runs.recorded.outcomes[junit_key(nodeid)][0] != "passed":
                continue
            path = nodeid.split("::")[0]
            function = nodeid.split("::")[-1].partition("[")[0]
            assert any(r["type"] == "frame" and r["event"] == "call" and r["co_name"] == function
                       and r["path"].rpartition(":")[0] == path for r in records), nodeid

    def test_calls_and_returns_pair_up_within_each_trace(self, runs):
        for nodeid, records in _by_nodeid(runs).items():
            events = [r["event"] for r in records if r["type"] == "frame"]
            assert events.count("call") == events.count("return"), nodeid
            depth = 0
            for event in events:
                depth += 1 if event == "call" else -1
                assert depth >= 0, f"{nodeid}: a return before its call"

    def test_the_library_itself_is_recorded_in_bulk(self, runs):
        frames = [r for parts in runs.traces.values() for part in parts for r in _all_records(part)
                  if r["type"] == "frame"]
        assert len(frames) >= 50 * len(runs.traces)
        library = {r["path"].rpartition(":")[0] for r in frames if "/tests/" not in r["path"]}
        assert {"toolz/itertoolz.py", "toolz/functoolz.py", "toolz/dicttoolz.py"} <= library

    def test_stored_record_counts_match_the_blobs(self, runs):
        for summary in runs.summaries:
            decoded = sum(1 for part in runs.traces[summary.trace_id] for _ in _all_records(part))
            assert summary.record_count == decoded, summary
