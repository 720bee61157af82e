"""A multiprocessing pool created, used and ended by `with Pool()` (which terminates its workers)
again and again under `pytest --vesk`, with another process keeping the other core busy: every
run must end. A recorded pool worker that caught SIGTERM could miss it (the signal arriving after
the interpreter's last look, before the worker blocked on its queue) and hang Pool.terminate().

    python bench/pool_stress.py [--runs 500] [--per-session 50] [--timeout 30]

Prints the runs, the hangs (a session that pytest-timeout ended, or that left a worker behind;
the rest of such a session's runs count as failed) and the failures, and exits 1 when any run
hung or failed. Not part of the timed test suite.
"""

import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys
import tempfile
import time

TEST = '''
import multiprocessing

import pytest


def square(x):
    return x * x


@pytest.mark.parametrize("run", range({count}))
def test_pool(run):
    with multiprocessing.Pool(2) as pool:
        assert pool.map(square, range(20)) == [x * x for x in range(20)]
'''


def run_session(folder, count, timeout):
    """One pytest session of `count` pool runs in a process group of its own: (passed, hung).
    A session that outlives its runs' time, or leaves a worker behind, hung."""
    (folder / "test_pool.py").write_text(TEST.format(count=count))
    with open(folder / "output.txt", "w+") as output:
        session = subprocess.Popen(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "timeout",
             f"--timeout={timeout}", "--timeout-method=thread", "--vesk",
             f"--vesk-db={folder / 'traces.sqlite3'}", "test_pool.py"],
            cwd=folder, stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            session.wait(timeout=count * timeout + 60)
            hung = False
        except subprocess.TimeoutExpired:
            hung = True
        # pytest-timeout ends the session at a hang, and the hung worker outlives it.
        try:
            os.killpg(session.pid, 0)
            left_behind = True
        except ProcessLookupError:
            left_behind = False
        if left_behind:
            os.killpg(session.pid, signal.SIGKILL)
        session.wait()
        output.seek(0)
        text = output.read()
    hung = hung or left_behind or "Timeout" in text
    passed = int(m.group(1)) if (m := re.search(r"(\d+) passed", text)) else 0
    return passed, hung


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=500)
    parser.add_argument("--per-session", type=int, default=50)
    parser.add_argument("--timeout", type=int, default=30, help="seconds before a run is hung")
    options = parser.parse_args()

    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    hangs = failures = done = 0
    started = time.monotonic()
    try:
        with tempfile.TemporaryDirectory() as folder:
            while done < options.runs:
                count = min(options.per_session, options.runs - done)
                passed, hung = run_session(pathlib.Path(folder), count, options.timeout)
                hangs += hung
                failures += count - passed - hung
                done += count
                print(f"{done} runs: {hangs} hung, {failures} failed "
                      f"({time.monotonic() - started:.0f} s)", flush=True)
    finally:
        busy.kill()
        busy.wait()
    print(f"{options.runs} runs of a pool under pytest --vesk with the other core busy: "
          f"{hangs} hung, {failures} failed, in {time.monotonic() - started:.0f} s")
    return 1 if hangs or failures else 0


if __name__ == "__main__":
    sys.exit(main())
