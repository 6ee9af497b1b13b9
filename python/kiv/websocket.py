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


class Route:
    """The native view of a WebSocket rule: the handler and how it runs."""

    __slots__ = ("handler", "subprotocols", "endpoint")

    def __init__(self, handler: Any, endpoint: str, subprotocols: Any = None):
        self.handler = handler
        self.endpoint = endpoint
        self.subprotocols = tuple(subprotocols or ())

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


def run_sync(app: Any, req: Any, route: Route, ws: WebSocket, args: dict) -> None:
    """A plain function: serves the connection on this pool thread, to its end."""
    _local.request = req
    try:
        route.handler(ws, **args)
    except ConnectionClosed:
        return
    except Exception:  # noqa: BLE001  (logged; the client learns through 1011)
        app.logger.exception("WebSocket handler %s failed", route.endpoint)
        ws._c.close(1011, "internal error")
        return
    finally:
        _local.request = None
    ws._c.close(1000, "")


async def run_async(app: Any, req: Any, route: Route, ws: AsyncWebSocket, args: dict) -> None:
    from .asyncsupport import with_request
    try:
        await with_request(route.handler(ws, **args), req)
    except ConnectionClosed:
        return
    except Exception:  # noqa: BLE001
        app.logger.exception("WebSocket handler %s failed", route.endpoint)
        ws._c.close(1011, "internal error")
        return
    ws._c.close(1000, "")


def start_callbacks(app: Any, req: Any, route: Route, ws: WebSocket) -> None:
    """Sync callbacks: on_open here, then the server calls on_message and on_close in
    pool jobs (many connections' messages to one job when they come together), with
    the request set, and hands what they raise to failed()."""
    target = route.handler()
    on_open = getattr(target, "on_open", None)
    on_message = getattr(target, "on_message", None)
    on_close = getattr(target, "on_close", None)

    def failed(e: BaseException) -> bool:
        """What a callback raised: True when later messages are to be dropped."""
        if isinstance(e, ConnectionClosed):
            return False
        if not isinstance(e, Exception):
            raise e
        app.logger.error("WebSocket handler %s failed", route.endpoint, exc_info=e)
        ws._c.close(1011, "internal error")
        return True

    if on_open is not None:
        _local.request = req
        try:
            on_open(ws)
        except BaseException as e:  # noqa: BLE001  (as the server does for the others)
            if failed(e):
                on_message = None
        finally:
            _local.request = None
    ws._c.start_callbacks(ws, on_message, on_close, failed, _local, req)


async def run_callbacks(app: Any, req: Any, route: Route, ws: AsyncWebSocket) -> None:
    """Callbacks of which some are coroutines: one task, no thread between messages."""
    from .asyncsupport import with_request
    target = route.handler()

    async def call(name: str, *a: Any) -> bool:
        f = getattr(target, name, None)
        if f is None:
            return True
        try:
            if _is_async(f):
                await with_request(f(ws, *a), req)
            else:
                _local.request = req
                try:
                    f(ws, *a)
                finally:
                    _local.request = None
        except ConnectionClosed:
            pass
        except Exception:  # noqa: BLE001
            app.logger.exception("WebSocket handler %s failed", route.endpoint)
            ws._c.close(1011, "internal error")
            return False
        return True

    ok = await call("on_open")
    while True:
        try:
            m = await ws.receive()
        except ConnectionClosed as e:
            await call("on_close", e.code, e.reason)
            return
        if ok:
            ok = await call("on_message", m)
