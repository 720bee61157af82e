"""Values that recording keeps as text (a complex number, a date, a Decimal, a path): the text is
read back into the value, by a reader that knows only literals and these types' constructors,
and the source written is that value's own repr, read back once more to be sure it builds the
same value. The recorded text itself never reaches the test module."""

import ast
import datetime
import decimal
import fractions
import math
import pathlib
import re
import uuid

__all__ = ["TEXT_TYPES", "int_source", "text_source"]

# Recorded type name -> (the type, the module its repr needs imported, or None for a builtin).
TEXT_TYPES = {
    "builtins.complex": (complex, None), "builtins.range": (range, None), "builtins.slice": (slice, None),
    "datetime.date": (datetime.date, "datetime"), "datetime.datetime": (datetime.datetime, "datetime"),
    "datetime.time": (datetime.time, "datetime"), "datetime.timedelta": (datetime.timedelta, "datetime"),
    "decimal.Decimal": (decimal.Decimal, "decimal"), "uuid.UUID": (uuid.UUID, "uuid"),
    "fractions.Fraction": (fractions.Fraction, "fractions"), "pathlib.PosixPath": (pathlib.PosixPath, "pathlib"),
    "pathlib.PurePosixPath": (pathlib.PurePosixPath, "pathlib"),
}

# The calls and names such a text may hold, by the name its repr gives them.
_CALLS = {"complex": complex, "range": range, "slice": slice, "datetime.date": datetime.date,
          "datetime.datetime": datetime.datetime, "datetime.time": datetime.time,
          "datetime.timedelta": datetime.timedelta, "datetime.timezone": datetime.timezone,
          "decimal.Decimal": decimal.Decimal, "uuid.UUID": uuid.UUID, "fractions.Fraction": fractions.Fraction,
          "pathlib.PosixPath": pathlib.PosixPath, "pathlib.PurePosixPath": pathlib.PurePosixPath}
_NAMES = {"datetime.timezone.utc": datetime.timezone.utc}
_CONSTANTS = (int, float, complex, str, bytes, bool, type(None))
_LONGEST = 1000  # characters of a text read: every type here shows itself in far fewer
_DIGITS = 4000  # digits of an int written: the interpreter reads no longer literal


class _NotAValue(Exception):
    pass


def _dotted(node):
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        head = _dotted(node.value)
        return None if head is None else f"{head}.{node.attr}"
    return None


def _value(node, depth=0):
    """What node builds, when it holds nothing but literals and the calls above."""
    if depth > 8:
        raise _NotAValue
    if isinstance(node, ast.Constant) and type(node.value) in _CONSTANTS:
        return node.value
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        operand = _value(node.operand, depth + 1)
        if type(operand) not in (int, float, complex):
            raise _NotAValue
        return -operand if isinstance(node.op, ast.USub) else operand
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub)):  # a complex: (1+2j)
        left, right = _value(node.left, depth + 1), _value(node.right, depth + 1)
        if type(left) not in (int, float) or type(right) is not complex:
            raise _NotAValue
        return left + right if isinstance(node.op, ast.Add) else left - right
    if isinstance(node, ast.Tuple):
        return tuple(_value(item, depth + 1) for item in node.elts)
    name = _dotted(node)
    if name in _NAMES:
        return _NAMES[name]
    if isinstance(node, ast.Call) and _dotted(node.func) in _CALLS:
        if any(isinstance(a, ast.Starred) for a in node.args) or any(k.arg is None for k in node.keywords):
            raise _NotAValue
        args = [_value(a, depth + 1) for a in node.args]
        kwargs = {k.arg: _value(k.value, depth + 1) for k in node.keywords}
        try:
            return _CALLS[_dotted(node.func)](*args, **kwargs)
        except (TypeError, ValueError, ArithmeticError, decimal.InvalidOperation, OverflowError):
            raise _NotAValue from None
    raise _NotAValue


def _read(text):
    try:
        return _value(ast.parse(text, mode="eval").body)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        raise _NotAValue from None


def _same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, complex):
        return all(math.isfinite(x) for x in (a.real, a.imag)) and a == b
    return a == b


def text_source(type_name, text):
    """(source of the value that text shows, the module that source needs or None), or None
    when text is no value of type_name that a test can build again."""
    kind, module = TEXT_TYPES[type_name]
    short = type_name.rsplit(".", 1)[-1]
    if not isinstance(text, str) or len(text) > _LONGEST:
        return None
    if module is not None and text.startswith(short + "("):
        text = f"{module}.{text}"
    try:
        value = complex(text) if kind is complex else _read(text)
    except (_NotAValue, ValueError):
        return None
    if type(value) is not kind:
        return None
    source = repr(value)
    if module is not None and source.startswith(short + "("):
        source = f"{module}.{source}"
    try:
        again = _read(source)
    except _NotAValue:
        return None
    return (source, module) if _same(again, value) else None


def int_source(text):
    """The source of an int recorded as its digits (one past 64 bits), or None; "long" when it is
    longer than a literal may be."""
    if not isinstance(text, str) or re.fullmatch(r"-?[0-9]+", text, re.ASCII) is None:
        return None
    if len(text.lstrip("-")) > _DIGITS:
        return "long"
    return str(int(text))
