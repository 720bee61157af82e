"""Recorded dotted names ("shop.Basket.add") to the objects they name, and what may be imported
to find them.

A trace is data from elsewhere: a name in it is resolved, never pasted, and it never chooses the
folder a module comes from. Modules are found from the project's roots (the working directory,
or the folders given with --path) and the environment's installed packages; of the standard
library, only modules already loaded or those that hold the value types a test may need. A test
calls only the project's own functions, and builds only the project's own objects.
"""

import importlib
import importlib.util
import inspect
import keyword
import os
import site
import sys
import sysconfig
import types
import unicodedata

__all__ = ["Resolver", "Unfaithful", "is_name"]


class Unfaithful(Exception):
    """A value, function or call that cannot be made into a faithful test; its one argument is
    the reason, short and the same for every call it applies to (it is counted)."""


class _Refused(ImportError):
    """A module that may not be imported from where it would come."""


def is_name(text):
    """True when text is a dotted path of identifiers, each as the interpreter reads it: a name
    that can be looked up, never an expression."""
    return type(text) is str and bool(text) and all(
        part.isidentifier() and not keyword.iskeyword(part) and unicodedata.normalize("NFKC", part) == part
        for part in text.split("."))


# Standard modules that hold value types a test may name (an enum, a function passed along) and
# run nothing of note when imported. Others are used only when already loaded.
_STANDARD_MODULES = frozenset({
    "abc", "array", "collections", "collections.abc", "dataclasses", "datetime", "decimal", "enum", "fractions",
    "functools", "ipaddress", "json", "math", "numbers", "operator", "pathlib", "re", "string", "types",
    "typing", "uuid", "zoneinfo",
})

# Functions and classes of no project that a recorded value may name and a test may hand to the
# program: those that compute from their arguments and reach nothing else.
_PURE_BUILTINS = frozenset({
    "abs", "all", "any", "ascii", "bin", "callable", "chr", "divmod", "format", "hash", "hex", "id",
    "isinstance", "issubclass", "iter", "len", "max", "min", "next", "oct", "ord", "pow", "repr", "round",
    "sorted", "sum", "bool", "bytearray", "bytes", "complex", "dict", "enumerate", "filter", "float",
    "frozenset", "int", "list", "map", "object", "range", "reversed", "set", "slice", "str", "tuple", "zip",
})
_PURE_MODULES = {"operator": frozenset({"call"}), "_operator": frozenset({"call"}), "math": frozenset()}


def _real(path):
    return os.path.normcase(os.path.realpath(path))


def _under(path, folders):
    return any(path == folder or path.startswith(folder.rstrip(os.sep) + os.sep) for folder in folders)


def _installed_folders():
    found = {sysconfig.get_paths()[key] for key in ("purelib", "platlib")}
    found.update(getattr(site, "getsitepackages", list)())
    user = getattr(site, "getusersitepackages", lambda: None)()
    if user:
        found.add(user)
    return [_real(path) for path in found if path]


def _standard_folders():
    return [_real(sysconfig.get_paths()[key]) for key in ("stdlib", "platstdlib")]


