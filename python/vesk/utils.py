"""Small helpers of the companion package."""

import os
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
