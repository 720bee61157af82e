"""What the engine accepts and refuses when it builds a profiler from the host's attributes."""

import pathlib
import sys
import threading

import numpy
import pytest

import vesk._vesk as engine
from vesk.serialize import FULL


def mismatch(type_name, expected):
    return f"^'{type_name}' object cannot be converted to '{expected}'$"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# A class whose name is what numpy 1 called its boolean scalar type.
FakeNumpy1Bool = type("numpy.bool_", (), {"__bool__": lambda self: True})


def register(host):
    engine.register_profiler(host)
    assert sys.getprofile() is host.rust_profiler


@pytest.mark.parametrize("config", [
    {},
    {"filters": None},
    {"filters": []},
    {"filters": {}},
    {"filters": {"include_frames": ["myapp/views", ""], "ignore_frames": ("tests",)}},
    {"filters": {"include_frames": []}, "unknown": object()},
    {"sqlite_busy_timeout": 0},
    {"sqlite_busy_timeout": 2**64 - 1},
    {"sqlite_busy_timeout": Index(5)},
    {"threading": 1, "lightweight_repr": "yes"},
    {"threading": numpy.True_, "lightweight_repr": numpy.False_},
    {"lightweight_repr": FakeNumpy1Bool()},
])
def test_accepted_configurations(make_host, config):
    register(make_host(config=config))


@pytest.mark.parametrize("config, error, message", [
    ({"filters": {"include_frames": "myapp"}}, TypeError, "^Can't extract `str` to `Vec`$"),
    ({"filters": {"ignore_frames": 5}}, TypeError, mismatch("int", "Sequence")),
    ({"filters": {"include_frames": ["a", 1]}}, TypeError, mismatch("int", "PyString")),
    ({"filters": {"include_frames": {"a": 1}}}, TypeError, mismatch("dict", "Sequence")),
    ({"sqlite_busy_timeout": -1}, OverflowError, None),
    ({"sqlite_busy_timeout": 2**64}, OverflowError, None),
    ({"sqlite_busy_timeout": 2.5}, TypeError, None),
    ({"sqlite_busy_timeout": None}, TypeError, None),
    ({"sqlite_busy_timeout": "60"}, TypeError, None),
    ({"value_scale": 0}, ValueError, "^value_scale must be from 1 to 1024$"),
    ({"value_scale": 2**70}, OverflowError, None),
    ({"value_scale": "2"}, TypeError, None),
])
def test_refused_configurations(make_host, config, error, message):
    host = make_host(config=config)
    with pytest.raises(error, match=message):
        engine.register_profiler(host)
    assert sys.getprofile() is None
    assert not hasattr(host, "rust_profiler")


def test_fragment_iteration_error_is_raised(make_host):
    class Exploding(list):
        def __iter__(self):
            yield "fine"
            raise ValueError("iteration broke")

    with pytest.raises(ValueError, match="iteration broke"):
        engine.register_profiler(make_host(config={"filters": {"include_frames": Exploding()}}))


def test_config_keys_are_read_directly_from_the_dict(make_host):
    class Defaulting(dict):
        def __missing__(self, key):
            return "not a number"

        def __getitem__(self, key):
            return "not a number"

    # Neither __getitem__ nor __missing__ is consulted for the engine's own keys.
    register(make_host(config=Defaulting()))


@pytest.mark.parametrize("config, type_name", [
    ([("threading", True)], "list"),
    (None, "NoneType"),
    (type("Mapping", (), {"__getitem__": lambda self, key: None})(), "Mapping"),
])
def test_config_must_be_a_dict(make_host, config, type_name):
    host = make_host()
    host.config = config
    with pytest.raises(TypeError, match=mismatch(type_name, "PyDict")):
        engine.register_profiler(host)


@pytest.mark.parametrize("attribute, value, error, message", [
    ("one_trace_per_test", 1, TypeError, mismatch("int", "PyBool")),
    ("one_trace_per_test", None, TypeError, mismatch("NoneType", "PyBool")),
    ("trace_id", None, TypeError, mismatch("NoneType", "PyString")),
    ("trace_id", b"trc_x", TypeError, mismatch("bytes", "PyString")),
    ("trace_id", "trc_\udc80", UnicodeEncodeError, None),
    ("source", 5, TypeError, mismatch("int", "PyString")),
])
def test_refused_host_attributes(make_host, attribute, value, error, message):
    host = make_host()
    setattr(host, attribute, value)
    with pytest.raises(error, match=message):
        engine.register_profiler(host)
    assert sys.getprofile() is None


