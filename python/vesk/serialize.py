"""Turn Python values into MessagePack for the recording engine, without running the program's
code.

The engine calls these functions from inside its profile hook, for the arguments, locals and
return value of every recorded call, possibly from many threads at once. A value is read from
what the object holds in memory: its builtin storage, its slots and instance ``__dict__``, and
the texts that the interpreter makes in C for a few standard types. No ``__repr__``, ``__str__``,
``__len__``, ``__iter__``, ``__eq__``, ``__hash__``, ``__getattr__``, property or descriptor of
the program or its libraries is called, unless a recording asks for reprs (``call_repr``). The
cost and size of one record's values are bounded by the bounds below, whatever they hold: the
values of a record share one budget, spent breadth first, and an object met again in a record is
referred to by where it was written.

Each call returns exactly one MessagePack value. docs/stored-layout.md ("Values") is the one
description of what is written for which object; in short:

* None, bool, float, int within 64 bits, str and bytes-likes pack as themselves (subclasses as
  their base type); list, tuple, set and frozenset as arrays; dict as a map. A str, bytes-like or
  container past the bounds becomes a *cut map*
  ``{"__type__": T, "__len__": <full length>, "__head__": <what was kept>}``.
* A *text map* ``{"__type__": T, "__repr__": text}`` holds a text made without the program's
  code: ints past 64 bits, enum members, the C-made texts of standard types (datetime, Decimal,
  compiled patterns, functions, classes...) and the texts vesk makes from fields (modules, bound
  methods, UUIDs, fractions, paths); with ``call_repr``, the object's repr.
* An *object map* ``{"__type__": T, ["__args__": [...]], ["__items__": [...]],
  ["__fields__": {name: value}], ["__more__": n or nil]}`` describes anything else: exceptions
  by their args, deques by their items, named tuples and ordinary objects by their fields.
* Secrets are never stored (``vesk.filters.secrets``): a str shaped like a credential, and the
  value of a dict entry or field with a secret name, become a *redaction marker*
  ``{"__type__": T, "__len__": n or nil, "__redacted__": true}``.
* A *same map* ``{"__type__": T, "__same__": <path>}`` stands for a container or object written
  earlier in the same record, at that path ("locals.self.items[2]").
* Map keys pack like any other value, so they may be ints, arrays or maps: decode with
  :func:`load_msgpack`.

Both functions are implemented natively, in the engine (``vesk._vesk``); ``_dump_msgpack_py`` and
``_dump_msgpack_lightweight_repr_py`` below are their reference, byte for byte.
"""

import itertools
import math
import sys
import types

import msgpack

from vesk._vesk import dump_msgpack, dump_msgpack_lightweight_repr, is_interruption
from vesk.filters.secrets import is_secret_name, looks_secret
from vesk.filters.secrets import marker as _marker

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "load_msgpack",
    "REPR_LIMIT",
    "FULL",
    "LIGHT",
]

# Longest text of a text map.
REPR_LIMIT = 300
# Ints past this many bits are told by their size and leading digits, read from their top bits:
# their decimal digits cost time that grows faster than their size.
INT_TEXT_BITS = 128
# log10(2) and ln(10) as doubles, written out as the engine writes them.
_LOG10_2 = 0.30102999566398120
_LN_10 = 2.302585092994046


class Bounds:
    """What values may cost: items of a container (and fields of an object), characters of a
    str, bytes of a bytes-like, depth; and the budget that the values of one record share:
    characters and bytes of all their texts together, and values written (keys and field names
    included)."""

    __slots__ = ("items", "chars", "bytes", "text", "depth", "values")

    def __init__(self, items, chars, bytes, text, depth, values):
        self.items, self.chars, self.bytes = items, chars, bytes
        self.text, self.depth, self.values = text, depth, values

    def scaled(self, scale):
        return Bounds(self.items * scale, self.chars * scale, self.bytes * scale, self.text * scale,
                      min(self.depth * scale, MAX_DEPTH), self.values * scale)


# The deepest any value is followed, whatever the scale: well under the interpreter's recursion
# limit, since the caller may already be deep in user code.
MAX_DEPTH = 64
FULL = Bounds(items=32, chars=1000, bytes=1000, text=1024, depth=12, values=32)
LIGHT = Bounds(items=16, chars=200, bytes=200, text=512, depth=4, values=16)

