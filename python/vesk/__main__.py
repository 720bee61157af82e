"""The vesk command line:

    vesk run [options] script.py [args...]    record a program and store its trace
    vesk run [options] -m module [args...]    (also a directory or zip, -c CODE, - for stdin)
    vesk traces [--failed]                    list the stored traces
    vesk show [TRACE_ID | --test PATTERN]     the call tree of a trace (the latest by default);
                                              --function, --thread, --call for a part of it
    vesk stats [TRACE_ID | --test PATTERN]    calls and time per function
    vesk diff [A [B] | --test PATTERN]        where two traces of a program or test part
    vesk export [TRACE_ID] -o trace.json      a trace in the Chrome Trace Event format
    vesk tests [TRACE_ID | --test PATTERN]    pytest tests made of the recorded calls
    vesk rm TRACE_ID... | vesk prune ...      remove traces; the database shrinks
    vesk ui [--port N] [--open]               a viewer of the traces in the browser, on 127.0.0.1
    vesk push ... --to URL | pull ... --from URL  copy traces to or from a shared database

Commands are dispatched here; `run` lives with the code that runs while recording, the others
with the read side. Every failure is one line on stderr, never a traceback.
"""

import argparse
import os
import signal
import sqlite3
import sys

from vesk import db
from vesk.profiler import DEFAULT_DB_PATH, database, default_db_path
from vesk.utils import CommandError, parse_label
from vesk.version import __version__

# The orders of vesk stats, as vesk.view.stats.SORTS has them (the read side is not imported for
# `vesk run`).
STATS_SORTS = ("total", "own", "calls", "mean", "name")
# Exit status of a command whose output reader went away, as for a process killed by SIGPIPE.
BROKEN_PIPE = 128 + signal.SIGPIPE


def _run(options):
    from vesk.filters.run import run_program

    return run_program(options)


def _read_command(name, module="commands"):
    def handler(options):
        import importlib

        return getattr(importlib.import_module(f"vesk.view.{module}"), name)(options)

    return handler


def _tests(options):
    from vesk.generate_tests import tests_command

    return tests_command(options)


def _ui(options):
    from vesk.ui.server import serve

    return serve(options)


def _count(minimum):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    return parse


