"""How a recorded program ends is the program's own: daemon threads ended at exit inside our code,
forks at any moment, signals and the exceptions their handlers raise."""

import subprocess
import sys
import textwrap

import pytest


def run_python(source, *args, timeout=60, cwd=None):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(source), *args],
                          capture_output=True, text=True, timeout=timeout, cwd=cwd)


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
        "co_names": ["f"], "path_fragment": "", "call_type": "c", "return_type": "r",
        "call": slow}])
    vesk.Profiler(config, db_path=sys.argv[1]).start()
    for _ in range(8):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.2)
    print("done")
"""


@pytest.mark.parametrize("attempt", range(3))
def test_daemon_threads_ended_inside_the_hook_at_exit(tmp_path, attempt):
    result = run_python(DAEMONS_AT_EXIT, str(tmp_path / "traces.sqlite3"))
    assert (result.returncode, result.stdout) == (0, "done\n"), result.stderr
