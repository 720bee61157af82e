"""`vesk tests` on recorded programs: how many tests it writes, why it skips calls, whether every
test written passes, and how many mutants of the tested functions those tests kill.

    .venv/bin/python bench/generate_tests.py [--no-toolz] [--keep FOLDER]
        [--pynguin PYTHON [--seconds S]]
    .venv/bin/python bench/generate_tests.py --big [--calls N] [--keep FOLDER]

Two recordings: examples/shop.py run with `vesk run`, and toolz 1.2.0's own test suite run with
`pytest --vesk` (fetched once as bench/real_suite.py does), whose calls of toolz's functions
(`--function 'toolz.*'`) make the tests. The tests written are run with pytest in a subprocess.

Mutation score: a small AST mutator (below) changes one thing at a time in each function that
has generated tests: a comparison flipped (< to >=, == to !=, in to not in, ...), an arithmetic
operator swapped (+ to -, * to +, // to *, ...), a constant changed (n to n + 1, True to
False, a text emptied), a returned value made None. A mutant replaces the function's code in a
forked process, which runs that function's generated cases; a case that fails, or a run past 5
seconds, kills it. The score is killed / mutants.

With --pynguin (an interpreter with Pynguin installed, a benchmark-only tool kept out of vesk's
environment, e.g. `python -m venv /tmp/pyn && /tmp/pyn/bin/pip install pynguin`), Pynguin writes
tests for toolz's itertoolz, dicttoolz and functoolz, S seconds of search each (default 60),
and one table sets side by side, per module: tests, branch coverage of the module (coverage.py)
and the same mutants killed by each tool's tests (a Pynguin test kills a mutant when its outcome,
passing or raising, differs from that on the original code).

With --big, the cost of `vesk tests` on a large trace instead: a program making N recorded calls
(default 200,000) with lists, dicts, objects and exceptions in their values is recorded with
`vesk run` into a temporary SQLite database, then `vesk show`, `vesk tests --no-check` and
`vesk tests` each run as a process of their own: wall time and peak resident memory of each (of
its largest process, the check's pytest runs included).
"""

import argparse
import ast
import collections
import copy
import importlib.util
import inspect
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import types

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

MUTANT_SECONDS = 5

_COMPARE = {ast.Lt: ast.GtE, ast.LtE: ast.Gt, ast.Gt: ast.LtE, ast.GtE: ast.Lt, ast.Eq: ast.NotEq,
            ast.NotEq: ast.Eq, ast.In: ast.NotIn, ast.NotIn: ast.In, ast.Is: ast.IsNot, ast.IsNot: ast.Is}
_ARITHMETIC = {ast.Add: ast.Sub, ast.Sub: ast.Add, ast.Mult: ast.Add, ast.Div: ast.Mult, ast.FloorDiv: ast.Mult,
               ast.Mod: ast.FloorDiv, ast.Pow: ast.Mult, ast.BitAnd: ast.BitOr, ast.BitOr: ast.BitAnd,
               ast.LShift: ast.RShift, ast.RShift: ast.LShift}


class Mutator(ast.NodeTransformer):
    """Counts the places it can mutate in a function; given `target`, mutates that one."""

    def __init__(self, target=None):
        self.target = target
        self.count = 0
        self.docstrings = set()

    def _here(self):
        self.count += 1
        return self.count - 1 == self.target

    def visit_FunctionDef(self, node):
        body = node.body
        if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
            self.docstrings.add(id(body[0].value))
        return self.generic_visit(node)

    visit_AsyncFunctionDef = visit_FunctionDef

    def visit_Compare(self, node):
        self.generic_visit(node)
        for index, op in enumerate(node.ops):
            if type(op) in _COMPARE and self._here():
                node.ops[index] = _COMPARE[type(op)]()
        return node

    def visit_BinOp(self, node):
        self.generic_visit(node)
        if type(node.op) in _ARITHMETIC and self._here():
            node.op = _ARITHMETIC[type(node.op)]()
        return node

    def visit_AugAssign(self, node):
        self.generic_visit(node)
        if type(node.op) in _ARITHMETIC and self._here():
            node.op = _ARITHMETIC[type(node.op)]()
        return node

    def visit_Constant(self, node):
        value = node.value
        if id(node) in self.docstrings or value is None or value is Ellipsis:
            return node
        if isinstance(value, bool):
            return ast.Constant(not value) if self._here() else node
        if isinstance(value, (int, float)):
            return ast.Constant(value + 1) if self._here() else node
        if isinstance(value, str):
            return ast.Constant("" if value else "x") if self._here() else node
        return node

    def visit_Return(self, node):
        self.generic_visit(node)
        if node.value is not None and not (isinstance(node.value, ast.Constant) and node.value.value is None):
            if self._here():
                node.value = ast.Constant(None)
        return node


