"""The framework events recorded out of the box (outbound HTTP, SQL, log records, web requests),
with the real libraries: a local HTTP server on 127.0.0.1, SQLAlchemy and Django on SQLite, Flask
and Django driven by their test clients."""

import http.server
import io
import json
import logging
import os
import subprocess
import sys
import threading
import urllib.request
import wsgiref.handlers
from pathlib import Path

import pytest

from vesk import db
from vesk.filters.plugin_data import POOL_WORKERS, TEST_BOUNDARIES, load_plugin_data
from vesk.profiler import wait_for_saves
from vesk.serialize import load_msgpack

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
EVENT_KEYS = {"http", "sql", "log", "request", "response"}


def events(records, *kinds):
    return [r for r in records if r["type"] in (kinds or EVENT_KEYS)]


def calls(records, name):
    return [r for r in records if r["type"] == "frame" and r["event"] == "call" and r["co_name"] == name]


def record(recording, action, config=None):
    with recording(config=config or {}) as host:
        action()
    return recording.decode(host)["frames_of_interest"]


def made_in(record_, caller):
    """Whether the event's nearest recorded caller is the call record given."""
    return record_["user_code_call_site"]["call_frame_id"] == caller["frame_id"]


def is_redacted(value):
    return isinstance(value, dict) and value.get("__redacted__") is True


# -- outbound HTTP ---------------------------------------------------------------------------

