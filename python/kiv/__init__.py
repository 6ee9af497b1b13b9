"""kiv: a Python web framework on a native HTTP/1.1 core."""

from _kiv import _version as __version__

from .app import App
from .testing import TestClient, TestResponse
from .wrappers import (
    BadRequest,
    Forbidden,
    Headers,
    HTTPException,
    InternalServerError,
    MethodNotAllowed,
    MultiDict,
    NotFound,
    Request,
    Response,
    Unauthorized,
    abort,
    jsonify,
    redirect,
    request,
)

__all__ = [
    "App", "BadRequest", "Forbidden", "Headers", "HTTPException", "InternalServerError",
    "MethodNotAllowed", "MultiDict", "NotFound", "Request", "Response", "TestClient",
    "TestResponse", "Unauthorized", "__version__", "abort", "jsonify", "redirect", "request",
]
