"""A WSGI application inside a kiv app: `App.mount_wsgi(prefix, application)` and what
`kiv.wsgi` serves.

The core hands every request under a mount to its `WSGIHost` with the environ already
built (natively, from the parsed request) and the body (bytes, or a reader of a body
streamed from the connection as wsgi.input is read); the host runs the
application and answers (status, headers, body). A body the application has finished
by its first chunk (a list, or an iterable that reached its Content-Length) goes out as
bytes; any other iterable is handed to the core, which streams it and calls close().
"""

from __future__ import annotations

import contextvars
import io
import re
import sys
from typing import Any, Callable, Iterator

from .bodystream import BodyStream
from .files import FileBody
from .wrappers import server_name_port

__all__ = ["FileWrapper", "MAX_BODY", "WSGIHost", "call_application", "clean_prefix"]

# Bytes the write() callable may buffer before the application returns its iterable
# (they cannot be sent earlier); more gives a 500 instead of growing without bound.
MAX_BODY = 256 * 1024 * 1024

# Connection-level headers; the engine frames the response itself.
_HOP_BY_HOP = frozenset((
    "connection", "keep-alive", "transfer-encoding", "te", "trailer", "upgrade",
    "proxy-authenticate", "proxy-authorization"))

_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z").match
_CONTROL = re.compile(r"[\r\n\0]").search


class FileWrapper:
    """wsgi.file_wrapper: a file with a usable descriptor goes out by sendfile, from
    its current position to its end; any other file-like object is read in blocks.
    close() closes the file either way."""

    __slots__ = ("filelike", "blksize", "_file")

    def __init__(self, filelike: Any, blksize: int = 64 * 1024):
        self.filelike = filelike
        self.blksize = blksize
        self._file = None
        try:
            fd = filelike.fileno()
            offset = filelike.tell()
        except (AttributeError, OSError, ValueError):
            return  # io.BytesIO and friends: no descriptor
        try:
            # Its own duplicate of the descriptor, so close() may close the file at once.
            self._file = FileBody(fd, offset)
        except OSError:
            pass

    @classmethod
    def of_body(cls, body: FileBody) -> "FileWrapper":
        """A wrapper over a FileBody (a kiv app's file response), sent from its file."""
        wrapper = cls.__new__(cls)
        wrapper.filelike, wrapper.blksize, wrapper._file = None, 64 * 1024, body
        return wrapper

    def __iter__(self) -> Iterator[bytes]:
        if self._file is not None:
            yield from self._file
            return
        read, size = self.filelike.read, self.blksize
        while True:
            block = read(size)
            if not block:
                return
            yield block

    def close(self) -> None:
        # The body keeps its descriptor until the server has taken its own copy.
        close = getattr(self.filelike, "close", None)
        if close is not None:
            close()


class _Start:
    """start_response and its write() callable for one call of the application. Keeps
    the status as an int, the headers to send and the announced Content-Length."""

    __slots__ = ("status", "headers", "length", "chunks", "size", "sent")

    def __init__(self) -> None:
        self.status: int | None = None
        self.headers: list[tuple[str, str]] = []
        self.length: int | None = None
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
        self.headers, self.length = _check_headers(headers)
        return self.write

    def write(self, data: bytes) -> None:
        if self.status is None:
            raise AssertionError("write() before start_response")
        _check_chunk(data)
        if data:
            self.sent = True
            self.size += len(data)
            if self.size > MAX_BODY:
                raise RuntimeError(f"WSGI response body larger than {MAX_BODY} bytes")
            self.chunks.append(data)


def _check_chunk(data: Any) -> None:
    if type(data) is not bytes:
        raise TypeError(f"WSGI body chunks must be bytes, not {type(data).__name__}")


# Applications send the same few statuses and header names over and over: each is
# checked once and remembered (a bounded number, so odd ones cannot grow these).
_STATUS_CODES: dict[str, int] = {}
_NAME_KEYS: dict[str, str] = {}  # a checked header name -> its lower-case form
_REMEMBERED = 512


