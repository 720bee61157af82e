"""What a recorded value decodes to: builtins as themselves, texts made without the program's code,
exceptions and other objects as maps of what they hold, cuts past the bounds; and reprs only when
asked for."""

import collections
import dataclasses
import datetime
import decimal
import enum
import fractions
import pathlib
import re
import sys
import threading
import time
import uuid

import msgpack
import pytest

from vesk.serialize import FULL, LIGHT, REPR_LIMIT, dump_msgpack, dump_msgpack_lightweight_repr, load_msgpack

# The items a container or object alone in a record keeps: as many as the items bound and the
# values budget (less the one the container costs) allow.
KEPT, LIGHT_KEPT = min(FULL.items, FULL.values - 1), min(LIGHT.items, LIGHT.values - 1)

BOTH = pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["full", "lightweight"])
HERE = __name__
PATHS = pathlib.PurePath.__module__  # where the path classes are defined, by version


def unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)  # raises on trailing bytes


def marker(type_name, length):
    return {"__type__": type_name, "__len__": length, "__redacted__": True}


def cut(type_name, length, head):
    return {"__type__": type_name, "__len__": length, "__head__": head}


def text_map(type_name, text):
    return {"__type__": type_name, "__repr__": text}


CALLS = []


def ran(self, *args):
    CALLS.append(self)
    raise RuntimeError("the program's code ran")


class Descriptor:
    def __get__(self, instance, owner=None):
        CALLS.append(self)
        return 0


# Every way reading an object could run its code: none of it may run.
LOUD = {**dict.fromkeys(["__repr__", "__str__", "__len__", "__iter__", "__eq__", "__hash__", "__getattr__",
                         "__getattribute__", "__bool__", "__format__", "__sizeof__", "__dir__", "__getitem__", "keys",
                         "items"], ran),
        "__class__": property(ran), "shown": property(ran), "described": Descriptor()}


def loud(base):
    return type(f"Loud{base.__name__[0].upper()}{base.__name__[1:]}", (base,), dict(LOUD))


class LoudColor(enum.Enum):
    A = 1
    __repr__ = __str__ = __format__ = ran


def name(value):
    """A test's id, from the value's repr where that works."""
    try:
        return re.sub("0x[0-9a-f]+", "0x…", repr(value)[:40])
    except Exception:  # noqa: BLE001 - the repr of a value that must not be shown
        return "value"


LoudMeta = type("LoudMeta", (type,), {"__getattribute__": ran, "__repr__": ran, "__getattr__": ran})


def with_fields(value, **fields):
    for key, field in fields.items():
        object.__setattr__(value, key, field)
    return value


class Basket:
    def __init__(self, owner, items):
        self.owner, self.items = owner, items

    def weigh(self):
        return len(self.items)


class Slotted:
    __slots__ = ("a", "b", "c")


class MoreSlots(Slotted):
    __slots__ = ("d", "__dict__", "__weakref__")


@dataclasses.dataclass
class Point:
    x: int
    token: str


@dataclasses.dataclass(slots=True, frozen=True)
class Frozen:
    x: int
    y: int = 2


Pair = collections.namedtuple("Pair", "left password")
Color = enum.Enum("Color", {"RED": 1, "PAIR": (1, 2)})
Mode = enum.StrEnum("Mode", "READ")
Perm = enum.Flag("Perm", "R W")


class AppError(Exception):
    def __init__(self, code, detail):
        super().__init__(code)
        self.detail, self.api_key = detail, "k3y"


class OwnZone(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=1)

    __repr__ = ran


def fresh(*pieces):
    return pathlib.PurePosixPath(*pieces)


def shown(*pieces):
    value = pathlib.Path(*pieces)
    str(value)  # its text, cached in the object
    return value


def released():
    view = memoryview(b"x")
    view.release()
    return view


def linked(value, depth, make):
    for _ in range(depth):
        value = make(value)
    return value


