"""Turn arbitrary Python values into MessagePack for the recording engine.

The engine calls these functions from inside its profile hook, for the
arguments, locals and return value of every recorded call, possibly from many
threads at once. So they must be fast in the common case, must never raise for
an ordinary object, and must be reentrant: a user ``__repr__`` they call may
itself serialise, or release the GIL to another thread that does.

Each call returns exactly one MessagePack value:

* None, bool, int within 64 bits, float (nan and inf included), str and bytes
  pack as themselves; list, tuple, set and frozenset as arrays; dict as a map;
  bytearray and memoryview as bin. Subclasses pack as their base type.
* Map keys pack like any other value, so they may be ints, arrays or maps:
  decode with ``strict_map_key=False``, or with :func:`load_msgpack`, which
  also turns keys that decode to lists or dicts into tuples.
* Anything else becomes a *fallback map*, always with exactly these keys::

      {"__type__": "<module>.<qualname of type(value)>",
       "__repr__": "<repr(value), at most REPR_LIMIT chars>"}

  A repr that was cut ends with "...". A repr that raised reads
  ``"<repr() raised <module>.<ExceptionType>>"``. Ints beyond 64 bits get their
  decimal digits (or ``"<int of N bits>"`` when too long to convert). A
  container met again inside itself is a fallback map with repr ``"[...]"`` or
  ``"{...}"``; containers nested deeper than MAX_DEPTH get a short bounded repr.
* Lone surrogates in strings are escaped (``"\\udc80"``), so every str is
  valid UTF-8.
* Secrets are never stored: a dict's value whose key is a str naming a secret
  (``vesk.filters.secrets.is_secret_name``: "password", "api_key", ... as
  configured), and a str shaped like a credential wherever it is (a PEM private
  key block, "Bearer ..."/"Basic ..." credentials, a JSON Web Token:
  ``vesk.filters.secrets.looks_secret``), become a *redaction marker*::

      {"__type__": "<module>.<qualname>", "__len__": <len(value) of its base
       type, or nil>, "__redacted__": true}

  A frame's locals are one such dict, so a local or an argument named so is
  redacted too. A container's repr in a fallback map (see below) shows such a
  dict value, or such a str, as ``<redacted str, 24 chars>``; a repr that
  user code writes is not looked into.

:func:`dump_msgpack` keeps a value whole up to FULL_LIMIT bytes of MessagePack; a larger
value is given in the lightweight form below, so that recording never holds more than a
bounded amount per value.

:func:`dump_msgpack_lightweight_repr` bounds size and cost as well. A str,
bytes-like or container that was cut becomes a *cut map*::

      {"__type__": "<module>.<qualname>", "__len__": <full length>,
       "__head__": <the first LIGHT_STR chars, LIGHT_BYTES bytes, or
                    LIGHT_ITEMS items as an array (a map for dicts)>}

Containers past LIGHT_DEPTH, or met once LIGHT_BUDGET values have been
emitted, are cut maps with an empty head.

Both functions are implemented natively, in the engine (``vesk._vesk``); the
Python functions below, ``_dump_msgpack_py`` and
``_dump_msgpack_lightweight_repr_py``, are their reference, byte for byte. The
native ones also bound their cost where the reference does not: the full form
stops as soon as it passes FULL_LIMIT, and the repr of a deque in a fallback
map is built only as far as REPR_LIMIT keeps it. For the few values whose
exact form is Python-level behaviour (reprlib's bounded repr of a container in
a fallback map, a memoryview in the lightweight form), the native functions
call the reference for that one value.
"""

import reprlib

import msgpack

from vesk._vesk import dump_msgpack, dump_msgpack_lightweight_repr, is_interruption
from vesk.filters.secrets import is_secret_name, looks_secret, marker_text
from vesk.filters.secrets import marker as _marker

__all__ = [
    "dump_msgpack",
    "dump_msgpack_lightweight_repr",
    "load_msgpack",
    "REPR_LIMIT",
    "FULL_LIMIT",
]

