"""The native serialisers against their Python reference: the same bytes for any value, in both
forms, and a cost bounded where the reference's grows with the value."""

import collections
import enum

import msgpack
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vesk import serialize
from vesk.serialize import FULL_LIMIT, LIGHT_DEPTH, MAX_DEPTH, REPR_LIMIT

FORMS = {
    "full": (serialize.dump_msgpack, serialize._dump_msgpack_py),
    "lightweight": (serialize.dump_msgpack_lightweight_repr, serialize._dump_msgpack_lightweight_repr_py),
}


class Str(str):
    pass


class SelfEqualStr(str):
    """Equal only to itself, so it sits beside an equal plain str in a dict; their copies merge."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        return self is other


class Int(int):
    pass


class Float(float):
    pass


class Bytes(bytes):
    pass


class List(list):
    pass


class BackwardsList(list):
    """Iterates backwards: the packer asks its __iter__, the slow paths its base type."""

    def __iter__(self):
        return reversed(list(list.__iter__(self)))


class Tuple(tuple):
    pass


class Dict(dict):
    pass


class FrozenSet(frozenset):
    pass


class DictItemsRaise(dict):
    def items(self):
        raise RuntimeError


Pair = collections.namedtuple("Pair", "left right")
Color = enum.Enum("Color", "RED")


class Repr:
    """An object with the repr it is given, or raising the exception it is given."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        if isinstance(self.text, Exception):
            raise self.text
        return self.text


class Retype:
    """Puts a class in the state it is given when its repr is taken, as any code that a repr runs
    may: what is serialised after it sees the class as it now is. Only what differs is set, so
    that a qualname or name set through type's own descriptors (which keep the type's version)
    can be the only change."""

    def __init__(self, cls, qualname, module, name, repr_at, extra, quietly):
        self.cls, self.qualname, self.module, self.name = cls, qualname, module, name
        self.repr_at, self.extra, self.quietly = repr_at, extra, quietly

    def __repr__(self):
        cls = self.cls
        for attribute in ("__qualname__", "__name__"):
            wanted = getattr(self, attribute.strip("_"))
            if type.__dict__[attribute].__get__(cls) != wanted:
                if self.quietly:
                    type.__dict__[attribute].__set__(cls, wanted)
                else:
                    setattr(cls, attribute, wanted)
        if cls.__dict__.get("__module__", Retype) is not self.module:
            cls.__module__ = self.module
        if cls.__dict__.get("extra") != self.extra:
            cls.extra = self.extra
        for level, each in enumerate(cls.__mro__[:-1]):
            wanted = own_repr if level == self.repr_at else None
            if each.__dict__.get("__repr__") is not wanted:
                if wanted is None:
                    del each.__repr__
                else:
                    each.__repr__ = wanted
        return "retype"


def own_repr(self):
    return "own repr"


def retyped(state, changes):
    """Instances of a new class and of its base, after a Retype to the state, then after each
    change of one part of it (the first Retype sets every part, so that every serialisation
    starts alike)."""
    base = type("Base", (), {})
    middle = type("Middle", (base,), {})
    leaf = type("Leaf", (middle,), {})
    instances = [leaf(), middle()]
    items = [Retype(leaf, **state), *instances]
    for part, value, quietly in changes:
        state = {**state, part: value, "quietly": quietly}
        items += [Retype(leaf, **state), *instances]
    return items


def keeping_object_repr(base):
    """A subclass of base whose repr is object's own: still written as base is, not as an
    ordinary object."""
    return type(f"{base.__name__.title()}WithObjectRepr", (base,), {"__repr__": object.__repr__})


ObjectReprList, ObjectReprTuple, ObjectReprDict, ObjectReprSet, ObjectReprFrozenSet = map(
    keeping_object_repr, (list, tuple, dict, set, frozenset))


class PassesForExt:
    """An ExtType as isinstance() sees it, through __class__, with object's repr."""

    __class__ = property(lambda self: msgpack.ExtType)
    code, data = 5, b"ext"


def without_module():
    """An instance of a class made where globals have no __name__: the class has no __module__."""
    namespace = {}
    exec("Orphan = type('Orphan', (), {})", namespace)
    return namespace["Orphan"]()


def cyclic(container, through_child):
    if through_child:
        child = [container]
        container = [1, child] if isinstance(container, list) else {"child": child}
        child.append(container)
    elif isinstance(container, dict):
        container["self"] = container
    else:
        container.append(container)
    return container


