"""The application object: registers views, hooks and handlers, and configures the server.

Which Python callables the native server calls per request is decided when the server
is (re)built, from what the app registered: an app without hooks, error handlers or a
secret key gets the bare pipeline (set the request, call the view); anything else gets
the full one. Registering something later marks the plan stale; the next use of
`app.server` rebuilds it.
"""

from __future__ import annotations

import datetime as _dt
import functools
import html
import ipaddress
import os
import sys
import traceback
import uuid
from typing import Any, Callable, Iterable, Iterator
from urllib.parse import quote

import _kiv

from .asyncsupport import ensure_sync, event_loop, new_task, with_request
from .blueprints import Blueprint, static_folder_of
from .config import DEFAULTS, Config
from .ctx import AppContext, RequestContext
from .exceptions import HTTPException, InternalServerError, MethodNotAllowed, NotFound
from .files import FileBody
from .globals import _local
from .helpers import fix_two_tuple, to_response
from .routing import CanonicalRedirect, Chooser, RuleGroup, UrlMap, WithDefaults
from .scaffold import F, Scaffold
from .sessions import SecureCookieSessionInterface
from .templating import TemplateRegistry
from .wrappers import Request, Response

_LOOPBACK = ("127.0.0.1", "::1")


class _EndpointTaken(AssertionError, ValueError):
    """Another view already has this endpoint (Flask raises AssertionError here)."""


def parse_networks(value: Any) -> tuple:
    """Addresses or networks, as an iterable or a comma-separated string; "*" means all."""
    if value is None:
        value = _LOOPBACK
    if isinstance(value, str):
        value = [v.strip() for v in value.split(",") if v.strip()]
    nets = []
    for item in value:
        item = str(item).strip()
        if item == "*":
            return (ipaddress.ip_network("0.0.0.0/0"), ipaddress.ip_network("::/0"))
        nets.append(ipaddress.ip_network(item, strict=False))
    return tuple(nets)


