"""`vesk tests`: recorded programs made into pytest modules that pass, hold what was recorded, and
leave out what a test could not repeat."""

import subprocess
import sys
import textwrap

import pytest

# 3.11 tells only that an exception left a frame, not which: such calls are skipped there.
EXCEPTIONS = sys.version_info >= (3, 12)
with_exceptions = pytest.mark.skipif(not EXCEPTIONS, reason="3.11 records no exception's type")

PROGRAM = '''
import collections
import dataclasses
import datetime
import decimal
import enum
import logging
import operator
import subprocess
import sys
import time

import attrs


class Color(enum.Enum):
    RED = 1
    GREEN = 2


Point = collections.namedtuple("Point", "x y")


@dataclasses.dataclass
class Box:
    width: int
    height: int


@attrs.define
class Tag:
    label: str
    weight: float


class Account:
    def __init__(self, owner, balance):
        self.owner = owner
        self.balance = balance

    def deposit(self, amount):
        if amount <= 0:
            raise ValueError("not a deposit", amount)
        self.balance += amount
        return self.balance

    def report(self):
        return f"{self.owner}: {self.balance}"


class Counter:
    def __init__(self, start):
        self.count = start

    def peek(self):
        return self.count


class TooBig(Exception):
    pass


def mirror(color, point, box, tag, data, blob, when, price):
    return {"color": color, "point": point, "area": box.width * box.height, "tag": tag,
            "data": data, "blob": blob, "when": when, "price": price}


def many(*values, scale=1, **options):
    return [v * scale for v in values], sorted(options)


def check_size(n):
    if n > 10:
        raise TooBig(n, "too big")
    if n < 0:
        raise ValueError("negative")
    return n


def fill(bucket, item):
    bucket.append(item)
    item = None  # a name bound again says nothing of the argument
    return len(bucket)


def double(x):
    return 2 * x


def apply_to(func, values):
    return [func(v) for v in values]


def extended(pair):
    return pair + (0,)


def pick(getter, row):
    return getter(row)


class Positive:
    def __init__(self, value):
        if value <= 0:
            raise ValueError("not positive")
        self.value = value


def describe(number):
    return f"{number.value}"


def long_list(n):
    return list(range(n))


def stamped(x):
    return (x, time.time() > 0)


def logged(x):
    logging.getLogger("kinds").warning("saw %s", x)
    return x


def spawn(x):
    subprocess.run([sys.executable, "-c", "pass"], check=True)
    return x


def login(password):
    return len(password)


def outer(x):
    def inner(y):
        return y + 1
    return inner(x)


def main():
    mirror(Color.RED, Point(1, 2), Box(3, 4), Tag("a", 0.5), [1, (2, 3), {"k": {4}}], b"\\x00ab",
           datetime.date(2024, 2, 29), decimal.Decimal("1.50"))
    many(1, 2, scale=3, fast=True)
    for n in (3, 12, -1):
        try:
            check_size(n)
        except Exception:
            pass
    account = Account("ada", 10)
    account.deposit(5)
    try:
        account.deposit(-1)
    except ValueError:
        pass
    account.report()
    Counter(5).peek()
    fill([1], "two")
    apply_to(double, [1, 2])
    apply_to(len, ["ab"])
    apply_to(operator.neg, [1])
    extended((1, 2))
    pick(operator.itemgetter(1), [5, 6])
    number = Positive(1)
    number.value = -1
    describe(number)
    long_list(200)
    stamped(1)
    logged(2)
    spawn(3)
    login("hunter22-secret")
    outer(1)


if __name__ == "__main__":
    main()
'''


def vesk(*args, cwd, timeout=300):
    return subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def run_pytest(path, cwd):
    # its own temporary folder: a run among pytest's numbered ones would remove this session's
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-o", "addopts=",
                           "--basetemp", str(path.parent / "pytest-tmp"), str(path)],
                          cwd=cwd, capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    folder = tmp_path_factory.mktemp("kinds")
    (folder / "kinds.py").write_text(PROGRAM)
    # Tests are made of whole values: a budget that a call's values fit in.
    recorded = vesk("run", "--value-scale", "4", "kinds.py", cwd=folder)
    assert recorded.returncode == 0, recorded.stderr
    (folder / "tests_out").mkdir()
    made = vesk("tests", "-o", "tests_out/test_kinds.py", cwd=folder)
    assert made.returncode == 0, made.stderr
    return folder, (folder / "tests_out" / "test_kinds.py").read_text(), made.stderr


