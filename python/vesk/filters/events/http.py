"""Outbound HTTP through the standard library's http.client, which urllib and urllib3 (and so
requests) send through: one "http" record when the response's status and headers have come,
with the method, URL, status, the time since the request line was put, the headers both ways
(secret ones redacted) and the start of the request body.

http.client names the steps of an exchange on the connection: putrequest, putheader for each
header, endheaders, then send for the block of headers and for the body (whether it was given to
endheaders or sent afterwards), then getresponse. The steps are followed per connection object;
the return of getresponse makes the record, or that of a connect (made by the first send) that
failed. (urllib3 connects before it puts the request: a connection it cannot make is not seen.)
"""

import re
import time

from vesk._vesk import is_interruption
from vesk.filters.events.common import BODY_LIMIT, OPEN_LIMIT, body, redacted, size, text
from vesk.filters.secrets import is_secret_name

STEPS = ["putrequest", "putheader", "endheaders", "send", "connect", "getresponse"]


class _Exchange:
    __slots__ = ("method", "url", "headers", "start", "body", "body_size", "header_block")

    def __init__(self, method, url, start):
        self.method = method
        self.url = url
        self.start = start
        self.headers = {}
        self.body = None
        self.body_size = 0
        self.header_block = False  # the next send() carries the headers, not the body

    def add_body(self, data):
        if data is None:
            return
        n = size(data)
        self.body_size = None if self.body_size is None or n is None else self.body_size + n
        part = body(data)
        if self.body is None:
            self.body = part
        elif type(part) is type(self.body) and isinstance(part, (bytes, str)):
            self.body = (self.body + part)[:BODY_LIMIT]


QUERY_REDACTED = "[redacted]"


def _url(connection, url):
    """The URL as the caller meant it (http.client is given the path alone unless it talks to a
    proxy), with the values of query parameters named like secrets redacted."""
    url = _redact_query(url if isinstance(url, str) else text(url))
    if url.startswith(("http://", "https://")):
        return url
    secure = getattr(connection, "default_port", 80) == 443
    host = getattr(connection, "_tunnel_host", None) or getattr(connection, "host", "?")
    port = getattr(connection, "_tunnel_port", None) or getattr(connection, "port", None)
    default = 443 if secure else 80
    where = f"{host}:{port}" if port and port != default else str(host)
    if ":" in str(host) and not str(host).startswith("["):
        where = f"[{host}]:{port}" if port and port != default else f"[{host}]"
    return f"{'https' if secure else 'http'}://{where}{url}"


def _redact_query(url):
    path, mark, query = url.partition("?")
    if not mark:
        return url
    query, hash_mark, fragment = query.partition("#")
    items = []
    for item in query.split("&"):
        name, equals, _ = item.partition("=")
        items.append(f"{name}={QUERY_REDACTED}" if equals and is_secret_name(name) else item)
    return f"{path}?{'&'.join(items)}{hash_mark}{fragment}"


# A JSON member, "name": value (a string, or any other token), in a body that may be cut short.
_JSON_MEMBER = re.compile(r'"((?:[^"\\]|\\.)*)"(\s*:\s*)("(?:[^"\\]|\\.)*"?|[^,}\]\s]+)')


def _redacted_body(data):
    """The body as a record keeps it, the values of JSON members and form fields with secret names
    as "[redacted]": login and token requests carry their secrets there."""
    if not isinstance(data, (bytes, str)) or not data:
        return data
    text_form = data.decode("latin-1") if isinstance(data, bytes) else data
    stripped = text_form.lstrip()
    if stripped.startswith(("{", "[")):
        def member(match):
            if not is_secret_name(match.group(1)):
                return match.group(0)
            return f'"{match.group(1)}"{match.group(2)}"{QUERY_REDACTED}"'
        changed = _JSON_MEMBER.sub(member, text_form)
    elif "=" in text_form and not any(c in text_form for c in " \r\n\t"):
        fields = []
        for field in text_form.split("&"):
            name, equals, _ = field.partition("=")
            fields.append(f"{name}={QUERY_REDACTED}" if equals and is_secret_name(name) else field)
        changed = "&".join(fields)
    else:
        return data
    return changed.encode("latin-1") if isinstance(data, bytes) else changed


def _latin1(value):
    return value.decode("latin-1") if isinstance(value, bytes) else text(value)


def _connection(frame):
    if frame.f_globals.get("__name__") != "http.client":
        return None
    return frame.f_locals.get("self")


def follow(frame, event, arg, context):
    """Follows the steps of the exchanges; true only at the return of getresponse for an
    exchange whose request it saw."""
    connection = _connection(frame)
    if connection is None:
        return False
    exchanges = context.setdefault("exchanges", {})
    step = frame.f_code.co_name
    local = frame.f_locals
    key = id(connection)
    exchange = exchanges.get(key)
    if step == "getresponse":
        return event == "return" and exchange is not None
    if step == "connect":
        # Connecting on the first send, which failed if it left no socket: the exchange ends there.
        return event == "return" and exchange is not None and getattr(connection, "sock", None) is None
    if event != "call":
        return False
    if step == "putrequest":
        if len(exchanges) >= OPEN_LIMIT:
            del exchanges[next(iter(exchanges))]
        exchanges[key] = _Exchange(text(local.get("method")), _url(connection, local.get("url", "")),
                                   time.perf_counter())
    elif exchange is None:
        pass
    elif step == "putheader":
        name, values = _latin1(local.get("header")), local.get("values", ())
        value = ", ".join(_latin1(v) for v in values)
        # The serialiser stores a header of a secret name as its marker (see common.redacted).
        exchange.headers[name] = value if is_secret_name(name) else text(value)
    elif step == "endheaders":
        exchange.header_block = True  # the body, if given here too, goes through send()
    elif step == "send":
        if exchange.header_block:
            exchange.header_block = False
        else:
            exchange.add_body(local.get("data"))
    return False


def record(frame, event, arg, context):
    exchange = context["exchanges"].pop(id(_connection(frame)))
    fields = {
        "method": exchange.method,
        "url": exchange.url,
        "status": None,
        "reason": None,
        "duration": time.perf_counter() - exchange.start,
        "request_headers": exchange.headers,
        "request_body": _redacted_body(exchange.body),
        "request_body_size": exchange.body_size,
        "response_headers": None,
    }
    status = getattr(arg, "status", None)
    if isinstance(status, int):
        fields["status"] = status
        fields["reason"] = text(getattr(arg, "reason", None))
        try:
            headers = arg.getheaders()
        except Exception as exc:  # noqa: BLE001 - a response without headers to tell
            if is_interruption(exc):
                raise
            headers = ()
        fields["response_headers"] = redacted({str(k): v for k, v in headers[:50]})
    else:
        fields["error"] = True  # no response came: the connection or getresponse failed
    return fields


DESCRIPTIONS = [
    {
        "co_names": STEPS,
        "path_fragment": "http/client.py",
        "call_type": "http",
        "return_type": "http",
        "call": follow,
        "process": record,
    },
]
