"""Traces from elsewhere (a shared store, a file sent by a colleague) made to attack whoever reads
them: `vesk tests` writes and runs nothing but calls of the program's own functions with
literal values, imports nothing from a folder a trace names, and says in one clean line why
each call it left out was left out."""

import ast
import os
import subprocess
import sys
import textwrap
import zipfile

import msgpack
import pytest

from vesk import db

EXCEPTIONS = sys.version_info >= (3, 12)

APP = '''
class Thing:
    def __init__(self, a):
        self.a = a


class Oops(Exception):
    pass


def ident(x):
    return x


def apply(func, values):
    return [func(v) for v in values]


def fails(x):
    raise ValueError(x)


def options(**given):
    return sorted(given)
'''

# What every payload does when it runs: it leaves a file behind, which the tests look for.
TOUCH = '__import__("pathlib").Path("PWNED").touch()'
ZEN = "Beautiful is better than ugly"


class Trace:
    """Records of one thread, built call by call."""

    def __init__(self, main_file=None):
        self.records = []
        self.clock = 1.0
        self.ids = 0
        if main_file is not None:
            self.call("__main__.<module>", {"__file__": main_file}, co_name="<module>", close=False)

    def _record(self, event, qualname, fid, co_name=None, **more):
        self.clock += 0.001
        return {"path": "app.py:1", "co_name": co_name or qualname.rsplit(".", 1)[-1], "qualname": qualname,
                "event": event, "frame_id": fid, "arg": None, "locals": {}, "thread": "MainThread",
                "thread_native_id": 1, "timestamp": self.clock, "type": "frame", "user_code_call_site": None,
                **more}

    def call(self, qualname, arguments, returns=None, raises=None, co_name=None, close=True):
        self.ids += 1
        fid = f"frm_{self.ids:026d}"
        self.records.append(self._record("call", qualname, fid, co_name, locals=arguments))
        if raises is not None:
            name, args = raises
            self.records.append({"type": "exception", "frame_id": fid, "exception": name, "message": "",
                                 "origin": None, "caught": False, "timestamp": self.clock,
                                 "thread": "MainThread", "thread_native_id": 1,
                                 "value": {"__type__": name, "__args__": list(args)}})
        if close:
            self.records.append(self._record("return", qualname, fid, co_name, arg=returns, locals=arguments))
        return self

    def part(self, trace_id, source="vesk run app.py"):
        return msgpack.packb({"command_line_args": ["app.py"], "current_commit_sha": None, "frames": {},
                              "frames_of_interest": self.records, "main_thread_id": 1,
                              "meta": {"version": "0", "source": source, "use_frame_boundaries": True},
                              "timestamp": 1.0, "trace_id": trace_id}).replace(msgpack.packb(DEEP), DEEP_BYTES)


def text(type_name, shown):
    return {"__type__": type_name, "__repr__": shown}


# A value nested deeper than msgpack's packer goes: its bytes take this text's place in the part.
DEEP = "a list nested 500 deep"
DEEP_BYTES = b"\x91" * 500 + b"\x01"