def _parse_status(status: Any) -> int:
    if type(status) is not str:
        raise TypeError(f"WSGI status must be a str, not {type(status).__name__}")
    code = _STATUS_CODES.get(status)
    if code is not None:
        return code
    digits, sep, reason = status.partition(" ")
    if len(digits) != 3 or not digits.isdigit() or not sep or int(digits) < 100:
        raise ValueError(f"invalid WSGI status {status!r}")
    if _CONTROL(reason):
        raise ValueError(f"invalid WSGI status {status!r}")
    if len(_STATUS_CODES) < _REMEMBERED:
        _STATUS_CODES[status] = int(digits)
    return int(digits)


def _check_headers(headers: Any) -> tuple[list[tuple[str, str]], int | None]:
    """The headers to send (hop-by-hop ones dropped) and the announced Content-Length
    (the last one, as the core reads it), in one pass."""
    if type(headers) is not list:
        raise TypeError(f"WSGI headers must be a list, not {type(headers).__name__}")
    out = []
    length = None
    for item in headers:
        if type(item) is not tuple or len(item) != 2:
            raise TypeError(f"WSGI header {item!r} is not a (name, value) tuple")
        name, value = item
        if type(name) is not str or type(value) is not str:
            raise TypeError(f"WSGI header {item!r} must be two str")
        key = _NAME_KEYS.get(name)
        if key is None:
            if not _TOKEN(name):
                raise ValueError(f"invalid WSGI header name {name!r}")
            key = name.lower()
            if len(_NAME_KEYS) < _REMEMBERED:
                _NAME_KEYS[name] = key
        if key in _HOP_BY_HOP:
            continue
        # CR, LF or NUL in a value: the core refuses the response (a 500) when it takes
        # the headers over; _Stream checks earlier, as the core would not close it then.
        if key == "content-length":
            value = value.strip()
            length = int(value) if value.isdigit() else None
            if length is not None:
                item = (name, str(length))  # the form the core reads
        out.append(item)
    return out, length


def _close(iterable: Any) -> None:
    close = getattr(iterable, "close", None)
    if close is not None:
        close()


class _Stream:
    """The rest of a response the application is still producing: what exists so far,
    then its iterator. The core pulls it and calls close() once, on every path; a chunk
    that is not bytes cuts the connection, since the head is already out."""

    __slots__ = ("start", "first", "rest", "iterable", "closed", "context")

    def __init__(self, start: _Start, first: list[bytes], rest: Iterator, iterable: Any,
                 context: contextvars.Context):
        self.start, self.first, self.rest, self.iterable = start, first, rest, iterable
        self.closed = False
        self.context = context

    def __iter__(self) -> Iterator[bytes | float]:
        # A 0.0 after each block makes the core send what it has at once, rather than
        # gather more: a WSGI server must not hold a block back while the application
        # produces the next one.
        yield from self.first
        yield 0.0
        self.first = []
        written = self.start.chunks
        run, rest = self.context.run, self.rest
        while (data := run(next, rest, _END)) is not _END:
            if written:  # write() called while streaming: its data goes first
                yield from written
                written.clear()
                self.start.size = 0
            _check_chunk(data)
            if data:
                yield data
                yield 0.0
        yield from written

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            self.context.run(_close, self.iterable)


_END = object()


