"""Which recorded values are secrets, and what is stored in their place.

A value is a secret when the name it is stored under (a local variable, a dict key, a header)
has a sensitive word in it, or when its text has the shape of a well-known credential whatever
its name. Names are compared on their word parts, case-insensitively: "db_password",
"dbPassword" and "DB-PASSWORD" all contain the part "password", while "tokenizer" does not
contain "token". A pattern of several parts ("api_key") matches those parts in a row.

In place of a secret, a *redaction marker* is stored: its type and length, never its content::

    {"__type__": "builtins.str", "__len__": 24, "__redacted__": True}

("__len__" is None for a value whose length is not known without running its own code).
"""

import re

__all__ = [
    "DEFAULT_PATTERNS",
    "MARKER_KEY",
    "configure",
    "patterns",
    "is_secret_name",
    "marker",
    "is_marker",
]

# The usual names of secrets in code, configuration and HTTP headers.
DEFAULT_PATTERNS = (
    "password", "passwd", "secret", "token", "api_key", "apikey", "authorization", "cookie",
    "session", "private_key", "credentials",
)
MARKER_KEY = "__redacted__"

# Word parts of a name: runs of capitals before a capitalised word ("HTTPHeader" -> HTTP,
# Header), capitalised or lower-case words, and digits. Anything else separates parts.
_PARTS = re.compile(r"[A-Z]+(?![a-z])|[A-Z]?[a-z]+|[0-9]+")

_active = tuple(DEFAULT_PATTERNS)
_compiled = None


def _parts(name):
    return [part.lower() for part in _PARTS.findall(name)]


def _compile(pattern_list):
    return tuple(tuple(parts) for parts in (_parts(p) for p in pattern_list) if parts)


def configure(redact=(), keep=()):
    """Sets the process's patterns: the defaults, plus those in redact, minus those in keep.
    Patterns are names compared on their word parts ("api_key" and "apiKey" are one pattern)."""
    global _active, _compiled
    kept = {tuple(_parts(p)) for p in keep}
    merged = [p for p in (*DEFAULT_PATTERNS, *redact) if tuple(_parts(p)) not in kept]
    _active = tuple(dict.fromkeys(merged))
    _compiled = None
    return _active


def patterns():
    """The patterns in force, as configured."""
    return _active


def is_secret_name(name):
    """Whether a value stored under name (a str) is a secret."""
    global _compiled
    if _compiled is None:
        _compiled = _compile(_active)
    parts = _parts(name)
    for pattern in _compiled:
        n = len(pattern)
        for i in range(len(parts) - n + 1):
            if tuple(parts[i:i + n]) == pattern:
                return True
    return False


def marker(value):
    """The redaction marker stored in place of value."""
    t = type(value)
    length = None
    for base in (str, bytes, bytearray, list, tuple, dict, set, frozenset):
        if issubclass(t, base):
            length = base.__len__(value)
            break
    try:
        type_name = f"{type.__dict__['__module__'].__get__(t)}.{type.__dict__['__qualname__'].__get__(t)}"
    except Exception:
        type_name = "<unknown type>"
    return {"__type__": type_name, "__len__": length, MARKER_KEY: True}


def is_marker(value):
    """Whether a decoded value is a redaction marker."""
    return type(value) is dict and value.get(MARKER_KEY) is True and "__type__" in value
