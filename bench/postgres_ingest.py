"""The shared store on a PostgreSQL server beside the SQLite file, side by side:

1. ingest: 8 writer processes saving 100 test traces each at once, into one server and into one
   SQLite file: traces/s and MB/s (of MessagePack before compression), and every trace stored once;
2. kill -9 of writers in the middle of their saves, 20 times: no partial part, every part decodes;
3. reading a trace of a million calls (two million records) with `vesk show` and `vesk stats`.

    .venv/bin/python bench/postgres_ingest.py [--writers 8] [--traces 100] [--kills 20] [--calls N]

The server is the tests' own (tests/postgres.py): Debian's PostgreSQL in a temporary folder, on a
Unix socket, stopped at the end.
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import postgres  # noqa: E402 - the tests' server
from big_trace import PROGRAM as BIG_PROGRAM  # noqa: E402 - a million calls

from vesk import db  # noqa: E402

TEST_PROGRAM = """
def leaf(i):
    return {"i": i, "name": f"item {i}"}

def test_body(n):
    return [leaf(i) for i in range(n)]

test_body(1000)
"""

WRITER = """
import sys
from vesk import db
target, name, count, blob_path = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
blob = open(blob_path, "rb").read()
sys.stdin.readline()  # every writer starts at once
for i in range(count):
    db.save_trace_in_sqlite(target, f"trc_{name}_{i}", msgpack=blob)
"""

LOOPING_WRITER = """
import sys
from vesk import db
target, name, blob_path = sys.argv[1], sys.argv[2], sys.argv[3]
blob = open(blob_path, "rb").read()
print("ready", flush=True)
i = 0
while True:
    db.save_trace_in_sqlite(target, f"trc_{name}_{i % 4}", msgpack=blob)
    i += 1
"""


def vesk(*args, cwd):
    subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def a_trace(folder, program, *args):
    """The MessagePack of the one part `vesk run` stores for program."""
    path = os.path.join(folder, "program.py")
    with open(path, "w") as file:
        file.write(textwrap.dedent(program))
    database = os.path.join(folder, "one.sqlite3")
    vesk("run", "--db", database, "--no-children", "program.py", *args, cwd=folder)
    parts = db.load_trace_parts(database, db.latest_trace_id(database))
    os.remove(database)
    return b"".join(parts) if len(parts) == 1 else parts[0]


def ingest(target, writers, traces, blob_path):
    processes = [subprocess.Popen([sys.executable, "-c", WRITER, target, f"w{n}", str(traces), blob_path],
                                  stdin=subprocess.PIPE, text=True) for n in range(writers)]
    time.sleep(2)  # interpreters started, vesk imported
    started = time.perf_counter()
    for process in processes:
        process.stdin.write("go\n")
        process.stdin.flush()
    for process in processes:
        process.stdin.close()
        if process.wait() != 0:
            sys.exit("a writer failed")
    seconds = time.perf_counter() - started
    summaries = db.list_traces(target)
    expected = {f"trc_w{n}_{i}" for n in range(writers) for i in range(traces)}
    once = {s.trace_id for s in summaries} == expected and all(s.parts == 1 for s in summaries)
    return seconds, once, sum(s.size for s in summaries) / len(summaries)


def kill_writers(target, blob_path, kills):
    """kills rounds of two writers, one of them killed at a random moment of its saves; then
    every part of the store read back whole."""
    rng = random.Random(7)
    for round_number in range(kills):
        processes = [subprocess.Popen([sys.executable, "-c", LOOPING_WRITER, target, f"k{round_number}_{n}",
                                       blob_path], stdout=subprocess.PIPE) for n in range(2)]
        for process in processes:
            process.stdout.readline()
        time.sleep(rng.uniform(0.05, 0.6))
        for process in processes:
            process.send_signal(signal.SIGKILL)
            process.wait()
            process.stdout.close()
    size = os.path.getsize(blob_path)
    parts = bad = 0
    for summary in db.list_traces(target):
        try:
            for part in db.iter_trace_parts(target, summary.trace_id):
                parts += 1
                bad += len(part) != size
        except db.PartUnreadable:
            bad += 1
    return parts, bad


def best_of(runs, command, cwd):
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
        times.append(time.perf_counter() - started)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--writers", type=int, default=8)
    parser.add_argument("--traces", type=int, default=100)
    parser.add_argument("--kills", type=int, default=20)
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=3, help="reads timed, the best kept")
    options = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="pg-bench-")
    server = postgres.Server(postgres._bin_dir())
    server.start(fsync=True)
    try:
        # Through libpq's environment, as a CI job would give it: never on a command line.
        os.environ["PGPASSWORD"] = postgres.ADMIN_PASSWORD
        admin = server.url(password=None)
        with server.admin() as conn:
            for name in ("ingest", "kills", "reads"):
                conn.execute(f"CREATE DATABASE {name}")
        blob_path = os.path.join(folder, "test.msgpack")
        with open(blob_path, "wb") as file:
            file.write(a_trace(folder, TEST_PROGRAM))
        raw = os.path.getsize(blob_path)
        total = options.writers * options.traces
        print(f"Python {sys.version.split()[0]}; {options.writers} writers x {options.traces} test traces "
              f"of {raw / 1024:.0f} KiB of MessagePack each")
        print(f"{'ingest':10} {'seconds':>8} {'traces/s':>9} {'MB/s':>7}  every trace once")
        rates = {}
        for store, target in (("sqlite", os.path.join(folder, "ingest.sqlite3")),
                              ("postgres", admin.replace("/postgres?", "/ingest?"))):
            seconds, once, stored = ingest(target, options.writers, options.traces, blob_path)
            rates[store] = total / seconds
            print(f"{store:10} {seconds:8.2f} {total / seconds:9.0f} {total * raw / seconds / 1e6:7.1f}  {once}"
                  f"  ({stored / 1024:.0f} KiB stored a trace)")
        print(f"postgres / sqlite ingest rate: {rates['postgres'] / rates['sqlite']:.2f}")

        big_path = os.path.join(folder, "part.msgpack")
        with open(big_path, "wb") as file:  # 4 MiB that do not compress: slow to send, easy to cut
            file.write(os.urandom(4 << 20))
        for store, target in (("sqlite", os.path.join(folder, "kills.sqlite3")),
                              ("postgres", admin.replace("/postgres?", "/kills?"))):
            parts, bad = kill_writers(target, big_path, options.kills)
            print(f"kill -9 x{options.kills} ({store}): {parts} parts stored, {bad} partial or unreadable")

        database = os.path.join(folder, "big.sqlite3")
        with open(os.path.join(folder, "calls.py"), "w") as file:
            file.write(textwrap.dedent(BIG_PROGRAM))
        vesk("run", "--db", database, "calls.py", str(options.calls), cwd=folder)
        (summary,) = db.list_traces(database)
        url = admin.replace("/postgres?", "/reads?")
        vesk("push", "--db", database, summary.trace_id, "--to", url, cwd=folder)
        print(f"a trace of {summary.record_count:,} records in {summary.parts} parts, "
              f"{summary.size / 2**20:.1f} MiB stored")
        print(f"{'read':22} {'sqlite':>8} {'postgres':>9} {'ratio':>6}")
        for name, args in (("vesk show", ["show"]), ("vesk stats", ["stats"])):
            times = [best_of(options.runs, [sys.executable, "-m", "vesk", *args, "--db", where], folder)
                     for where in (database, url)]
            print(f"{name:22} {times[0]:7.2f}s {times[1]:8.2f}s {times[1] / times[0]:6.2f}")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
