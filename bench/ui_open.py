"""Opening a big trace in the viewer: the requests the page makes when a trace is opened, answered
by the viewer's API in a fresh process (cold: the trace's index is built on the first one) and
again by the same one (warm), for two recorded programs.

    .venv-3.12/bin/python bench/ui_open.py [--scale 1.0] [--keep FOLDER] [--profile]

- "calls": about 400,000 records, a tree of small method calls with a few arguments each (self
  among them, an object);
- "threads": about 270,000 records over 8 threads, with big arguments (long texts, dicts, lists)
  and a log record (a framework event) every few calls, as a real suite's trace has.

The page's requests on open: /api/trace/ID, the first children page of each thread, the
children of the first call, and the flame of each thread's whole time. Each program is recorded
once into FOLDER (kept with --keep, and then reused). Beside the cold open's time, the processor
time it took: the machine may be busy with other work. --profile prints where the cold open's
time goes (cProfile, the 25 costliest functions).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time

CALLS = """
import sys

class Shape:
    def __init__(self, name, sides):
        self.name, self.sides = name, sides

    def leaf(self, i, flag):
        return i * self.sides

    def branch(self, i, width):
        total = 0
        for j in range(width):
            total += self.leaf(i + j, j % 2 == 0)
        return total

def main(count):
    shape = Shape("square", 4)
    total = 0
    for i in range(count):
        total += shape.branch(i, 9)
    return total

main(int(sys.argv[1]))
"""

THREADS = """
import logging
import sys
import threading

logging.basicConfig(level=logging.INFO, handlers=[logging.NullHandler()])
log = logging.getLogger("bench")
TEXT = "lorem ipsum dolor sit amet " * 40

def handle(i, headers, rows, text):
    return {"status": 200, "rows": rows[:3], "length": len(text)}

def serve(n, count):
    headers = {f"X-Header-{k}": f"value {k}" for k in range(12)}
    rows = [[j, f"row {j}", j * 0.5] for j in range(20)]
    for i in range(count):
        handle(i, headers, rows, TEXT)
        if i % 8 == 0:
            log.info("request %d of worker %d", i, n)

def main(count):
    workers = [threading.Thread(target=serve, args=(n, count), name=f"worker-{n}") for n in range(8)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()

main(int(sys.argv[1]))
"""

PROGRAMS = {"calls": (CALLS, 20000), "threads": (THREADS, 16000)}


def record(folder, name, scale):
    database = os.path.join(folder, f"{name}.sqlite3")
    if os.path.exists(database):
        return database
    program, count = PROGRAMS[name]
    path = os.path.join(folder, f"{name}.py")
    with open(path, "w") as out:
        out.write(textwrap.dedent(program))
    subprocess.run([sys.executable, "-m", "vesk", "run", "--db", database, path, str(int(count * scale))],
                   cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return database


def open_once(api, trace_id):
    """The page's requests on opening a trace; the seconds they took, and the processor seconds."""
    started, used = time.perf_counter(), time.process_time()
    trace = api.answer(["trace", trace_id], {})
    for thread in trace["threads"]:
        api.answer(["trace", trace_id, "children"], {"thread": str(thread["index"]), "node": "-1"})
    if trace["threads"] and trace["threads"][0]["nodes"]:
        api.answer(["trace", trace_id, "children"], {"thread": "0", "node": "0"})
    for thread in trace["threads"]:
        if thread["low"] is not None and thread["high"] > thread["low"]:
            api.answer(["trace", trace_id, "flame"], {"thread": str(thread["index"]), "low": repr(thread["low"]),
                                                      "high": repr(thread["high"]), "width": "1400"})
    return time.perf_counter() - started, time.process_time() - used, trace


def measure(database, profile):
    """In a process of its own: cold and warm opening times, and the peak resident memory."""
    import resource

    from vesk import db
    from vesk.ui.api import Api

    (summary,) = db.list_traces(database)
    api = Api(database)
    if profile:
        import cProfile
        import pstats

        profiler = cProfile.Profile()
        profiler.enable()
    cold, cold_cpu, trace = open_once(api, summary.trace_id)
    if profile:
        profiler.disable()
        pstats.Stats(profiler, stream=sys.stderr).sort_stats("cumulative").print_stats(25)
    warm, _, _ = open_once(api, summary.trace_id)
    api.close()
    print(json.dumps({"records": summary.record_count, "threads": len(trace["threads"]),
                      "nodes": sum(t["nodes"] for t in trace["threads"]), "stored": summary.size,
                      "cold": cold, "cold_cpu": cold_cpu, "warm": warm,
                      "peak": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="times the records of each program")
    parser.add_argument("--keep", help="a folder to keep the programs and their databases in")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.measure:
        measure(options.measure, options.profile)
        return
    folder = options.keep or tempfile.mkdtemp(prefix="ui-open-")
    os.makedirs(folder, exist_ok=True)
    print(f"Python {sys.version.split()[0]}")
    print(f"{'trace':8} {'records':>9} {'threads':>7} {'nodes':>9} {'stored':>9} {'cold':>8} {'(cpu)':>8} {'warm':>8} {'peak':>8}")
    for name in PROGRAMS:
        database = record(folder, name, options.scale)
        command = [sys.executable, __file__, "--measure", database] + (["--profile"] if options.profile else [])
        result = json.loads(subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout)
        print(f"{name:8} {result['records']:9,} {result['threads']:7} {result['nodes']:9,} "
              f"{result['stored'] / 2**20:7.1f}MB {result['cold']:7.2f}s {result['cold_cpu']:7.2f}s {result['warm']:7.2f}s "
              f"{result['peak'] / 2**20:6.0f}MB")


if __name__ == "__main__":
    main()
