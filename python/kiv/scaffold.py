"""What an app and a blueprint share: route registration, hooks and error handlers.

Hooks and handlers are kept in dicts keyed by blueprint name (None for the app), so
the app looks them up for a request's blueprint chain in a fixed order.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Callable, Iterable

from .asyncsupport import ensure_sync
from .exceptions import HTTPException, default_exceptions

F = Callable[..., Any]


def _root_path(import_name: str) -> str:
    module = sys.modules.get(import_name)
    path = getattr(module, "__file__", None)
    return os.path.dirname(os.path.abspath(path)) if path else os.getcwd()


class Scaffold:
    name: str

    def __init__(self, import_name: str, static_folder: str | os.PathLike[str] | None = None,
                 static_url_path: str | None = None, root_path: str | None = None):
        self.import_name = import_name
        self.root_path = root_path or _root_path(import_name)
        self.static_folder = (os.path.join(self.root_path, os.fspath(static_folder))
                              if static_folder is not None else None)
        self._static_url_path = static_url_path
        self.view_functions: dict[str, F] = {}
        self.before_request_funcs: dict[str | None, list[F]] = {}
        self.after_request_funcs: dict[str | None, list[F]] = {}
        self.teardown_request_funcs: dict[str | None, list[F]] = {}
        # blueprint name -> code (None for exception classes) -> class -> handler
        self.error_handler_spec: dict[str | None, dict[int | None, dict[type, F]]] = {}
        # blueprint name (None for the app) -> functions whose dicts every template sees
        self.template_context_processors: dict[str | None, list[F]] = {}
        # blueprint name (None for the app) -> f(endpoint, values): before the hooks,
        # f may take values out of the view arguments; in url_for, add values to build with
        self.url_value_preprocessors: dict[str | None, list[F]] = {}
        self.url_default_functions: dict[str | None, list[F]] = {}

    @property
    def static_url_path(self) -> str | None:
        """Where the static folder is served: as given, else the folder's own name."""
        if self._static_url_path is not None:
            return self._static_url_path
        if self.static_folder is not None:
            return ("/" + os.path.basename(self.static_folder)).rstrip("/")
        return None

    @static_url_path.setter
    def static_url_path(self, value: str | None) -> None:
        if value is not None:
            value = value.rstrip("/")
        self._static_url_path = value

    # --- routes -----------------------------------------------------------------

    def route(self, rule: str, **options: Any) -> Callable[[F], F]:
        def decorator(view: F) -> F:
            endpoint = options.pop("endpoint", None)
            self.add_url_rule(rule, endpoint, view, **options)
            return view
        return decorator

    def _method_route(self, method: str, rule: str, options: dict) -> Callable[[F], F]:
        if "methods" in options:
            raise TypeError("Use the 'route' decorator to use the 'methods' argument.")
        return self.route(rule, methods=[method], **options)

    def get(self, rule: str, **options: Any) -> Callable[[F], F]:
        return self._method_route("GET", rule, options)

    def post(self, rule: str, **options: Any) -> Callable[[F], F]:
        return self._method_route("POST", rule, options)

    def put(self, rule: str, **options: Any) -> Callable[[F], F]:
        return self._method_route("PUT", rule, options)

    def delete(self, rule: str, **options: Any) -> Callable[[F], F]:
        return self._method_route("DELETE", rule, options)

    def patch(self, rule: str, **options: Any) -> Callable[[F], F]:
        return self._method_route("PATCH", rule, options)

    def websocket(self, rule: str, **options: Any) -> Callable[[F], F]:
        """Serves WebSocket connections at rule: with a function (``def`` or ``async
        def``) called as handler(ws, **url_args), or a class, one instance per
        connection, whose on_open/on_message/on_close are called (see kiv.websocket).
        Options: endpoint, subprotocols (those the server speaks, in any order)."""
        def decorator(handler: F) -> F:
            endpoint = options.pop("endpoint", None)
            self.add_websocket_rule(rule, endpoint, handler, **options)
            return handler
        return decorator

    def websocket_callbacks(self, rule: str, **options: Any) -> Any:
        """The three-function callback form: returns an object whose on_open,
        on_message and on_close decorate the functions (see kiv.websocket.Callbacks)."""
        from .websocket import Callbacks
        callbacks = Callbacks()
        endpoint = options.pop("endpoint", None) or rule.strip("/").replace("/", "_") or "ws"
        self.add_websocket_rule(rule, endpoint, callbacks, **options)
        return callbacks

    def add_websocket_rule(self, rule: str, endpoint: str | None = None, handler: Any = None,
                           **options: Any) -> None:
        raise NotImplementedError

    def endpoint(self, endpoint: str) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.view_functions[endpoint] = f
            return f
        return decorator

    def add_url_rule(self, rule: str, endpoint: str | None = None, view_func: F | None = None,
                     provide_automatic_options: bool | None = None, **options: Any) -> None:
        raise NotImplementedError

    @staticmethod
    def _rule_options(endpoint: str | None, view_func: F | None,
                      methods: Iterable[str] | None,
                      provide_automatic_options: bool | None) -> tuple[str, list[str], bool]:
        if endpoint is None:
            if view_func is None:
                raise TypeError("add_url_rule() needs an endpoint or a view function")
            endpoint = view_func.__name__
        if methods is None:
            methods = getattr(view_func, "methods", None) or ("GET",)
        if isinstance(methods, str):
            raise TypeError("Allowed methods must be a list of strings, for example: "
                            "@app.route(..., methods=['POST'])")
        methods = [m.upper() for m in methods]
        if provide_automatic_options is None:
            provide_automatic_options = getattr(
                view_func, "provide_automatic_options", "OPTIONS" not in methods)
        return endpoint, methods, bool(provide_automatic_options)

    def open_resource(self, resource: str, mode: str = "rb",
                      encoding: str | None = "utf-8") -> Any:
        """A file under root_path, opened for reading (a schema, a data file)."""
        if mode not in {"r", "rt", "rb"}:
            raise ValueError("Resources can only be opened for reading.")
        path = os.path.join(self.root_path, resource)
        if mode == "rb":
            return open(path, mode)
        return open(path, mode, encoding=encoding)

    def send_static_file(self, filename: str) -> Any:
        """A file of the static folder as a response, for a view that serves one itself."""
        if self.static_folder is None:
            raise RuntimeError("'static_folder' must be set to serve static_files.")
        from .files import send_from_directory
        from .globals import _current_app
        app = self if hasattr(self, "get_send_file_max_age") else _current_app()
        return send_from_directory(self.static_folder, filename,
                                   max_age=app.get_send_file_max_age(filename))

    # --- hooks ------------------------------------------------------------------

    def before_request(self, f: F) -> F:
        self.before_request_funcs.setdefault(None, []).append(ensure_sync(f))
        self._changed()
        return f

    def after_request(self, f: F) -> F:
        self.after_request_funcs.setdefault(None, []).append(ensure_sync(f))
        self._changed()
        return f

    def teardown_request(self, f: F) -> F:
        self.teardown_request_funcs.setdefault(None, []).append(ensure_sync(f))
        self._changed()
        return f

    def url_value_preprocessor(self, f: F) -> F:
        self.url_value_preprocessors.setdefault(None, []).append(f)
        self._changed()
        return f

    def url_defaults(self, f: F) -> F:
        self.url_default_functions.setdefault(None, []).append(f)
        return f

    def context_processor(self, f: F) -> F:
        self.template_context_processors.setdefault(None, []).append(f)
        return f

    def errorhandler(self, code_or_exception: int | type[BaseException]) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.register_error_handler(code_or_exception, f)
            return f
        return decorator

    def register_error_handler(self, code_or_exception: int | type[BaseException], f: F) -> None:
        exc_class, code = _exception_key(code_or_exception)
        self.error_handler_spec.setdefault(None, {}).setdefault(code, {})[exc_class] = \
            ensure_sync(f)
        self._changed()

    def _changed(self) -> None:
        """Registrations changed: an app rebuilds its server plan; a blueprint does nothing."""


def _exception_key(code_or_exception: Any) -> tuple[type, int | None]:
    if isinstance(code_or_exception, int):
        cls = default_exceptions.get(code_or_exception)
        if cls is None:
            raise ValueError(f"{code_or_exception!r} is not a recognized HTTP error code.")
        return cls, code_or_exception
    if isinstance(code_or_exception, type) and issubclass(code_or_exception, BaseException):
        if issubclass(code_or_exception, HTTPException) and \
                code_or_exception is not HTTPException:
            return code_or_exception, code_or_exception.code
        return code_or_exception, None
    if isinstance(code_or_exception, BaseException):
        raise TypeError(f"{code_or_exception!r} is an instance, not a class. Handlers can "
                        "only be registered for Exception classes or HTTP error codes.")
    raise ValueError(f"{code_or_exception!r} is not a subclass of Exception.")
