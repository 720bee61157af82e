"""vesk stats, diff, rm, prune and the choices of show, on traces made record by record."""

import itertools
import json
import os
import subprocess
import sys

import pytest

from test_view import MAIN, blob, frame, plugin
from vesk import db
from vesk.__main__ import main
from vesk.view import parting as diffing
from vesk.view.cleanup import pruned
from vesk.view.trace import open_trace

WORKER = ("worker", 200)
_ids = itertools.count()


def span(name, start, end, *children, ret=None, thread=MAIN, line=10, **args):
    """A call of name from start to end (ms; None: no return) with the records of children inside."""
    fid = f"frm_{next(_ids):04d}"
    records = [frame("call", name, fid, start, thread=thread, line=line, **args)]
    records += [record for child in children for record in child]
    if end is not None:
        records.append(frame("return", name, fid, end, thread=thread, arg=ret, line=line))
    return records


def _resumed(stretch):
    """stretch, with the record that says the interpreter resumed it, before its return."""
    record = plugin("generator", 0, resumed=True, yielded=False)
    record["frame_id"], record["timestamp"] = stretch[-1]["frame_id"], stretch[-1]["timestamp"]
    return [*stretch[:-1], record, stretch[-1]]


def store(database, trace_id, main_records, workers=None):
    db.save_trace_in_sqlite(str(database), trace_id,
                            msgpack=blob(main_records, frames=workers, trace_id=trace_id))


def run(capsys, *args):
    status = main([str(arg) for arg in args])
    out, err = capsys.readouterr()
    return status, out, err


def stats_rows(capsys, database, *options):
    status, out, err = run(capsys, "stats", "--db", database, "--json", *options)
    assert status == 0, err
    def ms(seconds):  # the timestamps are floats near 1.7e9 s: exact to about a microsecond
        return None if seconds is None else round(seconds * 1000, 3)

    return [(r["function"], r["thread"], r["calls"], r["outer_calls"], ms(r["total"]), ms(r["own"]), ms(r["mean"]))
            for r in json.loads(out)["functions"]]


@pytest.mark.parametrize("main_records, workers, options, expected", [
    pytest.param(span("f", 0, 10, span("f", 2, 8, span("f", 4, 6))), None, [],
                 [("f", None, 3, 1, 10, 10, 10)], id="recursion-counted-once"),
    pytest.param(span("a", 0, 10, span("b", 1, 9, span("a", 2, 8, span("b", 3, 7)))), None, [],
                 [("a", None, 2, 1, 10, 4, 10), ("b", None, 2, 1, 8, 6, 8)], id="mutual-recursion"),
    pytest.param(span("f", 0, None, span("g", 1, 3), span("g", 4, 8)), None, [],
                 [("g", None, 2, 2, 6, 6, 3), ("f", None, 1, 1, 0, 0, None)], id="no-return-adds-no-time"),
    pytest.param(span("f", 0, 4), {200: span("f", 0, 6, thread=WORKER)}, [],
                 [("f", None, 2, 2, 10, 10, 5)], id="threads-added-up"),
    pytest.param(span("f", 0, 4), {200: span("f", 0, 6, thread=WORKER) + span("g", 7, 8, thread=WORKER)},
                 ["--per-thread", "--sort", "name"],
                 [("f", "MainThread", 1, 1, 4, 4, 4), ("f", "worker", 1, 1, 6, 6, 6), ("g", "worker", 1, 1, 1, 1, 1)],
                 id="per-thread"),
    pytest.param(span("f", 0, 4), {200: span("g", 0, 6, thread=WORKER)}, ["--thread", "work"],
                 [("g", None, 1, 1, 6, 6, 6)], id="chosen-thread"),
    pytest.param(span("gen", 0, 1, line=20) + span("gen", 2, 5, line=22) + span("h", 6, 7),
                 None, ["--sort", "calls", "--limit", "1"], [("gen", None, 2, 2, 4, 4, 2)],
                 id="resumed-generator-is-one-function"),
    pytest.param(span("gen", 0, 1, line=20) + _resumed(span("gen", 2, 5, line=22)), None, [],
                 [("gen", None, 1, 1, 4, 4, 4)], id="resumed-stretch-is-no-new-call"),
])
def test_stats(tmp_path, capsys, main_records, workers, options, expected):
    database = tmp_path / "db.sqlite3"
    store(database, "trc_S", main_records, workers)
    assert stats_rows(capsys, database, *options) == expected


