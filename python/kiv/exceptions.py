"""HTTP exceptions: raised by views, hooks and abort(), answered with their own page.

These are Werkzeug's classes themselves, not look-alikes: code written for Flask raises
`werkzeug.exceptions.NotFound`, subclasses `BadRequest` (CSRF errors, form errors) or
catches `HTTPException`, and all of that must mean the same thing here. The step from
an exception to kiv's own response is `helpers.response_of`.
"""

from __future__ import annotations

from typing import Any

from werkzeug.exceptions import (  # noqa: F401  (the names apps import from here)
    BadGateway,
    BadRequest,
    BadRequestKeyError,
    Conflict,
    ExpectationFailed,
    FailedDependency,
    Forbidden,
    GatewayTimeout,
    Gone,
    HTTPException,
    ImATeapot,
    InternalServerError,
    LengthRequired,
    Locked,
    MethodNotAllowed,
    NotAcceptable,
    NotFound,
    PreconditionFailed,
    PreconditionRequired,
    RequestedRangeNotSatisfiable,
    RequestEntityTooLarge,
    RequestHeaderFieldsTooLarge,
    RequestTimeout,
    RequestURITooLarge,
    ServiceUnavailable,
    TooManyRequests,
    Unauthorized,
    UnavailableForLegalReasons,
    UnprocessableEntity,
    UnsupportedMediaType,
    default_exceptions,
)
from werkzeug.exceptions import NotImplemented as NotImplemented_  # noqa: F401


def abort(status: Any, *args: Any, **kwargs: Any) -> None:
    """Raises the HTTP exception for a status code; given a response, answers with it."""
    if not isinstance(status, int):
        raise HTTPException(response=status)
    cls = default_exceptions.get(status)
    if cls is None:
        exc = HTTPException(*args, **kwargs)
        exc.code = status
        raise exc
    raise cls(*args, **kwargs)
