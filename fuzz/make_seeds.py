"""Makes the seed corpora of the fuzz targets from real recordings: a few programs are recorded
with vesk (the example shop, a program of threads, generators, exceptions and coroutines, a
pytest session with a test per trace), and their stored parts become the seeds.

    python fuzz/make_seeds.py OUT [--quick]

OUT/<target>/ gets the seeds of each target: reader and skim take a part's MessagePack as it is
once decompressed, part a part as stored (see part_fuzz.py), listing a trace list's rows (see
listing_fuzz.py). --quick records the shop alone, with small parts, for the tests that run the
harnesses once."""

import argparse
import hashlib
import os
import pathlib
import sqlite3
import subprocess
import sys
import tempfile
import textwrap

import msgpack

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

from listing_fuzz import COLUMNS  # noqa: E402
from part_fuzz import part_input  # noqa: E402

WORKERS = textwrap.dedent('''
    import asyncio, concurrent.futures, threading

    class Odd(Exception):
        pass

    def digits(n):
        for d in str(n):
            yield int(d)

    def check(n):
        if n % 3 == 0:
            raise Odd(n, "divisible")
        return sum(digits(n))

    def guarded(n):
        try:
            return check(n)
        except Odd as exc:
            return -len(exc.args)

    async def later(n):
        await asyncio.sleep(0)
        return guarded(n) * 2

    async def gather():
        return await asyncio.gather(*(later(n) for n in range(4)))

    def main():
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            print(sum(pool.map(guarded, range(12))))
        worker = threading.Thread(target=lambda: [guarded(n) for n in range(5)], name="lone")
        worker.start()
        worker.join()
        print(asyncio.run(gather()))
        try:
            check(9)
        except Odd:
            pass

    main()
''')

TESTS = textwrap.dedent('''
    import pytest

    def double(x):
        return 2 * x

    @pytest.mark.parametrize("n", [1, 2])
    def test_double(n):
        assert double(n) == 2 * n

    def test_fails():
        assert double(2) == 5

    def test_raises():
        with pytest.raises(ZeroDivisionError):
            1 / 0

    @pytest.mark.skip(reason="not today")
    def test_skipped():
        pass
''')


def record(folder, python, quick):
    """Records the programs into folder/db.sqlite3; returns its path."""
    db = folder / "db.sqlite3"
    env = {**os.environ, "PYTHONDONTWRITEBYTECODE": "1"}
    vesk = [python, "-m", "vesk"]
    runs = [[*vesk, "run", "--db", str(db), "--part-size", "16K", "--label", "seed=shop",
             str(ROOT / "examples" / "shop.py")]]
    if not quick:
        (folder / "workers.py").write_text(WORKERS)
        (folder / "test_seeds.py").write_text(TESTS)
        runs += [
            [*vesk, "run", "--db", str(db), str(ROOT / "examples" / "shop.py")],
            [*vesk, "run", "--db", str(db), "--part-size", "8K", "--label", "seed=workers",
             str(folder / "workers.py")],
            [*vesk, "run", "--db", str(db), "--lightweight", str(folder / "workers.py")],
            [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--vesk", "--vesk-db", str(db),
             "--vesk-label", "seed=pytest", str(folder / "test_seeds.py")],
        ]
    for command in runs:
        subprocess.run(command, cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=command[1] != "-m" or command[2] != "pytest")
    return db


def write(folder, data):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / hashlib.sha1(data).hexdigest()).write_bytes(data)


def make(out, python=sys.executable, quick=False):
    out = pathlib.Path(out)
    with tempfile.TemporaryDirectory(prefix="vesk-seeds-") as temporary:
        db_path = record(pathlib.Path(temporary), python, quick)
        from vesk import db

        conn = sqlite3.connect(db_path)
        try:
            rows = conn.execute(f"SELECT {', '.join(COLUMNS)} FROM traces ORDER BY id").fetchall()
        finally:
            conn.close()
    msgpack_at = COLUMNS.index("msgpack")
    encoding_at, raw_size_at = COLUMNS.index("encoding"), COLUMNS.index("raw_size")
    for row in rows:
        blob, encoding, raw_size = row[msgpack_at], row[encoding_at], row[raw_size_at]
        part = db._decoded(blob, encoding, raw_size)
        for target in ("reader", "skim"):
            write(out / target, part)
        write(out / "part", part_input(blob, encoding, raw_size))
    # The listing's rows, a trace's parts together; the big blobs cut to what a row of the list
    # needs (none of it: the list reads the columns), but one small part kept whole.
    by_trace = {}
    trace_at = COLUMNS.index("trace_id")
    for row in rows:
        by_trace.setdefault(row[trace_at], []).append(list(row))
    for trace_rows in by_trace.values():
        for row in trace_rows:
            if len(row[msgpack_at]) > 2048:
                row[msgpack_at] = b""
        write(out / "listing", msgpack.packb(trace_rows, use_bin_type=True))
    write(out / "listing", msgpack.packb([list(r) for r in rows[:3]], use_bin_type=True))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    make(options.out, quick=options.quick)
    for target in sorted(os.listdir(options.out)):
        print(f"{target}: {len(os.listdir(os.path.join(options.out, target)))} seeds")


if __name__ == "__main__":
    main()
