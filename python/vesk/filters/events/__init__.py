"""The framework events vesk records out of the box: outbound HTTP, SQL, log records and the
requests a web application answers. Each description names library functions by code name and
file, so it matches nothing until the program imports that library; loading them imports none.
"""

from vesk.filters.events import http, inbound, logs, sql

DESCRIPTIONS = [*http.DESCRIPTIONS, *sql.DESCRIPTIONS, *logs.DESCRIPTIONS, *inbound.DESCRIPTIONS]

# The record types they make, for readers.
TYPES = ("http", "sql", "log", "request", "response")
