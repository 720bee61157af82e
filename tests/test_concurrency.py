"""Several threads and processes recording and saving into one database at once."""

import subprocess
import sys
import textwrap

import msgpack

from vesk import db

PROCESSES = 4
THREADS = 8
TESTS = 10
SAVES = 5

WORKER = textwrap.dedent(f"""
    import sys, threading
    from vesk import _vesk

    def work(n):
        return n + 1

    def run_test(name):
        return [work(i) for i in range(20)]

    class Host:
        def __init__(self, trace_id, one_trace_per_test=False, plugins=()):
            self.config = {{"sqlite_busy_timeout": 60, "plugins": list(plugins)}}
            self.db_path, self.trace_id, self.source = sys.argv[1], trace_id, "concurrency"
            self.one_trace_per_test = one_trace_per_test
        def __call__(self):
            pass

    def saver(index):
        host = Host(f"trc_{{sys.argv[2]}}_thread_{{index}}")
        _vesk.register_profiler(host)
        for _ in range({SAVES}):
            for i in range(50):
                work(i)
            host.rust_profiler.save_request_in_db()
        _vesk.register_noop_profiler()

    threads = [threading.Thread(target=saver, args=(i,)) for i in range({THREADS})]
    for thread in threads:
        thread.start()
    boundaries = {{"co_names": ["run_test"], "path_fragment": "", "call_type": "start_test",
                  "return_type": "end_test"}}
    host = Host(f"trc_{{sys.argv[2]}}_main", one_trace_per_test=True, plugins=[boundaries])
    _vesk.register_profiler(host)
    for test in range({TESTS}):
        run_test(test)
    _vesk.register_noop_profiler()
    for thread in threads:
        thread.join()
    print("done")
""")


def test_threads_and_processes_save_into_one_database(tmp_path):
    path = tmp_path / "shared.sqlite3"
    script = tmp_path / "worker.py"
    script.write_text(WORKER)
    processes = [subprocess.Popen([sys.executable, str(script), str(path), f"p{n}"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for n in range(PROCESSES)]
    for process in processes:
        out, err = process.communicate(timeout=120)
        assert (process.returncode, out) == (0, "done\n"), err

    summaries = db.list_traces(path)
    per_test = [s for s in summaries if not s.trace_id.startswith("trc_p")]
    explicit = {s.trace_id: s for s in summaries if s.trace_id.startswith("trc_p")}
    assert len(per_test) == PROCESSES * TESTS
    assert all(s.parts == 1 for s in per_test)
    assert set(explicit) == {f"trc_p{p}_thread_{t}" for p in range(PROCESSES)
                             for t in range(THREADS)}
    for summary in per_test:
        (part,) = db.load_trace_parts(path, summary.trace_id)
        records = msgpack.unpackb(part, strict_map_key=False)["frames_of_interest"]
        assert records[0]["type"] == "start_test" and records[-1]["type"] == "end_test"
        assert sum(r.get("co_name") == "work" for r in records) == 40
    for summary in explicit.values():
        parts = db.load_trace_parts(path, summary.trace_id)
        assert len(parts) == SAVES
        for part in parts:
            records = msgpack.unpackb(part, strict_map_key=False)["frames_of_interest"]
            assert sum(r["co_name"] == "work" for r in records) == 100
