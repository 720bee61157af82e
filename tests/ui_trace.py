"""A recorded program for the viewer's tests, and the viewer served on it."""

import os
import subprocess
import sys
import textwrap

# How the exception that left fails(4) reads: Python 3.11 tells only that one did, and records
# no exception that a frame caught.
RAISED = "ValueError('bad 4')" if sys.version_info >= (3, 12) else "exception"
CAUGHT = ["caught ValueError"] if sys.version_info >= (3, 12) else []

# A value that would run or break the page if it were ever read as markup.
INJECTION = '</pre><script>window.pwned = 1</script><img src=x onerror="window.pwned = 2">"\'&'

PROGRAM = f"""
import os
import threading

# Who imported the program's module: the recording, and what writes a test for one of its calls.
with open("imported-by", "a") as file:
    file.write(str(os.getpid()) + "\\n")

MARK = {INJECTION!r}

def shape(text, times):
    total = []
    for _ in range(times):
        total.append(text)
    return len(total)

def fails(value):
    raise ValueError("bad " + str(value))

def work(n):
    try:
        fails(n)
    except ValueError:
        pass
    return shape("x" * 300, n)

def main():
    worker = threading.Thread(target=work, args=(2,), name="helper")
    worker.start()
    worker.join()
    return shape(MARK, 3) + work(4)

__import__("time").sleep(LEAD)  # as a program's imports take time before its calls
main()
"""
# Seconds the program waits before its calls: most of its trace, where the timeline does not open.
LEAD = 0.3

# A pytest session's tests: one fails after a call with a long argument.
TESTS = """
import time

def helper(text, n):
    return len(text) * n

def check(expected, got):
    assert expected == got, "mismatch"

def test_ok():
    assert helper("abc", 2) == 6

def test_fails():
    check("y" * 2000, helper("x" * 500, 1))

def test_slow():
    time.sleep(0.05)
"""


def record(folder):
    """The database of one recorded run of PROGRAM in folder, stored in several parts."""
    (folder / "prog.py").write_text(textwrap.dedent(PROGRAM).replace("LEAD", repr(LEAD)))
    subprocess.run([sys.executable, "-m", "vesk", "run", "--part-size", "2K", "prog.py"], cwd=folder, check=True,
                   capture_output=True, timeout=60)
    return folder / ".vesk" / "db.sqlite3"


def record_tests(folder):
    """The database of folder, with the traces of one `pytest --vesk` session of TESTS added."""
    (folder / "test_recorded.py").write_text(TESTS)
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p", "no:xdist", "--vesk",
                             "test_recorded.py"], cwd=folder, capture_output=True, text=True, timeout=120)
    assert "1 failed, 2 passed" in result.stdout, result.stdout + result.stderr
    return folder / ".vesk" / "db.sqlite3"


class Served:
    """`vesk ui` running on a database, on a free port, until stopped."""

    def __init__(self, database, *args, descriptors=None):
        def limited():
            # In the viewer alone: the test's own process keeps what it has.
            import resource

            _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
            resource.setrlimit(resource.RLIMIT_NOFILE, (descriptors, hard))

        # Started in the recorded program's folder, as its user would: the project a test of a
        # call imports the program's modules from.
        self.process = subprocess.Popen([sys.executable, "-m", "vesk", "ui", "--db", str(database), "--port", "0", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                        preexec_fn=limited if descriptors else None,
                                        cwd=os.path.dirname(os.path.dirname(os.path.abspath(database))))
        line = self.process.stdout.readline()
        if "http://" not in line:
            self.process.kill()
            raise AssertionError(f"vesk ui did not start: {line!r} {self.process.stderr.read()!r}")
        self.url = line[line.index("http://"):].split()[0]

    def stop(self):
        """Ctrl-C, and what the command then printed and returned."""
        import signal

        self.process.send_signal(signal.SIGINT)
        _, errors = self.process.communicate(timeout=10)
        return self.process.returncode, errors
