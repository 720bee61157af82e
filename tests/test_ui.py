"""vesk ui's server and API, read as the page reads them."""

import contextlib
import json
import re
import resource
import socket
import time
import urllib.error
import urllib.request

import pytest

import vesk.ui.api
from ui_trace import CAUGHT, INJECTION, RAISED, Served, record
from vesk.ui.api import Api
from vesk.view.trace import load_trace


@pytest.fixture(scope="module")
def database(tmp_path_factory):
    return record(tmp_path_factory.mktemp("ui"))


@pytest.fixture(scope="module")
def served(database):
    server = Served(database)
    yield server
    server.stop()


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


def test_serves_on_loopback_and_stops_on_ctrl_c(database):
    server = Served(database)
    assert server.url.startswith("http://127.0.0.1:")
    status, headers, body = get(server.url)
    assert status == 200 and b"/static/app.js" in body
    assert "default-src 'none'" in headers["Content-Security-Policy"]
    status, errors = server.stop()
    assert status == 0 and "Traceback" not in errors


@pytest.mark.parametrize("path", ["static/../server.py", "static/%2e%2e/server.py", "static/..%2fserver.py",
                                  "../../../../etc/passwd", "static//etc/passwd", "server.py", "static/"])
def test_refuses_paths_outside_its_assets(served, path):
    status, _, body = get(served.url + path)
    assert status == 404 and b"import" not in body


def test_refuses_other_host_names(served):
    request = urllib.request.Request(served.url + "api/traces", headers={"Host": "example.invalid:80"})
    with pytest.raises(urllib.error.HTTPError) as error:
        urllib.request.urlopen(request, timeout=10)
    assert error.value.code == 403


def test_refuses_writes(served):
    for path, status in (("", 405), ("api/traces", 403)):  # the API's posts need the page's token
        request = urllib.request.Request(served.url + path, data=b"{}", method="POST")
        with pytest.raises(urllib.error.HTTPError) as error:
            urllib.request.urlopen(request, timeout=10)
        assert error.value.code == status


def token_of(url):
    return re.search(r'<meta name="vesk-token" content="([\w-]+)">', get(url)[2].decode()).group(1)


def request(url, method="GET", headers=(), params=None):
    body = None if params is None else json.dumps(params).encode()
    made = urllib.request.Request(url, data=body, method=method, headers=dict(headers))
    try:
        with urllib.request.urlopen(made, timeout=60) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


@pytest.fixture(scope="module")
def a_call(served):
    """(the URL of the call prog.shape's test, its parameters) in the served trace."""
    (listed,) = [t for t in request(served.url + "api/traces")[1] if t["test"] is None]
    base = f"{served.url}api/trace/{listed['id']}/"
    hit = request(base + "search?q=shape")[1]["matches"][0]
    node = request(f"{base}node?thread={hit['thread']}&node={hit['id']}&full=1")[1]
    return base + "test", {"thread": str(hit["thread"]), "frame": node["details"]["frame_id"]}


OTHER_SITE = {"Origin": "http://evil.example", "Sec-Fetch-Site": "cross-site"}


@pytest.mark.parametrize("method, headers, with_token, status", [
    ("GET", {}, False, 405),  # a test is never written for a GET, which an <img> of any page makes
    ("POST", {}, False, 403),
    ("POST", {"X-Vesk-Token": "guessed"}, False, 403),
    ("POST", {"Sec-Fetch-Site": "same-site"}, True, 403),  # another port of this machine is another site
    ("POST", {"Origin": "http://evil.example"}, True, 403),
    ("POST", OTHER_SITE, True, 403),
    ("POST", {"Origin": "null"}, True, 403),
    ("POST", {"Sec-Fetch-Site": "same-origin"}, True, 200),
])
def test_a_test_is_written_for_the_viewers_own_page_only(served, a_call, method, headers, with_token, status):
    url, params = a_call
    headers = {**headers, **({"X-Vesk-Token": token_of(served.url)} if with_token else {})}
    if method == "GET":
        url += "?" + "&".join(f"{k}={v}" for k, v in params.items())
        params = None
    got, answer = request(url, method, headers, params)
    assert got == status, answer
    if status == 200:
        assert "def test_shape" in answer["source"], answer


@pytest.mark.parametrize("headers", [OTHER_SITE, {"Origin": "http://evil.example"}, {"Sec-Fetch-Site": "same-site"}])
def test_reads_are_refused_to_other_sites(served, headers):
    status, answer = request(served.url + "api/traces", headers=headers)
    assert status == 403 and "another site" in answer["error"]


