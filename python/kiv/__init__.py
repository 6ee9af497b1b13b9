"""kiv: a Python web framework on a native HTTP/1.1 core."""

from _kiv import _version as __version__

from .app import App, Flask
from .blueprints import Blueprint
from .config import Config
from .ctx import after_this_request, copy_current_request_context, stream_with_context
from .exceptions import (
    BadRequest,
    Conflict,
    Forbidden,
    Gone,
    HTTPException,
    InternalServerError,
    MethodNotAllowed,
    NotFound,
    TooManyRequests,
    Unauthorized,
    UnprocessableEntity,
    abort,
)
from .files import send_file, send_from_directory
from .formparser import FileStorage, secure_filename
from .globals import current_app, g, has_app_context, has_request_context, request, session
from .helpers import (
    flash,
    get_flashed_messages,
    jsonify,
    make_response,
    redirect,
    url_for,
)
from .routing import BuildError
from .streaming import Event, event_stream
from .templating import (get_template_attribute, render_template, render_template_string,
                         stream_template, stream_template_string)
from .testing import TestClient, TestResponse
from .views import MethodView, View
from .wrappers import Headers, MultiDict, Request, Response

__all__ = [
    "App", "BadRequest", "Blueprint", "BuildError", "Config", "Conflict", "Event", "FileStorage",
    "Flask", "Forbidden", "Gone", "HTTPException", "Headers", "InternalServerError",
    "MethodNotAllowed", "MethodView",
    "MultiDict",
    "NotFound", "Request", "Response", "TestClient", "TestResponse", "TooManyRequests",
    "Unauthorized", "UnprocessableEntity", "View", "__version__", "abort", "after_this_request", "copy_current_request_context",
    "current_app", "event_stream", "flash", "g",
    "get_flashed_messages", "get_template_attribute", "has_app_context", "has_request_context", "jsonify",
    "make_response", "redirect", "render_template", "render_template_string", "request", "secure_filename", "send_file", "send_from_directory",
    "session", "stream_template", "stream_template_string", "stream_with_context", "url_for",
]

_SIGNALS = frozenset((
    "appcontext_popped", "appcontext_pushed", "appcontext_tearing_down",
    "before_render_template", "got_request_exception", "message_flashed", "request_finished",
    "request_started", "request_tearing_down", "template_rendered"))


def install_as_flask() -> None:
    """Makes `import flask` give kiv in this process (see kiv.compat)."""
    from .compat import install_as_flask
    install_as_flask()


def __getattr__(name: str):  # the signals import blinker: only for apps that use them
    if name in _SIGNALS:
        from . import signals
        return getattr(signals, name)
    raise AttributeError(f"module 'kiv' has no attribute {name!r}")