class Echo(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.answer(b"")

    def do_POST(self):
        self.answer(self.rfile.read(int(self.headers["Content-Length"])))

    def answer(self, received):
        body = json.dumps({"received": len(received)}).encode()
        self.send_response(201 if received else 200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Set-Cookie", "session=abc")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def server():
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Echo)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()


def with_urllib(url, body):
    request = urllib.request.Request(url, data=body, headers={"Authorization": "Bearer t0ken",
                                                              "X-Trace": "7"})
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.read()


def with_requests(url, body):
    import requests

    return requests.request("POST" if body else "GET", url, data=body, timeout=10,
                            headers={"Authorization": "Bearer t0ken", "X-Trace": "7"}).content


BIG = b"x" * 5000


@pytest.mark.parametrize("client", [with_urllib, with_requests])
@pytest.mark.parametrize("body", [None, BIG], ids=["get", "post"])
def test_http_exchange_is_one_record_in_the_call_that_made_it(recording, server, client, body):
    records = record(recording, lambda: client(f"{server}/things?id=3&access_token=abc", body))
    [exchange] = events(records)
    assert made_in(exchange, calls(records, client.__name__)[0])
    assert exchange["type"] == "http"
    assert exchange["method"] == ("POST" if body else "GET")
    assert exchange["url"] == f"{server}/things?id=3&access_token=[redacted]"
    assert exchange["status"] == (201 if body else 200) and exchange["reason"] in ("OK", "Created")
    assert 0 < exchange["duration"] < 10
    sent = {k.lower(): v for k, v in exchange["request_headers"].items()}
    assert is_redacted(sent["authorization"]) and sent["authorization"]["__len__"] == 12
    assert sent["x-trace"] == "7"
    came = {k.lower(): v for k, v in exchange["response_headers"].items()}
    assert is_redacted(came["set-cookie"]) and came["content-type"] == "application/json"
    if body:
        assert exchange["request_body"] == BIG[:1024] and exchange["request_body_size"] == 5000
    else:
        assert exchange["request_body"] is None


def test_http_without_answer_says_so(recording):
    def refused():
        with pytest.raises(OSError):
            urllib.request.urlopen("http://127.0.0.1:9/nothing", timeout=5)

    [exchange] = events(record(recording, refused))
    assert exchange["status"] is None and exchange["error"] is True
    assert exchange["url"] == "http://127.0.0.1:9/nothing"


# -- SQL ------------------------------------------------------------------------------------

def with_sqlalchemy():
    from sqlalchemy import create_engine, text

    engine = create_engine("sqlite://")
    with engine.begin() as connection:
        connection.execute(text("CREATE TABLE users (name TEXT, password TEXT)"))
        connection.execute(text("INSERT INTO users VALUES (:name, :password)"),
                           {"name": "ada", "password": "hunter2"})
        connection.execute(text("INSERT INTO users VALUES (:name, :password)"),
                           [{"name": f"u{i}", "password": "x"} for i in range(30)])
        connection.execute(text("SELECT name FROM users WHERE name = :name"), {"name": "ada"}).all()
    engine.dispose()


@pytest.fixture(scope="module")
def examples():
    """The example Flask app (its table made) and Django project (set up), importable."""
    sys.path.insert(0, str(EXAMPLES))
    os.environ["DJANGO_SETTINGS_MODULE"] = "django_site.settings"
    try:
        import django
        import flask_app

        django.setup()
        flask_app.set_up()
        yield flask_app
    finally:
        sys.path.remove(str(EXAMPLES))


def with_django_cursor():
    from django.db import connection

    with connection.cursor() as cursor:
        cursor.execute("CREATE TABLE IF NOT EXISTS kv (k TEXT, v TEXT)")
        cursor.execute("INSERT INTO kv VALUES (%s, %s)", ["a", "x" * 500])
        cursor.executemany("INSERT INTO kv VALUES (%s, %s)", [["b", "1"], ["c", "2"]])
        cursor.execute("SELECT k FROM kv WHERE k = %s", ["a"])


def test_sqlalchemy_statements(recording):
    records = record(recording, with_sqlalchemy)
    create, one, many, select = events(records, "sql")
    assert {r["library"] for r in (create, one, many, select)} == {"sqlalchemy"}
    assert {r["database"] for r in (create, one, many, select)} == {"sqlite"}
    assert all(made_in(r, calls(records, "with_sqlalchemy")[0]) for r in (create, one, many, select))
    assert create["statement"].startswith("CREATE TABLE users") and create["parameters"] in ((), [])
    # Given by position to the driver, but named in the statement: the password is redacted.
    assert one["statement"] == "INSERT INTO users VALUES (?, ?)" and one["rowcount"] == 1
    name, password = one["parameters"]
    assert name == "ada" and is_redacted(password) and password["__len__"] == 7
    assert many["executemany"] is True and many["rowcount"] == 30
    # Rows past the record's budget are cut, the markers in them too: never to the password.
    rows = many["parameters"]
    assert len(rows) == 20 and is_redacted(rows[0][1])
    assert all(is_redacted(row[1]) or "x" not in row[1]["__head__"].values() for row in rows if type(row) is list)
    assert select["parameters"] == ["ada"] and select["rowcount"] is None
    assert all(0 < r["duration"] < 10 for r in (create, one, many, select))


def test_django_statements(recording, examples):
    records = record(recording, with_django_cursor)
    create, one, many, select = events(records, "sql")
    assert {(r["library"], r["database"]) for r in (create, one, many, select)} == {("django", "sqlite")}
    assert one["statement"] == "INSERT INTO kv VALUES (%s, %s)" and one["rowcount"] == 1
    assert one["parameters"][0] == "a" and len(one["parameters"][1]) < 210  # bounded
    assert many["parameters"] == [["b", "1"], ["c", "2"]] and many["rowcount"] == 2
    assert select["parameters"] == ["a"]


@pytest.mark.parametrize("client", [with_urllib, with_requests])
@pytest.mark.parametrize("body, stored", [
    (b'{"user": "ada", "password": "hunter2", "api_key": 123}',
     b'{"user": "ada", "password": "[redacted]", "api_key": "[redacted]"}'),
    (b"user=ada&password=hunter2&remember=1", b"user=ada&password=[redacted]&remember=1"),
    (b"just text, password hunter2", b"just text, password hunter2"),
], ids=["json", "form", "text"])
def test_secrets_in_request_bodies_are_redacted(recording, server, client, body, stored):
    records = record(recording, lambda: client(f"{server}/login", body))
    [exchange] = events(records, "http")
    assert exchange["request_body"] == stored and exchange["request_body_size"] == len(body)


# -- logging --------------------------------------------------------------------------------

class Item:
    """An argument of a log message whose str() is the program's code, counted."""

    shown = 0

    def __init__(self):
        self.sku = "A-1"

    def __str__(self):
        Item.shown += 1
        return "item"


def log_some(logger):
    logger.debug("not shown")
    logger.warning("low stock: %d left", 3)
    try:
        {}["missing"]
    except KeyError:
        logger.exception("lookup failed")
    logger.info("sold %s", Item())


def test_log_records(recording):
    logger = logging.getLogger("shop.stock")
    logger.setLevel(logging.INFO)
    # A handler's own handle() makes no record; this one formats nothing, so that only the
    # recording could call the argument's str().
    handler = logging.NullHandler()
    logger.addHandler(handler)
    logger.propagate = False  # pytest's own handler formats every record
    Item.shown = 0
    try:
        records = record(recording, lambda: log_some(logger))
    finally:
        logger.removeHandler(handler)
        logger.propagate = True
    warning, error, info = events(records)
    assert Item.shown == 0
    assert info["message"] == "sold %s"
    assert info["args"] == [{"__type__": f"{__name__}.Item", "__fields__": {"sku": "A-1"}}]
    caller = calls(records, "log_some")[0]
    assert made_in(warning, caller) and made_in(error, caller)
    assert (warning["logger"], warning["level"], warning["message"]) == ("shop.stock", "WARNING", "low stock: 3 left")
    assert warning["location"] == f"{__file__}:{log_some.__code__.co_firstlineno + 2}"
    assert warning["function"] == "log_some" and "exception" not in warning
    assert error["level"] == "ERROR"
    assert error["exception"] == {"__type__": "builtins.KeyError", "__args__": ["missing"]}


# -- inbound requests -----------------------------------------------------------------------

def drive_flask():
    client = sys.modules["flask_app"].app.test_client()
    assert client.get("/items/1").status_code == 200
    assert client.get("/items/99").status_code == 404


def drive_django():
    from django.test import Client

    client = Client()
    assert client.post("/notes/", {"text": "tea"}).status_code == 200
    assert client.get("/notes/99/").status_code == 404


def wsgi_app(environ, start_response):
    start_response("204 No Content", [])
    return [b""]


def drive_wsgiref():
    environ = {"REQUEST_METHOD": "DELETE", "PATH_INFO": "/things/4", "SERVER_NAME": "local",
               "SERVER_PORT": "80", "wsgi.url_scheme": "http", "SERVER_PROTOCOL": "HTTP/1.1"}
    handler = wsgiref.handlers.SimpleHandler(io.BytesIO(), io.BytesIO(), io.StringIO(), environ)
    handler.run(wsgi_app)


@pytest.mark.parametrize("drive, expected", [
    (drive_flask, [("GET", "/items/1", 200, "flask_app.show_item"),
                   ("GET", "/items/99", 404, "flask_app.show_item")]),
    (drive_django, [("POST", "/notes/", 200, "django_site.views.notes"),
                    ("GET", "/notes/99/", 404, "django_site.views.note")]),
    (drive_wsgiref, [("DELETE", "/things/4", 204, "test_framework_events.wsgi_app")]),
], ids=["flask", "django", "wsgiref"])
def test_web_requests(recording, examples, drive, expected):
    records = record(recording, drive)
    seen = events(records, "request", "response")
    answered = [r for r in seen if r["type"] == "response"]
    assert [(r["method"], r["url_path"], r["status"], r["view"]) for r in answered] == expected
    assert all(0 < r["duration"] < 10 for r in answered)
    if drive is drive_wsgiref:
        return  # wsgiref knows the request only once it has answered it
    # Each request opens before its view runs, with the same id as its response after it, and
    # the statements and log lines of the view lie between the two.
    for start, end in zip(seen[::2], seen[1::2]):
        assert (start["type"], end["type"], start["frame_id"]) == ("request", "response", end["frame_id"])
        inside = records[records.index(start) + 1:records.index(end)]
        assert any(r["type"] == "frame" and r["co_name"] == end["view"].rsplit(".", 1)[1] for r in inside)
        assert events(inside, "sql")
    missing = records[records.index(seen[-2]):records.index(seen[-1])]
    assert [r["level"] for r in events(missing, "log")][:1] == ["WARNING"]


# -- one trace per request ------------------------------------------------------------------

def per_request_flask(database):
    from vesk.middleware import TracePerRequest

    app = sys.modules["flask_app"].app
    plain = app.wsgi_app
    app.wsgi_app = TracePerRequest(plain, db_path=database)
    try:
        drive_flask()
    finally:
        app.wsgi_app = plain


def per_request_django(database):
    from django.test import override_settings

    with override_settings(MIDDLEWARE=["vesk.middleware.DjangoTracePerRequest"],
                           VESK={"db_path": database}):
        drive_django()


@pytest.mark.parametrize("drive, sources", [
    (per_request_flask, ["GET /items/1", "GET /items/99"]),
    (per_request_django, ["POST /notes/", "GET /notes/99/"]),
], ids=["flask", "django"])
def test_trace_per_request(tmp_path, examples, drive, sources):
    database = str(tmp_path / "traces.sqlite3")
    drive(database)
    wait_for_saves()  # the answers did not wait for their traces to be written
    traces = sorted(db.list_traces(database), key=lambda s: s.created_at)
    assert [t.source for t in traces] == sources
    for summary, source in zip(traces, sources):
        [part] = [load_msgpack(p) for p in db.load_trace_parts(database, summary.trace_id)]
        seen = events(part["frames_of_interest"], "request", "response")
        assert [(r["type"], f"{r['method']} {r['url_path']}") for r in seen] == [("request", source), ("response", source)]


# -- loading, and the examples as a user runs them -------------------------------------------

def test_loading_imports_none_of_the_libraries_and_events_can_be_left_out(tmp_path):
    assert load_plugin_data({"events": False}) == [*TEST_BOUNDARIES, *POOL_WORKERS]
    code = ("import sys, vesk\n"
            "with vesk.enable(db_path=sys.argv[1]):\n"
            "    pass\n"
            "print(sorted(m for m in ('flask', 'django', 'sqlalchemy', 'requests', 'urllib3',"
            " 'http.client', 'wsgiref.handlers') if m in sys.modules))\n")
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path / "t.sqlite3")],
                            capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"
    logged = "import logging; logging.warning('once')"
    for flags, expected in (([], ["log"]), (["--no-events"], [])):
        vesk("run", "--db", "off.sqlite3", *flags, "-c", logged, cwd=tmp_path)
        records = [r for p in db.load_trace_parts(tmp_path / "off.sqlite3", db.latest_trace_id(tmp_path / "off.sqlite3"))
                   for r in load_msgpack(p)["frames_of_interest"]]
        assert [r["type"] for r in records if r["type"] != "frame"] == expected


