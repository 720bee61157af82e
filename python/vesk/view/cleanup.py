"""`vesk rm` and `vesk prune`: traces taken out of the database, which then shrinks."""

import os
import sys
import time

from vesk import db
from vesk.utils import CommandError
from vesk.view.choose import summaries, test_traces
from vesk.view.terminal import _human_size
from vesk.view.trace import open_trace
from vesk.view.values import clean

__all__ = ["rm", "prune", "pruned"]

_DAY = 24 * 3600


def rm(options):
    if not options.trace_ids and options.test is None:
        raise CommandError("rm: give the traces to remove (ids or prefixes) or --test PATTERN", status=2)
    # An empty pattern or id would match every test trace, or every trace.
    if options.test == "" or "" in options.trace_ids:
        raise CommandError("rm: an empty trace id or --test pattern would remove everything", status=2)
    chosen = [open_trace(options.db, trace_id).trace_id for trace_id in options.trace_ids]
    if options.test is not None:
        chosen += [s.trace_id for s in test_traces(options.db, options.test)]
    _remove(options.db, list(dict.fromkeys(chosen)))
    return 0


def pruned(traces, keep=None, older_than=None, now=None):
    """The ids of the traces (TraceSummary, newest first) that a prune removes: all but the keep
    newest, and those first saved more than older_than days before now."""
    now = time.time() if now is None else now
    gone = []
    for index, summary in enumerate(traces):
        beyond = keep is not None and index >= keep
        old = older_than is not None and summary.created_at < now - older_than * _DAY
        if beyond or old:
            gone.append(summary.trace_id)
    return gone


def prune(options):
    if options.keep is None and options.older_than is None:
        raise CommandError("prune: say what to remove, with --keep N or --older-than DAYS", status=2)
    gone = pruned(summaries(options.db), options.keep, options.older_than)
    if options.dry_run:
        for trace_id in gone:
            print(clean(trace_id))
        print(f"vesk: would remove {_traces(len(gone))} from {options.db}", file=sys.stderr)
        return 0
    _remove(options.db, gone)
    return 0


def _traces(count):
    return f"{count} trace" + ("" if count == 1 else "s")


def _file_size(path):
    if db.is_url(path):
        from vesk.filters import postgres

        return postgres.size(path)
    total = 0
    for name in (path, path + "-wal"):
        try:
            total += os.path.getsize(name)
        except OSError:
            pass
    return total


def _remove(path, trace_ids):
    if not trace_ids:
        print(f"vesk: nothing to remove from {path}", file=sys.stderr)
        return
    before = _file_size(path)
    try:
        parts = db.delete_traces(path, trace_ids)
    except FileNotFoundError:
        raise CommandError(f"no trace database at {path}") from None
    for trace_id in trace_ids:
        print(clean(trace_id))
    print(f"vesk: removed {_traces(len(trace_ids))} ({parts} part{'' if parts == 1 else 's'}) from "
          f"{path}, now {_human_size(_file_size(path))} (was {_human_size(before)})", file=sys.stderr)
