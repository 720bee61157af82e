"""A trace of a million calls (two million records), recorded, stored and read back: time and peak
resident memory of each step, and the bytes stored per record.

    .venv/bin/python bench/big_trace.py [--calls N] [--keep FOLDER]

Each step runs as its own process, as a user runs it; peak memory is that process's maximum
resident set size.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

PROGRAM = """
import sys

def leaf(i):
    return i + 1

def main(calls):
    total = 0
    for i in range(calls):
        total += leaf(i)
    return total

main(int(sys.argv[1]))
"""


def run(step, command, folder):
    started = time.perf_counter()
    process = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, text=True)
    _, status, usage = os.wait4(process.pid, 0)  # this child's own peak, not any earlier one's
    seconds = time.perf_counter() - started
    errors = process.stderr.read()
    process.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{step} failed: {errors.strip()[-2000:]}")
    print(f"{step:28} {seconds:8.1f} s  {usage.ru_maxrss / 1024:8.0f} MB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--keep", help="a folder to keep the program and its database in")
    options = parser.parse_args()
    folder = options.keep or tempfile.mkdtemp(prefix="big-trace-")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "calls.py"), "w") as program:
        program.write(textwrap.dedent(PROGRAM))
    database = os.path.join(folder, "big.sqlite3")
    if os.path.exists(database):
        os.remove(database)
    vesk = [sys.executable, "-m", "vesk"]
    print(f"{options.calls:,} calls; Python {sys.version.split()[0]}")
    print(f"{'step':28} {'time':>10}  {'peak':>11}")
    run("vesk run", [*vesk, "run", "--db", database, "calls.py", str(options.calls)], folder)
    from vesk import db

    (summary,) = db.list_traces(database)
    print(f"{'database':28} {os.path.getsize(database) / 2**20:8.1f} MiB, "
          f"{summary.size / summary.record_count:.1f} bytes per record stored "
          f"({summary.record_count:,} records in {summary.parts} parts)")
    run("vesk show --depth 1", [*vesk, "show", "--db", database, "--depth", "1"], folder)
    run("vesk show (200 lines)", [*vesk, "show", "--db", database], folder)
    run("vesk export", [*vesk, "export", "--db", database, "-o", "trace.json"], folder)
    run("vesk traces", [*vesk, "traces", "--db", database], folder)


if __name__ == "__main__":
    main()