@BOTH
@pytest.mark.parametrize("value, expected", [
    *[(v, v) for v in [None, True, 2**64 - 1, -(2**63), 1.5, "héllo ✓", b"\x00\xff", [1, [2, [3]]],
                       {"a": {"b": [None, 2.5]}}, {1: "one", None: 2, 2.5: [3]}]],
    ((1, (2,)), [1, [2]]), ({7}, [7]), (frozenset({7}), [7]), (bytearray(b"ab"), b"ab"), (memoryview(b"ab"), b"ab"),
    (memoryview(b"abcd").cast("B", (2, 2)), b"abcd"), (memoryview(b"abcdef")[::2], cut("builtins.memoryview", 3, b"")),
    # Subclasses read through their storage, their own methods left alone.
    *[pytest.param(value, expected, id=type(value).__name__) for value, expected in [
        (loud(str)("sub"), "sub"), (loud(int)(5), 5), (loud(float)(0.5), 0.5), (loud(bytes)(b"b"), b"b"),
        (loud(list)([1, 2]), [1, 2]), (loud(tuple)((1,)), [1]), (loud(dict)(a=1), {"a": 1}), (loud(set)({3}), [3]),
        (with_fields(loud(list)([1]), password="p", extra=2), [1])]],
], ids=name)
def test_values_as_themselves(dump, value, expected):
    CALLS.clear()
    assert unpack(dump(value)) == expected and CALLS == []


@BOTH
@pytest.mark.parametrize("value, type_name, text", [
    (2**70, "builtins.int", str(2**70)), (-(2**128) + 1, "builtins.int", str(-(2**128) + 1)),
    # Past 128 bits, told from the top bits at a cost that does not grow with the size: a power of
    # ten and the number just under it alike, a mantissa rounded up to ten carried over.
    (-(2**959), "builtins.int", "≈-4.8727e+288 (289 digits)"), (2**960, "builtins.int", "≈9.7453e+288 (289 digits)"),
    (10**5000, "builtins.int", "≈1.0000e+5000 (5001 digits)"), (10**450 - 1, "builtins.int", "≈1.0000e+450 (451 digits)"),
    (2**128, "builtins.int", "≈3.4028e+38 (39 digits)"), (7 * 10**10**5, "builtins.int", "≈7.0000e+100000 (100001 digits)"),
    pytest.param(loud(int)(2**64), f"{HERE}.LoudInt", str(2**64), id="LoudInt"),
    (Color.RED, f"{HERE}.Color", "<Color.RED: 1>"), (Color.PAIR, f"{HERE}.Color", "<Color.PAIR: ...>"),
    (Mode.READ, f"{HERE}.Mode", "<Mode.READ: 'read'>"), (Perm.R | Perm.W, f"{HERE}.Perm", "<Perm.R|W: 3>"),
    (1 - 2j, "builtins.complex", "(1-2j)"), (range(1, 9, 2), "builtins.range", "range(1, 9, 2)"),
    (slice(1, None, 2), "builtins.slice", "slice(1, None, 2)"), (..., "builtins.ellipsis", "Ellipsis"),
    (len, "builtins.builtin_function_or_method", "<built-in function len>"),
    (datetime.datetime(2024, 5, 1, 12, 30, tzinfo=OwnZone()), "datetime.datetime",
     f"datetime.datetime(2024, 5, 1, 12, 30, tzinfo=<{HERE}.OwnZone>)"),
    (datetime.time(1, 2, 3, fold=1, tzinfo=OwnZone()), "datetime.time",
     f"datetime.time(1, 2, 3, fold=1, tzinfo=<{HERE}.OwnZone>)"),
    (datetime.date(2024, 5, 1), "datetime.date", "datetime.date(2024, 5, 1)"),
    (datetime.timedelta(days=1, seconds=5), "datetime.timedelta", "datetime.timedelta(days=1, seconds=5)"),
    (datetime.timezone.utc, "datetime.timezone", "datetime.timezone.utc"),
    (decimal.Decimal("1.50"), "decimal.Decimal", "Decimal('1.50')"),
    (re.compile("a+b", re.I), "re.Pattern", "re.compile('a+b', re.IGNORECASE)"),
    (uuid.UUID(int=5), "uuid.UUID", "UUID('00000000-0000-0000-0000-000000000005')"),
    (fractions.Fraction(3, 4), "fractions.Fraction", "Fraction(3, 4)"),
    (fresh("a", "b//./c"), f"{PATHS}.PurePosixPath", "PurePosixPath('a/b/c')"),
    (fresh("a", "/abs", "b"), f"{PATHS}.PurePosixPath", "PurePosixPath('/abs/b')"),
    (fresh("//net", "x"), f"{PATHS}.PurePosixPath", "PurePosixPath('//net/x')"),
    (fresh("."), f"{PATHS}.PurePosixPath", "PurePosixPath('.')"),
    (shown("/tmp", "x"), f"{PATHS}.PosixPath", "PosixPath('/tmp/x')"),
    (sys, "builtins.module", "<module 'sys'>"), (int, "builtins.type", "<class 'int'>"),
    (Basket, "builtins.type", f"<class '{HERE}.Basket'>"),
    pytest.param(LoudMeta("Odd", (), {}), f"{HERE}.LoudMeta", f"<class '{HERE}.Odd'>", id="LoudMeta"),
    (Basket("ada", []).weigh, "builtins.method", f"<bound method Basket.weigh of {HERE}.Basket object>"),
    (unpack, "builtins.function", "<function unpack at 0x…>"),
    ((x for x in ()), "builtins.generator", "<generator object <genexpr> at 0x…>"),
    (released(), "builtins.memoryview", "<released memory at 0x…>"),
], ids=name)
def test_texts_made_without_the_program(dump, value, type_name, text):
    CALLS.clear()
    out = unpack(dump(value))
    out["__repr__"] = re.sub("0x[0-9a-f]+", "0x…", out["__repr__"])
    assert out == text_map(type_name, text) and CALLS == []


