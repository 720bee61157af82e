"""Recorded values as bounded text: a recorded string can neither flood the terminal nor drive it
with escape sequences."""

import re

from vesk.filters.secrets import is_marker, marker_text

__all__ = ["clean", "format_exception", "format_value", "is_object", "is_same", "object_parts", "resolve_same"]

_CONTROL = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}
# Line separators, and the bidirectional controls, which make a terminal show text in another
# order than it is (a name that reads as another).
_CONTROL.update({c: f"\\u{c:04x}" for c in [0x2028, 0x2029, 0x061C, 0x200E, 0x200F,
                                             *range(0x202A, 0x202F), *range(0x2066, 0x206A)]})


def clean(text):
    """text with control characters escaped: one line, no terminal escapes."""
    return text.translate(_CONTROL)


class _Full(Exception):
    pass


_MAX_NESTING = 12


def format_value(value, limit=60, nesting=_MAX_NESTING):
    """A repr-like text of a decoded value, at most limit characters, containers at most nesting
    deep; cut text ends with "…". Text maps show as their type and repr, object maps as a call of
    their type (Basket(owner='ada')), cut maps (bounded recordings of big values) with their full
    length, redaction markers as <redacted str, 24 chars>."""
    return _bounded(lambda emit, room: _emit_value(value, emit, room, _MAX_NESTING - nesting), limit)


def _bounded(write, limit):
    """What write(emit, room) emits, cut to limit characters; nesting counts up to _MAX_NESTING."""
    limit = max(limit, 4)
    out = []
    room = [limit + 1]

    def emit(text):
        out.append(text)
        room[0] -= len(text)
        if room[0] < 0:
            raise _Full

    try:
        write(emit, room)
    except _Full:
        pass
    text = "".join(out)
    if len(text) > limit:
        text = text[: limit - 1] + "…"
    return text


def _emit_value(value, emit, room, nesting):
    t = type(value)
    if value is None or t is bool or t is int or t is float:
        emit(repr(value))
    elif t is str or t is bytes:
        # Cut before repr: a recorded string may be megabytes long.
        emit(repr(value if len(value) <= room[0] else value[: room[0] + 1]))
    elif t is dict:
        if len(value) == 3 and is_marker(value):
            emit(clean(marker_text(value)))
        elif _is_fallback(value):
            emit(_fallback_text(value))
        elif is_same(value):
            emit(same_text(value))
        elif _is_cut(value):
            _emit_cut(value, emit, room, nesting)
        elif is_object(value):
            _emit_object(value, emit, room, nesting)
        else:
            _emit_items("{", "}", value.items(), emit, room, nesting)
    elif t is list:
        _emit_items("[", "]", value, emit, room, nesting)
    elif t is tuple:  # a map key that was an array or a map
        thawed = _thawed(value)
        if thawed is None:
            _emit_items("(", ")", value, emit, room, nesting)
        else:
            _emit_value(thawed, emit, room, nesting)
    else:
        emit(clean(repr(value)))


def _emit_items(opening, closing, items, emit, room, nesting, more=0):
    if nesting >= _MAX_NESTING:
        emit(opening + "…" + closing)
        return
    emit(opening)
    for index, item in enumerate(items):
        if index:
            emit(", ")
        if opening == "{":
            key, item = item
            _emit_value(key, emit, room, nesting + 1)
            emit(": ")
        _emit_value(item, emit, room, nesting + 1)
    if more > 0:
        emit(f", … {more} more" if items else f"… {more} more")
    emit(closing)


def _is_pairs(value):
    return all(type(pair) is tuple and len(pair) == 2 for pair in value)


def _thawed(value):
    """A map key that was a map describing a value (an enum member, an object), which decoding
    made a tuple of (key, value) pairs to keep it hashable, as that map again; None for any
    other tuple."""
    if not value or not _is_pairs(value) or value[0][0] != "__type__":
        return None
    thawed = dict(value)
    for key in ("__args__", "__items__"):
        if type(thawed.get(key)) is tuple:
            thawed[key] = list(thawed[key])
    fields = thawed.get("__fields__")
    if type(fields) is tuple and _is_pairs(fields):
        thawed["__fields__"] = dict(fields)
    return thawed


def _is_fallback(value):
    return len(value) == 2 and isinstance(value.get("__type__"), str) and isinstance(value.get("__repr__"), str)


def is_same(value):
    """Whether a decoded value stands for an object written earlier in the same record."""
    return (type(value) is dict and len(value) == 2 and isinstance(value.get("__type__"), str)
            and isinstance(value.get("__same__"), str))


def same_text(value):
    short = value["__type__"].rsplit(".", 1)[-1]
    return clean(f"<same {short} as {value['__same__']}>")


_PATH_PIECE = re.compile(r"\.([^.\[]*)|\[(\.\.\.|-?[0-9]+|'(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")\]")


def resolve_same(values, limit=64):
    """values (a dict of a record's "arg" and "locals", or {"value": value}) with each same map in
    them replaced by what it refers to, as far as its path leads; a path that leads nowhere (cut,
    or "[...]") leaves the same map as it is. Texts of paths are matched, never evaluated."""

    def walk(value, depth):
        if depth > limit:
            return value
        if is_same(value):
            found = _follow(values, value["__same__"])
            return value if found is None or is_same(found) else walk(found, depth + 1)
        if type(value) is list:
            return [walk(item, depth + 1) for item in value]
        if type(value) is dict:
            return {key: walk(item, depth + 1) for key, item in value.items()}
        return value

    return {name: walk(value, 0) for name, value in values.items()}