# Longest "__repr__" value in a fallback map.
REPR_LIMIT = 300
# Largest full form dump_msgpack keeps; a larger value gets its lightweight form instead.
FULL_LIMIT = 64 * 1024
# How deep the slow path of dump_msgpack descends before falling back to a
# bounded repr; well under the interpreter's recursion limit, since the caller
# may already be deep in user code.
MAX_DEPTH = 64

# Bounds of the lightweight variant.
LIGHT_ITEMS = 16  # items kept per container
LIGHT_STR = 200  # chars of a str
LIGHT_BYTES = 200  # bytes of a bytes-like
LIGHT_DEPTH = 4  # container nesting
LIGHT_BUDGET = 256  # values emitted in total, so nested containers stay small

_INT64_MIN = -(1 << 63)
_UINT64_MAX = (1 << 64) - 1

_type_module = type.__dict__["__module__"].__get__
_type_qualname = type.__dict__["__qualname__"].__get__


def _type_name(t):
    # Read through type's own descriptors: a metaclass may override attribute
    # lookup, and a user's __class__ may lie, but type(x) and these never do.
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


class _BoundedRepr(reprlib.Repr):
    def __init__(self):
        super().__init__()
        self.maxstring = REPR_LIMIT
        self.maxother = 60
        self.maxlong = 60
        self.maxlevel = 3

    def repr_int(self, x, level):
        try:
            return super().repr_int(x, level)
        except ValueError:  # beyond the interpreter's int->str digit limit
            return f"<int of {int.bit_length(x)} bits>"

    def repr_instance(self, x, level):
        try:
            return super().repr_instance(x, level)
        except Exception as exc:
            if is_interruption(exc):
                raise
            return _repr_failed(exc)

    def repr_str(self, x, level):
        if looks_secret(x):
            return _redacted_text(x)
        return super().repr_str(x, level)

    def repr_dict(self, x, level):
        return super().repr_dict(_SecretsHidden(x), level)


def _redacted_text(value):
    return marker_text(_marker(value))


class _Redacted:
    """What a container's bounded repr shows of a secret: its marker's text."""

    __slots__ = ("text",)

    def __init__(self, value):
        self.text = _redacted_text(value)

    def __repr__(self):
        return self.text


class _SecretsHidden:
    """A dict as reprlib reads it (its length, its keys, an item), with the values under secret
    names in their markers' stead."""

    __slots__ = ("inner",)

    def __init__(self, inner):
        self.inner = inner

    def __len__(self):
        return len(self.inner)

    def __iter__(self):
        return iter(self.inner)

    def __getitem__(self, key):
        value = self.inner[key]
        return _Redacted(value) if _is_secret_key(key) else value


_BOUNDED = _BoundedRepr()
# reprlib picks its method by the type's __name__, which a user class may
# share with a builtin; pick by the real base type instead.
_BOUNDED_BY_BASE = (
    (dict, _BOUNDED.repr_dict),
    (list, _BOUNDED.repr_list),
    (tuple, _BOUNDED.repr_tuple),
    (set, _BOUNDED.repr_set),
    (frozenset, _BOUNDED.repr_frozenset),
)


def _bounded_container_repr(value, t):
    for base, method in _BOUNDED_BY_BASE:
        if issubclass(t, base):
            return method(value, _BOUNDED.maxlevel)
    return None


def _repr_failed(exc):
    return f"<repr() raised {_type_name(type(exc))}>"


def _fallback(value, text=None):
    """The fallback map for value; never raises."""
    t = type(value)
    if text is None:
        try:
            if issubclass(t, int):
                try:
                    text = int.__repr__(value)
                except ValueError:  # beyond the interpreter's int->str digit limit
                    text = f"<int of {int.bit_length(value)} bits>"
            else:
                text = _bounded_container_repr(value, t)
                if text is None:
                    text = repr(value)
            if type(text) is not str:
                text = str.__str__(text)  # TypeError for a non-str, caught below
        except Exception as exc:
            if is_interruption(exc):
                raise
            text = _repr_failed(exc)
    return {"__type__": _safe_str(_type_name(t)), "__repr__": _safe_str(_clip(text, REPR_LIMIT))}


