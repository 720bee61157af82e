"""Many threads recording at once."""

import threading

import pytest

CALLS_PER_THREAD = 3000
THREADS = 8


def step(worker, index):
    return worker * 1_000_000 + index


def work(worker, barrier):
    barrier.wait()
    for index in range(CALLS_PER_THREAD):
        step(worker, index)


def test_every_call_and_return_is_kept_once_under_its_thread(recording):
    barrier = threading.Barrier(THREADS)
    threads = [threading.Thread(target=work, args=(n, barrier), name=f"worker-{n}")
               for n in range(THREADS)]
    with recording(config={"threading": True}) as host:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    trace = recording.decode(host)
    assert set(trace["frames"]) == {thread.native_id for thread in threads}
    for thread in threads:
        worker = int(thread.name.split("-")[1])
        records = [r for r in trace["frames"][thread.native_id] if r["co_name"] == "step"]
        assert {(r["thread"], r["thread_native_id"]) for r in records} == {
            (thread.name, thread.native_id)}
        calls = [r for r in records if r["event"] == "call"]
        returns = [r for r in records if r["event"] == "return"]
        assert [r["locals"]["index"] for r in calls] == list(range(CALLS_PER_THREAD))
        assert [r["arg"] for r in returns] == [step(worker, i) for i in range(CALLS_PER_THREAD)]
        assert [r["frame_id"] for r in calls] == [r["frame_id"] for r in returns]
        assert len({r["frame_id"] for r in calls}) == CALLS_PER_THREAD
        assert {r["locals"]["worker"] for r in records} == {worker}


def marked(n):
    return n


def in_a_thread(n):
    thread = threading.Thread(target=marked, args=(n,))
    thread.start()
    thread.join()


def recorded_marks(path, profiler):
    from vesk.view.trace import load_trace

    trace = load_trace(path, profiler.trace_id)
    return sorted(r["arg"] for t in trace.threads for r in t.records
                  if r.get("co_name") == "marked" and r.get("event") == "return")


def stop_elsewhere(profiler):
    thread = threading.Thread(target=profiler.stop)
    thread.start()
    thread.join()


# Orders of start and stop of two recordings A (outer) and B: after each step, a thread is started
# that calls marked(step); each live recording must record it.
ORDERS = {
    "nested": ["start A", "start B", "stop B", "stop A"],
    "interleaved": ["start A", "start B", "stop A", "stop B"],
    "stopped from another thread": ["start A", "start B", "stop A elsewhere", "stop B elsewhere"],
}


@pytest.mark.parametrize("hook", ["profile", "monitoring"])
@pytest.mark.parametrize("order", ORDERS.values(), ids=ORDERS.keys())
def test_each_live_recording_records_the_threads_started_in_any_order(tmp_path, monkeypatch, order, hook):
    import sys

    import vesk

    if hook == "monitoring" and sys.version_info < (3, 12):
        pytest.skip("no sys.monitoring before 3.12")
    if hook == "profile":
        monkeypatch.setenv("VESK_HOOK", "profile")
    else:
        monkeypatch.delenv("VESK_HOOK", raising=False)
    path = tmp_path / "db.sqlite3"
    before = threading.getprofile()
    profilers, live, expected = {}, set(), {"A": [], "B": []}
    for step, action in enumerate(order, 1):
        verb, name, *where = action.split()
        if verb == "start":
            profilers[name] = vesk.Profiler(vesk.profiler.make_config(), db_path=path)
            profilers[name].start()
            live.add(name)
        else:
            (stop_elsewhere if where else type(profilers[name]).stop)(profilers[name])
            live.discard(name)
        in_a_thread(step)
        for name in live:
            expected[name].append(step)
    assert threading.getprofile() is before
    for name, profiler in profilers.items():
        profiler.save()
        assert recorded_marks(path, profiler) == expected[name], name


def test_a_programs_own_threading_hook_stays_after_a_recording(tmp_path):
    import vesk

    def own_hook(frame, event, arg):
        pass

    try:
        with vesk.enable(tmp_path / "db.sqlite3"):
            threading.setprofile(own_hook)
        assert threading.getprofile() is own_hook
    finally:
        threading.setprofile(None)
