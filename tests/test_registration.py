import importlib
import subprocess
import sys
import textwrap
import threading

import pytest

import vesk._vesk as engine


def profile_seen_by_new_thread():
    """The profile object a thread started now sees from its second profile event on."""
    seen = []

    def target():
        seen.append(sys.getprofile())

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    return seen[0]


def test_module_surface():
    public = sorted(name for name in vars(engine) if not name.startswith("__"))
    assert public == ["Skim", "_discard_kept_parts", "dump_msgpack", "dump_msgpack_lightweight_repr", "is_interruption",
                      "register_monitored_profiler", "register_nested_profiler", "register_noop_profiler",
                      "register_profiler",
                      "set_redaction", "summarise_trace", "wait_for_saves"]
    assert engine.__doc__ == ""
    assert engine.register_profiler.__text_signature__ == "(profiler)"
    assert engine.register_noop_profiler.__text_signature__ == "()"
    assert engine.register_profiler.__self__ is engine


def test_reimport_gives_the_same_module():
    del sys.modules["vesk._vesk"]
    try:
        again = importlib.import_module("vesk._vesk")
    finally:
        sys.modules["vesk._vesk"] = engine
    assert again is engine


@pytest.mark.parametrize("isolated", [False, True])
def test_subinterpreter_import_fails(isolated):
    code = textwrap.dedent(f"""
        import vesk._vesk
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:  # renamed, and reporting failures as values, in 3.13
            import _interpreters as interpreters
            config = interpreters.new_config("isolated" if {isolated} else "legacy")
            print(interpreters.run_string(interpreters.create(config), "import vesk._vesk"))
        else:
            interp = interpreters.create(isolated={isolated})
            try:
                interpreters.run_string(interp, "import vesk._vesk")
            except interpreters.RunFailedError as error:
                print(error)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "ImportError" in out.stdout
    assert "subinterpreters" in out.stdout


def test_registration_installs_the_profiler(make_host):
    host = make_host()
    assert engine.register_profiler(host) is None
    profiler = host.rust_profiler
    assert type(profiler).__name__ == "VeskProfiler"
    assert type(profiler).__module__ == "vesk._vesk"
    assert sys.getprofile() is profiler
    assert not hasattr(profiler, "__dict__")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        type(profiler)()


def test_methods_have_text_signatures_and_check_their_receiver(make_host):
    host = make_host()
    engine.register_profiler(host)
    cls = type(host.rust_profiler)
    assert cls.save_request_in_db.__text_signature__ == "($self)"
    assert cls.build_trace.__text_signature__ == "($self)"
    assert cls.register_threading_profiler.__text_signature__ == "($self, _frame, _event, _arg)"
    for method in (cls.save_request_in_db, cls.build_trace):
        with pytest.raises(TypeError):
            method(42)
    with pytest.raises(TypeError):
        host.rust_profiler.register_threading_profiler(None, "call")


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"profile": 1})])
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        engine.register_profiler(*args, **kwargs)
    assert sys.getprofile() is None


def test_keyword_argument(make_host):
    host = make_host()
    engine.register_profiler(profiler=host)
    assert sys.getprofile() is host.rust_profiler


def test_not_callable():
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        engine.register_profiler(42)
    assert sys.getprofile() is None


def test_missing_config_installs_nothing():
    class NoConfig:
        def __call__(self):
            pass

    host = NoConfig()
    with pytest.raises(AttributeError):
        engine.register_profiler(host)
    assert sys.getprofile() is None
    assert not hasattr(host, "rust_profiler")


def test_host_rejecting_the_attribute_installs_nothing():
    class Slotted:
        __slots__ = ("config", "db_path", "one_trace_per_test", "trace_id", "source")

        def __init__(self):
            self.config, self.db_path, self.one_trace_per_test = {}, "db", False
            self.trace_id, self.source = "trc_x", "tests"

        def __call__(self):
            pass

    with pytest.raises(AttributeError):
        engine.register_profiler(Slotted())
    assert sys.getprofile() is None


def test_config_unreadable_after_installation_leaves_the_hook(make_host):
    class FlakyHost(type(make_host())):
        reads = 0

        def __getattribute__(self, name):
            if name == "config":
                FlakyHost.reads += 1
                if FlakyHost.reads > 1:
                    raise RuntimeError("config is gone")
            return super().__getattribute__(name)

    host = FlakyHost(config={"threading": True})
    with pytest.raises(RuntimeError, match="config is gone"):
        engine.register_profiler(host)
    assert sys.getprofile() is host.rust_profiler
    assert profile_seen_by_new_thread() is None


@pytest.mark.parametrize("value, hooked", [(True, True), (False, False), (1, False), ("yes", False),
                                           (None, False)])
def test_threading_entry_decides_whether_new_threads_are_hooked(make_host, value, hooked):
    host = make_host(config={"threading": value})
    engine.register_profiler(host)
    seen = profile_seen_by_new_thread()
    assert (seen is host.rust_profiler) if hooked else seen is None


def test_threading_entry_read_by_subscription(make_host):
    class Answering(dict):
        def __getitem__(self, key):
            return True if key == "threading" else super().__getitem__(key)

    host = make_host(config=Answering())
    engine.register_profiler(host)
    assert profile_seen_by_new_thread() is host.rust_profiler


def test_failing_threading_hook_is_raised_after_installation(make_host, monkeypatch):
    def refuse(hook):
        raise RuntimeError("no hooks today")

    monkeypatch.setattr(threading, "setprofile", refuse)
    host = make_host(config={"threading": True})
    with pytest.raises(RuntimeError, match="no hooks today"):
        engine.register_profiler(host)
    assert sys.getprofile() is host.rust_profiler


def test_second_registration_replaces_the_first(make_host):
    first, second = make_host(config={"threading": True}), make_host()
    engine.register_profiler(first)
    engine.register_profiler(second)
    assert sys.getprofile() is second.rust_profiler
    assert first.rust_profiler is not second.rust_profiler
    # The threading hook set by the first still hands out the first profiler.
    assert profile_seen_by_new_thread() is first.rust_profiler


def square(x):
    return x * x


@pytest.mark.parametrize("register, first_keeps_recording", [
    (engine.register_profiler, False), (engine.register_nested_profiler, True)])
def test_second_registration_replaces_the_first_unless_nested(make_host, register,
                                                              first_keeps_recording):
    import msgpack

    first, second = make_host(), make_host()
    engine.register_profiler(first)
    register(second)
    square(2)
    engine.register_noop_profiler()

    def squares(host):
        trace = msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)
        return [r["event"] for r in trace["frames_of_interest"] if r["co_name"] == "square"]

    assert squares(second) == ["call", "return"]
    assert squares(first) == (["call", "return"] if first_keeps_recording else [])


def test_noop_profiler_stops_this_thread_only(make_host):
    host = make_host(config={"threading": True})
    engine.register_profiler(host)
    assert engine.register_noop_profiler() is None
    assert sys.getprofile() is None
    assert profile_seen_by_new_thread() is host.rust_profiler


def test_threading_profiler_method_installs_on_the_calling_thread(make_host):
    host = make_host()
    engine.register_profiler(host)
    engine.register_noop_profiler()
    assert host.rust_profiler.register_threading_profiler(_frame=None, _event="call", _arg=None) is None
    assert sys.getprofile() is host.rust_profiler


@pytest.mark.parametrize("cycle", [False, True])
def test_profiler_is_freed_when_nothing_refers_to_it(make_host, cycle):
    """Also when a plugin's context refers back to the host, which refers to the profiler."""
    import gc
    import weakref

    gc.collect()  # what earlier tests left in cycles is freed first, not counted below
    host = make_host()
    if cycle:
        host.config = {"plugins": [{"co_names": ["f"], "path_fragment": "", "call_type": "a",
                                    "return_type": "b", "build_context": lambda c: {"h": host}}]}
    engine.register_profiler(host)
    profiler_type = type(host.rust_profiler)
    instances_before = sys.getrefcount(profiler_type)
    engine.register_noop_profiler()
    host_ref = weakref.ref(host)
    del host
    gc.collect()
    assert host_ref() is None
    # Each instance holds a reference to its heap type: it drops when the instance is freed.
    assert sys.getrefcount(profiler_type) == instances_before - 1
