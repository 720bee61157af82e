"""The cost of recording in instructions, counted by callgrind: a measure that other work on the
machine does not disturb, beside the times of bench/side_by_side.py.

    .venv/bin/python bench/instructions.py [--only W ...] [--modes M ...] [--scale S]

Runs each workload of bench/side_by_side.py under `valgrind --tool=callgrind` once with its
rounds divided by S (default 10) and once with none, in each mode; the difference is the work's own
cost, start-up and the recording's start left out. Every thread counts: the saver thread's work
too. Prints instructions per profile event for each mode, the overhead over the plain run, and that
overhead against cProfile's and against VizTracer's with arguments (which is not saved). vesk
records with its default settings (parts of 64 MiB); vesk+save stores its records at the end too;
vesk-profile-hook records through the threads' profile function rather than sys.monitoring
(VESK_HOOK=profile; the same as vesk on 3.11).
Needs valgrind (Debian's package).
"""

import argparse
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent
_spec = importlib.util.spec_from_file_location("side_by_side", HERE / "side_by_side.py")
side_by_side = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(side_by_side)

MODES = ["plain", "cprofile", "viztracer-args", "vesk", "vesk+save", "vesk-light", "vesk-profile-hook"]

RUNNER = r"""
import sys
sys.path.insert(0, %(folder)r)
import workload
mode = %(mode)r
workload.run(2)  # imports and caches warm
if mode == "cprofile":
    import cProfile
    recorder = cProfile.Profile()
    recorder.enable()
elif mode == "viztracer-args":
    from viztracer import VizTracer
    recorder = VizTracer(tracer_entries=20_000_000, log_func_args=True, log_func_retval=True, verbose=0)
    recorder.start()
elif mode.startswith("vesk"):
    from vesk.profiler import Profiler, make_config
    recorder = Profiler(make_config(lightweight=mode == "vesk-light"), db_path=%(folder)r + "/db.sqlite3")
    recorder.start()
workload.run()
if mode == "cprofile":
    recorder.disable()
elif mode != "plain":
    recorder.stop()
if mode == "vesk+save":
    recorder.save()
"""


def instructions(folder, mode):
    """Instructions of one run in this mode: the workload recorded, and for vesk+save stored."""
    out = os.path.join(folder, "callgrind.out")
    code = RUNNER % {"folder": folder, "mode": mode}
    env = dict(os.environ)
    if mode == "vesk-profile-hook":
        env["VESK_HOOK"] = "profile"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", code],
                   cwd=folder, env=env, check=True, capture_output=True)
    with open(out) as counts:
        return int(re.search(r"^(?:summary|totals): (\d+)", counts.read(), re.M).group(1))


def workload(name, rounds):
    folder = tempfile.mkdtemp(prefix="instr-")
    source = textwrap.dedent(side_by_side.WORKLOADS[name]).replace("=N", f"={rounds}")
    pathlib.Path(folder, "workload.py").write_text(source)
    return folder


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", default=["micro", "objects", "library"])
    parser.add_argument("--modes", nargs="*", default=MODES)
    parser.add_argument("--scale", type=int, default=10)
    options = parser.parse_args()
    print(f"Python {sys.version.split()[0]}")
    for name in options.only:
        rounds = max(side_by_side.ROUNDS[name] // options.scale, 1)
        full, empty = workload(name, rounds), workload(name, 0)
        events = side_by_side.run(sys.executable, full, "count")["events"] - side_by_side.run(
            sys.executable, empty, "count")["events"]
        cost = {mode: (instructions(full, mode) - instructions(empty, mode)) / events
                for mode in options.modes}
        plain = cost.get("plain", 0.0)
        over = {mode: value - plain for mode, value in cost.items()}
        print(f"\n{name}: {events} profile events")
        print(f"{'mode':18} {'instr/event':>12} {'over/event':>11} {'x cProfile':>11} {'x viz-args':>11}")
        for mode in options.modes:
            against = [f"{over[mode] / over[base]:11.2f}" if over.get(base) and mode != "plain" else f"{'':11}"
                       for base in ("cprofile", "viztracer-args")]
            print(f"{mode:18} {cost[mode]:12.0f} {over[mode]:11.0f} {against[0]} {against[1]}")


if __name__ == "__main__":
    main()
