"""Forks beside threads that save: a recorded program forks (directly, or to run a program with
preexec_fn) while one thread hands parts off without waiting and another waits for each of its
saves, with another process keeping the other core busy. Prints how many runs hung.

    .venv/bin/python bench/fork_stress.py [--runs 5] [--forks 500] [--timeout 120]
"""

import argparse
import multiprocessing
import os
import subprocess
import sys
import tempfile
import textwrap
import time

PROGRAM = """
    import os, subprocess, sys, threading, warnings
    import vesk

    warnings.simplefilter("ignore", DeprecationWarning)  # the program's own threads run

    def work(n):
        return [n] * 50

    def handing_off(stop, recording):
        while not stop.is_set():
            for _ in range(200):
                work(1)
            recording.save(wait=False)

    def waiting(stop, recording):
        while not stop.is_set():
            for _ in range(200):
                work(2)
            recording.save()

    stop = threading.Event()
    with vesk.enable(sys.argv[1]) as recording:
        threads = [threading.Thread(target=f, args=(stop, recording)) for f in (handing_off, waiting)]
        for thread in threads:
            thread.start()
        for n in range(int(sys.argv[2])):
            if n % 5:
                pid = os.fork()
                if pid == 0:
                    os._exit(0)
                os.waitpid(pid, 0)
            else:
                subprocess.run(["true"], preexec_fn=lambda: None)
        stop.set()
        for thread in threads:
            thread.join()
"""


def _busy(stop):
    while not stop.is_set():
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--forks", type=int, default=500)
    parser.add_argument("--timeout", type=float, default=120)
    options = parser.parse_args()
    stop = multiprocessing.Event()
    busy = multiprocessing.Process(target=_busy, args=(stop,), daemon=True)
    busy.start()
    hung, times = 0, []
    try:
        with tempfile.TemporaryDirectory(prefix="vesk-fork-stress-") as folder:
            script = os.path.join(folder, "program.py")
            with open(script, "w") as file:
                file.write(textwrap.dedent(PROGRAM))
            for run in range(options.runs):
                database = os.path.join(folder, f"run{run}.sqlite3")
                started = time.monotonic()
                try:
                    done = subprocess.run([sys.executable, script, database, str(options.forks)],
                                          capture_output=True, text=True, timeout=options.timeout)
                except subprocess.TimeoutExpired:
                    hung += 1
                    print(f"run {run}: hung (over {options.timeout:.0f} s)", flush=True)
                    continue
                times.append(time.monotonic() - started)
                state = "ended" if done.returncode == 0 else f"failed ({done.stderr.strip()[-200:]})"
                print(f"run {run}: {state} in {times[-1]:.1f} s", flush=True)
    finally:
        stop.set()
        busy.join()
    print(f"{hung} of {options.runs} runs of {options.forks} forks hung"
          + (f"; the others took {min(times):.1f}-{max(times):.1f} s" if times else ""))
    return 1 if hung else 0


if __name__ == "__main__":
    sys.exit(main())
