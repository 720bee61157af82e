"""Recorded values as Python source that builds them again.

A recorded value is what recording read of an object (docs/stored-layout.md, "Values"). Only
what can be built again the way the program builds it becomes source: builtin scalars and
containers, texts of a few standard types whose repr is a call, and objects of importable classes
that are made from their fields (dataclasses, named tuples, enums, attrs classes, exceptions, and
plain classes whose constructor takes their fields). Anything else raises Unfaithful with the
reason, which the caller counts: a guessed value would make a test that tests nothing.
"""

import builtins
import dataclasses
import enum
import inspect
import math
import re
import types

from vesk.filters.secrets import is_marker
from vesk.generate_tests.resolve import Resolver, Unfaithful, is_name
from vesk.generate_tests.texts import TEXT_TYPES, int_source, text_source
from vesk.view.values import is_object, is_same

__all__ = ["Unfaithful", "Resolver", "Rebuilder"]


def _is_cut(value):
    return len(value) == 3 and isinstance(value.get("__type__"), str) and "__len__" in value and "__head__" in value


def _is_text(value):
    return len(value) == 2 and isinstance(value.get("__type__"), str) and isinstance(value.get("__repr__"), str)


# Values recorded as texts that name them: the text's form, and the name in it.
_NAMED = {"builtins.function": "function", "builtins.builtin_function_or_method": "builtin", "builtins.type": "class"}
_NAMED_TEXT = {"function": r"<function ([\w.<>]+) at 0x[0-9a-f]+>", "builtin": r"<built-in function (\w+)>",
               "class": r"<class '([\w.]+)'>"}


def _a(name):
    """name with its article: "a Counter", "an itemgetter"."""
    return ("an " if name[:1].lower() in "aeiou" else "a ") + name


def _literal(value):
    """Source of a builtin scalar, its repr; Unfaithful for a float that equals nothing."""
    if type(value) is float:
        if math.isnan(value):
            raise Unfaithful("a NaN (equal to nothing)")
        if math.isinf(value):
            return "float('inf')" if value > 0 else "float('-inf')"
    return repr(value)


