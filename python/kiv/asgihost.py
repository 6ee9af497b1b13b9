"""An ASGI application inside a kiv app: `App.mount_asgi(prefix, application)` and what
`kiv.asgi` serves.

Every request under a mount runs on the process's event loop: the core queues it for the
loop's thread, `ASGIHost.__call__` builds the scope there and runs the application's
first step at once; no thread waits for it. A response whose first body message has
`more_body` is streamed: each later `send` of a body waits until the connection has taken
the piece before (so a slow client slows the application down, memory stays at one
piece), and raises OSError once the client is gone. Lifespan startup runs before the
server accepts connections (a failure stops it with the application's message) and
shutdown after it drained.

A body that arrived whole with its head is cut into `http.request` messages at once; a
larger one is read from the connection as the application calls `receive()`, each piece
on a worker thread (the read waits for the client, and the loop must not), one piece
ahead at most.
"""

from __future__ import annotations

import asyncio
from typing import Any, Callable

from .asyncsupport import event_loop, new_task, run_now

__all__ = ["ASGIHost"]

_ASGI = {"version": "3.0", "spec_version": "2.4"}
_CHUNK = 64 * 1024  # a body bigger than this reaches the app in several messages


def _body_events(body: bytes) -> list[dict]:
    """The `http.request` messages of a body too big for one, last first (for pop())."""
    view = memoryview(body)
    events = [{"type": "http.request", "body": bytes(view[i:i + _CHUNK]),
               "more_body": i + _CHUNK < len(body)} for i in range(0, len(body), _CHUNK)]
    events.reverse()
    return events


class _Pieces:
    """A streamed request body, read piece by piece for `receive()`."""

    __slots__ = ("reader", "ended")

    def __init__(self, reader: Any):
        self.reader = reader
        self.ended = False


async def _next_piece(pieces: _Pieces) -> dict:
    data = await asyncio.get_running_loop().run_in_executor(None, pieces.reader.read1, _CHUNK)
    if data.__class__ is int:  # the client left, or its body broke off or ran over a limit
        pieces.ended = True
        return {"type": "http.disconnect"}
    if not data:
        pieces.ended = True
    return {"type": "http.request", "body": data, "more_body": bool(data)}


def _host_port(value: bytes) -> tuple[str, int]:
    """The scope's `server` from a Host header: remembered, as a server sees few."""
    found = _hosts.get(value)
    if found is None:
        host = value.decode("latin-1")
        name_part, colon, port = host.rpartition(":")
        if colon and port.isdigit() and not name_part.endswith(":"):
            found = name_part.strip("[]"), int(port)
        else:
            found = host.strip("[]"), 80
        if len(_hosts) >= 256:  # a client sending many names must not grow it for good
            _hosts.clear()
        _hosts[value] = found
    return found


_hosts: dict[bytes, tuple[str, int]] = {}


_PROXY_HEADERS = (b"x-forwarded-for", b"x-forwarded-proto")


