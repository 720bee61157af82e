"""`vesk diff A B`: the first records where two traces of the same program or test part, each
with the calls around it, thread by thread."""

import sys

from vesk.utils import CommandError
from vesk.view.choose import function_name, summaries, test_traces
from vesk.view.parting import diff_traces, packed, signature
from vesk.view.terminal import _event_details, _glyphs_for, _local_time
from vesk.view.trace import open_trace
from vesk.view.values import clean, format_exception, format_value

__all__ = ["diff"]


def _chosen_pair(options):
    """The ids of A and B: as given; a test's two latest traces; A and the latest trace; or the
    two latest traces."""
    if options.test is not None:
        if options.trace_a is not None:
            raise CommandError("give trace ids or --test, not both", status=2)
        found = test_traces(options.db, options.test)
        nodeid = found[0].test_nodeid
        runs = [s for s in found if s.test_nodeid == nodeid]
        if len({s.test_nodeid for s in found}) > 1:
            print(f"vesk: several tests match {options.test!r}; comparing the latest, {clean(str(nodeid))}", file=sys.stderr)
        if len(runs) < 2:
            raise CommandError(f"{nodeid} has one trace only: nothing to compare it with")
        return runs[1].trace_id, runs[0].trace_id
    if options.trace_b is not None:
        return options.trace_a, options.trace_b
    latest = [s.trace_id for s in summaries(options.db)[:2]]
    if options.trace_a is not None:
        first = open_trace(options.db, options.trace_a).trace_id
        if first == latest[0]:
            raise CommandError(f"{first} is the latest trace: give the trace to compare it with")
        return first, latest[0]
    if len(latest) < 2:
        raise CommandError(f"{options.db} holds one trace only: nothing to compare it with")
    return latest[1], latest[0]


def diff(options):
    ids = _chosen_pair(options)
    stored_a, stored_b = (open_trace(options.db, trace_id) for trace_id in ids)
    known = {s.trace_id: s for s in summaries(options.db)}
    _write(*diff_traces(stored_a, stored_b, options.thread), sys.stdout, known)
    return 0


_CALLERS_SHOWN = (2, 8)  # the outermost and innermost callers shown of a deep stack


def _write(trace_a, trace_b, results, out, known):
    glyphs = _glyphs_for(out)
    for label, trace in (("A", trace_a), ("B", trace_b)):
        summary = known.get(trace.trace_id)
        what = [clean(str(trace.trace_id)), _local_time(trace.started)]
        if summary is not None and summary.test_nodeid:
            what += [clean(summary.test_outcome or "-"), clean(summary.test_nodeid)]
        else:
            what.append(clean(trace.source or "-"))
        out.write(f"{label}  {'  '.join(what)}\n")
        for warning in trace.warnings:
            out.write(f"   warning: {clean(warning)}\n")
    for a, b, parting in results:
        out.write("\n")
        if a is None or b is None:
            only = a or b
            out.write(f"{clean(only.name)}: in {'A' if b is None else 'B'} only ({only.record_count} records)\n")
        elif parting is None:
            out.write(f"{clean(a.name)}: the same {a.record_count} records in both\n")
        else:
            out.write(f"{clean(a.name)}: parts after {parting.index} records alike: {parting.kind}\n")
            _write_parting(parting, out, glyphs)


def _calls_around(seen):
    """The call records around a _Seen, outermost first."""
    chain, call = [], seen.caller if seen is not None else None
    while call is not None:
        chain.append(call.record)
        call = call.parent
    chain.reverse()
    return chain


def _write_parting(parting, out, glyphs):
    """The calls around the parting records that both traces share, then each side's own calls
    and record."""
    chains = [_calls_around(parting.a), _calls_around(parting.b)]
    shared = 0
    for call_a, call_b in zip(*chains):
        if signature(call_a) != signature(call_b):
            break
        shared += 1
    outer, inner = _CALLERS_SHOWN
    hidden = shared - outer - inner if shared > outer + inner + 1 else 0

    def line(label, level, text):
        if hidden and level >= outer:  # the hidden calls take one line
            level = outer if level < outer + hidden else level - hidden + 1
        guide = "   " * (level - 1) + glyphs["last"] if level else ""
        out.write(f"{label:<3}{guide}{text}\n")

    for level, record in enumerate(chains[0][:shared]):
        if hidden and outer <= level < outer + hidden:
            if level == outer:
                line("", level, f"{glyphs['more']} {hidden} more calls")
            continue
        line("", level, _record_text(record, glyphs))
    for label, seen, chain in (("A", parting.a, chains[0]), ("B", parting.b, chains[1])):
        for level, record in enumerate(chain[shared:], shared):
            line(label, level, _record_text(record, glyphs))
        text = "(no more records)" if seen is None else _record_text(seen.record, glyphs, seen.call, True)
        line(label, len(chain) if seen is not None else shared, text)
    for difference in _differences(parting):
        out.write(f"   {difference}\n")


def _arguments(record):
    if record.get("co_name") == "<module>":
        return ""  # a module's locals are its globals
    local = record.get("locals")
    if not isinstance(local, dict):
        return "?"
    return ", ".join(f"{clean(str(k))}={format_value(v, _VALUE_LIMIT)}" for k, v in local.items())


_VALUE_LIMIT = 60
_ARGUMENTS_LIMIT = 160


def _cut(text, limit):
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _record_text(record, glyphs, call=None, with_id=False):
    """A record as a line: a call with its arguments, a return with the call's arguments and its
    value, any other record with its fields; with_id, with the frame id to show it by."""
    if record.get("type") == "exception":
        caught = " (caught)" if record.get("caught") is True else ""
        return f"!! {format_exception(record, _ARGUMENTS_LIMIT)}{caught}"
    if record.get("type", "frame") != "frame":
        return glyphs["event"] + f"{clean(str(record.get('type')))} " + _cut(_event_details(record), _ARGUMENTS_LIMIT)
    call_record = call.record if call is not None else record
    text = f"{clean(function_name(record))}({_cut(_arguments(call_record), _ARGUMENTS_LIMIT)})"
    if record.get("event") == "return":
        text += f" -> {format_value(record.get('arg'), _VALUE_LIMIT)}"
    path = call_record.get("path")
    if isinstance(path, str):
        text += f"  {clean(path)}"
    frame_id = record.get("frame_id")
    if with_id and isinstance(frame_id, str):
        text += f"  {clean(frame_id)}"
    return text


def _differences(parting):
    """The arguments or return value that differ, one line each."""
    a, b = parting.a, parting.b
    if a is None or b is None or "frame" != a.record.get("type", "frame") or "frame" != b.record.get("type", "frame"):
        return []
    if parting.kind == "a different argument":
        args_a, args_b = (s.record.get("locals") for s in (a, b))
        if not isinstance(args_a, dict) or not isinstance(args_b, dict):
            return []
        lines = []
        for key in dict.fromkeys([*args_a, *args_b]):
            value_a, value_b = args_a.get(key, _MISSING), args_b.get(key, _MISSING)
            if value_a is _MISSING or value_b is _MISSING or packed(value_a) != packed(value_b):
                lines.append(f"{clean(str(key))}: A {_shown(value_a)}, B {_shown(value_b)}")
        return lines
    if parting.kind == "a different return value":
        return [f"returns: A {_shown(a.record.get('arg'))}, B {_shown(b.record.get('arg'))}"]
    return []


_MISSING = object()


def _shown(value):
    return "(none)" if value is _MISSING else format_value(value, 200)
