"""The Python fuzz targets (fuzz/, run by scripts/fuzz) once over seeds recorded here and over the
inputs they found faults with: a harness that rots, or a fault that comes back, fails here
rather than in the next fuzzing session. The native reader's target runs in the C++ tests."""

import importlib
import pathlib
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = ["part", "skim", "listing"]


@pytest.fixture(scope="module")
def targets():
    sys.path.insert(0, str(FUZZ))
    try:
        yield {name: importlib.import_module(f"{name}_fuzz") for name in TARGETS}
    finally:
        sys.path.remove(str(FUZZ))


@pytest.fixture(scope="module")
def seeds(targets, tmp_path_factory):
    make_seeds = importlib.import_module("make_seeds")
    return make_seeds.make(tmp_path_factory.mktemp("seeds"), quick=True)


@pytest.mark.parametrize("target", TARGETS)
def test_targets_take_their_seeds(targets, seeds, target):
    found = sorted((seeds / target).iterdir())
    assert found
    for seed in found:
        targets[target].TestOneInput(seed.read_bytes())


# Inputs the targets found faults with, and inputs at their edges.
CASES = {
    "part": [
        b"",  # shorter than its header
        bytes([0]) + bytes(8),  # an empty part, stored as it is
        bytes([1]) + bytes(8) + b"\x28\xb5\x2f\xfd",  # a zstd frame cut after its magic
        bytes([3]) + bytes(8) + b"x",  # an encoding this vesk does not know
        bytes([2 | 1 << 2]) + (1 << 40).to_bytes(8, "big") + b"abc",  # more than a part may hold
        # Bytes after the frame: refused, as the reader is right to.
        bytes([1 | 1 << 2]) + (3).to_bytes(8, "big") + b"\x28\xb5\x2f\xfd\x20\x03\x19\x00\x00abcjunk",
        # A frame cut before its first block, of no declared content size: read as empty.
        bytes([1 | 1 << 2]) + bytes(8) + b"\x28\xb5\x2f\xfd\x00\x0b\x02",
    ],
    "skim": [
        b"",
        b"\xc1",
        b"\x80",
        b"\x81\xb2frames_of_interest\x91\x80",
        # A value no reader of records decodes, not UTF-8: read in one pass, the part was not
        # refused as it is when loaded whole.
        b"\x81\xa5extra\xa1\xff",
        b"\x81\xa6frames\x81\xcc\xc8\xa1\xff",
    ],
    "listing": [
        b"\x90",
        b"\x91\x95\xa1t\x00\xc0\xc0\x00",  # a row whose blob is NULL
    ],
}


@pytest.mark.parametrize("target, data", [(t, d) for t, cases in CASES.items() for d in cases])
def test_targets_take_their_edge_cases(targets, target, data):
    targets[target].TestOneInput(data)