class _Exchange:
    """One request's receive and send, and where its application's coroutine ends."""

    __slots__ = ("body", "done", "status", "headers", "stream", "finished", "ended")

    def __init__(self, body: Any, done: Any):
        # What receive() hands over next: the whole body (bytes, at most one message's
        # worth), the messages of a bigger one (a list), a reader of a body still
        # arriving (_Pieces), or None once it was all given.
        if body.__class__ is not bytes:
            body = _Pieces(body)
        elif len(body) > _CHUNK:
            body = _body_events(body)
        self.body = body
        self.done = done
        self.status = 0
        self.headers: list | None = None
        self.stream: Any = None
        self.finished = False  # the whole response was given
        self.ended: asyncio.Future | None = None  # for receive() after the body

    def _end(self) -> None:
        self.finished = True
        if self.ended is not None and not self.ended.done():
            self.ended.set_result(None)

    async def receive(self) -> dict:
        body = self.body
        if body is not None:
            cls = body.__class__
            if cls is bytes:
                self.body = None
                return {"type": "http.request", "body": body, "more_body": False}
            if cls is list:
                event = body.pop()
                if not body:
                    self.body = None
                return event
            if not body.ended:  # a body still arriving
                return await _next_piece(body)
        if not self.finished and not (self.stream is not None and self.stream.closed):
            if self.ended is None:
                self.ended = asyncio.get_running_loop().create_future()
            await self.ended
        return {"type": "http.disconnect"}

    async def send(self, message: dict) -> None:
        kind = message["type"]
        if kind == "http.response.body":
            if self.headers is None:
                raise RuntimeError("http.response.body before http.response.start")
            if self.finished:
                return
            body = message.get("body", b"")
            if body.__class__ is not bytes:
                body = bytes(body)
            more = message.get("more_body", False)
            if self.stream is None:
                if not more:  # the usual answer: all of it at once
                    self.finished = True
                    if self.ended is not None and not self.ended.done():
                        self.ended.set_result(None)
                    self.done.whole(self.status, self.headers, body)
                    return
                self.stream = self.done.stream(self.status, self.headers)
                self.stream.on_close(self._closed)
            await self._put(body, bool(more))
        elif kind == "http.response.start":
            if self.headers is not None:
                raise RuntimeError("http.response.start was sent twice")
            self.status = int(message["status"])
            # Sent as they are (the core checks them); a list of its own, as the
            # application may reuse its own.
            self.headers = list(message.get("headers", ()))
        elif kind != "http.response.trailers":  # trailers: not sent, the client must ask
            raise RuntimeError(f"unexpected ASGI message {kind!r}")

    async def _put(self, body: bytes, more: bool) -> None:
        """One piece of a streamed response."""
        if self.stream.closed:
            if not body:  # the end, after the connection sent an announced length
                self._end()
                return
            raise OSError("the client disconnected")
        if body or not more:
            taken = asyncio.get_running_loop().create_future()
            if self.stream.put(body, more, taken.set_result):
                await taken  # the connection took it (or left: the next send says so)
        if not more:
            self._end()

    def _closed(self, _: Any = None) -> None:
        if self.ended is not None and not self.ended.done():
            self.ended.set_result(None)

    async def run(self, coro: Any) -> None:
        """Runs the application's coroutine (as a task of the loop) to its outcome."""
        try:
            await coro
        except BaseException as e:  # noqa: BLE001  (answered, or the connection cut)
            self.outcome(None, e)
        else:
            if self.headers is not None and self.stream is None and self.finished:
                return  # answered in one piece: nothing left to do
            self.outcome()

    def outcome(self, value: Any = None, error: BaseException | None = None) -> None:
        """Where the application's coroutine ends."""
        if error is not None:
            if self.stream is None and not self.finished:
                self.done(None, error)  # answered as a view's failure: 500, traceback
            else:
                if not self.finished:
                    self.stream.fail()
                import traceback
                traceback.print_exception(type(error), error, error.__traceback__)
        elif self.stream is not None and not self.finished:
            self.stream.fail()  # returned in the middle of its body
        elif self.headers is None:
            self.done(None, RuntimeError("the ASGI application returned without a response"))
        self._end()