@pytest.mark.parametrize("expected", [
    # values of each kind, rebuilt as source
    "color=Color.RED", "point=Point(x=1, y=2)", "box=Box(width=3, height=4)", "tag=Tag(label='a', weight=0.5)",
    "data=[1, [2, 3], {'k': [4]}]", r"blob=b'\x00ab'", "when=datetime.date(2024, 2, 29)",
    "price=decimal.Decimal('1.50')",
    # *args and **kwargs
    "pytest.param((1, 2), dict(scale=3, fast=True), [[3, 6], ['fast']]",
    # exceptions, of the program's class and a builtin, with their args
    pytest.param("pytest.param(dict(n=12), TooBig, (12, 'too big')", marks=with_exceptions),
    pytest.param("pytest.param(dict(n=-1), ValueError, ('negative',)", marks=with_exceptions),
    # a method, on an instance rebuilt from its fields, with its fields after the call
    "Account(owner='ada', balance=10),\n        dict(amount=5),\n        15,\n        Account(owner='ada', balance=15)",
    "def test_Account_deposit(instance, kwargs, expected, after):",
    pytest.param("Account(owner='ada', balance=15),\n        dict(amount=-1),\n        ValueError,\n        ('not a deposit', -1),",
                 marks=with_exceptions),
    "def test_Account_report(instance, kwargs, expected):",
    # an argument changed in place
    "pytest.param(dict(bucket=[1], item='two'), 2, dict(bucket=[1, 'two']), id='call1')",
    "assert recorded_form({name: kwargs[name] for name in changed}) == recorded_form(changed)",
    # functions as values, found by name: the program's, a builtin, one of the standard library
    "dict(func=double, values=[1, 2]), [2, 4]", "dict(func=len, values=['ab']), [2]",
    "dict(func=neg, values=[1]), [-1]", "\nfrom operator import neg\n",
    # a tuple, recorded as an array: a list fails, so the check tries a tuple
    "dict(pair=(1, 2)), (1, 2, 0)",
    # readable: imports by module name, the trace named, the call site said
    "from kinds import Account, Box, Color, Point, Tag, " + "TooBig, " * EXCEPTIONS
    + "apply_to, check_size, double, extended, fill, many, mirror, outer",
    "Tests made by `vesk tests` from the calls recorded in trace trc_", "# kinds.py:", "in main\n",
])
def test_kinds_of_values_and_calls(generated, expected):
    assert expected in generated[1]


@pytest.mark.parametrize("reason, count", [
    ("started a process", 2),  # main and spawn
    ("a Counter value not made from its fields", 1),  # its field is not its constructor's parameter
    ("a value cut by the recording's bounds", 1),
    ("reads the clock, randomness or the environment", 1),
    ("did I/O (log)", 1),
    ("a redacted value", 1),
    ("defined inside a function", 1),
    ("a constructor", 3),
    pytest.param("an exception whose type was not recorded", 3, marks=pytest.mark.skipif(EXCEPTIONS, reason="3.11")),
    ("a value of a class outside the project", 1),  # an itemgetter: only the project's objects are built

])
def test_skip_reasons_are_counted(generated, reason, count):
    assert f"skipped {count}: {reason}\n" in generated[2]


def test_a_case_whose_values_cannot_be_built_is_dropped(generated):
    # Positive(value=-1) raises when the module is imported: that case goes, the others stay
    assert "dropped test_describe[call1]: its values cannot be built: ValueError: not positive\n" in generated[2]
    assert "describe" not in generated[1]


def test_generated_module_passes_and_fails_on_a_change(generated):
    folder, source, _ = generated
    passed = run_pytest(folder / "tests_out" / "test_kinds.py", folder)
    assert passed.returncode == 0, passed.stdout
    assert f"{16 if EXCEPTIONS else 13} passed" in passed.stdout, passed.stdout
    changed = folder / "changed"
    changed.mkdir()
    (changed / "kinds.py").write_text(PROGRAM.replace("self.balance += amount", "self.balance += amount + 1")
                                      .replace("if n > 10:", "if n > 12:")
                                      .replace("bucket.append(item)", "bucket.append(item + '!')"))
    (changed / "test_kinds.py").write_text(source.replace("'..'", "'../changed'"))
    failed = run_pytest(changed / "test_kinds.py", changed)
    # deposit(5), fill, and check_size(12) where it raised
    assert ("3 failed, 13 passed" if EXCEPTIONS else "2 failed, 11 passed") in failed.stdout, failed.stdout


FLIPPING = '''
import os

def toggled(path):
    with open(path) as file:
        seen = file.read()
    with open(path, "w") as file:
        file.write("b" if seen == "a" else "a")
    return seen

def steady(x):
    return x * 2

if __name__ == "__main__":
    toggled("state.txt")
    steady(2)
    steady(3)
'''