@BOTH
@pytest.mark.parametrize("value, expected", [
    (KeyError(3), {"__type__": "builtins.KeyError", "__args__": [3]}),
    (KeyError("name"), {"__type__": "builtins.KeyError", "__args__": ["name"]}),
    (FileNotFoundError(2, "No such file"), {"__type__": "builtins.FileNotFoundError", "__args__": [2, "No such file"]}),
    (OSError(2, "x"), {"__type__": "builtins.FileNotFoundError", "__args__": [2, "x"]}),
    (ValueError(), {"__type__": "builtins.ValueError", "__args__": []}),
    (AppError(404, "gone"), {"__type__": f"{HERE}.AppError", "__args__": [404],
                             "__fields__": {"detail": "gone", "api_key": marker("builtins.str", 3)}}),
    pytest.param(with_fields(loud(ValueError)("v"), note=1), {
        "__type__": f"{HERE}.LoudValueError", "__args__": ["v"], "__fields__": {"note": 1}}, id="LoudValueError"),
], ids=name)
def test_exceptions(dump, value, expected):
    CALLS.clear()
    assert unpack(dump(value)) == expected and CALLS == []


def self_holding():
    value = Basket("ada", None)
    value.items = [value]
    return value


def slotted(cls, **fields):
    return with_fields(cls(), **fields)


@pytest.mark.parametrize("value, full, lightweight", [
    (Basket("ada", [1, "x"]), {"__type__": f"{HERE}.Basket", "__fields__": {"owner": "ada", "items": [1, "x"]}}, None),
    (with_fields(Basket("ada", []), password="hunter2"), {"__type__": f"{HERE}.Basket", "__fields__": {
        "owner": "ada", "items": [], "password": marker("builtins.str", 7)}}, None),
    # Slots that hold a value, bases first, then the instance's __dict__.
    (slotted(MoreSlots, c=3, d=4, a=1, e=5), {"__type__": f"{HERE}.MoreSlots", "__fields__": {
        "a": 1, "c": 3, "d": 4, "e": 5}}, None),
    (Slotted(), {"__type__": f"{HERE}.Slotted", "__fields__": {}}, None),
    (object(), {"__type__": "builtins.object"}, None),
    (Point(1, "t"), {"__type__": f"{HERE}.Point", "__fields__": {"x": 1, "token": marker("builtins.str", 1)}}, None),
    (Frozen(1), {"__type__": f"{HERE}.Frozen", "__fields__": {"x": 1, "y": 2}}, None),
    (Pair(1, "p"), {"__type__": f"{HERE}.Pair", "__fields__": {"left": 1, "password": marker("builtins.str", 1)}},
     None),
    (collections.deque([1, 2]), {"__type__": "collections.deque", "__items__": [1, 2]}, None),
    (collections.deque(range(100)), {"__type__": "collections.deque", "__items__": list(range(KEPT)),
                                     "__more__": 100 - KEPT},
     {"__type__": "collections.deque", "__items__": list(range(LIGHT_KEPT)), "__more__": 100 - LIGHT_KEPT}),
    (with_fields(Basket("a", 0), **{f"f{i}": i for i in range(70)}), {
        "__type__": f"{HERE}.Basket", "__fields__": {"owner": "a", "items": 0,
                                                     **{f"f{i}": i for i in range(KEPT - 2)}},
        "__more__": 72 - KEPT}, {"__type__": f"{HERE}.Basket", "__fields__": {
            "owner": "a", "items": 0, **{f"f{i}": i for i in range(LIGHT_KEPT - 2)}}, "__more__": 72 - LIGHT_KEPT}),
    (self_holding(), {"__type__": f"{HERE}.Basket", "__fields__": {
        "owner": "ada", "items": [{"__type__": f"{HERE}.Basket", "__more__": None}]}}, None),
    # Past the depth bound, an object is not looked into: a chain has the whole budget at each level.
    (linked(0, 40, lambda inner: Basket(inner, 0)), FULL.depth, LIGHT.depth),
], ids=name)
def test_object_maps(value, full, lightweight):
    for dump, expected in [(dump_msgpack, full), (dump_msgpack_lightweight_repr, lightweight or full)]:
        out = unpack(dump(value))
        if isinstance(expected, int):  # the depth at which the object map has no fields
            for _ in range(expected):
                out = out["__fields__"]["owner"]
            assert out == {"__type__": f"{HERE}.Basket", "__more__": None}
        else:
            assert out == expected