class ASGIHost:
    """An ASGI application mounted at a prefix ("" for the root) of a kiv app. The core
    calls it on the event loop's thread for every request under the prefix."""

    __slots__ = ("application", "prefix", "app", "state", "_shutdown")

    def __init__(self, application: Callable, prefix: str = "", app: Any = None):
        self.application = application
        self.prefix = prefix
        self.app = app
        self.state: dict = {}
        self._shutdown: Any = None

    def __call__(self, method: str, path: bytes, raw_path: bytes, query: bytes, headers: list,
                 body: Any, client: tuple, http_version: str, done: Any,
                 host: bytes | None = None, proxied: bool = False) -> None:
        """headers: (name, value) pairs of bytes, names lowercased; host: the first Host
        header's value; proxied: whether proxy headers came (the core finds both)."""
        scheme = "http"
        if proxied and self.app is not None:
            addr, scheme = self._forwarded(headers, client[0])
            client = (addr, client[1])
        state = self.state
        exchange = _Exchange(body, done)
        run_now(exchange.run(self.application({
            "type": "http", "asgi": _ASGI, "http_version": http_version, "method": method,
            "scheme": scheme, "path": path.decode("utf-8", "replace"), "raw_path": raw_path,
            "query_string": query, "root_path": self.prefix, "headers": headers,
            "client": client, "server": None if host is None else _host_port(host),
            "state": state.copy() if state else {},
        }, exchange.receive, exchange.send)), None)

    def websocket(self, path: bytes, raw_path: bytes, query: bytes, headers: list,
                  client: tuple, conn: Any) -> None:
        """An upgrade request under the prefix (called on a pool thread): the
        application runs on the loop with a websocket scope; its websocket.accept
        accepts (with its subprotocol and headers), a close before it (or an end
        without it) refuses with 403, websocket.http.response.* with that response."""
        scheme = "ws"
        if self.app is not None and any(k in _PROXY_HEADERS for k, _ in headers):
            addr, proto = self._forwarded(headers, client[0])
            client, scheme = (addr, client[1]), "wss" if proto == "https" else "ws"
        scope = {
            "type": "websocket", "asgi": _ASGI, "http_version": "1.1", "scheme": scheme,
            "path": path.decode("utf-8", "replace"), "raw_path": raw_path,
            "query_string": query, "root_path": self.prefix, "headers": headers,
            "client": client, "server": next((_host_port(v) for k, v in headers if k == b"host"),
                                             None),
            "subprotocols": conn.offered(),
            "state": dict(self.state),
            "extensions": {"websocket.http.response": {}},
        }
        event_loop().call_soon_threadsafe(new_task, _serve_websocket(self.application, scope,
                                                                     conn))

    def _forwarded(self, headers: list, peer: str) -> tuple[str, str]:
        # The proxy trust rules of kiv's own requests, through a request of the app's class.
        pairs = [(k.decode("latin-1"), v.decode("latin-1")) for k, v in headers
                 if k in (b"x-forwarded-for", b"x-forwarded-proto")]
        req = self.app._make_request("GET", "/", "", [], pairs, b"", peer, None, {}, None, None)
        addr, scheme, _ = req._forwarded_values()
        return addr, scheme

    # --- lifespan -------------------------------------------------------------------

    def startup(self, timeout: float = 60) -> None:
        """Runs the application's lifespan startup on the loop and waits for it. Raises
        RuntimeError with the application's message when it reports a failure."""
        failure = asyncio.run_coroutine_threadsafe(self._startup(), event_loop()).result(timeout)
        if failure is not None:
            raise RuntimeError(f"ASGI lifespan startup failed: {failure}")

    def shutdown(self, timeout: float = 60) -> None:
        if self._shutdown is not None:
            asyncio.run_coroutine_threadsafe(self._shutdown(), event_loop()).result(timeout)
            self._shutdown = None

    async def _startup(self) -> str | None:
        inbox: asyncio.Queue = asyncio.Queue()
        startup_done: asyncio.Future = asyncio.get_running_loop().create_future()
        shutdown_done: asyncio.Future = asyncio.get_running_loop().create_future()

        async def send(message: dict) -> None:
            kind = message["type"]
            if kind in ("lifespan.startup.complete", "lifespan.startup.failed"):
                if not startup_done.done():
                    startup_done.set_result(message.get("message", "") or kind
                                            if kind.endswith("failed") else None)
            elif kind in ("lifespan.shutdown.complete", "lifespan.shutdown.failed"):
                if not shutdown_done.done():
                    shutdown_done.set_result(None)

        scope = {"type": "lifespan", "asgi": _ASGI, "state": self.state}
        await inbox.put({"type": "lifespan.startup"})
        task = asyncio.get_running_loop().create_task(
            self.application(scope, inbox.get, send))
        await asyncio.wait([task, startup_done], return_when=asyncio.FIRST_COMPLETED)
        if not startup_done.done():
            # Ended (or raised) before answering: an application without lifespan
            # support, which is served without lifespan events.
            if not task.cancelled():
                task.exception()  # retrieved: not worth a warning
            return None

        async def shutdown() -> None:
            await inbox.put({"type": "lifespan.shutdown"})
            await asyncio.wait([task, shutdown_done], return_when=asyncio.FIRST_COMPLETED)

        self._shutdown = shutdown
        return startup_done.result()


