"""Cost of recording values: what one event costs with big, deep, wide or repeated values beside
one with small values, in both forms, and that a class's own __repr__ is never called.

    .venv/bin/python bench/values.py [--calls N] [--repeat R] [--only CASE ...] [--instructions]

Each case records a function called N times through vesk.enable (the engine's native serialiser,
saving left out of the timing) and prints the processor time recording adds per event (the plain
run's taken out; processor time, every thread's, so that other work on the machine changes it less), its ratio to the small case (the
target: at most 3x for every case, in both forms) and the bytes the two records of a call hold.
With --instructions, the instructions recording adds per event instead (callgrind, every thread,
saving included), a count that other work on the machine leaves as it is.
  small        a 10-item list argument
  wide         a 100,000-item list argument
  slow repr    an object whose __repr__ is O(n)          (no repr call)
  deep         a local holding a 10^5-deep linked list
  object tree  a tree of plain objects, 6 levels of 3
  wide dict    a dict of 10,000 str keys to small dicts
  big int      a list of 32 ints of 450 digits
  long str     a str of a million characters, and its bytes and a bytearray of it
  many locals  100 locals, each a small dict
  cycle        a dict that holds itself, and a list that holds the dict
  same object  one 30-field object in 20 locals and a list of 100 of it
  generator    a generator yielding 10,000 times over a local list of 450-digit ints
"""

import argparse
import gc
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time

import vesk


class SlowRepr:
    calls = 0

    def __init__(self, n):
        self.items = list(range(n))

    def __repr__(self):
        SlowRepr.calls += 1
        return ",".join(str(i) for i in self.items)


def take(value):
    return value


def hold(value):
    chain = value
    return chain is not None


def linked(depth):
    node = None
    for i in range(depth):
        node = [node, i]
    return node


class Node:
    def __init__(self, depth):
        self.name = f"node at depth {depth}"
        self.weight = depth * 1.5
        self.children = [Node(depth - 1) for _ in range(3)] if depth else []


class Rich:
    def __init__(self):
        for i in range(30):
            setattr(self, f"field_{i}", f"value number {i}" if i % 2 else i)


def _with_many_locals():
    """A function with 100 locals, each a small dict, set before its return."""
    lines = [f"    local_{i} = {{'n': {i}, 'tag': 'x'}}" for i in range(100)]
    namespace = {}
    exec(compile("def many_locals(value):\n" + "\n".join(lines) + "\n    return len(value)\n",
                 "<bench>", "exec"), namespace)
    return namespace["many_locals"]


many_locals = _with_many_locals()


def shared(value):
    a = b = c = d = e = f = g = h = i = j = value  # noqa: F841
    k = l = m = n = o = p = q = r = s = t = value  # noqa: E741,F841
    many = [value] * 100  # noqa: F841
    return value is a


def stepping(value):
    """A generator's stretches: each yield and resumption an event over its locals."""
    def numbers():
        held = value
        for index in range(10_000):
            yield index + len(held)

    return sum(numbers())


def cyclic():
    holder = {"name": "cycle"}
    holder["self"] = holder
    return [holder, holder]


def long_text():
    text = "x" * 1_000_000
    return (text, text.encode(), bytearray(text.encode()))


CASES = {
    "small": (take, lambda: list(range(10))),
    "wide": (take, lambda: list(range(100_000))),
    "slow repr": (take, lambda: SlowRepr(100_000)),
    "deep": (hold, lambda: linked(100_000)),
    "object tree": (take, lambda: Node(6)),
    "wide dict": (take, lambda: {f"key {i}": {"n": i} for i in range(10_000)}),
    "big int": (take, lambda: [10**450 + i for i in range(32)]),
    "long str": (take, long_text),
    "many locals": (many_locals, lambda: [1, 2, 3]),
    "cycle": (take, cyclic),
    "same object": (shared, Rich),
    "generator": (stepping, lambda: [10**450 + i for i in range(32)]),
}