def _default(value):
    """The packer's hook for anything it cannot pack natively."""
    t = type(value)
    if t is _KeyWrapper:
        return value.inner
    if issubclass(t, (set, frozenset)):
        return list(value)
    return _fallback(value)


# Packers are reused (creating one costs more than the packing it does for a
# small dict) but never shared: each call takes one from the pool, so
# reentrant and concurrent calls each pack with their own. list.pop/append are
# atomic under the GIL.
_POOL_MAX = 16
_KEEP_BUFFER_MAX = 1 << 20  # drop packers whose buffer grew past this
_pool = []


def _new_packer():
    return msgpack.Packer(default=_default, use_bin_type=True, buf_size=16 * 1024)


def _pack(value):
    try:
        packer = _pool.pop()
    except IndexError:
        packer = _new_packer()
    data = packer.pack(value)  # on error the packer resets itself but is dropped anyway
    if len(_pool) < _POOL_MAX and len(data) <= _KEEP_BUFFER_MAX:
        _pool.append(packer)
    return data


def _dump_msgpack_py(value):
    """The reference of dump_msgpack: one MessagePack value describing value, in full (see the
    module doc), unless its full form would exceed FULL_LIMIT bytes: then its lightweight form."""
    if not _holds_secret(value):
        try:
            data = _pack(value)
        except Exception as exc:
            if is_interruption(exc):
                raise
            pass
        else:
            return _within_limit(data, value)
    # Rare: a secret, a cycle, very deep nesting, a lone surrogate, a container whose iteration
    # raised... Rebuild a clean copy in Python, secrets redacted, and pack that.
    try:
        return _within_limit(_pack(_Cleaner().clean(value, 0)), value)
    except Exception as exc:
        if is_interruption(exc):
            raise
        return _pack_fallback(value)


def _within_limit(data, value):
    # A large value is recorded again at every event of every frame that holds it (a buffer in a
    # loop's locals, a generator resumed a million times): whole, it would exhaust the memory of
    # the program being recorded.
    return data if len(data) <= FULL_LIMIT else _dump_msgpack_lightweight_repr_py(value)


def _holds_secret(value):
    """Whether the packer, given value as it stands, would store a secret (a str shaped like one,
    or a dict's value under a secret name) among what it walks: exact and derived dicts, lists,
    tuples, sets and frozensets, through their base types. Never raises."""
    try:
        todo = [value]
        seen = set()  # containers walked already: cycles and shared parts
        while todo:
            v = todo.pop()
            t = type(v)
            if issubclass(t, str):
                if looks_secret(str.__str__(v)):
                    return True
                continue
            is_dict = issubclass(t, dict)
            if not (is_dict or issubclass(t, (list, tuple, set, frozenset))) or id(v) in seen:
                continue
            seen.add(id(v))
            if not is_dict:
                todo.extend(_iterate(v, t))
                continue
            for k, item in dict.items(v):
                if isinstance(k, str) and is_secret_name(str.__str__(k)):
                    return True
                todo.append(k)
                todo.append(item)
        return False
    except Exception as exc:
        if is_interruption(exc):
            raise
        return True  # the copy, which redacts, copes with whatever that was


def _pack_fallback(value):
    """The last resort of both serialisers: the fallback map alone."""
    try:
        return _pack(_fallback(value))
    except Exception as exc:
        if is_interruption(exc):
            raise
        return _pack(_fallback(value, "<unserialisable>"))