def vesk(*args, cwd):
    result = subprocess.run([sys.executable, "-m", "vesk", *args], cwd=cwd, capture_output=True, text=True,
                            timeout=120, env={**os.environ, "COLUMNS": "250"})
    assert result.returncode == 0, result.stderr
    return result.stdout


def event_lines(api, trace_id):
    """The lines the browser viewer shows for the framework events of the main thread."""
    lines, pending = [], [-1]
    while pending:
        page = api.answer(["trace", trace_id, "children"], {"thread": "0", "node": str(pending.pop())})
        lines += [f"{n['name']} {n['line']}" for n in page["nodes"] if "line" in n]
        pending += [n["id"] for n in page["nodes"] if n["nested"]]
    return lines


@pytest.mark.parametrize("example, shown, counted", [
    ("http_sql.py", [r"→ GET http://127\.0\.0\.1:\d+/prices/tea 200  \(\d",
                     r"SQL INSERT INTO prices VALUES \(\?, \?\) \['tea', 110\]  \(1 row, \d",
                     r"WARNING fetcher: pie costs 110  .*http_sql\.py:\d+"],
     [r"SQL queries +5 \(", r"2 times: SELECT SUM\(price\) FROM prices\n", r"HTTP requests +3 \("]),
    ("flask_app.py", [r"request GET /items/1  \(flask\)", r"response 404 GET /items/9 __main__\.show_item  \(\d",
                      r"SQL SELECT name, price FROM items WHERE id = \? \[9\]  \(\d", r"INFO shop: added pie"],
     [r"log records +2 \(INFO 1, WARNING 1\)", r"requests answered 3"]),
    ("django_site", [r"response 200 POST /notes/ django_site\.views\.notes  \(\d",
                     r"SQL INSERT INTO notes \(text\) VALUES \(%s\) \['buy tea'\]  \(1 row, \d",
                     r"WARNING notes: no note 7"],
     [r"requests answered 3", r"SQL queries +\d+ \("]),
])
def test_examples_show_their_events(tmp_path, example, shown, counted):
    import re

    from vesk.ui.api import Api

    vesk("run", str(EXAMPLES / example), cwd=tmp_path)
    shows, stats = vesk("show", cwd=tmp_path), vesk("stats", cwd=tmp_path)
    for pattern in shown:
        assert re.search(pattern, shows), pattern
    for pattern in counted:
        assert re.search(pattern, stats), pattern
    api = Api(str(tmp_path / ".vesk" / "db.sqlite3"))
    try:
        (listed,) = api.answer(["traces"], {})
        lines = event_lines(api, listed["id"])
    finally:
        api.close()
    assert any(re.search(shown[0], line) for line in lines), lines
