"""A test client that runs requests in-process through the native server, with a cookie jar."""

from __future__ import annotations

import contextlib
import datetime as _dt
import io
import sys
from email.utils import parsedate_to_datetime
from typing import Any, Iterator
from urllib.parse import unquote_to_bytes, urljoin, urlsplit

from .ctx import build_request, mounted_request_class
from .globals import _local
from .wrappers import Headers, Response

_REDIRECTS = (301, 302, 303, 305, 307, 308)


class TestResponse(Response):
    __test__ = False  # not a pytest test class

    def __init__(self, status: int, headers: list[tuple[str, str]], body: bytes):
        super().__init__(body, status, headers, content_type=None)
        if not any(k.lower() == "content-type" for k, _ in headers):
            self.headers.remove("Content-Type")
        self.header_list = headers
        self.history: list[TestResponse] = []

    @property
    def text(self) -> str:
        return self.data.decode("utf-8", "replace")

    def __repr__(self) -> str:
        return f"<TestResponse {self.status_code}>"


class _Cookie:
    __slots__ = ("key", "value", "path", "domain")

    def __init__(self, key: str, value: str, path: str, domain: str | None):
        self.key, self.value, self.path, self.domain = key, value, path, domain

    def __repr__(self) -> str:
        return f"<Cookie {self.key}={self.value!r}>"


def _parse_set_cookie(line: str) -> tuple[str, str, dict[str, str]]:
    first, *attrs = line.split(";")
    name, _, value = first.partition("=")
    options = {}
    for attr in attrs:
        k, _, v = attr.partition("=")
        options[k.strip().lower()] = v.strip()
    return name.strip(), value.strip(), options


def _expired(options: dict[str, str]) -> bool:
    if "max-age" in options:
        try:
            return int(options["max-age"]) <= 0
        except ValueError:
            return False
    if "expires" in options:
        try:
            when = parsedate_to_datetime(options["expires"])
        except (TypeError, ValueError):
            return False
        if when.tzinfo is None:
            when = when.replace(tzinfo=_dt.timezone.utc)
        return when <= _dt.datetime.now(_dt.timezone.utc)
    return False


