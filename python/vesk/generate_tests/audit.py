"""The last look at a test module before it is written or run: it holds only what the writer
makes, statement by statement, whatever the trace it was made from held.

The writer makes a docstring, imports by name, lines that put the project's roots on sys.path,
its two helpers (exactly as it writes them), and parametrized tests whose parameters are
literals, containers, names imported from the program and calls of those, and whose bodies call
the function under test and compare. Anything else (a lambda, a call of eval or __import__, an
attribute that reaches into an object's machinery, a statement of another kind) is the writer's
fault, and the module is never written.
"""

import ast
import builtins

from vesk.generate_tests.render import HELPERS
from vesk.generate_tests.resolve import is_name

__all__ = ["Unsafe", "audit"]


class Unsafe(Exception):
    """The module holds something the writer does not make."""


_HELPERS = {node.name: ast.dump(node) for text in HELPERS for node in ast.parse(text).body}
_PARAMETERS = {"instance", "args", "kwargs", "expected", "error_type", "error_args", "after", "changed"}
_BODY_NAMES = {"raised", "name", "recorded_form", "type", "pytest"}
# The modules the writer imports for itself: values never reach into them, but for a deque.
_OWN_MODULES = {"collections", "enum", "os", "sys", "pytest"}
# Builtins a value may name: classes and functions handed over as values, exceptions, and the
# constructors of the values the writer writes as calls.
_VALUE_NAMES = {name for name, value in vars(builtins).items()
                if isinstance(value, type) and issubclass(value, BaseException)}
_VALUE_NAMES |= {"abs", "all", "any", "ascii", "bin", "callable", "chr", "divmod", "format", "hash", "hex",
                 "id", "isinstance", "issubclass", "iter", "len", "max", "min", "next", "oct", "ord", "pow",
                 "repr", "round", "sorted", "sum", "bool", "bytearray", "bytes", "complex", "dict", "enumerate",
                 "filter", "float", "frozenset", "int", "list", "map", "object", "range", "reversed", "set",
                 "slice", "str", "tuple", "zip", "with_fields"}
_BODY_KINDS = (ast.Assert, ast.With, ast.withitem, ast.If, ast.Expr, ast.Call, ast.Name, ast.Attribute,
               ast.Compare, ast.Eq, ast.Is, ast.IsNot, ast.Subscript, ast.DictComp, ast.comprehension,
               ast.Starred, ast.keyword, ast.Constant, ast.Load, ast.Store)


def _dotted(node):
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute) and not node.attr.startswith("__"):
        head = _dotted(node.value)
        return None if head is None else f"{head}.{node.attr}"
    return None


def _refuse(node, what):
    raise Unsafe(f"line {getattr(node, 'lineno', '?')}: {what}")


def _is_number(node):
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        node = node.operand
    return isinstance(node, ast.Constant) and type(node.value) in (int, float, complex)


def _value(node, names):
    """A parameter's value: literals, containers of values, names and calls of names."""
    if isinstance(node, ast.Constant):
        return
    if _is_number(node):
        return
    if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.Add, ast.Sub)) and _is_number(node.left) \
            and isinstance(node.right, ast.Constant) and type(node.right.value) is complex:
        return
    if isinstance(node, (ast.List, ast.Tuple, ast.Set)):
        for item in node.elts:
            _value(item, names)
        return
    if isinstance(node, ast.Dict):
        for key, item in zip(node.keys, node.values):
            if key is None:
                _refuse(node, "a ** in a dict")
            _value(key, names)
            _value(item, names)
        return
    if isinstance(node, ast.Call):
        _name(node.func, names)
        for item in node.args:
            _value(item, names)
        for keyword in node.keywords:
            if keyword.arg is None:
                _refuse(node, "a ** in a call")
            _value(keyword.value, names)
        return
    _name(node, names)


def _name(node, names):
    dotted = _dotted(node)
    if dotted is None or dotted.split(".")[0] not in names:
        _refuse(node, f"a {type(node).__name__} that names nothing the module imports")
    if dotted.split(".")[0] in _OWN_MODULES and dotted != "collections.deque":
        _refuse(node, f"{dotted} in a value")


