"""Saving never holds the program: parts are written by the saver thread, in the order they were
cut, and a part that cannot be written is kept for the next try, never lost nor raised into the
program's own results."""

import logging
import sqlite3
import subprocess
import sys
import threading
import time

import msgpack
import pytest

import vesk
from vesk import db


def step(i):
    return i


def records_of(trace):
    return trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]


def steps_by_thread(database, trace_id):
    """The arguments of step's calls per thread, in the order the stored parts give them."""
    seen = {}
    for part in db.load_trace_parts(database, trace_id):
        for record in records_of(msgpack.unpackb(part, strict_map_key=False)):
            if record.get("co_name") == "step" and record["event"] == "call":
                seen.setdefault(record["thread"], []).append(record["locals"]["i"])
    return seen


def test_a_locked_database_never_holds_the_program(tmp_path, caplog):
    """Nor does the saver thread show among the program's threads, even when it logs that it
    waits."""
    threads_before = threading.enumerate()
    database = str(tmp_path / "locked.sqlite3")
    db.prepare_for_writing(database)
    blocker = sqlite3.connect(database, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    slowest, count = 0.0, 20000
    try:
        with vesk.enable(database, part_size=65536) as profiler:
            for i in range(count):  # about a hundred parts handed off
                before = time.perf_counter()
                step(i)
                slowest = max(slowest, time.perf_counter() - before)
            time.sleep(1.5)  # the saver waits for the lock meanwhile, and says so
            blocker.execute("ROLLBACK")  # and writes them all once it can
    finally:
        if blocker.in_transaction:
            blocker.execute("ROLLBACK")
        blocker.close()
    assert slowest < 0.25  # a save waiting for the lock took seconds, on the program's thread
    assert steps_by_thread(database, profiler.trace_id) == {"MainThread": list(range(count))}
    assert any("waiting for another writer" in r.getMessage() for r in caplog.records)
    assert threading.enumerate() == threads_before


def test_parts_are_stored_in_the_order_they_were_cut(tmp_path):
    database = str(tmp_path / "order.sqlite3")

    def work(count):
        for i in range(count):
            step(i)

    for _ in range(3):
        with vesk.enable(database, part_size=2048) as profiler:
            threads = [threading.Thread(target=work, args=(300,), name=f"w{n}") for n in range(4)]
            for thread in threads:
                thread.start()
            work(300)
            for thread in threads:
                thread.join()
        seen = steps_by_thread(database, profiler.trace_id)
        assert seen == {name: list(range(300)) for name in ["MainThread", "w0", "w1", "w2", "w3"]}
        assert db.list_traces(database)[-1].parts > 10


def compute():
    return 42


@pytest.mark.parametrize("use", ["decorator", "with"])
def test_a_failed_save_leaves_the_programs_result(tmp_path, caplog, use):
    (tmp_path / "a-file").write_text("not a folder")
    unwritable = tmp_path / "a-file" / "traces.sqlite3"
    with caplog.at_level(logging.WARNING, logger="vesk"):
        if use == "decorator":
            assert vesk.enable(unwritable)(compute)() == 42
        else:
            with vesk.enable(unwritable):
                result = compute()
            assert result == 42
    (warning,) = [r for r in caplog.records if r.name == "vesk"]
    assert "could not be saved" in warning.getMessage()


def test_what_waits_to_be_written_is_bounded(tmp_path):
    """At most 64 MiB of records wait to be written. When the saver thread can write nothing (the
    database is locked), recording waits a second past that, then pauses and says so, instead of
    holding ever more for the process's exit to write; it goes on, saying how much it left out,
    once there is room again."""
    database = str(tmp_path / "locked.sqlite3")
    db.prepare_for_writing(database)
    blocker = sqlite3.connect(database, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    try:
        with vesk.enable(database, part_size=65536) as profiler:
            for i in range(400_000):  # some 100 MiB of records
                step(i)
            blocker.execute("ROLLBACK")
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                step(-1)
                time.sleep(0.01)
                if db.list_traces(database):
                    break
            for _ in range(10):
                step(-2)
    finally:
        if blocker.in_transaction:
            blocker.execute("ROLLBACK")
        blocker.close()
    (summary,) = db.list_traces(database)
    records = [r for part in db.load_trace_parts(database, profiler.trace_id)
               for r in records_of(msgpack.unpackb(part, strict_map_key=False))]
    kinds = [r["type"] for r in records if r["type"] in ("recording_paused", "recording_resumed")]
    assert kinds == ["recording_paused", "recording_resumed"]
    resumed = next(r for r in records if r["type"] == "recording_resumed")
    steps = [r["locals"]["i"] for r in records if r.get("co_name") == "step" and r["event"] == "call"]
    assert resumed["not_recorded"] > 0 and len(steps) + resumed["not_recorded"] // 2 >= 400_000
    assert steps[-9:] == [-2] * 9  # recorded again (from the event after the one that finds room)
    paused = next(r for r in records if r["type"] == "recording_paused")
    assert (64 << 20) - 2 * 65536 <= paused["waiting_bytes"] <= 64 << 20


PAUSED_SUITE = '''
import os, pathlib, time

def step(i):
    return i

def test_fills():
    pathlib.Path("started").touch()
    while not pathlib.Path("locked").exists():
        time.sleep(0.01)
    for i in range(400_000):  # some 100 MiB of records, while the database is locked
        step(i)

def test_waits():
    pathlib.Path("paused").touch()
    while not pathlib.Path("unlocked").exists():
        time.sleep(0.01)
    time.sleep(1)

def test_after():
    for i in range(10):
        step(-1)
'''


def test_recording_goes_on_after_a_pause_that_a_tests_end_cut_short(tmp_path):
    """A test's end hands its part off while recording is paused: what the recording holds is
    then small, and recording must still go on once the saver has room, for every later test."""
    (tmp_path / "test_paused.py").write_text(PAUSED_SUITE)
    database = str(tmp_path / "locked.sqlite3")
    db.prepare_for_writing(database)
    blocker = sqlite3.connect(database, isolation_level=None, timeout=60)
    suite = subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vesk",
                              "--vesk-db", database, "--vesk-part-size", "65536", "test_paused.py"],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def wait_for(name):
        deadline = time.monotonic() + 120
        while not (tmp_path / name).exists() and time.monotonic() < deadline and suite.poll() is None:
            time.sleep(0.05)

    try:
        wait_for("started")
        blocker.execute("BEGIN EXCLUSIVE")
        (tmp_path / "locked").touch()
        wait_for("paused")
        blocker.execute("ROLLBACK")
        (tmp_path / "unlocked").touch()
        output, _ = suite.communicate(timeout=120)
    finally:
        if blocker.in_transaction:
            blocker.execute("ROLLBACK")
        blocker.close()
        if suite.poll() is None:
            suite.kill()
    assert suite.returncode == 0, output
    after = next(s for s in db.list_traces(database) if (s.test_nodeid or "").endswith("test_after"))
    records = [r for part in db.load_trace_parts(database, after.trace_id)
               for r in records_of(msgpack.unpackb(part, strict_map_key=False))]
    assert [r["locals"]["i"] for r in records if r.get("co_name") == "step" and r["event"] == "call"] == [-1] * 10
