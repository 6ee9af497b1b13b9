"""Running WSGI applications (Flask, Django, ...) on the native core.

Three ways in: `python -m kiv run --interface wsgi module:application`, `serve(application)`
here, and `App.mount_wsgi(prefix, application)` to host one under a prefix beside kiv views.

The request arrives fully read, so wsgi.input is an in-memory stream over exactly the body.
The response body is collected into one bytes object (at most MAX_BODY bytes) and handed to
the engine, which writes its own Content-Length and Connection headers. `call_application`
is the one place that collects: once a response can carry an iterable body, it hands the
iterable over instead and leaves close() to whoever finishes sending it.
"""

from __future__ import annotations

import io
import re
import sys
from typing import Any, Callable, Iterable

from .wrappers import Headers, Response

__all__ = ["FileWrapper", "MAX_BODY", "WSGIHost", "call_application", "environ_for", "host_app",
           "serve"]

# Bytes of response body collected per request; an application that produces more gets a
# 500 instead of growing the process without bound. Stream large files through kiv views.
MAX_BODY = 256 * 1024 * 1024

# Connection-level headers; the engine frames the response itself.
_HOP_BY_HOP = frozenset((
    "connection", "keep-alive", "transfer-encoding", "te", "trailer", "upgrade",
    "proxy-authenticate", "proxy-authorization", "content-length"))

_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z").match
_CONTROL = re.compile(r"[\r\n\0]").search


class FileWrapper:
    """wsgi.file_wrapper: iterates a file-like object in blocks and closes it."""

    def __init__(self, filelike: Any, blksize: int = 64 * 1024):
        self.filelike = filelike
        self.blksize = blksize
        if hasattr(filelike, "close"):
            self.close = filelike.close

    def __iter__(self) -> Any:
        read, size = self.filelike.read, self.blksize
        while True:
            block = read(size)
            if not block:
                return
            yield block


def _latin1(text: str) -> str:
    # The core hands the path over decoded as UTF-8; WSGI wants the bytes as latin-1.
    if text.isascii():
        return text
    return text.encode("utf-8", "surrogateescape").decode("latin-1")


def _server_name_port(host: str | None, scheme: str) -> tuple[str, str]:
    default = "443" if scheme == "https" else "80"
    if not host:
        return "localhost", default
    if host.startswith("["):  # an IPv6 literal
        end = host.find("]")
        name, rest = host[:end + 1], host[end + 1:]
        return name, rest[1:] if rest.startswith(":") and rest[1:].isdigit() else default
    name, sep, port = host.rpartition(":")
    if sep and port.isdigit():
        return name, port
    return host, default


def environ_for(req: Any, script_name: str = "", multiprocess: bool = False) -> dict:
    """The PEP 3333 environ of one request. script_name is the mount prefix ("" at the
    root); the path below it becomes PATH_INFO."""
    path = _latin1(req.path)
    if script_name:
        path = path[len(script_name):]
    addr, scheme = req._forwarded_values()
    environ = {
        "REQUEST_METHOD": req.method,
        "SCRIPT_NAME": script_name,
        "PATH_INFO": path,
        "QUERY_STRING": req.query_string,
        "SERVER_PROTOCOL": "HTTP/1.1",
        "REMOTE_ADDR": addr,
        "wsgi.version": (1, 0),
        "wsgi.url_scheme": scheme,
        "wsgi.input": io.BytesIO(req.body),
        "wsgi.errors": sys.stderr,
        "wsgi.multithread": True,
        "wsgi.multiprocess": multiprocess,
        "wsgi.run_once": False,
        "wsgi.input_terminated": True,
        "wsgi.file_wrapper": FileWrapper,
    }
    host = None
    for name, value in req.header_list:
        if "_" in name:
            # Else X-Forwarded_For would arrive as HTTP_X_FORWARDED_FOR.
            continue
        key = name.upper().replace("-", "_")
        if key == "CONTENT_TYPE" or key == "CONTENT_LENGTH":
            environ[key] = value
            continue
        if key == "HOST" and host is None:
            host = value
        key = "HTTP_" + key
        if key in environ:
            # Cookie pairs are separated by ";", everything else by ",".
            environ[key] += ("; " if key == "HTTP_COOKIE" else ", ") + value
        else:
            environ[key] = value
    # The body was read whole (chunked ones too): tell the application its real size.
    if req.body or "CONTENT_LENGTH" in environ:
        environ["CONTENT_LENGTH"] = str(len(req.body))
    environ.setdefault("CONTENT_TYPE", "")
    environ["SERVER_NAME"], environ["SERVER_PORT"] = _server_name_port(host, scheme)
    return environ


