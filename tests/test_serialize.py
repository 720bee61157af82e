import enum
import math
import threading
import time

import msgpack
import pytest

from vesk import serialize
from vesk.serialize import (LIGHT_ITEMS, LIGHT_STR, REPR_LIMIT, dump_msgpack, dump_msgpack_lightweight_repr,
                            load_msgpack)

BOTH = pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr])


def unpack(data):
    return msgpack.unpackb(data, raw=False, strict_map_key=False)  # raises on trailing bytes


def boom(*args):
    raise RuntimeError


Color = enum.Enum("Color", "RED")
ReprRaises = type("ReprRaises", (), {"__repr__": boom})
ClassRaises = type("ClassRaises", (), {"__class__": property(boom), "__getattr__": boom})
ClassLies = type("ClassLies", (), {"__class__": property(lambda self: dict)})
OddMeta = type("MetaRaises", (type,), {"__getattribute__": boom})("OddMeta", (), {})
DictItemsRaise = type("DictItemsRaise", (dict,), {"items": boom, "__iter__": boom})


@BOTH
@pytest.mark.parametrize(
    "value, expected",
    [(v, v) for v in [None, True, 2**64 - 1, -(2**63), 1.5, float("inf"), "héllo ✓", b"\x00\xff",
                      [1, [2, [3]]], {"a": {"b": [None, 2.5]}}, {1: "one", None: 2}]]
    + [((1, (2,)), [1, [2]]), (bytearray(b"ab"), b"ab"), (memoryview(b"abcdef")[::2], b"ace"), ({7}, [7]),
       (type("S", (str,), {})("sub"), "sub"), (enum.IntEnum("E", "A").A, 1), (DictItemsRaise(a=1), {"a": 1})],
)
def test_values_msgpack_can_hold(dump, value, expected):
    assert unpack(dump(value)) == expected


@BOTH
@pytest.mark.parametrize(
    "value, type_name, text",
    [
        (ReprRaises(), "ReprRaises", "<repr() raised builtins.RuntimeError>"),
        (2**70, "builtins.int", str(2**70)),
        (10**5000, "builtins.int", f"<int of {(10**5000).bit_length()} bits>"),
        (Color.RED, "Color", "<Color.RED: 1>"),
        (type("Long", (), {"__repr__": lambda s: "x" * 9999})(), "Long", "x" * (REPR_LIMIT - 3) + "..."),
        (OddMeta(), "OddMeta", None),
        (ClassRaises(), "ClassRaises", None),
        (ClassLies(), "ClassLies", None),
    ],
    ids=["repr-raises", "int-70-bits", "int-too-long-to-print", "enum", "long-repr", "odd-metaclass",
         "class-raises", "class-lies"],
)
def test_fallback_map(dump, value, type_name, text):
    out = unpack(dump(value))
    assert set(out) == {"__type__", "__repr__"} and out["__type__"].endswith(type_name)
    assert text is None or out["__repr__"] == text


@BOTH
def test_surrogates_cycles_and_depth(dump):
    assert unpack(dump({"k\udc80": "\ud800"})) == {"k\\udc80": "\\ud800"}
    a, d = [1], {}
    a.append(a)
    d["me"] = d
    assert unpack(dump([a, d])) == [[1, {"__type__": "builtins.list", "__repr__": "[...]"}],
                                     {"me": {"__type__": "builtins.dict", "__repr__": "{...}"}}]
    deep = []
    for _ in range(100_000):
        deep = [deep, "pad"]
    assert len(dump(deep)) < 10_000 and unpack(dump(deep))[1] == "pad"
    assert math.isnan(unpack(dump(float("nan"))))


def test_unhashable_keys_decode_with_load_msgpack():
    out = load_msgpack(dump_msgpack({(1, 2): "t", Color.RED: "e"}))
    assert out == {(1, 2): "t", (("__type__", f"{__name__}.Color"), ("__repr__", "<Color.RED: 1>")): "e"}


@BOTH
def test_reentrant_repr(dump):
    inner = type("Inner", (), {"__repr__": lambda s: dump_msgpack({"x": [1], "o": ReprRaises()}).hex()})
    out = unpack(dump({"a": inner(), "b": [inner()]}))
    assert unpack(bytes.fromhex(out["b"][0]["__repr__"]))["x"] == [1]


class YieldingRepr:
    def __init__(self, n):
        self.n = n

    def __repr__(self):
        time.sleep(0)  # hand the GIL to another serialising thread mid-pack
        return f"Y{self.n}"


@BOTH
def test_threads_serialise_at_once(dump):
    bad = []

    def work(n):
        value = {"n": n, "items": list(range(n)), "obj": YieldingRepr(n), "s": "x" * n}
        expected = dict(value, obj={"__type__": f"{__name__}.YieldingRepr", "__repr__": f"Y{n}"})
        bad.extend(n for _ in range(300) if unpack(dump(value)) != expected)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(1, 9)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert bad == []


@pytest.mark.parametrize(
    "value, head",
    [("s" * 1000, "s" * LIGHT_STR), (b"b" * 1000, b"b" * 200), (list(range(1000)), list(range(LIGHT_ITEMS))),
     (set(range(1000)), list(range(LIGHT_ITEMS))),
     (dict.fromkeys(range(1000), 0), dict.fromkeys(range(LIGHT_ITEMS), 0))],
)
def test_lightweight_cut_map(value, head):
    out = unpack(dump_msgpack_lightweight_repr(value))
    assert out == {"__type__": f"builtins.{type(value).__name__}", "__len__": 1000, "__head__": head}


@pytest.mark.parametrize(
    "value",
    [[[["x" * 10_000] * 1000] * 1000] * 1000,
     {i: {j: "y" * 300 for j in range(100)} for i in range(100)},
     [[["z" * LIGHT_STR] * LIGHT_ITEMS] * LIGHT_ITEMS] * LIGHT_ITEMS],  # each part within bounds, not the whole
    ids=["wide", "dicts", "each-part-small"],
)
def test_lightweight_output_is_bounded(value):
    assert len(dump_msgpack_lightweight_repr(value)) < 64 * 1024


def test_lightweight_is_fast_on_huge_list():
    big = list(range(10_000_000))
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        dump_msgpack_lightweight_repr(big)
        best = min(best, time.perf_counter() - start)
    assert best < 1e-3


@pytest.mark.parametrize("value", [
    bytearray(1_000_000),
    "x" * 100_000,
    {"data": list(range(100_000)), "n": 1},
    [[0] * 1000] * 100,
])
def test_full_form_is_bounded(value):
    data = dump_msgpack(value)
    assert len(data) <= serialize.FULL_LIMIT
    assert data == dump_msgpack_lightweight_repr(value)


def test_values_below_the_bound_stay_whole():
    value = {"text": "y" * 60_000, "numbers": list(range(100))}
    assert msgpack.unpackb(dump_msgpack(value)) == value
