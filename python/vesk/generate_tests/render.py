"""The test module's text: a header, imports by module name, the helpers the cases need, then a
parametrized test per function (and one for the calls of it that raised)."""

import keyword
import os

__all__ = ["HELPERS", "render", "test_name"]

_WIDTH = 100

# Compares what the code gives with what was recorded, in the form recording keeps it: a tuple,
# a list and a set are all arrays there, and an object is its type and fields.
_RECORDED_FORM = '''
def recorded_form(value, depth=0):
    """value as a recording holds it: tuples and sets as lists, objects as their type and fields."""
    if depth > 50 or value is None or isinstance(value, (bool, int, float, complex, str, bytes, enum.Enum)):
        return value
    if isinstance(value, BaseException):
        return type(value), recorded_form(value.args, depth + 1)
    if isinstance(value, tuple) and hasattr(value, "_fields"):
        return type(value), [recorded_form(item, depth + 1) for item in value]
    if isinstance(value, (list, tuple, set, frozenset, collections.deque)):
        return [recorded_form(item, depth + 1) for item in value]
    if isinstance(value, dict):
        return {key: recorded_form(item, depth + 1) for key, item in value.items()}
    fields = getattr(value, "__dict__", None)
    if isinstance(fields, dict):
        return type(value), recorded_form(fields, depth + 1)
    slots = [name for cls in type(value).__mro__ for name in getattr(cls, "__slots__", ())]
    if slots and not type(value).__module__ in ("datetime", "decimal", "pathlib", "fractions", "uuid"):
        return type(value), {name: recorded_form(getattr(value, name, None), depth + 1) for name in slots}
    return value
'''

_WITH_FIELDS = '''
def with_fields(instance, **fields):
    """instance, made by its constructor, with the fields the constructor does not take."""
    for name, value in fields.items():
        setattr(instance, name, value)
    return instance
'''

# The helpers' text, as the module holds them.
HELPERS = (_RECORDED_FORM, _WITH_FIELDS)


def test_name(function, raises=False):
    """test_<qualified name, dots as underscores>[_raises]."""
    name = "test_" + "".join(c if c.isalnum() or c == "_" else "_" for c in function.split(".", 1)[-1] if c != "<")
    return name + ("_raises" if raises else "")


def _call_arguments(case):
    return ", ".join([*case.args, *(f"{name}={source}" for name, source in case.kwargs)])


def _param(values, site, ident, out):
    values = [*values, f"id={ident!r}"]
    line = f"    pytest.param({', '.join(values)}),"
    out.append(f"    # {_comment(site)}")
    if len(line) <= _WIDTH:
        out.append(line)
        return
    out.append("    pytest.param(")
    for value in values:
        out.append(f"        {value},")
    out.append("    ),")


def _comment(text):
    return "".join(c if c.isprintable() else "?" for c in text)