class _Start:
    """start_response and its write() callable for one call of the application."""

    __slots__ = ("status", "headers", "chunks", "size", "sent")

    def __init__(self) -> None:
        self.status: int | None = None
        self.headers: list[tuple[str, str]] = []
        self.chunks: list[bytes] = []
        self.size = 0
        self.sent = False  # a byte of body exists: the head counts as sent from now on

    def __call__(self, status: str, headers: list, exc_info: Any = None) -> Callable:
        if exc_info is not None:
            try:
                if self.sent:
                    raise exc_info[1].with_traceback(exc_info[2])
            finally:
                exc_info = None  # no cycle through the traceback
        elif self.status is not None:
            raise AssertionError("start_response called a second time without exc_info")
        self.status = _parse_status(status)
        self.headers = _check_headers(headers)
        return self.write

    def write(self, data: bytes) -> None:
        if self.status is None:
            raise AssertionError("write() before start_response")
        if type(data) is not bytes:
            raise TypeError(f"WSGI body chunks must be bytes, not {type(data).__name__}")
        if data:
            self.sent = True
            self.size += len(data)
            if self.size > MAX_BODY:
                raise RuntimeError(f"WSGI response body larger than {MAX_BODY} bytes")
            self.chunks.append(data)


def _parse_status(status: Any) -> int:
    if type(status) is not str:
        raise TypeError(f"WSGI status must be a str, not {type(status).__name__}")
    code, sep, reason = status.partition(" ")
    if len(code) != 3 or not code.isdigit() or not sep or int(code) < 100:
        raise ValueError(f"invalid WSGI status {status!r}")
    if _CONTROL(reason):
        raise ValueError(f"invalid WSGI status {status!r}")
    return int(code)


def _check_headers(headers: Any) -> list[tuple[str, str]]:
    if type(headers) is not list:
        raise TypeError(f"WSGI headers must be a list, not {type(headers).__name__}")
    out = []
    for item in headers:
        if type(item) is not tuple or len(item) != 2:
            raise TypeError(f"WSGI header {item!r} is not a (name, value) tuple")
        name, value = item
        if type(name) is not str or type(value) is not str:
            raise TypeError(f"WSGI header {item!r} must be two str")
        if not _TOKEN(name):
            raise ValueError(f"invalid WSGI header name {name!r}")
        if _CONTROL(value):
            raise ValueError(f"invalid WSGI header value for {name!r}")
        out.append(item)
    return out


def _body(start: _Start, iterable: Iterable, limit: int | None) -> bytes:
    """The body: write() data, then the iterable, cut at an announced Content-Length."""
    for data in iterable:
        start.write(data)
        if limit is not None and start.size >= limit:
            break
    if start.status is None:
        raise AssertionError("the WSGI application returned without calling start_response")
    body = b"".join(start.chunks)
    return body if limit is None else body[:limit]


def _content_length(headers: list[tuple[str, str]]) -> int | None:
    for name, value in headers:
        if name.lower() == "content-length":
            value = value.strip()
            if value.isdigit():
                return int(value)
    return None


def call_application(application: Callable, environ: dict) -> Response:
    """Runs application on environ and returns its answer as a Response. An exception
    propagates (the server answers 500); the iterable's close() runs on every path."""
    start = _Start()
    iterable = application(environ, start)
    try:
        limit = None
        if start.status is not None:
            limit = _content_length(start.headers)
        body = _body(start, iterable, limit)
        # A generator calls start_response in its first step: read the length again.
        limit = _content_length(start.headers)
        if limit is not None and len(body) != limit:
            if len(body) > limit:
                body = body[:limit]
            elif environ["REQUEST_METHOD"] != "HEAD":
                print(f"kiv.wsgi: {environ['PATH_INFO']!r} announced Content-Length {limit} "
                      f"and sent {len(body)} bytes", file=environ["wsgi.errors"])
    finally:
        close = getattr(iterable, "close", None)
        if close is not None:
            close()
    resp = Response.__new__(Response)
    resp.body = body
    resp.status_code = start.status
    resp.headers = Headers([h for h in start.headers if h[0].lower() not in _HOP_BY_HOP])
    return resp


class WSGIHost:
    """An application mounted at a prefix ("" for the root) of a kiv app."""

    __slots__ = ("application", "prefix")

    def __init__(self, application: Callable, prefix: str = ""):
        self.application = application
        self.prefix = prefix

    def covers(self, path: str) -> bool:
        prefix = self.prefix
        return not prefix or path == prefix or path.startswith(prefix + "/")

    def __call__(self, req: Any) -> Response:
        # Worker processes mark their app (kiv.serving.run_worker).
        environ = environ_for(req, self.prefix, getattr(req.app, "wsgi_multiprocess", False))
        return call_application(self.application, environ)


def clean_prefix(prefix: str) -> str:
    """"/a/b" for "a/b/", "" for the root."""
    prefix = prefix.strip("/")
    return "/" + prefix if prefix else ""


def host_app(application: Callable, **kwargs: Any) -> Any:
    """A kiv App whose every path goes to application (what --interface wsgi serves)."""
    from .app import App

    if isinstance(application, App):
        return application
    name = getattr(application, "__module__", None) or "kiv.wsgi"
    app = App(name, static_folder=None, template_folder=None, **kwargs)
    app.wsgi_application = application
    app.mount_wsgi("/", application)
    return app


def serve(application: Callable, host: str = "127.0.0.1", port: int = 8000, **options: Any) -> bool:
    """Serves a WSGI application until SIGTERM or Ctrl-C; options as for kiv.serving.serve.
    With workers > 1, pass app_ref="module:application" so the workers can import it."""
    from .serving import serve as _serve

    options.setdefault("interface", "wsgi")  # what worker processes load app_ref as
    return _serve(host_app(application), host, port, **options)
