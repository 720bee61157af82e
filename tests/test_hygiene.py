"""Recording again and again in one process holds on to nothing: no memory, no references."""

import concurrent.futures
import gc
import os
import sys
import threading
import weakref

import pytest

import vesk
from vesk import _vesk, db


class Sentinel:
    """A value passed around by the profiled code, whose references we count."""


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def work(value, rounds):
    total = 0
    for i in range(rounds):
        total += step(value, i)
    return value


def step(value, index):
    local_copy = value  # noqa: F841 - a local reference the engine serialises
    return index


def one_scenario(make_host, tmp_path, sentinel, context):
    plugin = {"co_names": ["step"], "path_fragment": "test_hygiene.py", "call_type": "s",
              "return_type": "e", "events": ["return"],
              "build_context": lambda config: context,
              "process": lambda frame, event, arg, ctx: {"seen": len(ctx)}}
    host = make_host(config={"threading": True, "plugins": [plugin]},
                     db_path=str(tmp_path / "hygiene.sqlite3"))
    _vesk.register_profiler(host)
    threads = [threading.Thread(target=work, args=(sentinel, 300)) for _ in range(4)]
    for thread in threads:
        thread.start()
    assert work(sentinel, 300) is sentinel
    for thread in threads:
        thread.join()
    _vesk.register_noop_profiler()
    threading.setprofile(None)
    host.rust_profiler.save_request_in_db()
    profiler_type = type(host.rust_profiler)
    # Replacing the profiler drops the last reference to the old one.
    _vesk.register_profiler(make_host())
    _vesk.register_noop_profiler()
    return profiler_type


def live_instances(cls):
    return sum(type(o) is cls for o in gc.get_objects())


def test_repeated_recording_holds_nothing(make_host, tmp_path):
    rounds = 20
    sentinel, context = Sentinel(), {}
    counts, sizes = [], []
    for _ in range(rounds):
        profiler_type = one_scenario(make_host, tmp_path, sentinel, context)
        gc.collect()
        counts.append((sys.getrefcount(sentinel), sys.getrefcount(context),
                       live_instances(profiler_type)))
        sizes.append(resident_bytes())
    # The same references after every round: values, plugin contexts and profilers are let go.
    assert len(set(counts)) == 1, counts
    (summary,) = db.list_traces(tmp_path / "hygiene.sqlite3")
    assert summary.parts == rounds and summary.record_count > rounds * 2000
    # Each round stores thousands of records (about a megabyte): keeping them, or frames or
    # values, would grow resident memory by that much a round, 15 MB over the later rounds. The
    # allocator's heap grows in steps of its own and SQLite holds a small page cache, which stay
    # well under half of that. (The address sanitizer holds freed memory back on purpose, so there
    # resident memory says nothing.)
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        growth = sizes[-1] - sizes[4]
        assert growth < 8 * 1024 * 1024, [size // 1024 for size in sizes]


# ---- Nothing of the program is held once the engine no longer needs it.

def raising(refs):
    held = Sentinel()  # kept alive by the exception's traceback as long as the exception lives
    refs.append(weakref.ref(held))
    raise ValueError("boom")


def catching(refs):
    try:
        raising(refs)
    except ValueError:
        pass
    gc.collect()  # a C function: no event of this frame comes first
    return refs[0]() is None


def caught_exception(database):
    with vesk.enable(database):
        return catching([])


def call_under_way_when_stopped(database):
    go, refs = threading.Event(), []

    def waits(value):
        go.wait()
        return 1

    pool = concurrent.futures.ThreadPoolExecutor(1)
    try:
        # The profiler is kept, as the value of the with statement often is.
        with vesk.enable(database) as profiler:
            held = Sentinel()
            refs.append(weakref.ref(held))
            future = pool.submit(waits, held)
            del held
        go.set()  # it returns unrecorded
        future.result()
        del future
        gc.collect()
        return refs[0]() is None and profiler.rust_profiler is not None
    finally:
        pool.shutdown()


def short_threads(database):
    def body():
        step(None, 1)

    with vesk.enable(database):
        before = resident_bytes()
        for _ in range(4000):
            thread = threading.Thread(target=body)
            thread.start()
            thread.join()
        grown = resident_bytes() - before
    # Their records take about 2.5 MiB; a block of room each took 16 MiB more. (The address
    # sanitizer holds freed memory back on purpose: there, only that nothing broke.)
    return grown < 8 * 2**20 or "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize("scenario", [caught_exception, call_under_way_when_stopped,
                                      short_threads])
def test_nothing_of_the_program_outlives_its_use(tmp_path, scenario):
    assert scenario(tmp_path / "held.sqlite3")