class LoudStr(str):
    """Formatted by '%s' as its own __str__ says, joined as the str it holds."""

    def __str__(self):
        return "loud"


class SlicesToInt(str):
    def __getitem__(self, key):
        return 5


class SumsToInt(str):
    """Its slices add up to a number: reprlib's cut of it is no str."""

    def __getitem__(self, key):
        return SumsToInt("x")

    def __add__(self, other):
        return 7

    __radd__ = __add__


def lookalike(name, base=object, **attributes):
    """An instance of a class named `name`: reprlib picks its method by the class's name alone."""
    return type(name, (base,), attributes)


NameIsList = type("NameMeta", (type,), {"__name__": property(lambda cls: "list")})("Named", (), {})
RaisingClass = lookalike("RaisingClass", __repr__=Repr.__repr__, text=ValueError(),
                         __class__=property(lambda self: 1 / 0))


def nested(value, depth, shape):
    for _ in range(depth):
        value = {"k": value} if shape == "dict" else [value, "pad"] if shape == "pair" else [value]
    return value


surrogates = st.sampled_from(["\udc80", "\ud83d\ude00", "\\udc80"])
texts = st.one_of(
    st.text(max_size=6),
    st.lists(st.one_of(st.characters(), surrogates), max_size=6).map("".join),
    st.tuples(st.integers(LIGHT_DEPTH * 49, 205), st.sampled_from(["a", "é", "\U0001f600", "\udc80"])).map(
        lambda size_char: size_char[1] * size_char[0]),  # around LIGHT_STR
)
ints = st.one_of(st.integers(), st.sampled_from([2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**400]),
                st.just(5000).map(lambda digits: 10**digits))  # beyond the int->str digit limit
reprs = st.one_of(texts, st.sampled_from([5, Str("sub"), "r" * 1_000, ValueError(), Repr("inner")])).map(Repr)
safe_items = st.one_of(st.integers(), st.text(max_size=60), st.builds(Repr, st.text(max_size=60)))
deques = st.builds(collections.deque, st.lists(safe_items, max_size=60), st.none() | st.integers(0, 70))
raw_bytes = st.one_of(st.binary(max_size=6), st.integers(195, 205).map(lambda size: b"b" * size))
names = st.text(st.characters(exclude_categories=["Cs"], exclude_characters="\0"), min_size=1, max_size=5)
# object.__repr__ names a class "<module.qualname", clipped past REPR_LIMIT, or by __name__ when
# its module is builtins or not a str.
type_parts = {
    "qualname": st.one_of(texts, st.integers(270, 300).map(lambda size: "q" * size)),
    "module": st.one_of(texts, st.sampled_from(["builtins", Str("builtins"), None, 5])),
    "name": st.one_of(names, st.just("a\u00e9")),
    "repr_at": st.sampled_from([None, 0, 1, 2]),
    "extra": st.integers(0, 2),
}
type_changes = st.tuples(st.sampled_from(list(type_parts)), st.booleans()).flatmap(
    lambda part_quietly: st.tuples(st.just(part_quietly[0]), type_parts[part_quietly[0]], st.just(part_quietly[1])))
ordinary = st.one_of(
    st.builds(retyped, st.fixed_dictionaries({**type_parts, "quietly": st.booleans()}),
              st.lists(type_changes, max_size=4)),
    st.builds(without_module), st.builds(object), st.builds(iter, st.just(())), st.builds(PassesForExt),
    *(st.builds(keeping_object_repr(base), values) for base, values in (
        (int, ints), (float, st.floats()), (str, texts), (bytes, raw_bytes), (bytearray, raw_bytes))),
)
scalars = st.one_of(
    st.none(), st.booleans(), ints, st.floats(), texts, st.builds(Str, texts), st.builds(Int, ints),
    st.builds(Float, st.floats()),
    raw_bytes.flatmap(lambda b: st.sampled_from([b, bytearray(b), Bytes(b), memoryview(b), memoryview(b)[::2]])),
    reprs, deques, st.sampled_from([Color.RED, msgpack.ExtType(3, b"ext"), msgpack.Timestamp(2**40, 7), type, len]),
    ordinary,
)
keys = st.one_of(
    texts, ints, st.floats(), st.none(), st.booleans(), st.builds(SelfEqualStr, texts), st.builds(Int, ints),
    st.tuples(texts, ints), st.frozensets(ints, max_size=3), reprs,
)


