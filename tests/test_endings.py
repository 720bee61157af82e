"""How a recorded program ends is the program's own: daemon threads ended at exit inside our code,
forks at any moment, signals and the exceptions their handlers raise."""

import subprocess
import sys
import textwrap

import pytest


def run_script(tmp_path, source, *args, timeout=60):
    """Runs source as a script of its own (code given with -c is never recorded), with the
    database path as its first argument."""
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(source))
    return subprocess.run([sys.executable, str(script), str(tmp_path / "traces.sqlite3"), *args],
                          capture_output=True, text=True, timeout=timeout, cwd=tmp_path)


# Daemon threads are inside the hook (in a plugin that lets other threads run) when the program
# ends: the interpreter ends each by unwinding its stack, through the engine's frames.
DAEMONS_AT_EXIT = """
    import sys, threading, time
    import vesk

    def slow(frame, event, arg, context):
        time.sleep(0.001)
        return True

    def f(x):
        return x

    def loop():
        while True:
            f(1)

    config = vesk.profiler.make_config(plugins=[{
        "co_names": ["f"], "path_fragment": "program.py", "call_type": "c", "return_type": "r",
        "call": slow}])
    vesk.Profiler(config, db_path=sys.argv[1]).start()
    for _ in range(8):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.2)
    print("done")
"""


@pytest.mark.parametrize("attempt", range(3))
def test_daemon_threads_ended_inside_the_hook_at_exit(tmp_path, attempt):
    result = run_script(tmp_path, DAEMONS_AT_EXIT)
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr


# A thread saves parts (so the engine may import what saving needs) while the main thread forks
# children that leave at once: none may wait for ever on a lock that the fork copied taken.
FORKS_WHILE_A_THREAD_SAVES = """
    import os, sys, threading, time, warnings
    import vesk

    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running

    def work(n):
        return [n] * 50

    def worker(stop):
        while not stop.is_set():
            work(1)

    stop, hung, pids = threading.Event(), 0, []
    with vesk.enable(sys.argv[1], part_size=20000, children=True):
        thread = threading.Thread(target=worker, args=(stop,))
        thread.start()
        for _ in range(40):
            pid = os.fork()
            if pid == 0:
                os._exit(0)
            pids.append(pid)
        deadline = time.monotonic() + 15
        for pid in pids:
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > deadline:
                    hung += 1
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    break
                time.sleep(0.01)
        stop.set()
        thread.join()
    print(hung)
"""


def test_forks_while_another_thread_saves_never_hang(tmp_path):
    result = run_script(tmp_path, FORKS_WHILE_A_THREAD_SAVES, timeout=120)
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr
