"""SQL statements as the libraries hand them to the database driver: one "sql" record at the
return of the call that executes them, with the statement, its parameters (bounded, those given
by a secret name redacted), the rows the driver says were affected (None where it does not know,
as for a SELECT) and the time the execution took.

SQLAlchemy executes through its dialect's do_execute, do_executemany and do_execute_no_params;
Django through its cursor wrapper's _execute and _executemany. A driver written in Python would
be watched at its cursor's execute, but the usual ones (sqlite3, psycopg) are written in C and
have no frame to watch.
"""

from vesk.filters.events.common import ITEMS_LIMIT, bounded, clock, text
from vesk.filters.secrets import is_secret_name, marker

SQLALCHEMY = ["do_execute", "do_executemany", "do_execute_no_params"]
DJANGO = ["_execute", "_executemany"]
_MANY = ("do_executemany", "_executemany")


def _parameters(value, many, names):
    if many:
        rows = value if isinstance(value, (list, tuple)) else None
        if rows is None:
            return text(type(value).__name__)  # an iterator: reading it would use it up
        return [_row(row, names) for row in rows[:ITEMS_LIMIT]]
    return _row(value, names)


def _row(row, names):
    """One row of parameters; given by position, those whose names (when the statement's
    compiler kept them) are secret are redacted."""
    if names is not None and isinstance(row, (list, tuple)) and len(row) == len(names):
        return [marker(value) if isinstance(name, str) and is_secret_name(name) else bounded(value)
                for name, value in zip(names[:ITEMS_LIMIT], row[:ITEMS_LIMIT])]
    return bounded(row)


def _positional_names(execution_context):
    """The names of a SQLAlchemy statement's positional parameters, in order, or None."""
    names = getattr(getattr(execution_context, "compiled", None), "positiontup", None)
    return names if isinstance(names, (list, tuple)) else None


def _rowcount(cursor):
    count = getattr(cursor, "rowcount", None)
    return count if isinstance(count, int) and count >= 0 else None


def _start(frame, event, arg, context):
    """At the call, starts the clock (and makes no record); at the return, true for a call it
    timed. A dialect whose method calls the default one is timed once, at the outer call."""
    if event == "call":
        caller = frame.f_back
        if caller is None or not clock(context).is_open(caller):
            clock(context).start(frame)
        return False
    return clock(context).is_open(frame)


def _record(frame, statement, parameters, cursor, library, database, context, names=None):
    duration, _ = clock(context).finish(frame)
    many = frame.f_code.co_name in _MANY
    fields = {
        "statement": text(statement),
        "parameters": _parameters(parameters, many, names),
        "rowcount": _rowcount(cursor),
        "duration": duration,
        "library": library,
        "database": database,
    }
    if many:
        fields["executemany"] = True
    return fields


def sqlalchemy_query(frame, event, arg, context):
    local = frame.f_locals
    dialect = local.get("self")
    return _record(frame, local.get("statement"), local.get("parameters"), local.get("cursor"),
                   "sqlalchemy", text(getattr(dialect, "name", None)), context,
                   _positional_names(local.get("context")))


def django_query(frame, event, arg, context):
    local = frame.f_locals
    wrapper = local.get("self")
    parameters = local.get("param_list") if "param_list" in local else local.get("params")
    connection = getattr(wrapper, "db", None)
    return _record(frame, local.get("sql"), parameters, getattr(wrapper, "cursor", None),
                   "django", text(getattr(connection, "vendor", None)), context)


DESCRIPTIONS = [
    {
        "co_names": SQLALCHEMY,
        "path_fragment": "sqlalchemy/",
        "call_type": "sql",
        "return_type": "sql",
        "call": _start,
        "process": sqlalchemy_query,
    },
    {
        "co_names": DJANGO,
        "path_fragment": "django/db/backends/utils.py",
        "call_type": "sql",
        "return_type": "sql",
        "call": _start,
        "process": django_query,
    },
]
