"""Command line: python -m vesk run script.py [args...]"""

import argparse
import os
import runpy
import sys

from vesk import db
from vesk.profiler import DEFAULT_DB_PATH, Profiler


def run_script(script, args, db_path):
    profiler = Profiler({"threading": True}, db_path=db_path, source=f"vesk run {script}")
    sys.argv = [script, *args]
    sys.path.insert(0, os.path.dirname(os.path.abspath(script)))
    profiler.start()
    try:
        runpy.run_path(script, run_name="__main__")
    finally:
        profiler.stop()
        profiler.save()
    return profiler


def main(argv=None):
    parser = argparse.ArgumentParser(prog="vesk", description="Record what a Python program does.")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run a Python script and record it")
    run.add_argument("--db", default=DEFAULT_DB_PATH, help="SQLite database for the trace")
    run.add_argument("script")
    run.add_argument("args", nargs=argparse.REMAINDER)
    options = parser.parse_args(argv)

    if not os.path.isfile(options.script):
        parser.exit(2, f"vesk: no such script: {options.script}\n")
    profiler = run_script(options.script, options.args, options.db)
    summary = next(s for s in db.list_traces(options.db) if s.trace_id == profiler.trace_id)
    print(f"vesk: trace {summary.trace_id}: {summary.record_count} records saved in {options.db}",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
