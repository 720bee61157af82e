"""A package's own test suite from the package index, run plain and under `pytest --vesk`: the
outcome of every test in both runs, and the time each took.

    .venv/bin/python bench/real_suite.py [--package boltons] [--version 26.2.0] [--repeat R]

The sdist is fetched once into build/bench-suites/ (pip download, no dependencies). Both runs
use the same interpreter, hash seed and options; the best time of R runs is kept. Prints the
tests whose outcomes differ (none is the target), and the ratio of the recorded time to the
plain one (the target for boltons: at most 4).
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


def run(suite, report, *extra):
    env = dict(os.environ, PYTHONHASHSEED="0")
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "pytest", *OPTIONS, f"--junitxml={report}", *extra,
                    "tests"], cwd=suite, env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return time.perf_counter() - start, outcomes(report)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--package", default="boltons")
    parser.add_argument("--version", default="26.2.0")
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    suite = fetch(options.package, options.version)
    with tempfile.TemporaryDirectory() as folder:
        best = {}
        seen = {}
        for attempt in range(options.repeat):
            for mode, extra in (("plain", ()), ("vesk", ("--vesk", "--vesk-db",
                                                         f"{folder}/db-{attempt}.sqlite3"))):
                seconds, found = run(suite, f"{folder}/{mode}.xml", *extra)
                best[mode] = min(best.get(mode, seconds), seconds)
                seen[mode] = found
    differ = sorted(k for k in seen["plain"].keys() | seen["vesk"].keys()
                    if seen["plain"].get(k) != seen["vesk"].get(k))
    print(f"{options.package} {options.version}: {len(seen['plain'])} tests")
    print(f"plain {best['plain']:.2f} s, under --vesk {best['vesk']:.2f} s: "
          f"{best['vesk'] / best['plain']:.2f}x")
    print(f"outcomes that differ: {len(differ)}")
    for key in differ:
        print(f"  {key}: {seen['plain'].get(key)} plain, {seen['vesk'].get(key)} recorded")


if __name__ == "__main__":
    main()
