"""The cost of recording in instructions, counted by callgrind: a measure that other work on the
machine does not disturb, beside the times of bench/side_by_side.py.

    .venv/bin/python bench/instructions.py [--only W ...] [--modes M ...] [--scale S]

Runs each workload of bench/side_by_side.py under `valgrind --tool=callgrind` once with its
rounds divided by S (default 10) and once with none, in each mode; the difference is the work's own
cost, start-up and the recording's start and save left out. Prints instructions per profile event
for each mode, the overhead over the plain run, and that overhead against cProfile's and against
VizTracer's with arguments. Modes as side_by_side.py's, and vesk-profile-hook: vesk through the
threads' profile function rather than sys.monitoring (VESK_HOOK=profile; the same on 3.11).
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

MODES = ["plain", "cprofile", "viztracer-args", "vesk", "vesk-light", "vesk-profile-hook"]


def instructions(folder, mode):
    """Instructions of one run of the side-by-side runner in this mode."""
    out = os.path.join(folder, "callgrind.out")
    code = side_by_side.RUNNER % {"folder": folder, "mode": "vesk" if mode == "vesk-profile-hook" else mode}
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