def _function_node(tree, qualname):
    """The def of qualname ("Basket.add") in a module's tree."""
    scope = tree
    for part in qualname.split("."):
        scope = next((n for n in ast.iter_child_nodes(scope)
                      if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and n.name == part), None)
        if scope is None:
            return None
    return scope if isinstance(scope, (ast.FunctionDef, ast.AsyncFunctionDef)) else None


def _code_named(code, qualname):
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            if const.co_qualname == qualname:
                return const
            found = _code_named(const, qualname)
            if found is not None:
                return found
    return None


def mutants(module, qualname):
    """(description, code) of each mutant of the function qualname of module."""
    path = inspect.getsourcefile(module)
    source = pathlib.Path(path).read_text()
    tree = ast.parse(source)
    node = _function_node(tree, qualname)
    if node is None:
        return
    counter = Mutator()
    counter.visit(copy.deepcopy(node))
    for target in range(counter.count):
        mutated = copy.deepcopy(tree)
        place = _function_node(mutated, qualname)
        Mutator(target).visit(place)
        ast.fix_missing_locations(mutated)
        try:
            code = _code_named(compile(mutated, path, "exec"), qualname)
        except (SyntaxError, ValueError):
            continue
        if code is not None:
            yield f"{qualname} #{target}", code


def _cases(test_module, test_names):
    """(test function, arguments) of each case of the named parametrized tests."""
    for name in test_names:
        test = getattr(test_module, name, None)
        if test is None:
            continue
        for mark in getattr(test, "pytestmark", ()):
            if mark.name != "parametrize":
                continue
            names = [n.strip() for n in mark.args[0].split(",")]
            for param in mark.args[1]:
                yield test, dict(zip(names, param.values))


def _killed(function, code, test_module, test_names, source):
    """Whether the mutant code of function fails one of the tests, in a forked process."""
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, 1)  # what the mutant prints is not the benchmark's
            os.dup2(devnull, 2)
            signal.alarm(MUTANT_SECONDS)
            function.__code__ = code
            fresh = types.ModuleType(test_module.__name__)
            fresh.__file__ = test_module.__file__
            exec(source, fresh.__dict__)  # fresh arguments: a case may change its instance
            for test, arguments in _cases(fresh, test_names):
                test(**arguments)
        except BaseException:  # noqa: BLE001 - any failure kills the mutant
            status = 1
        os._exit(status)
    _, status = os.waitpid(pid, 0)
    return status != 0


def mutation_score(generated, test_path):
    """{module: (killed, mutants)} over the functions that have generated tests."""
    from vesk.generate_tests.render import test_name

    spec = importlib.util.spec_from_file_location("generated_tests", test_path)
    test_module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(test_module)
    source = compile(pathlib.Path(test_path).read_text(), str(test_path), "exec")
    scores = collections.defaultdict(lambda: [0, 0])
    for function_name, cases in generated.picked.items():
        module_name, qualname, target = generated.collector.resolver.resolve(function_name)
        function = getattr(target, "__func__", target)
        names = [test_name(function_name), test_name(function_name, True)]
        for description, code in mutants(sys.modules[module_name], qualname):
            if code.co_freevars != function.__code__.co_freevars:
                continue
            score = scores[module_name]
            score[1] += 1
            killed = _killed(function, code, test_module, names, source)
            score[0] += killed
            if not killed and os.environ.get("BENCH_SURVIVORS"):
                print("survived:", module_name, description, file=sys.stderr)
    return dict(scores)