def _test(function, cases, raises, out, ids):
    """One parametrized test of function's cases that returned (or of those that raised)."""
    first = cases[0]
    method = first.method
    callee = f"instance.{method}" if method else first.qualname
    names = ["args", "kwargs"] if any(c.args for c in cases) else ["kwargs"]
    if method:
        names.insert(0, "instance")
    names += ["error_type", "error_args"] if raises else ["expected"]
    with_after = method is not None and any(c.after is not None for c in cases)
    if with_after:
        names.append("after")
    with_changed = any(c.changed for c in cases)
    if with_changed:
        names.append("changed")
    out.append("")
    out.append("")
    out.append(f"@pytest.mark.parametrize({', '.join(names)!r}, [")
    name = test_name(function, raises)
    for number, case in enumerate(cases, 1):
        values = []
        if method:
            values.append(case.instance)
        if "args" in names:
            values.append("(" + ", ".join(case.args) + ("," if len(case.args) == 1 else "") + ")")
        values.append("dict(" + ", ".join(f"{n}={s}" for n, s in case.kwargs) + ")"
                      if all(not keyword.iskeyword(n) for n, _ in case.kwargs)
                      else "{" + ", ".join(f"{n!r}: {s}" for n, s in case.kwargs) + "}")
        if raises:
            values.append(case.raises[0])
            values.append("None" if case.raises[1] is None else case.raises[1])
        else:
            values.append(case.returns)
        if with_after:
            values.append("None" if case.after is None else case.after)
        if with_changed:
            values.append("dict(" + ", ".join(f"{n}={v}" for n, v in case.changed) + ")" if case.changed else "None")
        first = len(out)
        _param(values, case.site, f"call{number}", out)
        ids[f"{name}[call{number}]"] = (case, first, len(out))
    out.append("])")
    call = f"{callee}({'*args, ' if 'args' in names else ''}**kwargs)"
    out.append(f"def {name}({', '.join(names)}):")
    if raises:
        out.append("    with pytest.raises(error_type) as raised:")
        out.append(f"        {call}")
        out.append("    assert type(raised.value) is error_type")
        out.append("    if error_args is not None:")
        out.append("        assert recorded_form(raised.value.args) == recorded_form(error_args)")
    else:
        out.append(f"    assert recorded_form({call}) == recorded_form(expected)")
    if with_after:
        out.append("    if after is not None:")
        out.append("        assert recorded_form(instance) == recorded_form(after)")
    if with_changed:
        out.append("    if changed is not None:  # the arguments the call changed in place")
        out.append("        assert recorded_form({name: kwargs[name] for name in changed}) == recorded_form(changed)")


def _path_lines(roots, output):
    """Lines that let the test module import the program's modules from the project's roots
    (never from a folder the trace named), saying which they are."""
    here = os.path.dirname(os.path.realpath(output)) if output else None
    shown = [root if here is None else os.path.relpath(root, here) for root in roots]
    if not shown:
        return []
    lines = ["# The program's modules are imported from: " + ", ".join(_comment(s) for s in shown)
             + ("" if here is None else " (relative to this file)")]
    for root, relative in zip(roots, shown):
        if here is not None and root == here:
            continue
        if here is not None:
            lines.append(f"sys.path.insert(0, os.path.join(os.path.dirname(__file__), {relative!r}))")
        else:
            lines.append(f"sys.path.insert(0, {root!r})")
    return lines


def _docstring(lines):
    """The module's docstring: the header's lines, escaped so that no text in them ends it."""
    text = "\n".join(_comment(line) for line in lines).replace("\\", "\\\\").replace('"', '\\"')
    return f'"""{text}\n"""'


def render(chosen, imports, header, roots=(), output=None, ids=None):
    """The module's text. chosen: function -> its cases; imports: module -> names; ids, when
    given, gets (case, first line, last line) under each case's test id ("test_f[call2]")."""
    ids = {} if ids is None else ids
    out = [_docstring(header), ""]
    path_lines = _path_lines(roots, output)
    out += ["import collections", "import enum"]
    if len(path_lines) > 1:
        out += ["import os", "import sys"]
    out += ["", "import pytest", ""]
    out += path_lines
    if path_lines:
        out.append("")
    for module in sorted(m for m in imports if m):
        names = sorted(n for n in imports[module] if n)
        if "" in imports[module] and module not in ("collections", "enum", "os", "sys"):
            out.append(f"import {module}")
        if names:
            out.append(f"from {module} import {', '.join(names)}")
    while out[-1] == "":
        out.pop()
    out += ["", _RECORDED_FORM.rstrip()]
    if "with_fields" in imports.get("", ()):
        out += ["", _WITH_FIELDS.rstrip()]
    for function, cases in chosen.items():
        returned = [c for c in cases if c.raises is None]
        raised = [c for c in cases if c.raises is not None]
        if returned:
            _test(function, returned, False, out, ids)
        if raised:
            _test(function, raised, True, out, ids)
    # The places of the cases as lines of the text, for a failure at import to name its case.
    line_of, line = [], 1
    for item in out:
        line_of.append(line)
        line += item.count("\n") + 1
    line_of.append(line)
    for test_id, (case, first, end) in ids.items():
        ids[test_id] = (case, line_of[first], line_of[end] - 1)
    return "\n".join(out) + "\n"

