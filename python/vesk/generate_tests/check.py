"""Runs a generated test module against the current code, twice, in a subprocess: the cases that
fail in either run (or pass in one and fail in the other) are dropped from what is written."""

import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

__all__ = ["CheckFailed", "Unimportable", "run_twice"]

RUNS = 2
TIMEOUT = 600  # seconds for one run


class CheckFailed(Exception):
    """The module could not be run at all (it did not import, or pytest could not start)."""


class Unimportable(Exception):
    """The module failed at import: the line of the module where it did, and why."""

    def __init__(self, traceback, message):
        Exception.__init__(self, message)
        lines = [int(n) for n in re.findall(r"test_vesk_check_\w+\.py:(\d+): in <module>", traceback)]
        self.line = lines[-1] if lines else 0
        last = [line for line in traceback.strip().splitlines() if line.startswith("E ")]
        self.message = (last[-1][1:].strip() if last else message)[:200]


def _run(path):
    with tempfile.TemporaryDirectory(prefix="vesk-check-") as folder:
        report = os.path.join(folder, "report.xml")
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-o", "addopts=",
                   "-W", "ignore::pytest.PytestAssertRewriteWarning", "--rootdir", os.path.dirname(path), "--junitxml", report, path,
                   # pytest's own numbered temporary folders are shared: a run there would
                   # remove the oldest, perhaps those of a test session still running
                   "--basetemp", os.path.join(folder, "tmp")]
        env = dict(os.environ)
        env.pop("PYTHONHASHSEED", None)  # each run hashes strings its own way: an order they set flips
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT, env=env,
                                  cwd=os.path.dirname(path), stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            raise CheckFailed(f"running the tests took over {TIMEOUT} s") from None
        if not os.path.exists(report):
            last = (done.stderr or done.stdout).strip().splitlines()[-1:] or ["no output"]
            raise CheckFailed(f"pytest did not run the tests: {last[0]}")
        return _outcomes(ElementTree.parse(report).getroot(), done)


def _outcomes(root, done):
    """test id ("test_f[c3]") -> None when it passed, else the first line of why not."""
    found = {}
    for case in root.iter("testcase"):
        name = case.get("name", "")
        problem = None
        for kind in ("failure", "error", "skipped"):
            element = case.find(kind)
            if element is not None:
                problem = (element.get("message") or kind).strip().splitlines()[0][:200] if (
                    element.get("message") or "").strip() else kind
                break
        found[name] = problem
    if not found and done.returncode not in (0, 5):
        last = (done.stdout or done.stderr).strip().splitlines()[-1:] or ["no output"]
        raise CheckFailed(f"the tests did not run: {last[0]}")
    if not any("[" in name for name in found):
        error = next((c.find("error") for c in root.iter("testcase") if c.find("error") is not None), None)
        if error is not None:
            raise Unimportable(error.text or "", error.get("message") or "")
    return found


def run_twice(path):
    """{test id: why it was dropped} for the tests of the module at path that did not pass in
    every run."""
    runs = [_run(path) for _ in range(RUNS)]
    dropped = {}
    for name in runs[0]:
        outcomes = [run.get(name, "not run") for run in runs]
        if all(o is None for o in outcomes):
            continue
        if any(o is None for o in outcomes):
            dropped[name] = "flipped between runs"
        else:
            dropped[name] = outcomes[0]
    return dropped
