"""The benchmark app as a bare WSGI callable (gunicorn, granian --interface wsgi).

Routing is done by hand on PATH_INFO; JSON is serialised per request, like the
other servers do it.
"""

import json
from urllib.parse import parse_qs

import app_views

HELLO = b"Hello, World!"
TEXT = [("Content-Type", "text/plain; charset=utf-8")]
JSON = [("Content-Type", "application/json")]


def _reply(start_response, status, headers, body):
    start_response(status, headers + [("Content-Length", str(len(body)))])
    return [body]


def app(environ, start_response):
    path = environ["PATH_INFO"]
    method = environ["REQUEST_METHOD"]
    if method == "GET":
        if path == "/":
            return _reply(start_response, "200 OK", TEXT, HELLO)
        if path.startswith("/wait/"):
            body = app_views.wait(int(path[6:])).encode()
            return _reply(start_response, "200 OK", TEXT, body)
        if path == "/compute":
            return _reply(start_response, "200 OK", TEXT, app_views.compute().encode())
        if app_views.DB_POOL is not None and path in ("/db", "/queries", "/updates"):
            if path == "/db":
                data = app_views.single_row()
            else:
                n = parse_qs(environ.get("QUERY_STRING", "")).get("queries", [None])[0]
                data = (app_views.rows if path == "/queries" else app_views.updated_rows)(n)
            return _reply(start_response, "200 OK", JSON, json.dumps(data).encode())
        if path == "/json":
            body = json.dumps({"message": "Hello, World!"}).encode()
            return _reply(start_response, "200 OK", JSON, body)
        if path.startswith("/items/"):
            try:
                item_id = int(path[7:])
            except ValueError:
                pass
            else:
                return _reply(start_response, "200 OK", JSON, json.dumps({"id": item_id}).encode())
    elif method == "POST" and path == "/echo":
        length = int(environ.get("CONTENT_LENGTH") or 0)
        body = environ["wsgi.input"].read(length)
        return _reply(start_response, "200 OK", TEXT, str(len(body)).encode())
    return _reply(start_response, "404 Not Found", TEXT, b"Not Found")
