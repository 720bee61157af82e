"""How a recorded program ends is the program's own: daemon threads ended at exit inside our code,
forks at any moment, signals and the exceptions their handlers raise."""

import functools
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import msgpack
import pytest

from vesk import db


def records_of(trace):
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


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


# A thread saves and waits for its part (holding the saver's lock while the interpreter lock comes
# back), while the main thread forks, directly or to run a program with preexec_fn: a fork waits
# for that lock holding the interpreter lock, so none of its holders may wait for the other.
FORKS_WHILE_A_THREAD_WAITS_FOR_ITS_SAVE = """
    import os, subprocess, sys, threading, warnings
    import vesk

    warnings.simplefilter("ignore", DeprecationWarning)  # the program's own thread is running

    def work(n):
        return [n] * 50

    def saving(stop, recording):
        while not stop.is_set():
            work(1)
            recording.save()

    stop = threading.Event()
    with vesk.enable(sys.argv[1], children=True) as recording:
        thread = threading.Thread(target=saving, args=(stop, recording))
        thread.start()
        for n in range(int(sys.argv[2])):
            if sys.argv[3] == "fork":
                pid = os.fork()
                if pid == 0:
                    os._exit(0)
                os.waitpid(pid, 0)
            else:
                subprocess.run(["true"], preexec_fn=lambda: None)
        stop.set()
        thread.join()
    print("ended")
"""


@pytest.mark.parametrize("how, forks", [("fork", 150), ("preexec_fn", 60)])
def test_forks_beside_a_thread_that_waits_for_its_save_never_hang(tmp_path, how, forks):
    result = run_script(tmp_path, FORKS_WHILE_A_THREAD_WAITS_FOR_ITS_SAVE, str(forks), how, timeout=120)
    assert (result.returncode, result.stdout) == (0, "ended\n"), result.stderr


# Python warns of a fork in a process that runs more than one thread: the program is told about
# its own threads only, whether it is recorded or is a child of a recorded program, and however
# much it recorded (records past a block's size start the thread that maps blocks ahead).
FORKS_AFTER_RECORDING = """
    import os, sys

    def work(n):
        return [n] * 20

    for i in range(int(sys.argv[1])):
        work(i)
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    print("forked")
"""


