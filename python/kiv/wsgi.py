"""Running WSGI applications (Flask, Django, ...) on the native core.

Three ways in: `python -m kiv run --interface wsgi module:application`, `serve(application)`
here, and `App.mount_wsgi(prefix, application)` to host one under a prefix beside kiv views
(the hosting itself is in `kiv.wsgihost`).
"""

from __future__ import annotations

from typing import Any, Callable

from .app import App
from .serving import serve as _serve
from .wsgihost import MAX_BODY, FileWrapper, WSGIHost, call_application  # noqa: F401

__all__ = ["FileWrapper", "MAX_BODY", "WSGIHost", "call_application", "host_app", "serve"]


def host_app(application: Callable, **kwargs: Any) -> Any:
    """A kiv App whose every path goes to application (what --interface wsgi serves)."""
    if isinstance(application, App):
        return application
    name = getattr(application, "__module__", None) or "kiv.wsgi"
    app = App(name, static_folder=None, template_folder=None, **kwargs)
    app.wsgi_application = application
    app.mount_wsgi("/", application)
    return app


def serve(application: Callable, host: str = "127.0.0.1", port: int = 8000, **options: Any) -> bool:
    """Serves a WSGI application until SIGTERM or Ctrl-C; options as for kiv.serving.serve.
    With workers > 1, pass app_ref="module:application" so the workers can import it."""
    options.setdefault("interface", "wsgi")  # what worker processes load app_ref as
    return _serve(host_app(application), host, port, **options)
