"""Outbound HTTP and SQL in one script: a local HTTP server on 127.0.0.1 answers urllib (and
requests, when it is installed), and SQLAlchemy stores what came back in SQLite.

    vesk run examples/http_sql.py && vesk show && vesk stats
"""

import http.server
import json
import logging
import threading
import urllib.request

from sqlalchemy import create_engine, text

log = logging.getLogger("fetcher")


class Prices(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps({"path": self.path, "price": len(self.path) * 10}).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Set-Cookie", "session=abc123")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve():
    server = http.server.HTTPServer(("127.0.0.1", 0), Prices)
    threading.Thread(target=server.serve_forever, name="server", daemon=True).start()
    return server


def fetch(base, name):
    request = urllib.request.Request(f"{base}/prices/{name}", headers={"Authorization": "Bearer s3cret"})
    with urllib.request.urlopen(request, timeout=10) as response:
        return json.load(response)["price"]


def fetch_with_requests(base, name):
    try:
        import requests
    except ImportError:
        return None
    return requests.get(f"{base}/prices/{name}", timeout=10).json()["price"]


def main():
    server = serve()
    base = f"http://127.0.0.1:{server.server_address[1]}"
    engine = create_engine("sqlite://")
    with engine.begin() as db:
        db.execute(text("CREATE TABLE prices (name TEXT, price INTEGER)"))
        for name in ("tea", "cake"):
            db.execute(text("INSERT INTO prices VALUES (:name, :price)"), {"name": name, "price": fetch(base, name)})
        for _ in range(2):  # the same query twice: vesk stats counts it as repeated
            total = db.execute(text("SELECT SUM(price) FROM prices")).scalar()
    from_requests = fetch_with_requests(base, "pie")
    if from_requests is not None:
        log.warning("pie costs %d", from_requests)
    server.shutdown()
    print("total", total)


if __name__ == "__main__":
    main()