class App(TemplateRegistry, Scaffold):
    request_class = Request
    response_class = Response
    session_interface = SecureCookieSessionInterface()
    config_class = Config
    default_config = DEFAULTS
    json_provider_class: Any = None  # kiv.json.JSONProvider unless set

    def __init__(self, import_name: str = "kiv", static_url_path: str | None = None,
                 static_folder: str | os.PathLike[str] | None = "static",
                 template_folder: str | None = "templates", root_path: str | None = None, *,
                 debug: bool = False, fast: bool = True, log: bool = False,
                 max_body: int = 64 * 1024 * 1024, cache_max_age: int = 12 * 3600,
                 trap_http: bool = False, behind_balancer: bool = False,
                 forwarded_allow_ips: Any = None, instance_path: str | None = None,
                 instance_relative_config: bool = False, subdomain_matching: bool = False,
                 host_matching: bool = False, static_host: str | None = None):
        super().__init__(import_name, static_folder, static_url_path, root_path)
        if instance_path is None:
            instance_path = self.auto_find_instance_path()
        elif not os.path.isabs(instance_path):
            raise ValueError("If an instance path is provided it must be absolute. A "
                             "relative path was given instead.")
        self.instance_path = instance_path
        # Rules may name a subdomain of SERVER_NAME (or, with host_matching, a whole host).
        self.subdomain_matching = subdomain_matching
        self.host_matching = host_matching
        self.static_host = static_host  # kept for Flask's signature: static files answer on any host
        self.name = import_name
        self.template_folder = template_folder
        self._init_templates()
        self.config = self.config_class(
            instance_path if instance_relative_config else self.root_path, self.default_config)
        self.debug = debug
        self.fast = fast
        self.log = log
        self.max_body = max_body
        self.cache_max_age = cache_max_age
        self.trap_http = trap_http
        # Trust the first X-Forwarded-For line from any peer: a balancer of ours is in front.
        self.behind_balancer = behind_balancer
        self.forwarded_allow_ips = forwarded_allow_ips
        self.blueprints: dict[str, Blueprint] = {}
        self.extensions: dict[str, Any] = {}  # where extensions keep their state, as in Flask
        self.teardown_appcontext_funcs: list[F] = []
        self.url_map = UrlMap()
        self._groups: dict[str, RuleGroup] = {}
        self._statics: list[tuple[str, str]] = []
        self._wsgi_mounts: list[Any] = []
        self._asgi_mounts: list[Any] = []
        self._server: _kiv.Server | None = None
        self._plan_key: tuple | None = None
        self._flags: tuple | None = None
        self._version = 0
        self._native_views: dict[str, Any] = {}
        self._hook_cache: dict[str | None, tuple] = {}
        self._pipeline: Callable[..., Any] = self._bare_pipeline
        self._dispatch: Callable[..., Any] = self._bare_dispatch
        self._make_request: type = self.request_class
        # A static folder that does not exist still builds URLs (url_for("static", ...)),
        # until app.static() names a folder that does.
        self._static_placeholder = False
        if self.static_folder is not None:
            folder = static_folder_of(self)
            self._add_static(self.static_url_path or "/static", folder, "static")
            self._static_placeholder = folder is None

    # --- settings that live in the config ------------------------------------------

    @property
    def debug(self) -> bool:
        return self.config["DEBUG"]

    @debug.setter
    def debug(self, value: bool) -> None:
        self.config["DEBUG"] = bool(value)

    @property
    def testing(self) -> bool:
        return self.config["TESTING"]

    @testing.setter
    def testing(self, value: bool) -> None:
        self.config["TESTING"] = bool(value)

    @property
    def secret_key(self) -> Any:
        return self.config["SECRET_KEY"]

    @secret_key.setter
    def secret_key(self, value: Any) -> None:
        self.config["SECRET_KEY"] = value

    @property
    def permanent_session_lifetime(self) -> _dt.timedelta:
        value = self.config["PERMANENT_SESSION_LIFETIME"]
        return value if isinstance(value, _dt.timedelta) else _dt.timedelta(seconds=value)

    @permanent_session_lifetime.setter
    def permanent_session_lifetime(self, value: Any) -> None:
        self.config["PERMANENT_SESSION_LIFETIME"] = value

    @property
    def forwarded_allow_ips(self) -> tuple:
        return self._forwarded_networks

    @forwarded_allow_ips.setter
    def forwarded_allow_ips(self, value: Any) -> None:
        self._forwarded_networks = parse_networks(value)

    # --- registration ------------------------------------------------------------------

    def add_url_rule(self, rule: str, endpoint: Any = None, view_func: F | None = None,
                     provide_automatic_options: bool | None = None, *,
                     methods: Iterable[str] | None = None, auto_options: bool | None = None,
                     defaults: dict | None = None, strict_slashes: Any = None,
                     subdomain: str | None = None, host: str | None = None,
                     **options: Any) -> None:
        if callable(endpoint) and view_func is None:  # add_url_rule(rule, view, ...)
            endpoint, view_func = options.pop("endpoint", None), endpoint
        if auto_options is not None:
            provide_automatic_options = auto_options
        endpoint, methods, auto = self._rule_options(endpoint, view_func, methods,
                                                     provide_automatic_options)
        if view_func is None:
            view_func = self.view_functions.get(endpoint)
            if view_func is None:
                raise ValueError(f"no view function for endpoint {endpoint!r}")
        existing = self.view_functions.get(endpoint)
        if existing is not None and existing is not view_func:
            raise _EndpointTaken(
                f"View function mapping is overwriting an existing endpoint function: {endpoint}")
        # The native compiler checks the rule text now, with its own messages.
        _kiv.Server().add_rule(rule, methods, None, endpoint, auto)
        native_view = ensure_sync(view_func)  # an async view runs on the process's loop
        if defaults:
            native_view = WithDefaults(endpoint, native_view, defaults)
        pattern = self._host_pattern(subdomain, host)
        self._groups.setdefault(rule, RuleGroup(rule)).add(endpoint, native_view, methods, auto,
                                                            pattern)
        self.url_map.add(rule, endpoint, methods + (["HEAD"] if "GET" in methods else []),
                         defaults, pattern)
        self.view_functions[endpoint] = view_func
        if any(r.defaults for r in self.url_map.by_endpoint[endpoint]):
            self._redirect_to_defaults(endpoint)
        self._changed()

    def _redirect_to_defaults(self, endpoint: str) -> None:
        """The endpoint's rules without defaults redirect a URL its rules with defaults
        spell shorter (only endpoints with such rules pay for the check)."""
        for group in self._groups.values():
            for i, (ep, view, methods, auto, host) in enumerate(group.entries):
                if ep == endpoint and not isinstance(view, (WithDefaults, CanonicalRedirect)):
                    group.entries[i] = (ep, CanonicalRedirect(ep, view, self.url_map), methods,
                                        auto, host)

    def _host_pattern(self, subdomain: str | None, host: str | None) -> Any:
        if host is not None:
            if not self.host_matching:
                raise ValueError("a rule's host= needs App(..., host_matching=True)")
            text = host
        elif subdomain:
            if self.host_matching:
                raise ValueError("with host_matching, rules name a host=, not a subdomain=")
            if not self.subdomain_matching:
                raise ValueError("a rule's subdomain= needs App(..., subdomain_matching=True)")
            text = subdomain
        else:
            return None
        from .hosts import HostPattern
        return HostPattern(text)

    def static(self, url_path: str, folder: str | os.PathLike[str],
               endpoint: str | None = None) -> None:
        """Serves files of folder under url_path (natively, without entering Python)."""
        if endpoint is None and ("static" not in self.url_map.by_endpoint
                                 or self._static_placeholder):
            self.url_map.by_endpoint.pop("static", None)
            self._static_placeholder = False
            endpoint = "static"
        self._add_static(url_path, os.fspath(folder), endpoint)

    def _add_static(self, url_path: str, folder: str | None, endpoint: str | None) -> None:
        """Serves folder at url_path natively; a folder that does not exist is not served,
        but url_for(endpoint, filename=...) still builds its URLs, as templates expect."""
        url_path = "/" + url_path.strip("/") if url_path.strip("/") else url_path
        self._statics = [(u, f) for u, f in self._statics if u != url_path]
        if folder is not None:
            self._statics.append((url_path, folder))
        if endpoint is not None:
            self.url_map.add(url_path.rstrip("/") + "/<path:filename>", endpoint, ("GET", "HEAD"))
        self._changed()

    def mount_wsgi(self, prefix: str, application: Callable) -> None:
        """Sends every request at or under prefix, any method, to a WSGI application
        (Flask, Django, ...), with SCRIPT_NAME set to prefix. See docs/wsgi.md.

        The mount adds no rule: the core hands a path under prefix that no rule answers
        to the application, with no slash redirect, automatic OPTIONS or 405 of its own.
        Rules of this app still win. The longest covering prefix decides."""
        from .wsgi import WSGIHost, clean_prefix
        prefix = clean_prefix(prefix)
        self._asgi_mounts = [m for m in self._asgi_mounts if m.prefix != prefix]
        mounts = [m for m in self._wsgi_mounts if m.prefix != prefix]
        mounts.append(WSGIHost(application, prefix, self))
        self._wsgi_mounts = mounts
        self._changed()

    def mount_asgi(self, prefix: str, application: Callable) -> None:
        """Sends every request at or under prefix, any method, to an ASGI application
        (FastAPI, Starlette, Quart, ...) with root_path set to prefix; it runs on the
        event loop (see kiv.asgi). Rules of this app still win; the longest covering
        prefix, WSGI mounts included, decides."""
        from .asgi import ASGIHost
        from .wsgi import clean_prefix
        prefix = clean_prefix(prefix)
        self._wsgi_mounts = [m for m in self._wsgi_mounts if m.prefix != prefix]
        mounts = [m for m in self._asgi_mounts if m.prefix != prefix]
        mounts.append(ASGIHost(application, prefix, self))
        self._asgi_mounts = mounts
        self._changed()

    def ensure_sync(self, func: F) -> F:
        """func, or for an `async def` function a sync wrapper that runs it on the loop."""
        return ensure_sync(func)

    def teardown_appcontext(self, f: F) -> F:
        """Runs after every request (and when an app context ends), given its exception."""
        self.teardown_appcontext_funcs.append(ensure_sync(f))
        self._changed()
        return f

    @property
    def logger(self) -> Any:
        """The standard library logger named after the app."""
        import logging
        return logging.getLogger(self.name)

    def register_blueprint(self, blueprint: Blueprint, **options: Any) -> None:
        blueprint.register(self, options)

    def _changed(self) -> None:
        self._version += 1

    # --- the native server ----------------------------------------------------------

    def _plan(self) -> tuple:
        return (self._version, self.secret_key is not None, _request_signals_live(self))

    @property
    def server(self) -> _kiv.Server:
        key = self._plan()
        if self._server is None or key != self._plan_key:
            self._server = self._build_server()
            self._plan_key = key
            self._flags = None
        # Settings are plain attributes; hand them over only when they changed.
        limit = self.config["MAX_CONTENT_LENGTH"]
        flags = (self.fast, self.debug, self.log, self.max_body if limit is None else limit,
                 self.cache_max_age, self.trap_http or self.config["TRAP_HTTP_EXCEPTIONS"])
        if flags != self._flags:
            self._server.set_flags(*flags)
            self._flags = flags
        return self._server

    def _build_server(self) -> _kiv.Server:
        server = _kiv.Server()
        self._make_request = type("Request", (self.request_class,), {
            "__slots__": (), "__module__": self.request_class.__module__, "app": self})
        self._native_views = {}
        for group in self._groups.values():
            methods, view, endpoint, auto = group.native(self)
            server.add_rule(group.rule, methods, view, endpoint, auto)
            self._native_views[endpoint] = view
        for url_path, folder in self._statics:
            server.set_static(url_path, folder)
        self._hook_cache = {}
        plain = not (any(self.before_request_funcs.values())
                     or any(self.after_request_funcs.values())
                     or any(self.teardown_request_funcs.values())
                     or self.teardown_appcontext_funcs
                     or any(self.url_value_preprocessors.values())
                     or any(self.error_handler_spec.values())
                     or self.secret_key is not None)
        if _request_signals_live(self):
            self._pipeline, self._dispatch = self._signal_pipeline, self._signal_dispatch
        elif plain:
            self._pipeline, self._dispatch = self._bare_pipeline, self._bare_dispatch
        else:
            self._pipeline, self._dispatch = self._full_pipeline, self._full_dispatch
        if plain and not _request_signals_live(self) and hasattr(server, "set_loop_pipeline"):
            # Requests of async views run on the event loop, with no pool thread.
            server.set_loop_pipeline(self._loop_bare)
            if any(hasattr(v, "_kiv_async") for v in self._native_views.values()):
                event_loop()
        for mount in self._wsgi_mounts:
            mount.base["wsgi.multiprocess"] = bool(getattr(self, "wsgi_multiprocess", False))
            server.set_wsgi_mount(mount.prefix, mount, mount.base)
        for host in self._asgi_mounts:
            server.set_asgi_mount(host.prefix, host)
        if self._asgi_mounts:
            event_loop()
        server.set_request_class(self._make_request)
        server.set_dispatch(self._dispatch)
        server.set_pipeline(self._pipeline)
        server.set_convert_slow(self.convert_slow)
        server.set_debug_page(self.debug_page)
        server.set_http_exception(HTTPException)
        server.set_uuid_class(uuid.UUID)
        return server

    @property
    def pipeline(self) -> Callable[..., Any]:
        """What the server calls per matched request (fast mode): (request, view, args)."""
        self.server  # noqa: B018  (brings the plan up to date)
        return self._pipeline

    @property
    def dispatch(self) -> Callable[..., Any]:
        """What the server calls for 404/405 answers and when fast mode is off."""
        self.server  # noqa: B018
        return self._dispatch

    # --- the bare plan: no hooks, no handlers, no sessions --------------------------

    def _bare_pipeline(self, req: Request, view: Any, args: dict) -> Any:
        _local.request = req
        try:
            rv = view(**args)
            if req._after is not None:
                rv = self._after_this(req, rv)
        finally:
            _local.request = None
            if req._files is not None:
                req.close()
        if rv.__class__ is tuple and len(rv) == 2:
            return fix_two_tuple(rv)
        return rv

    def _loop_bare(self, req: Request, view: Any, args: dict, done: Any) -> None:
        """The bare plan for an async view, on the event loop's thread: one task."""
        new_task(self._bare_task(req, view._kiv_async, args, done))

    async def _bare_task(self, req: Request, view: Any, args: dict, done: Any) -> None:
        try:
            rv = await with_request(view(**args), req)
            if req._after is not None:
                _local.request = req
                try:
                    rv = self._after_this(req, rv)
                finally:
                    _local.request = None
            if rv.__class__ is tuple and len(rv) == 2:
                rv = fix_two_tuple(rv)
        except BaseException as e:  # noqa: BLE001  (the server answers it)
            done(None, e)
        else:
            done(rv)
        finally:
            if req._files is not None:
                req.close()

    def _bare_dispatch(self, req: Request) -> Any:
        if req.error_code is not None:
            raise self._routing_exception(req)
        return self._bare_pipeline(req, self._native_views[req.endpoint], req.view_args)

    # --- the full plan ---------------------------------------------------------------

    def _full_dispatch(self, req: Request) -> Any:
        view = None if req.error_code is not None else self._native_views[req.endpoint]
        return self._full_pipeline(req, view, req.view_args)

    def _full_pipeline(self, req: Request, view: Any, args: dict) -> Any:
        _local.request = req
        error: BaseException | None = None
        afters: tuple = ()
        try:
            try:
                if isinstance(view, Chooser):
                    view = view.select(req)
                preprocessors, befores, afters, _ = self._hooks(req)
                if req.error_code is None:  # a 404 or 405 has no URL values to take
                    for f in preprocessors:
                        f(req.endpoint, args)
                rv = None
                for f in befores:
                    rv = f()
                    if rv is not None:
                        break
                if rv is None:
                    if req.error_code is not None:
                        raise self._routing_exception(req)
                    rv = view(**args)
            except Exception as e:
                rv = self._handle_user_exception(req, e)
            if req._after is not None:
                afters = (*req._after, *afters)
            return self._finalize(req, rv, afters)
        except _HandlerFailed as failed:
            error = failed.__cause__
            if isinstance(error, HTTPException):
                # Not answered as its own page: a failing handler or hook is a server error.
                raise _HandlerFailed(f"{error!r} raised by an error handler or after-request "
                                     "function") from error
            raise error from None  # type: ignore[misc]
        except Exception as e:
            error = e
            # The 500 handler's answer goes through the after_request functions and the
            # session like any other (no handler: the exception goes on to the server).
            rv = self._handle_exception(req, e)
            try:
                return self._finalize(req, rv, afters if req._after is None
                                      else (*req._after, *afters))
            except _HandlerFailed as failed:
                cause = failed.__cause__
                traceback.print_exception(type(cause), cause, cause.__traceback__)
                return rv
        finally:
            try:
                for f in self._hooks(req)[3]:
                    f(error)
            finally:
                _local.request = None
                if req._files is not None:
                    req.close()

    # --- the plan while request signals have receivers ---------------------------------

    def _signal_dispatch(self, req: Request) -> Any:
        view = None if req.error_code is not None else self._native_views[req.endpoint]
        return self._signal_pipeline(req, view, req.view_args)

    def _signal_pipeline(self, req: Request, view: Any, args: dict) -> Any:
        from . import signals as s
        error: BaseException | None = None
        _local.request = req
        try:
            s.send(s.appcontext_pushed, self)
            s.send(s.request_started, self)
            rv = self._full_pipeline(req, view, args)
            _local.request = req
            response = rv if isinstance(rv, Response) else self.make_response(rv)
            s.send(s.request_finished, self, response=response)
            return response
        except BaseException as e:
            error = e
            raise
        finally:
            _local.request = req
            try:
                s.send(s.request_tearing_down, self, exc=error)
                s.send(s.appcontext_tearing_down, self, exc=error)
                s.send(s.appcontext_popped, self)
            finally:
                _local.request = None

    def _hooks(self, req: Request) -> tuple[tuple, tuple, tuple, tuple]:
        """(url value preprocessor, before, after, teardown) functions for the request's
        blueprint, in call order."""
        name = req.blueprint
        hooks = self._hook_cache.get(name)
        if hooks is None:
            chain = req.blueprints
            preprocessors = [f for n in (None, *reversed(chain))
                             for f in self.url_value_preprocessors.get(n, ())]
            befores = [f for n in (None, *reversed(chain))
                       for f in self.before_request_funcs.get(n, ())]
            afters = [f for n in (*chain, None)
                      for f in reversed(self.after_request_funcs.get(n, ()))]
            teardowns = [f for n in (*chain, None)
                         for f in reversed(self.teardown_request_funcs.get(n, ()))]
            teardowns += reversed(self.teardown_appcontext_funcs)
            hooks = self._hook_cache[name] = (tuple(preprocessors), tuple(befores),
                                              tuple(afters), tuple(teardowns))
        return hooks

    def _routing_exception(self, req: Request) -> HTTPException:
        if req.error_code == "405":
            return MethodNotAllowed(req.allowed_methods or [])
        return NotFound()

    def _find_handler(self, exc: BaseException, blueprints: list[str]) -> F | None:
        code = exc.code if isinstance(exc, HTTPException) else None
        for c in ((code, None) if code is not None else (None,)):
            for name in (*blueprints, None):
                by_class = self.error_handler_spec.get(name, {}).get(c)
                if not by_class:
                    continue
                for cls in type(exc).__mro__:
                    handler = by_class.get(cls)
                    if handler is not None:
                        return handler
        return None

    def _handle_user_exception(self, req: Request, e: Exception) -> Any:
        if isinstance(e, HTTPException):
            if self.trap_http or self.config["TRAP_HTTP_EXCEPTIONS"]:
                raise e
            handler = self._find_handler(e, req.blueprints)
            if handler is None:
                return e.get_response()
        else:
            handler = self._find_handler(e, req.blueprints)
            if handler is None:
                raise e
        try:
            return handler(e)
        except Exception as failed:
            raise _HandlerFailed() from failed

    def _handle_exception(self, req: Request, e: Exception) -> Any:
        """An exception no handler took: the 500 handler answers, else the server does."""
        signals = sys.modules.get("kiv.signals")
        if signals is not None:
            signals.send(signals.got_request_exception, self, exception=e)
        if self.debug:
            raise e
        server_error = InternalServerError()
        server_error.original_exception = e  # type: ignore[attr-defined]
        handler = self._find_handler(server_error, req.blueprints)
        if handler is None:
            raise e
        traceback.print_exception(type(e), e, e.__traceback__)
        return self.make_response(handler(server_error))

    def _after_this(self, req: Request, rv: Any) -> Response:
        """The functions after_this_request registered, on a plan without hooks."""
        response = self.make_response(rv)
        for f in req._after:
            response = f(response)
            if response is None:
                raise TypeError("an after_this_request function returned None")
        return response

    def _finalize(self, req: Request, rv: Any, afters: tuple) -> Any:
        session = req._session
        save = session is not None and not self.session_interface.is_null_session(session)
        if not afters:
            if not save or not (session.accessed or session.modified or session.permanent):
                return fix_two_tuple(rv) if rv.__class__ is tuple and len(rv) == 2 else rv
            if not (session.modified or session.permanent) and isinstance(
                    rv, (str, bytes, dict, list)):
                # Only read: the answer varies with the cookie, nothing to write back.
                return (rv, 200, [("Vary", "Cookie")])
        try:
            response = self.make_response(rv)
            for f in afters:
                response = f(response)
                if response is None:
                    raise TypeError("an after_request function returned None")
            if save:
                self.session_interface.save_session(self, session, response)
        except Exception as failed:
            raise _HandlerFailed() from failed
        return response

    # --- conversion and error pages -------------------------------------------------

    def make_response(self, rv: Any) -> Response:
        return to_response(self._body_as_response(rv), self.response_class)

    def convert_slow(self, value: Any) -> Response:
        return to_response(self._body_as_response(value), self.response_class)

    def _body_as_response(self, rv: Any) -> Any:
        # Bodies the server sends as they are but to_response does not know: a
        # FileBody (sent as a file) and an iterator (streamed), alone or first
        # in a tuple. The common results pass at the cost of one set lookup.
        if rv.__class__ in _PLAIN_RESULTS:
            return rv
        if isinstance(rv, FileBody):
            return self.response_class(rv, content_type="application/octet-stream")
        if isinstance(rv, Iterator):
            return self.response_class(rv)
        if isinstance(rv, tuple) and rv and isinstance(rv[0], (FileBody, Iterator)):
            return (self._body_as_response(rv[0]), *rv[1:])
        return rv

    def debug_page(self, exc: BaseException) -> Response:
        tb = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        body = ("<!doctype html>\n<html lang=en>\n<title>500 Internal Server Error (debug)</title>\n"
                f"<h1>{html.escape(type(exc).__name__)}: {html.escape(str(exc))}</h1>\n"
                f"<pre>{html.escape(tb)}</pre>\n")
        return Response(body, 500)

    # --- URLs and contexts -------------------------------------------------------------

    def url_for(self, endpoint: str, *, _anchor: str | None = None, _method: str | None = None,
                _scheme: str | None = None, _external: bool | None = None,
                **values: Any) -> str:
        req = _local.request
        if endpoint[:1] == ".":
            bp = req.blueprint if req is not None else None
            endpoint = f"{bp}{endpoint}" if bp else endpoint[1:]
        if _external is None:
            _external = _scheme is not None
        elif _scheme is not None and not _external:
            raise ValueError("When specifying '_scheme', '_external' must be True.")
        if self.url_default_functions:
            self._inject_url_defaults(endpoint, values)
        path, bound = self.url_map.build_with_host(endpoint, values, _method)
        if _anchor is not None:
            path += "#" + quote(_anchor, safe="/?!$&'()*+,;=:@-._~")
        if bound is None and self.subdomain_matching and self.config["SERVER_NAME"]:
            bound = ""  # the rules that name no subdomain belong to SERVER_NAME itself
        if bound is not None:
            # A rule bound to another host than the request's is reached by a full URL.
            from .hosts import full_host, request_host_key
            if req is None or request_host_key(self, req) != bound:
                scheme = _scheme or (req.scheme if req is not None
                                     else self.config["PREFERRED_URL_SCHEME"])
                return f"{scheme}://{full_host(self, bound)}{path}"
        if not _external:
            return path
        if req is not None:
            return f"{_scheme or req.scheme}://{req.host}{path}"
        host = self.config["SERVER_NAME"]
        if not host:
            raise RuntimeError("Unable to build an external URL outside a request without "
                               "SERVER_NAME configured.")
        return f"{_scheme or self.config['PREFERRED_URL_SCHEME']}://{host}{path}"

    def _inject_url_defaults(self, endpoint: str, values: dict) -> None:
        # The app's functions, then those of each blueprint from the outermost in.
        names: list[str | None] = [None]
        parts = endpoint.split(".")[:-1]
        names += [".".join(parts[:i]) for i in range(1, len(parts) + 1)]
        for name in names:
            for f in self.url_default_functions.get(name, ()):
                f(endpoint, values)

    @functools.cached_property
    def json(self) -> Any:
        """The app's JSON provider: what jsonify and kiv.json use."""
        from .json import JSONProvider
        return (self.json_provider_class or JSONProvider)(self)

    def auto_find_instance_path(self) -> str:
        """`instance` beside the app's package (or module); for a package installed
        in site-packages, `<prefix>/var/<name>-instance`."""
        module = sys.modules.get(self.import_name)
        path = getattr(module, "__file__", None)
        is_package = path is not None and os.path.basename(path).startswith("__init__.")
        base = os.path.dirname(self.root_path) if is_package else self.root_path
        if os.path.basename(base) in ("site-packages", "dist-packages"):
            return os.path.join(sys.prefix, "var", f"{self.import_name}-instance")
        return os.path.join(base, "instance")

    def open_instance_resource(self, resource: str, mode: str = "rb",
                               encoding: str | None = "utf-8") -> Any:
        """A file under instance_path, opened in any mode."""
        path = os.path.join(self.instance_path, resource)
        if "b" in mode:
            return open(path, mode)
        return open(path, mode, encoding=encoding)

    def app_context(self) -> AppContext:
        return AppContext(self)

    # Commands (`app.cli`) live in kiv.cli, which imports click: made on first use only.
    test_cli_runner_class: type | None = None

    @property
    def cli(self) -> Any:
        """The app's click group: `@app.cli.command()`, `app.cli.add_command(cmd)`."""
        group = self.__dict__.get("_cli")
        if group is None:
            from .cli import AppCommands
            group = self.__dict__["_cli"] = AppCommands(self)
        return group

    @property
    def shell_context_processors(self) -> list[F]:
        return self.__dict__.setdefault("_shell_context_processors", [])

    def shell_context_processor(self, f: F) -> F:
        """f() returns a dict of names for the `shell` command's namespace."""
        self.shell_context_processors.append(f)
        return f

    def make_shell_context(self) -> dict[str, Any]:
        from .globals import g
        names: dict[str, Any] = {"app": self, "g": g}
        for processor in self.shell_context_processors:
            names.update(processor())
        return names

    def test_cli_runner(self, **kwargs: Any) -> Any:
        """A click test runner whose invoke(args=[...]) runs this app's commands."""
        cls = self.test_cli_runner_class
        if cls is None:
            from .cli import AppCliRunner as cls
        return cls(self, **kwargs)

    def test_request_context(self, *args: Any, **kwargs: Any) -> RequestContext:
        return RequestContext(self, *args, **kwargs)

    # --- running -------------------------------------------------------------------------

    def run(self, host: str = "127.0.0.1", port: int = 8000, *, workers: int = 1,
            quiet: bool = False, debug: bool | None = None) -> None:
        """Serves until Ctrl-C; workers > 1 runs that many processes behind the balancer."""
        if debug is not None:
            self.debug = debug
        from .serving import serve
        serve(self, host, port, workers=workers, quiet=quiet)

    def test_client(self, use_cookies: bool = True) -> Any:
        from .testing import TestClient
        return TestClient(self, use_cookies=use_cookies)


def _request_signals_live(app: App) -> bool:
    signals = sys.modules.get("kiv.signals")
    return signals is not None and signals.request_signals_live(app)


_PLAIN_RESULTS = frozenset((str, bytes, dict, list, Response))


class _HandlerFailed(Exception):
    """An error handler or an after-request step raised: the server's 500 page answers."""


Flask = App
