"""Random hosts, configurations and plugin descriptions: registering either succeeds or raises
what the engine's rules say, never crashes, never reports an internal fault they do not name.

The expected outcome comes from an oracle that applies the rules, in the engine's reading
order, to the very objects the engine is handed; most drawn values are valid so that the faults
combine with one another and with successful registrations."""

import collections
import copy
import ctypes
import operator
import pathlib
import subprocess
import sys
import textwrap
import threading
import types

import msgpack
import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesk._vesk as engine
import vesk.plugins  # noqa: F401  (in sys.modules before the checks swap it out and back)

HERE = pathlib.Path(__file__).resolve().parent
TRACE_KEYS = {"command_line_args", "current_commit_sha", "frames", "frames_of_interest",
              "main_thread_id", "meta", "timestamp", "trace_id"}
HOST_ATTRIBUTES = ["config", "db_path", "one_trace_per_test", "trace_id", "source"]
CONFIG_KEYS = ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr"]
REQUIRED_KEYS = ["path_fragment", "call_type", "return_type"]
DESCRIPTION_KEYS = ["co_names", *REQUIRED_KEYS, "subtype", "events", "call", "process",
                    "build_context"]
ABSENT = object()


# ---------------------------------------------------------------------------------------------
# Hostile objects. Each behaves the same every time it is asked, so the oracle may ask first;
# the engine is handed a deep copy, which nothing else refers to.

class Boom(Exception):
    pass


class Abort(BaseException):
    """Not an Exception: it must come out of the engine untouched all the same."""