def test_check_drops_what_fails_or_flips(tmp_path):
    (tmp_path / "flip.py").write_text(FLIPPING)
    (tmp_path / "state.txt").write_text("a")
    assert vesk("run", "flip.py", cwd=tmp_path).returncode == 0
    (tmp_path / "flip.py").write_text(FLIPPING.replace("return x * 2", "return x * 2 if x < 3 else 0"))
    (tmp_path / "state.txt").write_text("a")
    made = vesk("tests", "-o", "test_flip.py", cwd=tmp_path)
    assert made.returncode == 0, made.stderr
    assert "checked against the current code: 2 dropped" in made.stderr
    assert "dropped test_toggled[call1]: flipped between runs" in made.stderr
    assert "dropped test_steady[call2]: AssertionError: assert 0 == 6\n" in made.stderr
    written = (tmp_path / "test_flip.py").read_text()
    assert "toggled" not in written and "dict(x=2), 4" in written and "dict(x=3)" not in written
    result = run_pytest(tmp_path / "test_flip.py", tmp_path)
    assert result.returncode == 0 and "1 passed" in result.stdout, result.stdout
    unchecked = vesk("tests", "--no-check", "--function", "steady", cwd=tmp_path)
    assert "dict(x=3), 6" in unchecked.stdout and "toggled" not in unchecked.stdout


@with_exceptions
def test_one_call_as_a_test(generated):
    folder = generated[0]
    listed = vesk("show", "--function", "check_size", "--limit", "0", cwd=folder)
    from vesk.view.trace import load_trace

    trace = load_trace(folder / ".vesk" / "db.sqlite3")
    frame_ids = [r["frame_id"] for t in trace.threads for r in t.records
                 if r.get("qualname") == "kinds.check_size" or r.get("qualname") == "__main__.check_size"]
    assert listed.returncode == 0 and frame_ids
    shown = vesk("show", "--call", frame_ids[2], "--as-test", cwd=folder)  # the second call: n=12
    assert shown.returncode == 0, shown.stderr
    assert "pytest.param(dict(n=12), TooBig, (12, 'too big')" in shown.stdout
    assert "dict(n=3)" not in shown.stdout
    spawned = [r["frame_id"] for t in trace.threads for r in t.records if r.get("qualname", "").endswith(".spawn")]
    refused = vesk("show", "--call", spawned[0], "--as-test", cwd=folder)
    assert refused.returncode == 1
    assert refused.stderr.strip().endswith("cannot be a faithful test: started a process"), refused.stderr


def test_at_most_n_per_function_that_differ(tmp_path):
    (tmp_path / "calls.py").write_text(textwrap.dedent('''
        def parse(text):
            return int(text)

        for text in ["1", "2", "3", "4", "x", "5", "y"]:
            try:
                parse(text)
            except ValueError:
                pass
        parse(b"7")
    '''))
    assert vesk("run", "calls.py", cwd=tmp_path).returncode == 0
    made = vesk("tests", "--max-per-function", "3", "--no-check", cwd=tmp_path)
    # a return, an exception and the other kind of argument first, the rest in order after
    assert made.stdout.count("pytest.param(") == 3, made.stdout
    third = "dict(text='x'),\n        ValueError" if EXCEPTIONS else "dict(text='2'), 2"
    assert "dict(text='1'), 1" in made.stdout and third in made.stdout
    assert "dict(text=b'7'), 7" in made.stdout


@pytest.mark.parametrize("args, status, message", [
    # a program given as text: nothing of it can be imported
    (["tests"], 1, "vesk: no recorded call could be made a faithful test: nothing written"),
    (["tests", "-o", "."], 2, "vesk: cannot write .: it is a directory"),
    (["show", "--as-test"], 2, "vesk: --as-test: give the call with --call FRAME_ID"),
])
def test_errors_are_one_line(tmp_path, args, status, message):
    assert vesk("run", "-c", "def f(x):\n    return x + 1\nf(2)\n", cwd=tmp_path).returncode == 0
    result = vesk(*args, cwd=tmp_path)
    assert result.returncode == status
    assert result.stderr.strip().splitlines()[-1] == message, result.stderr
    assert not list(tmp_path.glob("*.py"))


# What generating holds at once does not grow with the trace.

BOUNDED_APP = '''
def scale(x, factor=2):
    return x * factor
'''


def _frame(event, fid, t, name="scale", **local):
    return {"path": f"/rec/bounded_app.py:{t}", "co_name": name, "qualname": f"bounded_app.{name}",
            "event": event, "frame_id": fid, "arg": local.pop("arg", None), "locals": local,
            "thread": "MainThread", "thread_native_id": 100, "timestamp": 1_700_000_000.0 + t,
            "type": "frame", "user_code_call_site": {"line_number": 7}}