def _test(node, imported):
    arguments = node.args
    params = [a.arg for a in arguments.args]
    if arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs or arguments.kwarg \
            or arguments.defaults or not set(params) <= _PARAMETERS:
        _refuse(node, "a test with parameters the writer does not make")
    if len(node.decorator_list) != 1:
        _refuse(node, "a test not parametrized once")
    mark = node.decorator_list[0]
    if not (isinstance(mark, ast.Call) and _dotted(mark.func) == "pytest.mark.parametrize" and not mark.keywords
            and len(mark.args) == 2 and isinstance(mark.args[0], ast.Constant)
            and isinstance(mark.args[1], ast.List)):
        _refuse(mark, "a decorator the writer does not make")
    values = imported | _VALUE_NAMES
    for param in mark.args[1].elts:
        if not (isinstance(param, ast.Call) and _dotted(param.func) == "pytest.param"
                and [k.arg for k in param.keywords] == ["id"] and isinstance(param.keywords[0].value, ast.Constant)):
            _refuse(param, "a case the writer does not make")
        for value in param.args:
            _value(value, values)
    names = set(params) | _BODY_NAMES | imported - _OWN_MODULES
    for statement in node.body:
        for inner in ast.walk(statement):
            if not isinstance(inner, _BODY_KINDS):
                _refuse(inner, f"a {type(inner).__name__} in a test")
            if isinstance(inner, ast.Name) and inner.id not in names:
                _refuse(inner, f"the name {inner.id!r} in a test")
            if isinstance(inner, ast.Attribute) and inner.attr.startswith("__"):
                _refuse(inner, f"the attribute {inner.attr!r} in a test")
            if isinstance(inner, ast.Call) and _dotted(inner.func) is None:
                _refuse(inner, "a call of something other than a name")


def _is_path_line(node):
    """sys.path.insert(0, '/root') or sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..'))"""
    if not (isinstance(node, ast.Call) and _dotted(node.func) == "sys.path.insert" and len(node.args) == 2
            and not node.keywords and isinstance(node.args[0], ast.Constant) and node.args[0].value == 0):
        return False
    where = node.args[1]
    if isinstance(where, ast.Constant):
        return type(where.value) is str
    return (isinstance(where, ast.Call) and _dotted(where.func) == "os.path.join" and len(where.args) == 2
            and isinstance(where.args[0], ast.Call) and _dotted(where.args[0].func) == "os.path.dirname"
            and len(where.args[0].args) == 1 and isinstance(where.args[0].args[0], ast.Name)
            and where.args[0].args[0].id == "__file__" and isinstance(where.args[1], ast.Constant)
            and type(where.args[1].value) is str)


def audit(source):
    """Raises Unsafe unless source holds only what the writer makes."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError) as error:
        raise Unsafe(f"not Python: {error}") from None
    body = tree.body
    if not body or not (isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant)
                        and type(body[0].value.value) is str):
        raise Unsafe("no docstring first")
    imported = set()
    for node in body[1:]:
        if isinstance(node, ast.Import):
            if any(a.asname is not None or not is_name(a.name) for a in node.names):
                _refuse(node, "an import the writer does not make")
            imported.update(a.name.split(".")[0] for a in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level or not is_name(node.module) or any(
                    a.asname is not None or not is_name(a.name) or "." in a.name for a in node.names):
                _refuse(node, "an import the writer does not make")
            imported.update(a.name for a in node.names)
        elif isinstance(node, ast.Expr) and _is_path_line(node.value):
            pass
        elif isinstance(node, ast.FunctionDef) and node.name in _HELPERS:
            if ast.dump(node) != _HELPERS[node.name]:
                _refuse(node, f"a {node.name} that is not the writer's")
            imported.add(node.name)
        elif isinstance(node, ast.FunctionDef) and node.name.startswith("test_") and is_name(node.name):
            _test(node, imported)
        else:
            _refuse(node, f"a {type(node).__name__} the writer does not make")
