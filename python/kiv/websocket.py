"""WebSocket connections: what a handler registered with ``@app.websocket(rule)`` gets.

The protocol (framing, compression, pings, close handshake, send queues) runs natively;
this module is the Python face of one connection and the code that runs handlers:

- a ``def`` handler runs on a pool thread, which it holds until it returns;
- an ``async def`` handler runs as a task of the process's event loop, holding no thread
  while it waits;
- a class is callback style: one instance per connection, whose ``on_open``,
  ``on_message`` and ``on_close`` run as short jobs (pool for ``def``, loop for
  ``async def``), so no thread is held between messages.
"""
from __future__ import annotations

import inspect
import sys
from typing import Any, Callable

import _kiv

from . import asyncsupport
from .globals import _local

__all__ = ["ConnectionClosed", "WebSocket", "AsyncWebSocket", "publish", "subscribers"]

# Close codes an application may send.
_SENDABLE = frozenset((1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011))


class ConnectionClosed(Exception):
    """The connection is closed: raised by receive() once every message that arrived
    has been taken, and by send() after the close. ``code`` is the peer's close code
    (1005 when its close frame had none, 1006 when the connection broke without one),
    or ours when we closed first and the connection ended."""

    def __init__(self, code: int = 1006, reason: str = ""):
        super().__init__(code, reason)
        self.code = code
        self.reason = reason

    def __str__(self) -> str:
        return f"WebSocket closed with code {self.code}" + (f": {self.reason}"
                                                            if self.reason else "")


class _Done:
    """What send() returns: nothing to wait for, but awaiting it is harmless, so
    ``await ws.send(x)`` works as well as ``ws.send(x)``."""

    __slots__ = ()

    def __await__(self) -> Any:
        return iter(())


_DONE = _Done()


class WebSocket:
    """One connection. send() never blocks: messages wait in the connection's bounded
    queue (past 1 MiB or 1024 messages the connection closes with 1008)."""

    __slots__ = ("_c", "_code", "subprotocol")

    def __init__(self, conn: Any, subprotocol: str | None = None):
        self._c = conn
        self._code = 1000  # ours, once we asked to close
        self.subprotocol = subprotocol

    @property
    def offered_subprotocols(self) -> list[str]:
        return self._c.offered()

    def send(self, message: str | bytes) -> _Done:
        """Queues a text (str) or binary (bytes-like) message."""
        r = self._c.send(message)  # TypeError for anything else
        if r:
            raise ConnectionClosed(1008 if r == 2 else self._code,
                                   "send queue full" if r == 2 else "")
        return _DONE

    def close(self, code: int = 1000, reason: str = "") -> None:
        """Closes after every message already sent. Later calls do nothing."""
        if code not in _SENDABLE and not 3000 <= code <= 4999:
            raise ValueError(f"{code} is not a close code an application may send")
        self._code = code
        self._c.close(code, reason)

    def subscribe(self, topic: str) -> None:
        """Messages published to topic (App.publish) come to this connection."""
        self._c.subscribe(topic)

    def unsubscribe(self, topic: str) -> None:
        self._c.unsubscribe(topic)

    def receive(self, timeout: float | None = None) -> str | bytes | None:
        """The next message (str for text, bytes for binary), or None when timeout
        seconds pass first. Raises ConnectionClosed once the connection is closed."""
        m = self._c.receive(timeout)
        if m.__class__ is tuple:
            raise ConnectionClosed(*m)
        return m

    def __iter__(self) -> Any:
        """Messages until the connection closes."""
        try:
            while True:
                yield self.receive()
        except ConnectionClosed:
            return


class AsyncWebSocket(WebSocket):
    """The connection of an ``async def`` handler: ``await ws.receive()``."""

    __slots__ = ()

    async def receive(self, timeout: float | None = None) -> str | bytes | None:  # type: ignore[override]
        # What is there already, or a future the server sets to what comes next.
        m = self._c.next(asyncsupport._running)
        cls = m.__class__
        if cls is not str and cls is not bytes:
            if cls is tuple:
                raise ConnectionClosed(*m)
            if timeout is None:
                m = await m
            else:
                import asyncio
                try:
                    m = await asyncio.wait_for(m, timeout)
                except asyncio.TimeoutError:
                    # The future is cancelled: a message that came meanwhile stays.
                    m = self._c.poll()
                    if m is None:
                        return None
            if m.__class__ is tuple:
                raise ConnectionClosed(*m)
        return m

    async def __aiter__(self) -> Any:  # type: ignore[override]
        try:
            while True:
                yield await self.receive()
        except ConnectionClosed:
            return


