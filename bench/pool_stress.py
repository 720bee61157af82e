"""A multiprocessing pool created, used and ended by `with Pool()` (which terminates its workers)
again and again under `pytest --vesk`, with another process keeping the other core busy: every
run must end. A recorded pool worker that caught SIGTERM could miss it (the signal arriving after
the interpreter's last look, before the worker blocked on its queue) and hang Pool.terminate().

    python bench/pool_stress.py [--runs 500] [--per-session 50] [--timeout 30]

Prints the runs, the hangs (runs that pytest-timeout ended) and the failures, and exits 1 when
any run hung or failed. Not part of the timed test suite.
"""

import argparse
import pathlib
import re
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
            folder = pathlib.Path(folder)
            while done < options.runs:
                count = min(options.per_session, options.runs - done)
                (folder / "test_pool.py").write_text(TEST.format(count=count))
                result = subprocess.run(
                    [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                     "-p", "timeout", f"--timeout={options.timeout}", "--timeout-method=thread",
                     "--vesk", f"--vesk-db={folder / 'traces.sqlite3'}", "test_pool.py"],
                    cwd=folder, capture_output=True, text=True)
                output = result.stdout + result.stderr
                # The thread method ends the whole session at the first hang.
                session_hung = "Timeout" in output
                passed = int(m.group(1)) if (m := re.search(r"(\d+) passed", output)) else 0
                hangs += session_hung
                failures += count - passed - session_hung
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