def _days(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of days: {text!r}") from None
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, not {text}")
    return value


def _size(text):
    from vesk.utils import parse_size

    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vesk", description="Record what a Python program does, and look at it afterwards.")
    parser.add_argument("--version", action="version", version=f"vesk {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def project_path(command):
        command.add_argument("--path", action="append", metavar="DIR",
                             help="a folder the program's modules are imported from, as pytest's rootdir "
                                  "would be (repeatable; default: the working directory); never one the "
                                  "trace names")

    def with_db(command):
        command.add_argument("--db", default=None,
                             help=f"SQLite database of the traces, or a postgresql:// URL of a "
                                  f"shared one (default: $VESK_DB, else {DEFAULT_DB_PATH})")
        return command

    run = with_db(commands.add_parser(
        "run", help="run a Python program and record it",
        description="Run a program as `python` would and store its trace."))
    run.add_argument("--db-shared", action="store_true",
                     help="write into a database file of another user, or one that others may "
                          "read or write (refused by default: traces hold the program's values)")
    run.add_argument("--include", action="append", default=[], metavar="FRAGMENT",
                     help="record files whose path contains FRAGMENT, even library code")
    run.add_argument("--ignore", action="append", default=[], metavar="FRAGMENT",
                     help="do not record files whose path contains FRAGMENT")
    run.add_argument("--lightweight", action="store_true",
                     help="store bounded summaries of large values instead of the whole values")
    run.add_argument("--repr", dest="call_repr", action="store_true",
                     help="record objects other than builtin scalars and containers as their "
                          "reprs (the program's own __repr__ runs) instead of their fields")
    run.add_argument("--value-scale", type=_count(1), default=1, metavar="N",
                     help="keep N times more of each value and of what a record's values may cost together: items, characters, depth, values and text (default 1)")
    run.add_argument("--no-events", dest="events", action="store_false",
                     help="leave out the framework events (HTTP, SQL, log records, requests)")
    run.add_argument("--part-size", type=_size, default=None, metavar="SIZE",
                     help="save the records held so far as a part of the trace once they reach "
                          "SIZE (default 64M; 0: only at the end)")
    run.add_argument("--trace-limit", type=_size, default=None, metavar="SIZE",
                     help="stop recording a trace once its records reach SIZE, saying so in the "
                          "trace (default 1G; 0: no limit)")
    run.add_argument("--no-children", dest="children", action="store_false",
                     help="do not record the Python processes the program starts (by default "
                          "each is stored as a trace of its own, under the program's)")
    run.add_argument("--all-threads", action="store_true",
                     help="also record threads already running when recording starts (those "
                          "started by sitecustomize or .pth files), from their next call")
    run.add_argument("--redact", action="append", default=[], metavar="NAME",
                     help="also redact values stored under names like NAME (beside password, "
                          "token, api_key, ...)")
    run.add_argument("--keep", action="append", default=[], metavar="NAME",
                     help="store values under the default secret name NAME (e.g. session) whole")
    run.add_argument("--label", action="append", type=parse_label, default=[], metavar="KEY=VALUE",
                     help="store the label KEY=VALUE with the trace (repeatable; `vesk traces --label` finds it)")
    how = run.add_mutually_exclusive_group()
    how.add_argument("-m", dest="module", action="store_true",
                     help="run a module as a script, like python -m")
    how.add_argument("-c", dest="code", metavar="CODE", help="run CODE, like python -c")
    run.add_argument("target", nargs="?", metavar="script.py | dir | zip | module | -",
                     help="what to run; - reads the program from standard input")
    run.add_argument("args", nargs=argparse.REMAINDER, help="arguments for the program")
    run.set_defaults(handler=_run)

    traces = with_db(commands.add_parser("traces", help="list the stored traces"))
    traces.add_argument("--failed", action="store_true",
                        help="only the traces of tests that failed or errored")
    traces.add_argument("--label", action="append", type=parse_label, default=[], metavar="KEY=VALUE",
                        help="only the traces stored with this label (repeatable: all of them)")
    traces.add_argument("--host", help="only the traces recorded on this host")
    traces.add_argument("--user", help="only the traces recorded by this user")
    traces.add_argument("--ci-job", metavar="JOB", help="only the traces recorded in this CI job")
    traces.set_defaults(handler=_read_command("traces"))

    def trace_choice(command):
        command.add_argument("trace_id", nargs="?", help="the trace (default: the latest)")
        command.add_argument("--test", metavar="PATTERN",
                             help="the latest trace of a test whose node id contains PATTERN "
                                  "(or matches it, with * ? [ ])")

    show = with_db(commands.add_parser("show", help="show a trace as call trees, per thread"))
    trace_choice(show)
    show.add_argument("--depth", type=_count(1), default=None,
                      help="show calls down to this depth")
    show.add_argument("--limit", type=_count(0), default=200,
                      help="show at most this many calls per thread (default: 200; 0 for all)")
    show.add_argument("--function", metavar="PATTERN",
                      help="only the calls of functions whose qualified name contains PATTERN (or "
                           "matches it, with * ? [ ]), the calls they made (--depth levels of "
                           "them), and their callers")
    show.add_argument("--thread", metavar="NAME",
                      help="only threads whose name contains NAME (or matches it, with * ? [ ])")
    show.add_argument("--call", metavar="FRAME_ID",
                      help="one call in full (its frame id, or a part of it found in no other): "
                           "arguments, locals, return value, caller and call site")
    show.add_argument("--as-test", action="store_true",
                      help="with --call: the call as a pytest test, when it can be one")
    project_path(show)
    show.add_argument("--children", action="store_true",
                      help="then the traces of the processes it started, and theirs")
    show.set_defaults(handler=_read_command("show"))

    export_command = with_db(commands.add_parser(
        "export", help="export a trace in the Chrome Trace Event format",
        description="Write a trace as JSON in the Chrome Trace Event format, which Perfetto's UI, "
                    "chrome://tracing and speedscope open."))
    trace_choice(export_command)
    export_command.add_argument("-o", "--output", default="trace.json",
                                help="the JSON file; - for standard output")
    export_command.set_defaults(handler=_read_command("export"))

    stats = with_db(commands.add_parser(
        "stats", help="calls and time per function",
        description="Per function of a trace: its calls, total time (recursive calls counted "
                    "once), own time (less the calls it made) and mean time per outermost call."))
    trace_choice(stats)
    stats.add_argument("--sort", choices=STATS_SORTS, default="total",
                       help="order of the rows (default: total)")
    stats.add_argument("--limit", type=_count(0), default=30,
                       help="show at most this many functions (default: 30; 0 for all)")
    stats.add_argument("--thread", metavar="NAME",
                       help="only threads whose name contains NAME (or matches it, with * ? [ ])")
    stats.add_argument("--per-thread", action="store_true", help="a table per thread")
    stats.add_argument("--json", action="store_true", help="JSON, for scripts")
    stats.set_defaults(handler=_read_command("stats", "stats"))

    rm = with_db(commands.add_parser(
        "rm", help="remove traces", description="Remove traces from the database, which then shrinks."))
    rm.add_argument("trace_ids", nargs="*", metavar="TRACE_ID", help="a trace, or the start of its id")
    rm.add_argument("--test", metavar="PATTERN",
                    help="every trace of a test whose node id contains PATTERN (or matches it, "
                         "with * ? [ ])")
    rm.set_defaults(handler=_read_command("rm", "cleanup"))

    prune = with_db(commands.add_parser(
        "prune", help="remove old traces",
        description="Remove the traces that any of the options selects; the database then shrinks."))
    prune.add_argument("--keep", type=_count(0), metavar="N", help="keep only the N newest traces")
    prune.add_argument("--older-than", type=_days, metavar="DAYS",
                       help="remove traces started more than DAYS days ago (fractions allowed)")
    prune.add_argument("-n", "--dry-run", action="store_true",
                       help="list what would be removed, and remove nothing")
    prune.set_defaults(handler=_read_command("prune", "cleanup"))

    diff = with_db(commands.add_parser(
        "diff", help="where two traces of a program or test part",
        description="Compare two traces of the same program or test, thread by thread, record by "
                    "record, and show where they first part: a different call, argument, return "
                    "value or exception."))
    diff.add_argument("trace_a", nargs="?", metavar="A", help="the trace before (default: the one "
                      "before the latest)")
    diff.add_argument("trace_b", nargs="?", metavar="B", help="the trace after (default: the latest)")
    diff.add_argument("--test", metavar="PATTERN",
                      help="the two latest traces of the test whose node id contains PATTERN (or "
                           "matches it, with * ? [ ])")
    diff.add_argument("--thread", metavar="NAME",
                      help="only threads whose name contains NAME (or matches it, with * ? [ ])")
    diff.set_defaults(handler=_read_command("diff", "diff"))

    tests = with_db(commands.add_parser(
        "tests", help="write pytest tests made of the recorded calls",
        description="Write a pytest module that calls the program's recorded functions with their "
                    "recorded arguments and asserts what they returned or raised. Calls whose test "
                    "would not be faithful are skipped and counted by reason."))
    trace_choice(tests)
    tests.add_argument("--function", metavar="PATTERN",
                       help="only functions whose qualified name (module.name) contains PATTERN (or "
                            "matches it, with * ? [ ])")
    tests.add_argument("-o", "--output", default="-", help="the test module to write (default: - for "
                                                          "standard output)")
    tests.add_argument("--max-per-function", type=_count(1), default=20, metavar="N",
                       help="at most N tests per function, chosen to differ (default: 20)")
    tests.add_argument("--no-check", dest="check", action="store_false",
                       help="write the tests without running them (by default they run twice "
                            "against the current code, and those that fail or flip are left out)")
    project_path(tests)
    tests.set_defaults(handler=_tests)

    ui = with_db(commands.add_parser(
        "ui", help="view the traces in a web browser",
        description="Serve a viewer of the traces on this machine (127.0.0.1) until Ctrl-C; the "
                    "database is only read."))
    ui.add_argument("--port", type=_count(0), default=8765, help="the port (default: 8765; 0: any free one)")
    ui.add_argument("--host", default=None,
                    help="serve on this address instead of 127.0.0.1 (anyone who can reach it can read the traces)")
    ui.add_argument("--allow-host", action="append", metavar="NAME",
                    help="answer requests made to this host name too, besides this machine's own names and "
                         "addresses (repeatable)")
    ui.add_argument("--idle-timeout", type=float, default=10.0, help=argparse.SUPPRESS)
    ui.add_argument("--open", action="store_true", help="open the viewer in the default web browser")
    project_path(ui)
    ui.set_defaults(handler=_ui)

    for verb, way, flag, dest in (("push", "to", "--to", "to"), ("pull", "from", "--from", "source")):
        into, out_of = ("--db", "a shared database") if verb == "push" else ("a shared database", "--db")
        copy = with_db(commands.add_parser(
            verb, help=f"copy traces {way} another database",
            description=f"Copy traces, with those of the processes they started, from {into} "
                        f"into {out_of}; only parts it does not hold yet are stored."))
        copy.add_argument("trace_ids", nargs="*", metavar="TRACE_ID", help="a trace, or the start of its id")
        copy.add_argument("--failed", action="store_true", help=f"{verb} the traces of tests that failed or errored")
        copy.add_argument("--test", metavar="PATTERN",
                          help=f"{verb} every trace of a test whose node id contains PATTERN (or matches it, "
                               f"with * ? [ ])")
        copy.add_argument(flag, dest=dest, required=True, type=database, metavar="URL",
                          help=f"the database to copy {way}: a postgresql:// URL or a SQLite file")
        copy.set_defaults(handler=_read_command(verb, "moving"))
    return parser


def _quiet_after_broken_pipe():
    # The reader went away (`vesk traces | head -1`): nothing more can be written, and the
    # interpreter must not complain when it flushes standard output at exit.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except OSError:
        pass


def main(argv=None):
    parser = build_parser()
    options = parser.parse_args(argv)
    if options.command == "run":
        if options.code is None and options.target is None:
            parser.error("run: give a script, a directory, a zip, -m module, -c CODE or -")
        if options.code is not None and options.target is not None:
            options.args.insert(0, options.target)  # after -c CODE, everything is the program's
            options.target = None
    if hasattr(options, "db"):
        # A URL's password stays out of every message: connections find it by the bare URL.
        options.db = database(options.db if options.db is not None else default_db_path())
    if getattr(options, "limit", None) == 0:
        options.limit = None
    try:
        return options.handler(options)
    except CommandError as error:
        if error.args[0] is not None:
            _say(error)
        return error.status
    except BrokenPipeError:
        _quiet_after_broken_pipe()
        return BROKEN_PIPE
    except (db.NotAVeskDatabase, db.DatabaseTooNew, db.UnsafeDatabase, db.PartUnreadable) as error:
        _say(f"{options.db}: {error}")
    except sqlite3.DatabaseError as error:
        _say(f"cannot read {options.db}: {error}")
    except db.StoreError as error:
        _say(error)
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        from vesk.view import ViewError

        if not isinstance(error, ViewError):
            raise
        _say(error)
    return 1


def _say(error):
    """One line on stderr. It may hold what a trace recorded (a trace id, a test's name): its
    control characters are escaped, as every line that shows recorded text has them."""
    from vesk.view.values import clean

    print(f"vesk: {clean(str(error))}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