class TestClient:
    __test__ = False

    def __init__(self, app: Any, use_cookies: bool = True):
        self.app = app
        self.use_cookies = use_cookies
        self._jar: dict[str, _Cookie] = {}
        self._preserve = False  # inside `with client:`
        self._last: Any = None  # the last request's object, kept current in that block
        self._pushed = False

    # --- `with client:` keeps the last request current, so tests can read session and g ----

    def __enter__(self) -> "TestClient":
        if self._preserve:
            raise RuntimeError("Cannot nest client invocations")
        self._preserve = True
        return self

    def __exit__(self, *exc: Any) -> None:
        self._preserve = False
        self._release()

    def _release(self) -> None:
        if self._pushed:
            _local.request = self._saved
            self._pushed = False

    def _keep(self, req: Any) -> None:
        self._release()
        if req is not None:
            self._saved, _local.request = _local.request, req
            self._pushed = True

    # --- cookies --------------------------------------------------------------------

    def get_cookie(self, key: str, domain: str = "localhost", path: str = "/") -> _Cookie | None:
        return self._jar.get(key)

    def set_cookie(self, key: str, value: str = "", *, domain: str = "localhost",
                   path: str = "/", **kwargs: Any) -> None:
        self._jar[key] = _Cookie(key, value, path, domain)

    def delete_cookie(self, key: str, *, domain: str = "localhost", path: str = "/") -> None:
        self._jar.pop(key, None)

    def _cookie_header(self, path: str) -> str | None:
        pairs = [f"{c.key}={c.value}" for c in self._jar.values()
                 if path.startswith(c.path.rstrip("/") or "/")]
        return "; ".join(pairs) if pairs else None

    def _store_cookies(self, headers: Any) -> None:
        for line in headers.getlist("Set-Cookie"):
            name, value, options = _parse_set_cookie(line)
            if _expired(options):
                self._jar.pop(name, None)
            else:
                self._jar[name] = _Cookie(name, value, options.get("path") or "/",
                                          options.get("domain"))

    @contextlib.contextmanager
    def session_transaction(self, *args: Any, **kwargs: Any) -> Iterator[Any]:
        """The session the next request will see, to read or change before it is sent."""
        if not self.use_cookies:
            raise TypeError("Cookies are disabled. Create a client with 'use_cookies=True'.")
        app = self.app
        headers = list(kwargs.pop("headers", None) or [])
        cookie = self._cookie_header("/")
        if cookie:
            headers.append(("Cookie", cookie))
        req = build_request(app, *args, headers=headers, **kwargs)
        iface = app.session_interface
        session = iface.open_session(app, req)
        if iface.is_null_session(session):
            raise RuntimeError("Session backend did not open a session.")
        yield session
        response = app.response_class()
        iface.save_session(app, session, response)
        self._store_cookies(response.headers)

    # --- requests -------------------------------------------------------------------

    def open(self, path: str = "/", method: str = "GET", *, headers: Any = None,
             data: Any = None, json: Any = None, query_string: Any = None,
             content_type: str | None = None, follow_redirects: bool = False,
             base_url: str | None = None, query: Any = None, subdomain: str | None = None,
             **kwargs: Any) -> TestResponse:
        if kwargs:
            raise TypeError(f"unexpected arguments: {', '.join(kwargs)}")
        if subdomain:
            if base_url is not None:
                raise TypeError("give base_url or subdomain, not both")
            base_url = f"http://{subdomain}.{self.app.config['SERVER_NAME'] or 'localhost'}"
        response = self._one(path, method, headers, data, json, query_string or query,
                             content_type, base_url)
        history: list[TestResponse] = []
        while follow_redirects and response.status_code in _REDIRECTS:
            if len(history) >= 20:
                raise RuntimeError("too many redirects")
            history.append(response)
            location = urljoin(response.request.script_root + path,
                               response.headers.get("Location", "/"))
            parts = urlsplit(location)
            path = parts.path
            root = response.request.script_root
            if root and (path + "/").startswith(root + "/"):
                path = path[len(root):] or "/"  # the app is mounted there
            path += "?" + parts.query if parts.query else ""
            if response.status_code not in (307, 308):
                method, data, json, content_type = ("GET" if method != "HEAD" else "HEAD",
                                                    None, None, None)
            response = self._one(path, method, headers, data, json, None, content_type, base_url)
        response.history = history
        return response

    def _one(self, path: str, method: str, headers: Any, data: Any, json: Any,
             query_string: Any, content_type: str | None, base_url: str | None) -> TestResponse:
        req = build_request(self.app, path, method, headers, data, json, query_string, base_url,
                            content_type)
        pairs = list(req.header_list)
        if self.use_cookies and not any(k.lower() == "cookie" for k, _ in pairs):
            cookie = self._cookie_header(req.script_root + req.path)
            if cookie:
                pairs.append(("Cookie", cookie))
        target = path.split("?", 1)[0] if "://" not in path else urlsplit(path).path
        if req.raw_query:
            target += "?" + req.raw_query
        app = self.app
        server = app.server
        # Exceptions that leave the app (TESTING, PROPAGATE_EXCEPTIONS, Ctrl-C) are raised
        # here, as Flask's test client does.
        escaped = app._escaped = []
        try:
            if app._through_wsgi:
                status, resp_headers, body = self._run_wsgi(method, target, pairs, req.body,
                                                            base_url)
            else:
                status, resp_headers, body = self._run(server, method, target, pairs, req.body)
        finally:
            app._escaped = None
        if escaped:
            raise escaped[0]
        if method.upper() != "HEAD" and not any(k.lower() == "content-length"
                                                for k, _ in resp_headers):
            resp_headers.append(("Content-Length", str(len(body))))  # as the server writes
        response = TestResponse(status, resp_headers, body)
        response.request = req  # what was asked for (after redirects: the last request)
        if self.use_cookies:
            self._store_cookies(response.headers)
        return response

    def _run(self, server: Any, method: str, target: str, pairs: list,
             body: bytes) -> tuple[int, list, bytes]:
        request_class = mounted_request_class(self.app)
        if not self._preserve and request_class is self.app._make_request:
            return server.test_request(method.upper(), target or "/", pairs, body)
        made: list[Any] = []

        def recording(*args: Any) -> Any:
            made.append(request_class(*args))
            return made[-1]

        server.set_request_class(recording)
        try:
            status, resp_headers, body = server.test_request(
                method.upper(), target or "/", pairs, body)
        finally:
            server.set_request_class(self.app._make_request)
        if self._preserve:
            self._keep(made[-1] if made else None)
        return status, resp_headers, body

    def _run_wsgi(self, method: str, target: str, pairs: list, body: bytes,
                  base_url: str | None) -> tuple[int, list, bytes]:
        """The request through app(environ, start_response), as a WSGI server would send
        it, for an app whose wsgi_app was replaced: the middleware sees it."""
        from .wsgihost import call_application
        path, _, query = target.partition("?")
        host = next((v for k, v in pairs if k.lower() == "host"), "localhost")
        scheme = urlsplit(base_url).scheme if base_url else "http"
        name, _, port = host.partition(":")
        environ: dict[str, Any] = {
            "REQUEST_METHOD": method.upper(), "QUERY_STRING": query,
            "SCRIPT_NAME": (self.app.config["APPLICATION_ROOT"] or "/").rstrip("/"),
            "PATH_INFO": unquote_to_bytes(path or "/").decode("latin-1"),
            "SERVER_NAME": name, "SERVER_PORT": port or ("443" if scheme == "https" else "80"),
            "SERVER_PROTOCOL": "HTTP/1.1", "REMOTE_ADDR": "127.0.0.1",
            "wsgi.version": (1, 0), "wsgi.url_scheme": scheme, "wsgi.input": io.BytesIO(body),
            "wsgi.errors": sys.stderr, "wsgi.multithread": False, "wsgi.multiprocess": False,
            "wsgi.run_once": False, "wsgi.input_terminated": True,
        }
        for k, v in pairs:
            key = k.upper().replace("-", "_")
            key = key if key in ("CONTENT_TYPE", "CONTENT_LENGTH") else "HTTP_" + key
            environ[key] = f"{environ[key]},{v}" if key in environ else v
        if body and "CONTENT_LENGTH" not in environ:
            environ["CONTENT_LENGTH"] = str(len(body))
        status, headers, out = call_application(self.app, environ)
        if out.__class__ is not bytes:
            stream = out
            try:
                out = b"".join(c for c in stream if c.__class__ is bytes)
            finally:
                close = getattr(stream, "close", None)
                if close is not None:
                    close()
        if self._preserve:
            self._keep(environ.get("werkzeug.request"))
        return status, headers, out

    def get(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="GET", **kw)

    def post(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="POST", **kw)

    def put(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="PUT", **kw)

    def patch(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="PATCH", **kw)

    def delete(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="DELETE", **kw)

    def head(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="HEAD", **kw)

    def options(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="OPTIONS", **kw)


FlaskClient = TestClient  # the name extensions subclass


def __getattr__(name: str) -> Any:
    if name == "FlaskCliRunner":  # in kiv.cli, which imports click: only when asked for
        from .cli import AppCliRunner
        return AppCliRunner
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["FlaskClient", "Headers", "TestClient", "TestResponse"]
