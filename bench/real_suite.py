"""Packages' own test suites from the package index, each run plain, under cProfile and under
`pytest --vesk`: the outcome of every test in each run, the time it took, its peak memory and,
recorded, the size of its records.

    .venv-3.12/bin/python bench/real_suite.py [--all | --suites boltons,jinja2,...]
        [--modes plain,cprofile,vesk,vesk-lightweight] [--repeat R] [--timeout S]
        [--package NAME --version V --tests PATH [--requires REQ ...]]

With no suite named, boltons alone is run; --all runs the six of SUITES. --package runs one other
package's suite from its sdist (--tests: where its tests are, relative to the sdist's root).
The modes: plain (`python -m pytest`), cprofile (`python -m cProfile -m pytest`), vesk
(`pytest --vesk`), vesk-lightweight (with `--vesk-lightweight`) and, only when named,
vesk-profile-hook (vesk through the profile function rather than sys.monitoring, VESK_HOOK=profile).

Each suite gets a folder build/bench-suites/NAME-VERSION/: its sdist (pip download, no
dependencies), unpacked, an empty pytest.ini (the configuration of a suite that has none, in
place of this project's), and a virtual environment of its own (venv/) into which the package
itself and its pinned test requirements are installed. That environment sees the packages of
the interpreter running this script after its own (a .pth file adds that site-packages), so it
has vesk, pytest and the rest of the development environment without a copy of them, while a
suite may pin a version that differs from the one installed there (jinja2 3.1.4 where the
development environment has a later one) without changing the environment other work runs in.
The package is installed there for its dependencies and metadata, but its tests import it from
the unpacked sdist (its src/ folder, else its root, on PYTHONPATH): from site-packages vesk
would take it for an installed library and record only the tests.

Every run of every mode uses the same interpreter, hash seed and options, in a fresh wrapper
process that times it and reads the peak resident memory of pytest and of the processes it
waited for (getrusage of its children); a run past --timeout seconds (900 by default) is killed
and reported as a timeout. The modes of one attempt run one after the other, attempt after
attempt, so that drift hits every mode alike; the best time of R attempts is kept. Outcomes
come from pytest's JUnit XML: every mode's are compared with the plain run's, and a test whose
outcome differs is listed (none is the target). The records of the recorded modes are read
back from the store of the last attempt, part by part, and each record's MessagePack length
counted: their median and 99th percentile; the traces that lost records are counted too (where
recording paused, where the trace limit cut it, and those holding nothing but the test's start
and end, which a skipped test does too: compare the modes). Last comes a Markdown table of all
the suites.
"""

import argparse
import collections
import dataclasses
import datetime
import hashlib
import json
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import xml.etree.ElementTree as ET

import msgpack

from vesk import db

ROOT = pathlib.Path(__file__).resolve().parents[1]
CACHE = ROOT / "build" / "bench-suites"
OPTIONS = ["-q", "-p", "no:cacheprovider", "-W", "ignore::pytest.PytestAssertRewriteWarning"]
MODES = ("plain", "cprofile", "vesk", "vesk-lightweight", "vesk-profile-hook")
DEFAULT_MODES = MODES[:4]
RECORDED = ("vesk", "vesk-lightweight", "vesk-profile-hook")


@dataclasses.dataclass(frozen=True)
class Suite:
    package: str
    version: str
    tests: str = "tests"  # relative to the sdist's root
    requires: tuple = ()  # pinned test requirements, beyond what the development environment has
    args: tuple = ()  # more pytest arguments

    @property
    def name(self):
        return self.package.lower()


# Pure-Python packages whose sdists hold their tests, which take well under a minute plain.
SUITES = {suite.name: suite for suite in (
    Suite("boltons", "26.2.0"),
    Suite("jinja2", "3.1.4"),
    Suite("toolz", "1.2.0", tests="toolz/tests"),
    Suite("more-itertools", "11.2.1"),
    Suite("click", "8.5.1"),
    Suite("python-dateutil", "4.0.0", requires=("freezegun==1.5.5", "pytest-cov==7.1.0")),
)}

# Runs one command in a session of its own, and prints what it took as JSON: a fresh process
# per run, so that the peak memory of its children is that run's alone.
WRAPPER = """
import json, os, resource, signal, subprocess, sys, time
timeout, command = float(sys.argv[1]), sys.argv[2:]
start = time.perf_counter()
child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=sys.stderr,
                         start_new_session=True)
try:
    code, timed_out = child.wait(timeout), False
except subprocess.TimeoutExpired:
    os.killpg(child.pid, signal.SIGKILL)
    code, timed_out = child.wait(), True
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "code": code, "timeout": timed_out, "peak": peak}))
"""