def test_stats_table_of_a_recursive_call(tmp_path, capsys):
    database = tmp_path / "db.sqlite3"
    store(database, "trc_S", span("app.fib", 0, 10, span("app.fib", 2, 8)))
    status, out, _ = run(capsys, "stats", "--db", database)
    assert status == 0
    assert out.splitlines()[-2:] == ["CALLS    TOTAL      OWN     MEAN  FUNCTION  WHERE",
                                     "    2  10.0 ms  10.0 ms  10.0 ms  app.fib   app.py:10"]


def steps(count=12, thread=MAIN, change=None):
    """main() calling step(i) for i < count, each returning i * 2; change(i, args, extra) may
    alter a step: its name, arguments or return value, or records after its call."""
    children = []
    for i in range(count):
        args = {"name": "step", "i": i, "ret": i * 2, "obj": {"__type__": "app.T", "__repr__": f"<T at 0x{i:x}f00d>"}}
        extra = []
        if change is not None:
            change(i, args, extra)
        name, ret = args.pop("name"), args.pop("ret")
        fid = f"frm_{next(_ids):04d}"
        children.append([frame("call", name, fid, 2 * i + 1, thread=thread, **args), *extra,
                         frame("return", name, fid, 2 * i + 2, thread=thread, arg=ret)])
    return span("main", 0, 100, *children, thread=thread)


def change_at(step, extra=(), **what):
    def change(i, args, records):
        if i == step:
            records.extend(extra)
            args.update(what)
    return change


SAME = steps()


@pytest.mark.parametrize("window", [4, diffing.WINDOW])
@pytest.mark.parametrize("b, index, kind, caller", [
    pytest.param(steps(change=change_at(0, obj={"__type__": "app.T", "__repr__": "<T at 0x7ffe0>"})),
                 None, None, None, id="addresses-do-not-count"),
    pytest.param(steps(change=change_at(0, i=-1)), 1, "a different argument", "main", id="first-call"),
    pytest.param(steps(change=change_at(5, i=50)), 11, "a different argument", "main", id="argument"),
    pytest.param(steps(change=change_at(3, ret=0)), 8, "a different return value", "main", id="return-value"),
    pytest.param(steps(change=change_at(7, name="other")), 15, "a different callee", "main", id="callee"),
    pytest.param(steps(change=change_at(6, extra=[plugin("exception", 1, frame_id="x", exception_type="KeyError",
                                                         message="'k'")])),
                 14, "an exception in B only", "step", id="exception"),
    pytest.param(steps(count=11), 23, "a call in A only", None, id="one-call-less"),
    pytest.param(SAME[:-9], 17, "B ends here, the other goes on", "main", id="cut-short"),
    pytest.param(SAME + [plugin("end_test", 101, nodeid="t", outcome="failed")], 26,
                 "A ends here, the other goes on", None, id="longer"),
])
def test_diff_parts_at_the_first_difference(tmp_path, monkeypatch, window, b, index, kind, caller):
    monkeypatch.setattr(diffing, "WINDOW", window)
    database = tmp_path / "db.sqlite3"
    store(database, "trc_A", SAME)
    store(database, "trc_B", b)
    _, _, results = diffing.diff_traces(open_trace(database, "trc_A"), open_trace(database, "trc_B"))
    ((thread_a, thread_b, parting),) = results
    assert (thread_a.name, thread_b.name) == ("MainThread", "MainThread")
    assert (None, None) if parting is None else (parting.index, parting.kind) == (index, kind)
    if parting is not None:
        seen = parting.b or parting.a
        assert (seen.caller and seen.caller.record["qualname"]) == caller


