"""vesk push and vesk pull: traces copied, with the traces of the processes they started, from one
store into another (the local file and a shared server, either way). A copy stores only the parts
the target does not hold yet, so that running it again, or after the trace grew, loses nothing
and doubles nothing."""

import sys

from vesk import db
from vesk.utils import CommandError
from vesk.view.choose import matches, summaries
from vesk.view.commands import FAILED
from vesk.view.lineage import descendants
from vesk.view.trace import _expand_prefix
from vesk.view.values import clean

__all__ = ["push", "pull"]


def push(options):
    return _copy(options.db, options.to, options)


def pull(options):
    return _copy(options.source, options.db, options)


def _chosen(found, options):
    """The summaries of the traces asked for, then their descendants', each once."""
    if bool(options.trace_ids) + options.failed + (options.test is not None) != 1:
        raise CommandError("give trace ids, --failed or --test PATTERN (one of them)", status=2)
    by_id = {s.trace_id: s for s in found}
    if options.trace_ids:
        ids = [t if t in by_id else _expand_prefix(options.origin, list(by_id), t) for t in options.trace_ids]
    elif options.failed:
        ids = [s.trace_id for s in found if s.test_outcome in FAILED]
    else:
        ids = [s.trace_id for s in found if s.test_nodeid and matches(s.test_nodeid, options.test)]
    chosen = {}
    for trace_id in ids:
        chosen.setdefault(trace_id, by_id[trace_id])
        for _, child in descendants(found, trace_id):
            chosen.setdefault(child.trace_id, child)
    return list(chosen.values())


def _copy(source, target, options):
    options.origin = source
    chosen = _chosen(summaries(source), options)
    if not chosen:
        print(f"vesk: nothing to copy from {source}", file=sys.stderr)
        return 0
    try:
        db.prepare_for_writing(target)
    except Exception as error:  # noqa: BLE001 - those it refuses with are told in one line
        reason = db.refusal(error)
        if reason is None:
            raise
        raise CommandError(f"cannot store traces in {target}: {reason}") from None
    parts = 0
    for summary in chosen:
        parts += db.add_parts(target, summary.trace_id, db.stored_parts(source, summary.trace_id))
        print(clean(summary.trace_id))
    traces = f"{len(chosen)} trace{'' if len(chosen) == 1 else 's'}"
    print(f"vesk: copied {traces} from {source} to {target}: {parts} new "
          f"part{'' if parts == 1 else 's'}", file=sys.stderr)
    return 0
