"""Where the time of a trace goes, as the viewer's API tells: calls merged by call path, the table
of functions (the figures of `vesk stats`), and the stretch of a trace that the timeline opens on."""

import json
import subprocess
import sys
import textwrap

import pytest

from ui_trace import LEAD, record, record_tests
from vesk.ui.aggregate import Profile
from vesk.ui.api import Api, ApiError

PROGRAM = """
import threading

def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

def numbers(n):
    for i in range(n):
        yield square(i)

def square(x):
    return x * x

def branch(n):
    return fib(n) + sum(numbers(n))

def other(n):
    return branch(n) + square(n)

def main():
    worker = threading.Thread(target=other, args=(6,), name="helper")
    worker.start()
    worker.join()
    return branch(8) + other(5) + sum(numbers(3))

main()
"""


@pytest.fixture(scope="module")
def database(tmp_path_factory):
    folder = tmp_path_factory.mktemp("time")
    (folder / "prog.py").write_text(textwrap.dedent(PROGRAM))
    subprocess.run([sys.executable, "-m", "vesk", "run", "prog.py"], cwd=folder, check=True, capture_output=True,
                   timeout=60)
    return folder / ".vesk" / "db.sqlite3"


@pytest.fixture(scope="module")
def api(database):
    api = Api(str(database))
    (listed,) = api.answer(["traces"], {})
    api.trace_id = listed["id"]
    yield api
    api.close()


@pytest.fixture(scope="module")
def index(database):
    from vesk.ui.index import build_index
    from vesk.view.trace import open_trace

    index = build_index(open_trace(database))
    yield index
    index.close()


def ask(api, what, **query):
    return api.answer(["trace", api.trace_id, *([what] if what else [])], {k: str(v) for k, v in query.items()})


def test_the_table_is_what_vesk_stats_prints(api, database):
    printed = subprocess.run([sys.executable, "-m", "vesk", "stats", "--db", str(database), "--json"],
                             capture_output=True, text=True, check=True, timeout=60)
    expected = {row["function"]: row for row in json.loads(printed.stdout)["functions"]}
    answer = ask(api, "profile", sort="calls")
    shown = {name: (where, calls, total, own, mean) for name, where, calls, total, own, mean in answer["functions"]}
    assert set(shown) == set(expected) and answer["function_count"] == len(expected)
    for name, (where, calls, total, own, mean) in shown.items():
        row = expected[name]
        assert where == f"{row['file']}:{row['line']}" and calls == row["calls"], name
        # A generator's resumptions are no calls; recursion is counted once in the total.
        assert (total, own, mean) == pytest.approx((row["total"], row["own"], row["mean"]), rel=1e-9, abs=1e-12)
    assert [r[2] for r in answer["functions"]] == sorted((r[2] for r in answer["functions"]), reverse=True)


def paths_by_chain(answer):
    names, paths = answer["names"], {p[0]: p for p in answer["paths"]}

    def chain(path):
        return () if path[1] < 0 else (*chain(paths[path[1]]), names[path[2]])

    return {chain(p): p for p in answer["paths"]}


@pytest.mark.parametrize("scope, top", [
    ({}, {"__main__.<module>", "__main__.other"}),  # both threads, merged by path
    ({"thread": 1}, {"__main__.other"}),
])
def test_paths_add_up(index, scope, top):
    threads = list(enumerate(index.threads))
    profile = Profile(threads if not scope else [threads[scope["thread"]]])
    shown, hidden = profile.tree(0, smallest=0)
    answer = {"names": profile.names, "paths": shown}
    paths = paths_by_chain(answer)
    assert hidden == 0 and {chain[0] for chain in paths if len(chain) == 1} == top
    for path in answer["paths"]:
        kids = [p for p in answer["paths"] if p[1] == path[0]]
        assert path[5] == pytest.approx(path[4] - sum(k[4] for k in kids), abs=1e-9)  # self is what calls leave
        assert path[5] >= 0
    # Recursion makes a path per depth, each call of the path counted there once.
    fib = [chain for chain in paths if chain and chain[-1] == "__main__.fib"]
    assert max(len(chain) for chain in fib) >= 8
    if not scope:
        assert paths[("__main__.<module>", "__main__.main", "__main__.branch", "__main__.fib")][3] == 1
        assert paths[("__main__.<module>", "__main__.main", "__main__.numbers")][3] == 1  # resumptions are no calls
        assert paths[("__main__.<module>", "__main__.main", "__main__.numbers", "__main__.square")][3] == 3


