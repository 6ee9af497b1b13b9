"""Class-based views: View.as_view() makes a view function; MethodView routes by method."""

from __future__ import annotations

from typing import Any, Callable

from .asyncsupport import ensure_sync, is_async, run_coroutine
from .globals import _current_request

_HTTP_METHODS = ("get", "post", "head", "options", "delete", "put", "trace", "patch")


class View:
    methods: list[str] | None = None
    provide_automatic_options: bool | None = None
    decorators: list[Callable[..., Any]] = []
    init_every_request = True

    def dispatch_request(self, **kwargs: Any) -> Any:
        raise NotImplementedError()

    @classmethod
    def as_view(cls, name: str, *class_args: Any, **class_kwargs: Any) -> Callable[..., Any]:
        # An `async def dispatch_request` runs on the process's loop, as async views do.
        if cls.init_every_request and is_async(cls.dispatch_request):
            def view(**kwargs: Any) -> Any:
                self = view.view_class(*class_args, **class_kwargs)
                return run_coroutine(self.dispatch_request(**kwargs))
        elif cls.init_every_request:
            def view(**kwargs: Any) -> Any:
                return view.view_class(*class_args, **class_kwargs).dispatch_request(**kwargs)
        else:
            instance = cls(*class_args, **class_kwargs)
            dispatch = ensure_sync(instance.dispatch_request)

            def view(**kwargs: Any) -> Any:
                return dispatch(**kwargs)
        for decorator in cls.decorators:
            view = decorator(view)
        view.view_class = cls  # type: ignore[attr-defined]
        view.__name__ = name
        view.__doc__ = cls.__doc__
        view.__module__ = cls.__module__
        view.methods = cls.methods  # type: ignore[attr-defined]
        if cls.provide_automatic_options is not None:
            view.provide_automatic_options = cls.provide_automatic_options  # type: ignore
        return view


class MethodView(View):
    """Calls the method named after the request's HTTP method (get, post, ...)."""

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "methods" not in cls.__dict__:
            methods = {m.upper() for m in _HTTP_METHODS if hasattr(cls, m)}
            for base in cls.__bases__:
                methods.update(getattr(base, "methods", None) or ())
            cls.methods = sorted(methods) or None

    def dispatch_request(self, **kwargs: Any) -> Any:
        method = _current_request().method.lower()
        handler = getattr(self, method, None)
        if handler is None and method == "head":
            handler = getattr(self, "get", None)
        if handler is None:
            raise AssertionError(f"Unimplemented method {method.upper()!r}")
        return ensure_sync(handler)(**kwargs)  # an async method runs on the process's loop
