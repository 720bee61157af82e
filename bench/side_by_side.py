"""The cost of recording, side by side with cProfile and VizTracer on the same work.

Each (workload, mode) runs in a fresh subprocess, R times, interleaved; the best time counts. The
workload files live in a temporary folder, so that every profiler treats them as user code.

    .venv/bin/python bench/side_by_side.py [--repeat R] [--only W ...] [--modes M ...]

Per workload: profile events, ns per event, overhead per event over the plain run, that overhead
against cProfile's, the slowdown, memory held while recording per event, and the serialised size
per record. Modes: plain, cprofile, viztracer, viztracer-args (log_func_args and
log_func_retval), vesk, vesk-light (--lightweight) and vesk-engine (vesk with a serialiser that
returns a constant: the engine's own cost). vesk runs without parts (part_size=0), so that, as for
VizTracer, what is timed is recording and not saving: bench/big_trace.py measures saving. The two "bounded" workloads hold values whose full
serialisation would grow with their size: a cost per event close to the "objects" one shows that
each value's cost is bounded.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import textwrap

WORKLOADS = {
    # Small frames, small arguments: the cost per event of the machinery itself.
    "micro": """
        def leaf(a, b):
            c = a + b
            return c
        def recursive(n):
            if n == 0:
                return 0
            return leaf(n, 1) + recursive(n - 1)
        def iterative(n):
            total = 0
            for i in range(n):
                total += leaf(i, 2)
            return total
        def run(rounds=N):
            for _ in range(rounds):
                recursive(200) + iterative(300)
    """,
    # Realistic values: dicts, lists, strings and objects as arguments, locals and results.
    "objects": """
        class Order:
            def __init__(self, oid, lines, customer):
                self.oid = oid
                self.lines = lines
                self.customer = customer
            def total(self):
                return sum(line_total(l) for l in self.lines)
        def line_total(line):
            price = line["price"]
            qty = line["qty"]
            return price * qty
        def make_order(i):
            lines = [{"sku": "sku-%d" % j, "price": 1.5 * j, "qty": j % 3 + 1} for j in range(8)]
            return Order(i, lines, {"name": "customer %d" % i, "tags": ["a", "b", "c"]})
        def summarise(orders):
            out = {}
            for o in orders:
                out[o.oid] = round(o.total(), 2)
            return out
        def run(rounds=N):
            for _ in range(rounds):
                summarise([make_order(i) for i in range(20)])
    """,
    # Request handling whose frames hold secrets (a password, an authorization header): vesk
    # stores markers in their place, which takes its serialisers' general way for those frames.
    "secrets": """
        def check(user, password):
            return len(password) > 8 and user.isalpha()
        def handle(i, headers):
            session = {"user": "user%d" % i, "token": "t%08d" % i}
            ok = check(session["user"].rstrip("0123456789"), "hunter2-%d" % i)
            return {"status": 200 if ok else 401, "length": len(headers["Authorization"])}
        def run(rounds=N):
            for _ in range(rounds):
                for i in range(50):
                    handle(i, {"Accept": "text/html", "Authorization": "Bearer abcdefgh%d" % i})
    """,
    # User code that leans on the standard library: most frames are filtered out.
    "library": """
        import json, re, collections, textwrap
        WORD = re.compile(r"[a-z]+")
        def words(text):
            return WORD.findall(text.lower())
        def count(text):
            return collections.Counter(words(text)).most_common(3)
        def report(text):
            data = {"top": count(text), "wrapped": textwrap.wrap(text, 30)}
            return json.loads(json.dumps(data))
        TEXT = "The quick brown fox jumps over the lazy dog. " * 4
        def run(rounds=N):
            for _ in range(rounds):
                report(TEXT)
    """,
    # A generator resumed again and again with a big deque of big integers among its locals.
    "bounded-deque": """
        import collections
        def window():
            recent = collections.deque((10 ** 40 + i for i in range(1500)), maxlen=1500)
            i = 0
            while True:
                recent.append(10 ** 40 + i)
                i += 1
                yield i
        def run(rounds=N):
            stream = window()
            for _ in range(rounds):
                next(stream)
    """,
    # A linked list of nested 2-item lists, walked by a function that holds its head.
    "bounded-nested": """
        def build(n):
            head = None
            for i in range(n):
                head = [i, head]
            return head
        HEAD = build(100_000)
        def second(node):
            return node[1][0]
        def walk(head, steps):
            total = 0
            node = head
            for _ in range(steps):
                total += second(node)
                node = node[1]
            return total
        def run(rounds=N):
            for _ in range(rounds):
                walk(HEAD, 100)
    """,
}
ROUNDS = {"micro": 200, "objects": 150, "secrets": 400, "library": 600, "bounded-deque": 20_000,
          "bounded-nested": 100}

RUNNER = r"""
import gc, json, os, sys, time, types
sys.path.insert(0, %(folder)r)
import workload
mode = %(mode)r
out = {}
def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
workload.run(2)  # warm up imports and caches
gc.collect()
if mode == "count":
    n = [0]
    def counter(frame, event, arg):
        if event in ("call", "return"):
            n[0] += 1
    sys.setprofile(counter); workload.run(); sys.setprofile(None)
    out["events"] = n[0]