def publish(topic: str, message: str | bytes) -> int:
    """Sends message (str: text, bytes: binary) to every connection of this process
    subscribed to topic, framed once; returns how many it was queued for. Any thread."""
    if not isinstance(message, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"a WebSocket message is str or bytes, not {type(message).__name__}")
    return _kiv.ws_publish(topic, message)


def subscribers(topic: str) -> int:
    """How many connections of this process are subscribed to topic."""
    return _kiv.ws_subscribers(topic)


# --- running handlers ------------------------------------------------------------------

def _is_async(f: Any) -> bool:
    return inspect.iscoroutinefunction(f)


# The session limits a route may set, each over the config key of the same name.
LIMITS = {"max_message_size": "WEBSOCKET_MAX_MESSAGE_SIZE",
          "max_queue_size": "WEBSOCKET_MAX_QUEUE_SIZE",
          "ping_interval": "WEBSOCKET_PING_INTERVAL",
          "idle_timeout": "WEBSOCKET_IDLE_TIMEOUT"}


class Route:
    """The native view of a WebSocket rule: the handler and how it runs."""

    __slots__ = ("handler", "subprotocols", "endpoint", "limits")

    def __init__(self, handler: Any, endpoint: str, subprotocols: Any = None,
                 limits: dict | None = None):
        self.handler = handler
        self.endpoint = endpoint
        self.subprotocols = tuple(subprotocols or ())
        self.limits = limits or {}  # those the route sets

    def session_limits(self, config: Any) -> tuple:
        """The limits of a connection, as conn.accept() takes them (None: the default;
        a time of 0: none)."""
        own = self.limits
        size, queue, ping, idle = (own[k] if k in own else config.get(key)
                                   for k, key in LIMITS.items())
        return size, queue, ping or 0, idle or 0

    @property
    def kind(self) -> str:
        # Looked at per connection: the three-function form gets its functions after
        # the rule is registered.
        handler = self.handler
        if isinstance(handler, Callbacks):
            handler = handler()
        if isinstance(handler, (type, _Target)):
            methods = [getattr(handler, n, None) for n in ("on_open", "on_message", "on_close")]
            return "async-callbacks" if any(_is_async(m) for m in methods if m) else "callbacks"
        return "async" if _is_async(handler) else "sync"

    @property
    def is_async(self) -> bool:
        return self.kind.startswith("async")

    def choose(self, offered: list[str]) -> str | None:
        for p in offered:
            if p in self.subprotocols:
                return p
        return None


class Callbacks:
    """The three-function form of callback style::

        chat = app.websocket_callbacks("/chat")

        @chat.on_open
        def joined(ws): ...

        @chat.on_message
        def said(ws, message): ...

        @chat.on_close
        def left(ws, code, reason): ...

    Each function may be ``async def``; any left out does nothing. Calling the object
    (as the server does, once per connection) gives the object itself: the functions
    are shared by every connection."""

    def __init__(self) -> None:
        self._open: Callable[..., Any] | None = None
        self._message: Callable[..., Any] | None = None
        self._close: Callable[..., Any] | None = None

    def __call__(self) -> Any:
        target = _Target()
        for name in ("on_open", "on_message", "on_close"):
            f = getattr(self, "_" + name[3:])
            if f is not None:
                setattr(target, name, f)
        return target

    def on_open(self, f: Callable[..., Any]) -> Callable[..., Any]:
        self._open = f
        return f

    def on_message(self, f: Callable[..., Any]) -> Callable[..., Any]:
        self._message = f
        return f

    def on_close(self, f: Callable[..., Any]) -> Callable[..., Any]:
        self._close = f
        return f



class _Target:
    """The set functions of a Callbacks, as methods are of a class's instance."""


# --- the request around a connection -------------------------------------------------
#
# A connection's request lives as long as a view's would if the view served the
# connection, as with a WebSocket extension on Flask: the before_request functions decide
# the upgrade; when the handler ends (in callback style: at the close) the after_request
# functions get an empty response (the 101 went out long before, so what they change
# goes nowhere, though a server-side session is saved), then every teardown function runs
# with the exception that ended the handler, unless an error handler took it. Database
# sessions an extension returns in teardown are returned per connection.


# The header by which the test client's connections are known, so that a handler's
# exception can be raised in the test (TESTING or PROPAGATE_EXCEPTIONS) as a view's is.
TEST_HEADER = "X-Kiv-Test-Connection"


def _to_test(app: Any, req: Any, e: BaseException) -> bool:
    """Whether e goes to the test that opened this connection (nothing is logged)."""
    sinks = app.__dict__.get("_ws_test_sinks")
    if not sinks or not app._propagates():
        return False
    sink = sinks.get(req.headers.get(TEST_HEADER))
    if sink is None:
        return False
    sink.append(e)
    return True