def _blob(records):
    import msgpack

    return msgpack.packb({"command_line_args": ["run.py"], "frames": {}, "frames_of_interest": records,
                          "main_thread_id": 100, "meta": {"source": "vesk run run.py"}, "timestamp": 1.0,
                          "trace_id": "trc_B"})


def _calls(count, nested=False):
    """Records of count calls of scale, one after the other or each inside the one before."""
    calls = [_frame("call", f"f{i}", i, x=i - 3, factor=2) for i in range(count)]
    returns = [_frame("return", f"f{i}", count + i, arg=2 * (i - 3), x=i - 3, factor=2) for i in range(count)]
    if nested:
        return calls + returns[::-1]
    return [r for pair in zip(calls, returns) for r in pair]


@pytest.mark.parametrize("arrival", ["in order", "reversed", "shuffled"])
@pytest.mark.parametrize("most", [1, 3, 20])
def test_a_function_keeps_what_chosen_could_pick_in_any_order(arrival, most):
    import random

    from vesk.generate_tests.cases import Case, _Choice, chosen

    cases = [Case("m.f", "f", None, [repr(i % 700)], [], None, "1", None, None, [], "?",
                  (i % 50 == 0, "E" if i % 50 == 0 else None, ("int" if i % 9 else "str",)), order=(0, i))
             for i in range(2000)]
    distinct = {}
    for case in cases:
        distinct.setdefault(case.key, case)
    arriving = {"in order": cases, "reversed": cases[::-1],
                "shuffled": random.Random(most).sample(cases, len(cases))}[arrival]
    choice = _Choice(most)
    for case in arriving:
        if choice.wanted(case.order, case.shape):
            choice.add(case)
        assert len(choice.keys) <= 4 * most
    kept = sorted(choice.keys.values(), key=lambda case: case.order)
    assert chosen(kept, most) == chosen(list(distinct.values()), most)


@pytest.mark.parametrize("nested", [False, True])
def test_calls_are_let_go_as_they_end(tmp_path, monkeypatch, nested):
    from vesk.generate_tests import generate
    from vesk.generate_tests.walk import _Cases
    from vesk.view.trace import trace_from_parts

    (tmp_path / "bounded_app.py").write_text(BOUNDED_APP)
    monkeypatch.syspath_prepend(tmp_path)
    monkeypatch.delitem(sys.modules, "bounded_app", raising=False)
    held = []
    ended = _Cases._ended

    def watched(walker, call):
        ended(walker, call)
        held.append((sum(c.record is not None for c in walker.stack), walker.collector.kept))

    monkeypatch.setattr(_Cases, "_ended", watched)
    generated = generate(trace_from_parts([_blob(_calls(3000, nested))]), most=3, roots=[str(tmp_path)])
    # only calls still open keep their records; of the function, at most what `chosen` needs
    assert nested or max(records for records, _ in held) == 0
    assert max(kept for _, kept in held) <= 4 * 3
    assert generated.collector.calls == 3000
    # a later call that could not be picked is not read; an outer one, which ends later, must be
    assert sum(generated.collector.unexamined.values()) == (0 if nested else 2997)
    # the first calls in recording order, though nested ones end last
    assert [case.kwargs[0][1] for case in generated.cases] == ["-3", "-2", "-1"]


def test_a_stored_trace_makes_the_tests_its_loaded_self_makes(tmp_path, monkeypatch):
    from test_stored_read import _bad_utf8

    from vesk import db
    from vesk.generate_tests import generate
    from vesk.view.trace import open_trace, trace_from_parts

    (tmp_path / "bounded_app.py").write_text(BOUNDED_APP)
    monkeypatch.syspath_prepend(tmp_path)
    monkeypatch.delitem(sys.modules, "bounded_app", raising=False)
    # a call at top level, then the return of one whose call was not recorded: it was made there
    first = [_frame("call", "a", 0, x=1, factor=2), _frame("return", "a", 1, arg=2, x=1, factor=2),
             _frame("return", None, 2, name="runner")]
    # a part whose records turn out not to decode: the pass over the trace begins again
    blobs = [_blob(first), _bad_utf8(), _blob(_calls(50)[10:])]
    for part in blobs:
        db.save_trace_in_sqlite(str(tmp_path / "db.sqlite3"), "trc_B", msgpack=part)
    stored = generate(open_trace(tmp_path / "db.sqlite3"), most=4, roots=[str(tmp_path)])
    loaded = generate(trace_from_parts(blobs, "trc_B"), most=4, roots=[str(tmp_path)])
    assert stored.source() == loaded.source()
    assert (stored.collector.calls, stored.skipped) == (loaded.collector.calls, loaded.skipped) == (46, {})
    assert "# /rec/bounded_app.py:7 in runner\n" in stored.source()