def containers(children):
    # Sizes straddle LIGHT_ITEMS, and the recursion LIGHT_DEPTH and LIGHT_BUDGET.
    items = st.lists(children, max_size=18)
    return st.one_of(
        items, items.map(tuple), st.dictionaries(keys, children, max_size=18),
        items.map(List), items.map(BackwardsList), items.map(Tuple), st.builds(Pair, children, children),
        st.dictionaries(keys, children, max_size=5).flatmap(lambda d: st.sampled_from(
            [Dict(d), collections.OrderedDict(reversed(d.items())), collections.Counter(d.keys()), DictItemsRaise(d)])),
        st.sets(keys, max_size=18), st.frozensets(keys, max_size=5), st.frozensets(ints, max_size=5).map(FrozenSet),
        items.map(ObjectReprList), items.map(ObjectReprTuple),
        st.dictionaries(keys, children, max_size=5).map(ObjectReprDict),
        st.sets(keys, max_size=5).flatmap(lambda members: st.sampled_from(
            [ObjectReprSet(members), ObjectReprFrozenSet(members)])),
    )


# Reprs that are strs of subclasses, of the length where reprlib cuts them, or none at all.
odd_reprs = st.sampled_from([
    LoudStr("quiet"), LoudStr("q" * 70), Str("s" * 70), SlicesToInt("t" * 70), SumsToInt("u" * 61), SumsToInt("v"),
    lookalike("LongStr", str, __len__=lambda self: 100)("short"), "é" * 300]).map(Repr)


# Values that reprlib's methods take by their class's name, some of them not what the name says,
# and reprs that are not plain strs.
reprlib_scalars = st.one_of(
    st.builds(lookalike("str", str), st.text(min_size=50, max_size=320)),
    st.builds(lookalike("int", int, __repr__=lambda self: "i" * 70), ints),
    st.text(st.characters(max_codepoint=31), min_size=70, max_size=320), odd_reprs,
    st.builds(lookalike("tuple", __len__=lambda self: 3, __iter__=lambda self: iter("ab"))),
    st.builds(lookalike("set", __bool__=lambda self: True, __iter__=lambda self: iter([3, 1, 2]))),
    st.builds(lookalike("list")), st.builds(NameIsList), st.builds(RaisingClass),
)


def lookalikes(children):
    items = st.lists(children, max_size=8)
    return st.one_of(
        items.map(lookalike("list", list)), items.map(lookalike("list", list, __iter__=BackwardsList.__iter__)),
        items.map(lookalike("tuple", tuple)), items.map(lookalike("a list", list)),
        items.map(lookalike("deque", collections.deque)), items.map(lookalike("instance", list)),
        st.dictionaries(keys, children, max_size=6).flatmap(lambda d: st.sampled_from([
            lookalike("dict", dict)(d), lookalike("dict", dict, __getitem__=lambda self, key: "got")(d),
            lookalike("dict", dict, __iter__=lambda self: iter(["gone", *dict.__iter__(self)]),
                      __missing__=lambda self, key: "missing")(d)])),
        st.sets(keys, max_size=8).flatmap(lambda members: st.sampled_from([
            lookalike("set", set)(members), lookalike("frozenset", frozenset)(members),
            lookalike("set", set, __len__=lambda self: 0)(members)])),
        # Sorted where they are comparable.
        st.dictionaries(st.one_of(st.integers(), st.floats(allow_nan=False)) | texts, children, max_size=8),
        st.sets(texts, max_size=8), st.dictionaries(odd_reprs, children, max_size=3),
    )


values = st.recursive(scalars, containers, max_leaves=30)
reprlib_values = st.recursive(st.one_of(scalars, reprlib_scalars),
                              lambda children: containers(children) | lookalikes(children), max_leaves=20)
reprlib_containers = containers(reprlib_values) | lookalikes(reprlib_values)
# Deeper than the packer goes: the slow path cuts it at MAX_DEPTH, with reprlib's bounded repr.
TOO_DEEP = nested(0, 520, "pair")
plain = st.recursive(st.one_of(st.integers(), st.text(st.characters(exclude_categories=["Cs"]), max_size=8)),
                     lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=4), children),
                     max_leaves=10)
