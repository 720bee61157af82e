"""`vesk run`: a program run as python runs it, recorded, and its trace stored.

Everything that can be settled before the program runs is: the database is made ready (a place
where traces cannot be stored is refused at once), paths are made absolute (the program may change
directory), and a script is compiled (a syntax error is python's message, not a trace). The trace
is saved however the program ends: normally, by an exception, sys.exit, Ctrl-C or SIGTERM.
"""

import builtins
import os
import runpy
import signal
import sqlite3
import sys
import traceback
import types
import zipfile

from vesk import db
from vesk.filters.secrets import redacted_arguments
from vesk.profiler import Profiler, make_config
from vesk.utils import CommandError

# Exit status of a program stopped by Ctrl-C, as the shell reports one killed by SIGINT.
INTERRUPTED = 130


class Terminated(BaseException):
    """SIGTERM, turned into an exception so that the trace is saved before the process ends as
    the signal would have ended it."""


# The file name of the code given with -c.
COMMAND_LINE = "<command line>"


class Program:
    """What python would run: a script, a directory or zip with __main__.py, a module (-m),
    code (-c) or the standard input (-)."""

    def __init__(self, argv0, path0, filename, run, display):
        self.argv0 = argv0  # sys.argv[0] as python sets it
        self.path0 = path0  # sys.path[0]
        self.filename = filename  # the file name the program's own code runs under
        self.run = run
        self.display = display  # how `vesk run` was asked to run it, for the trace's source

    @classmethod
    def script(cls, target):
        path = os.path.abspath(target)
        if not os.path.exists(path):
            raise CommandError(f"can't open file {path!r}: [Errno 2] No such file or directory",
                               status=2)
        if os.path.isdir(path) or zipfile.is_zipfile(path):
            # As python runs them: the folder or zip first on sys.path, its __main__ module run
            # as __main__, sys.argv[0] as given.
            filename = os.path.join(path, "__main__.py")
            if os.path.isdir(path):
                if not os.path.isfile(filename):
                    raise CommandError(f"can't find '__main__' module in {target!r}", status=2)
                _compile_file(filename)
            return cls(target, path, filename, _run_main_module, target)
        code = _compile_file(path)
        # __file__ and the code's file name are absolute, as python gives them, so that
        # os.path.dirname(__file__) still works after the program changes directory.
        return cls(target, os.path.dirname(path), path, lambda: _run_as_main(code, path), target)

    @classmethod
    def module(cls, name):
        import importlib.util

        sys.path[0] = os.getcwd()
        try:
            spec = importlib.util.find_spec(name)
            if spec is not None and spec.submodule_search_locations is not None:
                spec = importlib.util.find_spec(f"{name}.__main__")
        except (ImportError, ValueError) as error:
            raise CommandError(f"no module named {name!r} ({error})", status=2) from None
        if spec is None or spec.origin is None:
            raise CommandError(f"no module named {name!r}", status=2)
        return cls(spec.origin, os.getcwd(), spec.origin,
                   lambda: runpy.run_module(name, run_name="__main__", alter_sys=True),
                   f"-m {name}")

    @classmethod
    def code(cls, source, filename, argv0, display):
        code = _compile(source, filename)
        return cls(argv0, "", filename, lambda: _run_as_main(code, filename), display)


def _compile(source, filename):
    try:
        return compile(source, filename, "exec", dont_inherit=True)
    except (SyntaxError, ValueError) as error:
        # As python reports a program it cannot compile: the message alone, and status 1.
        traceback.print_exception(type(error), error, None)
        raise CommandError(None, status=1) from None


def _compile_file(filename):
    with open(filename, "rb") as source:
        return _compile(source.read(), filename)


class _MainModule:
    """A fresh module __main__ for the program while it runs, vesk's own put back after."""

    def __enter__(self):
        self.saved = sys.modules["__main__"]
        module = sys.modules["__main__"] = types.ModuleType("__main__")
        module.__builtins__ = builtins
        return module

    def __exit__(self, *exc_info):
        sys.modules["__main__"] = self.saved


def _run_as_main(code, filename):
    """Runs code as the module __main__, as python runs a script, -c and - (a script and the
    standard input have a __file__)."""
    with _MainModule() as module:
        if filename != COMMAND_LINE:
            module.__file__ = filename
        if os.path.isabs(filename):
            from importlib.machinery import SourceFileLoader

            module.__loader__ = SourceFileLoader("__main__", filename)
        exec(code, module.__dict__)


def _run_main_module():
    """Runs the __main__ module of the folder or zip first on sys.path, as python does."""
    with _MainModule():
        runpy._run_module_as_main("__main__", alter_argv=False)


