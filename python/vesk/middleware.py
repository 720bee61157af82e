"""One trace per request that a web application answers, as pytest --vesk stores one trace per
test: each request is recorded on the thread that answers it, from its start to its response,
and saved as a trace of its own whose source is the request ("GET /items/3").

    app.wsgi_app = vesk.middleware.TracePerRequest(app.wsgi_app)      # Flask, or any WSGI app
    application = vesk.middleware.TracePerRequest(get_wsgi_application())   # Django's WSGI

For Django (its test client included), put "vesk.middleware.DjangoTracePerRequest" first in
MIDDLEWARE; the setting VESK, a dict, takes the options of TracePerRequest (db_path, include,
ignore, lightweight, events, part_size, trace_limit, call_repr, value_scale).

Concurrent requests on other threads are traces of their own. The response does not wait for
its trace to be written: vesk's saver thread writes it (vesk.profiler.wait_for_saves() waits for
that, in a test). A trace that cannot be saved is reported as a warning on the logger "vesk" and
kept for the next try; the response goes out all the same.
"""

import logging

from vesk.profiler import Profiler, make_config

__all__ = ["TracePerRequest", "DjangoTracePerRequest"]

_log = logging.getLogger("vesk")


class _Recording:
    """A request's recording on the thread that answers it."""

    def __init__(self, config, db_path, source):
        self.profiler = Profiler(config, db_path=db_path, source=source)
        self.profiler.start()

    def finish(self):
        profiler, self.profiler = self.profiler, None
        if profiler is None:
            return
        profiler.stop()
        try:
            # Written by the saver thread: the answer does not wait for the database.
            profiler.save(wait=False)
        except Exception as error:  # noqa: BLE001 - the request's answer matters more
            _log.warning("vesk: the trace of %s could not be saved: %s: %s", profiler.source,
                         type(error).__name__, error)


def _config(db_path, options):
    # The request's own thread only: threads it starts may outlive the request.
    options.setdefault("threads", False)
    return db_path, make_config(**options)


class TracePerRequest:
    """WSGI middleware: every request to app is recorded, from the call of app to its return, and
    saved as a trace of its own. A body that app streams (a generator) is made after that, while
    the server sends it, and is not recorded."""

    def __init__(self, app, db_path=None, **options):
        self.app = app
        self.db_path, self.config = _config(db_path, options)

    def __call__(self, environ, start_response):
        source = f"{environ.get('REQUEST_METHOD', '?')} {environ.get('PATH_INFO', '/')}"
        recording = _Recording(self.config, self.db_path, source)
        try:
            return self.app(environ, start_response)
        finally:
            recording.finish()


def answer(get_response, request):
    """Django's answer to the request, within its recording: the built-in "request" and "response"
    records are made of this call, which the recording sees start and end."""
    return get_response(request)


class DjangoTracePerRequest:
    """Django middleware: every request is recorded and saved as a trace of its own. Options come
    from the setting VESK (a dict), as TracePerRequest takes them."""

    def __init__(self, get_response):
        from django.conf import settings

        options = dict(getattr(settings, "VESK", None) or {})
        self.get_response = get_response
        self.db_path, self.config = _config(options.pop("db_path", None), options)

    def __call__(self, request):
        recording = _Recording(self.config, self.db_path, f"{request.method} {request.path}")
        try:
            return answer(self.get_response, request)
        finally:
            recording.finish()
