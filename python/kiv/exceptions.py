"""HTTP exceptions: raised by views, hooks and abort(), answered with their own page.

These are Werkzeug's classes themselves, not look-alikes: code written for Flask raises
`werkzeug.exceptions.NotFound`, subclasses `BadRequest` (CSRF errors, form errors) or
catches `HTTPException`, and all of that must mean the same thing here. The step from
an exception to kiv's own response is `helpers.response_of`.
"""

from __future__ import annotations

import sys
import threading
import types
from typing import Any


def _werkzeug_without_its_package_imports() -> None:
    """Lets `werkzeug.exceptions` and `werkzeug.datastructures` load without the
    package's __init__, which imports its development server and test client (most of
    Werkzeug's import time, needed by no kiv app). The package module is registered
    unexecuted and runs its __init__ the first time a name is asked of it that a
    submodule import did not set (`werkzeug.Client`, `from werkzeug import Response`)."""
    if "werkzeug" in sys.modules:
        return
    import importlib.util
    spec = importlib.util.find_spec("werkzeug")
    if spec is None or spec.loader is None or not spec.submodule_search_locations:
        return
    module = importlib.util.module_from_spec(spec)
    module.__class__ = _PendingPackage
    sys.modules["werkzeug"] = module


class _PendingPackage(types.ModuleType):
    def __getattr__(self, name: str) -> Any:
        if name.startswith("__"):
            raise AttributeError(name)
        import importlib
        import importlib.util
        if importlib.util.find_spec(f"{self.__name__}.{name}") is not None:
            return importlib.import_module(f"{self.__name__}.{name}")  # `from .. import x`
        with _pending_lock:  # another thread asking meanwhile waits for the whole package
            if _running:  # asked by the package's own __init__ midway: not there yet
                raise AttributeError(name)
            if type(self) is _PendingPackage:
                _running.append(name)
                try:
                    self.__spec__.loader.exec_module(self)
                finally:
                    _running.clear()
                self.__class__ = types.ModuleType  # the package is itself from here on
        return getattr(self, name)


_pending_lock = threading.RLock()
_running: list[str] = []


_werkzeug_without_its_package_imports()

from werkzeug.exceptions import (  # noqa: E402, F401  (the names apps import from here)
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