def _failed(app: Any, req: Any, e: Exception) -> tuple[Any, BaseException | None]:
    """e, raised while serving req, handled as a view's exception: (the answer, the
    exception teardown functions see)."""
    try:
        return app._handle_user_exception(req, e), None
    except Exception as unhandled:  # noqa: BLE001
        if _to_test(app, req, unhandled):
            return ("Internal Server Error", 500), unhandled
        try:
            return app._handle_exception(req, unhandled), unhandled
        except Exception:  # noqa: BLE001  (debug mode re-raises: there is no page to show)
            app.logger.exception("WebSocket %s failed", req.path)
            return ("Internal Server Error", 500), unhandled


async def _failed_async(app: Any, req: Any, e: Exception) -> tuple[Any, BaseException | None]:
    try:
        return await app._handle_user_exception_async(req, e), None
    except Exception as unhandled:  # noqa: BLE001
        if _to_test(app, req, unhandled):
            return ("Internal Server Error", 500), unhandled
        try:
            return await app._handle_exception_async(req, unhandled), unhandled
        except Exception:  # noqa: BLE001
            app.logger.exception("WebSocket %s failed", req.path)
            return ("Internal Server Error", 500), unhandled


def _signals(app: Any) -> Any:
    """kiv.signals while the app's request signals have receivers (sent around a
    connection's request as around a view's), else None."""
    s = sys.modules.get("kiv.signals")
    return s if s is not None and s.request_signals_live(app) else None


def _afters(app: Any, req: Any) -> tuple:
    afters = app._hooks(req)[2]
    return afters if req._after is None else (*req._after, *afters)


def _log_hook_failure(app: Any, req: Any) -> None:
    app.logger.exception("A request hook failed after the WebSocket %s", req.path)


def finish(app: Any, req: Any, rv: Any, error: BaseException | None) -> Any:
    """The after_request functions on rv (None: the handler ended well), then every
    teardown function with error. Returns the answer, which refuses an upgrade that
    was not accepted. A failing hook is logged and the others still run: there is no
    client left to tell, and a skipped teardown would leak what it returns."""
    _local.request = req
    s = _signals(app)
    try:
        try:
            # "": the empty 200 response, made only when a hook is to see it.
            rv = app._finalize(req, "" if rv is None else rv, _afters(app, req))
            if s is not None:
                s.send(s.request_finished, app, response=app.make_response(rv))
        except Exception as e:  # noqa: BLE001
            _log_hook_failure(app, req)
            rv, error = ("Internal Server Error", 500), error or e
        for f in app._hooks(req)[3]:
            try:
                f(error)
            except Exception:  # noqa: BLE001
                _log_hook_failure(app, req)
        if s is not None:
            s.send(s.request_tearing_down, app, exc=error)
            s.send(s.appcontext_tearing_down, app, exc=error)
            s.send(s.appcontext_popped, app)
        return rv
    finally:
        _local.request = None


async def finish_async(app: Any, req: Any, rv: Any, error: BaseException | None) -> None:
    """finish() on the event loop, awaiting async hooks (run under with_request)."""
    s = _signals(app)
    try:
        rv = await app._finalize_async(req, "" if rv is None else rv, _afters(app, req))
        if s is not None:
            await s.send_async(s.request_finished, app, response=app.make_response(rv))
    except Exception as e:  # noqa: BLE001
        _log_hook_failure(app, req)
        error = error or e
    for f in app._hooks(req)[3]:
        try:
            inner = getattr(f, "_kiv_async", None)
            if inner is None:
                f(error)
            else:
                await inner(error)
        except Exception:  # noqa: BLE001
            _log_hook_failure(app, req)
    if s is not None:
        await s.send_async(s.request_tearing_down, app, exc=error)
        await s.send_async(s.appcontext_tearing_down, app, exc=error)
        await s.send_async(s.appcontext_popped, app)


def admit(app: Any, req: Any, args: dict) -> Any:
    """The trusted-host check, URL value preprocessors and before_request functions of
    an upgrade request: None lets the connection in; anything else is the answer that
    refuses it, already through after_request and teardown as a view's answer is."""
    _local.request = req
    rv = error = None
    try:
        s = _signals(app)
        if s is not None:
            s.send(s.appcontext_pushed, app)
            s.send(s.request_started, app)
        if app._request_checks:
            app._check_host(req)
        preprocessors, befores, _, _ = app._hooks(req)
        for f in preprocessors:
            f(req.endpoint, args)
        for f in befores:
            rv = f()
            if rv is not None:
                break
        else:
            return None
    except Exception as e:  # noqa: BLE001
        rv, error = _failed(app, req, e)
    finally:
        _local.request = None
    return finish(app, req, rv, error)


