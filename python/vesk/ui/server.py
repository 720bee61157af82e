"""`vesk ui`: the viewer's local HTTP server. It answers the JSON API and the files of static/,
nothing else: a path that is not one of those files is refused, whatever it spells."""

import errno
import hmac
import io
import json
import os
import re
import secrets
import socket
import sys
import threading
import time
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
# Each connection holds a thread and a descriptor: without these, clients that connect and say
# nothing would take them all, and lock everyone else out.
IDLE_TIMEOUT = 10.0  # seconds for a request's line and headers, however slowly they come
WRITE_TIMEOUT = 60.0  # seconds for an answer, which may be large and go to a slow network
MAX_CONNECTIONS = 64
_BUSY = (b"HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
         b"Content-Length: 21\r\nRetry-After: 1\r\nConnection: close\r\n\r\ntoo many connections\n")
_HOST = re.compile(r"(?:\[([0-9a-f:.]+)\]|([^\s:@/\[\]]+))(?::([0-9]{1,5}))?")
# What a page of another site can make a browser send here, it is refused: the API answers its own
# page only, and what is more than a read (writing a test for a call) also asks for the token
# that page got with its HTML, which no other site can read.
TOKEN_HEADER = "X-Vesk-Token"
_TOKEN_PLACE = '<meta name="vesk-token" content="">'
_BODY_LIMIT = 64 << 10


def _assets():
    """URL path -> file: the files of static/ as they are now, no others."""
    files = {f"/static/{name}": os.path.join(_STATIC, name) for name in os.listdir(_STATIC)
             if os.path.splitext(name)[1] in _TYPES and os.path.isfile(os.path.join(_STATIC, name))}
    files["/"] = os.path.join(_STATIC, "index.html")
    return files


def _own_names(host, allowed):
    """The names and addresses this machine may be reached by, as a Host header spells them."""
    names = {"localhost", "127.0.0.1", "::1", *allowed}
    if host not in ("0.0.0.0", "::", ""):
        names.add(host)
    hostname = socket.gethostname()
    names.update((hostname, socket.getfqdn(hostname)))
    # A lookup that fails leaves out only its own names: the others are still known.
    try:
        name, aliases, addresses = socket.gethostbyname_ex(hostname)
        names.update((name, *aliases, *addresses))
    except OSError:
        pass
    try:
        names.update(info[4][0] for info in socket.getaddrinfo(hostname, None))
    except OSError:
        pass
    return frozenset(name.lower().partition("%")[0].rstrip(".") for name in names if name)


class _Deadline(io.RawIOBase):
    """A connection's reads, which all end by one deadline: a client that sends a byte now and
    then is as idle as one that sends none."""

    def __init__(self, connection, seconds):
        super().__init__()
        self.connection = connection
        self.deadline = time.monotonic() + seconds

    def readable(self):
        return True

    def readinto(self, buffer):
        left = self.deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("no whole request in time")
        self.connection.settimeout(left)
        return self.connection.recv_into(buffer)


