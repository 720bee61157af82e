"""Many threads recording at once."""

import threading

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