def _follow(values, path):
    root = re.match(r"arg|locals|value", path)
    if root is None or root.group() not in values:
        return None
    node, at = values[root.group()], root.end()
    while at < len(path):
        piece = _PATH_PIECE.match(path, at)
        if piece is None:
            return None
        node, at = _step(node, piece.group(1), piece.group(2)), piece.end()
        if node is None:
            return None
    return node


def _step(node, name, subscript):
    """What node holds at ".name" or "[subscript]", or None."""
    if is_object(node):
        if name == "args" and "__args__" in node:
            return node["__args__"]
        if name is not None:
            return node.get("__fields__", {}).get(name)
        node = node.get("__items__")
    if type(node) is dict and _is_cut(node):
        node = node["__head__"]
    if name is not None:
        return node.get(name) if type(node) is dict else None
    if subscript == "..." or type(node) not in (dict, list):
        return None
    if type(node) is list:
        index = int(subscript) if subscript.lstrip("-").isdigit() else None
        return node[index] if index is not None and 0 <= index < len(node) else None
    for key, item in node.items():
        if (type(key) is str and repr(key) == subscript) or (type(key) is int and str(key) == subscript):
            return item
    return None


def _is_cut(value):
    return (len(value) == 3 and isinstance(value.get("__type__"), str) and type(value.get("__len__")) is int
            and "__head__" in value)


def _fallback_text(value):
    type_name, text = value["__type__"], clean(value["__repr__"])
    short = type_name.rsplit(".", 1)[-1]
    # The default repr spends a line's width on the module path.
    for shown in (type_name, short):
        prefix = f"<{shown} object at 0x"
        if text.startswith(prefix) and text.endswith(">"):
            return f"<{short} at {text[len(prefix) - 2 : -1]}>"
    # Most reprs already name their type; don't say it twice.
    if text.startswith("<") or text.startswith(short) or type_name == "builtins.int":
        return text
    return f"<{clean(type_name)} {text}>"


_BRACKETS = {"builtins.tuple": ("(", ")"), "builtins.set": ("{", "}"), "builtins.frozenset": ("{", "}")}


def _emit_cut(value, emit, room, nesting):
    head, length = value["__head__"], value["__len__"]
    if isinstance(head, (str, bytes)):
        text = repr(head if len(head) <= room[0] else head[: room[0] + 1])
        unit = "chars" if isinstance(head, str) else "bytes"
        emit(f"{text[:-1]}…{text[-1]} ({length} {unit})")
    elif isinstance(head, dict):
        _emit_items("{", "}", head.items(), emit, room, nesting, length - len(head))
    elif isinstance(head, list):
        opening, closing = _BRACKETS.get(value["__type__"], ("[", "]"))
        _emit_items(opening, closing, head, emit, room, nesting, length - len(head))
    else:
        emit(f"<{clean(value['__type__'])} of length {length}>")


_OBJECT_PARTS = {"__args__": list, "__items__": list, "__fields__": dict}


def is_object(value):
    """Whether a decoded value is an object map: a str "__type__" and only what recording read of
    the object, each of its own kind. A program's dict with a "__type__" key and others of its
    own stays a dict."""
    if type(value) is not dict or not isinstance(value.get("__type__"), str):
        return False
    for key, item in value.items():
        kind = _OBJECT_PARTS.get(key)
        if kind is not None:
            if type(item) is not kind:
                return False
        elif key == "__more__":
            if item is not None and type(item) is not int:
                return False
        elif key != "__type__":
            return False
    return True


def object_parts(value):
    """An object map as its text is made of: the short name of its type; its parts as (key, value)
    pairs, key None for an argument and for its items (one list), a field's name for a field; and
    how many parts the recording left out (None: it did not look into the object)."""
    parts = [(None, item) for item in value.get("__args__", ())]
    if "__items__" in value:
        parts.append((None, value["__items__"]))
    parts.extend(value.get("__fields__", {}).items())
    return clean(value["__type__"].rsplit(".", 1)[-1]), parts, value.get("__more__", 0)


def _emit_object(value, emit, room, nesting, name=None):
    short, parts, more = object_parts(value)
    name = short if name is None else name
    if len(value) == 1:
        emit(f"<{name} object>")  # nothing to read: no slots, no instance dict
        return
    if nesting >= _MAX_NESTING or (more is None and not parts):
        emit(name + "(…)")
        return
    emit(name + "(")
    for index, (key, item) in enumerate(parts):
        if index:
            emit(", ")
        if key is not None:
            if type(key) is str:
                emit(clean(key))
            else:  # an instance dict may have been given keys of any kind
                _emit_value(key, emit, room, nesting + 1)
            emit("=")
        _emit_value(item, emit, room, nesting + 1)
    if more is None:
        emit(", …")
    elif more > 0:
        emit(f", … {more} more" if parts else f"… {more} more")
    emit(")")


def format_exception(record, limit=60):
    """The exception of an "exception" record as its type (builtins without their module) and
    arguments, ValueError('boom'); "exception" when the recording could not tell which. Traces
    stored before records held the exception itself show its message as the one argument."""
    name = record.get("exception")
    if not isinstance(name, str):
        return "exception"
    name = clean(name.removeprefix("builtins."))
    value = record.get("value")
    if is_object(value) and "__args__" in value:
        return _bounded(lambda emit, room: _emit_object(value, emit, room, 0, name), max(limit, len(name) + 10))
    message = record.get("message")
    if message is None or message == "":
        return name + "()"
    return f"{name}({format_value(message, max(limit - len(name) - 2, 8))})"