class _Handler(BaseHTTPRequestHandler):
    server_version = "vesk-ui"
    api = None  # set by make_server
    token = ""  # the page's token, new for each server
    assets = {}
    hosts = frozenset()  # the names the page may be asked for by

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # a request per click would bury what the command prints

    def setup(self):
        super().setup()
        self.rfile.close()  # else the socket would stay open after the handler closes it
        self.rfile = io.BufferedReader(_Deadline(self.connection, self.server.idle_timeout))

    def parse_request(self):
        parsed = super().parse_request()
        self.connection.settimeout(WRITE_TIMEOUT)  # all is read: what is left is to answer
        return parsed

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
        # that site that it points at this machine; it names that site in Host, and is refused,
        # whichever address the server listens on.
        hosts = self.headers.get_all("Host") or []
        found = _HOST.fullmatch(hosts[0].strip().lower()) if len(hosts) == 1 else None
        if found is None:
            return False
        port = self.server.server_address[1]
        if (int(found[3]) if found[3] else 80) != port:
            return False
        return (found[1] or found[2]).rstrip(".") in self.hosts

    def _same_origin(self):
        """False for a request that a page of another origin made: the browser says so in Origin
        (every fetch but a plain GET) and in Sec-Fetch-Site (every request)."""
        site = self.headers.get("Sec-Fetch-Site")
        if site is not None and site.strip().lower() not in ("same-origin", "none"):
            return False
        origin = self.headers.get("Origin")
        if origin is None:
            return True
        host = (self.headers.get("Host") or "").strip().lower()
        return origin.strip().lower() == f"http://{host}"

    def _api(self, answer):
        url = urllib.parse.urlsplit(self.path)
        parts = [urllib.parse.unquote(p) for p in url.path[len("/api/"):].split("/") if p]
        query = dict(urllib.parse.parse_qsl(url.query))
        if not self._same_origin():
            self._json(403, {"error": "refused: a request made by a page of another site"})
            return
        try:
            self._json(200, answer(parts, query))
        except ApiError as error:
            self._json(error.status, {"error": str(error)})
        except Exception as error:  # noqa: BLE001 - a request fails, the server goes on
            self._json(500, {"error": f"{type(error).__name__}: {error}".splitlines()[0]})

    def do_GET(self):  # noqa: N802 - the base class's name
        if not self._host_allowed():
            self._send(403, b"unknown host name\n", "text/plain; charset=utf-8")
            return
        url = urllib.parse.urlsplit(self.path)
        if url.path.startswith("/api/"):
            self._api(self.api.answer)
            return
        path = self.assets.get(url.path)
        if path is None:
            self._send(404, b"not found\n", "text/plain; charset=utf-8")
            return
        with open(path, "rb") as file:
            body = file.read()
        if url.path == "/":
            body = body.replace(_TOKEN_PLACE.encode(), f'<meta name="vesk-token" content="{self.token}">'.encode())
        self._send(200, body, _TYPES[os.path.splitext(path)[1]])

    do_HEAD = do_GET

    def do_POST(self):  # noqa: N802 - the base class's name
        if not self._host_allowed():
            self._send(403, b"unknown host name\n", "text/plain; charset=utf-8")
            return
        if not urllib.parse.urlsplit(self.path).path.startswith("/api/"):
            self._refuse()
            return
        given = self.headers.get(TOKEN_HEADER) or ""
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            length = -1
        if not 0 <= length <= _BODY_LIMIT:
            self._json(413, {"error": f"a request body of at most {_BODY_LIMIT} bytes"})
            return
        body = self.rfile.read(length) if length else b""
        if not hmac.compare_digest(given.encode("utf-8", "replace"), self.token.encode()):
            self._json(403, {"error": "refused: a request without this viewer's token"})
            return
        try:
            params = json.loads(body or b"{}")
        except (ValueError, RecursionError):
            params = None
        if not isinstance(params, dict) or not all(isinstance(v, str) for v in params.values()):
            self._json(400, {"error": "give the request's parameters as a JSON object of text"})
            return
        self._api(lambda parts, query: self.api.act(parts, {**query, **params}))

    def _refuse(self):
        self._send(405, b"read only\n", "text/plain; charset=utf-8")

    do_PUT = do_DELETE = do_PATCH = _refuse


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64
    idle_timeout = IDLE_TIMEOUT
    max_connections = MAX_CONNECTIONS

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._open = 0
        self._lock = threading.Lock()
        self._said = set()
        self._closing = []  # (when to close, connection) of those turned away

    def _say_once(self, what, line):
        if what not in self._said:
            self._said.add(what)
            print(f"vesk: {line}", file=sys.stderr, flush=True)

    def get_request(self):
        try:
            return super().get_request()
        except OSError as error:
            if error.errno in (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM):
                # The waiting connection stays waiting, and would wake the loop at once, again
                # and again: wait for connections that end to give descriptors back.
                self._say_once("descriptors", "out of file descriptors: new connections wait until some close "
                                              "(raise the limit with `ulimit -n`)")
                time.sleep(0.1)
            raise

    def process_request(self, request, client_address):
        with self._lock:
            admitted = self._open < self.max_connections
            self._open += admitted
        if not admitted:
            self._turn_away(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            self._release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._release()

    def _release(self):
        with self._lock:
            self._open -= 1

    def _turn_away(self, request):
        self._say_once("full", f"{self.max_connections} connections at once: others are answered 503 until some "
                               "close")
        try:
            request.setblocking(False)
            request.send(_BUSY)
            request.shutdown(socket.SHUT_WR)
        except OSError:
            self.shutdown_request(request)
            return
        # Closed now, with the request not yet read, the connection would be reset, and the
        # client might lose the answer: it is closed a moment later, by the serving loop.
        self._closing.append((time.monotonic() + 1, request))
        if len(self._closing) > self.max_connections:
            self._drop(self._closing.pop(0)[1])

    def _drop(self, request):
        try:
            for _ in range(16):  # what a client sends without end must not hold the loop
                if not request.recv(65536):
                    break
        except OSError:
            pass
        request.close()

    def service_actions(self):
        super().service_actions()
        now = time.monotonic()
        while self._closing and self._closing[0][0] <= now:
            self._drop(self._closing.pop(0)[1])

    def server_close(self):
        super().server_close()
        for _, request in self._closing:
            request.close()
        self._closing.clear()

    def handle_error(self, request, client_address):
        # A page closed or reloaded mid-answer is nothing to report; anything else is one line.
        error = sys.exc_info()[1]
        if not isinstance(error, ConnectionError):
            print(f"vesk: a request failed: {type(error).__name__}: {error}".splitlines()[0], file=sys.stderr)


def make_server(db_path, host="127.0.0.1", port=0, allow_hosts=(), idle_timeout=IDLE_TIMEOUT,
                max_connections=MAX_CONNECTIONS, roots=None):
    """A server of the traces of db_path, bound but not serving yet. It answers requests that
    name this machine, or one of allow_hosts, in their Host header, and that its own page made.
    roots: the folders a test for a call imports the program's modules from."""
    handler = type("Handler", (_Handler,), {"api": Api(db_path, roots), "assets": _assets(),
                                            "hosts": _own_names(host, allow_hosts),
                                            "token": secrets.token_urlsafe(32)})
    try:
        server = _Server((host, port), handler)
    except OSError as error:
        raise CommandError(f"cannot serve on {host}:{port}: {error.strerror or error}") from None
    server.idle_timeout, server.max_connections = idle_timeout, max_connections
    return server


def serve(options):
    host = options.host or "127.0.0.1"
    if not options.db.startswith(("postgresql://", "postgres://")) and not os.path.isfile(options.db):
        raise CommandError(f"no trace database at {options.db}: record something first with `vesk run`")
    if options.host is not None and options.host not in ("127.0.0.1", "localhost", "::1"):
        print(f"vesk: warning: serving on {host}: anyone who can reach it can read every trace",
              file=sys.stderr)
    from vesk.generate_tests import project_roots

    server = make_server(options.db, host, options.port, options.allow_host or (), options.idle_timeout,
                         roots=project_roots(options))
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
