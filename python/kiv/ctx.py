"""App and request contexts for code that runs outside a request the server handles:
tests, scripts and shells (`with app.app_context():`, `with app.test_request_context():`)."""

from __future__ import annotations

import functools
import json as _json
import sys
from typing import Any
from urllib.parse import parse_qsl, urlencode, urlsplit

from .formparser import encode_multipart as _encode_multipart
from .formparser import has_files as _has_files
from .globals import _local
from .wrappers import _AppCtxGlobals


class AppContext:
    def __init__(self, app: Any):
        self.app = app
        self.g = _AppCtxGlobals()
        self._saved: list[tuple[Any, Any]] = []

    def push(self) -> None:
        self._saved.append((_local.app, _local.g, _local.app_ctx))
        _local.app, _local.g, _local.app_ctx = self.app, self.g, self
        signals = sys.modules.get("kiv.signals")
        if signals is not None:
            signals.send(signals.appcontext_pushed, self.app)

    def pop(self, exc: BaseException | None = None) -> None:
        try:
            for f in reversed(self.app.teardown_appcontext_funcs):
                f(exc)
            signals = sys.modules.get("kiv.signals")
            if signals is not None:
                signals.send(signals.appcontext_tearing_down, self.app, exc=exc)
                signals.send(signals.appcontext_popped, self.app)
        finally:
            _local.app, _local.g, _local.app_ctx = self._saved.pop()

    def __enter__(self) -> "AppContext":
        self.push()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.pop(exc)


def build_request(app: Any, path: str = "/", method: str = "GET", headers: Any = None,
                  data: Any = None, json: Any = None, query_string: Any = None,
                  base_url: str | None = None, content_type: str | None = None,
                  subdomain: str | None = None) -> Any:
    """A request object as the server would build it for these values (no routing).
    The host is SERVER_NAME (under subdomain, if given), as in Flask, else localhost."""
    pairs = list(headers.items()) if isinstance(headers, dict) else list(headers or [])
    host = app.config["SERVER_NAME"] or "localhost"
    if subdomain:
        host = f"{subdomain}.{host}"
    if base_url:
        host = urlsplit(base_url).netloc or host
    if "://" in path:
        parts = urlsplit(path)
        host = parts.netloc or host
        path = parts.path + ("?" + parts.query if parts.query else "")
    if not any(k.lower() == "host" for k, _ in pairs):
        pairs.insert(0, ("Host", host))
    body = b""
    if json is not None:
        body = _json.dumps(json).encode()
        content_type = content_type or "application/json"
    elif isinstance(data, dict) and _has_files(data):
        body, content_type = _encode_multipart(data)
    elif isinstance(data, dict):
        body = urlencode(data, doseq=True).encode()
        content_type = content_type or "application/x-www-form-urlencoded"
    elif isinstance(data, str):
        body = data.encode()
    elif data is not None:
        body = bytes(data)
    if content_type and not any(k.lower() == "content-type" for k, _ in pairs):
        pairs.append(("Content-Type", content_type))
    path, _, query = path.partition("?")
    if query_string:
        extra = query_string if isinstance(query_string, str) else urlencode(query_string,
                                                                              doseq=True)
        query = f"{query}&{extra}" if query else extra
    app.server  # noqa: B018  (the request class of the current plan)
    return mounted_request_class(app)(method.upper(), path or "/", query,
                             parse_qsl(query, keep_blank_values=True), pairs, body,
                             "127.0.0.1", None, {}, None, None)


def mounted_request_class(app: Any) -> Any:
    """The app's request class, or for an APPLICATION_ROOT other than "/" one whose
    script_root it is: the test client and test_request_context mount the app there,
    as Flask's do, so that url_for prefixes it."""
    root = (app.config["APPLICATION_ROOT"] or "/").rstrip("/")
    cls = app._make_request
    if not root:
        return cls
    cached = app.__dict__.get("_mounted_request")
    if cached is None or cached[:2] != (cls, root):
        mounted = type("Request", (cls,), {"__slots__": (), "_script_root": root})
        cached = app.__dict__["_mounted_request"] = (cls, root, mounted)
    return cached[2]


class RequestContext:
    def __init__(self, app: Any, *args: Any, **kwargs: Any):
        self.app = app
        self.request = build_request(app, *args, **kwargs)
        self._saved: list[Any] = []

    @property
    def session(self) -> Any:
        return self.request.session

    def push(self) -> None:
        self._saved.append(_local.request)
        _local.request = self.request

    def pop(self, exc: BaseException | None = None) -> None:
        """Runs the teardown_request functions (the request's blueprints', then the
        app's) and the teardown_appcontext ones, given exc, as a handled request does."""
        try:
            if len(self._saved) == 1:  # the outermost push
                app, req = self.app, self.request
                app.server  # noqa: B018  (brings the hook plan up to date)
                for f in app._hooks(req)[3]:
                    f(exc)
        finally:
            _local.request = self._saved.pop()

    def __enter__(self) -> "RequestContext":
        self.push()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.pop(exc)


# --- carrying the request past the view ------------------------------------------------

def after_this_request(f: Any) -> Any:
    """Runs f(response) on this request's response, before the after_request functions;
    f returns the response to send."""
    from .asyncsupport import ensure_sync
    from .globals import _current_request
    req = _current_request()
    if req._after is None:
        req._after = []
    req._after.append(ensure_sync(f))
    return f


def copy_current_request_context(f: Any) -> Any:
    """f, made to run with the request current now: for a thread the view starts."""
    from .globals import _current_request
    req = _current_request()

    @functools.wraps(f)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        saved, _local.request = _local.request, req
        try:
            return f(*args, **kwargs)
        finally:
            _local.request = saved
    return wrapper


class _StreamWithContext:
    """Iterates with a request current, though the server pulls each piece after the view
    has returned, on whichever pool thread is free."""

    __slots__ = ("_it", "_req")

    def __init__(self, iterable: Any, req: Any):
        self._it = iter(iterable)
        self._req = req

    def __iter__(self) -> "_StreamWithContext":
        return self

    def __next__(self) -> Any:
        saved, _local.request = _local.request, self._req
        try:
            return next(self._it)
        finally:
            _local.request = saved

    def close(self) -> None:
        close = getattr(self._it, "close", None)
        if close is not None:
            saved, _local.request = _local.request, self._req
            try:
                close()
            finally:
                _local.request = saved


def stream_with_context(generator_or_function: Any) -> Any:
    """A streamed body that can use `request`, `session`, `g` and `url_for` while it is
    sent. Given a generator function, returns one whose generators do so."""
    from .globals import _current_request
    if not hasattr(generator_or_function, "__iter__") and callable(generator_or_function):
        @functools.wraps(generator_or_function)
        def decorated(*args: Any, **kwargs: Any) -> Any:
            return stream_with_context(generator_or_function(*args, **kwargs))
        return decorated
    return _StreamWithContext(generator_or_function, _current_request())