_INT64_MIN = -(1 << 63)
_UINT64_MAX = (1 << 64) - 1

# Read through the descriptors of type and object themselves: a metaclass may override attribute
# lookup, and a class may define any attribute, but these never run the program's code.
_type_module = type.__dict__["__module__"].__get__
_type_qualname = type.__dict__["__qualname__"].__get__
_type_name_of = type.__dict__["__name__"].__get__
_type_mro = type.__dict__["__mro__"].__get__
_type_vars = type.__dict__["__dict__"].__get__
_module_vars = types.ModuleType.__dict__["__dict__"].__get__
_exception_args = BaseException.__dict__["args"].__get__
_exception_vars = BaseException.__dict__["__dict__"].__get__
_function_qualname = types.FunctionType.__dict__["__qualname__"].__get__
_Member = types.MemberDescriptorType
_GetSet = types.GetSetDescriptorType


def _type_name(t):
    try:
        module = _type_module(t)
        qualname = _type_qualname(t)
    except Exception as exc:
        if is_interruption(exc):
            raise
        return "<unknown type>"
    if not isinstance(module, str):
        module = "<unknown module>"
    if not isinstance(qualname, str):
        qualname = "<unknown>"
    return f"{module}.{qualname}"


def _clip(text, limit):
    if len(text) <= limit:
        return text
    return text[: limit - 3] + "..."


def _safe_str(text):
    # Lone surrogates cannot be encoded as UTF-8; escape them rather than
    # producing bytes that no strict decoder accepts.
    try:
        text.encode("utf-8")
        return text
    except UnicodeEncodeError:
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _lookup(t, name):
    """What t's attribute lookup finds for name in the dicts of its MRO, unbound; None."""
    for k in _type_mro(t):
        found = _type_vars(k).get(name)
        if found is not None:
            return found
    return None


def _int_text(value):
    bits = int.bit_length(value)
    if bits > INT_TEXT_BITS:
        return _approximate_int_text(value < 0, abs(value) >> (bits - 64), bits)
    return int.__repr__(value)


def _approximate_int_text(negative, top, bits):
    """"≈1.2345e+450 (451 digits)" for a number of that many bits whose top 64 bits are top:
    the same doubles, in the same order, as the engine."""
    log = (math.log2(float(top)) + float(bits - 64)) * _LOG10_2
    exponent = math.floor(log)
    shown = f"{math.exp((log - exponent) * _LN_10):.4f}"
    if shown == "10.0000":  # rounded up to the next power of ten
        shown, exponent = "1.0000", exponent + 1
    return f"\u2248{'-' if negative else ''}{shown}e+{exponent} ({exponent + 1} digits)"


def _module(name):
    # Never imported here: a class whose module is not loaded has no instances.
    return sys.modules.get(name)


def _attribute(module, name):
    if module is None:
        return None
    return _module_vars(module).get(name)


# ---- Texts made in C by the interpreter and the standard library ------------------------------

_C_TEXT_BUILTINS = (complex, range, types.FunctionType, types.BuiltinFunctionType,
                    types.MethodDescriptorType, types.WrapperDescriptorType, types.GetSetDescriptorType,
                    types.MemberDescriptorType, types.ClassMethodDescriptorType, types.MethodWrapperType,
                    types.CodeType, types.GeneratorType, types.CoroutineType, types.AsyncGeneratorType,
                    types.FrameType, type(Ellipsis), type(NotImplemented))
_C_TEXT_ELSEWHERE = (("datetime", "timedelta"), ("datetime", "timezone"), ("datetime", "datetime"),
                     ("datetime", "date"), ("datetime", "time"), ("decimal", "Decimal"), ("re", "Pattern"),
                     ("zoneinfo", "ZoneInfo"))


def _c_text_bases():
    bases = list(_C_TEXT_BUILTINS)
    for module, name in _C_TEXT_ELSEWHERE:
        found = _attribute(_module(module), name)
        if isinstance(found, type):
            bases.append(found)
    return bases


def _c_text_base(t):
    """The base whose C-made repr instances of t show, or None."""
    own = _lookup(t, "__repr__")
    for base in _c_text_bases():
        if issubclass(t, base):
            # A base whose repr is Python code (a pure-Python fallback module) is no such base.
            if own is _lookup(base, "__repr__") and type(own) is types.WrapperDescriptorType:
                return base
            return None
    return None