def unpacked(folder):
    roots = [path for path in folder.iterdir() if path.is_dir() and path.name != "venv"]
    return roots[0] if len(roots) == 1 else None


def fetch(suite):
    """The unpacked sdist of suite, downloaded the first time."""
    folder = CACHE / f"{suite.name}-{suite.version}"
    if folder.is_dir() and unpacked(folder):
        return unpacked(folder)
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary",
                    ":all:", "-d", str(folder), f"{suite.package}=={suite.version}"], check=True)
    (archive,) = folder.glob("*.tar.gz")
    with tarfile.open(archive) as opened:
        opened.extractall(folder, filter="data")
    # pytest looks for its configuration up from the tests: a suite without one of its own would
    # take this project's, and its testpaths and options with it.
    (folder / "pytest.ini").write_text("[pytest]\n")
    return unpacked(folder)


def environment(suite, source):
    """The interpreter of suite's own environment, made and filled the first time (and again
    when its requirements change)."""
    venv = source.parent / "venv"
    python = venv / "bin" / "python"
    wanted = json.dumps([str(source), *suite.requires])
    stamp = venv / "installed.json"
    if stamp.is_file() and stamp.read_text() == wanted:
        return python
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    own = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                         check=True, capture_output=True, text=True).stdout.strip()
    shared = sysconfig.get_path("purelib")
    # Named to come before the .pth files that packages installed here bring.
    pathlib.Path(own, "_0_development.pth").write_text(
        f"import site; site.addsitedir({shared!r})\n")
    # pip from the development environment installs into this one, whose interpreter runs it;
    # a package there in another version is left alone and shadowed.
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    str(source), *suite.requires], check=True)
    stamp.write_text(wanted)
    return python


def outcomes(report):
    found = {}
    for case in ET.parse(report).getroot().iter("testcase"):
        key = f"{case.get('classname')}::{case.get('name')}"
        kinds = {child.tag for child in case}
        found[key] = next((k for k in ("failure", "error", "skipped") if k in kinds), "passed")
    return found


# A record's type as the engine writes it, found without decoding the records.
PAUSED = msgpack.packb("type") + msgpack.packb("recording_paused")
LIMITED = msgpack.packb("type") + msgpack.packb("trace_limit")


def record_sizes(store):
    """How many records of each MessagePack length the traces in store hold, and how many of
    its traces lost records: paused (the writer fell behind), at the trace limit, or bare (no
    record but the test's start and end: a skipped test, or a recording that stopped)."""
    sizes = collections.Counter()
    lost = collections.Counter()
    for summary in db.list_traces(store):
        if summary.record_count == 2:
            lost["bare"] += 1
        found = set()
        for part in db.iter_trace_parts(store, summary.trace_id):
            found.update(kind for kind, marker in (("paused", PAUSED), ("at limit", LIMITED))
                         if marker in part)
            unpacker = msgpack.Unpacker(None, raw=False, strict_map_key=False,
                                        max_buffer_size=max(len(part), 1))
            unpacker.feed(part)
            for _ in range(unpacker.read_map_header()):
                key = unpacker.unpack()
                if key == "frames_of_interest":
                    sizes.update(_array_sizes(unpacker, part))
                elif key == "frames":
                    # The records of the threads other than the main one: those in
                    # frames_of_interest are not repeated here.
                    for _ in range(unpacker.read_map_header()):
                        unpacker.skip()
                        sizes.update(_array_sizes(unpacker, part))
                else:
                    unpacker.skip()
        lost.update(found)
    return sizes, lost


def _array_sizes(unpacker, part):
    if not 0x90 <= part[unpacker.tell()] <= 0x9F and part[unpacker.tell()] not in (0xDC, 0xDD):
        unpacker.skip()
        return []
    lengths = []
    for _ in range(unpacker.read_array_header()):
        start = unpacker.tell()
        unpacker.skip()
        lengths.append(unpacker.tell() - start)
    return lengths


