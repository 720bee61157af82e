"""Requests a web application handles: a "request" record when one starts (method and path) and
a "response" record when it is answered (method, path, status, the view that answered it and the
time it took), carrying the same frame id.

Flask answers in Flask.full_dispatch_request, Django in BaseHandler.get_response (the WSGI
handler and the test client alike) or, when each request is a trace of its own, in the call that
vesk.middleware makes of it; any other WSGI application run by the standard library's
server is seen in wsgiref's BaseHandler.run, whose request is known only once it has been
answered (read at BaseHandler.close, which then forgets it): it makes the "response" record alone.
"""

from vesk.filters.events.common import OPEN_LIMIT, clock, text


def _timed(frame, event, arg, context):
    """Starts the clock at the call; at the return, true for a call it timed."""
    if event == "call":
        clock(context).start(frame)
        return True
    return clock(context).is_open(frame)


def _finish(frame, context):
    finished = clock(context).finish(frame)
    return None if finished is None else finished[0]


def _view_name(function):
    if function is None:
        return None
    function = getattr(function, "view_class", function)  # a class-based view's as_view()
    module = getattr(function, "__module__", None)
    name = getattr(function, "__qualname__", None) or getattr(function, "__name__", None)
    return text(f"{module}.{name}" if module and name else name)


def flask_request(frame, event, arg, context):
    request = frame.f_globals.get("request")  # flask.request, bound to the request being answered
    fields = {"framework": "flask", "method": text(getattr(request, "method", None)),
              "url_path": text(getattr(request, "path", None))}
    if event == "call":
        return fields
    endpoint = getattr(request, "endpoint", None)
    app = frame.f_locals.get("self")
    view = getattr(app, "view_functions", {}).get(endpoint) if endpoint else None
    fields.update(status=_status(arg, "status_code"), view=_view_name(view) or text(endpoint),
                  duration=_finish(frame, context))
    return fields


def django_request(frame, event, arg, context):
    request = frame.f_locals.get("request")
    fields = {"framework": "django", "method": text(getattr(request, "method", None)),
              "url_path": text(getattr(request, "path", None))}
    if event == "call":
        return fields
    match = getattr(request, "resolver_match", None)
    view = getattr(match, "func", None)
    fields.update(status=_status(arg, "status_code"),
                  view=_view_name(view) or text(getattr(match, "view_name", None)),
                  duration=_finish(frame, context))
    return fields


def _wsgi_timed(frame, event, arg, context):
    """As _timed for BaseHandler.run; BaseHandler.close, which forgets the request, only
    keeps what the record needs of it first."""
    if frame.f_code.co_name == "run":
        return _timed(frame, event, arg, context)
    if event == "call":
        handler = frame.f_locals.get("self")
        environ = getattr(handler, "environ", None) or {}
        status = getattr(handler, "status", None)
        code = status.split(" ", 1)[0] if isinstance(status, str) else ""
        closed = context.setdefault("closed", {})
        if len(closed) >= OPEN_LIMIT:
            del closed[next(iter(closed))]
        closed[id(handler)] = (environ.get("REQUEST_METHOD"), environ.get("PATH_INFO"),
                               int(code) if code.isdigit() else None)
    return False


def wsgi_request(frame, event, arg, context):
    closed = context.get("closed", {}).pop(id(frame.f_locals.get("self")), (None, None, None))
    method, path, status = closed
    return {"framework": "wsgi", "method": text(method), "url_path": text(path), "status": status,
            "view": _view_name(frame.f_locals.get("application")),
            "duration": _finish(frame, context)}


def _status(response, name):
    status = getattr(response, name, None)
    return status if isinstance(status, int) else None


DESCRIPTIONS = [
    {
        "co_names": ["full_dispatch_request"],
        "path_fragment": "flask/app.py",
        "call_type": "request",
        "return_type": "response",
        "call": _timed,
        "process": flask_request,
    },
    {
        "co_names": ["get_response"],
        "path_fragment": "django/core/handlers/base.py",
        "call_type": "request",
        "return_type": "response",
        "call": _timed,
        "process": django_request,
    },
    {
        # vesk.middleware's own call of the Django application, within a request's recording.
        "co_names": ["answer"],
        "path_fragment": "vesk/middleware.py",
        "call_type": "request",
        "return_type": "response",
        "call": _timed,
        "process": django_request,
    },
    {
        "co_names": ["run", "close"],
        "path_fragment": "wsgiref/handlers.py",
        "call_type": "response",
        "return_type": "response",
        "events": ["return"],
        "call": _wsgi_timed,
        "process": wsgi_request,
    },
]
