"""The rows of a trace database from elsewhere listed as `vesk traces` and the viewer's trace list
list them: every column may hold any type SQLite stores (a file is anyone's to write), and the
list must come out typed as TraceSummary says, its texts printable, its times finite, its labels
text to text, the viewer's answer JSON without NaN; a command meets only the errors it reports.

An input is MessagePack: an array of rows, each an array of values for PART_COLUMNS in order
(missing ones NULL; arrays and maps stored as their text). A str or an int before the rows is the
pattern that --test looks for, or the schema version the file says it has (1 to 6)."""

from harness import instrumented  # noqa: I001 - first: it chooses msgpack's decoder

import os
import atexit
import io
import json
import math
import shutil
import sys
import tempfile

import msgpack


with instrumented(__name__ == "__main__"):
    from vesk import db
    from vesk.ui.api import Api
    from vesk.ui.listing import listed
    from vesk.utils import CommandError
    from vesk.view.choose import test_traces
    from vesk.view.lineage import descendants, in_family_order
    from vesk.view.terminal import format_traces

COLUMNS = [name.strip() for name in db.PART_COLUMNS.split(",")]
_FOLDER = tempfile.mkdtemp(prefix="vesk-listing-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
_TEMPLATE = os.path.join(_FOLDER, "template.sqlite3")
_PATH = os.path.join(_FOLDER, "db.sqlite3")
atexit.register(shutil.rmtree, _FOLDER, True)
_INSERT = f"INSERT INTO traces ({', '.join(COLUMNS)}) VALUES ({', '.join('?' * len(COLUMNS))})"


def _template():
    """An empty database of the current schema, as vesk makes one."""
    if not os.path.exists(_TEMPLATE):
        conn = db.sqlite3.connect(_TEMPLATE, isolation_level=None)
        conn.execute(f"PRAGMA application_id = {db.APPLICATION_ID}")
        conn.execute(f"PRAGMA user_version = {db.SCHEMA_VERSION}")
        for statement in db._SCHEMA:
            conn.execute(statement)
        conn.close()
    return _TEMPLATE


# What the terminal views escape (values.clean): controls but the line ends the list writes, line
# separators, and bidirectional controls, which would show the text in another order.
_UNSHOWN = ({chr(c) for c in range(0x20) if c != 0x0A} | {chr(c) for c in range(0x7F, 0xA0)}
            | {"\u2028", "\u2029", "\u061c", "\u200e", "\u200f"} | {chr(c) for c in range(0x202A, 0x202F)}
            | {chr(c) for c in range(0x2066, 0x206A)})


def _stored(value):
    """A MessagePack value as a column holds it."""
    if value is None or isinstance(value, (bool, float, str, bytes)):
        return value
    if isinstance(value, int):
        return value if -(1 << 63) <= value < (1 << 63) else str(value)
    return repr(value)


def _check_summary(s):
    assert type(s.trace_id) is str
    assert type(s.created_at) is float and math.isfinite(s.created_at)
    for text in (s.source, s.test_nodeid, s.test_outcome, s.parent_trace_id, s.host, s.user, s.ci_job,
                 s.ci_commit):
        assert text is None or type(text) is str
    for count in (s.record_count, s.pid):
        assert count is None or type(count) is int
    assert type(s.size) is int and type(s.parts) is int
    assert s.started_at is None or (type(s.started_at) is float and math.isfinite(s.started_at))
    assert type(s.labels) is dict and all(type(k) is str and type(v) is str for k, v in s.labels.items())


def TestOneInput(data):
    try:
        found = msgpack.unpackb(data, strict_map_key=False, raw=False)
    except Exception:
        return
    if not isinstance(found, list):
        return
    pattern, version = "test", None
    while found and not isinstance(found[0], list):
        first = found.pop(0)
        if isinstance(first, str) and first:
            pattern = first
        elif type(first) is int and 1 <= first <= 6:
            version = first
    shutil.copyfile(_template(), _PATH)
    conn = db.sqlite3.connect(_PATH, isolation_level=None)
    try:
        if version is not None:
            conn.execute(f"PRAGMA user_version = {version}")
        for row in found[:32]:
            values = [_stored(v) for v in row[:len(COLUMNS)]] if isinstance(row, list) else []
            values += [None] * (len(COLUMNS) - len(values))
            try:
                conn.execute(_INSERT, values)
            except db.sqlite3.IntegrityError:
                pass  # a NOT NULL column left NULL: no writer of a file makes that either
    finally:
        conn.close()
    read(_PATH, pattern)


def read(path, pattern):
    summaries = db.list_traces(path)
    for summary in summaries:
        _check_summary(summary)
    out = io.StringIO()
    format_traces(summaries, out)
    assert not _UNSHOWN.intersection(out.getvalue()), "the list prints what a terminal takes for more than text"
    assert len(list(in_family_order(summaries))) == len(summaries)
    saves = db.last_saves(path)
    assert all(type(k) in (str, type(None)) and math.isfinite(v) for k, v in saves.items())
    latest = db.latest_trace_id(path)
    assert latest is None or any(s.trace_id == latest for s in summaries)
    if summaries:
        descendants(summaries, summaries[0].trace_id)
    try:
        test_traces(path, pattern)
    except CommandError:
        pass
    for summary, session, saved in listed(path):
        assert session is None or type(session) is str
        assert math.isfinite(saved)
    api = Api(path)
    try:
        json.dumps(api.traces(), allow_nan=False)
        for summary in summaries[:3]:
            json.dumps(api.answer(["trace", summary.trace_id, "threads"], {}), allow_nan=False)
    finally:
        api.close()


def main():
    import atheris

    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