def _str_pairs(headers: Any) -> list[tuple[str, str]]:
    """ASGI header pairs (bytes) as the core takes them."""
    return [(bytes(k).decode("latin-1"), bytes(v).decode("latin-1")) for k, v in headers]


async def _serve_websocket(application: Callable, scope: dict, conn: Any) -> None:
    """One upgrade request as a websocket scope. Before the accept the application may
    instead close (a 403) or answer with HTTP (websocket.http.response.*, the denial
    extension); a connection that never opened reports a disconnect with 1006."""
    from .websocket import AsyncWebSocket, ConnectionClosed
    ws = AsyncWebSocket(conn)
    # "new" until websocket.connect was given, then "connecting"; then "accepted", or
    # "denying" while an HTTP answer is given and "refused" once it or a 403 was.
    state = "new"
    denial: list = []  # status, headers, body pieces

    async def receive() -> dict:
        nonlocal state
        if state == "new":
            state = "connecting"
            return {"type": "websocket.connect"}
        if state in ("denying", "refused"):
            return {"type": "websocket.disconnect", "code": 1006, "reason": ""}
        try:
            m = await ws.receive()
        except ConnectionClosed as e:
            return {"type": "websocket.disconnect", "code": e.code, "reason": e.reason}
        if isinstance(m, str):
            return {"type": "websocket.receive", "text": m, "bytes": None}
        return {"type": "websocket.receive", "bytes": m, "text": None}

    async def send(message: dict) -> None:
        nonlocal state
        kind = message["type"]
        opening = state in ("new", "connecting")
        if kind == "websocket.send":
            if state != "accepted":
                raise RuntimeError("websocket.send before websocket.accept")
            data = message.get("bytes")
            if data is None:
                data = message.get("text", "")
            if conn.send(data):
                raise OSError("the WebSocket is closed")
        elif kind == "websocket.close":
            if state == "accepted":
                conn.close(message.get("code", 1000), message.get("reason") or "")
            elif opening:
                conn.refuse(403)
                state = "refused"
        elif kind not in ("websocket.accept", "websocket.http.response.start",
                          "websocket.http.response.body"):
            raise ValueError(f"unexpected ASGI message {kind!r} on a websocket scope")
        elif kind == "websocket.http.response.body":
            if state != "denying":
                raise RuntimeError(f"{kind} without websocket.http.response.start")
            denial[2].append(bytes(message.get("body", b"")))
            if not message.get("more_body", False):
                conn.refuse(denial[0], denial[1], b"".join(denial[2]))
                state = "refused"
        elif not opening:
            raise RuntimeError(f"{kind} after the upgrade was answered")
        elif kind == "websocket.accept":
            state = "accepted"
            conn.accept(message.get("subprotocol"), _str_pairs(message.get("headers") or ()))
        else:
            state = "denying"
            denial[:] = [int(message["status"]), _str_pairs(message.get("headers") or ()), []]

    try:
        await application(scope, receive, send)
    except BaseException:
        if state == "accepted":
            conn.close(1011, "internal error")
        else:
            conn.refuse(500)
        import traceback
        traceback.print_exc()
        return
    if state == "accepted":
        conn.close(1000, "")
    elif state != "refused":  # ended without an answer, or in the middle of one
        conn.refuse(500 if state == "denying" else 403)