def _outcomes(tests):
    """For each test function, whether it raised: a mutant is killed by any change."""
    found = []
    for test in tests:
        try:
            test()
            found.append(0)
        except BaseException:  # noqa: BLE001 - raising is an outcome
            found.append(1)
    return bytes(found)


def _forked(function, code, tests):
    """The outcomes of tests with function's code replaced by code (None: as it is), in a forked
    process; a run past the time limit is b"timeout"."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        signal.alarm(MUTANT_SECONDS * 4)
        try:
            if code is not None:
                function.__code__ = code
            os.write(write, _outcomes(tests))
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as pipe:
        found = pipe.read()
    os.waitpid(pid, 0)
    return found or b"timeout"


def pynguin_side_by_side(generated, vesk_tests, suite, folder, python, seconds):
    """One row per module: (module, vesk tests, vesk coverage, vesk killed, Pynguin tests,
    Pynguin coverage, Pynguin killed, mutants)."""
    from vesk.generate_tests.render import test_name

    rows = []
    vesk_source = compile(pathlib.Path(vesk_tests).read_text(), str(vesk_tests), "exec")
    vesk_module = types.ModuleType("generated_tests")
    vesk_module.__file__ = str(vesk_tests)
    exec(vesk_source, vesk_module.__dict__)
    for module_name in ("toolz.itertoolz", "toolz.dicttoolz", "toolz.functoolz"):
        out = folder / "pynguin" / module_name
        project = folder / "pynguin-project"
        if not project.exists():
            shutil.copytree(suite / "toolz", project / "toolz")
        subprocess.run([python, "-m", "pynguin", "--project-path", str(project), "--module-name", module_name,
                        "--output-path", str(out), "--maximum-search-time", str(seconds)],
                       env=dict(os.environ, PYNGUIN_DANGER_AWARE="1"), capture_output=True, timeout=seconds * 10)
        written = next(out.glob("test_*.py"), None)
        spec = importlib.util.spec_from_file_location(f"pynguin_{module_name.replace('.', '_')}", written)
        theirs = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(theirs)
        their_tests = [v for k, v in vars(theirs).items() if k.startswith("test_") and callable(v)]
        ours = [c for f, cases in generated.picked.items() for c in cases
                if generated.collector.resolver.resolve(f)[0] == module_name]
        killed_ours = killed_theirs = total = 0
        for function_name in {c.function for c in ours}:
            _, qualname, target = generated.collector.resolver.resolve(function_name)
            function = getattr(target, "__func__", target)
            names = [test_name(function_name), test_name(function_name, True)]
            baseline = _forked(function, None, their_tests)
            for _, code in mutants(sys.modules[module_name], qualname):
                if code.co_freevars != function.__code__.co_freevars:
                    continue
                total += 1
                killed_ours += _killed(function, code, vesk_module, names, vesk_source)
                killed_theirs += _forked(function, code, their_tests) != baseline
        source = pathlib.Path(sys.modules[module_name].__file__)
        rows.append((module_name, len(ours), _coverage(vesk_tests, source, suite), killed_ours,
                     len(their_tests), _coverage(written, source, suite), killed_theirs, total))
    print("\n== side by side: vesk tests and Pynguin "
          f"({seconds} s of search per module), the same mutants of the functions vesk tests")
    print(f"{'module':18s} {'vesk tests':>10s} {'branch cov':>10s} {'killed':>12s}   "
          f"{'Pynguin tests':>13s} {'branch cov':>10s} {'killed':>12s}")
    for module, ours, our_cov, our_kill, theirs, their_cov, their_kill, total in rows:
        print(f"{module:18s} {ours:10d} {our_cov:>10s} {our_kill:5d}/{total:<3d}{100 * our_kill / max(total, 1):3.0f}%   "
              f"{theirs:13d} {their_cov:>10s} {their_kill:5d}/{total:<3d}{100 * their_kill / max(total, 1):3.0f}%")


def _coverage(tests, source, suite):
    """Branch coverage of the file source by the test module tests, as coverage.py reports it."""
    with tempfile.TemporaryDirectory() as data:
        env = dict(os.environ, COVERAGE_FILE=os.path.join(data, "coverage"), PYTHONPATH=str(suite))
        subprocess.run([sys.executable, "-m", "coverage", "run", "--branch", f"--include={source}", "-m", "pytest",
                        "-q", "-p", "no:cacheprovider", "-o", "addopts=", "-W",
                        "ignore::pytest.PytestAssertRewriteWarning", str(tests)],
                       cwd=suite, env=env, capture_output=True, timeout=1200)
        done = subprocess.run([sys.executable, "-m", "coverage", "report", "--format=total", "--precision=1",
                               f"--include={source}"],
                              env=env, capture_output=True, text=True)
        return done.stdout.strip() + "%" if done.returncode == 0 else "?"


def _run_pytest(path, cwd):
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-o", "addopts=",
                           "-W", "ignore::pytest.PytestAssertRewriteWarning", str(path)],
                          cwd=cwd, capture_output=True, text=True, timeout=1200)
    return done.stdout.strip().splitlines()[-1] if done.stdout.strip() else done.stderr[-300:]


def _generate(db_path, cwd, test_path, function=None):
    from vesk import db
    from vesk.generate_tests import check, generate
    from vesk.view.trace import open_trace

    os.chdir(cwd)
    traces = [open_trace(db_path, s.trace_id) for s in db.list_traces(db_path) if s.parent_trace_id is None]
    generated = generate(traces, function=function)
    check(generated, str(test_path))
    test_path.write_text(generated.source(str(test_path)))
    return generated


def _report(name, generated, test_path, cwd):
    outcome = _run_pytest(test_path, cwd)
    scores = mutation_score(generated, test_path)
    killed = sum(k for k, _ in scores.values())
    total = sum(t for _, t in scores.values())
    print(f"\n== {name}")
    print(f"recorded calls of its functions: {generated.collector.calls}; distinct: {generated.collector.distinct}")
    print(f"tests written: {len(generated.cases)} for {len(generated.picked)} functions "
          f"(dropped by the check: {len(generated.dropped)}); pytest: {outcome}")
    print("calls skipped, by reason:")
    for reason, count in generated.skipped.most_common():
        print(f"  {count:7d}  {reason}")
    print("mutants killed, by module:")
    for module, (k, t) in sorted(scores.items()):
        print(f"  {module:28s} {k:5d} / {t:<5d} {100 * k / max(t, 1):5.1f}%")
    print(f"  {'all':28s} {killed:5d} / {total:<5d} {100 * killed / max(total, 1):5.1f}%")
    return killed, total


def shop(folder):
    work = folder / "shop"
    work.mkdir()
    shutil.copy(ROOT / "examples" / "shop.py", work / "shop.py")
    subprocess.run([sys.executable, "-m", "vesk", "run", "shop.py"], cwd=work, check=True, capture_output=True)
    test_path = work / "test_shop.py"
    generated = _generate(str(work / ".vesk" / "db.sqlite3"), work, test_path)
    return _report("examples/shop.py", generated, test_path, work)


def toolz(folder):
    from real_suite import fetch

    suite = fetch("toolz", "1.2.0")
    db_path = folder / "toolz.sqlite3"
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-o", "addopts=",
                    "-W", "ignore::pytest.PytestAssertRewriteWarning", "--vesk", "--vesk-db", str(db_path), "toolz/tests"], cwd=suite, check=True, capture_output=True)
    test_path = folder / "test_toolz.py"
    sys.path.insert(0, str(suite))
    generated = _generate(str(db_path), suite, test_path, function="toolz.*")
    _report("toolz 1.2.0, its own suite (--function 'toolz.*')", generated, test_path, suite)
    return generated, test_path, suite


BIG_PROGRAM = """
import dataclasses


