"""The reading commands of the command line: `vesk traces`, `vesk show` and `vesk export`."""

import os
import sys

from vesk.utils import CommandError
from vesk.view.choose import chosen_trace as _chosen_trace
from vesk.view.choose import summaries as _summaries
from vesk.view.terminal import format_stored_trace, format_traces
from vesk.view.trace import ViewError, open_trace
from vesk.view.values import clean

# Outcomes that `vesk traces --failed` lists, as pytest names them.
FAILED = ("failed", "error")


def traces(options):
    summaries = _summaries(options.db)
    if options.failed:
        summaries = [s for s in summaries if s.test_outcome in FAILED]
    wanted = {"host": options.host, "user": options.user, "ci_job": options.ci_job}
    summaries = [s for s in summaries
                 if all(value is None or getattr(s, name) == value for name, value in wanted.items())
                 and all(s.labels.get(key) == value for key, value in options.label)]
    format_traces(summaries, sys.stdout)
    return 0


def show(options):
    color = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
    if getattr(options, "as_test", False):
        from vesk.generate_tests import show_as_test

        return show_as_test(options)
    if options.call is not None:
        from vesk.view.call import show_call

        return show_call(options)
    if options.function is not None or options.thread is not None:
        from vesk.view.focus import show_focused

        return show_focused(options, color)
    stored = open_trace(options.db, _chosen_trace(options))
    format_stored_trace(stored, sys.stdout, depth=options.depth, limit=options.limit, color=color)
    if getattr(options, "children", False):
        _show_children(options, stored.trace_id, color)
    return 0


def _show_children(options, trace_id, color):
    from vesk.view.lineage import descendants

    found = descendants(_summaries(options.db), trace_id)
    if not found:
        print("\n(no child process was recorded)")
    for depth, child in found:
        print(f"\n{'=' * (2 * depth)} child process {child.pid}: {clean(child.source or '-')}")
        sys.stdout.flush()
        format_stored_trace(open_trace(options.db, child.trace_id), sys.stdout, depth=options.depth,
                            limit=options.limit, color=color)


def export(options):
    from vesk.export import export_stored_trace

    stored = open_trace(options.db, _chosen_trace(options))
    if options.output == "-":
        export_stored_trace(stored, sys.stdout)
        return 0
    if os.path.isdir(options.output):
        raise CommandError(f"cannot write {options.output}: it is a directory", status=2)
    try:
        export_stored_trace(stored, options.output, progress=_progress_printer())
    except OSError as error:
        raise CommandError(f"cannot write {options.output}: {error.strerror or error}") from None
    print(f"vesk: wrote {options.output}", file=sys.stderr)
    return 0


def _progress_printer():
    if not sys.stderr.isatty():
        return None

    def progress(done, total):
        end = "\n" if done >= total else "\r"
        print(f"vesk: exporting {done}/{total} records", end=end, file=sys.stderr, flush=True)

    return progress


__all__ = ["traces", "show", "export", "ViewError"]
