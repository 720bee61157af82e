"""A crafted part (its MessagePack, decompressed) read through vesk._vesk.Skim as the views read a
stored trace: `vesk show` (two outlines), `vesk stats`, `vesk export`, the viewer's index and its
node summaries, and the first records the trace list reads. Run against the extension built with
AddressSanitizer (scripts/fuzz), a crash of the native reader is a finding; and since the native
pass stands in for the companion package's walkers, what it prints must be what they print from
the trace loaded whole, as tests/test_stored_read.py asks of recorded traces.

The input is the part. ViewError (no part could be read) is the one error a view may meet."""

from harness import instrumented  # noqa: I001 - first: it chooses msgpack's decoder

import io
import math
import sys


with instrumented(__name__ == "__main__"):
    from vesk import _vesk
    from vesk.export import export_chrome, export_stored_trace
    from vesk.ui.index import build_index
    from vesk.ui.seek import part_starts
    from vesk.view import format_stored_trace, format_trace, trace_from_parts
    from vesk.view.stats import StatsWalker, read_stats
    from vesk.view.trace import ViewError, read_trace, unpack

OUTLINES = ({}, {"depth": 2, "limit": 3})


class InMemory:
    """A StoredTrace of one part, in memory."""

    trace_id = "trc_F"

    def __init__(self, blob):
        self.blob = blob

    def parts(self, reuse=False):
        return iter([self.blob])


def _or_error(read):
    """What read() returns, or the ViewError it raises."""
    try:
        return read()
    except ViewError as exc:
        return f"ViewError: {exc}"


def _exported(export, trace):
    out = io.StringIO()
    try:
        export(trace, out)
    except Exception as exc:  # both ways of reading meet it: compared, not a finding by itself
        return repr(exc)
    return out.getvalue()


def _functions(trace):
    """Per thread what `vesk stats` shows of it: its counts exact, its times as floats."""
    if isinstance(trace, str):
        return trace, []
    exact, times = [], []
    for thread in trace.threads:
        events = thread.walker.events
        exact.append((thread.name, thread.native_id, dict(events.counts), events.statements))
        times += [events.sql_time, events.http_time]
        for key, f in sorted(thread.walker.functions.items(), key=repr):
            exact.append((key, f.calls, f.outer, f.returned, f.timed, f.line))
            times += [f.total, f.own]
    return exact, times


def TestOneInput(data):
    blob = bytes(data)
    stored = InMemory(blob)
    loaded = _or_error(lambda: trace_from_parts([blob], "trc_F"))

    for options in OUTLINES:
        def native(options=options):
            out = io.StringIO()
            format_stored_trace(stored, out, width=200, **options)
            return out.getvalue()

        def python(options=options):
            if isinstance(loaded, str):
                return loaded
            out = io.StringIO()
            format_trace(loaded, out, width=200, **options)
            return out.getvalue()

        got, expected = _or_error(native), python()
        assert got == expected, f"show {options} differs:\n{got}\n---\n{expected}"

    if not isinstance(loaded, str):
        assert _exported(export_stored_trace, stored) == _exported(export_chrome, loaded), "export differs"

    natively, native_times = _functions(_or_error(lambda: read_stats(stored)))
    walked, walked_times = _functions(_or_error(lambda: read_trace(stored, lambda: StatsWalker)))
    assert natively == walked, f"stats differ:\n{natively}\n---\n{walked}"
    assert len(native_times) == len(walked_times) and all(
        math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9) or a == b
        for a, b in zip(native_times, walked_times)), f"times differ: {native_times} {walked_times}"

    index = _or_error(lambda: build_index(stored))
    if not isinstance(index, str):
        try:
            for thread in index.threads:
                for node in range(min(len(thread.flags), 64)):
                    thread.summary(node)
        finally:
            index.close()

    part_starts(stored)
    skim = _vesk.Skim(unpack, depth=1, limit=1)
    if skim.feed_part(blob):
        for index, _ in enumerate(skim.finish()):
            skim.lines(index)
            skim.paths(index)
            skim.totals(index)


def main():
    import atheris

    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
