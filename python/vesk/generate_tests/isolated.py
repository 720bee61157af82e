"""A test for one recorded call, made in a process of its own: the viewer imports none of the
program's modules, so whatever they do when imported, and whatever a trace names, happens
elsewhere, and only when someone asked for that test.

The request (the trace's parts and the call) comes on standard input as MessagePack; the answer,
{"source": ...} or {"reason": ...}, goes to standard output as JSON. Whatever the program's
modules print when imported goes to standard error.
"""

import json
import os
import subprocess
import sys

import msgpack

__all__ = ["IsolatedFailed", "test_source_isolated"]

TIMEOUT = 60  # seconds: importing a project's modules takes a few at most
_ANSWER_LIMIT = 16 << 20


class IsolatedFailed(Exception):
    """The process that writes the test did not answer: one line saying why."""


def test_source_isolated(parts, trace_id, thread, frame_id, children_started, roots):
    """{"source": the test module} or {"reason": why the call cannot be one}, made by a process
    of its own from the trace's parts (decoded MessagePack, as bytes)."""
    request = msgpack.packb({"parts": [bytes(p) for p in parts], "trace_id": trace_id, "thread": thread,
                             "frame_id": frame_id, "children_started": list(children_started),
                             "roots": [os.fspath(r) for r in roots]})
    env = {key: value for key, value in os.environ.items() if not key.startswith("VESK_")}
    try:
        done = subprocess.run([sys.executable, "-m", "vesk.generate_tests.isolated"], input=request,
                              capture_output=True, timeout=TIMEOUT, env=env, cwd=roots[0] if roots else None)
    except subprocess.TimeoutExpired:
        raise IsolatedFailed(f"writing the test took over {TIMEOUT} s") from None
    except OSError as error:
        raise IsolatedFailed(f"cannot start the process that writes tests: {error.strerror or error}") from None
    try:
        answer = json.loads(done.stdout[:_ANSWER_LIMIT]) if done.stdout else None
    except ValueError:
        answer = None
    if done.returncode != 0 or not isinstance(answer, dict):
        last = done.stderr.decode("utf-8", "replace").strip().splitlines()[-1:] or [f"status {done.returncode}"]
        raise IsolatedFailed(f"the process that writes tests failed: {last[0][:200]}")
    return answer


def _main():
    answer_to = os.fdopen(os.dup(1), "w", encoding="utf-8")
    os.dup2(2, 1)  # what the program's modules print stays out of the answer
    request = msgpack.unpackb(sys.stdin.buffer.read(), raw=False, strict_map_key=False)
    from vesk.generate_tests import Unfaithful, generate
    from vesk.view.trace import trace_from_parts

    trace = trace_from_parts(request["parts"], request["trace_id"])
    thread = request.get("thread")
    if thread is not None:
        trace.threads = [t for t in trace.threads if t.name == thread] or trace.threads
    frame_id = request["frame_id"]
    generated = generate(trace, frame_id=frame_id, children_started=request["children_started"],
                         roots=request["roots"] or None)
    if generated.cases:
        answer = {"source": generated.source()}
    else:
        reasons = list(generated.skipped)
        answer = {"reason": str(Unfaithful(reasons[0] if reasons else f"no call {frame_id} of the program's functions"))}
    json.dump(answer, answer_to)
    answer_to.close()


if __name__ == "__main__":
    _main()