def test_diff_of_a_test_run_twice(tmp_path, capsys):
    database = tmp_path / "db.sqlite3"

    def test_trace(discount, outcome):
        return [plugin("start_test", 0, nodeid="t.py::test_price"),
                *span("test_price", 1, 9, span("price", 2, 8, span("discount", 3, 4, ret=discount, qty=5),
                                                ret=100 - discount, unit=1)),
                plugin("end_test", 10, nodeid="t.py::test_price", outcome=outcome, when="call")]

    store(database, "trc_BEFORE", test_trace(0, "passed"))
    store(database, "trc_OTHER", span("f", 0, 1))
    store(database, "trc_NOW", test_trace(15, "failed"))
    status, out, err = run(capsys, "diff", "--db", database, "--test", "test_price")
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0].startswith("A  trc_BEFORE") and lines[1].startswith("B  trc_NOW")
    # The parting calls end with their frame ids, to show them by.
    assert all(line.split()[-1].startswith("frm_") for line in lines[6:8])
    assert [line.rsplit("  ", 1)[0] if line[0] in "AB" else line for line in lines[3:]] == [
        "MainThread: parts after 4 records alike: a different return value",
        "   test_price()  app.py:10",
        "   └─ price(unit=1)  app.py:10",
        "A     └─ discount(qty=5) -> 0  app.py:10",
        "B     └─ discount(qty=5) -> 15  app.py:10",
        "   returns: A 0, B 15",
    ]


def test_diff_pairs_threads_by_name(tmp_path):
    database = tmp_path / "db.sqlite3"
    store(database, "trc_A", SAME, {200: steps(thread=WORKER)})
    store(database, "trc_B", SAME, {300: steps(thread=("other", 300)), 201: steps(thread=WORKER, count=3)})
    _, _, results = diffing.diff_traces(open_trace(database, "trc_A"), open_trace(database, "trc_B"))
    summary = [(a and a.name, b and b.name, parting and parting.index) for a, b, parting in results]
    assert summary == [("MainThread", "MainThread", None), ("worker", "worker", 7), (None, "other", None)]


@pytest.mark.parametrize("keep, older_than, gone", [
    (2, None, ["c", "d"]),
    (None, 1.5, ["c", "d"]),
    (None, 0.5, ["b", "c", "d"]),
    (3, 2.5, ["d"]),
    (1, 10, ["b", "c", "d"]),
    (0, None, ["a", "b", "c", "d"]),
])
def test_prune_chooses(keep, older_than, gone):
    now = 1_800_000_000.0
    traces = [db.TraceSummary(name, now - age * 24 * 3600, None, 1, 1, 1)
              for name, age in zip("abcd", (0, 1, 2, 3))]
    assert pruned(traces, keep, older_than, now) == gone


def test_rm_and_prune_shrink_the_database(tmp_path, capsys):
    database = tmp_path / "db.sqlite3"
    noise = [span("f", i, i + 0.5, text=os.urandom(2000).hex()) for i in range(50)]
    for name in ("trc_BIG1", "trc_BIG2"):
        store(database, name, [record for call in noise for record in call])
    store(database, "trc_SMALL1", span("f", 0, 1))
    store(database, "trc_SMALL2", span("g", 0, 1))
    def size():
        return sum(os.path.getsize(path) for path in (database, f"{database}-wal") if os.path.exists(path))

    before = size()
    assert run(capsys, "rm", "--db", database, "trc_BIG2", "trc_BIG1")[:2] == (0, "trc_BIG2\ntrc_BIG1\n")
    assert size() < before / 4
    assert [s.trace_id for s in db.list_traces(database)] == ["trc_SMALL2", "trc_SMALL1"]
    assert run(capsys, "prune", "--db", database, "--keep", "1")[:2] == (0, "trc_SMALL1\n")
    assert [s.trace_id for s in db.list_traces(database)] == ["trc_SMALL2"]
    assert run(capsys, "show", "--db", database)[0] == 0


@pytest.mark.parametrize("args, message, status", [
    (["rm"], "vesk: rm: give the traces to remove", 2),
    (["rm", "trc_NONE"], "vesk: no trace trc_NONE in", 1),
    (["prune"], "vesk: prune: say what to remove", 2),
    (["diff", "trc_A"], "vesk: trc_A is the latest trace", 1),
    (["diff", "--test", "nothing"], "vesk: no test trace matches 'nothing'", 1),
    (["stats", "trc_NONE"], "vesk: no trace trc_NONE in", 1),
])
def test_errors_are_one_line(tmp_path, capsys, args, message, status):
    database = tmp_path / "db.sqlite3"
    store(database, "trc_A", SAME)
    result, out, err = run(capsys, *args, "--db", database)
    assert result == status and err.startswith(message) and len(err.splitlines()) == 1, err


