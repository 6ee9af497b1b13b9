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

from .asyncsupport import (_drive, ensure_sync, event_loop, new_task, run_now,
                           stream_async_body, with_request)
from .blueprints import Blueprint, static_folder_of
from .config import DEFAULTS, Config
from .ctx import AppContext, RequestContext
from .exceptions import HTTPException, InternalServerError, MethodNotAllowed, NotFound
from .files import FileBody
from .globals import _local
from .helpers import fix_two_tuple, response_of, to_response
from .routing import (BuildError, CanonicalRedirect, Chooser, Converting, MethodMap,
                      NoAutomaticOptions, RuleGroup, UrlMap, WithDefaults, split_custom)
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
                 max_body: int = 64 * 1024 * 1024, cache_max_age: int | None = None,
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
        # f(error, endpoint, values) -> a URL or None, tried when url_for cannot build.
        self.url_build_error_handlers: list[Callable[..., Any]] = []
        self.teardown_appcontext_funcs: list[F] = []
        self.url_map = UrlMap()
        self._groups: dict[str, RuleGroup] = {}
        self._statics: list[tuple[str, str]] = []
        self._wsgi_mounts: list[Any] = []
        self._asgi_mounts: list[Any] = []
        self._ws_rules: list[tuple[str, Any]] = []  # (native rule, websocket.Route)
        self.bus: Any = None  # carries publish() to other processes (kiv.pubsub), when served so
        self._server: _kiv.Server | None = None
        self._router: _kiv.Server | None = None  # the rules' server, which wsgi_app asks
        self._through_wsgi = False  # served through middleware that replaced wsgi_app
        self._plan_key: tuple | None = None
        self._flags: tuple | None = None
        self._version = 0
        self._native_views: dict[str, Any] = {}
        self._viewless: dict[str, list[tuple[str, dict]]] = {}
        self._hook_cache: dict[str | None, tuple] = {}
        self._pipeline: Callable[..., Any] = self._bare_pipeline
        self._dispatch: Callable[..., Any] = self._bare_dispatch
        self._make_request: type = self.request_class
        # A list while the test client runs a request: exceptions that leave the app.
        self._escaped: list[BaseException] | None = None
        # MAX_CONTENT_LENGTH checked here rather than by the server, for a 413 handler.
        self._body_limit: int | None = None
        self._handles_413 = False
        self._own_sessions = False
        # Whether a request whose view did not read the session still has one to save:
        # always with a backend of the app's own; with signed cookies, once a permanent
        # session was seen and SESSION_REFRESH_EACH_REQUEST is on.
        self._session_work = self._permanent_sessions = False
        self._trusted_hosts: Any = None
        self._request_checks = False
        # A static folder that does not exist still builds URLs (url_for("static", ...)),
        # until app.static() names a folder that does.
        self._static_placeholder = False
        if self.static_folder is not None:
            folder = static_folder_of(self)
            url = self.static_url_path or ""
            if url and type(self).get_send_file_max_age is App.get_send_file_max_age:
                self._add_static(url, folder, "static")
                self._static_placeholder = folder is None
            else:
                # Served through Python: at the root (the server's mounts take every path
                # under them), or with a max age the app decides per file.
                self.add_url_rule(f"{url}/<path:filename>", "static",
                                  lambda filename: self.send_static_file(filename))

    # --- settings that live in the config ------------------------------------------

    @property
    def debug(self) -> bool:
        return self.config["DEBUG"]

    @debug.setter
    def debug(self, value: bool) -> None:
        self.config["DEBUG"] = bool(value)
        self._follow_reload()  # templates are checked for changes in debug mode
        logger = self.__dict__.get("_logger")
        if value and logger is not None and not logger.level:
            logger.setLevel(10)  # logging.DEBUG

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
                # A rule for an endpoint whose view comes later (@app.endpoint): its URLs
                # build now; it answers once the view is there.
                self._viewless.setdefault(endpoint, []).append((rule, dict(
                    options, methods=methods, defaults=defaults, subdomain=subdomain,
                    host=host, strict_slashes=strict_slashes,
                    provide_automatic_options=provide_automatic_options)))
                self.url_map.add(rule, endpoint, methods + (["HEAD"] if "GET" in methods
                                                           else []), defaults,
                                 self._host_pattern(subdomain, host))
                return
        existing = self.view_functions.get(endpoint)
        if existing is not None and existing is not view_func:
            raise _EndpointTaken(
                f"View function mapping is overwriting an existing endpoint function: {endpoint}")
        custom: dict = {}
        native_rule = rule
        if "<" in rule:
            native_rule, custom = split_custom(rule, self.url_map.converters, self.url_map)
        # The native compiler checks the rule text now, with its own messages.
        _kiv.Server().add_rule(native_rule, methods, None, endpoint, auto)
        native_view = ensure_sync(view_func)  # an async view runs on the process's loop
        if defaults:
            native_view = WithDefaults(endpoint, native_view, defaults)
        if custom:
            native_view = Converting(endpoint, native_view, custom)
        allowed = methods + (["HEAD"] if "GET" in methods and "HEAD" not in methods else [])
        native_methods = methods
        if not auto and "OPTIONS" not in methods:
            # The router answers OPTIONS itself unless a rule takes it: this one does, to
            # refuse it as Flask does.
            native_view = NoAutomaticOptions(endpoint, native_view, allowed)
            native_methods = methods + ["OPTIONS"]
        pattern = self._host_pattern(subdomain, host)
        group = self._groups.setdefault(native_rule, RuleGroup(native_rule))
        group.add(endpoint, native_view, native_methods, auto, pattern)
        if not (self.url_map.strict_slashes if strict_slashes is None else strict_slashes):
            group.strict = False  # the other slash form is served too, not redirected
        self.url_map.add(rule, endpoint, allowed, defaults, pattern, custom)
        self.view_functions[endpoint] = view_func
        if any(r.defaults for r in self.url_map.by_endpoint[endpoint]):
            self._redirect_to_defaults(endpoint)
        self._changed()
        pending = self._viewless.pop(endpoint, None) if self._viewless else None
        if pending:
            self._route_pending(endpoint, view_func, pending)

    def add_websocket_rule(self, rule: str, endpoint: str | None = None, handler: Any = None,
                           subprotocols: Iterable[str] | None = None,
                           subdomain: str | None = None, host: str | None = None,
                           **limits: Any) -> None:
        """Serves WebSocket connections at rule with handler (see kiv.websocket).
        max_message_size, max_queue_size, ping_interval and idle_timeout override the
        WEBSOCKET_* config values for this rule's connections."""
        from .websocket import LIMITS, Route
        unknown = limits.keys() - LIMITS.keys()
        if unknown:
            raise TypeError(f"unexpected WebSocket options: {', '.join(sorted(unknown))}")
        for name, value in limits.items():
            if value is not None and (not isinstance(value, (int, float)) or value < 0):
                raise ValueError(f"{name} is a number of bytes or seconds, or None")
        if handler is None:
            raise TypeError("add_websocket_rule() needs a handler")
        endpoint = endpoint or handler.__name__
        if "<" in rule:
            native_rule, custom = split_custom(rule, self.url_map.converters, self.url_map)
            if custom:
                raise ValueError("WebSocket rules take the built-in converters only")
        else:
            native_rule = rule
        _kiv.Server().add_ws_rule(native_rule, None, endpoint)  # checks the rule text now
        self._ws_rules.append((native_rule, Route(handler, endpoint, subprotocols, limits)))
        self.url_map.add(rule, endpoint, ["GET"], None, self._host_pattern(subdomain, host))
        self._changed()

    def publish(self, topic: str, message: str | bytes) -> int:
        """Sends message to every WebSocket subscribed to topic (str: a text message,
        bytes: binary): this process's at once, natively; those of the server's other
        worker processes (or, with PUBSUB_URL, of every process using that Redis)
        through the bus. Returns how many of this process's it was queued for."""
        from .websocket import publish
        sent = publish(topic, message)
        bus = self.bus
        if bus is not None:
            bus.publish(topic, message)
        return sent

    def deliver_topic(self, topic: str, message: str | bytes) -> None:
        """A message another process published: to this process's subscribers only."""
        from .websocket import publish
        publish(topic, message)

    @property
    def uses_topics(self) -> bool:
        """Whether serving needs to carry publish() between processes."""
        return bool(self._ws_rules)

    def endpoint(self, endpoint: str) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.view_functions[endpoint] = f
            pending = self._viewless.pop(endpoint, None)
            if pending:
                self._route_pending(endpoint, f, pending)
            return f
        return decorator

    def _route_pending(self, endpoint: str, view_func: F,
                       pending: list[tuple[str, dict]]) -> None:
        """Rules registered before their endpoint had a view answer with it now. Their
        URLs were in the map already, and keep their place there (url_for tries the
        endpoint's rules in registration order)."""
        for rule, options in pending:
            self.add_url_rule(rule, endpoint, view_func, **options)
            built = self.url_map.by_endpoint[endpoint]
            del built[max(i for i, r in enumerate(built) if r.rule == rule)]

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
        from .wsgihost import WSGIHost, clean_prefix
        prefix = clean_prefix(prefix)
        self._asgi_mounts = [m for m in self._asgi_mounts if m.prefix != prefix]
        mounts = [m for m in self._wsgi_mounts if m.prefix != prefix]
        mounts.append(WSGIHost(application, prefix, self))
        self._wsgi_mounts = mounts
        self._changed()

    def get_send_file_max_age(self, filename: str | None) -> int | None:
        """Seconds a browser may keep a file of send_file or the static folder without
        asking again: SEND_FILE_MAX_AGE_DEFAULT, None by default (it asks each time).
        Override it to decide per file; static files are then served through Python."""
        value = self.config["SEND_FILE_MAX_AGE_DEFAULT"]
        if isinstance(value, _dt.timedelta):
            return int(value.total_seconds())
        return value

    def mount_asgi(self, prefix: str, application: Callable) -> None:
        """Sends every request at or under prefix, any method, to an ASGI application
        (FastAPI, Starlette, Quart, ...) with root_path set to prefix; it runs on the
        event loop (see kiv.asgi). Rules of this app still win; the longest covering
        prefix, WSGI mounts included, decides."""
        from .asgihost import ASGIHost
        from .wsgihost import clean_prefix
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
        """The standard library logger named after the app: at DEBUG level in debug mode,
        and writing to stderr unless logging was configured to handle its records."""
        logger = self.__dict__.get("_logger")
        if logger is None:
            logger = self.__dict__["_logger"] = _make_logger(self)
        return logger

    def register_blueprint(self, blueprint: Blueprint, **options: Any) -> None:
        blueprint.register(self, options)

    def _changed(self) -> None:
        self._version += 1

    # --- the native server ----------------------------------------------------------

    def _plan(self) -> tuple:
        return (self._version, self.secret_key is not None, _request_signals_live(self),
                self.session_interface, self.config["SESSION_REFRESH_EACH_REQUEST"],
                _frozen(self.config["TRUSTED_HOSTS"]), self._middleware())

    # --- WSGI: the app as a WSGI application, and middleware around it ----------------

    def wsgi_app(self, environ: dict, start_response: Callable) -> Any:
        """The app as a WSGI application (kiv.wsgiapp). Replace it to put WSGI
        middleware around the app, as in Flask: `app.wsgi_app = ProxyFix(app.wsgi_app)`;
        the server then sends every request through the replacement."""
        from .wsgiapp import call_app
        return call_app(self, environ, start_response)

    def __call__(self, environ: dict, start_response: Callable) -> Any:
        return self.wsgi_app(environ, start_response)

    def _proxy_fix(self) -> Any:
        """A ProxyFix put straight around the app's own wsgi_app, or None: its work is
        done by the app's requests themselves (kiv.wsgiapp.ProxyFixed), natively served."""
        middleware = self._middleware()
        cls, inner = type(middleware), getattr(middleware, "app", None)
        if (cls.__name__ == "ProxyFix" and cls.__module__ == "werkzeug.middleware.proxy_fix"
                and getattr(inner, "__func__", None) is App.wsgi_app
                and inner.__self__ is self):
            return middleware
        return None

    def _middleware(self) -> Any:
        """What replaced wsgi_app (an instance attribute, or a subclass's method), else None."""
        own = self.__dict__.get("wsgi_app")
        if own is None:
            return None if type(self).wsgi_app is App.wsgi_app else self.wsgi_app
        if getattr(own, "__func__", None) is App.wsgi_app and own.__self__ is self:
            return None
        return own

    @property
    def server(self) -> _kiv.Server:
        key = self._plan()
        if self._server is None or key != self._plan_key:
            self._server = self._build_server()
            self._plan_key = key
            self._flags = None
        # Settings are plain attributes; hand them over only when they changed.
        limit = self.config["MAX_CONTENT_LENGTH"]
        self._body_limit = None
        if limit is not None and self._handles_413 and limit < self.max_body:
            self._body_limit, limit = limit, self.max_body
        self._request_checks = self._trusted_hosts is not None or self._body_limit is not None
        # The server's debug flag is always on: its debug page is _failure_page, which
        # shows the traceback only in debug mode.
        max_age = self.cache_max_age
        if max_age is None:  # Flask's default, no max age: 0 has browsers ask each time
            max_age = self.get_send_file_max_age(None) or 0
        flags = (self.fast, True, self.log, self.max_body if limit is None else limit,
                 max_age, self.trap_http or self.config["TRAP_HTTP_EXCEPTIONS"])
        if flags != self._flags:
            self._server.set_flags(*flags)
            self._flags = flags
        return self._server

    def _build_server(self) -> _kiv.Server:
        server = _kiv.Server()
        middleware, fix = self._middleware(), self._proxy_fix()
        bases: tuple = (self.request_class,)
        extra: dict = {}
        if fix is not None:
            from .wsgiapp import ProxyFixed
            bases, extra = (ProxyFixed, *bases), ProxyFixed.fixing(fix)
            server.set_redirect_prefix("X-Forwarded-Prefix", fix.x_prefix)
            middleware = None
        self._through_wsgi = middleware is not None
        self._make_request = type("Request", bases, {
            "__slots__": (), "__module__": self.request_class.__module__, "app": self, **extra})
        self._native_views = {}
        self._hook_cache = {}
        self._handles_413 = any(413 in by_code for by_code in self.error_handler_spec.values())
        self._trusted_hosts = self.config["TRUSTED_HOSTS"]
        # A session backend of the app's own is opened and saved on every request, as in
        # Flask; signed-cookie sessions are opened unread only to refresh a permanent one.
        own_sessions = self._own_sessions = not isinstance(self.session_interface,
                                                          SecureCookieSessionInterface)
        self._session_work = own_sessions or (
            self._permanent_sessions and self.config["SESSION_REFRESH_EACH_REQUEST"])
        plain = not (any(self.before_request_funcs.values())
                     or any(self.after_request_funcs.values())
                     or any(self.teardown_request_funcs.values())
                     or self.teardown_appcontext_funcs
                     or any(self.url_value_preprocessors.values())
                     or any(self.error_handler_spec.values())
                     or self.secret_key is not None or own_sessions
                     or self._trusted_hosts is not None)
        for group in self._groups.values():
            methods, view, endpoint, auto = group.native(self)
            if auto and not plain and "OPTIONS" not in methods:
                # With hooks, the automatic OPTIONS answer is made where they see it.
                view, auto = _AutoOptions(view, methods), False
                methods = [*methods, "OPTIONS"]
            server.add_rule(group.rule, methods, view, endpoint, auto, group.strict)
            self._native_views[endpoint] = view
        for url_path, folder in self._statics:
            server.set_static(url_path, folder)
        if _request_signals_live(self):
            self._pipeline, self._dispatch = self._signal_pipeline, self._signal_dispatch
        elif plain:
            self._pipeline, self._dispatch = self._bare_pipeline, self._bare_dispatch
        else:
            self._pipeline, self._dispatch = self._full_pipeline, self._full_dispatch
        if hasattr(server, "set_loop_pipeline"):
            # Requests of async views run on the event loop, with no pool thread, on
            # every plan: the loop's own version of it.
            server.set_loop_pipeline(
                self._loop_signals if _request_signals_live(self)
                else self._loop_bare if plain else self._loop_full)
            if any(hasattr(v, "_kiv_async") for v in self._native_views.values()):
                event_loop()
        for mount in self._wsgi_mounts:
            mount.base["wsgi.multiprocess"] = bool(getattr(self, "wsgi_multiprocess", False))
            server.set_wsgi_mount(mount.prefix, mount, mount.base)
        for host in self._asgi_mounts:
            server.set_asgi_mount(host.prefix, host)
        if self._asgi_mounts:
            event_loop()
        for native_rule, route in self._ws_rules:
            server.add_ws_rule(native_rule, route, route.endpoint)
        if self._ws_rules:
            server.set_ws_entry(self._ws_entry)
            if any(route.is_async for _, route in self._ws_rules):
                event_loop()
        self._configure(server)
        self._router = server  # what wsgi_app routes with
        if middleware is not None:
            server = self._middleware_server(middleware)
        return server

    def _configure(self, server: _kiv.Server) -> None:
        server.set_request_class(self._make_request)
        server.set_dispatch(self._dispatch)
        server.set_pipeline(self._pipeline)
        server.set_convert_slow(_SlowConversion(self))
        server.set_debug_page(self._failure_page)
        server.set_http_exception(HTTPException)
        server.set_uuid_class(uuid.UUID)

    def _middleware_server(self, middleware: Any) -> _kiv.Server:
        """The server of an app whose wsgi_app was replaced: every request goes to the
        replacement (which calls the app through wsgi_app), WebSockets stay native."""
        from .wsgihost import WSGIHost
        server = _kiv.Server()
        self._configure(server)
        host = WSGIHost(middleware, "", self)
        host.base["wsgi.multiprocess"] = bool(getattr(self, "wsgi_multiprocess", False))
        server.set_wsgi_mount("", host, host.base)
        for native_rule, route in self._ws_rules:
            server.add_ws_rule(native_rule, route, route.endpoint)
        if self._ws_rules:
            server.set_ws_entry(self._ws_entry)
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
        except Exception as e:
            try:
                if isinstance(e, HTTPException):
                    return self._answer_http(e)
                return self._handle_exception(req, e)
            finally:
                _local.request = None
                if req._files is not None:
                    req.close()
        except BaseException as e:
            _local.request = None
            self._escaping(e)
            raise
        if req._files is not None:
            req.close()
        # The request is over. A dict or list the server's JSON writer might refuse stays
        # in the thread's request slot until the server has written it (see
        # _failure_page); anything else leaves the slot empty, as it was.
        cls = type(rv)
        if cls is str:
            _local.request = None
            return rv
        if cls is tuple:
            _local.request = rv if rv and rv[0].__class__ in _JSON_BODIES else None
            return fix_two_tuple(rv) if len(rv) == 2 else rv
        _local.request = rv if cls is dict or cls is list else None
        return rv

    def _answer_http(self, e: HTTPException) -> Any:
        # Trapped, it goes on to the server as a failure; else its page, as a kiv
        # response (the server reads only those).
        if self.trap_http or self.config["TRAP_HTTP_EXCEPTIONS"]:
            raise e
        return response_of(e)

    def _loop_bare(self, req: Request, view: Any, args: dict, done: Any) -> None:
        """The bare plan for an async view, on the event loop's thread: its first step at
        once, a task only if it waits (run_now)."""
        run_now(self._bare_task(req, view._kiv_async, args, done), req)

    async def _bare_task(self, req: Request, view: Any, args: dict, done: Any) -> None:
        # Every step runs with req in the slot (run_now).
        try:
            rv = await view(**args)
            if req._after is not None:
                rv = self._after_this(req, rv)
            if rv.__class__ is tuple and len(rv) == 2:
                rv = fix_two_tuple(rv)
            if rv.__class__ not in _WHOLE_RESULTS and (body := _async_body(rv)) is not None:
                await self._stream(rv, body, done)
                return
        except Exception as e:  # noqa: BLE001  (answered as on the other plans)
            try:
                rv = (self._answer_http(e) if isinstance(e, HTTPException)
                      else self._handle_exception(req, e))
            except BaseException as failed:  # noqa: BLE001  (trapped, or debug: the server's page)
                done(None, failed)
            else:
                done(rv)
        except BaseException as e:  # noqa: BLE001  (the server answers it)
            done(None, e)
        else:
            if rv.__class__ is dict or rv.__class__ is list or (
                    rv.__class__ is tuple and rv and rv[0].__class__ in _JSON_BODIES):
                # As on the pool: a result the server is yet to write as JSON waits in
                # the slot (_failure_page); the step's end empties it.
                _local.request = rv
            done(rv)
        finally:
            if req._files is not None:
                req.close()

    # --- the full plans on the event loop ---------------------------------------------
    #
    # The same order of hooks, handlers and session as _full_pipeline and
    # _signal_pipeline, as coroutines: an async hook, view or handler is awaited where
    # its sync wrapper would have been called, and sync ones are called in place, on the
    # loop's thread (hooks are expected to be short; one that blocks holds up every
    # request on the loop). Each step of the task runs with the request in the slot.

    def _loop_full(self, req: Request, view: Any, args: dict, done: Any) -> None:
        run_now(self._loop_task(self._full_task(req, view, args), done), req)

    def _loop_signals(self, req: Request, view: Any, args: dict, done: Any) -> None:
        run_now(self._loop_task(self._signal_task(req, view, args), done), req)

    async def _loop_task(self, coro: Any, done: Any) -> None:
        # Every step runs with the request in the slot (run_now).
        try:
            rv = await coro
            if rv.__class__ not in _WHOLE_RESULTS and (body := _async_body(rv)) is not None:
                await self._stream(rv, body, done)
                return
        except BaseException as e:  # noqa: BLE001  (the server answers it)
            done(None, e)
            return
        cls = rv.__class__
        if cls is dict or cls is list or (
                cls is tuple and rv and rv[0].__class__ in _JSON_BODIES):
            # As on the pool: a result the server is yet to write as JSON (_failure_page).
            _local.request = rv
            try:
                done(rv)
            finally:
                _local.request = None
        else:
            done(rv)

    async def _stream(self, rv: Any, body: Any, done: Any) -> None:
        """The head goes out now and each item as the coroutine produces it, with no
        thread held."""
        status, pairs, _ = self.make_response(rv)._fast()
        await stream_async_body(body, done.stream(status, pairs))

    async def _full_task(self, req: Request, view: Any, args: dict,
                         failed: list | None = None) -> Any:
        error: BaseException | None = None
        afters: tuple = ()
        rv = None
        try:
            try:
                try:
                    checks = self._request_checks
                    if checks:
                        self._check_host(req)
                    if isinstance(view, Chooser):
                        view = view.select(req)
                    preprocessors, befores, afters, _ = self._hooks(req)
                    if checks:
                        self._check_body(req)
                    if req.error_code is None:
                        for f in preprocessors:
                            f(req.endpoint, args)
                    rv = None
                    for f in befores:
                        rv = await _call(f)
                        if rv is not None:
                            break
                    if rv is None:
                        if req.error_code is not None:
                            raise self._routing_exception(req)
                        inner = getattr(view, "_kiv_async", None)
                        rv = view(**args) if inner is None else await inner(**args)
                except Exception as e:
                    rv = await self._handle_user_exception_async(req, e)
                return await self._finalize_async(req, rv, afters if req._after is None
                                                  else (*req._after, *afters))
            except Exception as e:
                error = e
                rv = await self._handle_exception_async(req, e)
                response = self.make_response(rv)
                try:
                    return await self._finalize_async(req, response, afters if req._after is None
                                                      else (*req._after, *afters))
                except Exception:
                    self.logger.exception("Request finalizing failed with an error while "
                                          "handling an error")
                    return response
        except BaseException as e:
            error = error or e
            self._escaping(e)
            raise
        finally:
            if failed is not None:
                failed.append(error)
            try:
                for f in self._hooks(req)[3]:
                    await _call(f, error)
            finally:
                if req._files is not None:
                    req.close()

    async def _signal_task(self, req: Request, view: Any, args: dict) -> Any:
        from . import signals as s
        error: BaseException | None = None
        try:
            await s.send_async(s.appcontext_pushed, self)
            await s.send_async(s.request_started, self)
            failed: list = []
            rv = await self._full_task(req, view, args, failed)
            error = failed[0]
            response = rv if isinstance(rv, Response) else self.make_response(rv)
            await s.send_async(s.request_finished, self, response=response)
            return response
        except BaseException as e:
            error = error or e
            raise
        finally:
            await s.send_async(s.request_tearing_down, self, exc=error)
            await s.send_async(s.appcontext_tearing_down, self, exc=error)
            await s.send_async(s.appcontext_popped, self)

    async def _handle_user_exception_async(self, req: Request, e: Exception) -> Any:
        if isinstance(e, HTTPException):
            if self.trap_http or self.config["TRAP_HTTP_EXCEPTIONS"]:
                raise e
            handler = self._find_handler(e, req.blueprints)
            if handler is None:
                return response_of(e)
        else:
            handler = self._find_handler(e, req.blueprints)
            if handler is None:
                raise e
        return await _call(handler, e)

    async def _handle_exception_async(self, req: Request, e: Exception) -> Any:
        signals = sys.modules.get("kiv.signals")
        if signals is not None:
            await signals.send_async(signals.got_request_exception, self, exception=e)
        if self._escaping(e):
            return response_of(InternalServerError())
        if self.debug:
            raise e
        self.log_exception(req, e)
        server_error = InternalServerError()
        server_error.original_exception = e  # type: ignore[attr-defined]
        handler = self._find_handler(server_error, req.blueprints)
        if handler is None:
            return response_of(server_error)
        return await _call(handler, server_error)

    async def _finalize_async(self, req: Request, rv: Any, afters: tuple) -> Any:
        if not any(hasattr(f, "_kiv_async") for f in afters):
            return self._finalize(req, rv, afters)
        # As _finalize, with the after_request functions awaited.
        session = req._session
        if session is None and self._session_work:
            session = req.session if self._own_sessions else self._permanent_to_refresh(req)
        save = session is not None and not self.session_interface.is_null_session(session)
        response = self.make_response(rv)
        for f in afters:
            response = await _call(f, response)
            if response is None:
                raise TypeError("an after_request function returned None")
        if save:
            self.session_interface.save_session(self, session, response)
        return response

    def _bare_dispatch(self, req: Request) -> Any:
        if req.error_code is not None:
            return self._answer_http(self._routing_exception(req))
        return self._bare_pipeline(req, self._native_views[req.endpoint], req.view_args)

    # --- the full plan ---------------------------------------------------------------

    def _full_dispatch(self, req: Request) -> Any:
        view = None if req.error_code is not None else self._native_views[req.endpoint]
        return self._full_pipeline(req, view, req.view_args)

    def _full_pipeline(self, req: Request, view: Any, args: dict,
                       failed: list | None = None) -> Any:
        _local.request = req
        error: BaseException | None = None
        afters: tuple = ()
        rv = None
        try:
            try:
                try:
                    checks = self._request_checks
                    if checks:
                        self._check_host(req)  # before the host picks a rule
                    if isinstance(view, Chooser):
                        view = view.select(req)
                    preprocessors, befores, afters, _ = self._hooks(req)
                    if checks:
                        self._check_body(req)
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
                rv = self._finalize(req, rv, afters if req._after is None
                                    else (*req._after, *afters))
                return rv
            except Exception as e:
                # A view, an error handler or an after_request function failed: the 500
                # handler's answer (or the plain 500 page) goes through the after_request
                # functions and the session like any other.
                error = e
                rv = self._handle_exception(req, e)
                response = self.make_response(rv)
                try:
                    return self._finalize(req, response, afters if req._after is None
                                          else (*req._after, *afters))
                except Exception:
                    self.logger.exception("Request finalizing failed with an error while "
                                          "handling an error")
                    return response
        except BaseException as e:
            error = error or e
            self._escaping(e)
            raise
        finally:
            if failed is not None:
                failed.append(error)
            try:
                for f in self._hooks(req)[3]:
                    f(error)
            finally:
                # As in _bare_pipeline: a result the server is yet to write as JSON.
                cls = type(rv)  # (type() is the quickest class lookup here)
                _local.request = rv if cls is dict or cls is list or (
                    cls is tuple and rv and rv[0].__class__ in _JSON_BODIES) else None
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
            failed: list = []
            rv = self._full_pipeline(req, view, args, failed)
            error = failed[0]
            _local.request = req
            response = rv if isinstance(rv, Response) else self.make_response(rv)
            s.send(s.request_finished, self, response=response)
            return response
        except BaseException as e:
            error = error or e
            raise
        finally:
            _local.request = req
            try:
                s.send(s.request_tearing_down, self, exc=error)
                s.send(s.appcontext_tearing_down, self, exc=error)
                s.send(s.appcontext_popped, self)
            finally:
                _local.request = None

    # --- WebSockets --------------------------------------------------------------------

    def _ws_entry(self, req: Request, route: Any, args: dict, conn: Any) -> Any:
        """An upgrade request at a WebSocket rule, on a pool thread: the before_request
        hooks may refuse it (their response, or an abort); otherwise it is accepted and
        the handler starts (a plain function runs here to its end). The request lasts as
        long as the connection (see kiv.websocket.finish)."""
        from . import websocket as w
        refusal = w.admit(self, req, args)
        if refusal is not None:
            return refusal
        sub = route.choose(conn.offered())
        refusal = w.accept(self, req, route, conn, sub)
        if refusal is not None:
            return refusal
        if route.kind == "sync":
            w.run_sync(self, req, route, w.WebSocket(conn, sub), args)
        elif route.kind == "callbacks":
            w.start_callbacks(self, req, route, w.WebSocket(conn, sub))
        else:
            ws = w.AsyncWebSocket(conn, sub)
            task = (w.run_async(self, req, route, ws, args) if route.kind == "async"
                    else w.run_callbacks(self, req, route, ws))
            event_loop().call_soon_threadsafe(new_task, _drive(task, req))
        return None

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
                return response_of(e)
        else:
            handler = self._find_handler(e, req.blueprints)
            if handler is None:
                raise e
        return handler(e)

    def _handle_exception(self, req: Request, e: Exception) -> Any:
        """An exception no handler took: logged, then the 500 handler answers, else the
        plain 500 page. In debug mode the server's debug page answers instead."""
        signals = sys.modules.get("kiv.signals")
        if signals is not None:
            signals.send(signals.got_request_exception, self, exception=e)
        if self._escaping(e):
            return response_of(InternalServerError())  # the test client raises e
        if self.debug:
            raise e
        self.log_exception(req, e)
        server_error = InternalServerError()
        server_error.original_exception = e  # type: ignore[attr-defined]
        handler = self._find_handler(server_error, req.blueprints)
        if handler is None:
            return response_of(server_error)
        return handler(server_error)

    def _check_host(self, req: Request) -> None:
        if self._trusted_hosts is not None:
            from .hosts import host_is_trusted
            if not host_is_trusted(req.headers.get("Host"), self._trusted_hosts):
                from .exceptions import BadRequest
                raise BadRequest("The request's host is not trusted.")

    def _check_body(self, req: Request) -> None:
        """MAX_CONTENT_LENGTH, when a 413 handler is to answer it rather than the server."""
        length = req.content_length
        if self._body_limit is not None and length is not None and length > self._body_limit:
            from .exceptions import RequestEntityTooLarge
            raise RequestEntityTooLarge()

    def log_exception(self, req: Any, exc: BaseException) -> None:
        """Logs an exception no handler took, as Flask does, through app.logger."""
        self.logger.error(f"Exception on {req.path} [{req.method}]",
                          exc_info=(type(exc), exc, exc.__traceback__))

    def _escaping(self, e: BaseException) -> bool:
        """Whether e leaves the app rather than becoming a 500 page: with the test client
        running a request in TESTING or debug mode (or PROPAGATE_EXCEPTIONS set), it is
        raised in the test; Ctrl-C always goes on to the main thread."""
        caught = self._escaped
        if caught is not None and (not isinstance(e, Exception) or self._propagates()):
            caught.append(e)
            return True
        if isinstance(e, KeyboardInterrupt):
            import _thread
            _thread.interrupt_main()
        return False

    def _propagates(self) -> bool:
        value = self.config.get("PROPAGATE_EXCEPTIONS")
        return bool(self.testing or self.debug if value is None else value)

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
        if session is None and self._session_work:
            session = req.session if self._own_sessions else self._permanent_to_refresh(req)
        save = session is not None and not self.session_interface.is_null_session(session)
        if not afters and (not save or not self._own_sessions):
            if not save or not (session.accessed or session.modified or session.permanent):
                return fix_two_tuple(rv) if rv.__class__ is tuple and len(rv) == 2 else rv
            if not (session.modified or session.permanent) and isinstance(
                    rv, (str, bytes, dict, list)):
                # Only read: the answer varies with the cookie, nothing to write back.
                return (rv, 200, [("Vary", "Cookie")])
        response = self.make_response(rv)
        for f in afters:
            response = f(response)
            if response is None:
                raise TypeError("an after_request function returned None")
        if save:
            self.session_interface.save_session(self, session, response)
        return response

    def _permanent_to_refresh(self, req: Request) -> Any:
        """A permanent signed-cookie session the view did not read: saved all the same, so
        its expiry moves on. Asked only once the app has read or written a permanent
        session (see _session_work), so apps without them pay nothing."""
        if self.session_interface.get_cookie_name(self) not in req.cookies:
            return None
        session = req.session
        return session if session.permanent else None

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
        if isinstance(rv, Iterator) or hasattr(rv, "__anext__"):
            return self.response_class(rv)
        if isinstance(rv, tuple) and rv and (isinstance(rv[0], (FileBody, Iterator))
                                            or hasattr(rv[0], "__anext__")):
            return (self._body_as_response(rv[0]), *rv[1:])
        return rv

    def _failure_page(self, exc: BaseException) -> Response:
        """The server's answer to an exception that left the Python pipeline (asked only
        on that path, so it costs nothing otherwise): a dict or list result that the
        server's JSON writer refused (a datetime, a Decimal, a dataclass...) is written by
        the app's JSON provider, as Flask's would have; anything else is logged through
        app.logger and answered with the 500 page, or the debug page in debug mode."""
        result, _local.request = _local.request, None
        if result.__class__ is tuple and result and result[0].__class__ in _JSON_BODIES:
            pass
        elif result.__class__ not in _JSON_BODIES:
            result = None
        if (result is not None and type(exc) is ValueError and exc.args
                and str(exc.args[0]).startswith(("unsupported type ", "non-str dict key"))):
            try:
                return self.make_response(_with_provider(self, result))
            except Exception as e:
                exc = e
        if self.debug:
            return self.debug_page(exc)
        if isinstance(exc, Exception) and not self._escaping(exc):
            self.logger.error("Exception on a request", exc_info=(type(exc), exc,
                                                                  exc.__traceback__))
        return response_of(InternalServerError())

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
        outside = req is None and self.config["SERVER_NAME"] and not self.host_matching
        if _external is None:
            # Outside a request, URLs name SERVER_NAME by default, as Flask's do.
            _external = _scheme is not None or bool(outside)
        elif _scheme is not None and not _external:
            raise ValueError("When specifying '_scheme', '_external' must be True.")
        if self.url_default_functions:
            self._inject_url_defaults(endpoint, values)
        try:
            path, bound = self.url_map.build_with_host(endpoint, values, _method)
        except BuildError as error:
            values.update(_anchor=_anchor, _method=_method, _scheme=_scheme,
                          _external=_external)
            return self.handle_url_build_error(error, endpoint, values)
        if outside:  # under APPLICATION_ROOT
            path = (self.config["APPLICATION_ROOT"] or "/").rstrip("/") + path
        elif req is not None and req._script_root:
            path = req._script_root + path
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

    def handle_url_build_error(self, error: BuildError, endpoint: str, values: dict) -> str:
        """url_for could not build: the first url_build_error_handlers function that
        returns a URL gives it; else the error goes on."""
        for handler in self.url_build_error_handlers:
            try:
                rv = handler(error, endpoint, values)
            except BuildError as e:
                error = e
                continue
            if rv is not None:
                return rv
        raise error

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

    test_client_class: type | None = None

    def test_client(self, use_cookies: bool = True, **kwargs: Any) -> Any:
        """A test client; test_client_class (a TestClient subclass) may take kwargs."""
        cls = self.test_client_class
        if cls is None:
            from .testing import TestClient as cls
        return cls(self, use_cookies=use_cookies, **kwargs)


