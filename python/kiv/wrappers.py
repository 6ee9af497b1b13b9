"""Request and response objects, and the HTTP exceptions views may raise."""

from __future__ import annotations

import html
import json as _json
import threading
from typing import Any, Iterable, Iterator
from urllib.parse import parse_qsl


class Headers:
    """Header pairs in order, looked up by name ignoring case."""

    __slots__ = ("_items",)

    def __init__(self, items: Iterable[tuple[str, str]] | dict | None = None):
        if items is None:
            self._items: list[tuple[str, str]] = []
        elif isinstance(items, dict):
            self._items = list(items.items())
        else:
            self._items = [(k, v) for k, v in items]

    def get(self, name: str, default: Any = None) -> Any:
        lname = name.lower()
        for k, v in self._items:
            if k.lower() == lname:
                return v
        return default

    def getlist(self, name: str) -> list[str]:
        lname = name.lower()
        return [v for k, v in self._items if k.lower() == lname]

    def __getitem__(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise KeyError(name)
        return value

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self.get(name) is not None

    def set(self, name: str, value: str) -> None:
        lname = name.lower()
        self._items = [(k, v) for k, v in self._items if k.lower() != lname]
        self._items.append((name, value))

    __setitem__ = set

    def add(self, name: str, value: str) -> None:
        self._items.append((name, value))

    def __iter__(self) -> Iterator[tuple[str, str]]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def to_list(self) -> list[tuple[str, str]]:
        return list(self._items)

    def __repr__(self) -> str:
        return f"Headers({self._items!r})"


class MultiDict(dict):
    """First value per key through the dict interface; every value through getlist."""

    def __init__(self, pairs: Iterable[tuple[str, str]] = ()):
        super().__init__()
        self._lists: dict[str, list[str]] = {}
        for k, v in pairs:
            self._lists.setdefault(k, []).append(v)
            if k not in self:
                super().__setitem__(k, v)

    def getlist(self, key: str) -> list[str]:
        return list(self._lists.get(key, ()))


class Request:
    """The request object the server builds for every request it hands to Python."""

    __slots__ = (
        "method", "path", "query_string", "query", "header_list", "body", "peer_addr",
        "endpoint", "view_args", "error_code", "allowed_methods", "trusted_proxy",
        "_headers", "_args", "_form", "__weakref__",
    )

    def __init__(self, method, path, query_string, query, headers, body, remote_addr,
                 endpoint, view_args, error_code, allowed_methods):
        self.method = method
        self.path = path
        self.query_string = query_string
        self.query = query
        self.header_list = headers
        self.body = body
        self.peer_addr = remote_addr
        self.endpoint = endpoint
        self.view_args = view_args
        self.error_code = error_code
        self.allowed_methods = allowed_methods
        self.trusted_proxy = False
        self._headers = None
        self._args = None
        self._form = None

    @property
    def headers(self) -> Headers:
        if self._headers is None:
            self._headers = Headers(self.header_list)
        return self._headers

    @property
    def args(self) -> MultiDict:
        if self._args is None:
            self._args = MultiDict(self.query)
        return self._args

    @property
    def data(self) -> bytes:
        return self.body

    @property
    def mimetype(self) -> str:
        return (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()

    @property
    def is_json(self) -> bool:
        mt = self.mimetype
        return mt == "application/json" or (mt.startswith("application/") and mt.endswith("+json"))

    def get_json(self, force: bool = False, silent: bool = False) -> Any:
        if not (force or self.is_json):
            if silent:
                return None
            raise BadRequest("Expected a JSON body (Content-Type: application/json).")
        try:
            return _json.loads(self.body)
        except ValueError:
            if silent:
                return None
            raise BadRequest("The request body is not valid JSON.") from None

    @property
    def json(self) -> Any:
        return self.get_json()

    @property
    def form(self) -> MultiDict:
        if self._form is None:
            if self.mimetype == "application/x-www-form-urlencoded":
                text = self.body.decode("utf-8", "replace")
                self._form = MultiDict(parse_qsl(text, keep_blank_values=True))
            else:
                self._form = MultiDict()
        return self._form

    @property
    def remote_addr(self) -> str:
        """The client's address. Behind the balancer (App(behind_balancer=True)) this is the
        first X-Forwarded-For value; otherwise the peer of the connection."""
        if self.trusted_proxy:
            forwarded = self.headers.get("X-Forwarded-For")
            if forwarded:
                return forwarded.split(",")[0].strip()
        return self.peer_addr


class Response:
    """A response a view may return; the server reads it through _fast()."""

    default_mimetype = "text/html; charset=utf-8"

    def __init__(self, body: str | bytes = b"", status: int = 200,
                 headers: Iterable[tuple[str, str]] | dict | None = None,
                 content_type: str | None = None):
        self.body = body
        self.status = status
        self.headers = Headers(headers)
        if content_type is not None:
            self.headers.set("Content-Type", content_type)
        elif "Content-Type" not in self.headers:
            self.headers.set("Content-Type", self.default_mimetype)

    @property
    def data(self) -> bytes:
        return self.body.encode() if isinstance(self.body, str) else bytes(self.body)

    def _fast(self):
        return (self.status, self.headers.to_list(), self.body)


def jsonify(*args: Any, **kwargs: Any) -> Response:
    if args and kwargs:
        raise TypeError("jsonify() takes positional or keyword arguments, not both")
    value = args[0] if len(args) == 1 else (list(args) if args else kwargs)
    return Response(_json.dumps(value, separators=(",", ":")), content_type="application/json")


def redirect(location: str, code: int = 302) -> Response:
    return Response(b"", code, [("Location", location)])


class HTTPException(Exception):
    """An exception that answers with its own HTTP response."""

    code = 500
    name = "Internal Server Error"
    description = "The server encountered an internal error."

    def __init__(self, description: str | None = None, response: Response | None = None):
        super().__init__(description or self.description)
        if description is not None:
            self.description = description
        self.response = response

    def get_headers(self) -> list[tuple[str, str]]:
        return [("Content-Type", "text/html; charset=utf-8")]

    def get_body(self) -> str:
        return (f"<!doctype html>\n<html lang=en>\n<title>{self.code} {self.name}</title>\n"
                f"<h1>{self.name}</h1>\n<p>{html.escape(self.description)}</p>\n")

    def get_response(self) -> Response:
        if self.response is not None:
            return self.response
        return Response(self.get_body(), self.code, self.get_headers())


class BadRequest(HTTPException):
    code, name = 400, "Bad Request"
    description = "The browser (or proxy) sent a request that this server could not understand."


class Unauthorized(HTTPException):
    code, name = 401, "Unauthorized"
    description = "The server could not verify that you are authorized to access this URL."


class Forbidden(HTTPException):
    code, name = 403, "Forbidden"
    description = "You don't have the permission to access the requested resource."


class NotFound(HTTPException):
    code, name = 404, "Not Found"
    description = "The requested URL was not found on the server."


class MethodNotAllowed(HTTPException):
    code, name = 405, "Method Not Allowed"
    description = "The method is not allowed for the requested URL."

    def __init__(self, valid_methods: Iterable[str] | None = None, description: str | None = None):
        super().__init__(description)
        self.valid_methods = list(valid_methods or [])

    def get_headers(self) -> list[tuple[str, str]]:
        headers = super().get_headers()
        if self.valid_methods:
            headers.append(("Allow", ", ".join(self.valid_methods)))
        return headers


class InternalServerError(HTTPException):
    code, name = 500, "Internal Server Error"


_EXCEPTIONS = {cls.code: cls for cls in (BadRequest, Unauthorized, Forbidden, NotFound,
                                          MethodNotAllowed, InternalServerError)}


def abort(code: int, description: str | None = None) -> None:
    cls = _EXCEPTIONS.get(code)
    if cls is None:
        exc = HTTPException(description)
        exc.code = code
        exc.name = "Error"
        raise exc
    raise cls(description=description)


class _RequestLocal(threading.local):
    request: Request | None = None


_local = _RequestLocal()


class _RequestProxy:
    """`kiv.request`: the request being handled on this thread."""

    def _get(self) -> Request:
        req = _local.request
        if req is None:
            raise RuntimeError("no request is being handled on this thread")
        return req

    def __getattr__(self, name: str) -> Any:
        return getattr(self._get(), name)

    def __repr__(self) -> str:
        return f"<request proxy {_local.request!r}>"


request = _RequestProxy()
