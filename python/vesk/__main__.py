"""The vesk command line:

    vesk run [options] script.py [args...]    record a program and store its trace
    vesk run [options] -m module [args...]
    vesk traces                               list the stored traces
    vesk show [TRACE_ID]                      the call tree of a trace (the latest by default)
    vesk export [TRACE_ID] -o trace.json      a trace in the Chrome Trace Event format
"""

import argparse
import os
import runpy
import sys

from vesk import db
from vesk.profiler import DEFAULT_DB_PATH, Profiler, make_config

# Exit status of a program stopped by Ctrl-C, as the shell reports one killed by SIGINT.
INTERRUPTED = 130


class CommandError(Exception):
    """A problem with what was asked, reported as one line."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def _trimmed(exc, filename):
    """The exception with its traceback starting at the program's own first frame, as the
    interpreter shows it when it runs the program itself."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename != filename:
        tb = tb.tb_next
    if tb is not None:
        exc.__traceback__ = tb
    return exc


def _module_file(name):
    """The file that `python -m name` would run."""
    import importlib.util

    try:
        spec = importlib.util.find_spec(name)
        if spec is not None and spec.submodule_search_locations is not None:
            spec = importlib.util.find_spec(f"{name}.__main__")
    except (ImportError, ValueError) as error:
        raise CommandError(f"no module named {name!r} ({error})", status=2) from None
    if spec is None or spec.origin is None:
        raise CommandError(f"no module named {name!r}", status=2)
    return spec.origin


def _run_program(options):
    target = options.target
    # sys.path[0] is vesk's own entry (its script's folder, or the current one under -m): the
    # program gets the one python would give it instead.
    if options.module:
        sys.path[0] = os.getcwd()
        filename = _module_file(target)
        run = lambda: runpy.run_module(target, run_name="__main__", alter_sys=True)  # noqa: E731
    else:
        if not os.path.isfile(target):
            raise CommandError(f"can't open file {os.path.abspath(target)!r}: no such file",
                               status=2)
        filename = target  # the name the program's code is compiled under, as python does
        sys.path[0] = os.path.dirname(os.path.abspath(target))
        run = lambda: runpy.run_path(target, run_name="__main__")  # noqa: E731

    config = make_config(include=options.include, ignore=options.ignore,
                         lightweight=options.lightweight)
    source = " ".join(["vesk run", *(["-m"] if options.module else []), target, *options.args])
    profiler = Profiler(config, db_path=options.db, source=source)
    sys.argv = [filename if options.module else target, *options.args]
    status, failure = 0, None
    profiler.start()
    try:
        run()
    except SystemExit as exit_request:
        status = exit_request.code
    except KeyboardInterrupt as interrupt:
        failure, status = interrupt, INTERRUPTED
    except BaseException as error:  # the program's own exception, shown as python shows it
        failure, status = error, 1
    finally:
        profiler.stop()
        profiler.save()
    if failure is not None:
        _trimmed(failure, filename)
        sys.excepthook(type(failure), failure, failure.__traceback__)
    summary = next((s for s in db.list_traces(options.db) if s.trace_id == profiler.trace_id),
                   None)
    records = summary.record_count if summary else 0
    dropped = profiler.rust_profiler.dropped_events
    lost = f" ({dropped} events lost at the recursion limit)" if dropped else ""
    print(f"vesk: trace {profiler.trace_id}: {records} records saved in {options.db}{lost}",
          file=sys.stderr)
    return status


def _show(options):
    from vesk import view

    trace = view.load_trace(options.db, options.trace_id)
    color = sys.stdout.isatty() and not os.environ.get("NO_COLOR")
    view.format_trace(trace, sys.stdout, depth=options.depth, limit=options.limit, color=color)
    return 0


def _traces(options):
    from vesk import view

    try:
        summaries = db.list_traces(options.db)
    except FileNotFoundError:
        raise CommandError(f"no trace database at {options.db}: record something first with "
                           f"`vesk run`") from None
    view.format_traces(summaries, sys.stdout)
    return 0


def _export(options):
    from vesk import export, view

    trace = view.load_trace(options.db, options.trace_id)
    with open(options.output, "w", encoding="utf-8") as out:
        export.export_chrome(trace, out, progress=_progress_printer())
    print(f"vesk: wrote {options.output}", file=sys.stderr)
    return 0


def _progress_printer():
    if not sys.stderr.isatty():
        return None

    def progress(done, total):
        end = "\n" if done >= total else "\r"
        print(f"vesk: exporting {done}/{total} records", end=end, file=sys.stderr, flush=True)

    return progress


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vesk", description="Record what a Python program does, and look at it afterwards.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def with_db(command):
        command.add_argument("--db", default=DEFAULT_DB_PATH,
                             help=f"SQLite database of the traces (default: {DEFAULT_DB_PATH})")
        return command

    run = with_db(commands.add_parser(
        "run", help="run a Python program and record it",
        description="Run a program as `python` would and store its trace."))
    run.add_argument("--include", action="append", default=[], metavar="FRAGMENT",
                     help="record files whose path contains FRAGMENT, even library code")
    run.add_argument("--ignore", action="append", default=[], metavar="FRAGMENT",
                     help="do not record files whose path contains FRAGMENT")
    run.add_argument("--lightweight", action="store_true",
                     help="store bounded summaries of large values instead of the whole values")
    run.add_argument("-m", dest="module", action="store_true",
                     help="run a module as a script, like python -m")
    run.add_argument("target", metavar="script.py | module")
    run.add_argument("args", nargs=argparse.REMAINDER, help="arguments for the program")
    run.set_defaults(handler=_run_program)

    traces = with_db(commands.add_parser("traces", help="list the stored traces"))
    traces.set_defaults(handler=_traces)

    show = with_db(commands.add_parser("show", help="show a trace as call trees, per thread"))
    show.add_argument("trace_id", nargs="?", help="the trace to show (default: the latest)")
    show.add_argument("--depth", type=int, default=None, help="show calls down to this depth")
    show.add_argument("--limit", type=int, default=200,
                      help="show at most this many calls (default: 200; 0 for all)")
    show.set_defaults(handler=_show)

    export_command = with_db(commands.add_parser(
        "export", help="export a trace in the Chrome Trace Event format",
        description="Write a trace as JSON in the Chrome Trace Event format, which Perfetto's UI, "
                    "chrome://tracing and speedscope open."))
    export_command.add_argument("trace_id", nargs="?", help="the trace (default: the latest)")
    export_command.add_argument("-o", "--output", default="trace.json", help="the JSON file")
    export_command.set_defaults(handler=_export)
    return parser


def main(argv=None):
    parser = build_parser()
    options = parser.parse_args(argv)
    if getattr(options, "limit", None) == 0:
        options.limit = None
    try:
        return options.handler(options)
    except CommandError as error:
        print(f"vesk: {error}", file=sys.stderr)
        return error.status
    except (db.NotAVeskDatabase, db.DatabaseTooNew) as error:
        print(f"vesk: {options.db}: {error}", file=sys.stderr)
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        from vesk import view

        if not isinstance(error, getattr(view, "ViewError", ())):
            raise
        print(f"vesk: {error}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
