"""What a recording leaves behind in the program it watched, in figures:

- records that reach a recording after it stopped, from a thread it had reached;
- the time of 300,000 calls after `with vesk.enable(): pass`, against before;
- records kept across a save that failed;
- getcwd calls for 5,000 recorded calls after an os.chdir on a thread that is not recorded
  (counted with strace when it is installed).

    .venv/bin/python bench/undisturbed.py
"""

import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import msgpack

import vesk
from vesk import _vesk, db


def records(trace):
    trace = msgpack.unpackb(trace, strict_map_key=False)
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


def tick(i):
    return i + 1


def records_after_stop(folder):
    stop, started = threading.Event(), threading.Event()

    def spin():
        i = 0
        while not stop.is_set():
            i = tick(i)
            started.set()

    with vesk.enable(os.path.join(folder, "stop.sqlite3")) as profiler:
        worker = threading.Thread(target=spin)
        worker.start()
        started.wait()
    time.sleep(0.3)
    late = len(records(profiler.rust_profiler.build_trace()))
    stop.set()
    worker.join()
    return late


def calls(n):
    for i in range(n):
        tick(i)


def best_time(n, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        calls(n)
        best = min(best, time.perf_counter() - start)
    return best


def time_after_stop(folder):
    before = best_time(300_000)
    with vesk.enable(os.path.join(folder, "slow.sqlite3")):
        pass
    after = best_time(300_000)
    sys.setprofile(None)
    return before, after


class Host:
    def __init__(self, db_path):
        self.config, self.db_path, self.one_trace_per_test = {}, db_path, False
        self.trace_id, self.source = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ", "bench"

    def __call__(self):
        pass


def kept_after_failed_save(folder):
    # A database inside a regular file cannot be created: the save fails.
    blocker = os.path.join(folder, "not-a-folder")
    open(blocker, "w").close()
    host = Host(os.path.join(blocker, "db.sqlite3"))
    _vesk.register_profiler(host)
    calls(1000)
    _vesk.register_noop_profiler()
    sys.setprofile(None)
    try:
        host.rust_profiler.save_request_in_db()
    except Exception:  # noqa: BLE001 - the failure is the point
        pass
    os.remove(blocker)
    os.mkdir(blocker)
    try:
        host.rust_profiler.save_request_in_db()
    except Exception:  # noqa: BLE001 - an engine that lost its records fails differently
        pass
    summaries = db.list_traces(host.db_path) if os.path.exists(host.db_path) else []
    return sum(s.record_count for s in summaries)


GETCWD = """
import os, sys, threading
sys.path.insert(0, sys.argv[1])
from vesk import _vesk
from undisturbed import Host, calls
host = Host(os.path.join(sys.argv[2], "cwd.sqlite3"))
_vesk.register_profiler(host)
thread = threading.Thread(target=os.chdir, args=(sys.argv[2],))
thread.start()
thread.join()
calls(5000)
_vesk.register_noop_profiler()
"""


def getcwd_calls(folder):
    strace = shutil.which("strace")
    if strace is None:
        return None
    log = os.path.join(folder, "strace.log")
    subprocess.run([strace, "-f", "-e", "trace=getcwd", "-o", log, sys.executable, "-c", GETCWD,
                    os.path.dirname(os.path.abspath(__file__)), folder], check=True)
    with open(log) as lines:
        return sum("getcwd(" in line for line in lines)


def main():
    with tempfile.TemporaryDirectory() as folder:
        before, after = time_after_stop(folder)  # first: nothing recorded before it
        print(f"300,000 calls before / after a stop:   {before * 1e3:.1f} ms / {after * 1e3:.1f} ms")
        print(f"records after stop, over 0.3 s:        {records_after_stop(folder)}")
        print(f"records kept across a failed save:     {kept_after_failed_save(folder)} of 2002")
        count = getcwd_calls(folder)
        shown = "strace is not installed" if count is None else f"{count}"
        print(f"getcwd calls for 5,000 recorded calls: {shown}")


if __name__ == "__main__":
    main()
