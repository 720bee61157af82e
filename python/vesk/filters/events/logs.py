"""Log records: one "log" record when a logger handles a record (logging.Logger.handle, called
only for records whose level the logger lets through), with the logger's name, the level, the
message as formatted, the exception it carries and where in the program it was logged."""

from vesk._vesk import is_interruption
from vesk.filters.events.common import text

_PLAIN = (type(None), bool, int, float, str, bytes)


def _plain_arguments(args):
    """Whether formatting a message with these arguments runs only the interpreter's own code."""
    if type(args) is tuple:
        return all(type(a) in _PLAIN for a in args)
    if type(args) is dict:
        return all(type(k) is str and type(v) in _PLAIN for k, v in args.items())
    return False


def _handled_by_logger(frame, event, arg, context):
    # Handler.handle has the same name and file; only a Logger's makes a record.
    if frame.f_globals.get("__name__") != "logging":
        return False
    logger_class = frame.f_globals.get("Logger")
    return logger_class is not None and isinstance(frame.f_locals.get("self"), logger_class)


def log_record(frame, event, arg, context):
    record = frame.f_locals.get("record")
    msg, args = getattr(record, "msg", None), getattr(record, "args", None)
    extra = {}
    if type(msg) is str and (not args or _plain_arguments(args)):
        try:
            message = record.getMessage()
        except Exception as error:  # noqa: BLE001 - as logging itself would fail to format it
            if is_interruption(error):
                raise
            message = f"{msg} (not formatted: {type(error).__name__})"
    else:
        # Formatting would run the str() of the program's objects: the template and its
        # arguments are kept apart, the arguments read as values.
        message = msg
        extra["args"] = args
    fields = {
        "logger": text(getattr(record, "name", None)),
        "level": text(getattr(record, "levelname", None)),
        "message": text(message),
        "location": f"{getattr(record, 'pathname', '?')}:{getattr(record, 'lineno', '?')}",
        "function": text(getattr(record, "funcName", None)),
    }
    exc_info = getattr(record, "exc_info", None)
    if isinstance(exc_info, tuple) and len(exc_info) == 3 and exc_info[1] is not None:
        fields["exception"] = exc_info[1]
    fields.update(extra)
    return fields


DESCRIPTIONS = [
    {
        "co_names": ["handle"],
        "path_fragment": "logging/__init__.py",
        "call_type": "log",
        "return_type": "log",
        "events": ["call"],
        "call": _handled_by_logger,
        "process": log_record,
    },
]