def _tz_is_plain(tz):
    if tz is None:
        return True
    tz_type = type(tz)
    if tz_type is _attribute(_module("datetime"), "timezone"):
        return True
    zone_info = _attribute(_module("zoneinfo"), "ZoneInfo")
    return zone_info is not None and tz_type is zone_info and type(_lookup(tz_type, "__repr__")) is types.WrapperDescriptorType


def _tp_name(t, base):
    # How the datetime types name a type in their reprs: a static type by its module too.
    return f"datetime.{_type_name_of(base)}" if t is base else _type_name_of(t)


def _clock_text(value, t, base, datetime_module):
    """The repr of a time or datetime whose tzinfo is of a class of the program's, made from its
    fields with that class's name in place of the tzinfo's repr."""
    get = lambda name: _lookup(base, name).__get__(value)  # noqa: E731 - C getters
    if base is datetime_module.datetime:
        numbers = [get("year"), get("month"), get("day"), get("hour"), get("minute")]
        tail = [get("second"), get("microsecond")]
    else:
        numbers = [get("hour"), get("minute")]
        tail = [get("second"), get("microsecond")]
    if tail[1]:
        numbers += tail
    elif tail[0]:
        numbers.append(tail[0])
    text = f"{_tp_name(t, base)}({', '.join(map(str, numbers))}"
    if get("fold"):
        text += ", fold=1"
    return text + f", tzinfo=<{_type_name(type(get('tzinfo')))}>)"


def _c_text(value, t):
    """The text of value when the interpreter or the standard library makes it in C without
    calling into the object, or vesk makes it from the object's fields; None otherwise."""
    if issubclass(t, type):
        module = _type_module(value)
        qualname = _type_qualname(value)
        if not isinstance(qualname, str):
            return None
        if module == "builtins" or not isinstance(module, str):
            return f"<class '{qualname}'>"
        return f"<class '{module}.{qualname}'>"
    if issubclass(t, types.ModuleType):
        name = _module_vars(value).get("__name__")
        return f"<module '{name if type(name) is str else '?'}'>"
    if t is types.MethodType:
        function = value.__func__
        qualname = _function_qualname(function) if type(function) is types.FunctionType else "?"
        return f"<bound method {qualname} of {_type_name(type(value.__self__))} object>"
    if t is slice:
        for part in (value.start, value.stop, value.step):
            if part is not None and type(part) is not int:
                return None
        return _c_repr(slice.__repr__, value)
    text = _field_text(value, t)
    if text is not None:
        return text
    base = _c_text_base(t)
    if base is None:
        return None
    datetime_module = _module("datetime")
    if datetime_module is not None and base in (datetime_module.datetime, datetime_module.time):
        if not _tz_is_plain(_lookup(base, "tzinfo").__get__(value)):
            return _clock_text(value, t, base, datetime_module)
    if base is _attribute(_module("re"), "Pattern"):
        if type(_lookup(t, "pattern").__get__(value)) not in (str, bytes):
            return None
    return _c_repr(_lookup(t, "__repr__"), value)


def _c_repr(method, value):
    """What a repr made in C gives, or None when it fails (an int past the interpreter's limit on
    digits): the object's fields are read instead."""
    try:
        return method(value)
    except Exception as exc:
        if is_interruption(exc):
            raise
        return None


def _slot(value, t, name):
    found = _lookup(t, name)
    if type(found) is not _Member:
        return None
    try:
        return found.__get__(value)
    except AttributeError:
        return None


def _field_text(value, t):
    """The repr of a UUID, a fraction or a path, made from its fields."""
    for module, name, make in _FIELD_TEXTS:
        base = _attribute(_module(module), name)
        if not isinstance(base, type) or not issubclass(t, base):
            continue
        if _lookup(t, "__repr__") is not _lookup(base, "__repr__"):
            return None
        return make(value, t)
    return None


def _uuid_text(value, t):
    number = _slot(value, t, "int")
    if type(number) is not int or not 0 <= number < 1 << 128:
        return None
    digits = f"{number:032x}"
    text = f"{digits[:8]}-{digits[8:12]}-{digits[12:16]}-{digits[16:20]}-{digits[20:]}"
    return f"{_type_name_of(t)}('{text}')"


def _fraction_text(value, t):
    numerator = _slot(value, t, "_numerator")
    denominator = _slot(value, t, "_denominator")
    if type(numerator) is not int or type(denominator) is not int:
        return None
    return f"{_type_name_of(t)}({_int_text(numerator)}, {_int_text(denominator)})"