# name -> (the trace, what `vesk tests` says of it on stderr). Each also holds one harmless call,
# ident(1) -> 1, so that a module is written, checked and run for every one of them.
def hostile(folder):
    elsewhere = folder.parent / "elsewhere"
    elsewhere.mkdir(exist_ok=True)
    (elsewhere / "evilmod.py").write_text(f"{TOUCH}\n\ndef ident(x):\n    return x\n")
    # a trace database that is also a zip archive: put on sys.path, it is a folder of modules
    archive = folder / "planted.zip"
    with zipfile.ZipFile(archive, "w") as made:
        made.writestr("evilmod.py", f"{TOUCH}\n\ndef ident(x):\n    return x\n")

    def case(*calls, source=None, reason=None, main_file=None):
        trace = Trace(main_file)
        trace.call("app.ident", {"x": 1}, returns=1)
        for qualname, arguments, outcome in calls:
            trace.call(qualname, arguments, **outcome)
        return trace, source, reason

    def returns(value):
        return {"returns": value}

    def raises(name):
        return {"raises": (name, [1])}

    not_a_name = "an exception type that is not a name" if EXCEPTIONS else None
    return {
        "docstring closed by the source": case(source=f'vesk run app.py\n"""; {TOUCH}; """'),
        "docstring escaped by the source": case(source="vesk run app.py \\N{oops} \\"),
        "exception type with an expression": case(
            ("app.fails", {"x": 1}, raises(f"builtins.ValueError if {TOUCH} else ValueError")), reason=not_a_name),
        "exception type of a dotted call": case(
            ("app.fails", {"x": 1}, raises(f"app.Oops({TOUCH})")), reason=not_a_name),
        "complex text with a call": case(
            ("app.ident", {"x": text("builtins.complex", f"0 * {TOUCH} + 3")}, returns(3)), reason="a complex value"),
        "uuid text calling its module": case(
            ("app.ident", {"x": text("uuid.UUID", "uuid._get_command_stdout('touch', 'PWNED')")}, returns(None)),
            reason="an UUID value"),
        "int text of other digits": case(
            ("app.ident", {"x": text("builtins.int", "\u0661\u0662\u0663")}, returns(123)),
            reason="a value cut by the recording's bounds"),
        "field name with an expression": case(
            ("app.ident", {"x": {"__type__": "app.Thing", "__fields__": {"a": 1, f"b={TOUCH}, c": 2}}},
             returns(None)), reason="an object with odd field names"),
        "field that is the interpreter's": case(
            ("app.ident", {"x": {"__type__": "app.Thing", "__fields__": {"a": 1, "__class__": text(
                "builtins.type", "<class 'app.Oops'>")}}}, returns(None)), reason="an object with odd field names"),
        "keyword name with an expression": case(
            ("app.options", {"given": {f"x={TOUCH}, y": 1}}, returns(["x"])),
            reason="a value cut by the recording's bounds"),
        "a function of the standard library as a value": case(
            ("os.system", {"command": "true"}, returns(0)),
            ("app.apply", {"func": text("builtins.function", "<function system at 0x1>"), "values": ["touch PWNED"]},
             returns([0])), reason="a function value not found in the project"),
        "a builtin that runs text as a value": case(
            ("app.apply", {"func": text("builtins.builtin_function_or_method", "<built-in function eval>"),
                           "values": [TOUCH]}, returns([None])), reason="a builtin value not found in the project"),
        "a class that starts processes as a value": case(
            ("app.apply", {"func": text("builtins.type", "<class 'subprocess.Popen'>"),
                           "values": [["touch", "PWNED"]]}, returns([None])),
            reason="a class value not found in the project"),
        "an object of a class that starts processes": case(
            ("app.ident", {"x": {"__type__": "subprocess.Popen", "__fields__": {"args": ["touch", "PWNED"]}}},
             returns(None)), reason="a value of a class outside the project"),
        "a function outside the project": case(
            ("subprocess.run", {"args": ["touch", "PWNED"]}, returns(None)), reason="a function outside the project"),
        "a module that prints when imported": case(("this.f", {"x": 1}, returns(1)), reason="not importable"),
        "a package's __main__ module": case(("pip.__main__.f", {"x": 1}, returns(1)), reason="not importable"),
        "__file__ in a zip archive": case(("__main__.ident", {"x": 2}, returns(2)),
                                          main_file=str(archive / "evilmod.py"), reason="not importable"),
        "absolute __file__ elsewhere": case(("__main__.ident", {"x": 2}, returns(2)),
                                            main_file=str(elsewhere / "evilmod.py"), reason="not importable"),
        "relative __file__ elsewhere": case(("__main__.ident", {"x": 2}, returns(2)),
                                            main_file="../elsewhere/evilmod.py", reason="not importable"),
        "terminal escapes in a type name": case(
            ("app.ident", {"x": text("evil.\x1b]0;owned\x07Type\x1b[2J", "x")}, returns(None)),
            reason="a \\x1b]0;owned\\x07Type\\x1b[2J value"),
        "a deep value": case(("app.ident", {"x": DEEP}, returns(None)), reason="nested too deep"),
        "a huge int": case(("app.ident", {"x": text("builtins.int", "9" * 20000)}, returns(None)),
                           reason="an int too long to write"),
    }


def write_database(folder, cases):
    path = folder / ".vesk" / "db.sqlite3"
    ids = {}
    for number, (name, (trace, source, _)) in enumerate(cases.items()):
        trace_id = f"trc_{number:026d}"
        db.save_trace_in_sqlite(path, trace_id, msgpack=trace.part(trace_id, source or "vesk run app.py"))
        ids[name] = trace_id
    return ids


# What the written module may name and call beside its imports: the writer's own helpers and the
# builtins its values and assertions use.
ALLOWED_NAMES = {"pytest", "recorded_form", "with_fields", "dict", "float", "type", "complex", "range", "slice",
                 "instance", "args", "kwargs", "expected", "after", "changed", "error_type", "error_args",
                 "raised", "name", "collections", "enum", "os", "sys", "__file__", "isinstance", "hasattr",
                 "getattr", "value", "depth", "item", "key", "fields", "slots", "cls", "bool", "int", "str",
                 "bytes", "list", "tuple", "set", "frozenset", "BaseException", "ValueError"}


