"""The stretch of a trace where its calls are, which the timeline opens on. A trace often spans
much more: a test's trace starts at the test's setup and ends after its report, a program's
starts before the libraries it imports, which no call of its own shows, and a server's may wait
long for its first request.

The calls counted are the outermost ones that are not a module's body (a module's body spans
its imports and everything its top level does), each weighing what it holds; the stretch is the
shortest one that holds most of that weight. When that is most of the trace, the trace is shown
whole."""

import heapq

from vesk.export import _EVENT

__all__ = ["busy_span"]

_HELD = 0.9  # of the calls' weight, that the stretch holds
_WHOLE = 0.5  # of the trace: a stretch as long shows the trace whole
_MARGIN = 0.04  # of the stretch, added on each side


def _units(thread):
    """(start, end, nodes) of the thread's outermost calls that are not a module's body, in the
    order they started: the calls inside a module's body stand in for it."""
    starts, ends, sizes, flags, name_of = thread.starts, thread.ends, thread.sizes, thread.flags, thread.name_of
    modules = {n for n, name in enumerate(thread.names) if name.endswith("<module>")}
    last = thread.high if thread.high is not None else 0.0
    at, count = 0, len(thread)
    while at < count:
        if flags[at] & _EVENT:
            at += 1
        elif name_of[at] in modules:
            at += 1  # into the module's body
        else:
            end = ends[at]
            yield starts[at], end if end == end else last, sizes[at]
            at += sizes[at]


def busy_span(threads):
    """(low, high) of where the calls of threads (ThreadTracks) are, or None for the whole."""
    lows = [t.low for t in threads if t.low is not None]
    highs = [t.high for t in threads if t.high is not None]
    if not lows:
        return None
    whole = max(highs) - min(lows)
    # Calls of one thread do not overlap; those of several are merged into busy stretches.
    spans = []
    for start, end, weight in heapq.merge(*(_units(t) for t in threads)):
        if spans and start <= spans[-1][1]:
            spans[-1][1] = max(spans[-1][1], end)
            spans[-1][2] += weight
        else:
            spans.append([start, end, weight])
    if not spans or whole <= 0:
        return None
    needed = _HELD * sum(s[2] for s in spans)
    # The shortest run of consecutive stretches that holds what is needed: two pointers.
    best, held, first = None, 0, 0
    for last, span in enumerate(spans):
        held += span[2]
        while held - spans[first][2] >= needed:
            held -= spans[first][2]
            first += 1
        if held >= needed:
            low, high = spans[first][0], span[1]
            if best is None or high - low < best[1] - best[0]:
                best = (low, high)
    low, high = best
    if high - low >= _WHOLE * whole:
        return None
    margin = max(high - low, whole * 1e-6) * _MARGIN
    return max(low - margin, min(lows)), min(high + margin, max(highs))