def _trimmed(exc, filename):
    """The exception with its traceback starting at the program's own first frame, as the
    interpreter shows it when it runs the program itself; None when no frame is the program's."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename != filename:
        tb = tb.tb_next
    return tb


def _database(options):
    """The database as an absolute path, ready to take traces, or a one-line refusal."""
    path = options.db if db.is_url(options.db) else os.path.abspath(options.db)
    try:
        db.prepare_for_writing(path, shared=getattr(options, "db_shared", False))
    except Exception as error:  # noqa: BLE001 - those it refuses with are told in one line
        reason = db.refusal(error)
        if reason is None:
            raise
        raise CommandError(f"cannot store traces in {options.db}: {reason}", status=2) from None
    return path


def _on_sigterm(signum, frame):
    raise Terminated


def _program(options):
    if options.code is not None:
        # Not "<string>", as python names it: that is the name of code that libraries generate
        # and run with exec, which is never recorded, while this is the user's own.
        return Program.code(options.code, COMMAND_LINE, "-c", f"-c {options.code}")
    if options.module:
        return Program.module(options.target)
    if options.target == "-":
        return Program.code(sys.stdin.read(), "<stdin>", "-", "-")
    return Program.script(options.target)


def recording_config(options):
    """The engine's configuration for `vesk run` options."""
    return make_config(include=options.include, ignore=options.ignore,
                       lightweight=options.lightweight, events=options.events,
                       part_size=options.part_size, trace_limit=options.trace_limit,
                       redact=options.redact, keep=options.keep, call_repr=options.call_repr,
                       value_scale=options.value_scale)


def run_program(options):
    """Runs the program of `vesk run` options and stores its trace. Returns the exit status."""
    program = _program(options)
    database = _database(options)
    db.set_labels(dict(getattr(options, "label", ())))
    config = recording_config(options)
    source = " ".join(["vesk run", *redacted_arguments([program.display, *options.args])])
    profiler = Profiler(config, db_path=database, source=source, children=options.children,
                        all_threads=options.all_threads)
    sys.argv = [program.argv0, *options.args]
    sys.path[0] = program.path0
    # SIGTERM ends the program as Ctrl-C does, unless it has a handler of its own (or ignores it).
    catch_sigterm = signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
    if catch_sigterm:
        signal.signal(signal.SIGTERM, _on_sigterm)

    status, failure, terminated = 0, None, []
    pid = os.getpid()  # a fork of the program ends here too, and must not speak for vesk
    profiler.on_final_save = lambda: os.getpid() == pid and _summary(profiler, database, options.db)
    profiler.start()
    try:
        program.run()
    except SystemExit as exit_request:
        status = exit_request.code
    except KeyboardInterrupt as interrupt:
        failure, status = interrupt, INTERRUPTED
    except Terminated:
        terminated.append(signal.SIGTERM)
    except BaseException as error:  # the program's own exception, shown as python shows it
        failure, status = error, 1
    finally:
        profiler.stop()
        if catch_sigterm:
            # A SIGTERM now waits until the trace is saved.
            signal.signal(signal.SIGTERM, lambda signum, frame: terminated.append(signum))
        saved = _save(profiler, options.db)
    if failure is not None:
        tb = _trimmed(failure, program.filename)
        if tb is None and isinstance(failure, SyntaxError):
            failure.__traceback__ = None  # python's own frames only: shown as python shows it
        elif tb is not None:
            failure.__traceback__ = tb
        sys.excepthook(type(failure), failure, failure.__traceback__)
    if saved and os.getpid() == pid:
        _summary(profiler, database, options.db)
    if terminated:
        # Ended as the signal would have ended it, once the trace is safe.
        sys.stdout.flush()
        sys.stderr.flush()
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGTERM)
    if not saved and status == 0:
        status = 1
    return status


def _save(profiler, shown_path):
    try:
        profiler.save()
    except Exception as error:  # noqa: BLE001 - one line, the program's own outcome stands
        print(f"vesk: the trace could not be saved in {shown_path}: {type(error).__name__}: "
              f"{error}", file=sys.stderr)
        return False
    return True


def _summary(profiler, database, shown_path):
    try:
        summary = next((s for s in db.list_traces(database) if s.trace_id == profiler.trace_id),
                       None)
    except (*db.STORE_ERRORS, OSError, db.NotAVeskDatabase, db.DatabaseTooNew):
        summary = None
    records = summary.record_count if summary else 0
    dropped = profiler.rust_profiler.dropped_events
    lost = f" ({dropped} events lost at the recursion limit)" if dropped else ""
    print(f"vesk: trace {profiler.trace_id}: {records} records saved in {shown_path}{lost}",
          file=sys.stderr)
