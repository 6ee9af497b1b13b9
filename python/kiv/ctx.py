"""App and request contexts for code that runs outside a request the server handles:
tests, scripts and shells (`with app.app_context():`, `with app.test_request_context():`)."""

from __future__ import annotations

import json as _json
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
        self._saved.append((_local.app, _local.g))
        _local.app, _local.g = self.app, self.g

    def pop(self, exc: BaseException | None = None) -> None:
        try:
            for f in reversed(self.app.teardown_appcontext_funcs):
                f(exc)
        finally:
            _local.app, _local.g = self._saved.pop()

    def __enter__(self) -> "AppContext":
        self.push()
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self.pop(exc)


def build_request(app: Any, path: str = "/", method: str = "GET", headers: Any = None,
                  data: Any = None, json: Any = None, query_string: Any = None,
                  base_url: str | None = None, content_type: str | None = None) -> Any:
    """A request object as the server would build it for these values (no routing)."""
    pairs = list(headers.items()) if isinstance(headers, dict) else list(headers or [])
    host = "localhost"
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
    return app._make_request(method.upper(), path or "/", query,
                             parse_qsl(query, keep_blank_values=True), pairs, body,
                             "127.0.0.1", None, {}, None, None)


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
        _local.request = self._saved.pop()

    def __enter__(self) -> "RequestContext":
        self.push()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.pop()