def check_written(path):
    """The written module holds only what the writer makes: calls of imported names, of its
    helpers and of a few builtins, never of eval, exec, __import__, open or the like."""
    tree = ast.parse(path.read_text())
    imported = set()
    for node in ast.walk(tree):
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            imported.update((a.asname or a.name).split(".")[0] for a in node.names)
    for node in ast.walk(tree):
        assert not isinstance(node, (ast.Lambda, ast.NamedExpr, ast.Global, ast.Nonlocal, ast.ClassDef,
                                     ast.AsyncFunctionDef, ast.Await, ast.Yield, ast.Delete)), ast.dump(node)
        if isinstance(node, ast.Name):
            assert node.id in imported or node.id in ALLOWED_NAMES, node.id
        if isinstance(node, ast.Attribute):
            assert not node.attr.startswith("__") or node.attr in ("__dict__", "__mro__", "__module__"), node.attr
    from vesk.generate_tests.audit import audit

    audit(path.read_text())


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    folder = tmp_path_factory.mktemp("project")
    (folder / "app.py").write_text(APP)
    cases = hostile(folder)
    ids = write_database(folder, cases)
    (folder / "out").mkdir()
    return folder, cases, ids


def vesk(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, stdin=subprocess.DEVNULL)


def test_a_folder_of_hostile_traces_runs_nothing_but_the_programs_functions(project):
    folder, cases, ids = project
    for name, (_, _, reason) in cases.items():
        output = folder / "out" / f"test_{ids[name]}.py"
        made = vesk("tests", ids[name], "--no-check", "-o", str(output), cwd=folder)
        where = f"{name}: {made.stderr}"
        assert made.returncode == 0, where
        assert not (folder / "PWNED").exists(), where
        assert ZEN not in made.stdout + made.stderr, where
        assert "\x1b" not in made.stderr and "\x07" not in made.stderr, where
        if reason is not None:
            assert f": {reason}\n" in made.stderr, where
        check_written(output)
        assert "def test_ident" in output.read_text(), where
    # Every module written, run: nothing but ident(1) runs, and it passes.
    ran = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-o", "addopts=",
                          str(folder / "out")], cwd=folder, capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0 and f"{len(cases)} passed" in ran.stdout, ran.stdout
    assert not (folder / "PWNED").exists()


def test_the_check_runs_only_what_the_audit_let_through(project):
    folder, cases, ids = project
    made = vesk("tests", ids["complex text with a call"], "-o", "test_checked.py", cwd=folder)
    assert made.returncode == 0, made.stderr
    assert "checked against the current code: 0 dropped" in made.stderr
    assert not (folder / "PWNED").exists()
    check_written(folder / "test_checked.py")


@pytest.mark.parametrize("trace_id_of", ["__file__ in a zip archive", "absolute __file__ elsewhere",
                                         "relative __file__ elsewhere"])
def test_a_trace_never_chooses_where_modules_come_from(project, trace_id_of):
    folder, cases, ids = project
    made = vesk("tests", ids[trace_id_of], "--no-check", cwd=folder)
    assert made.returncode == 0 and not (folder / "PWNED").exists(), made.stderr
    assert "evilmod" not in made.stdout and "elsewhere" not in made.stdout and "planted" not in made.stdout
    # the written module says which folders it imports from: the project's
    assert "The program's modules are imported from" in made.stdout, made.stdout


def test_the_script_of_a_trace_is_found_in_the_project_or_in_the_folders_given(tmp_path):
    (tmp_path / "work").mkdir()
    (tmp_path / "src").mkdir()
    (tmp_path / "src" / "tool.py").write_text("def twice(x):\n    return 2 * x\n")
    trace = Trace(main_file="/home/someone/else/tool.py").call("__main__.twice", {"x": 2}, returns=4)
    db.save_trace_in_sqlite(tmp_path / "work" / "db.sqlite3", "trc_ONE", msgpack=trace.part("trc_ONE"))
    args = ["tests", "--db", "db.sqlite3", "--no-check"]
    assert "def test_twice" not in vesk(*args, cwd=tmp_path / "work").stdout
    given = vesk(*args, "--path", "../src", cwd=tmp_path / "work")
    assert given.returncode == 0, given.stderr
    assert "from tool import twice" in given.stdout and "dict(x=2), 4" in given.stdout
    assert "os.path.join(os.path.dirname(__file__), '../src')" not in given.stdout  # printed: no file to be beside
    assert repr(str(tmp_path / "src")) in given.stdout