def _request_signals_live(app: App) -> bool:
    signals = sys.modules.get("kiv.signals")
    return signals is not None and signals.request_signals_live(app)


def _frozen(value: Any) -> Any:
    return tuple(value) if isinstance(value, (list, set)) else value


def _make_logger(app: App) -> Any:
    import logging
    logger = logging.getLogger(app.name)
    if app.debug and not logger.level:
        logger.setLevel(logging.DEBUG)
    # A handler of its own only when no configured handler would take its errors.
    current, handled = logger, False
    while current is not None and not handled:
        handled = any(h.level <= logger.getEffectiveLevel() for h in current.handlers)
        current = current.parent if current.propagate else None
    if not handled:
        handler = logging.StreamHandler()  # sys.stderr, looked up when it writes
        handler.setFormatter(logging.Formatter(
            "[%(asctime)s] %(levelname)s in %(module)s: %(message)s"))
        logger.addHandler(handler)
    return logger


def _with_provider(app: App, rv: Any) -> Any:
    """rv with its dict or list body written by app.json."""
    if isinstance(rv, tuple):
        return (_with_provider(app, rv[0]), *rv[1:])
    if isinstance(rv, (dict, list)):
        return app.json.response(rv)
    return rv


def _async_body(rv: Any) -> Any:
    """The async iterable body of a result (alone, first in a tuple, or in a response),
    or None."""
    body = rv[0] if rv.__class__ is tuple and rv else rv
    if isinstance(body, Response):
        body = body.body
    return body if hasattr(body, "__anext__") else None