def accept(app: Any, req: Any, route: Route, conn: Any, subprotocol: str | None) -> Any:
    """Accepts with the route's limits: None, or the 500 answer when they are not
    valid (they come from the config, read now)."""
    try:
        conn.accept(subprotocol, None, route.session_limits(app.config))
        return None
    except Exception as e:  # noqa: BLE001
        _local.request = req
        try:
            rv, error = _failed(app, req, e)
        finally:
            _local.request = None
        return finish(app, req, rv, error)


def run_sync(app: Any, req: Any, route: Route, ws: WebSocket, args: dict) -> None:
    """A plain function: serves the connection on this pool thread, to its end."""
    rv = error = None
    _local.request = req
    try:
        route.handler(ws, **args)
    except ConnectionClosed:
        pass
    except Exception as e:  # noqa: BLE001  (handled as a view's; the client learns 1011)
        rv, error = _failed(app, req, e)
        ws._c.close(1011, "internal error")
    except BaseException as e:
        error = e
        raise
    else:
        ws._c.close(1000, "")
    finally:
        finish(app, req, rv, error)


async def run_async(app: Any, req: Any, route: Route, ws: AsyncWebSocket, args: dict) -> None:
    """An async function, as a task of the loop; run under with_request(..., req)."""
    rv = error = None
    try:
        await route.handler(ws, **args)
    except ConnectionClosed:
        pass
    except Exception as e:  # noqa: BLE001
        rv, error = await _failed_async(app, req, e)
        ws._c.close(1011, "internal error")
    except BaseException as e:  # cancelled: the loop is going away
        ws._c.close(1001, "")
        error = e
        raise
    else:
        ws._c.close(1000, "")
    finally:
        await finish_async(app, req, rv, error)


def start_callbacks(app: Any, req: Any, route: Route, ws: WebSocket) -> None:
    """Sync callbacks: on_open here, then the server calls on_message and on_close in
    pool jobs (many connections' messages to one job when they come together), with
    the request set, and hands what they raise to failed(); after_request and teardown
    run once the close has been delivered."""
    target = route.handler()
    on_open = getattr(target, "on_open", None)
    on_message = getattr(target, "on_message", None)
    on_close = getattr(target, "on_close", None)
    outcome: list = [None, None]  # the first failure's (answer, error)
    failures = 0

    def failed(e: BaseException) -> bool:
        """What a callback raised: True when later messages are to be dropped."""
        nonlocal failures
        if isinstance(e, ConnectionClosed):
            return False
        if not isinstance(e, Exception):
            raise e
        failures += 1
        if failures == 1:
            outcome[:] = _failed(app, req, e)
        ws._c.close(1011, "internal error")
        return True

    def closed(ws: WebSocket, code: int, reason: str) -> None:
        try:
            if on_close is not None:
                try:
                    on_close(ws, code, reason)
                except BaseException as e:  # noqa: BLE001  (as the server does for the others)
                    failed(e)
        finally:
            finish(app, req, *outcome)

    if on_open is not None:
        _local.request = req
        try:
            on_open(ws)
        except BaseException as e:  # noqa: BLE001  (as the server does for the others)
            if failed(e):
                on_message = None
        finally:
            _local.request = None
    ws._c.start_callbacks(ws, on_message, closed, failed, _local, req)


async def run_callbacks(app: Any, req: Any, route: Route, ws: AsyncWebSocket) -> None:
    """Callbacks of which some are coroutines: one task (run under with_request), no
    thread between messages."""
    target = route.handler()
    outcome: list = [None, None]  # the first failure's (answer, error)
    failed = False

    async def call(name: str, *a: Any) -> bool:
        nonlocal failed
        f = getattr(target, name, None)
        if f is None:
            return True
        try:
            if _is_async(f):
                await f(ws, *a)
            else:
                f(ws, *a)
        except ConnectionClosed:
            pass
        except Exception as e:  # noqa: BLE001
            if not failed:
                failed = True
                outcome[:] = await _failed_async(app, req, e)
            ws._c.close(1011, "internal error")
            return False
        return True

    try:
        ok = await call("on_open")
        while True:
            try:
                m = await ws.receive()
            except ConnectionClosed as e:
                await call("on_close", e.code, e.reason)
                return
            if ok:
                ok = await call("on_message", m)
    finally:
        await finish_async(app, req, *outcome)