class _Cleaner:
    """A copy of a value made only of natively packable parts."""

    def __init__(self):
        self.active = set()  # ids of containers on the current path, for cycles

    def clean(self, value, depth):
        t = type(value)
        if value is None or t is bool or t is float:
            return value
        if issubclass(t, str):
            text = str.__str__(value)
            return _marker(value) if looks_secret(text) else _safe_str(text)
        if issubclass(t, int):
            value = int.__int__(value)
            if _INT64_MIN <= value <= _UINT64_MAX:
                return value
            return _fallback(value)
        if issubclass(t, float):
            return float.__float__(value)
        if issubclass(t, (bytes, bytearray)):
            return bytes(value)
        if issubclass(t, memoryview):
            try:
                return value.tobytes()
            except Exception as exc:
                if is_interruption(exc):
                    raise
                return _fallback(value)
        is_dict = issubclass(t, dict)
        if not (is_dict or issubclass(t, (list, tuple, set, frozenset))):
            return _fallback(value)
        if depth >= MAX_DEPTH:
            return _fallback(value)
        key = id(value)
        if key in self.active:
            return _fallback(value, "{...}" if is_dict else "[...]")
        self.active.add(key)
        try:
            if is_dict:
                out = {}
                for k, v in dict.items(value):
                    secret = _is_secret_key(k)
                    k = self.clean(k, depth + 1)
                    if type(k) is dict or type(k) is list:
                        # Keep the key hashable; its packed form is what counts.
                        k = _KeyWrapper(k)
                    out[k] = _marker(v) if secret else self.clean(v, depth + 1)
                return out
            return [self.clean(v, depth + 1) for v in _iterate(value, t)]
        except Exception as exc:
            if is_interruption(exc):
                raise
            return _fallback(value)
        finally:
            self.active.discard(key)


def _is_secret_key(key):
    return isinstance(key, str) and is_secret_name(str.__str__(key))


def _iterate(value, t):
    # Use the base type's iterator: an overridden __iter__ is user code that
    # may misbehave, and the fast path packs the underlying items anyway.
    if issubclass(t, list):
        return list.__iter__(value)
    if issubclass(t, tuple):
        return tuple.__iter__(value)
    if issubclass(t, set):
        return set.__iter__(value)
    return frozenset.__iter__(value)


class _KeyWrapper:
    """A cleaned container used as a dict key: unhashable itself, so wrapped,
    and unwrapped again by the packer's hook."""

    __slots__ = ("inner",)

    def __init__(self, inner):
        self.inner = inner


def _dump_msgpack_lightweight_repr_py(value):
    """The reference of dump_msgpack_lightweight_repr: one MessagePack value describing value,
    bounded in size and cost."""
    if _plain_budget_left(value, 0, LIGHT_BUDGET) >= 0:
        # Already within every bound: the full form is the bounded form.
        try:
            return _pack(value)
        except Exception as exc:
            if is_interruption(exc):
                raise
            pass  # e.g. a lone surrogate: the general path escapes it
    try:
        return _pack(_Lightener().light(value, 0))
    except Exception as exc:
        if is_interruption(exc):
            raise
        return _pack_fallback(value)


def _plain_budget_left(value, depth, budget):
    """What is left of budget after value, or -1 when value is not made only
    of exact builtin scalars, lists, tuples and str-keyed dicts within every
    lightweight bound. Much cheaper than building the bounded copy; when it
    passes, the value is small enough to be packed as it is."""
    t = type(value)
    if t is dict:
        if len(value) > LIGHT_ITEMS or depth >= LIGHT_DEPTH:
            return -1
        for k in value:
            if type(k) is not str or len(k) > LIGHT_STR or is_secret_name(k) or looks_secret(k):
                return -1
        budget -= len(value)
        items = value.values()
    elif t is list or t is tuple:
        if len(value) > LIGHT_ITEMS or depth >= LIGHT_DEPTH:
            return -1
        items = value
    else:
        items = (value,)
    budget -= len(items)
    if budget < 0:
        return -1
    for v in items:
        t = type(v)
        if t is str:
            if len(v) > LIGHT_STR or looks_secret(v):
                return -1
        elif t is int:
            if not _INT64_MIN <= v <= _UINT64_MAX:
                return -1
        elif t is bytes:
            if len(v) > LIGHT_BYTES:
                return -1
        elif t is dict or t is list or t is tuple:
            budget = _plain_budget_left(v, depth + 1, budget)
            if budget < 0:
                return -1
        elif not (v is None or t is bool or t is float):
            return -1
    return budget


