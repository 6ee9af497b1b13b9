"""ASGI applications (FastAPI, Starlette, Quart, Litestar, ...) served by kiv.

    python -m kiv run --interface asgi module:app
    kiv.asgi.serve(app, host, port, **options)
    App.mount_asgi("/api", app)      # under a kiv app's paths, root_path "/api"

How a request reaches the application is in `kiv.asgihost`.
"""

from __future__ import annotations

from typing import Any, Callable

from .app import App
from .asgihost import ASGIHost  # noqa: F401
from .serving import serve as _serve

__all__ = ["ASGIHost", "host_app", "serve"]


def host_app(application: Callable, **kwargs: Any) -> Any:
    """A kiv App whose every path goes to application (what --interface asgi serves)."""
    if isinstance(application, App):
        return application
    name = getattr(application, "__module__", None) or "kiv.asgi"
    app = App(name if isinstance(name, str) else "kiv.asgi", static_folder=None,
              template_folder=None, **kwargs)
    app.asgi_application = application
    app.mount_asgi("/", application)
    return app


def serve(application: Callable, host: str = "127.0.0.1", port: int = 8000,
          **options: Any) -> bool:
    """Serves an ASGI application until SIGTERM or Ctrl-C; options as for
    kiv.serving.serve. With workers > 1, pass app_ref="module:app" so the workers can
    import it."""
    options.setdefault("interface", "asgi")  # what worker processes load app_ref as
    return _serve(host_app(application), host, port, **options)

