"""A package's own test suite from the package index, run plain and under `pytest --vesk`: the
outcome of every test in both runs, and the time each took.

    .venv/bin/python bench/real_suite.py [--package boltons] [--version 26.2.0] [--repeat R]
        [--tests PATH]      (toolz: --package toolz --version 1.2.0 --tests toolz/tests)

The sdist is fetched once into build/bench-suites/ (pip download, no dependencies). Both runs
use the same interpreter, hash seed and options; the best time of R runs is kept. Prints the
tests whose outcomes differ (none is the target), and the ratio to the plain time of the
recorded one, of cProfile's (`python -m cProfile -m pytest`) and of vesk's through the profile
function (VESK_HOOK=profile) rather than sys.monitoring (the same on 3.11).
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import time
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parents[1]
CACHE = ROOT / "build" / "bench-suites"
OPTIONS = ["-q", "-p", "no:cacheprovider", "-W", "ignore::pytest.PytestAssertRewriteWarning"]


def fetch(package, version):
    suite = CACHE / f"{package}-{version}"
    if suite.is_dir():
        return suite
    CACHE.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--no-binary", ":all:",
                    "-d", str(CACHE), f"{package}=={version}"], check=True)
    with tarfile.open(CACHE / f"{package}-{version}.tar.gz") as archive:
        archive.extractall(CACHE, filter="data")
    return suite


def outcomes(report):
    found = {}
    for case in ET.parse(report).getroot().iter("testcase"):
        key = f"{case.get('classname')}::{case.get('name')}"
        kinds = {child.tag for child in case}
        found[key] = next((k for k in ("failure", "error", "skipped") if k in kinds), "passed")
    return found


def run(suite, tests, report, mode, folder, attempt):
    env = dict(os.environ, PYTHONHASHSEED="0")
    command = [sys.executable, "-m", "pytest", *OPTIONS, f"--junitxml={report}"]
    if mode == "cprofile":
        command[1:1] = ["-m", "cProfile", "-o", os.devnull]
    elif mode.startswith("vesk"):
        command += ["--vesk", "--vesk-db", f"{folder}/{mode}-{attempt}.sqlite3"]
        if mode == "vesk-profile-hook":
            env["VESK_HOOK"] = "profile"
    start = time.perf_counter()
    subprocess.run([*command, tests], cwd=suite, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - start, outcomes(report)


MODES = ("plain", "cprofile", "vesk", "vesk-profile-hook")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", default="boltons")
    parser.add_argument("--version", default="26.2.0")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--tests", default="tests")
    options = parser.parse_args()
    suite = fetch(options.package, options.version)
    with tempfile.TemporaryDirectory() as folder:
        best = {}
        seen = {}
        for attempt in range(options.repeat):
            for mode in MODES:  # interleaved, so that drift hits every mode alike
                seconds, found = run(suite, options.tests, f"{folder}/{mode}.xml", mode, folder,
                                     attempt)
                best[mode] = min(best.get(mode, seconds), seconds)
                seen[mode] = found
    differ = sorted(k for k in seen["plain"].keys() | seen["vesk"].keys()
                    if seen["plain"].get(k) != seen["vesk"].get(k))
    print(f"{options.package} {options.version} on Python {sys.version.split()[0]}: "
          f"{len(seen['plain'])} tests")
    for mode in MODES:
        print(f"{mode:18} {best[mode]:6.2f} s  {best[mode] / best['plain']:5.2f}x plain")
    print(f"outcomes that differ under --vesk: {len(differ)}")
    for key in differ:
        print(f"  {key}: {seen['plain'].get(key)} plain, {seen['vesk'].get(key)} recorded")

if __name__ == "__main__":
    main()