def _cut(t, length, head):
    return {"__type__": _safe_str(_type_name(t)), "__len__": length, "__head__": head}


class _Lightener:
    """A bounded copy of a value: few items per container, short strings, a
    total budget of emitted values, limited depth."""

    def __init__(self):
        self.budget = LIGHT_BUDGET
        self.active = set()

    def light(self, value, depth):
        self.budget -= 1
        t = type(value)
        if value is None or t is bool or t is float:
            return value
        if issubclass(t, int):
            value = int.__int__(value)
            if _INT64_MIN <= value <= _UINT64_MAX:
                return value
            return _fallback(value)
        if issubclass(t, str):
            text = str.__str__(value)
            if looks_secret(text):
                return _marker(value)
            value = text
            if len(value) > LIGHT_STR:
                return _cut(t, len(value), _safe_str(value[:LIGHT_STR]))
            return _safe_str(value)
        if issubclass(t, float):
            return float.__float__(value)
        if issubclass(t, (bytes, bytearray, memoryview)):
            try:
                if issubclass(t, memoryview):
                    length = value.nbytes
                    if value.c_contiguous:
                        head = value.cast("B")[:LIGHT_BYTES].tobytes()
                    elif value.ndim == 1:  # strided: slice before copying
                        head = value[: LIGHT_BYTES // max(value.itemsize, 1) + 1].tobytes()[:LIGHT_BYTES]
                    else:
                        return _fallback(value)
                else:
                    base = bytes if issubclass(t, bytes) else bytearray
                    length = base.__len__(value)
                    head = bytes(base.__getitem__(value, slice(0, LIGHT_BYTES)))
            except Exception as exc:
                if is_interruption(exc):
                    raise
                return _fallback(value)
            return head if length <= LIGHT_BYTES else _cut(t, length, head)
        is_dict = issubclass(t, dict)
        if not (is_dict or issubclass(t, (list, tuple, set, frozenset))):
            return _fallback(value)
        length = (dict if is_dict else _base_len(t)).__len__(value)
        if depth >= LIGHT_DEPTH or self.budget <= 0:
            if length == 0:
                return {} if is_dict else []
            return _cut(t, length, {} if is_dict else [])
        key = id(value)
        if key in self.active:
            return _fallback(value, "{...}" if is_dict else "[...]")
        self.active.add(key)
        try:
            keep = min(length, LIGHT_ITEMS, max(self.budget, 1))
            if is_dict:
                head = {}
                for (k, v), _ in zip(dict.items(value), range(keep)):
                    secret = _is_secret_key(k)
                    k = self.light(k, depth + 1)
                    if type(k) is dict or type(k) is list:
                        k = _KeyWrapper(k)
                    if secret:
                        self.budget -= 1  # a marker counts as one value emitted
                        head[k] = _marker(v)
                    else:
                        head[k] = self.light(v, depth + 1)
            else:
                if issubclass(t, (list, tuple)):
                    items = (list if issubclass(t, list) else tuple).__getitem__(value, slice(0, keep))
                else:
                    items = [v for v, _ in zip(_iterate(value, t), range(keep))]
                head = [self.light(v, depth + 1) for v in items]
        except Exception as exc:
            if is_interruption(exc):
                raise
            return _fallback(value)
        finally:
            self.active.discard(key)
        if keep < length:
            return _cut(t, length, head)
        return head


def _base_len(t):
    for base in (list, tuple, set, frozenset):
        if issubclass(t, base):
            return base
    raise TypeError(t)


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