@BOTH
@pytest.mark.parametrize("make, expected", [
    (lambda: with_fields(loud(object)(), owner="ada"), {"__type__": f"{HERE}.LoudObject", "__fields__": {
        "owner": "ada"}}),
    (lambda: loud(dict)(password=1, b=2), {"password": marker("builtins.int", None), "b": 2}),
    (lambda: loud(collections.deque)([1]), {"__type__": f"{HERE}.LoudDeque", "__items__": [1]}),
    (lambda: LoudMeta("Odd", (), {})(), {"__type__": f"{HERE}.Odd", "__fields__": {}}),
    (lambda: datetime.datetime(2024, 1, 1, tzinfo=OwnZone()),
     text_map("datetime.datetime", f"datetime.datetime(2024, 1, 1, 0, 0, tzinfo=<{HERE}.OwnZone>)")),
    (lambda: LoudColor.A, text_map(f"{HERE}.LoudColor", "<LoudColor.A: 1>")),
    (lambda: type("LoudPair", (Pair,), {"__repr__": ran, "__iter__": ran, "__len__": ran, "__getattr__": ran})(1, 2),
     {"__type__": f"{HERE}.LoudPair", "__fields__": {"left": 1, "password": marker("builtins.int", None)}}),
    (lambda: type("LoudError", (KeyError,), {"args": property(ran), "__str__": ran, "__repr__": ran})(3),
     {"__type__": f"{HERE}.LoudError", "__args__": [3]}),
], ids=["object", "dict", "deque", "metaclass", "tzinfo", "enum", "namedtuple", "exception"])
def test_no_program_code_runs(dump, make, expected):
    value = make()
    CALLS.clear()
    assert unpack(dump(value)) == expected
    assert CALLS == []


class Shown:
    calls = 0

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        Shown.calls += 1
        if isinstance(self.text, BaseException):
            raise self.text
        return self.text


@BOTH
@pytest.mark.parametrize("value, expected", [
    (Shown("Shown!"), text_map(f"{HERE}.Shown", "Shown!")),
    (Shown("x" * 999), text_map(f"{HERE}.Shown", "x" * (REPR_LIMIT - 3) + "...")),
    (Shown(RuntimeError()), text_map(f"{HERE}.Shown", "<repr() raised builtins.RuntimeError>")),
    (Shown(5), text_map(f"{HERE}.Shown", "<repr() raised builtins.TypeError>")),
    # What rules 1 to 7 give stays as it is: only what would be an object map or a text is a repr.
    ([KeyError(Shown("k"))], [{"__type__": "builtins.KeyError", "__args__": [text_map(f"{HERE}.Shown", "k")]}]),
    (collections.deque([1]), {"__type__": "collections.deque", "__items__": [1]}),
    (Color.RED, text_map(f"{HERE}.Color", "<Color.RED: 1>")),
], ids=name)
def test_reprs_when_asked_for(dump, value, expected):
    assert unpack(dump(value, call_repr=True)) == expected


@BOTH
@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_interruption_from_a_repr_passes_through(dump, interruption):
    Shown.calls = 0
    with pytest.raises(interruption):
        dump({"a": [Shown(interruption())]}, call_repr=True)
    assert Shown.calls == 1
    assert unpack(dump(Shown(interruption()))) == {"__type__": f"{HERE}.Shown", "__fields__": {
        "text": {"__type__": f"builtins.{interruption.__name__}", "__args__": []}}}