any_value = st.one_of(
    values,
    st.builds(cyclic, st.lists(values, max_size=3) | st.dictionaries(st.text(max_size=3), values, max_size=3),
              st.booleans()),
    # Straddling the packer's nest limit (511) and MAX_DEPTH.
    st.builds(nested, values, st.one_of(st.integers(509, 513), st.integers(MAX_DEPTH - 2, 600)),
              st.sampled_from(["list", "pair", "dict"])),
    # A value at MAX_DEPTH, or up to reprlib's three levels below it, beside one the packer gives
    # up on: its fallback map is reprlib's bounded repr.
    st.builds(lambda value, depth: [TOO_DEEP, nested(value, depth, "list")], reprlib_containers,
              st.integers(MAX_DEPTH - 2, MAX_DEPTH - 1)),
    # Straddling LIGHT_BUDGET, which counts a dict's keys as well as its values.
    st.lists(st.lists(st.integers(0, 9), min_size=12, max_size=16), min_size=12, max_size=16),
    st.lists(st.dictionaries(st.text("abc", max_size=3), st.integers(0, 9), min_size=6, max_size=12),
             min_size=12, max_size=16),
    # Keys that differ but whose copies are equal: the copy, a dict, keeps one entry.
    st.lists(texts, max_size=4).map(lambda texts: {
        key: i for i, text in enumerate(texts)
        for key in (text, SelfEqualStr(text), text.replace("\udc80", "\\udc80"))}),
    # Around FULL_LIMIT. Only values the fast path packs whole: past the limit, the native full
    # form stops as soon as it gets there, where the reference goes on and may fail further on.
    st.builds(lambda size, rest: {"pad": "x" * size, "rest": rest}, st.integers(FULL_LIMIT - 120, FULL_LIMIT), plain),
)


@settings(max_examples=600, deadline=None, suppress_health_check=list(HealthCheck))
@given(value=any_value)
def test_native_and_reference_agree(value):
    for native, reference in FORMS.values():
        assert native(value) == reference(value)


class Counted:
    calls = 0

    def __repr__(self):
        Counted.calls += 1
        return "counted-" + "x" * 40


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("case", ["long deque", "deep nesting"])
def test_cost_does_not_grow_with_the_value(case, form):
    native, reference = FORMS[form]
    if case == "long deque":
        value = collections.deque(Counted() for _ in range(1_500))
        most_calls = REPR_LIMIT // len(repr(Counted())) + 1  # only the items that show
    else:
        value = 0
        for _ in range(100_000):
            value = [Counted(), value]
        # Full: msgpack's nest limit (511) fails the fast path, the slow path stops at MAX_DEPTH
        # and gives the rest as reprlib's repr of three levels.
        most_calls = 511 + MAX_DEPTH + 3 if form == "full" else LIGHT_DEPTH
    Counted.calls = 0
    data = native(value)
    assert Counted.calls <= most_calls
    assert data == reference(value)
    out = msgpack.unpackb(data, raw=False, strict_map_key=False)
    if case == "long deque":
        assert out == {"__type__": "collections.deque", "__repr__": repr(value)[: REPR_LIMIT - 3] + "..."}
    else:
        for _ in range(MAX_DEPTH if form == "full" else LIGHT_DEPTH):
            out = out[1]
        assert out["__type__"] == "builtins.list" and ("__repr__" in out if form == "full" else out["__head__"] == [])


def locals_function(count):
    """A function whose locals are its `count` arguments, in a file the engine records."""
    names = [f"a{i}" for i in range(count)]
    namespace = {"__name__": "locals_probe"}
    exec(compile(f"def probe({', '.join(names)}):\n    return None\n", __file__, "exec"), namespace)
    return namespace["probe"], names


@settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
@given(arguments=st.lists(any_value, max_size=18), lightweight=st.booleans())
def test_locals_written_in_place_are_the_serialisers(recording, arguments, lightweight):
    """The engine writes a frame's locals straight into its record, without a dict: the bytes are
    the serialiser's for the dict of those locals (which agrees with the reference, above)."""
    probe, names = locals_function(len(arguments))
    with recording(config={"lightweight_repr": lightweight}) as host:
        probe(*arguments)
    trace = host.rust_profiler.build_trace()
    serialiser = FORMS["lightweight" if lightweight else "full"][0]
    assert serialiser(dict(zip(names, arguments))) in trace