def _path_text(value, t):
    text = _slot(value, t, "_str")
    if type(text) is not str:
        text = _joined_path(value, t)
        if text is None:
            return None
    return f"{_type_name_of(t)}({str.__repr__(text)})"


def _joined_path(value, t):
    """str() of a path whose text is not cached yet, from the parts it was made of."""
    raw = _slot(value, t, "_raw_paths")
    if type(raw) is list:
        root, parts = "", []
        for piece in raw:
            if type(piece) is not str:
                return None
            if piece.startswith("/"):
                root = "//" if piece.startswith("//") and not piece.startswith("///") else "/"
                parts = []
            parts += [part for part in piece.split("/") if part and part != "."]
        return root + "/".join(parts) or "."
    drive, root, parts = _slot(value, t, "_drv"), _slot(value, t, "_root"), _slot(value, t, "_parts")
    if type(drive) is not str or type(root) is not str or type(parts) is not list:
        return None
    if not all(type(part) is str for part in parts):
        return None
    return drive + root + "/".join(parts[1:] if drive or root else parts) or "."


# Only POSIX paths: a Windows path shows its parts the other way round from how it keeps them.
_FIELD_TEXTS = (("uuid", "UUID", _uuid_text), ("fractions", "Fraction", _fraction_text),
                ("pathlib", "PurePosixPath", _path_text))


def _is_enum_type(t):
    enum_type = _attribute(_module("enum"), "EnumType")
    return isinstance(enum_type, type) and issubclass(type(t), enum_type)


_ENUM_VALUE_TYPES = (type(None), bool, float, str, bytes)


def _enum_text(value, t):
    fields = _instance_dict(value, t) or {}
    name = fields.get("_name_")
    member = fields.get("_value_", _enum_text)
    if type(member) is int:
        shown = _int_text(member)
    elif type(member) is str and looks_secret(member):
        shown = f"<redacted str, {len(member)} chars>"
    elif type(member) in _ENUM_VALUE_TYPES:
        shown = repr(member[:REPR_LIMIT] if type(member) in (str, bytes) else member)
    else:
        shown = "..."
    label = _type_name_of(t)
    if type(name) is str:
        label = f"{label}.{name}"
    return f"<{label}: {shown}>"


def _dict_getter(t):
    """The getter of the instance __dict__ that t gives its instances, or None."""
    for k in _type_mro(t):
        found = _type_vars(k).get("__dict__")
        if type(found) is _GetSet or type(found) is _Member:
            return found
    return None


def _instance_dict(value, t):
    """The object's own __dict__ as its storage holds it, or None."""
    getter = _dict_getter(t)
    if getter is None:
        return None
    result = getter.__get__(value)
    return result if type(result) is dict else None


def _slot_members(t):
    """The member descriptors of the slots of t and its bases, bases first, dunder names aside."""
    members = []
    for k in reversed(_type_mro(t)):
        if k is object:
            continue
        for name, found in _type_vars(k).items():
            if type(found) is not _Member or found.__objclass__ is not k:
                continue
            if name.startswith("__") and name.endswith("__") and len(name) >= 4:
                continue
            members.append((name, found))
    return members


def _slot_fields(value, members):
    pairs = []
    for name, found in members:
        try:
            pairs.append((name, found.__get__(value)))
        except AttributeError:
            pass  # a slot never set
    return pairs


def _named_fields(value, t):
    fields = _lookup(t, "_fields")
    if type(fields) is not tuple or len(fields) != tuple.__len__(value):
        return None
    if not all(type(name) is str for name in fields):
        return None
    return fields


def _deque_type():
    return _attribute(_module("_collections"), "deque")


# ---- The writer ---------------------------------------------------------------------------------