@pytest.mark.parametrize("records", [10, 20000])
@pytest.mark.parametrize("as_child", [False, True])
def test_a_fork_tells_the_program_of_its_own_threads_only(tmp_path, records, as_child):
    (tmp_path / "forks.py").write_text(textwrap.dedent(FORKS_AFTER_RECORDING))
    program = ["forks.py", str(records)]
    if as_child:
        (tmp_path / "parent.py").write_text(
            "import subprocess, sys\n\ndef main():\n    subprocess.run([sys.executable, *sys.argv[1:]], check=True)\n\n"
            "main()\n")
        program = ["parent.py", *program]
    result = subprocess.run([sys.executable, "-m", "vesk", "run", *program], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0 and result.stdout == "forked\n", result.stderr
    assert "multi-threaded" not in result.stderr, result.stderr


# A recorded child saves what it holds every second, so that a kill loses at most the last one: a
# fork, for which the thread that saves ends, does not end that.
FORKS_THEN_IS_KILLED = """
    import os, signal, time

    def work(n):
        return n

    work(1)
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
    work(2)
    time.sleep(2.5)
    os.kill(os.getpid(), signal.SIGKILL)
"""


def test_a_child_that_forked_still_saves_what_it_holds_every_second(tmp_path):
    (tmp_path / "child.py").write_text(textwrap.dedent(FORKS_THEN_IS_KILLED))
    (tmp_path / "parent.py").write_text("import subprocess, sys\n\ndef main():\n"
                                        "    subprocess.run([sys.executable, 'child.py'])\n\nmain()\n")
    result = subprocess.run([sys.executable, "-m", "vesk", "run", "parent.py"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    path = tmp_path / ".vesk" / "db.sqlite3"
    returned = []
    for summary in db.list_traces(path):
        parts = [msgpack.unpackb(p, strict_map_key=False) for p in db.load_trace_parts(path, summary.trace_id)]
        returned.append([r["arg"] for part in parts for r in records_of(part)
                         if r.get("co_name") == "work" and r["event"] == "return"])
    assert [1, 2] in returned, returned  # the child's trace; the parent's and the fork's have none


# A fork's child does not pay for the parts its parent has not written yet (the parent writes
# them): it leaves their memory untouched, where freeing them would first copy it page by page.
BACKLOG_AT_A_FORK = """
    import os, sqlite3, sys
    import vesk

    def work(n):
        return [n] * 20

    def child_faults():
        pid = os.fork()
        if pid == 0:
            sys.exit(0)
        return os.wait4(pid, 0)[2].ru_minflt

    with vesk.enable(sys.argv[1], part_size=50000) as recording:
        work(0)
        recording.save()
        holder = sqlite3.connect(sys.argv[1], isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")  # the saver waits: the parts cut meanwhile wait too
        for i in range(200000):
            work(i)
        with_backlog = child_faults()
        holder.execute("ROLLBACK")
        recording.save()
        without = child_faults()
    print(with_backlog - without)
"""


def test_a_forked_child_does_not_pay_for_its_parents_backlog(tmp_path):
    result = run_script(tmp_path, BACKLOG_AT_A_FORK, timeout=120)
    assert result.returncode == 0, result.stderr
    # About 60 MB of parts wait: freeing them would copy thousands of pages into the child.
    assert int(result.stdout) < 1000, result.stdout


# The saver thread looks the user's name up (for where a part comes from) while the program
# forks. The name services hold a lock of the C library during a lookup, which a fork copies
# as it stands; a lock of the program's stands for it here.
LOOKUP_AT_A_FORK = """
    import getpass, os, sys, threading, time
    import vesk

    services, looking = threading.Lock(), threading.Event()
    real_getuser = getpass.getuser

    def getuser():
        with services:
            looking.set()
            time.sleep(0.2)
            return real_getuser()

    getpass.getuser = getuser

    def work(n):
        return n

    with vesk.enable(sys.argv[1], children=True) as recording:
        work(1)
        recording.save(wait=False)
        looking.wait(10)
        pid = os.fork()
        if pid == 0:
            work(2)
            os._exit(0)
        deadline = time.monotonic() + 10
        while not os.waitpid(pid, os.WNOHANG)[0]:
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                print("hung")
                break
            time.sleep(0.01)
        else:
            print("ended")
"""


def test_a_fork_during_the_savers_lookup_of_the_user_never_hangs(tmp_path):
    result = run_script(tmp_path, LOOKUP_AT_A_FORK)
    assert (result.returncode, result.stdout) == (0, "ended\n"), result.stderr
    with sqlite3.connect(tmp_path / "traces.sqlite3") as conn:
        assert conn.execute("SELECT COUNT(DISTINCT trace_id) FROM traces").fetchone()[0] == 2


# A signal handler raises while the engine runs the program's code (a value's repr, a plugin):
# what it raises reaches the program's loop, which ends as soon as it would have unrecorded.
ALARM_INSIDE_OUR_CODE = """
    import signal, sys, time
    import vesk

    class Slow:
        def __repr__(self):
            time.sleep(0.05)
            return "Slow()"

    def handle(value):
        return 1

    def slow_plugin(frame, event, arg, context):
        time.sleep(0.05)
        return True

    def alarm(signum, frame):
        raise TimeoutError("too slow")

    inside = sys.argv[2]
    plugins = [] if inside == "repr" else [{
        "co_names": ["handle"], "path_fragment": "program.py", "call_type": "c",
        "return_type": "r", "call": slow_plugin}]
    signal.signal(signal.SIGALRM, alarm)
    started = time.monotonic()
    # Reprs asked for: the engine runs the program's code only then.
    profiler = vesk.Profiler(vesk.profiler.make_config(plugins=plugins, call_repr=inside == "repr"),
                             db_path=sys.argv[1])
    profiler.start()
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    try:
        while time.monotonic() - started < 5:
            handle(Slow())
    except TimeoutError:
        print("timed out", round(time.monotonic() - started) < 2)
    finally:
        profiler.stop()
"""


@pytest.mark.parametrize("inside", ["repr", "plugin"])
def test_what_a_signal_handler_raises_reaches_the_program(tmp_path, inside):
    result = run_script(tmp_path, ALARM_INSIDE_OUR_CODE, inside)
    assert (result.returncode, result.stdout) == (0, "timed out True\n"), result.stderr
    assert "Unexpected exception" not in result.stderr


# Stuck for 8 s in a loop whose time goes mostly to the engine running a repr (reprs asked for):
# the timeout's signal lands there.
STUCK_TEST = """
    import time

    class Slow:
        def __repr__(self):
            time.sleep(0.01)
            return "Slow()"

    def check(value):
        return True

    def test_stuck():
        end = time.monotonic() + 8
        while time.monotonic() < end:
            assert check(Slow())
"""


def test_a_test_timed_out_by_a_signal_fails_at_once(tmp_path):
    (tmp_path / "test_stuck.py").write_text(textwrap.dedent(STUCK_TEST))
    started = time.monotonic()
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "timeout", "--timeout=1",
         "--timeout-method=signal", "--vesk", "--vesk-repr", f"--vesk-db={tmp_path / 'traces.sqlite3'}",
         "-p", "no:cacheprovider", "test_stuck.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "1 failed" in result.stdout, result.stdout + result.stderr
    # A swallowed timeout shows as a passing test; the bound only catches a hang (the machine may
    # be busy).
    assert "Timeout" in result.stdout and time.monotonic() - started < 20


SLOW_REPR_PROGRAM = """
    import time

    class Slow:
        def __repr__(self):
            time.sleep(0.5)
            return "Slow()"

    def handle(value):
        return 1

    print("ready", flush=True)
    while True:
        handle(Slow())
"""


def test_sigterm_inside_our_code_ends_vesk_run_as_it_would_end_python(tmp_path):
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(SLOW_REPR_PROGRAM))
    database = tmp_path / "traces.sqlite3"
    process = subprocess.Popen([sys.executable, "-m", "vesk", "run", "--repr", "--db", str(database),
                                str(script)], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "ready\n"
    time.sleep(0.3)  # inside a repr
    process.send_signal(signal.SIGTERM)
    out, err = process.communicate(timeout=30)
    assert process.returncode == -signal.SIGTERM, err
    assert "Unexpected exception" not in err
    (trace,) = db.list_traces(str(database))
    assert trace.record_count > 0


# ---- Child processes end as they would unrecorded: no handler of ours.

CHILDREN = """
    import multiprocessing, signal, subprocess, sys, time

    def square(x):
        return x * x

    def disposition(_=None):
        return signal.getsignal(signal.SIGTERM) == signal.SIG_DFL

    if __name__ == "__main__":
        if sys.argv[1:] == ["show"]:
            print(disposition())
        elif sys.argv[1:2] == ["busy"]:
            square(3)
            print("ready", flush=True)
            time.sleep(float(sys.argv[2]))  # its records are handed off meanwhile
            sum(range(10**11))  # a long C call: the interpreter looks for signals after it
        else:
            seen = [subprocess.run([sys.executable, __file__, "show"], capture_output=True,
                                   text=True).stdout.strip() == "True"]
            for method in ("fork", "spawn", "forkserver"):
                with multiprocessing.get_context(method).Pool(1) as pool:
                    seen.append(pool.apply(disposition))
            print(seen)
"""


def vesk_run(tmp_path, source, *args, **popen):
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(source))
    command = [sys.executable, "-m", "vesk", "run", "--db", str(tmp_path / "traces.sqlite3"),
               str(script), *args]
    if popen:
        return subprocess.Popen(command, cwd=tmp_path, text=True, **popen)
    return subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)


def test_recorded_children_keep_their_signal_dispositions(tmp_path):
    result = vesk_run(tmp_path, CHILDREN)
    assert result.stdout == "[True, True, True, True]\n", result.stderr
    # Each was recorded all the same, the pool workers that leaving the with block ended by
    # SIGTERM included: each saved what it recorded before it put its result.
    database = str(tmp_path / "traces.sqlite3")
    calls = [[r.get("co_name") for part in db.load_trace_parts(database, trace.trace_id)
              for r in records_of(msgpack.unpackb(part, strict_map_key=False))]
             for trace in db.list_traces(database)]
    assert sum("disposition" in names for names in calls) == 4


ENDS_A_CHILD = """
    import signal, subprocess, sys, time
    pause = sys.argv[1]
    child = subprocess.Popen([sys.executable, "program.py", "busy", pause],
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\\n"
    time.sleep(float(pause) + 0.3)
    sent = time.monotonic()
    child.send_signal(signal.SIGTERM)
    status = child.wait(timeout=60)
    print(status, time.monotonic() - sent < 3)
"""


@pytest.mark.parametrize("pause", [0, 1.6])
def test_sigterm_ends_a_recorded_child_at_once(tmp_path, pause):
    """Even in a long C call. What it recorded before a pause was handed off, and is kept."""
    (tmp_path / "program.py").write_text(textwrap.dedent(CHILDREN))
    parent = tmp_path / "parent.py"
    parent.write_text(textwrap.dedent(ENDS_A_CHILD))
    database = tmp_path / "traces.sqlite3"
    result = subprocess.run([sys.executable, "-m", "vesk", "run", "--db", str(database),
                             str(parent), str(pause)], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.stdout == f"{-signal.SIGTERM} True\n", result.stderr
    if pause:
        (child,) = [s for s in db.list_traces(str(database)) if s.parent_trace_id]
        assert child.record_count > 0


# The saver thread writes the parent's parts while the parent forks children that record and
# save their own traces: a fork in the middle of the saver's write transaction left each such
# child waiting for a lock that no process held, until its save failed.
FORKS_WHILE_THE_SAVER_WRITES = """
    import os, sys, threading, time, warnings
    import vesk

    warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running

    def work(n):
        return [n] * 50

    def worker(stop):
        while not stop.is_set():
            work(1)

    stop, slow = threading.Event(), 0
    with vesk.enable(sys.argv[1], part_size=100000, children=True):
        thread = threading.Thread(target=worker, args=(stop,))
        thread.start()
        for _ in range(30):
            pid = os.fork()
            if pid == 0:
                work(2)
                sys.exit(0)  # saved at exit
            deadline = time.monotonic() + 5
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > deadline:
                    slow += 1
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    break
                time.sleep(0.01)
        stop.set()
        thread.join()
    print(slow)
"""


def test_forked_children_save_while_the_saver_writes(tmp_path):
    result = run_script(tmp_path, FORKS_WHILE_THE_SAVER_WRITES, timeout=300)
    assert (result.returncode, result.stdout) == (0, "0\n"), result.stderr
    assert len(db.list_traces(str(tmp_path / "traces.sqlite3"))) == 31


# Parts are cut and handed off all the time (a small part size), and another program holds the
# database, when SIGTERM comes: the program ends as python would, once every record made before
# the signal is stored, none lost between.
CUTTING_PARTS = """
    def step(i):
        return i

    print("ready", flush=True)
    i = 0
    while True:
        step(i)
        i += 1
"""


def test_sigterm_while_parts_wait_for_the_database_loses_none(tmp_path):
    script = tmp_path / "program.py"
    script.write_text(textwrap.dedent(CUTTING_PARTS))
    database = tmp_path / "traces.sqlite3"
    process = subprocess.Popen([sys.executable, "-m", "vesk", "run", "--db", str(database),
                                "--part-size", "16K", str(script)], cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert process.stdout.readline() == "ready\n"  # the database is ready by then
    blocker = sqlite3.connect(database, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    try:
        time.sleep(1)
        process.send_signal(signal.SIGTERM)
        time.sleep(1)
    finally:
        blocker.execute("ROLLBACK")
        blocker.close()
    out, err = process.communicate(timeout=120)
    assert process.returncode == -signal.SIGTERM, err
    (trace,) = db.list_traces(str(database))
    steps = [r["locals"]["i"] for part in db.load_trace_parts(str(database), trace.trace_id)
             for r in records_of(msgpack.unpackb(part, strict_map_key=False))
             if r.get("co_name") == "step" and r["event"] == "call"]
    assert steps == list(range(len(steps))) and len(steps) > 100


LEAVES_BY_EXIT = """
    import os, sys, threading

    def work(x):
        return x + 1

    def leave():
        work(1)
        sys.stdout.flush()
        os._exit(3)

    where = sys.argv[1]
    if where == "thread":
        threading.Thread(target=leave).start()
        threading.Event().wait()
    elif where == "fork":
        pid = os.fork()
        if pid == 0:
            leave()
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    else:
        leave()
"""


@pytest.mark.parametrize("where", ["main", "thread", "fork"])
def test_a_program_leaving_by_os_exit_keeps_its_trace(tmp_path, where):
    result = vesk_run(tmp_path, LEAVES_BY_EXIT, where)
    summaries = db.list_traces(tmp_path / "traces.sqlite3")
    works = [s for s in summaries if s.record_count and s.record_count >= 2]
    if where == "fork":
        # The fork leaves by os._exit, its parent as any program does.
        assert (result.returncode, result.stdout) == (0, "3\n"), result.stderr
        (child,) = [s for s in summaries if s.parent_trace_id is not None]
        assert child in works
    else:
        assert result.returncode == 3, result.stderr
        (summary,) = summaries
        assert summary in works and f"vesk: trace {summary.trace_id}: " in result.stderr


class _Raiser:
    def __call__(self, signum, frame):
        raise ValueError("from the handler")

    def method(self, signum, frame):
        raise ValueError("from the handler")


def _raising(signum, frame):
    raise ValueError("from the handler")


@pytest.mark.parametrize("handler", [_raising, _Raiser().method, _Raiser(), functools.partial(_raising)],
                         ids=["function", "bound method", "callable object", "partial"])
def test_what_a_signal_handler_raised_is_told_from_an_ordinary_exception(handler):
    """Read where the interpreter keeps the handlers (a load per signal), as set at that moment."""
    from vesk import _vesk

    def raised(action):
        try:
            action()
        except ValueError as error:
            return error
        raise AssertionError("nothing raised")

    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        by_handler = raised(lambda: signal.raise_signal(signal.SIGUSR1))
        ordinary = raised(lambda: int("x"))
        assert _vesk.is_interruption(by_handler) and not _vesk.is_interruption(ordinary)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert not _vesk.is_interruption(by_handler)  # its handler is gone: nothing tells it apart now
    results = []
    signal.signal(signal.SIGUSR1, handler)
    try:
        thread = threading.Thread(target=lambda: results.append(_vesk.is_interruption(by_handler)))
        thread.start()
        thread.join()
    finally:
        signal.signal(signal.SIGUSR1, previous)
    assert results == [False]  # handlers run on the main thread only