class StrSub(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class RaisingIndex:
    def __index__(self):
        raise Boom("no index")


class Text:
    def __init__(self, value):
        self.value = value

    def __str__(self):
        return self.value

    def __repr__(self):
        return f"Text({self.value!r})"


class RaisingText:
    def __str__(self):
        raise Boom("no text")

    def __repr__(self):
        return "RaisingText()"


class RaisingHash:
    def __hash__(self):
        raise Boom("no hash")

    def __eq__(self, other):
        raise Boom("no equality")


class Exploding(list):
    """A sequence whose iteration fails after its items."""

    def __iter__(self):
        yield from list.__iter__(self)
        raise Boom("iteration broke")

    def __deepcopy__(self, memo):
        return type(self)(list.__iter__(self))


class RaisingIter:
    def __iter__(self):
        raise Abort("no iterator")


class Collider:
    """A key that a lookup of `target` meets and cannot compare with."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        raise Boom("collided")

    def __repr__(self):
        return f"Collider({self.target!r})"


class Lenient(dict):
    """A dict whose subscription never fails, unlike a plain lookup in it."""

    def __init__(self, entries, fallback):
        super().__init__(entries)
        self.fallback = fallback

    def __missing__(self, key):
        return self.fallback


class Unsubscriptable(dict):
    def __getitem__(self, key):
        raise Abort("no subscription")


def fake_numpy_bool(name, truth):
    def __bool__(self):
        if isinstance(truth, BaseException):
            raise truth
        return truth
    return type(name, (), {"__bool__": __bool__})()


def builder(result):
    def build_context(config):
        if isinstance(result, BaseException):
            raise result
        return result
    return build_context


# Objects that take themselves out of the dict holding them once the engine touches them, and
# so die unless the engine still holds them. Disarmed while the oracle looks.
ARMED = [False]


class Evicting:
    home = None

    def evict(self):
        if ARMED[0] and self.home is not None:
            container, key = self.home
            del self.home
            if dict.get(container, key) is self:
                del container[key]


class EvictingList(Evicting, list):
    def __len__(self):
        self.evict()
        return list.__len__(self)


class EvictingNames(Evicting, list):
    def __iter__(self):
        self.evict()
        return list.__iter__(self)


class EvictingIndex(Evicting, Index):
    def __index__(self):
        self.evict()
        return self.value


class EvictingBuilder(Evicting):
    def __call__(self, config):
        self.evict()
        return {}


def assemble(entries, kind=dict, *args):
    """A dict of the entries that can coexist: a colliding key and its target cannot."""
    result = kind({}, *args) if args else kind()
    for key, value in entries:
        if value is ABSENT:
            continue
        try:
            result[key] = value
        except Boom:
            pass
    for key, value in dict.items(result):
        if isinstance(value, Evicting):
            value.home = (result, key)
    return result


# ---------------------------------------------------------------------------------------------
# Strategies. `chaos` names the parts allowed to be wrong; the others get valid values.

texts = st.text(max_size=6)
valid_texts = st.one_of(texts, texts.map(StrSub))
# A lone surrogate makes a str that has no UTF-8 form.
odd_texts = st.tuples(texts, st.characters(categories=["Cs"]), texts).map("".join)
any_texts = st.one_of(valid_texts, odd_texts)
numpy_bools = st.sampled_from([numpy.True_, numpy.False_])
fake_bools = st.builds(fake_numpy_bool, st.sampled_from(["numpy.bool_", "numpy.bool"]),
                       st.sampled_from([True, False, 1, Boom("no truth")]))
hostile = st.one_of(
    st.builds(Index, st.integers()), st.builds(RaisingIndex), st.builds(Text, any_texts),
    st.builds(RaisingText), st.builds(RaisingHash), st.builds(RaisingIter),
    st.lists(texts, max_size=2).map(Exploding), fake_bools,
)
hashables = st.one_of(st.none(), st.booleans(), st.integers(), any_texts, st.binary(max_size=3),
                      st.tuples(st.integers(), texts), st.frozensets(st.integers(), max_size=2))
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), any_texts,
                    st.binary(max_size=3), numpy_bools, hostile)
junk = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
    st.dictionaries(hashables, inner, max_size=3), st.sets(hashables, max_size=3),
), max_leaves=6)
# "plugins" only ever holds a list or tuple here: see the end of the file.
junk_keys = hashables.filter(lambda key: key not in CONFIG_KEYS and key != "plugins")

text_lists = st.one_of(st.lists(valid_texts, max_size=3), st.lists(texts, max_size=3).map(tuple))
wild_text_lists = st.one_of(text_lists, any_texts, junk, st.binary(max_size=2),
                            st.lists(st.one_of(texts, junk), max_size=3),
                            st.lists(texts, max_size=2).map(Exploding))
# Not for "events", which the engine does not hold while it takes their length: see the end.
fragment_lists = st.one_of(text_lists, st.lists(texts, max_size=2).map(EvictingList))


def maybe(strategy):
    return st.one_of(st.just(ABSENT), strategy)


def either(tame, wrong):
    """The valid values of a part, and those it may take when allowed to be wrong."""
    return tame, st.one_of(tame, wrong)


FILTER_SHAPES = {False: st.sampled_from(["absent", "none", "list", "dict", "unsubscriptable"]),
                 True: st.sampled_from(["absent", "none", "list", "dict", "unsubscriptable",
                                        "junk", "lenient"])}
FRAGMENTS = {False: maybe(fragment_lists), True: maybe(st.one_of(fragment_lists,
                                                                   wild_text_lists))}


@st.composite
def filters(draw, wild):
    entries = [(key, draw(FRAGMENTS[wild])) for key in ("include_frames", "ignore_frames")]
    shape = draw(FILTER_SHAPES[wild])
    if shape == "dict":
        return assemble(entries)
    if shape == "unsubscriptable":
        return assemble(entries, Unsubscriptable)
    if shape == "lenient":
        return assemble(entries, Lenient, draw(junk))
    return {"absent": ABSENT, "none": None, "list": []}.get(shape) or draw(junk)


timeouts = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([0, 2**64 - 1, True]),
                     st.builds(Index, st.integers(0, 2**64 - 1)),
                     st.builds(EvictingIndex, st.integers(0, 2**64 - 1)),
                     st.integers(0, 2**63 - 1).map(numpy.int64))
# Anything at all is a valid switch: what is not a boolean value counts as false.
switches = maybe(st.one_of(st.booleans(), numpy_bools, fake_bools, junk))
wrong_required = maybe(st.one_of(junk, odd_texts))
DESCRIPTION_VALUES = {
    "co_names": either(
        st.one_of(st.lists(valid_texts, max_size=3), st.lists(texts, max_size=3).map(tuple),
                  st.sets(texts, max_size=3), texts, st.dictionaries(texts, junk, max_size=2),
                  st.lists(texts, max_size=2).map(EvictingNames)),
        st.one_of(st.just(ABSENT), junk, st.lists(st.one_of(any_texts, junk), max_size=3),
                  st.builds(RaisingIter), st.lists(texts, max_size=2).map(Exploding))),
    **{key: either(valid_texts, wrong_required) for key in REQUIRED_KEYS},
    "subtype": either(maybe(valid_texts), st.one_of(st.none(), junk, odd_texts)),
    "events": either(maybe(st.one_of(st.none(), st.lists(st.sampled_from(["call", "return"]),
                                                         max_size=2).map(tuple), text_lists)),
                     wild_text_lists),
    # Stored unchecked: nothing there is wrong.
    "call": (maybe(junk), None),
    "process": (maybe(junk), None),
    "build_context": either(
        maybe(st.one_of(st.none(), st.just({}).map(builder), st.builds(EvictingBuilder))),
        st.one_of(junk, st.builds(builder, st.one_of(
            junk, st.sampled_from([Boom("no context"), Abort("no context")]))))),
}
description_keys = st.sampled_from(DESCRIPTION_KEYS)
DESCRIPTION_CHAOS = {False: st.just(frozenset()), True: st.sets(st.sampled_from(
    [*(key for key in DESCRIPTION_KEYS if key not in ("call", "process")), "collider", "kind"]),
    min_size=1, max_size=2)}


@st.composite
def descriptions(draw, wild):
    chaos = draw(DESCRIPTION_CHAOS[wild])
    entries = [(key, draw(DESCRIPTION_VALUES[key][key in chaos])) for key in DESCRIPTION_KEYS]
    if "collider" in chaos:
        collider = (Collider(draw(description_keys)), draw(junk))
        # Of a collider and its target, the first one in stays.
        entries.insert(len(entries) if draw(st.booleans()) else 0, collider)
    if "kind" in chaos:
        # Subscription finds a default where a plain lookup finds nothing.
        return assemble(entries, Lenient, draw(texts)) if draw(st.booleans()) else draw(junk)
    return assemble(entries)


BROKEN_COMPANIONS = {
    "blocked": None,
    "empty": {},
    "not callable": {"load_plugin_data": 42},
    "no parameter": {"load_plugin_data": lambda: []},
    "tuple": {"load_plugin_data": lambda config: ()},
    "raising": {"load_plugin_data": lambda config: (_ for _ in ()).throw(Boom("companion"))},
}
class FuzzHost:
    def __call__(self, *args):
        return None

    def __repr__(self):
        return f"FuzzHost({vars(self)!r})"


class InertHost:
    """Everything a host has except being callable."""

    def __repr__(self):
        return f"InertHost({vars(self)!r})"


HOST_VALUES = {
    "filters": (filters(wild=False), filters(wild=True)),
    "timeout": either(maybe(timeouts), st.one_of(
        st.integers(), st.sampled_from([-1, 2**64]), st.floats(), st.none(), any_texts,
        st.builds(RaisingIndex), numpy_bools, st.integers(-2**63, -1).map(numpy.int64), junk,
        st.builds(Index, st.one_of(st.integers(), st.floats(), texts)))),
    "plugins": (maybe(st.lists(descriptions(wild=False), max_size=2)),
                st.lists(descriptions(wild=True), min_size=1, max_size=3)),
    "db_path": either(st.one_of(texts, st.builds(pathlib.Path, texts), st.integers(),
                                st.builds(Text, texts)),
                      st.one_of(odd_texts, junk, st.builds(Text, st.one_of(odd_texts, junk)))),
    "one_trace_per_test": either(st.one_of(st.booleans(), numpy_bools),
                                 st.one_of(fake_bools, junk)),
    "trace_id": either(valid_texts, st.one_of(odd_texts, junk)),
    "source": either(valid_texts, st.one_of(odd_texts, junk)),
}
# Plugin descriptions have the most rules, hence the most weight; a host that is refused before
# anything is read hides every other fault, hence the least.
HOST_CHAOS = st.tuples(
    st.sets(st.sampled_from(["collider", *HOST_VALUES, "plugins", "plugins"]), max_size=3),
    # In the middle: drawing favours both ends of the choices.
    st.sampled_from([*[()] * 8, ("callable",), ("missing",), ("config",), ("companion",),
                     *[()] * 8]),
).map(lambda parts: {*parts[0], *parts[1]})
extra_entries = st.lists(st.tuples(junk_keys, junk), max_size=2)
collided_config_keys = st.sampled_from([*CONFIG_KEYS, "elsewhere"])
not_dicts = st.sampled_from([collections.UserDict, lambda config: list(dict.items(config)),
                             lambda config: None])
missing_attributes = st.sets(st.sampled_from(HOST_ATTRIBUTES), min_size=1)


@st.composite
def scenarios(draw):
    """A host to register, and the vesk.plugins module (None: the real one) to register it with."""
    chaos = draw(HOST_CHAOS)

    def part(name):
        return draw(HOST_VALUES[name][name in chaos])

    plugins = part("plugins")
    if plugins is not ABSENT and draw(st.booleans()):
        plugins = tuple(plugins)
    entries = [("filters", part("filters")), ("sqlite_busy_timeout", part("timeout")),
               ("threading", draw(switches)), ("lightweight_repr", draw(switches)),
               ("plugins", plugins), *draw(extra_entries)]
    if "collider" in chaos:
        collider = (Collider(draw(collided_config_keys)), draw(junk))
        entries.insert(len(entries) if draw(st.booleans()) else 0, collider)
    config = assemble(entries, Lenient, draw(junk)) if draw(st.booleans()) else assemble(entries)
    if "config" in chaos:
        config = draw(not_dicts)(config)

    host = InertHost() if "callable" in chaos else FuzzHost()
    host.config = config
    for name in ("db_path", "one_trace_per_test", "trace_id", "source"):
        setattr(host, name, part(name))
    if "missing" in chaos:
        for name in draw(missing_attributes):
            delattr(host, name)
    companion = draw(st.sampled_from(sorted(BROKEN_COMPANIONS))) if "companion" in chaos else None
    return host, companion


# ---------------------------------------------------------------------------------------------
# The oracle: raises what registering `host` should raise, in the engine's reading order.

class InternalFault(Exception):
    pass


def mismatch(value, expected):
    raise TypeError(f"'{type(value).__qualname__}' object cannot be converted to '{expected}'")


def plain_lookup(mapping, key):
    """A lookup in the dict itself, which neither __getitem__ nor __missing__ can answer."""
    try:
        return dict.get(mapping, key, ABSENT)
    except BaseException:
        raise InternalFault(key) from None


def text(value):
    if not isinstance(value, str):
        mismatch(value, "PyString")
    value.encode("utf-8")
    return value


def text_list(value):
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not ctypes.pythonapi.PySequence_Check(ctypes.py_object(value)):
        mismatch(value, "Sequence")
    return [text(item) for item in value]


def bool_value(value):
    if value is True or value is False:
        return value
    kind = type(value)
    name = (kind.__name__ if kind.__flags__ & (1 << 9)  # heap types keep their full name
            else f"{kind.__module__}.{kind.__name__}")
    if name in ("numpy.bool_", "numpy.bool") and hasattr(kind, "__bool__"):
        return bool(value)
    mismatch(value, "PyBool")


def expect_description(description, config):
    if not isinstance(description, dict):
        mismatch(description, "PyDict")
    names = description["co_names"]
    build_context = plain_lookup(description, "build_context")
    if build_context is not ABSENT and build_context is not None:
        context = build_context(config)
        if not isinstance(context, dict):
            mismatch(context, "PyDict")
    for name in names:
        text(name)
        for key in REQUIRED_KEYS:
            text(description[key])
        subtype = plain_lookup(description, "subtype")
        if subtype is not ABSENT:
            text(subtype)
        plain_lookup(description, "call")
        plain_lookup(description, "process")
        events = plain_lookup(description, "events")
        if events is not ABSENT and events is not None:
            text_list(events)


def expect_registration(host):
    if not callable(host):
        raise TypeError("profiler object is not callable")
    config = host.config
    if not isinstance(config, dict):
        mismatch(config, "PyDict")
    found = plain_lookup(config, "filters")
    if found is not ABSENT:
        for key in ("include_frames", "ignore_frames"):
            try:
                fragments = found[key]
            except Exception:  # anything else is the program's interruption, raised on
                continue
            text_list(fragments)
    timeout = plain_lookup(config, "sqlite_busy_timeout")
    if timeout is not ABSENT and not 0 <= operator.index(timeout) < 2**64:
        raise OverflowError
    plain_lookup(config, "threading")
    plain_lookup(config, "lightweight_repr")
    companion = sys.modules.get("vesk.plugins")
    try:
        loaded = companion.load_plugin_data(config)
    except BaseException:
        raise InternalFault("companion") from None
    if not isinstance(loaded, list):
        raise InternalFault("companion")
    for description in loaded:
        expect_description(description, config)
    text(str(host.db_path))
    bool_value(host.one_trace_per_test)
    text(host.trace_id)
    text(host.source)


def outcome(action):
    """What calling `action` ends with: None, or the kind of failure and what it says."""
    try:
        action()
    except BaseException as error:
        kind = type(error)
        if kind is InternalFault or (kind.__name__ == "PanicException"
                                     and kind.__module__ == "vesk._vesk"):
            return ("internal fault", None)
        # Overflow messages are the interpreter's conversion wording, not the design's.
        return (kind, None if kind is OverflowError else str(error))
    return None


# ---------------------------------------------------------------------------------------------
# The engine against the oracle, then a short recording whenever registering succeeded.

def recorded_call(first, second=None):
    return [first, second]


def check(scenario):
    host, companion = scenario
    original = sys.modules["vesk.plugins"]
    if companion is not None:
        attributes = BROKEN_COMPANIONS[companion]
        sys.modules["vesk.plugins"] = (None if attributes is None
                                       else types.SimpleNamespace(**attributes))
    try:
        assert sys.getprofile() is None
        expected = outcome(lambda: expect_registration(host))
        # Hypothesis keeps the drawn objects alive, which would hide a use after free.
        host = copy.deepcopy(host)
        ARMED[0] = True
        try:
            actual = outcome(lambda: engine.register_profiler(host))
            registered = sys.getprofile()
            if actual is None:
                assert registered is host.rust_profiler
                recorded_call(1, "two")
        finally:
            ARMED[0] = False
            engine.register_noop_profiler()
        assert sys.getprofile() is None
        assert actual == expected, f"engine: {actual}, rules: {expected}"
        if actual is not None:
            assert registered is None
            assert "rust_profiler" not in vars(host)
            return
        # Recorded locals may hold dicts keyed by objects that the trace writes as maps, which
        # no Python dict can hold: every map stays a list of pairs.
        trace = dict(msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False,
                                     object_pairs_hook=list))
        assert set(trace) == TRACE_KEYS
        assert trace["trace_id"] == host.trace_id
        assert dict(trace["meta"])["source"] == host.source
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
        sys.modules["vesk.plugins"] = original


FUZZ = settings(deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                       HealthCheck.function_scoped_fixture])


@settings(FUZZ, max_examples=250)
@given(scenarios())
def test_registration_follows_the_rules(scenario):
    check(scenario)


def run_examples(count):
    """Entry point for a separate interpreter, where a crash cannot take the test run down."""
    @settings(FUZZ, max_examples=count)
    @given(scenarios())
    def registrations(scenario):
        check(scenario)

    registrations()


def run_isolated(code):
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120, cwd=HERE)


def test_many_registrations_in_a_separate_interpreter():
    result = run_isolated(f"""
        import sys
        sys.path.insert(0, {str(HERE)!r})
        import test_fuzz_registration
        test_fuzz_registration.run_examples(500)
    """)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr[-4000:]}"


# ---------------------------------------------------------------------------------------------
# Faults the properties above found, kept as regression tests.

@pytest.mark.parametrize("entries, expected", [
    ([("plugins", None)], None),
    ([("plugins", 5)], TypeError),
    ([("plugins", "not descriptions")], TypeError),
    # A lookup that raises is an internal fault, like the engine's own keys.
    ([(Collider("plugins"), 1)], "PanicException"),
], ids=["none", "int", "str", "raising lookup"])
def test_unusable_plugins_entry(entries, expected):
    host = FuzzHost()
    host.config, host.db_path, host.one_trace_per_test = assemble(entries), "db", False
    host.trace_id, host.source = "trc", "src"
    if expected is None:
        engine.register_profiler(host)
        return
    with pytest.raises(BaseException) as caught:
        engine.register_profiler(host)
    if isinstance(expected, str):
        assert type(caught.value).__name__ == expected
    else:
        assert type(caught.value) is expected


def test_events_dropped_by_their_description_while_read():
    """A description that lets go of its "events" while the engine reads them."""
    result = run_isolated("""
        import vesk._vesk as engine

        class Host:
            def __call__(self):
                pass

        description = {"co_names": ["f"], "path_fragment": "", "call_type": "c",
                       "return_type": "r"}

        class Events(list):
            def __len__(self):
                del description["events"]
                return 0

        description["events"] = Events()
        host = Host()
        host.config = {"plugins": [description]}
        host.db_path, host.one_trace_per_test, host.trace_id, host.source = "db", False, "t", "s"
        engine.register_profiler(host)
        engine.register_noop_profiler()
    """)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr[-2000:]}"