def per_event(function, value, calls, lightweight, folder, repeat):
    """ns per event (a call and its return, or a generator's stretches), and bytes per record."""
    if function is stepping:
        calls = max(calls // 2000, 1)  # each call is 20,002 events
    events = 2 * calls * (10_001 if function is stepping else 1)
    # What the program costs by itself is left out: the cost of an event is what recording adds.
    plain = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        for _ in range(calls):
            function(value)
        plain = min(plain, time.process_time() - start)
    best, size = float("inf"), 0.0
    for attempt in range(repeat):
        db = os.path.join(folder, f"db-{attempt}.sqlite3")
        with vesk.enable(db_path=db, lightweight=lightweight, threads=False, events=False) as p:
            start = time.process_time()
            for _ in range(calls):
                function(value)
            elapsed = time.process_time() - start
            p.stop()
        best = min(best, elapsed)
        with sqlite3.connect(db) as conn:
            raw, records = conn.execute("SELECT SUM(raw_size), SUM(record_count) FROM traces WHERE trace_id = ?",
                                        (p.trace_id,)).fetchone()
        conn.close()
        size = raw / max(records, 1)
    return (best - plain) / events * 1e9, size


def events_of(function, calls):
    if function is stepping:
        calls = max(calls // 2000, 1)
    return calls, 2 * calls * (10_001 if function is stepping else 1)


def run_case(name, calls, form):
    """The case's calls in this process: plain, or recorded in that form (saved at the end)."""
    function, make = CASES[name]
    value = make()
    calls, _ = events_of(function, calls)
    if form == "plain":
        for _ in range(calls):
            function(value)
        return
    with tempfile.TemporaryDirectory() as folder:
        with vesk.enable(db_path=os.path.join(folder, "db.sqlite3"), lightweight=form == "lightweight",
                         threads=False, events=False) as p:
            for _ in range(calls):
                function(value)
            p.stop()


def instructions(name, calls, form):
    """Instructions (every thread) of a process running the case's calls, counted by callgrind."""
    made = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                           __file__, "--run-case", name, "--calls", str(calls), "--form", form],
                          capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"Collected : (\d+)", made.stderr).group(1))


def per_event_instructions(name, calls, form):
    """Instructions recording adds per event: the difference that doubling the calls makes,
    recorded and plain, so that start-up and the program's own work are left out."""
    function, _ = CASES[name]
    _, events = events_of(function, calls)
    added = {mode: instructions(name, 2 * calls, mode) - instructions(name, calls, mode)
             for mode in (form, "plain")}
    return (added[form] - added["plain"]) / events


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", nargs="*", default=(), help="these cases (and small) alone")
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions per event (callgrind), which other work on the machine does not change")
    parser.add_argument("--run-case", help=argparse.SUPPRESS)
    parser.add_argument("--form", default="full", help=argparse.SUPPRESS)
    options = parser.parse_args()
    gc.disable()
    if options.run_case:
        run_case(options.run_case, options.calls, options.form)
        return
    if options.instructions:
        print(f"{'case':<12} {'form':<12} {'instr/event':>12} {'x small':>8}")
        for form in ("full", "lightweight"):
            small = None
            for name in CASES:
                if options.only and name not in options.only and name != "small":
                    continue
                cost = per_event_instructions(name, options.calls, form)
                small = small or cost
                print(f"{name:<12} {form:<12} {cost:>12.0f} {cost / small:>7.2f}x")
        return
    print(f"{'case':<12} {'form':<12} {'ns/event':>9} {'x small':>8} {'B/record':>9}")
    with tempfile.TemporaryDirectory() as folder:
        per_event(take, [], 1000, False, folder, 1)  # the first recording loads what it needs
        for lightweight in (False, True):
            form = "lightweight" if lightweight else "full"
            small = None
            for name, (function, make) in CASES.items():
                if options.only and name not in options.only and name != "small":
                    continue
                value = make()
                SlowRepr.calls = 0
                cost, size = per_event(function, value, options.calls, lightweight, folder, options.repeat)
                small = small or cost
                note = f"  ({SlowRepr.calls} repr calls)" if name == "slow repr" else ""
                print(f"{name:<12} {form:<12} {cost:>9.0f} {cost / small:>7.2f}x {size:>9.0f}{note}")
    sys.setrecursionlimit(1000)


if __name__ == "__main__":
    main()
