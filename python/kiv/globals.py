"""Context-locals: `request`, `g`, `session` and `current_app` for the running thread.

The server hands each request to Python on one pool thread and runs it to the end
there, so a thread-local slot holding the request is enough; `g` and the session
live on the request object itself and cost nothing until a view touches them.
"""

from __future__ import annotations

import threading
import weakref
from typing import Any


class _Local(threading.local):
    request: Any = None  # the Request being handled
    app: Any = None  # the app of an app context pushed outside a request
    g: Any = None  # that app context's `g`
    app_ctx: Any = None  # that app context itself


_local = _Local()


def _current_request() -> Any:
    req = _local.request
    if req is None:
        raise RuntimeError(
            "Working outside of request context: no request is being handled on this thread "
            "(use app.test_request_context() to make one).")
    return req


def _current_app() -> Any:
    req = _local.request
    if req is not None:
        return req.app
    app = _local.app
    if app is None:
        raise RuntimeError(
            "Working outside of application context (use app.app_context()).")
    return app


class _Proxy:
    """Forwards attribute and item access to the object `_target` finds now."""

    __slots__ = ("_target",)

    def __init__(self, target: Any):
        object.__setattr__(self, "_target", target)

    def _get_current_object(self) -> Any:
        return self._target()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._target(), name)

    def __setattr__(self, name: str, value: Any) -> None:
        setattr(self._target(), name, value)

    def __delattr__(self, name: str) -> None:
        delattr(self._target(), name)

    def __getitem__(self, key: Any) -> Any:
        return self._target()[key]

    def __setitem__(self, key: Any, value: Any) -> None:
        self._target()[key] = value

    def __delitem__(self, key: Any) -> None:
        del self._target()[key]

    def __contains__(self, key: Any) -> bool:
        return key in self._target()

    def __iter__(self):
        return iter(self._target())

    def __len__(self) -> int:
        return len(self._target())

    def __bool__(self) -> bool:
        try:
            return bool(self._target())
        except RuntimeError:
            return False

    def __eq__(self, other: Any) -> bool:
        return self._target() == other

    def __ne__(self, other: Any) -> bool:
        return self._target() != other

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        try:
            return repr(self._target())
        except RuntimeError:
            return f"<unbound {self._target.__name__.strip('_')}>"


def _current_g() -> Any:
    req = _local.request
    if req is not None:
        return req.g
    if _local.g is None:
        raise RuntimeError("Working outside of application context (use app.app_context()).")
    return _local.g


def _current_session() -> Any:
    return _current_request().session


# During a request each proxy's object is one step from the thread's request; the
# classes below take that step in place (extensions make dozens of these accesses per
# request), and leave everything else to the target function.

class _RequestProxy(_Proxy):
    __slots__ = ()

    def _get_current_object(self) -> Any:
        req = _local.request
        return req if req is not None else _current_request()

    def __getattr__(self, name: str) -> Any:
        req = _local.request
        return getattr(req if req is not None else _current_request(), name)


class _AppProxy(_Proxy):
    __slots__ = ()

    def _get_current_object(self) -> Any:
        req = _local.request
        return req.app if req is not None else _current_app()

    def __getattr__(self, name: str) -> Any:
        req = _local.request
        return getattr(req.app if req is not None else _current_app(), name)


class _SessionProxy(_Proxy):
    __slots__ = ()

    def _get_current_object(self) -> Any:
        req = _local.request
        return req.session if req is not None else _current_session()

    def __getattr__(self, name: str) -> Any:
        req = _local.request
        return getattr(req.session if req is not None else _current_session(), name)

    def __contains__(self, key: Any) -> bool:
        req = _local.request
        return key in (req.session if req is not None else _current_session())

    def __getitem__(self, key: Any) -> Any:
        req = _local.request
        return (req.session if req is not None else _current_session())[key]


class _GProxy(_Proxy):
    __slots__ = ()

    def _get_current_object(self) -> Any:
        req = _local.request
        return req.g if req is not None else _current_g()

    def __getattr__(self, name: str) -> Any:
        req = _local.request
        return getattr(req.g if req is not None else _current_g(), name)

    def __contains__(self, key: Any) -> bool:
        req = _local.request
        return key in (req.g if req is not None else _current_g())


request: Any = _RequestProxy(_current_request)
g: Any = _GProxy(_current_g)
session: Any = _SessionProxy(_current_session)
current_app: Any = _AppProxy(_current_app)


def has_request_context() -> bool:
    return _local.request is not None


def has_app_context() -> bool:
    return _local.request is not None or _local.app is not None


class RequestState:
    """The request's context as an object (Flask's `request_ctx`, and its `app_ctx`
    during a request): the request, its app, session and g, and room for the
    per-request attributes extensions keep there. Made on first use only."""

    def __init__(self, req: Any):
        # The request holds this object (its _state): a strong reference back would make
        # every request that extensions touch this way a garbage cycle, its objects left
        # for the collector (Flask-SQLAlchemy does it on every query).
        self._request = weakref.ref(req)
        self.app = req.app

    @property
    def request(self) -> Any:
        return self._request()

    @request.setter
    def request(self, req: Any) -> None:
        self._request = weakref.ref(req)

    @property
    def session(self) -> Any:
        return self.request.session

    @property
    def g(self) -> Any:
        return self.request.g


def _request_state() -> Any:
    req = _current_request()
    try:
        return req._state
    except AttributeError:
        state = req._state = RequestState(req)
        return state


def _current_app_ctx() -> Any:
    # A request is its own app context here; outside one, the pushed AppContext.
    if _local.request is not None:
        return _request_state()
    if _local.app_ctx is None:
        raise RuntimeError("Working outside of application context (use app.app_context()).")
    return _local.app_ctx


class _AppCtxProxy(_Proxy):
    __slots__ = ()

    def _get_current_object(self) -> Any:  # Flask-SQLAlchemy asks per query
        req = _local.request
        if req is not None:
            try:
                return req._state
            except AttributeError:
                pass
        return self._target()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._get_current_object(), name)


request_ctx: Any = _AppCtxProxy(_request_state)
app_ctx: Any = _AppCtxProxy(_current_app_ctx)
