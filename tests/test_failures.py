"""Failures while recording stay inside the engine: one warning, no record, the program goes on."""

import logging
import sys

import msgpack
import pytest

WARNING_FORMAT = ("Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n"
                  "    event: %s\n    frame locals: %s\n")


class Unserialisable:
    pass


def keep(value):
    return value


def passes_through(value):
    return keep(value)


def warnings(caplog):
    return [r for r in caplog.records if r.name == "vesk"]


def serialiser_refusing(*refused_types, result=None):
    def dump(value):
        if isinstance(value, refused_types) or (
                isinstance(value, dict) and any(isinstance(v, refused_types) for v in value.values())):
            raise ValueError("cannot serialise")
        return msgpack.packb(value) if result is None else result
    return dump


def test_failing_serialiser_drops_the_event_with_one_warning(recording, replace_module, caplog):
    replace_module("vesk.serialize", dump_msgpack=serialiser_refusing(Unserialisable))
    value = Unserialisable()
    with recording() as host:
        assert keep(value) is value
        keep(1)
    records = recording.decode(host)["frames_of_interest"]
    assert [(r["co_name"], r["arg"]) for r in records] == [("keep", None), ("keep", 1)]
    # The call and the return of keep(value) each failed once.
    failed = warnings(caplog)
    assert len(failed) == 2
    first = failed[0]
    assert first.levelno == logging.WARNING
    assert first.msg == WARNING_FORMAT and len(first.msg) == 101
    filename, co_name, event, frame_locals = first.args
    assert (filename, co_name, event) == (__file__, "keep", "call")
    assert frame_locals == {"value": f"<{__name__}.Unserialisable>"}
    assert first.exc_info[0] is ValueError and str(first.exc_info[1]) == "cannot serialise"
    assert failed[1].args[2] == "return"


class Shown:
    reprs = 0

    def __repr__(self):
        Shown.reprs += 1
        return "shown"


def log_in(user, password, token, basket, note):
    return user


def test_a_failure_report_shows_locals_redacted_and_without_the_programs_code(recording,
                                                                           replace_module, caplog):
    replace_module("vesk.serialize", dump_msgpack=serialiser_refusing(Shown))
    Shown.reprs = 0
    with recording():
        log_in("ada", "hunter2-secret", "Bearer abcdefghijklmnop", Shown(), "n" * 500)
    first = warnings(caplog)[0]
    shown = first.args[3]
    assert shown == {
        "user": "ada",
        "password": {"__type__": "builtins.str", "__len__": 14, "__redacted__": True},
        "token": {"__type__": "builtins.str", "__len__": 23, "__redacted__": True},
        "basket": f"<{__name__}.Shown>",
        "note": "n" * 200 + "... (500 chars)",
    }
    text = first.getMessage()
    assert "hunter2" not in text and "abcdefgh" not in text and Shown.reprs == 0


def test_failed_call_leaves_the_callers_call_site_intact(recording, replace_module):
    """A call whose event failed has no pair on the stack: its return must not pop its caller's."""
    refuse_once = {"left": 1}

    def dump(value):
        if isinstance(value, dict) and isinstance(value.get("value"), Unserialisable):
            if refuse_once["left"]:
                refuse_once["left"] -= 1
                raise ValueError("first time only")
        return msgpack.packb(value, default=repr)

    replace_module("vesk.serialize", dump_msgpack=dump)
    with recording() as host:
        def outer():
            keep(Unserialisable())
            return keep(2)
        outer()
    records = recording.decode(host)["frames_of_interest"]
    outer_id = records[0]["frame_id"]
    later_call = [r for r in records if r["co_name"] == "keep" and r["event"] == "call"][-1]
    assert later_call["locals"] == {"value": 2}
    assert later_call["user_code_call_site"]["call_frame_id"] == outer_id
    assert records[-1]["co_name"] == "outer" and records[-1]["user_code_call_site"] is None