@pytest.mark.parametrize("dump, scale, value, expected", [
    (dump_msgpack_lightweight_repr, 1, "s" * 1000, cut("builtins.str", 1000, "s" * 200)),
    (dump_msgpack, 1, "s" * 1000, "s" * 1000),
    (dump_msgpack, 1, "é" * 1001, cut("builtins.str", 1001, "é" * 1000)),
    (dump_msgpack, 3, "s" * 5000, cut("builtins.str", 5000, "s" * 3000)),
    (dump_msgpack, 1, loud(str)("s" * 1001), cut(f"{HERE}.LoudStr", 1001, "s" * 1000)),
    (dump_msgpack_lightweight_repr, 3, b"b" * 1000, cut("builtins.bytes", 1000, b"b" * 200)),
    (dump_msgpack, 1, bytearray(1001), cut("builtins.bytearray", 1001, bytes(1000))),
    (dump_msgpack, 1, memoryview(bytes(1001)), cut("builtins.memoryview", 1001, bytes(1000))),
    (dump_msgpack_lightweight_repr, 1, list(range(1000)), cut("builtins.list", 1000, list(range(LIGHT_KEPT)))),
    (dump_msgpack, 1, tuple(range(KEPT + 1)), cut("builtins.tuple", KEPT + 1, list(range(KEPT)))),
    (dump_msgpack, 3, list(range(1000)), cut("builtins.list", 1000, list(range(min(3 * FULL.items, 3 * FULL.values - 1))))),
    (dump_msgpack_lightweight_repr, 1, set(range(1000)), cut("builtins.set", 1000, list(range(LIGHT_KEPT)))),
    (dump_msgpack_lightweight_repr, 1, dict.fromkeys(range(1000), 0), cut("builtins.dict", 1000,
                                                                          dict.fromkeys(range(LIGHT_KEPT), 0))),
    # The text budget: what one str took, the next one lacks.
    (dump_msgpack, 1, ["a" * 1000] + ["b" * 1000] * 2, ["a" * 1000] + [
        cut("builtins.str", 1000, "b" * 24), cut("builtins.str", 1000, "")]),
    (dump_msgpack_lightweight_repr, 1, [b"a" * 200] * 2 + ["b" * 200] * 2, [b"a" * 200] * 2 + [
        cut("builtins.str", 200, "b" * 112), cut("builtins.str", 200, "")]),
    # Past the depth bound, a container's head is empty.
    (dump_msgpack_lightweight_repr, 1, linked(0, 10, lambda inner: [inner]),
     linked(cut("builtins.list", 1, []), 4, lambda inner: [inner])),
], ids=name)
def test_cut_past_the_bounds(dump, scale, value, expected):
    assert unpack(dump(value, value_scale=scale)) == expected


@BOTH
def test_surrogates_and_cycles(dump):
    assert unpack(dump({"k\udc80": "\ud800", "s": loud(str)("\udfff")})) == {"k\\udc80": "\\ud800", "s": "\\udfff"}
    a, d = [1], {}
    a.append(a)
    d["me"] = d
    # Within itself a container is a cycle; met again after, a reference to where it was written.
    assert unpack(dump([a, d, a])) == [[1, text_map("builtins.list", "[...]")],
                                        {"me": text_map("builtins.dict", "{...}")},
                                        {"__type__": "builtins.list", "__same__": "value[0]"}]


def test_keys_of_any_kind_decode_with_load_msgpack():
    out = load_msgpack(dump_msgpack({(1, 2): "t", Color.RED: "e", frozenset({3}): "f", 2**70: "i", Basket: "c"}))
    assert out == {(1, 2): "t", (("__type__", f"{HERE}.Color"), ("__repr__", "<Color.RED: 1>")): "e", (3,): "f",
                   (("__type__", "builtins.int"), ("__repr__", str(2**70))): "i",
                   (("__type__", "builtins.type"), ("__repr__", f"<class '{HERE}.Basket'>")): "c"}


@BOTH
def test_reentrant_repr(dump):
    inner = type("Inner", (), {"__repr__": lambda s: dump_msgpack({"x": [1], "o": Shown(ValueError())},
                                                                    call_repr=True).hex()})
    out = unpack(dump({"a": inner(), "b": [inner()]}, call_repr=True))
    assert unpack(bytes.fromhex(out["b"][0]["__repr__"]))["x"] == [1]


class YieldingRepr:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        time.sleep(0)  # hand the GIL to another serialising thread mid-value
        return f"Y{self.n}"


@BOTH
def test_threads_serialise_at_once(dump):
    bad = []

    def work(n):
        value = {"n": n, "items": list(range(n // 2)), "obj": YieldingRepr(n), "s": "x" * n}  # within budget
        expected = dict(value, obj=text_map(f"{HERE}.YieldingRepr", f"Y{n}"))
        bad.extend(n for _ in range(300) if unpack(dump(value, call_repr=True)) != expected)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(1, 9)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert bad == []
