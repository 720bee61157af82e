"""What the Python fuzz targets share: msgpack's pure-Python decoder, and coverage from the
package's own modules only.

msgpack's C decoder (1.1.2) leaks what it had built of a value when a str in it is not UTF-8,
which a fuzzer meets every few inputs: it would run out of memory. Its pure-Python decoder, which
decodes alike, is used instead: msgpack reads the variable when it is first imported, so a target
imports this module first."""

import contextlib
import os

os.environ.setdefault("MSGPACK_PUREPYTHON", "1")


def instrumented(as_fuzzer):
    """Run as a fuzzer (as_fuzzer: the target runs as the main module), the package's modules
    report their coverage to it, and nothing else's (msgpack's pure-Python decoder would have it
    chase its own branches)."""
    if not as_fuzzer:
        return contextlib.nullcontext()
    import atheris

    return atheris.instrument_imports(include=["vesk"])