FOCUS = span("app.main", 0, 20,
             span("app.a", 1, 6, span("app.target", 2, 5, span("app.inner", 3, 4), x=1)),
             span("app.b", 7, 8),
             span("app.c", 9, 19, span("app.target", 10, 18, span("app.target", 11, 12, x=3), x=2)))


@pytest.mark.parametrize("options, expected", [
    (["--function", "target"], ["app.main()", "├─ app.a()", "│  └─ app.target(x=1)", "│     └─ app.inner()",
                                "└─ app.c()", "   └─ app.target(x=2)", "      └─ app.target(x=3)"]),
    (["--function", "targ*", "--depth", "1"], ["app.main()", "├─ app.a()", "│  └─ app.target(x=1) -> None  [3.00 ms]  [+1",
                                               "└─ app.c()", "   └─ app.target(x=2) -> None  [8.00 ms]  [+1"]),
    (["--function", "app.t?rget", "--limit", "3"], ["app.main()", "├─ app.a()", "│  └─ app.target(x=1)",
                                                    "… 4 more calls"]),
    (["--function", "inner"], ["app.main()", "└─ app.a()", "   └─ app.target(x=1)", "      └─ app.inner()"]),
    (["--thread", "work"], ["app.w()"]),
    (["--thread", "work", "--function", "main"], None),
])
def test_show_chosen_functions_and_threads(tmp_path, capsys, options, expected):
    database = tmp_path / "db.sqlite3"
    store(database, "trc_F", FOCUS, {200: span("app.w", 0, 1, thread=WORKER)})
    status, out, err = run(capsys, "show", "--db", database, *options)
    if expected is None:
        assert status == 1 and err.startswith("vesk: no call of a function matching 'main'")
        return
    assert status == 0, err
    threads = out.split("\n\n")[1:]
    assert len(threads) == 1  # threads without a match are left out
    lines = threads[0].splitlines()[1:]
    assert len(lines) == len(expected) and all(line.startswith(start) for line, start in zip(lines, expected)), lines
    # A matched call ends with its frame id, to show it in full by.
    assert all(line.endswith(("0", "1", "2", "3", "4", "5", "6", "7", "8", "9")) for line in lines if "target(" in line)


def test_show_one_call_in_full(tmp_path, capsys):
    database = tmp_path / "db.sqlite3"
    long_text = "word " * 200
    records = span("app.main", 0, 20, span("app.handle", 1, 9, span("app.inner", 2, 3), ret={"ok": long_text},
                                           site=42, text=long_text, n=7))
    records.insert(-2, plugin("exception", 8.5, frame_id=records[1]["frame_id"], exception="builtins.KeyError",
                              message="'k'", origin="raised", caught=False))
    store(database, "trc_C", records)
    wanted = records[1]["frame_id"]
    status, out, err = run(capsys, "show", "--db", database, "--call", wanted[-3:])
    assert status == 0, err
    lines = out.splitlines()
    fields = dict(line.split(None, 1) for line in lines[:lines.index("")])
    assert fields["call"] == "app.handle" and fields["frame"] == wanted and fields["took"] == "8.00 ms"
    assert fields["called"] == "from app.main at app.py:42" and fields["made"] == "1 call directly, 1 in all"
    assert f"  text = {long_text.strip()!r}"[:-1] in out  # unabridged
    assert "  n = 7" in lines and "return value" not in lines  # it raised: the None returned is the hook's
    assert lines[-8:] == ["raised", "  KeyError(\"'k'\")", "", "exception", "  exception = 'builtins.KeyError'",
                          "  message = \"'k'\"", "  origin = 'raised'", "  caught = False"]
    status, _, err = run(capsys, "show", "--db", database, "--call", "frm_")
    assert status == 1 and err.startswith("vesk: frame id frm_ is ambiguous")


def test_stats_sorts_are_the_command_line_choices():
    from vesk.__main__ import STATS_SORTS
    from vesk.view.stats import SORTS

    assert set(STATS_SORTS) == set(SORTS)


