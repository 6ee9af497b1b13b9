"""A kiv app called as a WSGI application: `app.wsgi_app(environ, start_response)`, which
`app(environ, start_response)` calls, as another WSGI server or a middleware calls it.

The native router decides as it does for a request the server reads (`Server.match`); the
request, built from the environ, goes through the app's pipeline on the calling thread,
and the response goes out through start_response. `request.environ` is that environ.

An app whose `wsgi_app` was replaced by middleware (`DispatcherMiddleware`, ...) is
served through the replacement, so the middleware sees every request (static files
included; WebSockets stay native). A `ProxyFix` alone stays on the native path: the app's
requests do its work themselves (`ProxyFixed`). An app that keeps its own `wsgi_app`
never comes here.
"""

from __future__ import annotations

import io
import re
import uuid
from typing import Any, Callable, Iterator
from urllib.parse import parse_qsl, quote

from .exceptions import HTTPException, RequestEntityTooLarge
from .files import FileBody
from .globals import _local
from .helpers import response_of
from .wsgihost import FileWrapper

__all__ = ["ProxyFixed", "call_app", "environ_request_class"]

_PATH_SAFE = "/!$&'()*+,:;=@-._~"
_PLAIN = re.compile(r"[A-Za-z0-9/!$&'()*+,:;=@\-._~]*\Z").match  # a path quote() keeps as it is
# Route argument kinds as the router reports them (src/router.hpp): int, float, uuid.
_CONVERT: dict[int, Callable[[str], Any]] = {1: int, 2: float, 3: uuid.UUID}


def _script_root(req: Any) -> str:
    return req.environ.get("SCRIPT_NAME", "").rstrip("/")


def _ignore(environ: dict, start_response: Any) -> None:
    return None


class ProxyFixed:
    """A request of an app whose wsgi_app is a ProxyFix straight around its own: what the
    ProxyFix would have done to the environ, the request does itself when its address,
    scheme, host, script root or environ is first asked for, so the app stays on the
    native path (the server puts slash redirects under X-Forwarded-Prefix itself)."""

    __slots__ = ()
    fix: Any = None  # a ProxyFix with the app's settings, around nothing

    @classmethod
    def fixing(cls, middleware: Any) -> dict:
        from werkzeug.middleware.proxy_fix import ProxyFix
        return {"fix": ProxyFix(_ignore, x_for=middleware.x_for, x_proto=middleware.x_proto,
                                x_host=middleware.x_host, x_port=middleware.x_port,
                                x_prefix=middleware.x_prefix)}

    def _forwarded_values(self) -> tuple:
        values = self._forwarded  # type: ignore[attr-defined]
        if values is None:
            super()._forwarded_values()  # type: ignore[misc]  (the server side's, kept)
            self._environ = {}  # while the environ is made from them: no script root yet
            env = self._make_environ()  # type: ignore[attr-defined]
            self.fix(env, None)
            self._environ = env
            values = self._forwarded = (env.get("REMOTE_ADDR"),
                                        env.get("wsgi.url_scheme", "http"), env.get("HTTP_HOST"))
        return values

    @property
    def environ(self) -> dict:
        try:
            return self._environ
        except AttributeError:
            self._forwarded_values()
            return self._environ

    @property
    def _script_root(self) -> str:
        return self.environ.get("SCRIPT_NAME", "").rstrip("/")


def environ_request_class(app: Any) -> type:
    """The app's request class, for requests that carry the WSGI environ they came from:
    `request.environ` is it, and SCRIPT_NAME is the script root that URLs carry."""
    base = app._make_request
    cached = app.__dict__.get("_environ_request")
    if cached is None or cached[0] is not base:
        cls = type("Request", (base,), {
            "__slots__": (), "__module__": base.__module__,
            "_script_root": property(_script_root)})
        cached = app.__dict__["_environ_request"] = (base, cls)
    return cached[1]


class _Input:
    """wsgi.input as the reader a streamed request body is read through (BodyStream):
    at most CONTENT_LENGTH bytes, as WSGI asks of an application."""

    __slots__ = ("stream", "left", "length")

    def __init__(self, stream: Any, length: int | None):
        self.stream, self.left, self.length = stream, length, length

    def read(self, size: int) -> bytes:
        if self.left is not None:
            size = min(size, self.left)
        data = self.stream.read(size) if size else b""
        if self.left is not None:
            self.left -= len(data)
        return data

    read1 = read


# Environ keys by the header name they carry ("" for the others): the same few keys come
# on every request, so each is worked out once (a bounded number of them).
_HEADER_NAMES: dict[str, str] = {}