class Resolver:
    """Recorded dotted names to objects, by importing their module in this process under the
    rules above. `__main__` is the recorded script, imported under its file's name from a root."""

    def __init__(self, main_module=None, roots=None):
        self.main_module = main_module  # the module name the recorded script imports as
        self.roots = [_real(root) for root in (roots if roots is not None else [os.getcwd()])]
        self._installed = _installed_folders()
        self._standard = _standard_folders()
        for root in reversed(self.roots):
            if root not in sys.path:
                sys.path.insert(0, root)
        self.modules = {}  # modules of the recorded functions: where a function value is looked for
        self._found = {}
        self._functions = {}

    # Where things come from.

    def _where(self, spec):
        """The files or folders a module's spec would load it from; "standard" for one built in
        or frozen into the interpreter."""
        if spec.origin in ("built-in", "frozen") or spec.loader is not None and not spec.has_location \
                and spec.submodule_search_locations is None:
            return "standard"
        if spec.has_location and spec.origin:
            return [_real(spec.origin)]
        return [_real(path) for path in spec.submodule_search_locations or ()]

    def _may_load(self, name, spec):
        where = self._where(spec)
        if where == "standard":
            return name in _STANDARD_MODULES
        if not where:
            return False
        for path in where:
            if _under(path, self._installed) or _under(path, self.roots) and not _under(path, self._standard):
                continue
            if not (_under(path, self._standard) and name in _STANDARD_MODULES):
                return False
        return True

    def in_project(self, obj):
        """True when obj (a function or class) is defined in a module of the project: under a
        root, and not an installed package or the standard library."""
        module = sys.modules.get(getattr(obj, "__module__", None) or "")
        path = getattr(module, "__file__", None)
        if not isinstance(path, str):
            return False
        path = _real(path)
        return _under(path, self.roots) and not _under(path, self._installed) and not _under(path, self._standard)

    def may_pass(self, obj):
        """True when obj, a function or class recorded as a value, may be handed to the program:
        the project's own, or one that only computes from its arguments."""
        if self.in_project(obj):
            return True
        module, name = getattr(obj, "__module__", None), getattr(obj, "__qualname__", None)
        if module == "builtins":
            return name in _PURE_BUILTINS
        excluded = _PURE_MODULES.get(module)
        return excluded is not None and inspect.isbuiltin(obj) and name not in excluded

    def _import(self, name):
        loaded = sys.modules.get(name)
        if loaded is not None:
            return loaded
        if "__main__" in name.split("."):  # a package's __main__ runs the package when imported
            raise _Refused(name)
        parent = name.rpartition(".")[0]
        if parent:
            self._import(parent)
        spec = importlib.util.find_spec(name)
        if spec is None:
            raise ModuleNotFoundError(name)
        if not self._may_load(name, spec):
            raise _Refused(name)
        return importlib.import_module(name)

    # Names.

    def saw(self, dotted, qualname):
        """A recorded function: its module is one a function value may come from."""
        if isinstance(dotted, str) and isinstance(qualname, str) and dotted.endswith("." + qualname):
            try:
                self.modules.setdefault(self.module_name(dotted[: -len(qualname) - 1]), None)
            except Unfaithful:
                pass  # a script run from text: nothing of it can be imported

    def function(self, qualname):
        """The one function of the recorded modules whose qualified name is qualname (a function
        value is recorded as its text, which does not name its module)."""
        if qualname not in self._functions:
            found = {}
            for module in self.modules:
                try:
                    target = self.resolve(f"{module}.{qualname}")[2]
                except Unfaithful:
                    continue
                if (inspect.isfunction(target) or inspect.isbuiltin(target)) and target.__qualname__ == qualname:
                    found[id(target)] = target
            if not found and is_name(qualname):  # a builtin of a module they import (operator.neg)
                for module in [sys.modules[m] for m in self.modules if m in sys.modules]:
                    for value in list(vars(module).values()):
                        if isinstance(value, types.ModuleType):
                            try:
                                target = inspect.getattr_static(value, qualname)
                            except AttributeError:
                                continue
                            if inspect.isbuiltin(target) and target.__qualname__ == qualname:
                                found[id(target)] = target
            self._functions[qualname] = next(iter(found.values())) if len(found) == 1 else None
        found = self._functions[qualname]
        if found is None:
            raise Unfaithful("a function value not found in the recorded modules")
        return found

    def module_name(self, name):
        if name == "__main__" or name.startswith("__main__."):
            if self.main_module is None:
                raise Unfaithful("defined in a script that cannot be imported")
            return self.main_module + name[len("__main__"):]
        return name

    def resolve(self, dotted):
        """(module name, qualified name in it, the object) for a recorded dotted name."""
        dotted = self.module_name(dotted)
        if dotted in self._found:
            found = self._found[dotted]
            if isinstance(found, Unfaithful):
                raise found
            return found
        try:
            found = self._resolve(dotted)
        except Unfaithful as error:
            self._found[dotted] = error
            raise
        self._found[dotted] = found
        return found

    def _resolve(self, dotted):
        if dotted.rsplit(".", 1)[-1].startswith("<"):
            raise Unfaithful("a comprehension, generator expression or lambda")
        if "<locals>" in dotted:
            raise Unfaithful("defined inside a function")
        if not is_name(dotted):
            raise Unfaithful("not a name")
        parts = dotted.split(".")
        for cut in range(len(parts) - 1, 0, -1):
            module_name = ".".join(parts[:cut])
            try:
                module = self._import(module_name)
            except ImportError:
                continue
            except (Exception, SystemExit):  # noqa: BLE001 - the program's own import failed
                raise Unfaithful("its module fails to import") from None
            target = module
            try:
                for part in parts[cut:]:
                    target = inspect.getattr_static(target, part)
            except AttributeError:
                continue
            return module_name, ".".join(parts[cut:]), target
        raise Unfaithful("not importable")