class Rebuilder:
    """Writes recorded values as source, noting the modules and names the source needs."""

    def __init__(self, resolver):
        self.resolver = resolver
        self.tuples = False  # recorded arrays as tuples rather than lists
        self.imports = {}  # module name -> names imported from it ("" for the module itself)

    def name_of(self, dotted):
        """The source naming a recorded class or function, imported from its module; with the
        object it names."""
        module, qualname, target = self.resolver.resolve(dotted)
        head = qualname.split(".")[0]
        self.imports.setdefault(module, set()).add(head)
        return qualname, target

    def source(self, value, depth=0):
        if depth > 40:
            raise Unfaithful("nested too deep")
        t = type(value)
        if value is None or t in (bool, int, float, str, bytes):
            return _literal(value)
        if t is list:
            items = [self.source(item, depth + 1) for item in value]
            if self.tuples:
                return "(" + ", ".join(items) + ("," if len(items) == 1 else "") + ")"
            return "[" + ", ".join(items) + "]"
        if t is tuple:  # a map key recorded as an array, or as a map describing a value
            if value and all(type(p) is tuple and len(p) == 2 for p in value) and value[0][0] == "__type__":
                from vesk.view.values import _thawed

                return self.source(_thawed(value), depth)
            items = [self.source(item, depth + 1) for item in value]
            return "(" + ", ".join(items) + ("," if len(items) == 1 else "") + ")"
        if t is not dict:
            raise Unfaithful(f"an undecodable value ({t.__name__})")
        if is_marker(value):
            raise Unfaithful("a redacted value")
        if _is_cut(value):
            raise Unfaithful("a value cut by the recording's bounds")
        if is_same(value):
            raise Unfaithful("an object recorded once and referred to again")
        if _is_text(value):
            return self._text(value)
        if is_object(value):
            return self._object(value, depth)
        return "{" + ", ".join(f"{self.source(k, depth + 1)}: {self.source(v, depth + 1)}"
                               for k, v in value.items()) + "}"

    def _text(self, value):
        type_name, text = value["__type__"], value["__repr__"]
        if type_name == "builtins.int":
            source = int_source(text)
            if source is None:
                raise Unfaithful("a value cut by the recording's bounds")
            if source == "long":
                raise Unfaithful("an int too long to write")
            return source
        if text.startswith("<") and ": " in text and text.endswith(">"):  # an enum member
            return self._enum(type_name, text[1:-1].split(": ")[0])
        named = _NAMED.get(type_name)
        if named is not None:
            return self._named(named, text)
        short = _a(type_name.rsplit(".", 1)[-1])
        if type_name not in TEXT_TYPES:
            raise Unfaithful(f"{short} value")
        made = text_source(type_name, text)
        if made is None:
            raise Unfaithful(f"{short} value")
        source, module = made
        if module is not None:
            self.imports.setdefault(module, set()).add("")
        return source

    def _named(self, kind, text):
        """A function, builtin function or class, recorded as its text, by its name; only one
        that the project defines, or that computes from its arguments alone, may be handed to the
        program's code."""
        match = re.fullmatch(_NAMED_TEXT[kind], text)
        if match is None:
            raise Unfaithful(f"{_a(kind)} value")
        name = match.group(1)
        if "<" in name:
            raise Unfaithful(f"{_a(kind)} value defined inside a function")
        outside = Unfaithful(f"{_a(kind)} value not found in the project")
        if kind == "builtin" and isinstance(getattr(builtins, name, None), types.BuiltinFunctionType):
            if not self.resolver.may_pass(getattr(builtins, name)):
                raise outside
            return name
        if kind != "class":
            target = self.resolver.function(name)
            if not self.resolver.may_pass(target):
                raise outside
            # A builtin function tells the module that made it (_operator), which its public
            # module (operator) may offer as it is.
            for module in (target.__module__.lstrip("_"), target.__module__):
                try:
                    if self.resolver.resolve(f"{module}.{target.__qualname__}")[2] is target:
                        return self.name_of(f"{module}.{target.__qualname__}")[0]
                except Unfaithful:
                    continue
            raise Unfaithful(f"{_a(kind)} value not importable")
        if name.startswith("builtins."):
            short = name.removeprefix("builtins.")
            found = getattr(builtins, short, None) if is_name(short) else None
            if not isinstance(found, type):
                raise Unfaithful(f"{_a(kind)} value")
            if not self.resolver.may_pass(found):
                raise outside
            return short
        qualname, target = self.name_of(name)
        if not isinstance(target, type) or not self.resolver.may_pass(target):
            raise outside
        return qualname

    def _enum(self, type_name, shown):
        qualname, cls = self.name_of(type_name)
        member = shown.rsplit(".", 1)[-1]
        if not (isinstance(cls, type) and issubclass(cls, enum.Enum)) or member not in cls.__members__ \
                or not is_name(member):
            raise Unfaithful("an enum member not found")
        return f"{qualname}.{member}"

    def _object(self, value, depth):
        more = value.get("__more__", 0)
        if more is None or more > 0:
            raise Unfaithful("a value cut by the recording's bounds")
        type_name = value["__type__"]
        if type_name == "collections.deque":
            self.imports.setdefault("collections", set()).add("")
            return f"collections.deque({self.source(value.get('__items__', []), depth + 1)})"
        if "__items__" in value:
            raise Unfaithful(f"{_a(type_name.rsplit('.', 1)[-1])} value")
        fields = value.get("__fields__", {})
        # A field is set by its name: never one of the interpreter's own (__class__, __dict__).
        if not isinstance(fields, dict) or not all(
                is_name(name) and "." not in name and not (name.startswith("__") and name.endswith("__"))
                for name in fields):
            raise Unfaithful("an object with odd field names")
        qualname, cls = self.name_of(type_name)
        if not isinstance(cls, type):
            raise Unfaithful("a value of a class not found")
        # Building an object runs its class's code: the project's own, or a builtin exception's.
        if not self.resolver.in_project(cls) and not (cls.__module__ == "builtins" and issubclass(cls, BaseException)):
            raise Unfaithful("a value of a class outside the project")
        if "__args__" in value:
            if not issubclass(cls, BaseException) or fields or not isinstance(value["__args__"], list):
                raise Unfaithful(f"{_a(cls.__name__)} value")
            args = ", ".join(self.source(a, depth + 1) for a in value["__args__"])
            return f"{qualname}({args})"
        made = _how_made(cls, fields)
        if made is None:
            raise Unfaithful(f"{_a(cls.__name__)} value not made from its fields")
        given, extra = made
        call = f"{qualname}(" + ", ".join(f"{n}={self.source(fields[n], depth + 1)}" for n in given) + ")"
        if not extra:
            return call
        self.imports.setdefault("", set()).add("with_fields")
        return f"with_fields({call}, " + ", ".join(f"{n}={self.source(fields[n], depth + 1)}" for n in extra) + ")"


def _is_python_class(cls):
    """A class whose objects object.__new__ makes, and which holds its fields in slots or a
    dict: not one made in C, which builds its objects its own way."""
    return cls.__new__ is object.__new__ and (cls.__dictoffset__ != 0 or "__slots__" in cls.__dict__)


def _how_made(cls, fields):
    """(fields passed to the constructor, fields set after it) for an object of cls with the
    recorded fields, or None when cls is not made from them."""
    names = list(fields)
    if dataclasses.is_dataclass(cls):
        made = [f.name for f in dataclasses.fields(cls) if f.init]
        kept = [f.name for f in dataclasses.fields(cls) if not f.init]
        if set(made) <= set(names) and set(names) <= set(made) | set(kept) and not kept:
            return made, []
        return None
    if issubclass(cls, tuple) and hasattr(cls, "_fields"):
        return (list(cls._fields), []) if list(cls._fields) == names else None
    attrs = getattr(cls, "__attrs_attrs__", None)
    if attrs is not None:
        made = [a.name for a in attrs if a.init]
        # attrs strips a leading underscore from a private field's parameter name
        if all(not n.startswith("_") for n in made) and set(made) == set(names):
            return made, []
        return None
    if issubclass(cls, BaseException) or not all(c is object or _is_python_class(c) for c in cls.__mro__):
        return None  # a class made in C builds itself its own way
    init = cls.__dict__.get("__init__") or next(
        (c.__dict__["__init__"] for c in cls.__mro__ if "__init__" in c.__dict__), None)
    if init is None or init is object.__init__ or not inspect.isfunction(init):
        return ([], names) if not names and init in (None, object.__init__) else None
    try:
        parameters = list(inspect.signature(init).parameters.values())[1:]
    except (TypeError, ValueError):
        return None
    given = []
    for p in parameters:
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD, p.POSITIONAL_ONLY):
            return None
        if p.name in fields:
            given.append(p.name)
        elif p.default is p.empty:
            return None
    if not given and names:
        return None
    return given, [n for n in names if n not in given]
