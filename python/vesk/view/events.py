"""The built-in framework events as the viewers show them: one line per record (an outbound HTTP
exchange, an SQL statement, a log record, a request and its response), and their counts in a
trace (statements executed more than once among them)."""

import re

from vesk.filters.events import TYPES as EVENT_TYPES
from vesk.view.tree import is_number
from vesk.view.values import clean, format_value

__all__ = ["EVENT_TYPES", "EventCounts", "event_line", "event_text", "format_seconds"]

_SPACES = re.compile(r"\s+")
_PARAMETERS_LIMIT = 40
_SHOWN_DUPLICATES = 5


def format_seconds(seconds, micro="µs"):
    from vesk.view.terminal import _format_duration  # the one format of durations

    return _format_duration(seconds, micro)


def _text(value):
    return clean(value) if isinstance(value, str) else "?"


def _duration(record, micro, *before):
    parts = [p for p in before if p]
    seconds = record.get("duration")
    if is_number(seconds):
        parts.append(format_seconds(seconds, micro))
    return f"({', '.join(parts)})" if parts else ""


def _statement(record):
    statement = record.get("statement")
    return _SPACES.sub(" ", statement).strip() if isinstance(statement, str) else "?"


def _http(record, glyphs):
    status = record.get("status")
    outcome = str(status) if type(status) is int else "!! no response"
    return f"{glyphs['out']} {_text(record.get('method'))} {_text(record.get('url'))} {outcome}", \
        _duration(record, glyphs["micro"])


def _sql(record, glyphs):
    head = f"SQL {clean(_statement(record))}"
    parameters = record.get("parameters")
    if isinstance(parameters, str):  # already text, as the browser viewer's index keeps it
        head += " " + clean(parameters[:_PARAMETERS_LIMIT])
    elif parameters not in (None, [], {}):
        head += " " + format_value(parameters, _PARAMETERS_LIMIT)
    rows = record.get("rowcount")
    counted = None if type(rows) is not int else f"{rows} row" + ("" if rows == 1 else "s")
    return head, _duration(record, glyphs["micro"], counted)


def _log(record, glyphs):
    head = f"{_text(record.get('level'))} {_text(record.get('logger'))}: {_text(record.get('message'))}"
    if isinstance(record.get("exception"), str):
        head += f" !! {clean(record['exception'])}"
    location = record.get("location")
    return head, clean(location) if isinstance(location, str) else ""


def _request(record, glyphs):
    framework = record.get("framework")
    return f"request {_text(record.get('method'))} {_text(record.get('url_path'))}", \
        f"({clean(framework)})" if isinstance(framework, str) else ""


def _response(record, glyphs):
    status = record.get("status")
    head = f"response {status if type(status) is int else '?'} {_text(record.get('method'))} " \
           f"{_text(record.get('url_path'))}"
    if isinstance(record.get("view"), str):
        head += f" {clean(record['view'])}"
    return head, _duration(record, glyphs["micro"])


_LINES = {"http": _http, "sql": _sql, "log": _log, "request": _request, "response": _response}
_GLYPHS = {"out": "→", "micro": "µs"}


def event_line(record, glyphs=_GLYPHS):
    """(text, tail) of a framework event's record: the tail (its duration or place) is to be kept
    whole when the line is cut. None for any other record. glyphs may give "out" (the arrow of
    an outbound call) and "micro" in a form the terminal can show."""
    line = _LINES.get(record.get("type"))
    if line is None:
        return None
    try:
        return line(record, glyphs)
    except (TypeError, ValueError, AttributeError):  # a record of another's making, shaped oddly
        return None


def event_text(record):
    """event_line as one text, or None."""
    line = event_line(record)
    return None if line is None else "  ".join(part for part in line if part)


class EventCounts:
    """How many records of each framework event a trace (or a thread) holds, and the SQL
    statements executed more than once with the same parameters."""

    def __init__(self):
        self.counts = dict.fromkeys(EVENT_TYPES, 0)
        self.sql_time = 0.0
        self.http_time = 0.0
        self.levels = {}
        self.statements = {}  # (statement, parameters' text) -> times executed

    def add(self, record):
        kind = record.get("type")
        if kind not in self.counts:
            return
        self.counts[kind] += 1
        seconds = record.get("duration")
        seconds = seconds if is_number(seconds) else 0.0
        if kind == "sql":
            self.sql_time += seconds
            parameters = record.get("parameters")
            shown = "" if parameters in (None, [], {}) else format_value(parameters, 200)
            key = (_statement(record), shown)
            self.statements[key] = self.statements.get(key, 0) + 1
        elif kind == "http":
            self.http_time += seconds
        elif kind == "log":
            level = _text(record.get("level"))
            self.levels[level] = self.levels.get(level, 0) + 1

    def merge(self, other):
        for kind, count in other.counts.items():
            self.counts[kind] += count
        self.sql_time += other.sql_time
        self.http_time += other.http_time
        for level, count in other.levels.items():
            self.levels[level] = self.levels.get(level, 0) + count
        for key, count in other.statements.items():
            self.statements[key] = self.statements.get(key, 0) + count
        return self

    @property
    def duplicates(self):
        """[(times, statement, parameters' text)] of the statements run more than once, most
        repeated first."""
        repeated = [(n, statement, parameters) for (statement, parameters), n in self.statements.items() if n > 1]
        return sorted(repeated, key=lambda item: (-item[0], item[1], item[2]))

    def __bool__(self):
        return any(self.counts.values())

    def as_json(self):
        return {
            "sql_queries": self.counts["sql"], "sql_time": self.sql_time,
            "duplicate_queries": [{"count": n, "statement": s, "parameters": p} for n, s, p in self.duplicates],
            "http_requests": self.counts["http"], "http_time": self.http_time,
            "log_records": self.counts["log"], "log_levels": dict(sorted(self.levels.items())),
            "requests_answered": self.counts["response"],
        }

    def write(self, out, micro="µs", more="…"):
        """The counts as the lines of vesk stats."""
        out.write("\nevents\n")
        sql = self.counts["sql"]
        duplicates = self.duplicates
        out.write(f"  SQL queries       {sql}" + (f" ({format_seconds(self.sql_time, micro)})" if sql else "")
                  + (f", {sum(n - 1 for n, _, _ in duplicates)} repeated" if duplicates else "") + "\n")
        for n, statement, parameters in duplicates[:_SHOWN_DUPLICATES]:
            out.write(f"    {n} times: {clean(statement)[:100]}" + (f" {clean(parameters)}" if parameters else "") + "\n")
        if len(duplicates) > _SHOWN_DUPLICATES:
            out.write(f"    {more} {len(duplicates) - _SHOWN_DUPLICATES} more statements repeated\n")
        http = self.counts["http"]
        out.write(f"  HTTP requests     {http}" + (f" ({format_seconds(self.http_time, micro)})" if http else "") + "\n")
        levels = ", ".join(f"{level} {n}" for level, n in sorted(self.levels.items()))
        out.write(f"  log records       {self.counts['log']}" + (f" ({clean(levels)})" if levels else "") + "\n")
        out.write(f"  requests answered {self.counts['response']}\n")