def _header_name(key: str) -> str:
    if key.startswith("HTTP_"):
        name = key[5:].replace("_", "-").title()
    elif key in ("CONTENT_TYPE", "CONTENT_LENGTH"):
        name = key.replace("_", "-").title()
    else:
        name = ""
    if len(_HEADER_NAMES) < 1024:
        _HEADER_NAMES[key] = name
    return name


def _headers(environ: dict) -> list[tuple[str, str]]:
    pairs = []
    names = _HEADER_NAMES
    for key, value in environ.items():
        name = names.get(key)
        if name is None:
            name = _header_name(key)
        if not name or (not value and key[0] == "C"):  # an empty CONTENT_* is none
            continue
        if not value.isascii():  # WSGI carries header bytes as latin-1 text
            value = value.encode("latin-1", "replace").decode("utf-8", "replace")
        pairs.append((name, value))
    if "HTTP_HOST" not in environ:
        name, port = environ.get("SERVER_NAME", "localhost"), environ.get("SERVER_PORT", "")
        default = "443" if environ.get("wsgi.url_scheme") == "https" else "80"
        pairs.append(("Host", name if port in ("", default) else f"{name}:{port}"))
    return pairs


def _length(environ: dict) -> int | None:
    value = environ.get("CONTENT_LENGTH")
    if not value:
        return None
    try:
        return max(0, int(value))
    except ValueError:
        return None


def _body(environ: dict, length: int | None) -> Any:
    stream = environ.get("wsgi.input")
    if stream is None or (length is None and not environ.get("wsgi.input_terminated")):
        return b""  # no length and no end marked: no body, as WSGI has it
    if stream.__class__ is io.BytesIO and length is not None and not stream.tell():
        return stream  # a body read whole already (kiv's own WSGI host gives these)
    return _Input(stream, length)


def _mount_for(app: Any, raw: str) -> Any:
    best = None
    for mount in app._wsgi_mounts:
        prefix = mount.prefix
        if (not prefix or raw == prefix or raw.startswith(prefix + "/")) and (
                best is None or len(prefix) > len(best.prefix)):
            best = mount
    return best


def _static_for(app: Any, path: str) -> tuple[str, str] | None:
    best = None
    for url, folder in app._statics:
        if (path == url or path.startswith(url + "/")) and (best is None or
                                                            len(url) > len(best[0])):
            best = (url, folder)
    return best


def call_app(app: Any, environ: dict, start_response: Callable) -> Any:
    if app._router is None or app._plan() != app._plan_key:
        app.server  # noqa: B018  (brings the plan, and its router, up to date)
    method = environ.get("REQUEST_METHOD", "GET").upper()
    raw = environ.get("PATH_INFO", "") or "/"
    raw_bytes = raw.encode("latin-1", "replace")
    path = raw_bytes.decode("utf-8", "replace")
    query = environ.get("QUERY_STRING", "")
    length = _length(environ)
    if length is not None and length > app._flags[3]:
        return _send(environ, start_response, response_of(RequestEntityTooLarge()), method)
    static = _static_for(app, path)
    if static is not None and method in ("GET", "HEAD"):
        response = _static(app, environ, static, path[len(static[0]) + 1:])
        if response is not None:
            return _send(environ, start_response, response, method)
    target = raw if _PLAIN(raw) else quote(raw_bytes, safe=_PATH_SAFE)
    decision = app._router.match(method, target, query)
    code = decision[0]
    view = endpoint = error = allowed = None
    args: dict = {}
    if code == 0:
        view, endpoint = decision[1], decision[2]
        args = {name: _CONVERT.get(kind, str)(value) for name, value, kind in decision[3]}
    elif code == 404 and app._wsgi_mounts and (mount := _mount_for(app, raw)) is not None:
        return _call_mount(mount, environ, raw, start_response)
    elif code == 308 or code == 404 and decision[1] is not None:
        root = quote(environ.get("SCRIPT_NAME", "").rstrip("/").encode("latin-1", "replace"),
                     safe=_PATH_SAFE)
        if root[:2] == "//":
            root = ""  # a relative Location must not name another host
        start_response("308 PERMANENT REDIRECT", [("Location", root + decision[1]),
                                                  ("Content-Length", "0")])
        return []
    elif code == 200:  # the automatic OPTIONS answer
        start_response("200 OK", [("Allow", decision[1]), ("Content-Length", "0"),
                                  ("Content-Type", "text/html; charset=utf-8")])
        return []
    else:
        error = str(code)
        allowed = decision[1] if code == 405 else None
    req = environ_request_class(app)(
        method, path, query, parse_qsl(query, keep_blank_values=True), _headers(environ),
        _body(environ, length), environ.get("REMOTE_ADDR"), endpoint, args, error, allowed)
    req._environ = environ
    # The environ says who the client is and how it asked: a middleware in front
    # (ProxyFix) has already put the forwarded values there.
    req._forwarded = (req.peer_addr, environ.get("wsgi.url_scheme", "http"), None)
    environ["werkzeug.request"] = req
    return _send(environ, start_response, _run(app, req, view, args), method)