@pytest.mark.parametrize("result, error, message", [
    ("\x90", TypeError, "Can't extract `str` to `Vec`"),
    (7, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ([256], OverflowError, "out of range integral type conversion attempted"),
    ([-1], OverflowError, "out of range integral type conversion attempted"),
    (["a"], TypeError, None),
])
def test_refused_serialiser_results(recording, replace_module, caplog, result, error, message):
    replace_module("vesk.serialize", dump_msgpack=lambda value: result)
    with recording() as host:
        keep(1)
    assert recording.decode(host)["frames_of_interest"] == []
    (first, _) = warnings(caplog)
    assert first.exc_info[0] is error
    if message:
        assert str(first.exc_info[1]) == message


@pytest.mark.parametrize("convert", [list, tuple, bytearray, bytes])
def test_accepted_serialiser_results(recording, replace_module, convert):
    replace_module("vesk.serialize", dump_msgpack=lambda value: convert(msgpack.packb(value)))
    with recording() as host:
        keep(300)
    (call, ret) = recording.decode(host)["frames_of_interest"]
    assert (call["locals"], ret["arg"]) == ({"value": 300}, 300)


def test_lightweight_switch_selects_the_lightweight_serialiser(recording, replace_module):
    replace_module("vesk.serialize", dump_msgpack=lambda value: b"\xa4full",
                   dump_msgpack_lightweight_repr=lambda value: b"\xa5light")
    with recording(config={"lightweight_repr": True}) as host:
        keep(1)
    records = recording.decode(host)["frames_of_interest"]
    assert {(r["arg"], r["locals"]) for r in records} == {("light", "light")}


def test_failing_report_goes_to_the_unraisable_hook(recording, replace_module, monkeypatch):
    replace_module("vesk.serialize", dump_msgpack=serialiser_refusing(Unserialisable))

    def broken_warning(*args, **kwargs):
        raise RuntimeError("logging is broken")

    monkeypatch.setattr(logging.getLogger("vesk"), "handle", broken_warning)
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with recording() as host:
        assert keep(Unserialisable()) is not None
    assert recording.decode(host)["frames_of_interest"] == []
    assert len(unraisable) == 2
    report = unraisable[0].exc_value
    assert isinstance(report, RuntimeError)
    assert isinstance(report.__context__, ValueError)


def test_disabled_logger_changes_nothing(recording, replace_module, caplog):
    replace_module("vesk.serialize", dump_msgpack=serialiser_refusing(Unserialisable))
    logger = logging.getLogger("vesk")
    logger.disabled = True
    try:
        with recording() as host:
            passes_through(Unserialisable())
    finally:
        logger.disabled = False
    assert warnings(caplog) == []
    records = recording.decode(host)["frames_of_interest"]
    assert [(r["co_name"], r["event"]) for r in records] == []


def test_exceptions_of_the_program_are_untouched(recording):
    def fails():
        raise KeyError("from the program")

    with recording() as host:
        with pytest.raises(KeyError, match="from the program"):
            fails()
    records = recording.decode(host)["frames_of_interest"]
    assert [(r["co_name"], r["event"], r["arg"]) for r in records if r["type"] == "frame"] == [
        ("fails", "call", None), ("fails", "return", None)]


def test_hook_reinstalled_inside_a_function_keeps_the_stack_right(recording):
    """A return whose call was never recorded must not take another frame's place on the stack."""
    from vesk import _vesk

    def reinstall():
        host.rust_profiler.register_threading_profiler(None, None, None)

    def inner():
        _vesk.register_noop_profiler()
        reinstall()  # its return is recorded, its call was not

    def outer():
        inner()
        return keep(1)

    with recording() as host:
        outer()
    records = recording.decode(host)["frames_of_interest"]
    assert [(r["co_name"], r["event"]) for r in records] == [
        ("outer", "call"), ("inner", "call"), ("reinstall", "return"), ("inner", "return"),
        ("keep", "call"), ("keep", "return"), ("outer", "return")]
    outer_id = records[0]["frame_id"]
    assert records[2]["frame_id"] is None
    assert records[3]["frame_id"] == records[1]["frame_id"]
    assert records[4]["user_code_call_site"]["call_frame_id"] == outer_id
    assert records[6]["frame_id"] == outer_id


def test_a_report_is_a_record_any_formatter_formats(recording, replace_module):
    """The report names the engine, line 0: not the program's frame, which may have no line."""
    replace_module("vesk.serialize", dump_msgpack=serialiser_refusing(Unserialisable))
    formatted = []

    class Keeping(logging.Handler):
        def emit(self, record):
            formatted.append(self.format(record))

    handler = Keeping()
    handler.setFormatter(logging.Formatter("%(name)s %(filename)s:%(lineno)d %(funcName)s %(message)s"))
    logger = logging.getLogger("vesk")
    logger.addHandler(handler)
    try:
        with recording():
            keep(Unserialisable())
    finally:
        logger.removeHandler(handler)
    assert formatted and all(line.startswith("vesk _vesk:0 ") for line in formatted), formatted


# An async generator whose last instruction has no line (its `if` has no `else`): a test of it
# passes recorded as it passes plain, under a configuration that fails on any warning and a log
# format that needs every record's line number.
ASYNC_FILTER = '''
import asyncio


async def source(items):
    for item in items:
        yield item


async def odd(items, keep):
    if keep:
        async for item in source(items):
            if item % 2:
                yield item


def test_odd():
    async def collect():
        return [x async for x in odd([1, 2, 3], True)]

    assert asyncio.run(collect()) == [1, 3]
'''


def test_a_frame_at_an_instruction_of_no_line_is_an_ordinary_event(tmp_path):
    import subprocess

    (tmp_path / "test_filters.py").write_text(ASYNC_FILTER)
    (tmp_path / "pytest.ini").write_text("[pytest]\nfilterwarnings = error\n"
                                         "log_format = %(asctime)s %(name)s %(filename)s:%(lineno)d %(message)s\n")
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "--vesk", "test_filters.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and "1 passed" in result.stdout, result.stdout + result.stderr
    from vesk.view.trace import load_trace

    records = [r for t in load_trace(tmp_path / ".vesk" / "db.sqlite3").threads for r in t.records
               if r.get("co_name") == "odd"]
    # started, resumed twice: each stretch ends, the last one by its return (on 3.12 at no line,
    # which its path gives as line 0)
    assert [r["event"] for r in records] == ["call", "return"] * 3, records
    assert records[-1]["arg"] is None
