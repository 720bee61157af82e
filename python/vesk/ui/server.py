"""`vesk ui`: the viewer's local HTTP server. It answers the JSON API and the files of static/,
nothing else: a path that is not one of those files is refused, whatever it spells."""

import json
import os
import sys
import threading
import urllib.parse
import webbrowser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from vesk.ui.api import Api, ApiError
from vesk.utils import CommandError

__all__ = ["serve", "make_server"]

_STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
          ".css": "text/css; charset=utf-8", ".png": "image/png", ".svg": "image/svg+xml", ".txt": "text/plain; charset=utf-8"}
# The page loads nothing but its own files, and nothing recorded can make it run code.
_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
           "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")


def _assets():
    """URL path -> file: the files of static/ as they are now, no others."""
    files = {f"/static/{name}": os.path.join(_STATIC, name) for name in os.listdir(_STATIC)
             if os.path.splitext(name)[1] in _TYPES and os.path.isfile(os.path.join(_STATIC, name))}
    files["/"] = os.path.join(_STATIC, "index.html")
    return files


class _Handler(BaseHTTPRequestHandler):
    server_version = "vesk-ui"
    api = None  # set by make_server
    assets = {}
    hosts = None  # the names the page may be asked for by, or None for any

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # a request per click would bury what the command prints

    def _send(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Content-Security-Policy", _POLICY)
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Referrer-Policy", "no-referrer")
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status, value):
        self._send(status, json.dumps(value, ensure_ascii=False, allow_nan=False).encode("utf-8", "surrogatepass"),
                   "application/json; charset=utf-8")

    def _host_allowed(self):
        # A page of another site can make the browser send its requests here under a name of
        # that site that it points at this machine; it names that site in Host, and is refused.
        if self.hosts is None:
            return True
        host = (self.headers.get("Host") or "").lower()
        name = host.rpartition(":")[0] if host.rpartition(":")[2].isdigit() else host
        return name in self.hosts

    def do_GET(self):  # noqa: N802 - the base class's name
        if not self._host_allowed():
            self._send(403, b"unknown host name\n", "text/plain; charset=utf-8")
            return
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/api/"):
            parts = [urllib.parse.unquote(p) for p in url.path[len("/api/"):].split("/") if p]
            query = dict(urllib.parse.parse_qsl(url.query))
            try:
                self._json(200, self.api.answer(parts, query))
            except ApiError as error:
                self._json(error.status, {"error": str(error)})
            except Exception as error:  # noqa: BLE001 - a request fails, the server goes on
                self._json(500, {"error": f"{type(error).__name__}: {error}".splitlines()[0]})
            return
        path = self.assets.get(url.path)
        if path is None:
            self._send(404, b"not found\n", "text/plain; charset=utf-8")
            return
        with open(path, "rb") as file:
            self._send(200, file.read(), _TYPES[os.path.splitext(path)[1]])

    do_HEAD = do_GET

    def _refuse(self):
        self._send(405, b"read only\n", "text/plain; charset=utf-8")

    do_POST = do_PUT = do_DELETE = do_PATCH = _refuse


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A page closed or reloaded mid-answer is nothing to report; anything else is one line.
        error = sys.exc_info()[1]
        if not isinstance(error, ConnectionError):
            print(f"vesk: a request failed: {type(error).__name__}: {error}".splitlines()[0], file=sys.stderr)


def make_server(db_path, host="127.0.0.1", port=0):
    """A server of the traces of db_path, bound but not serving yet."""
    hosts = None if host in ("0.0.0.0", "::", "") else {"127.0.0.1", "localhost", "[::1]", host.lower(),
                                                        f"[{host.lower()}]"}
    handler = type("Handler", (_Handler,), {"api": Api(db_path), "assets": _assets(), "hosts": hosts})
    try:
        server = _Server((host, port), handler)
    except OSError as error:
        raise CommandError(f"cannot serve on {host}:{port}: {error.strerror or error}") from None
    return server


def serve(options):
    host = options.host or "127.0.0.1"
    if not os.path.isfile(options.db):
        raise CommandError(f"no trace database at {options.db}: record something first with `vesk run`")
    if options.host is not None and options.host not in ("127.0.0.1", "localhost", "::1"):
        print(f"vesk: warning: serving on {host}: anyone who can reach it can read every trace",
              file=sys.stderr)
    server = make_server(options.db, host, options.port)
    address = f"http://{'[' + host + ']' if ':' in host else host}:{server.server_address[1]}/"
    print(f"vesk: viewer of {options.db} at {address} (Ctrl-C stops it)", flush=True)
    if options.open:
        threading.Thread(target=webbrowser.open, args=(address,), daemon=True).start()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("vesk: stopped", file=sys.stderr)
    finally:
        server.server_close()
        server.RequestHandlerClass.api.close()
    return 0