def test_the_viewer_imports_none_of_the_programs_modules(served, a_call, database):
    url, params = a_call
    marker = database.parent.parent / "imported-by"
    marker.unlink(missing_ok=True)
    status, answer = request(url, "POST", {"X-Vesk-Token": token_of(served.url)}, params)
    assert status == 200 and "def test_shape" in answer["source"], answer
    # the program's module was imported, to write the test, by another process than the viewer
    assert marker.read_text().split() and str(served.process.pid) not in marker.read_text().split()


def test_index_matches_the_call_tree(database):
    api = Api(str(database))
    try:
        (listed,) = api.answer(["traces"], {})
        trace = api.answer(["trace", listed["id"]], {})
        whole = load_trace(database, listed["id"])
        assert [t["name"] for t in trace["threads"]] == [t.name for t in whole.threads]
        for number, thread in enumerate(whole.threads):
            def names(nodes):
                return [("event" if n.is_event else n.name, names(n.children)) for n in nodes]

            def fetched(node):
                page = api.answer(["trace", listed["id"], "children"], {"thread": str(number), "node": str(node)})
                assert page["next"] is None
                return [("event" if n["kind"] == "event" else n["name"], fetched(n["id"]) if n["nested"] else [])
                        for n in page["nodes"]]

            assert fetched(-1) == names(thread.roots)
        found = api.answer(["trace", listed["id"], "search"], {"q": "shape"})
        assert found["total"] == 3 and {m["name"] for m in found["matches"]} == {"__main__.shape"}
        match = found["matches"][0]
        node = api.answer(["trace", listed["id"], "node"], {"thread": str(match["thread"]), "node": str(match["id"]), "full": "1"})
        assert [a["name"] for a in node["ancestors"]][-1] in ("__main__.main", "__main__.work")
        values = dict(node["details"]["arguments"])
        assert values["text"] in (repr(INJECTION), repr("x" * 300))  # whole, not cut to a line
        (fails,) = api.answer(["trace", listed["id"], "search"], {"q": "fails"})["matches"][:1]
        node = api.answer(["trace", listed["id"], "node"], {"thread": str(fails["thread"]), "node": str(fails["id"]), "full": "1"})
        assert node["args"]["raised"] == RAISED
        assert node["details"]["raised"] == node["args"]["raised"]
        main = trace["threads"][0]
        flame = api.answer(["trace", listed["id"], "flame"], {"thread": "0", "low": str(main["low"]), "high": str(main["high"]),
                                                              "width": "1000000"})  # past the wait before the calls
        assert {flame["names"][box[4]] for box in flame["boxes"]} >= {"__main__.main", "__main__.work"}
        assert [mark[2] for mark in flame["marks"]] == CAUGHT  # the one that left fails is on fails
    finally:
        api.close()


def test_bad_requests_are_one_line(served):
    for path in ("api/trace/nope", "api/trace/nope/children?thread=0&node=-1", "api/nothing"):
        status, _, body = get(served.url + path)
        assert status == 404 and "\n" not in json.loads(body)["error"]


def test_a_call_whose_records_cannot_be_shown_fails_alone(database, monkeypatch):
    import vesk.ui.api

    real = vesk.ui.api.node_details

    def odd(stored, thread, node, starts=None):
        if node == 0:
            raise TypeError("'int' object is not subscriptable")  # what an odd record makes
        return real(stored, thread, node, starts)

    monkeypatch.setattr(vesk.ui.api, "node_details", odd)
    api = Api(str(database))
    try:
        (listed,) = api.answer(["traces"], {})
        with pytest.raises(vesk.ui.api.ApiError) as error:
            api.answer(["trace", listed["id"], "node"], {"thread": "0", "node": "0", "full": "1"})
        assert error.value.status == 422 and "\n" not in str(error.value)
        assert "call 0 cannot be shown: TypeError" in str(error.value)
        assert api.answer(["trace", listed["id"], "node"], {"thread": "0", "node": "1", "full": "1"})["details"]
    finally:
        api.close()


def test_missing_database_is_one_line(tmp_path):
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-m", "vesk", "ui", "--db", str(tmp_path / "none.sqlite3")],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and "no trace database" in result.stderr


def test_seeking_a_node_finds_what_a_walk_finds(database):
    from vesk.ui.details import _walk
    from vesk.ui.index import build_index
    from vesk.ui.seek import part_starts, seek
    from vesk.view.trace import open_trace

    stored = open_trace(database)
    index = build_index(stored)
    try:
        starts = part_starts(stored)
        assert len(starts) > 1  # the parts it skips are what is tested
        for thread in index.threads:
            for node in range(len(thread)):
                assert seek(stored, starts, thread, node) == _walk(stored, thread, node)
    finally:
        index.close()



