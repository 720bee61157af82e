"""Cost of recording values: what one event costs with big, deep or slow-to-show values beside
one with small values, in both forms, and that a class's own __repr__ is never called.

    .venv/bin/python bench/values.py [--calls N] [--repeat R]

Each case records a function called N times through vesk.enable (the engine's native serialiser,
saving left out of the timing) and prints the time per event and its ratio to the small case:
  small      a 10-item list argument
  wide       a 100,000-item list argument             (target: within 2x of small)
  slow repr  an object whose __repr__ is O(n)         (target: no extra cost, 0 repr calls)
  deep       a local holding a 10^5-deep linked list  (target: within 2x of small)
"""

import argparse
import gc
import os
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


CASES = {
    "small": (take, lambda: list(range(10))),
    "wide": (take, lambda: list(range(100_000))),
    "slow repr": (take, lambda: SlowRepr(100_000)),
    "deep": (hold, lambda: linked(100_000)),
}


def per_event(function, value, calls, lightweight, folder, repeat):
    best = float("inf")
    for attempt in range(repeat):
        db = os.path.join(folder, f"db-{attempt}.sqlite3")
        with vesk.enable(db_path=db, lightweight=lightweight, threads=False, events=False) as p:
            start = time.perf_counter()
            for _ in range(calls):
                function(value)
            elapsed = time.perf_counter() - start
            p.stop()
        best = min(best, elapsed)
    return best / (2 * calls) * 1e9  # a call and a return per call


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    gc.disable()
    print(f"{'case':<10} {'form':<12} {'ns/event':>9} {'x small':>8}")
    with tempfile.TemporaryDirectory() as folder:
        per_event(take, [], 1000, False, folder, 1)  # the first recording loads what it needs
        for lightweight in (False, True):
            form = "lightweight" if lightweight else "full"
            small = None
            for name, (function, make) in CASES.items():
                value = make()
                SlowRepr.calls = 0
                cost = per_event(function, value, options.calls, lightweight, folder, options.repeat)
                small = small or cost
                note = f"  ({SlowRepr.calls} repr calls)" if name == "slow repr" else ""
                print(f"{name:<10} {form:<12} {cost:>9.0f} {cost / small:>7.2f}x{note}")
    sys.setrecursionlimit(1000)


if __name__ == "__main__":
    main()