def percentile(sizes, fraction):
    """The nearest-rank percentile of a Counter of sizes."""
    total = sum(sizes.values())
    rank = max(1, -(-total * fraction // 1))
    seen = 0
    for size in sorted(sizes):
        seen += sizes[size]
        if seen >= rank:
            return size
    return None


@dataclasses.dataclass
class Result:
    seconds: float = float("inf")  # the best of the attempts that ended in time
    peak: int = 0  # bytes, the most of any attempt
    timeouts: int = 0
    limit: float = None  # the seconds a run was given
    outcomes: dict = None  # of the last attempt that ended in time
    records: int = None
    median: int = None
    p99: int = None
    lost: dict = None  # traces that lost records, by how (record_sizes)


def run(python, source, suite, mode, folder, timeout):
    """What one run of suite in mode took: (the wrapper's report, the outcomes or None, the
    store it recorded into or None)."""
    report = folder / f"{mode}.xml"
    report.unlink(missing_ok=True)
    store = folder / f"{mode}.sqlite3"
    for stale in folder.glob(f"{mode}.sqlite3*"):
        stale.unlink()
    # The package as the sdist has it rather than its installed copy, which vesk would take for
    # a library and leave out.
    imported = source / "src" if (source / "src").is_dir() else source
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=str(imported))
    command = [str(python), "-m", "pytest", *OPTIONS, f"--junitxml={report}"]
    if mode == "cprofile":
        command[1:1] = ["-m", "cProfile", "-o", os.devnull]
    elif mode in RECORDED:
        command += ["--vesk", "--vesk-db", str(store)]
        if mode == "vesk-lightweight":
            command.append("--vesk-lightweight")
        if mode == "vesk-profile-hook":
            env["VESK_HOOK"] = "profile"
    command += [*suite.args, suite.tests]
    log = folder / f"{mode}.log"
    with log.open("w") as output:
        done = subprocess.run([sys.executable, "-c", WRAPPER, str(timeout), *command], cwd=source,
                              env=env, stdout=subprocess.PIPE, stderr=output, text=True)
    taken = json.loads(done.stdout.splitlines()[-1])
    found = None
    if not taken["timeout"]:
        if report.is_file():
            found = outcomes(report)
        else:
            print(f"  {mode}: no report (exit {taken['code']}); see {log}", file=sys.stderr)
    return taken, found, store if mode in RECORDED and store.is_file() else None


def measure(suite, modes, repeat, timeout, keep):
    source = fetch(suite)
    python = environment(suite, source)
    results = {mode: Result(limit=timeout) for mode in modes}
    with tempfile.TemporaryDirectory(prefix=f"real-suite-{suite.name}-") as scratch:
        folder = pathlib.Path(keep / suite.name if keep else scratch)
        folder.mkdir(parents=True, exist_ok=True)
        for attempt in range(repeat):
            for mode in modes:
                taken, found, store = run(python, source, suite, mode, folder, timeout)
                result = results[mode]
                result.peak = max(result.peak, taken["peak"])
                if taken["timeout"]:
                    result.timeouts += 1
                    print(f"  {suite.name} {mode}: timed out after {timeout:.0f} s", file=sys.stderr)
                    continue
                result.seconds = min(result.seconds, taken["seconds"])
                result.outcomes = found
                print(f"  {suite.name} {mode}: {taken['seconds']:.1f} s", file=sys.stderr)
                if store is not None and attempt == repeat - 1:
                    sizes, result.lost = record_sizes(store)
                    result.records = sum(sizes.values())
                    result.median = percentile(sizes, 0.5)
                    result.p99 = percentile(sizes, 0.99)
    return results


def differing(results, mode):
    """The tests whose outcome in mode is not the plain run's; None when either has none."""
    plain, other = results["plain"].outcomes, results[mode].outcomes
    if plain is None or other is None:
        return None
    return sorted(k for k in plain.keys() | other.keys() if plain.get(k) != other.get(k))


def ratio(results, mode):
    result = results.get(mode)
    if result is None:
        return "-"
    if timed_out(result):
        return f"timeout (> {result.limit:.0f} s)"
    plain = results.get("plain")
    if plain is None or plain.outcomes is None:
        return f"{result.seconds:.2f} s"
    return f"{result.seconds / plain.seconds:.2f}×"


def timed_out(result):
    return result.outcomes is None and result.timeouts > 0


def megabytes(results, mode):
    return f"{results[mode].peak / 2**20:.0f}" if mode in results else "-"


def record_bytes(results, mode):
    result = results.get(mode)
    if result is None or result.median is None:
        return "-"
    return f"{result.median}/{result.p99}"


def report(suite, results):
    plain = results.get("plain")
    tests = len(plain.outcomes) if plain and plain.outcomes is not None else "?"
    print(f"\n{suite.package} {suite.version} on Python {sys.version.split()[0]}: {tests} tests")
    for mode, result in results.items():
        line = f"  {mode:18}"
        if timed_out(result):
            line += f" {ratio(results, mode)}"
        else:
            line += f" {result.seconds:8.2f} s {ratio(results, mode):>8}"
        line += f"  peak {result.peak / 2**20:6.0f} MB"
        if result.records is not None:
            line += (f"  {result.records} records, bytes per record median {result.median},"
                     f" p99 {result.p99}; traces")
            line += "".join(f" {kind} {result.lost.get(kind, 0)}"
                            for kind in ("bare", "paused", "at limit"))
        if mode != "plain":
            differ = differing(results, mode)
            line += "  differing: " + ("n/a" if differ is None else str(len(differ)))
            for key in differ or ():
                plain_outcome = plain.outcomes.get(key) if plain else None
                line += f"\n      {key}: {plain_outcome} plain, {result.outcomes.get(key)}"
        print(line)


def table(measured):
    print("\n| suite | tests | plain s | cProfile × | vesk × | lightweight × | peak MB plain/vesk |"
          " record bytes median/p99 (vesk; lightweight) | differing outcomes |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---|")
    for suite, results in measured:
        plain = results.get("plain")
        tests = len(plain.outcomes) if plain and plain.outcomes is not None else "?"
        seconds = f"{plain.seconds:.2f}" if plain and plain.outcomes is not None else "-"
        differ = []
        for mode in results:
            if mode != "plain":
                found = differing(results, mode)
                differ.append(f"{mode} {'n/a' if found is None else len(found)}")
        print(f"| {suite.package} {suite.version} | {tests} | {seconds} | {ratio(results, 'cprofile')}"
              f" | {ratio(results, 'vesk')} | {ratio(results, 'vesk-lightweight')}"
              f" | {megabytes(results, 'plain')}/{megabytes(results, 'vesk')}"
              f" | {record_bytes(results, 'vesk')}; {record_bytes(results, 'vesk-lightweight')}"
              f" | {', '.join(differ) or '-'} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--all", action="store_true", help="run every suite of SUITES")
    parser.add_argument("--suites", help=f"comma-separated, of: {', '.join(SUITES)}")
    parser.add_argument("--package", help="another package's suite, from its sdist")
    parser.add_argument("--version")
    parser.add_argument("--tests", default="tests")
    parser.add_argument("--requires", action="append", default=[])
    parser.add_argument("--modes", default=",".join(DEFAULT_MODES),
                        help=f"comma-separated, of: {', '.join(MODES)}")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=900.0, help="seconds a run may take")
    parser.add_argument("--keep", type=pathlib.Path,
                        help="keep each suite's reports, logs and stores in this folder")
    options = parser.parse_args()
    modes = [mode for mode in options.modes.split(",") if mode]
    unknown = set(modes) - set(MODES)
    if unknown:
        parser.error(f"unknown modes: {', '.join(sorted(unknown))}")
    if "plain" not in modes:
        modes.insert(0, "plain")  # what the others are compared with
    if options.package:
        if not options.version:
            parser.error("--package needs --version")
        suites = [Suite(options.package, options.version, options.tests, tuple(options.requires))]
    elif options.all:
        suites = list(SUITES.values())
    else:
        names = (options.suites or "boltons").split(",")
        unknown = [name for name in names if name not in SUITES]
        if unknown:
            parser.error(f"unknown suites: {', '.join(unknown)}")
        suites = [SUITES[name] for name in names]
    # The extension may be rebuilt by other work while the suites run: which one ran is said.
    before = engine()
    measured = []
    for suite in suites:
        results = measure(suite, modes, options.repeat, options.timeout, options.keep)
        report(suite, results)
        measured.append((suite, results))
        sys.stdout.flush()
    after = engine()
    print(f"\nPython {sys.version.split()[0]}, best of {options.repeat}, modes {', '.join(modes)};"
          f" vesk at {git_head()}, extension {before}"
          + ("" if after == before else f", then {after}: REBUILT DURING THE RUN"))
    table(measured)


def git_head():
    done = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "--", "src"],
                          capture_output=True, text=True)
    changed = " (src/ changed since)" if done.stdout.strip() else ""
    done = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True)
    return (done.stdout.strip() or "?") + changed


def engine():
    """The built extension the suites import: the start of its SHA-256 and when it was built."""
    from vesk import _vesk

    path = pathlib.Path(_vesk.__file__)
    built = datetime.datetime.fromtimestamp(path.stat().st_mtime, datetime.timezone.utc)
    return f"{hashlib.sha256(path.read_bytes()).hexdigest()[:12]} built {built:%Y-%m-%d %H:%M} UTC"


if __name__ == "__main__":
    main()