async def _call(f: Any, *args: Any) -> Any:
    """f(*args), awaited when f is the sync wrapper of an async function."""
    inner = getattr(f, "_kiv_async", None)
    return f(*args) if inner is None else await inner(*args)


_JSON_BODIES = frozenset((dict, list))
_PLAIN_RESULTS = frozenset((str, bytes, dict, list, Response))
_WHOLE_RESULTS = frozenset((str, bytes, dict, list))


class _SlowConversion:
    """What the server calls for a result it cannot convert itself; it also names the
    type a returned bytes is sent as: the response class's default, as in Flask."""

    __slots__ = ("convert", "bytes_content_type")

    def __init__(self, app: App):
        from .wrappers import _with_charset
        self.convert = app.convert_slow
        self.bytes_content_type = _with_charset(app.response_class.default_mimetype)

    def __call__(self, value: Any) -> Any:
        return self.convert(value)


class _AutoOptions(Chooser):
    """A rule's automatic OPTIONS answer, made in Python on an app with hooks so that
    they run for it as for any request (a CORS extension answers preflights there)."""

    __slots__ = ("view", "allow", "_kiv_async")

    def __init__(self, view: Any, methods: list[str]):
        self.view = view
        inner = getattr(view, "_kiv_async", None)
        if inner is not None:  # an async view's requests run on the event loop
            self._kiv_async = inner
        allow = {*methods, "OPTIONS"} | ({"HEAD"} if "GET" in methods else set())
        self.allow = ", ".join(sorted(allow))

    def select(self, req: Request) -> Any:
        if req.method == "OPTIONS":
            if isinstance(self.view, MethodMap):  # name the rule's first view, as Flask does
                req.endpoint = next(iter(self.view.by_method.values()))[0]
            return self._answer
        view = self.view
        return view.select(req) if isinstance(view, Chooser) else view

    def _answer(self, **args: Any) -> Any:
        return ("", 200, [("Allow", self.allow)])


Flask = App
