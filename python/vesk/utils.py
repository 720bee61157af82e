"""Small helpers of the companion package."""

import os
import re
import time

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def new_ulid():
    """A ULID in its 26-character text: 48 bits of milliseconds, then 80 random bits."""
    value = (time.time_ns() // 1_000_000 & (1 << 48) - 1) << 80
    value |= int.from_bytes(os.urandom(10), "big")
    return "".join(_CROCKFORD[(value >> shift) & 31] for shift in range(125, -1, -5))


def new_trace_id():
    return "trc_" + new_ulid()


class CommandError(Exception):
    """A problem with what was asked, reported by the command line as one line."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def parse_size(text):
    """A byte count written as a number with an optional binary unit: 4096, 64M, 64MiB, 1G, 1.5g.
    0 means no bound. ValueError for anything else."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmgt]?)(?:i?b)?\s*", str(text), re.IGNORECASE)
    if match is None:
        raise ValueError(f"not a size: {text!r} (a number of bytes, or with K, M, G or T)")
    return int(float(match.group(1)) * _UNITS[match.group(2).lower()])


def parse_label(text):
    """(key, value) of a label given on a command line as KEY=VALUE."""
    import argparse

    key, equals, value = text.partition("=")
    if not equals or not key.strip():
        raise argparse.ArgumentTypeError(f"not KEY=VALUE: {text!r}")
    return key.strip(), value