class _Writer:
    """The MessagePack of one record's values, written as they are read, within the bounds: the
    values share one budget of values and text, and an object met again is referred to."""

    def __init__(self, bounds, call_repr):
        self.bounds = bounds
        self.values = bounds.values
        self.text = bounds.text
        self.call_repr = call_repr
        self.active = set()  # ids of containers and objects on the current path, for cycles
        self.packer = msgpack.Packer(use_bin_type=True, autoreset=True)
        self.out = bytearray()
        # What was looked into, for references: id to its place's index; each place is (index of
        # the place it is in, or -1, and the piece of path that leads to it from there).
        self.seen = {}
        self.places = []
        self.held = []  # what was looked into, alive until the record is written: ids stay theirs
        self.current = -1  # the place of the container being written; _NOWHERE for none
        self.place = None  # the piece of path of the value written next; None: not referable

    def root(self, value, name, parts=1):
        """A value of the record under its own name ("arg", "locals", "value"), given its share
        of what is left among the `parts` values still to write."""
        if type(value) in _LEAVES:
            self.write(value, 0)
        else:
            self.shared(parts, name, self.write, value, 0)

    def root_pairs(self, pairs):
        """The locals as a dict of their names, without a dict: the place "locals" holds them."""
        self.values -= 1
        keep = min(len(pairs), self.bounds.items, max(self.values, 1))
        if keep < len(pairs):
            self.cut_start(dict, len(pairs))
        self.map_header(keep)
        outer = self.current
        self.current = self.new_place("locals")
        kept = pairs[:keep]
        deep = _deep(value for _, value in kept)
        for name, value in kept:
            self.write_name(name, 1)
            deep = self.child(deep, _field_piece(name), value, self.write_entry, name, value, 1)
        self.current = outer

    def child(self, deep, place, value, write, *args):
        """write(*args) for one of a container's values, standing at `place`: a value that may hold
        others gets its share of the values left among the `deep` such values still to write.
        The count of those left after it."""
        if type(value) in _LEAVES:
            write(*args)
            return deep
        self.shared(deep, place, write, *args)
        return deep - 1

    def shared(self, parts, place, write, *args):
        """write(*args) for a value standing at `place`, given its share of the values left among
        the `parts` still to write: every one gets its top before any gets its depth."""
        total = self.values
        share = -(-total // parts)  # rounded up: the first values get what does not divide
        self.values = share
        self.place = place if self.current is not _NOWHERE else None
        write(*args)
        self.values = total - (share - self.values)

    def write_key(self, key, depth):
        self.place = None
        self.write(key, depth)

    def write_name(self, name, depth):
        """The name of a local or a field: a str never cut by the record's text budget (only by
        the bound of a str), so that a map of them keeps str keys."""
        if type(name) is not str:
            self.write_key(name, depth)
            return
        text, self.text = self.text, sys.maxsize
        self.write_key(name, depth)
        self.text = text

    def new_place(self, piece, value=None):
        if len(self.places) >= SEEN_LIMIT:
            return _NOWHERE
        index = len(self.places)
        self.places.append((self.current, piece))
        if value is not None:
            self.seen[id(value)] = index
            self.held.append(value)
        return index

    def look_into(self, value):
        """The place of a container or object about to be looked into, which its values stand
        in; _NOWHERE when it has none (a dict's key, or past the places a record keeps)."""
        place, self.place = self.place, None
        if place is None:
            return _NOWHERE
        return self.new_place(place, value)

    def met_again(self, value, t):
        """{"__type__": T, "__same__": <path>} when value was looked into already in this record
        and is not being written now: True then."""
        index = self.seen.get(id(value))
        if index is None or id(value) in self.active:
            return False
        pieces = []
        while index >= 0:
            index, piece = self.places[index]
            pieces.append(piece)
        self.map_header(2)
        self.pack("__type__")
        self.pack(_safe_str(_type_name(t)))
        self.pack("__same__")
        self.pack(_safe_str(_clip("".join(reversed(pieces)), REPR_LIMIT)))
        return True

    def pack(self, value):
        self.out += self.packer.pack(value)

    def map_header(self, count):
        self.out += self.packer.pack_map_header(count)

    def array_header(self, count):
        self.out += self.packer.pack_array_header(count)

    def write(self, value, depth):
        self.values -= 1
        t = type(value)
        if value is None or t is bool or t is float:
            self.pack(value)
        elif t is int:
            self.write_int(value, t)
        elif t is str:
            self.write_str(value, t, value)
        elif t is bytes:
            self.write_bytes(t, len(value), value)
        elif t is dict or t is list or t is tuple:
            self.write_container(value, t, depth)
        else:
            self.write_other(value, t, depth)

    def write_other(self, value, t, depth):
        if _is_enum_type(t):
            self.text_map(t, _enum_text(value, t))
        elif issubclass(t, BaseException):
            self.write_exception(value, t, depth)
        elif issubclass(t, tuple) and (names := _named_fields(value, t)) is not None:
            pairs = zip(names, tuple.__iter__(value))
            self.object_map(value, t, depth, fields=(len(names), pairs))
        elif issubclass(t, int):
            self.write_int(int.__int__(value), t)
        elif issubclass(t, float):
            self.pack(float.__float__(value))
        elif issubclass(t, str):
            self.write_str(value, t, str.__str__(value))
        elif issubclass(t, bytes):
            self.write_bytes(t, bytes.__len__(value), value)
        elif issubclass(t, bytearray):
            self.write_bytes(t, bytearray.__len__(value), value)
        elif issubclass(t, memoryview):
            self.write_memoryview(value, t)
        elif issubclass(t, (dict, list, tuple, set, frozenset)):
            self.write_container(value, t, depth)
        elif (deque := _deque_type()) is not None and issubclass(t, deque):
            count = deque.__len__(value)
            self.object_map(value, t, depth, items=(count, deque.__iter__(value)))
        elif self.call_repr:
            self.text_map(t, _repr_text(value))
        else:
            text = _c_text(value, t)
            if text is not None:
                self.text_map(t, text)
            else:
                self.write_fields(value, t, depth)

    def write_int(self, value, t):
        if _INT64_MIN <= value <= _UINT64_MAX:
            self.pack(value)
        else:
            self.text_map(t, _int_text(value))

    def write_str(self, value, t, text):
        length = len(text)
        keep = max(min(length, self.bounds.chars, self.text), 0)
        if looks_secret(text[:_secret_scan(keep)]):
            self.pack(_marker(value))
            return
        self.text -= keep
        if keep == length:
            self.pack(_safe_str(text))
        else:
            self.cut_start(t, length)
            self.pack(_safe_str(text[:keep]))

    def write_bytes(self, t, length, value):
        keep = min(length, self.bounds.bytes, self.text)
        self.text -= keep
        head = bytes((bytes if issubclass(t, bytes) else bytearray).__getitem__(value, slice(0, keep)))
        if keep < length:
            self.cut_start(t, length)
        self.pack(head)

    def write_memoryview(self, value, t):
        try:
            length = value.nbytes
        except ValueError:  # released
            self.text_map(t, memoryview.__repr__(value))
            return
        if value.c_contiguous:
            keep = min(length, self.bounds.bytes, self.text)
            self.text -= keep
            head = value.cast("B")[:keep].tobytes()
        else:
            keep, head = 0, b""  # its bytes are not in one piece: only its size is told
        if keep < length:
            self.cut_start(t, length)
        self.pack(head)

    def cut_start(self, t, length):
        """A cut map up to its head, which the caller writes."""
        self.map_header(3)
        self.pack("__type__")
        self.pack(_safe_str(_type_name(t)))
        self.pack("__len__")
        self.pack(length)
        self.pack("__head__")

    def text_map(self, t, text):
        self.map_header(2)
        self.pack("__type__")
        self.pack(_safe_str(_type_name(t)))
        self.pack("__repr__")
        self.pack(_safe_str(_clip(text, REPR_LIMIT)))

    def write_container(self, value, t, depth):
        is_dict = issubclass(t, dict)
        base = dict if is_dict else _base_of(t)
        length = base.__len__(value)
        if length > 0 and self.met_again(value, t):
            return
        if depth >= self.bounds.depth or self.values <= 0:
            if length > 0:
                self.cut_start(t, length)
            self.map_header(0) if is_dict else self.array_header(0)
            return
        key = id(value)
        if key in self.active:
            self.text_map(t, "{...}" if is_dict else "[...]")
            return
        keep = min(length, self.bounds.items, max(self.values, 1))
        # Taken before any is written, as the native writer holds them.
        items = list(itertools.islice((dict.items if is_dict else base.__iter__)(value), keep))
        if keep < length:
            self.cut_start(t, length)
        outer = self.current
        self.current = self.look_into(value) if length > 0 else _NOWHERE
        self.active.add(key)
        try:
            if is_dict:
                self.map_header(len(items))
                deep = _deep(v for _, v in items)
                for k, v in items:
                    self.write_key(k, depth + 1)
                    deep = self.child(deep, _key_piece(k), v, self.write_entry, k, v, depth + 1)
            else:
                self.array_header(len(items))
                deep = _deep(items)
                for j, v in enumerate(items):
                    deep = self.child(deep, f"[{j}]", v, self.write, v, depth + 1)
        finally:
            self.active.discard(key)
            self.current = outer

    def write_entry(self, name, value, depth):
        """A dict's value or an object's field, or its marker when the name is a secret's."""
        if (issubclass(type(name), str) and is_secret_name(str.__str__(name))) or (
                type(name) is bytes and is_secret_name(name.decode("latin-1"))):
            self.values -= 1
            self.pack(_marker(value))
        else:
            self.write(value, depth)

    def not_looked_into(self, value, t, depth):
        if self.met_again(value, t):
            return True
        if depth >= self.bounds.depth or self.values <= 0 or id(value) in self.active:
            self.map_header(2)
            self.pack("__type__")
            self.pack(_safe_str(_type_name(t)))
            self.pack("__more__")
            self.pack(None)
            return True
        return False

    def object_map(self, value, t, depth, args=None, items=None, fields=None):
        """{"__type__", "__args__", "__items__", "__fields__", "__more__"}: args a tuple, items
        and fields (count, iterator) pairs, fields of (name, value); None where absent."""
        if self.not_looked_into(value, t, depth):
            return
        more = 0
        kept_items = kept_fields = None
        if items is not None:
            count, iterator = items
            keep = min(count, self.bounds.items, max(self.values, 1))
            kept_items = list(itertools.islice(iterator, keep))
            more += count - len(kept_items)
        if fields is not None:
            count, iterator = fields
            keep = min(count, self.bounds.items, max(self.values, 1))
            kept_fields = list(itertools.islice(iterator, keep))
            more += count - len(kept_fields)
        entries = 1 + (args is not None) + (kept_items is not None) + (kept_fields is not None) + (more > 0)
        self.map_header(entries)
        self.pack("__type__")
        self.pack(_safe_str(_type_name(t)))
        key = id(value)
        outer = self.current
        self.current = self.look_into(value)
        self.active.add(key)
        try:
            if args is not None:
                self.pack("__args__")
                self.shared(1, ".args", self.write, args, depth + 1)
            if kept_items is not None:
                self.pack("__items__")
                self.array_header(len(kept_items))
                deep = _deep(kept_items)
                for j, item in enumerate(kept_items):
                    deep = self.child(deep, f"[{j}]", item, self.write, item, depth + 1)
            if kept_fields is not None:
                self.pack("__fields__")
                self.map_header(len(kept_fields))
                deep = _deep(field for _, field in kept_fields)
                for name, field in kept_fields:
                    self.write_name(name, depth + 1)
                    deep = self.child(deep, _field_piece(name), field, self.write_entry, name, field, depth + 1)
        finally:
            self.active.discard(key)
            self.current = outer
        if more > 0:
            self.pack("__more__")
            self.pack(more)

    def write_exception(self, value, t, depth):
        args = _exception_args(value)
        if type(args) is not tuple:
            args = ()
        fields = _exception_vars(value)
        if type(fields) is dict and fields:
            self.object_map(value, t, depth, args=args, fields=(len(fields), iter(dict.items(fields))))
        else:
            self.object_map(value, t, depth, args=args)

    def write_fields(self, value, t, depth):
        members = _slot_members(t)
        if not members and _dict_getter(t) is None:
            self.map_header(1)
            self.pack("__type__")
            self.pack(_safe_str(_type_name(t)))
            return
        if self.not_looked_into(value, t, depth):
            return
        slots = _slot_fields(value, members)
        instance = _instance_dict(value, t)
        count = len(slots) + (len(instance) if instance is not None else 0)
        pairs = itertools.chain(slots, dict.items(instance) if instance is not None else ())
        self.object_map(value, t, depth, fields=(count, pairs))


def _secret_scan(keep):
    """Of a str whose first `keep` characters are kept, how many are looked at for the shape of
    a secret: a secret that starts in what is kept is found whole, and what is not kept is never
    scanned."""
    return keep + 1024 if keep > 0 else 0


# What holds no other value: written whatever the budget, it needs no share of it.
_LEAVES = frozenset({type(None), bool, int, float, str, bytes})


def _deep(values):
    """How many of these values may hold others."""
    return sum(type(value) not in _LEAVES for value in values)


# A place that is none: what is written in it is not referred to.
_NOWHERE = -2
# Places a record keeps for references: an object met again past them is written again.
SEEN_LIMIT = 64
# Longest name or key that a path shows; a longer one is "[...]".
_PIECE_LIMIT = 100


def _field_piece(name):
    """The piece of path to an object's field, or a dict entry among the locals."""
    if type(name) is str and len(name) <= _PIECE_LIMIT and not looks_secret(name):
        return "." + name
    return "[...]"


def _key_piece(key):
    """The piece of path to a dict's entry."""
    if type(key) is str and len(key) <= _PIECE_LIMIT and not looks_secret(key):
        return f"[{str.__repr__(key)}]"
    if type(key) is int and _INT64_MIN <= key <= _UINT64_MAX:
        return f"[{int.__repr__(key)}]"
    return "[...]"


def _base_of(t):
    for base in (list, tuple, set, frozenset):
        if issubclass(t, base):
            return base
    raise TypeError(t)


def _repr_failed(exc):
    return f"<repr() raised {_type_name(type(exc))}>"


def _repr_text(value):
    """repr(value), with call_repr: the program's code, asked for."""
    try:
        text = repr(value)
        if type(text) is not str:
            text = str.__str__(text)  # TypeError for a non-str, caught below
        return text
    except Exception as exc:
        if is_interruption(exc):
            raise
        return _repr_failed(exc)


def _checked_scale(value_scale):
    if type(value_scale) is not int:
        raise TypeError("value_scale must be an int")
    if not 1 <= value_scale <= 1024:
        raise ValueError("value_scale must be from 1 to 1024")
    return value_scale


def _written(writer, write, value_type):
    """The bytes write() adds to writer's output; when what it reads cannot be read (memory
    running out, or the like), a text map of value_type alone."""
    start = len(writer.out)
    try:
        write()
    except Exception as exc:
        if is_interruption(exc) or isinstance(exc, MemoryError):
            raise
        del writer.out[start:]
        writer.text_map(value_type, "<unserialisable>")
    return bytes(writer.out[start:])


def _dump(value, bounds, call_repr):
    writer = _Writer(bounds, call_repr)
    return _written(writer, lambda: writer.root(value, "value"), type(value))


def _dump_record_py(arg, locals_, lightweight=False, call_repr=False, value_scale=1):
    """The reference of what the engine writes for a frame record's "arg" and "locals" (a dict,
    or a list of (name, value) pairs for a frame's own locals): the two values share one budget,
    and what one holds that the other holds already is referred to."""
    bounds = LIGHT if lightweight else FULL.scaled(_checked_scale(value_scale))
    writer = _Writer(bounds, call_repr)
    arg_bytes = _written(writer, lambda: writer.root(arg, "arg", parts=2), type(arg))
    if type(locals_) is list:
        write_locals = lambda: writer.root_pairs(locals_)  # noqa: E731
    else:
        write_locals = lambda: writer.root(locals_, "locals")  # noqa: E731
    return arg_bytes, _written(writer, write_locals, dict)


def _dump_msgpack_py(value, call_repr=False, value_scale=1):
    """The reference of dump_msgpack: one MessagePack value describing value within the full
    form's bounds, scaled."""
    value_scale = _checked_scale(value_scale)
    return _dump(value, FULL.scaled(value_scale) if value_scale != 1 else FULL, call_repr)


def _dump_msgpack_lightweight_repr_py(value, call_repr=False, value_scale=1):
    """The reference of dump_msgpack_lightweight_repr: the same within the lightweight bounds,
    which value_scale leaves as they are."""
    _checked_scale(value_scale)
    return _dump(value, LIGHT, call_repr)


def load_msgpack(data):
    """Decode the output of the functions above back into Python values.

    Map keys that decode to arrays become tuples and keys that decode to maps
    become tuples of (key, value) pairs, so every map can be a dict.
    """
    try:
        return msgpack.unpackb(data, raw=False, strict_map_key=False)
    except TypeError:  # an unhashable key somewhere
        return msgpack.unpackb(data, raw=False, strict_map_key=False, object_pairs_hook=_pairs_to_dict)


def _pairs_to_dict(pairs):
    return {_freeze(k): v for k, v in pairs}


def _freeze(value):
    if type(value) is list:
        return tuple(_freeze(v) for v in value)
    if type(value) is dict:
        return tuple((_freeze(k), _freeze(v)) for k, v in value.items())
    return value
