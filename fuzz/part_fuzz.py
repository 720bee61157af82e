"""A stored part as a row of a database from elsewhere holds it (its blob, encoding and raw_size)
decoded by vesk.db.decode_part: it decodes to exactly what it declares, or it is refused with
PartUnreadable (DatabaseTooNew for an encoding this vesk does not know), found without holding
more than the limit in memory. Anything else escaping, or a promise broken, is a finding.

An input is one byte of how to read the rest, the raw_size (8 bytes, signed, big-endian), then
the blob. The parts' bound is lowered to 1 MiB here, so that a part claiming more than that is a
part too big, as one claiming over 2 GiB is in use."""

from harness import instrumented

import sys

import zstandard



with instrumented(__name__ == "__main__"):
    from vesk import db

MAX_PART = 1 << 20

# The first byte: how the encoding column reads (two bits) ...
ENCODINGS = (None, "zstd", "zstd", "gzip")
COMPRESS = 2  # "zstd", the blob being what follows compressed here: frames that decode
# ... how raw_size reads (two bits) ...
RAW_SIZES = ("none", "given", "true", "odd")
ODD_SIZES = (1.5, "12", b"12", True, -1)
# ... whether the blob is bytes (a column from elsewhere may hold text), and whether the caller
# reuses a buffer.
AS_TEXT, REUSE = 1 << 4, 1 << 5


def part_input(blob, encoding, raw_size):
    """The input that stands for a part stored as these columns."""
    flags = ENCODINGS.index(encoding) | (0 if raw_size is None else 1 << 2)
    return bytes([flags]) + int(raw_size or 0).to_bytes(8, "big", signed=True) + blob


def _complete(blob):
    """What a zstd decoder other than the reader's makes of the blob as one frame: its bytes, and
    whether the blob is one whole frame (and nothing after it); None when it is not a frame, or
    holds more than a part may."""
    decoder = zstandard.ZstdDecompressor().decompressobj()
    data = bytearray()
    fed = 0
    try:
        # A piece at a time: a frame of a few kilobytes may claim gigabytes.
        while fed < len(blob) and not decoder.eof and len(data) <= MAX_PART:
            data += decoder.decompress(blob[fed:fed + 1024])
            fed += 1024
    except zstandard.ZstdError:
        return None
    if len(data) > MAX_PART:
        return None
    return bytes(data), decoder.eof and not decoder.unused_data and fed >= len(blob)


def TestOneInput(data):
    # The bound lowered for this input only: the tests run the target in a session of their own.
    kept, db.MAX_PART_SIZE = db.MAX_PART_SIZE, MAX_PART
    try:
        _read(data)
    finally:
        db.MAX_PART_SIZE = kept


def _read(data):
    if len(data) < 9:
        return
    flags, given, blob = data[0], int.from_bytes(data[1:9], "big", signed=True), data[9:]
    encoding = ENCODINGS[flags & 3]
    if flags & 3 == COMPRESS:
        blob = zstandard.ZstdCompressor(level=1).compress(blob)
    expected = blob if encoding is None else None
    reference = _complete(blob) if encoding == "zstd" else None
    if reference is not None and reference[1]:
        expected = reference[0]
    how = RAW_SIZES[(flags >> 2) & 3]
    raw_size = {"none": None, "given": given,
                "true": None if expected is None else len(expected) + given % 3 - 1,
                "odd": ODD_SIZES[given % len(ODD_SIZES)]}[how]
    stored = blob.decode("latin-1") if flags & AS_TEXT else blob
    room = given % 64
    buffer = [bytearray(room)] if flags & REUSE else None
    # What must be read: a part of bytes whose size is declared (or, stored as it is, was
    # stored before sizes were), within the bound, and that decodes to that size.
    declared = type(raw_size) is int and raw_size >= 0
    readable = (expected is not None and not flags & AS_TEXT and len(expected) <= MAX_PART
                and (raw_size == len(expected) if declared else raw_size is None and encoding is None))
    try:
        part = db.decode_part(stored, encoding, raw_size, buffer, "trc_F", 1)
    except db.PartUnreadable:
        assert not readable, "a part that decodes to what it declares was refused"
        return
    except db.DatabaseTooNew:
        assert encoding not in (None, "zstd"), "an encoding this vesk writes was refused"
        return
    assert encoding in (None, "zstd") and not flags & AS_TEXT
    assert raw_size is None or (declared and len(part) == raw_size), "not the size declared"
    assert raw_size is not None or encoding is None, "a compressed part of no declared size was read"
    assert len(part) <= MAX_PART, "more than a part may hold"
    if buffer is not None:
        assert len(buffer[0]) <= max(room, len(part) + 1), "more room taken than the part declares"
    if expected is None:
        # A frame cut short after whole blocks: zstd's stream reader, which the reader uses, does
        # not tell, and the part is what those blocks hold. Only a raw_size that says so lets it
        # through (a frame that gives its size is checked against it), and a writer's never does.
        assert reference is not None and bytes(part) == reference[0], "a blob that is no frame was read"
        return
    assert bytes(part) == expected, "bytes other than the blob's"


def main():
    import atheris

    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
