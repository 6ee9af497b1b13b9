"""The application object: registers views and configures the native server."""

from __future__ import annotations

import html
import os
import traceback
import uuid
from typing import Any, Callable, Iterable

import _kiv

from .wrappers import (
    HTTPException,
    MethodNotAllowed,
    NotFound,
    Request,
    Response,
    _local,
)


class App:
    def __init__(self, name: str = "kiv", *, debug: bool = False, fast: bool = True,
                 log: bool = False, max_body: int = 64 * 1024 * 1024,
                 cache_max_age: int = 12 * 3600, trap_http: bool = False,
                 behind_balancer: bool = False):
        self.name = name
        self.debug = debug
        self.fast = fast
        self.log = log
        self.max_body = max_body
        self.cache_max_age = cache_max_age
        self.trap_http = trap_http
        # Trust X-Forwarded-For only when the app says a balancer of ours is in front.
        self.behind_balancer = behind_balancer
        self.view_functions: dict[str, Callable[..., Any]] = {}
        self._rules: list[tuple[str, list[str], Callable[..., Any], str, bool]] = []
        self._statics: list[tuple[str, str]] = []
        self._server: _kiv.Server | None = None
        self._flags: tuple | None = None

    # --- registration ---------------------------------------------------

    def route(self, rule: str, methods: Iterable[str] = ("GET",), endpoint: str | None = None,
              auto_options: bool = True) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
        def decorator(view: Callable[..., Any]) -> Callable[..., Any]:
            self.add_url_rule(rule, view, methods=methods, endpoint=endpoint,
                              auto_options=auto_options)
            return view
        return decorator

    def get(self, rule: str, **kw: Any):
        return self.route(rule, methods=("GET",), **kw)

    def post(self, rule: str, **kw: Any):
        return self.route(rule, methods=("POST",), **kw)

    def add_url_rule(self, rule: str, view: Callable[..., Any], *, methods: Iterable[str] = ("GET",),
                     endpoint: str | None = None, auto_options: bool = True) -> None:
        endpoint = endpoint or view.__name__
        existing = self.view_functions.get(endpoint)
        if existing is not None and existing is not view:
            raise ValueError(f"endpoint {endpoint!r} is already bound to another view")
        methods = [m.upper() for m in methods]
        self.server.add_rule(rule, methods, view, endpoint, auto_options)
        self.view_functions[endpoint] = view
        self._rules.append((rule, methods, view, endpoint, auto_options))

    def static(self, url_path: str, folder: str | os.PathLike[str]) -> None:
        url_path = "/" + url_path.strip("/") if url_path.strip("/") else url_path
        folder = os.fspath(folder)
        self.server.set_static(url_path, folder)
        self._statics.append((url_path, folder))

    # --- the native server ------------------------------------------------

    @property
    def server(self) -> _kiv.Server:
        if self._server is None:
            server = _kiv.Server()
            server.set_request_class(self._make_request)
            server.set_dispatch(self.dispatch)
            server.set_pipeline(self.pipeline)
            server.set_convert_slow(self.convert_slow)
            server.set_debug_page(self.debug_page)
            server.set_http_exception(HTTPException)
            server.set_uuid_class(uuid.UUID)
            self._server = server
        # Settings are plain attributes; hand them over only when they changed.
        flags = (self.fast, self.debug, self.log, self.max_body, self.cache_max_age,
                 self.trap_http)
        if flags != self._flags:
            self._server.set_flags(*flags)
            self._flags = flags
        return self._server

    def _make_request(self, *args: Any) -> Request:
        req = Request(*args)
        req.trusted_proxy = self.behind_balancer
        return req

    # --- the contract with the server --------------------------------------

    def dispatch(self, req: Request) -> Any:
        if req.error_code == "404":
            raise NotFound()
        if req.error_code == "405":
            raise MethodNotAllowed(req.allowed_methods or [])
        view = self.view_functions[req.endpoint]
        return self.pipeline(req, view, req.view_args)

    def pipeline(self, req: Request, view: Callable[..., Any], args: dict) -> Any:
        _local.request = req
        try:
            return view(**args)
        finally:
            _local.request = None

    def convert_slow(self, value: Any) -> Response:
        if isinstance(value, bytearray | memoryview):
            return Response(bytes(value), content_type="application/octet-stream")
        raise TypeError(
            f"The view function returned an unsupported value of type {type(value).__name__}.")

    def debug_page(self, exc: BaseException) -> Response:
        tb = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        body = ("<!doctype html>\n<html lang=en>\n<title>500 Internal Server Error (debug)</title>\n"
                f"<h1>{html.escape(type(exc).__name__)}: {html.escape(str(exc))}</h1>\n"
                f"<pre>{html.escape(tb)}</pre>\n")
        return Response(body, 500)

    # --- running -------------------------------------------------------------

    def run(self, host: str = "127.0.0.1", port: int = 8000, *, workers: int = 1,
            quiet: bool = False) -> None:
        """Serves until Ctrl-C; workers > 1 runs that many processes behind the balancer."""
        from .serving import serve
        serve(self, host, port, workers=workers, quiet=quiet)

    def test_client(self) -> "TestClient":
        from .testing import TestClient
        return TestClient(self)
