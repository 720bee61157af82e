"""Cost of recording, per profile event, against the floor of the profile hook and cProfile.

Runs one workload (recursive and iterative calls with small arguments and a few locals) under
each mode in this one process and prints a table: time per profile event, the overhead over the
unprofiled run per event, ratios to the floor, and the memory the engine holds per stored record.

    .venv/bin/python bench/bench_engine.py [--events N] [--repeat R]

The engine runs with its built-in plugin descriptions (test boundaries and framework events),
none of which the workload's files match. Three more modes, taken in turn, price them: with the
framework events, without them, and with them and the leaf function renamed "handle", a code
name that a built-in description watches (logging's), so that each of its events pays the lookup
and the path test that fails.
"""

import argparse
import cProfile
import ctypes
import gc
import os
import sys
import tempfile
import threading
import time
import types

import msgpack

import vesk.serialize  # noqa: F401 - the engine's default serialiser, restored after each run
from vesk import _vesk


def leaf(a, b):
    c = a + b
    return c


def recursive(n):
    if n == 0:
        return 0
    return leaf(n, 1) + recursive(n - 1)


def iterative(n):
    total = 0
    for i in range(n):
        total += leaf(i, 2)
    return total


def one_round():
    return recursive(200) + iterative(300)


# Python-level calls per round: one_round, 201 recursive frames and 200 leaves, then 1 + 300;
# two events each. workload's own call and return come once per run.
EVENTS_PER_ROUND = 2 * (1 + 201 + 200 + 1 + 300)


def workload(rounds):
    for _ in range(rounds):
        one_round()


class Host:
    def __init__(self, db_path, config=None):
        # Every record held until the end: a part saved on the way would leave the count short.
        self.config = {"part_size": 0, **(config or {})}
        self.db_path = db_path
        self.one_trace_per_test = False
        self.trace_id = "trc_bench"
        self.source = "bench"

    def __call__(self):
        pass


def constant_serialiser():
    module = types.ModuleType("vesk.serialize")
    module.dump_msgpack = module.dump_msgpack_lightweight_repr = lambda value: b"\xc0"
    return module


def malloc_in_use():
    """Bytes the C allocator has handed out (the engine keeps its records there)."""
    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


class Result:
    def __init__(self, name, seconds, events, bytes_per_record=None):
        self.name, self.seconds, self.events = name, seconds, events
        self.bytes_per_record = bytes_per_record


def timed(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def run_engine(rounds, repeat, db_path, serialiser=None, config=None):
    saved = sys.modules.get("vesk.serialize")
    if serialiser is not None:
        sys.modules["vesk.serialize"] = serialiser
    try:
        best, held = float("inf"), None
        for _ in range(repeat):
            host = Host(db_path, config)
            gc.collect()
            start = time.perf_counter()
            _vesk.register_profiler(host)
            workload(rounds)
            _vesk.register_noop_profiler()
            best = min(best, time.perf_counter() - start)
            gc.collect()
            before = malloc_in_use()
            trace = host.rust_profiler.build_trace()
            records = len(msgpack.unpackb(trace, strict_map_key=False)["frames_of_interest"])
            del trace
            gc.collect()
            held = (before - malloc_in_use()) / max(records, 1)
        return best, held, records
    finally:
        sys.modules["vesk.serialize"] = saved


def price_events(rounds, repeat, db_path):
    """The constant serialiser's runs with the built-in framework events, without them, and with
    them and the leaf named "handle", taken in turn so that a busy machine weighs on all three
    alike: best of repeat each."""
    global leaf
    plain_leaf = leaf
    renamed = types.FunctionType(leaf.__code__.replace(co_name="handle", co_qualname="handle"),
                                 globals(), "handle")
    modes = [("vesk, constant, framework events", None, plain_leaf),
             ("vesk, constant, no framework events", {"events": False}, plain_leaf),
             ("vesk, constant, leaf named handle", None, renamed)]
    best = [(float("inf"), None)] * len(modes)
    try:
        for _ in range(repeat):
            for index, (_, config, function) in enumerate(modes):
                leaf = function
                seconds, held, _ = run_engine(rounds, 1, db_path, constant_serialiser(), config)
                best[index] = min(best[index], (seconds, held), key=lambda pair: pair[0])
    finally:
        leaf = plain_leaf
    events = rounds * EVENTS_PER_ROUND + 2
    return [Result(name, seconds, events, held) for (name, _, _), (seconds, held) in zip(modes, best)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000, help="profile events per run")
    parser.add_argument("--repeat", type=int, default=3, help="runs per mode; the best counts")
    options = parser.parse_args()
    rounds = max(1, options.events // EVENTS_PER_ROUND)
    events = rounds * EVENTS_PER_ROUND + 2
    db_path = os.path.join(tempfile.mkdtemp(), "bench.sqlite3")

    results = [Result("no profiler", timed(lambda: workload(rounds), options.repeat), events)]

    def noop():
        _vesk.register_noop_profiler()
        workload(rounds)
        sys.setprofile(None)

    results.append(Result("profile hook that does nothing (floor)", timed(noop, options.repeat),
                          events))

    def profiled():
        profile = cProfile.Profile()
        profile.enable()
        workload(rounds)
        profile.disable()

    results.append(Result("cProfile", timed(profiled, options.repeat), events))

    seconds, held, records = run_engine(rounds, options.repeat, db_path, constant_serialiser())
    if records != events:
        sys.exit(f"expected {events} records, the engine stored {records}")
    results.append(Result("vesk, constant serialiser", seconds, events, held))
    seconds, held, records = run_engine(rounds, options.repeat, db_path)
    results.append(Result("vesk, companion serialiser", seconds, events, held))
    priced = price_events(rounds, options.repeat, db_path)
    results += priced
    bare, floor = results[0], results[1]
    floor_cost = (floor.seconds - bare.seconds) / events
    print(f"{events:,} profile events per run, best of {options.repeat}; Python "
          f"{sys.version.split()[0]}, {threading.active_count()} thread")
    print(f"{'mode':42} {'ns/event':>9} {'overhead':>9} {'x floor':>8} {'B/record':>9}")
    for result in results:
        per_event = result.seconds / events * 1e9
        overhead = (result.seconds - bare.seconds) / events * 1e9
        ratio = f"{overhead / (floor_cost * 1e9):8.1f}" if result is not bare else f"{'':8}"
        held = f"{result.bytes_per_record:9.0f}" if result.bytes_per_record else f"{'':9}"
        print(f"{result.name:42} {per_event:9.1f} {overhead:9.1f} {ratio} {held}")
    cprofile = results[2]
    engine = results[3]
    own = (engine.seconds - floor.seconds) / events
    # cProfile listens through sys.monitoring, not the profile hook: its whole overhead counts.
    theirs = (cprofile.seconds - bare.seconds) / events
    print(f"engine's own cost per event (constant serialiser minus floor): {own * 1e9:.1f} ns, "
          f"{own / theirs:.1f}x cProfile's overhead per event ({theirs * 1e9:.1f} ns)")
    on, off, named = priced
    print(f"built-in framework events matching nothing: {(on.seconds - off.seconds) / events * 1e9:+.1f} "
          f"ns per event; matching the code name of {2 * 500 * rounds:,} of the events, not their "
          f"path: {(named.seconds - off.seconds) / events * 1e9:+.1f} ns per event (against none)")


if __name__ == "__main__":
    main()