def call_application(application: Callable, environ: dict) -> tuple[int, list, Any]:
    """Runs application on environ; answers (status, headers, body) for the core. An
    exception before any body byte exists propagates (the server answers 500), after
    it the stream fails and the connection is cut. close() runs on every path.

    The application, its body and close() all run in one context of their own, as on a
    server that iterates on the thread that called: a body pulled later, on another pool
    thread, still sees the context variables the application set (Flask's
    stream_with_context relies on it)."""
    start = _Start()
    context = contextvars.Context()
    run = context.run
    iterable = run(application, environ, start)
    rest = None
    try:
        if type(iterable) is FileWrapper and iterable._file is not None:
            body = iterable._file
        elif type(iterable) is list or type(iterable) is tuple:
            chunks = start.chunks
            for data in iterable:
                if type(data) is not bytes:
                    _check_chunk(data)
                if data:
                    chunks.append(data)
                    start.size += len(data)
        else:
            # Pull until the first non-empty chunk: the application may call
            # start_response as late as that (a generator does, in its first step).
            rest = run(iter, iterable)
            while (data := run(next, rest, _END)) is not _END:
                _check_chunk(data)
                if data:
                    start.write(data)
                    break
            else:
                rest = None
        if start.status is None:
            raise AssertionError("the WSGI application returned without calling start_response")
        limit = start.length
        chunks = start.chunks
        if rest is not None and limit is not None and start.size >= limit:
            rest = None  # all the announced bytes exist: the rest is never sent
        if rest is None:
            run(_close, iterable)
    except BaseException:
        run(_close, iterable)
        raise
    headers = start.headers
    if type(iterable) is FileWrapper and iterable._file is not None:
        if limit is not None:
            body.length = limit  # a shorter file cuts the connection
        return start.status, headers, body
    if rest is not None:
        for name, value in headers:
            if _CONTROL(value):
                run(_close, iterable)
                raise ValueError(f"invalid WSGI header value for {name!r}")
        start.chunks = []
        return start.status, headers, _Stream(start, chunks, rest, iterable, context)
    body = chunks[0] if len(chunks) == 1 else b"".join(chunks)
    if limit is not None and len(body) != limit:
        if len(body) > limit:
            body = body[:limit]
        elif environ["REQUEST_METHOD"] == "HEAD" and not body:
            # The length a GET would have, without its body.
            return start.status, headers, ()
        else:
            # Fewer bytes than announced: the core sends what exists and closes.
            if environ["REQUEST_METHOD"] != "HEAD":
                print(f"kiv.wsgi: {environ['PATH_INFO']!r} announced Content-Length "
                      f"{limit} and sent {len(body)} bytes", file=environ["wsgi.errors"])
            return start.status, headers, (body,)
    elif limit is None and not body and environ["REQUEST_METHOD"] == "HEAD":
        return start.status, headers, ()  # no length rather than a wrong 0
    return start.status, headers, body


class WSGIHost:
    """An application mounted at a prefix ("" for the root) of a kiv app. The core calls
    it with the environ it built (a copy of `base` plus the request's keys) and the body."""

    __slots__ = ("application", "prefix", "app", "base")

    def __init__(self, application: Callable, prefix: str = "", app: Any = None):
        self.application = application
        self.prefix = prefix
        self.app = app
        self.base = {
            "SCRIPT_NAME": prefix,
            "wsgi.version": (1, 0),
            "wsgi.url_scheme": "http",
            "wsgi.multithread": True,
            "wsgi.multiprocess": False,  # set under --workers (kiv.serving.run_worker)
            "wsgi.run_once": False,
            "wsgi.input_terminated": True,
            "wsgi.file_wrapper": FileWrapper,
        }

    def __call__(self, environ: dict, body: Any) -> tuple[int, list, Any]:
        # bytes when the server read the body whole, else a reader of the streamed body.
        environ["wsgi.input"] = io.BytesIO(body) if body.__class__ is bytes else BodyStream(body)
        environ["wsgi.errors"] = sys.stderr
        if self.app is not None and ("HTTP_X_FORWARDED_FOR" in environ
                                     or "HTTP_X_FORWARDED_PROTO" in environ):
            self._forwarded(environ)
        return call_application(self.application, environ)

    def _forwarded(self, environ: dict) -> None:
        # The proxy trust rules of kiv's own requests, through a request of the app's class.
        pairs = [(name, environ[key]) for name, key in (
            ("x-forwarded-for", "HTTP_X_FORWARDED_FOR"),
            ("x-forwarded-proto", "HTTP_X_FORWARDED_PROTO")) if key in environ]
        req = self.app._make_request("GET", "/", "", [], pairs, b"", environ["REMOTE_ADDR"],
                                     None, {}, None, None)
        environ["REMOTE_ADDR"], scheme, _ = req._forwarded_values()
        if scheme != "http":
            environ["wsgi.url_scheme"] = scheme
            environ["SERVER_NAME"], environ["SERVER_PORT"] = server_name_port(
                environ.get("HTTP_HOST"), scheme)


def clean_prefix(prefix: str) -> str:
    """"/a/b" for "a/b/", "" for the root."""
    prefix = prefix.strip("/")
    return "/" + prefix if prefix else ""