def test_focus_on_a_path_and_on_a_call(api):
    whole = paths_by_chain(ask(api, "profile"))
    branch = whole[("__main__.<module>", "__main__.main", "__main__.branch")]
    focused = ask(api, "profile", root=branch[0])
    top = focused["paths"][0]
    assert (top[:2], focused["names"][top[2]], top[3:]) == (branch[:2], "__main__.branch", branch[3:])
    assert {p[1] for p in focused["paths"][1:]} <= {p[0] for p in focused["paths"]}
    assert len(focused["names"]) == len({p[2] for p in focused["paths"]} | {f for _, f in focused["chain"]})
    assert [focused["names"][name] for _, name in focused["chain"]] == ["__main__.<module>", "__main__.main", "__main__.branch"]
    # One call: its own paths only, and the table of the functions it ran.
    (match,) = [m for m in ask(api, "search", q="other")["matches"] if m["thread"] == 0]
    call = ask(api, "node", thread=0, node=match["id"])
    answer = ask(api, "profile", thread=0, node=match["id"])
    assert answer["scope"] == pytest.approx(call["end"] - call["start"])
    assert {chain[0] for chain in paths_by_chain(answer) if chain} == {"__main__.other"}
    assert "__main__.main" not in {row[0] for row in answer["functions"]}


def test_a_request_gets_a_bounded_part(index):
    profile = Profile(list(enumerate(index.threads)))
    shown, hidden = profile.tree(0, smallest=0, limit=5)
    ids = {p[0] for p in shown}
    assert len(shown) == 5 and hidden == len(profile.parents) - 5
    assert all(p[1] in ids for p in shown[1:])  # a path comes with the paths it was called from
    assert [p[4] for p in shown] == sorted((p[4] for p in shown), reverse=True)
    shown, _ = profile.tree(0, smallest=0.5)
    assert all(p[4] >= 0.5 * profile.totals[0] for p in shown)


@pytest.mark.parametrize("query, status", [
    ({"sort": "size"}, 400), ({"root": "100000"}, 404), ({"node": "0"}, 400), ({"thread": "9"}, 404),
    ({"thread": "0", "node": "0x"}, 400),
])
def test_bad_profile_requests_are_one_line(api, query, status):
    with pytest.raises(ApiError) as error:
        ask(api, "profile", **query)
    assert error.value.status == status and "\n" not in str(error.value)


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    """The viewer's program (which waits before its calls) and a pytest session, in one database."""
    folder = tmp_path_factory.mktemp("focus")
    record(folder)
    api = Api(str(record_tests(folder)))
    yield api, {t["test"] or t["source"]: t["id"] for t in api.traces()}
    api.close()


def test_timeline_opens_where_the_calls_are(traces):
    api, ids = traces
    for name, call in [("vesk run prog.py", "__main__.main"),
                       ("test_recorded.py::test_fails", "test_recorded.test_fails")]:
        trace = api.answer(["trace", ids[name]], {})
        low, high = trace["threads"][0]["low"], max(t["high"] for t in trace["threads"])
        (match,) = api.answer(["trace", ids[name], "search"], {"q": call})["matches"]
        node = api.answer(["trace", ids[name], "node"], {"thread": "0", "node": str(match["id"])})
        start, end = trace["focus"]
        assert start <= node["start"] and node["end"] <= end, name
        assert end - start < 0.2 * (high - low), name  # the trace's own start and end are left out
    prog = api.answer(["trace", ids["vesk run prog.py"]], {})
    assert prog["focus"][0] > prog["threads"][0]["low"] + LEAD * 0.9
    # A test whose call is most of its trace is shown whole.
    assert api.answer(["trace", ids["test_recorded.py::test_slow"]], {})["focus"] is None


def test_marks_say_what_they_mark(traces):
    api, ids = traces
    trace = api.answer(["trace", ids["test_recorded.py::test_fails"]], {})
    thread = trace["threads"][0]
    flame = api.answer(["trace", trace["id"], "flame"], {"thread": "0", "low": str(thread["low"]), "high": str(thread["high"])})
    texts = {mark[2]: mark[3] for mark in flame["marks"]}
    assert texts["start_test"] == "nodeid=test_recorded.py::test_fails"
    assert "outcome=failed" in texts["end_test"]