def answer(port, host, timeout=30):
    """The status of a request that names host in its Host header, or None if none came in time."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
            connection.sendall(f"GET /api/traces HTTP/1.1\r\nHost: {host}\r\n\r\n".encode())
            line = connection.makefile("rb").readline()
    except (TimeoutError, ConnectionError):
        return None
    return int(line.split()[1]) if line else None


IDLE = ("--idle-timeout", "1")  # seconds: the tests wait for it


@pytest.fixture(scope="module")
def exposed(database):
    server = Served(database, "--host", "0.0.0.0", "--allow-host", "other.example", *IDLE)
    yield int(server.url.rstrip("/").rpartition(":")[2])
    server.stop()


@pytest.mark.parametrize("host, status", [
    ("evil.example:{port}", 403),  # a name of another site pointed at this machine
    ("127.0.0.1:{port}", 200), ("localhost:{port}", 200), ("[::1]:{port}", 200),
    ("127.0.0.1:{other}", 403), ("127.0.0.1:{port}@evil.example", 403),
    ("127.0.0.1", 403),  # only the default port may go unsaid
    ("other.example:{port}", 200), ("Other.Example.:{port}", 200),
])
def test_answers_only_its_own_host_names(exposed, host, status):
    assert answer(exposed, host.format(port=exposed, other=exposed + 1)) == status


@pytest.mark.parametrize("limit, count, said", [
    (256, 300, "connections at once"),  # the cap is reached before the descriptors run out
    (40, 100, "descriptors"),  # the descriptors run out first
])
def test_idle_connections_lock_nobody_out(database, limit, count, said):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 64:  # the test's own connections
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 256), hard))
    server = Served(database, *IDLE, descriptors=limit)
    port = int(server.url.rstrip("/").rpartition(":")[2])
    held = []
    try:
        with contextlib.suppress(TimeoutError):  # until the server takes no more
            while len(held) < count:
                held.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        assert answer(port, f"127.0.0.1:{port}", timeout=10) in (200, 503)
        deadline = time.monotonic() + 30
        while answer(port, f"127.0.0.1:{port}") != 200:
            assert time.monotonic() < deadline
            time.sleep(0.2)
    finally:
        for connection in held:
            connection.close()
        _, errors = server.stop()
    assert errors.count(said) == 1 and "Traceback" not in errors


@pytest.mark.parametrize("sent", [b"", b"GET / HTTP/1.1\r\n", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"])
@pytest.mark.parametrize("dribbled", [False, True])
def test_slow_clients_are_dropped(exposed, sent, dribbled):
    with socket.create_connection(("127.0.0.1", exposed), timeout=0.2) as connection:
        connection.sendall(sent)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                if not connection.recv(4096):
                    return  # closed by the server, maybe after a 408
            except TimeoutError:
                if dribbled:  # a byte at a time, each in time, never the whole request
                    connection.sendall(b"X")
            except ConnectionError:
                return
        pytest.fail("an idle connection was kept for 20 seconds")


@pytest.mark.parametrize("function, expected", [("shape", "shape("), ("nowhere", None)])
def test_a_call_written_as_a_test(database, function, expected):
    api = Api(str(database), roots=[str(database.parent.parent)])
    try:
        (listed,) = [t for t in api.answer(["traces"], {}) if t["test"] is None]
        trace = ["trace", listed["id"]]
        if expected is None:
            with pytest.raises(vesk.ui.api.ApiError) as error:
                api.act([*trace, "test"], {"thread": "0", "frame": "not a frame"})
            assert error.value.status == 400
            return
        hit = api.answer([*trace, "search"], {"q": function})["matches"][0]
        node = api.answer([*trace, "node"], {"thread": str(hit["thread"]), "node": str(hit["id"]), "full": "1"})
        answer = api.act([*trace, "test"], {"thread": str(hit["thread"]), "frame": node["details"]["frame_id"]})
        assert expected in answer.get("source", ""), answer
        assert "def test_" in answer["source"]
    finally:
        api.close()


def test_heavy_requests_are_bounded(database, monkeypatch):
    """However many rows the list asks about at once, at most two traces are read at a time."""
    import threading

    running, most, lock = [0], [0], threading.Lock()

    def counted(self, trace_id, counted, saved):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        time.sleep(0.05)
        with lock:
            running[0] -= 1
        return counted

    monkeypatch.setattr(Api, "_count_threads", counted)
    api = Api(str(database))
    (listed,) = [t for t in api.traces() if t["test"] is None]
    threads = [threading.Thread(target=api.answer, args=(["trace", listed["id"], "threads"], {})) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert most[0] == 2