@dataclasses.dataclass
class Item:
    name: str
    price: int
    tags: list


class Refused(Exception):
    pass


class Ledger:
    def __init__(self, lines=None):
        self.lines = dict(lines or {})  # item name -> amount

    def add(self, item, quantity):
        self.lines[item.name] = self.lines.get(item.name, 0) + item.price * quantity
        return len(self.lines)

    def total(self):
        return sum(self.lines.values())


def make_item(i):
    return Item(f"item-{i % 997}", (i * 37) % 1000, [f"t{i % 7}", f"t{i % 11}", f"t{i % 13}"])


def summary(item, extra):
    return {"name": item.name, "price": item.price, "tags": item.tags, "extra": extra}


def tokens(text):
    return [word.lower() for word in text.split() if word]


def check(quantity):
    if quantity > 90:
        raise Refused(quantity, "too many")
    return quantity


def depth(tree):
    return 1 + max((depth(child) for child in tree.get("children", [])), default=0)


def main(calls):
    ledger = Ledger()
    words = "The Quick brown fox jumps over the lazy dog".split()
    tree = {"name": "a", "children": [{"name": "b", "children": [{"name": "c"}]}, {"name": "d"}]}
    done = 0
    i = 0
    # each round makes about 40 recorded calls, of generator expressions and comprehensions too
    while done < calls:
        item = make_item(i)
        summary(item, {"round": i, "seen": list(range(i % 40)), "note": f"{i * 7919 % 104729:x}" * 4})
        tokens(" ".join(words[(i + k) % 9] + str(i % (k + 3)) for k in range(12)))
        try:
            ledger.add(item, check(i % 100))
        except Refused:
            pass
        depth(tree)
        if len(ledger.lines) > 50:
            ledger.total()
            ledger = Ledger()
        done += 40
        i += 1


