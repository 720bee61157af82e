"""Faults injected while recording: the program's results and exceptions are exactly those of an
unprofiled run, and the engine keeps what it can."""

import logging
import os
import sqlite3
import sys
import threading

import msgpack
import pytest

from vesk import db


def risky(value):
    if value == 3:
        raise KeyError(value)
    return value * 2


def numbers(count):
    yield from range(count)


def handler(request):
    return request.upper()


def program():
    out = []
    for value in range(5):
        try:
            out.append(risky(value))
        except KeyError as error:
            out.append(("caught", error.args))
    out.append(list(numbers(3)))
    worker = threading.Thread(target=lambda: out.append(handler("thread")))
    worker.start()
    worker.join()
    out.append(handler("main"))
    try:
        risky(3)
    except KeyError:
        out.append(sys.exc_info()[0].__name__)
    return out


EXPECTED = program()


def garbage_serialiser(value):
    return "not bytes"


def raising_serialiser(value):
    raise RuntimeError("serialiser broke")


def raising_plugin(frame, event, arg, context):
    raise RuntimeError("plugin broke")


HANDLER_PLUGIN = {"co_names": ["handler"], "path_fragment": "test_faults.py",
                  "call_type": "request", "return_type": "response"}


def faults():
    """(name, set-up, config, what is kept)"""
    def serialiser(function):
        return lambda replace_module, monkeypatch: replace_module(
            "vesk.serialize", dump_msgpack=function, dump_msgpack_lightweight_repr=function)

    def module_gone(replace_module, monkeypatch):
        monkeypatch.setitem(sys.modules, "vesk.serialize", None)

    def module_removed(replace_module, monkeypatch):
        import vesk.serialize  # noqa: F401 - so that there is something to remove

        monkeypatch.delitem(sys.modules, "vesk.serialize")

    def broken_logger(replace_module, monkeypatch):
        monkeypatch.setattr(logging.getLogger("vesk"), "warning", raising_plugin)
        monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
        serialiser(raising_serialiser)(replace_module, monkeypatch)

    def renamed_thread(replace_module, monkeypatch):
        monkeypatch.setattr(threading.current_thread(), "name", "renamed")

    def moved(replace_module, monkeypatch):
        monkeypatch.chdir("/")

    plugin = lambda **callables: {"plugins": [dict(HANDLER_PLUGIN, **callables)]}  # noqa: E731
    return [
        ("serialiser raises", serialiser(raising_serialiser), {}, "nothing"),
        ("serialiser returns a str", serialiser(garbage_serialiser), {}, "nothing"),
        ("serialiser returns big ints", serialiser(lambda value: [1000]), {}, "nothing"),
        ("serialiser module is None", module_gone, {}, "nothing"),
        ("serialiser module removed", module_removed, {}, "frames"),
        ("logger raises", broken_logger, {}, "nothing"),
        ("plugin call raises", None, plugin(call=raising_plugin), "frames"),
        ("plugin process raises", None, plugin(process=raising_plugin), "frames"),
        ("plugin call returns junk", None, plugin(call=lambda *a: "yes"), "frames"),
        ("thread renamed", renamed_thread, {}, "frames"),
        ("directory changed", moved, {}, "frames"),
        ("plugins work", None, plugin(), "frames and plugins"),
    ]


@pytest.mark.parametrize("name, set_up, config, kept", faults(), ids=[f[0] for f in faults()])
def test_program_is_unaffected(recording, replace_module, monkeypatch, name, set_up, config,
                               kept):
    if set_up is not None:
        set_up(replace_module, monkeypatch)
    with recording(config={"threading": True, **config}) as host:
        result = program()
    monkeypatch.undo()
    assert result == EXPECTED
    trace = recording.decode(host)
    records = trace["frames_of_interest"] + [r for rs in trace["frames"].values() for r in rs]
    frames = [r for r in records if r["type"] == "frame"]
    plugins = [r for r in records if r["type"] not in ("frame", "exception", "generator")]
    if kept == "nothing":
        assert records == []
    else:
        # Every call and return of the program's functions, the thread's included.
        names = sorted(r["co_name"] for r in frames if r["co_name"] != "<lambda>")
        assert names == sorted(["program"] * 2 + ["risky"] * 12 + ["numbers"] * 8 +
                               ["handler"] * 4)
        assert [r["type"] for r in plugins] == (
            ["request", "response"] * 2 if kept == "frames and plugins" else [])


def test_saver_failing_on_a_locked_database(recording, tmp_path):
    """A test's end cannot be saved while another process holds the database: the program goes
    on at once, the parts are kept, and saved once the database is free again."""
    path = tmp_path / "locked.sqlite3"
    db.save_trace_in_sqlite(str(path), "trc_first", timeout=1, msgpack=b"\x80")
    blocker = sqlite3.connect(path, isolation_level=None)
    blocker.execute("BEGIN EXCLUSIVE")
    try:
        plugin = dict(HANDLER_PLUGIN, call_type="start_test", return_type="end_test")
        with recording(config={"plugins": [plugin], "sqlite_busy_timeout": 0},
                       one_trace_per_test=True, db_path=str(path)) as host:
            result = program()
        assert result == EXPECTED
        with pytest.raises(sqlite3.OperationalError) as failure:
            host.rust_profiler.wait_for_saves()
        assert "kept" in "".join(failure.value.__notes__)
        assert host.rust_profiler.unsaved_traces == 1
    finally:
        blocker.execute("ROLLBACK")
        blocker.close()
    host.rust_profiler.wait_for_saves()
    assert host.rust_profiler.unsaved_traces == 0
    assert len(db.list_traces(path)) == 2
