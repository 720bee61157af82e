"""Recorded values as bounded text: a recorded string can neither flood the terminal nor drive it
with escape sequences."""

from vesk.filters.secrets import is_marker, marker_text

__all__ = ["clean", "format_exception", "format_value"]

_CONTROL = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]}
_CONTROL.update({0x2028: "\\u2028", 0x2029: "\\u2029"})


def clean(text):
    """text with control characters escaped: one line, no terminal escapes."""
    return text.translate(_CONTROL)


class _Full(Exception):
    pass


_MAX_NESTING = 12


def format_value(value, limit=60, nesting=_MAX_NESTING):
    """A repr-like text of a decoded value, at most limit characters, containers at most nesting
    deep; cut text ends with "…". Fallback maps show as their type and repr, cut maps
    (bounded recordings of big values) with their full length, redaction markers as
    <redacted str, 24 chars>."""
    limit = max(limit, 4)
    out = []
    room = [limit + 1]

    def emit(text):
        out.append(text)
        room[0] -= len(text)
        if room[0] < 0:
            raise _Full

    try:
        _emit_value(value, emit, room, _MAX_NESTING - nesting)  # counts up to _MAX_NESTING
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
        elif _is_cut(value):
            _emit_cut(value, emit, room, nesting)
        else:
            _emit_items("{", "}", value.items(), emit, room, nesting)
    elif t is list:
        _emit_items("[", "]", value, emit, room, nesting)
    elif t is tuple:  # a map key that was an array or a map
        _emit_items("(", ")", value, emit, room, nesting)
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


def _is_fallback(value):
    return len(value) == 2 and isinstance(value.get("__type__"), str) and isinstance(value.get("__repr__"), str)


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


def format_exception(record, limit=60):
    """The exception of an "exception" record as its type (builtins without their module) and
    message, ValueError('boom'); "exception" when the recording could not tell which."""
    name = record.get("exception")
    if not isinstance(name, str):
        return "exception"
    name = clean(name.removeprefix("builtins."))
    message = record.get("message")
    if message is None or message == "":
        return name + "()"
    return f"{name}({format_value(message, max(limit - len(name) - 2, 8))})"