def test_native_stats_add_up_as_the_reference_walker(tmp_path):
    import threading

    import vesk
    from vesk.view.stats import StatsWalker, read_stats
    from vesk.view.trace import read_trace

    def fib(n):
        return n if n < 2 else fib(n - 1) + fib(n - 2)

    def numbers(n):
        for i in range(n):
            yield fib(i)

    def fails():
        raise ValueError("no")

    def work():
        sum(numbers(6))
        try:
            fails()
        except ValueError:
            pass

    with vesk.enable(db_path=tmp_path / "t.sqlite3") as profiler:
        work()
        worker = threading.Thread(target=work)
        worker.start()
        worker.join()

    def table(trace):
        return sorted((t.name, name, f.line, f.calls, f.outer, f.returned, f.timed, f.total, f.own)
                      for t in trace.threads for (name, _), f in t.walker.functions.items())

    stored = open_trace(tmp_path / "t.sqlite3", profiler.trace_id)
    native, reference = read_stats(stored), read_trace(stored, lambda: StatsWalker)
    assert table(native) == table(reference) and len(table(native)) >= 8


@pytest.mark.parametrize("verb", ["show", "stats", "diff", "rm"])
def test_a_node_id_copied_from_pytest_finds_its_test(tmp_path, capsys, verb):
    database = tmp_path / "db.sqlite3"
    for trace_id, param in [("trc_ONE", 1), ("trc_TWO", 2), ("trc_ONE_AGAIN", 1)]:
        nodeid = f"test_edge.py::test_param[{param}]"
        store(database, trace_id, [plugin("start_test", 0, nodeid=nodeid), *span(f"case_{param}", 1, 2),
                                   plugin("end_test", 3, nodeid=nodeid, outcome="passed", when="call")])
    status, out, err = run(capsys, verb, "--db", database, "--test", "test_edge.py::test_param[1]")
    assert status == 0, err
    if verb == "rm":
        assert sorted(s.trace_id for s in db.list_traces(database)) == ["trc_TWO"]
    elif verb == "diff":
        assert "trc_ONE " in out and "trc_ONE_AGAIN" in out
    else:
        assert "case_1" in out and "case_2" not in out


def test_without_an_id_the_program_is_shown_not_a_child_saved_after_it(tmp_path, capsys):
    database = tmp_path / "db.sqlite3"
    store(database, "trc_EARLIER", span("earlier", 0, 1))
    # multiprocessing's resource tracker outlives the program that started it: its trace is
    # saved last.
    store(database, "trc_PROGRAM", span("program", 0, 1))
    db.note_parent("trc_HELPER", "trc_PROGRAM", 1)
    store(database, "trc_HELPER", span("helper", 0, 1))
    assert db.latest_trace_id(database) == "trc_PROGRAM"
    status, out, err = run(capsys, "show", "--db", database, "--children")
    assert status == 0, err
    assert out.startswith("trace    trc_PROGRAM") and "trc_HELPER" in out
    # The listing gives the time the trace began, as show does, not the time it was saved.
    shown = next(line for line in out.splitlines() if line.startswith("started"))
    status, out, _ = run(capsys, "traces", "--db", database)
    assert shown.split(None, 1)[1] in out.splitlines()[1]


ENDINGS = """
def boom(x):
    raise ValueError(x)

def gen(n):
    yield from range(n)

def main():
    try:
        boom(3)
    except ValueError:
        pass
    for _ in gen(2):
        pass

main()
"""


def test_show_function_tells_how_calls_ended_as_the_plain_view_does(tmp_path, capsys):
    (tmp_path / "endings.py").write_text(ENDINGS)
    database = tmp_path / "db.sqlite3"
    subprocess.run([sys.executable, "-m", "vesk", "run", "--db", str(database), "endings.py"], cwd=tmp_path,
                   check=True, capture_output=True)
    _, plain, _ = run(capsys, "show", "--db", database)
    for function in ("boom", "gen"):
        status, out, err = run(capsys, "show", "--db", database, "--function", function)
        assert status == 0, err
        # The call's own text, without the tree's branches (which differ) or the frame id.
        matched = [line.rsplit("  ", 1)[0].split("__main__.", 1)[1] for line in out.splitlines()
                   if f"{function}(" in line]
        assert matched and all(line in plain for line in matched), (matched, plain)