else:
    before = rss_kb()
    if mode == "plain":
        t = time.perf_counter(); workload.run(); t = time.perf_counter() - t
    elif mode == "cprofile":
        import cProfile
        p = cProfile.Profile(); p.enable()
        t = time.perf_counter(); workload.run(); t = time.perf_counter() - t
        p.disable()
    elif mode.startswith("viztracer"):
        from viztracer import VizTracer
        args = mode == "viztracer-args"
        v = VizTracer(tracer_entries=20_000_000, log_func_args=args, log_func_retval=args,
                      verbose=0)
        v.start()
        t = time.perf_counter(); workload.run(); t = time.perf_counter() - t
        v.stop()
        out["held_kb"] = rss_kb() - before
    elif mode.startswith("vesk"):
        import msgpack
        import vesk
        from vesk.profiler import Profiler, make_config
        if mode == "vesk-engine":
            constant = types.ModuleType("vesk.serialize")
            constant.dump_msgpack = constant.dump_msgpack_lightweight_repr = lambda value: b"\xc0"
            sys.modules["vesk.serialize"] = constant
        p = Profiler(make_config(lightweight=mode == "vesk-light", part_size=0),
                     db_path=os.path.join(%(folder)r, "db.sqlite3"))
        p.start()
        t = time.perf_counter(); workload.run(); t = time.perf_counter() - t
        p.stop()
        out["held_kb"] = rss_kb() - before
        trace = p.rust_profiler.build_trace()
        decoded = msgpack.unpackb(trace, strict_map_key=False)
        records = len(decoded["frames_of_interest"]) + sum(map(len, decoded["frames"].values()))
        out["record_bytes"] = len(trace) / max(records, 1)
    out["t"] = t
print(json.dumps(out))
"""

MODES = ["plain", "cprofile", "viztracer", "viztracer-args", "vesk", "vesk-light", "vesk-engine"]


def run(python, folder, mode):
    code = RUNNER % {"folder": folder, "mode": mode}
    r = subprocess.run([python, "-c", code], capture_output=True, text=True, cwd=folder)
    if r.returncode != 0:
        return {"error": (r.stderr.strip().splitlines() or ["?"])[-1]}
    return json.loads(r.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", nargs="*", default=list(WORKLOADS))
    ap.add_argument("--modes", nargs="*", default=MODES)
    a = ap.parse_args()
    python = os.path.abspath(os.environ.get("PYTHON", sys.executable))  # each run has its own cwd
    print(f"Python {sys.version.split()[0]}; best of {a.repeat}; ns per profile event")
    for name in a.only:
        with tempfile.TemporaryDirectory(prefix="sbs-") as folder:
            report(a, python, name, folder)


def report(a, python, name, folder):
    with open(os.path.join(folder, "workload.py"), "w") as f:
        f.write(textwrap.dedent(WORKLOADS[name]).replace("=N", "=%d" % ROUNDS[name]))
    events = run(python, folder, "count")["events"]
    best = {}
    for _ in range(a.repeat):
        for mode in a.modes:  # interleaved, so drift hits every mode alike
            r = run(python, folder, mode)
            if "error" in r:
                best[mode] = r
                continue
            if mode not in best or r["t"] < best[mode]["t"]:
                best[mode] = r
    plain = best["plain"]["t"]
    cpo = (best["cprofile"]["t"] - plain) / events * 1e9 if "t" in best.get("cprofile", {}) else None
    print("\n%s: %d profile events" % (name, events))
    print("%-15s %10s %10s %8s %10s %9s %9s" % ("mode", "ns/event", "over/evt", "x cProf",
                                                "slowdown", "held B/ev", "rec B"))
    for mode in a.modes:
        r = best.get(mode, {})
        if "t" not in r:
            print("%-15s %s" % (mode, r.get("error", "not run")))
            continue
        over = (r["t"] - plain) / events * 1e9
        held = r.get("held_kb")
        print("%-15s %10.0f %10.0f %8s %9.1fx %9s %9s" % (
            mode, r["t"] / events * 1e9, over,
            "%.1f" % (over / cpo) if cpo and mode != "plain" else "",
            r["t"] / plain,
            "%.0f" % (held * 1024 / events) if held is not None else "",
            "%.0f" % r["record_bytes"] if "record_bytes" in r else ""))


if __name__ == "__main__":
    main()
