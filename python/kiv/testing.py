"""A test client that runs requests in-process through the native server."""

from __future__ import annotations

import json as _json
from typing import Any
from urllib.parse import urlencode

from .wrappers import Headers


class TestResponse:
    __test__ = False  # not a pytest test class

    def __init__(self, status: int, headers: list[tuple[str, str]], body: bytes):
        self.status_code = status
        self.headers = Headers(headers)
        self.header_list = headers
        self.data = body

    @property
    def text(self) -> str:
        return self.data.decode("utf-8", "replace")

    @property
    def json(self) -> Any:
        return _json.loads(self.data)

    def __repr__(self) -> str:
        return f"<TestResponse {self.status_code}>"


class TestClient:
    __test__ = False

    def __init__(self, app: Any):
        self.app = app

    def open(self, path: str, method: str = "GET", *, headers: Any = None, data: Any = None,
             json: Any = None, query: dict | None = None) -> TestResponse:
        pairs = list(headers.items()) if isinstance(headers, dict) else list(headers or [])
        body = b""
        if json is not None:
            body = _json.dumps(json).encode()
            pairs.append(("Content-Type", "application/json"))
        elif isinstance(data, dict):
            body = urlencode(data).encode()
            pairs.append(("Content-Type", "application/x-www-form-urlencoded"))
        elif isinstance(data, str):
            body = data.encode()
        elif data is not None:
            body = bytes(data)
        if query:
            path += ("&" if "?" in path else "?") + urlencode(query)
        status, resp_headers, resp_body = self.app.server.test_request(method, path, pairs, body)
        return TestResponse(status, resp_headers, resp_body)

    def get(self, path: str, **kw: Any) -> TestResponse:
        return self.open(path, "GET", **kw)

    def post(self, path: str, **kw: Any) -> TestResponse:
        return self.open(path, "POST", **kw)

    def put(self, path: str, **kw: Any) -> TestResponse:
        return self.open(path, "PUT", **kw)

    def delete(self, path: str, **kw: Any) -> TestResponse:
        return self.open(path, "DELETE", **kw)

    def head(self, path: str, **kw: Any) -> TestResponse:
        return self.open(path, "HEAD", **kw)

    def options(self, path: str, **kw: Any) -> TestResponse:
        return self.open(path, "OPTIONS", **kw)