if __name__ == "__main__":
    import sys

    main(int(sys.argv[1]))
"""


def _measured(command, cwd):
    """(seconds, peak MB, stderr) of command run as a process of its own; the peak is that of the
    largest process it waited for, itself or a child of it."""
    probe = ("import resource, subprocess, sys\n"
             "done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)\n"
             "sys.stderr.write(done.stderr[-3000:])\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
             "sys.exit(done.returncode)")
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", probe, *command], cwd=cwd, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed: {done.stderr.strip()}")
    return seconds, int(done.stdout.split()[-1]) / 1024, done.stderr


def big(folder, calls):
    """Time and peak memory of `vesk show` and `vesk tests` on the trace of BIG_PROGRAM."""
    from vesk import db

    (folder / "bigprog.py").write_text(textwrap.dedent(BIG_PROGRAM))
    database = str(folder / "big.sqlite3")
    vesk = [sys.executable, "-m", "vesk"]
    seconds, peak, _ = _measured([*vesk, "run", "--db", database, "bigprog.py", str(calls)], folder)
    (summary,) = db.list_traces(database)
    print(f"{calls:,} calls recorded: {summary.record_count:,} records in {summary.parts} parts, "
          f"{os.path.getsize(database) / 2**20:.1f} MiB stored; Python {sys.version.split()[0]}")
    print(f"{'step':28} {'time':>10}  {'peak':>11}")
    print(f"{'vesk run':28} {seconds:8.1f} s  {peak:8.0f} MB")
    output = str(folder / "test_bigprog.py")
    for step, args in (("vesk show", ["show"]), ("vesk tests --no-check", ["tests", "--no-check", "-o", output]),
                       ("vesk tests", ["tests", "-o", output])):
        seconds, peak, said = _measured([*vesk, *args, "--db", database], folder)
        print(f"{step:28} {seconds:8.1f} s  {peak:8.0f} MB")
        if step == "vesk tests":
            print("\n".join(f"    {line}" for line in said.splitlines() if "dropped " not in line))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-toolz", action="store_true", help="only examples/shop.py")
    parser.add_argument("--keep", metavar="FOLDER", help="write the recordings and tests there (kept)")
    parser.add_argument("--pynguin", metavar="PYTHON", help="an interpreter with Pynguin, for the side by side")
    parser.add_argument("--seconds", type=int, default=60, help="Pynguin's search time per module (default 60)")
    parser.add_argument("--big", action="store_true", help="time and peak memory of `vesk tests` on a large trace")
    parser.add_argument("--calls", type=int, default=200_000, help="with --big: the recorded calls (default 200,000)")
    options = parser.parse_args()
    folder = pathlib.Path(options.keep or tempfile.mkdtemp(prefix="vesk-bench-tests-")).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    try:
        if options.big:
            big(folder, options.calls)
            return
        shop(folder)
        if not options.no_toolz:
            generated, test_path, suite = toolz(folder)
            if options.pynguin:
                pynguin_side_by_side(generated, test_path, suite, folder, options.pynguin, options.seconds)
    finally:
        if options.keep is None:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