@pytest.mark.parametrize("attribute, value", [
    ("db_path", pathlib.Path("some/where.sqlite3")),
    ("db_path", 42),
    ("one_trace_per_test", True),
    ("one_trace_per_test", numpy.bool_(False)),
    ("one_trace_per_test", FakeNumpy1Bool()),
    ("trace_id", type("TraceId", (str,), {})("trc_sub")),
    ("source", ""),
])
def test_accepted_host_attributes(make_host, attribute, value):
    host = make_host()
    setattr(host, attribute, value)
    register(host)


@pytest.mark.parametrize("attribute", ["db_path", "one_trace_per_test", "trace_id", "source"])
def test_missing_host_attribute(make_host, attribute):
    host = make_host()
    delattr(host, attribute)
    with pytest.raises(AttributeError):
        engine.register_profiler(host)


def test_unprintable_db_path(make_host):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        engine.register_profiler(make_host(db_path=Unprintable()))


def test_numpy_bool_whose_truth_fails(make_host):
    def fail(self):
        raise ZeroDivisionError("no truth")

    broken = type("numpy.bool", (), {"__bool__": fail})
    with pytest.raises(ZeroDivisionError, match="no truth"):
        engine.register_profiler(make_host(one_trace_per_test=broken()))


class FakeThread:
    def __init__(self, **attributes):
        self.__dict__.update(attributes)


@pytest.mark.parametrize("main_thread, error", [
    (FakeThread(), None),
    (FakeThread(native_id=None), None),
    (FakeThread(native_id=Index(12)), None),
    (FakeThread(native_id=-1), OverflowError),
    (FakeThread(native_id="12"), TypeError),
])
def test_main_thread_native_id(make_host, monkeypatch, main_thread, error):
    monkeypatch.setattr(threading, "main_thread", lambda: main_thread)
    host = make_host()
    if error is None:
        register(host)
    else:
        with pytest.raises(error):
            engine.register_profiler(host)


def test_native_id_lookup_failing_otherwise_is_raised(make_host, monkeypatch):
    class Broken:
        @property
        def native_id(self):
            raise KeyError("native id")

    monkeypatch.setattr(threading, "main_thread", lambda: Broken())
    with pytest.raises(KeyError):
        engine.register_profiler(make_host())




@pytest.mark.parametrize("key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr"])
def test_failing_config_lookup_is_an_internal_fault(make_host, key):
    class Collider:
        def __hash__(self):
            return hash(key)

        def __eq__(self, other):
            raise RuntimeError("collided")

    with pytest.raises(BaseException) as caught:
        engine.register_profiler(make_host(config={Collider(): 1}))
    panic = caught.value
    assert type(panic).__name__ == "PanicException"
    assert type(panic).__module__ == "vesk._vesk"
    assert type(panic).__bases__ == (BaseException,)
    assert str(panic).startswith(f'config.get("{key}" should not raise.: RuntimeError: collided')
    assert sys.getprofile() is None


class Shown:
    def __init__(self):
        self.size = 3

    def __repr__(self):
        return "<shown>"


def takes(value):
    return len(value)


@pytest.mark.parametrize("config, expected", [
    ({}, {"__type__": f"{__name__}.Shown", "__fields__": {"size": 3}}),
    ({"call_repr": True}, {"__type__": f"{__name__}.Shown", "__repr__": "<shown>"}),
], ids=["read", "repr"])
def test_objects_are_read_unless_reprs_are_asked_for(recording, config, expected):
    with recording(config=config) as host:
        takes([Shown()])
    [call] = [r for r in recording.decode(host)["frames_of_interest"]
              if r["type"] == "frame" and r["co_name"] == "takes" and r["event"] == "call"]
    assert call["locals"]["value"] == [expected]


# The record's budget pays for its arg (None), the locals, the name and the list before the items.
@pytest.mark.parametrize("scale, kept", [(None, FULL.values - 4), (1, FULL.values - 4), (3, 3 * FULL.values - 4)])
def test_value_scale_raises_the_full_forms_bounds(recording, scale, kept):
    config = {} if scale is None else {"value_scale": scale}
    with recording(config=config) as host:
        takes(list(range(1000)))
    [call] = [r for r in recording.decode(host)["frames_of_interest"]
              if r["type"] == "frame" and r["co_name"] == "takes" and r["event"] == "call"]
    cut = call["locals"]["value"]
    assert cut["__len__"] == 1000 and cut["__head__"] == list(range(kept))