def _run(app: Any, req: Any, view: Any, args: dict) -> Any:
    """The response to req, as the server's conversion would make it."""
    try:
        if view is not None and app.fast:
            rv = app._pipeline(req, view, args)
        else:
            rv = app._dispatch(req)
        return app.make_response(rv)
    except Exception as e:  # as the server answers what leaves the pipeline
        if isinstance(e, HTTPException) and not (app.trap_http
                                                 or app.config["TRAP_HTTP_EXCEPTIONS"]):
            return response_of(e)
        return app._failure_page(e)
    finally:
        _local.request = None


def _static(app: Any, environ: dict, static: tuple[str, str], rel: str) -> Any:
    """A file of a static folder, as the server sends it (no hooks run), or None."""
    from .exceptions import NotFound
    from .files import send_from_directory
    req = environ_request_class(app)(
        environ.get("REQUEST_METHOD", "GET").upper(), "", "", [], _headers(environ), b"",
        environ.get("REMOTE_ADDR") or "", None, {}, None, None)
    req._environ = environ
    saved, _local.request = _local.request, req
    try:
        max_age = app.cache_max_age
        return send_from_directory(static[1], rel, max_age=max_age if max_age is not None
                                   else app.get_send_file_max_age(rel) or 0)
    except NotFound:
        return None
    finally:
        _local.request = saved


def _call_mount(mount: Any, environ: dict, raw: str, start_response: Callable) -> Any:
    """A path a WSGI application mounted on the app (mount_wsgi) answers."""
    inner = dict(environ)
    inner["SCRIPT_NAME"] = environ.get("SCRIPT_NAME", "").rstrip("/") + mount.prefix
    inner["PATH_INFO"] = raw[len(mount.prefix):]
    return mount.application(inner, start_response)


def _pulled(body: Any) -> Iterator[Any]:
    """An async iterable body, each piece awaited on the event loop (WSGI pulls from a
    thread of its own)."""
    from .asyncsupport import run_coroutine
    end = object()

    async def step() -> Any:
        try:
            return await body.__anext__()
        except StopAsyncIteration:
            return end

    try:
        while (item := run_coroutine(step())) is not end:
            yield item
    finally:
        close = getattr(body, "aclose", None)
        if close is not None:
            run_coroutine(close())


class _Body:
    """A streamed body: the server pulls it and calls close(), which closes the
    response (its generator and call_on_close functions)."""

    __slots__ = ("items", "response")

    def __init__(self, items: Iterator, response: Any):
        self.items, self.response = items, response

    def __iter__(self) -> Iterator[bytes]:
        for item in self.items:
            if item.__class__ is not bytes:
                item = item.encode() if isinstance(item, str) else bytes(item)
            if item:
                yield item

    def close(self) -> None:
        self.response.close()


def _send(environ: dict, start_response: Callable, response: Any, method: str) -> Any:
    status, pairs, body = response._fast()
    headers = [(k, v if v.__class__ is str else str(v)) for k, v in pairs]
    has_length = any(k.lower() == "content-length" for k, _ in headers)
    if body.__class__ is str:
        body = body.encode()
    if body.__class__ is bytes or isinstance(body, (bytearray, memoryview)):
        if not has_length:
            headers.append(("Content-Length", str(len(body))))
        start_response(response.status, headers)
        if "_on_close" in response.__dict__:
            response.close()
        return [] if method == "HEAD" else [bytes(body)]
    if isinstance(body, FileBody):
        if not has_length:
            headers.append(("Content-Length", str(body.length)))
        start_response(response.status, headers)
        if method == "HEAD":
            response.close()
            return []
        if environ.get("wsgi.file_wrapper") is FileWrapper:
            return FileWrapper.of_body(body)  # sent from the file by kiv's own server
        return _Body(iter(body), response)
    if hasattr(body, "__anext__"):
        body = _pulled(body)
    start_response(response.status, headers)
    if method == "HEAD":
        response.close()
        return []
    return _Body(iter(body), response)
