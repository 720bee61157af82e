"""Turn Python values into MessagePack for the recording engine, without running the program's
code.

The engine calls these functions from inside its profile hook, for the arguments, locals and
return value of every recorded call, possibly from many threads at once. A value is read from
what the object holds in memory: its builtin storage, its slots and instance ``__dict__``, and
the texts that the interpreter makes in C for a few standard types. No ``__repr__``, ``__str__``,
``__len__``, ``__iter__``, ``__eq__``, ``__hash__``, ``__getattr__``, property or descriptor of
the program or its libraries is called, unless a recording asks for reprs (``call_repr``). The
cost and size of one value are bounded by the bounds below, whatever it holds.

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
* Map keys pack like any other value, so they may be ints, arrays or maps: decode with
  :func:`load_msgpack`.

Both functions are implemented natively, in the engine (``vesk._vesk``); ``_dump_msgpack_py`` and
``_dump_msgpack_lightweight_repr_py`` below are their reference, byte for byte.
"""

import itertools
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
# Ints past this many bits are named by their size: their digits cost more than they tell.
INT_TEXT_BITS = 960


class Bounds:
    """What one value may cost: items of a container (and fields of an object), characters of a
    str, bytes of a bytes-like, characters and bytes of all its texts together, depth, and
    values written (keys and field names included)."""

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
FULL = Bounds(items=32, chars=1000, bytes=1000, text=4096, depth=12, values=512)
LIGHT = Bounds(items=16, chars=200, bytes=200, text=2048, depth=4, values=256)

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
        return f"<int of {bits} bits>"
    return int.__repr__(value)


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
    """One value's MessagePack, written as it is read, within the bounds."""

    def __init__(self, bounds, call_repr):
        self.bounds = bounds
        self.values = bounds.values
        self.text = bounds.text
        self.call_repr = call_repr
        self.active = set()  # ids of containers and objects on the current path, for cycles
        self.packer = msgpack.Packer(use_bin_type=True, autoreset=True)
        self.out = bytearray()

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
        if looks_secret(text):
            self.pack(_marker(value))
            return
        keep = min(length, self.bounds.chars, self.text)
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
        self.active.add(key)
        try:
            if is_dict:
                self.map_header(len(items))
                for k, v in items:
                    self.write(k, depth + 1)
                    self.write_entry(k, v, depth + 1)
            else:
                self.array_header(len(items))
                for v in items:
                    self.write(v, depth + 1)
        finally:
            self.active.discard(key)

    def write_entry(self, name, value, depth):
        """A dict's value or an object's field, or its marker when the name is a secret's."""
        if (issubclass(type(name), str) and is_secret_name(str.__str__(name))) or (
                type(name) is bytes and is_secret_name(name.decode("latin-1"))):
            self.values -= 1
            self.pack(_marker(value))
        else:
            self.write(value, depth)

    def not_looked_into(self, value, t, depth):
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
        self.active.add(key)
        try:
            if args is not None:
                self.pack("__args__")
                self.write(args, depth + 1)
            if kept_items is not None:
                self.pack("__items__")
                self.array_header(len(kept_items))
                for item in kept_items:
                    self.write(item, depth + 1)
            if kept_fields is not None:
                self.pack("__fields__")
                self.map_header(len(kept_fields))
                for name, field in kept_fields:
                    self.write(name, depth + 1)
                    self.write_entry(name, field, depth + 1)
        finally:
            self.active.discard(key)
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


def _dump(value, bounds, call_repr):
    writer = _Writer(bounds, call_repr)
    try:
        writer.write(value, 0)
    except Exception as exc:
        if is_interruption(exc) or isinstance(exc, MemoryError):
            raise
        # What could not be read (memory running out, or the like): its type alone.
        writer = _Writer(bounds, call_repr)
        writer.text_map(type(value), "<unserialisable>")
    return bytes(writer.out)


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
