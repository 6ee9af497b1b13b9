"""A test client that runs requests in-process through the native server, with a cookie jar."""

from __future__ import annotations

import base64
import contextlib
import datetime as _dt
import hashlib
import io
import itertools
import os
import socket
import struct
import sys
import threading
import time
from email.utils import parsedate_to_datetime
from typing import Any, Iterator
from urllib.parse import unquote_to_bytes, urljoin, urlsplit

from .ctx import build_request, mounted_request_class
from .globals import _local
from .websocket import TEST_HEADER, ConnectionClosed
from .wrappers import Headers, Response

_REDIRECTS = (301, 302, 303, 305, 307, 308)


class TestResponse(Response):
    __test__ = False  # not a pytest test class

    def __init__(self, status: int, headers: list[tuple[str, str]], body: bytes):
        super().__init__(body, status, headers, content_type=None)
        if not any(k.lower() == "content-type" for k, _ in headers):
            self.headers.remove("Content-Type")
        self.header_list = headers
        self.history: list[TestResponse] = []

    @property
    def text(self) -> str:
        return self.data.decode("utf-8", "replace")

    def __repr__(self) -> str:
        return f"<TestResponse {self.status_code}>"


class _Cookie:
    __slots__ = ("key", "value", "path", "domain")

    def __init__(self, key: str, value: str, path: str, domain: str | None):
        self.key, self.value, self.path, self.domain = key, value, path, domain

    def __repr__(self) -> str:
        return f"<Cookie {self.key}={self.value!r}>"


def _parse_set_cookie(line: str) -> tuple[str, str, dict[str, str]]:
    first, *attrs = line.split(";")
    name, _, value = first.partition("=")
    options = {}
    for attr in attrs:
        k, _, v = attr.partition("=")
        options[k.strip().lower()] = v.strip()
    return name.strip(), value.strip(), options


def _expired(options: dict[str, str]) -> bool:
    if "max-age" in options:
        try:
            return int(options["max-age"]) <= 0
        except ValueError:
            return False
    if "expires" in options:
        try:
            when = parsedate_to_datetime(options["expires"])
        except (TypeError, ValueError):
            return False
        if when.tzinfo is None:
            when = when.replace(tzinfo=_dt.timezone.utc)
        return when <= _dt.datetime.now(_dt.timezone.utc)
    return False


class TestClient:
    __test__ = False

    def __init__(self, app: Any, use_cookies: bool = True):
        self.app = app
        self.use_cookies = use_cookies
        self._jar: dict[str, _Cookie] = {}
        self._preserve = False  # inside `with client:`
        self._last: Any = None  # the last request's object, kept current in that block
        self._pushed = False
        self._ws_users = 0  # open WebSockets, served by the listener _ws_sid
        self._ws_sid: Any = None
        self._ws_addr = ""

    # --- `with client:` keeps the last request current, so tests can read session and g ----

    def __enter__(self) -> "TestClient":
        if self._preserve:
            raise RuntimeError("Cannot nest client invocations")
        self._preserve = True
        return self

    def __exit__(self, *exc: Any) -> None:
        self._preserve = False
        self._release()

    def _release(self) -> None:
        if self._pushed:
            _local.request = self._saved
            self._pushed = False

    def _keep(self, req: Any) -> None:
        self._release()
        if req is not None:
            self._saved, _local.request = _local.request, req
            self._pushed = True

    # --- cookies --------------------------------------------------------------------

    def get_cookie(self, key: str, domain: str = "localhost", path: str = "/") -> _Cookie | None:
        return self._jar.get(key)

    def set_cookie(self, key: str, value: str = "", *, domain: str = "localhost",
                   path: str = "/", **kwargs: Any) -> None:
        self._jar[key] = _Cookie(key, value, path, domain)

    def delete_cookie(self, key: str, *, domain: str = "localhost", path: str = "/") -> None:
        self._jar.pop(key, None)

    def _cookie_header(self, path: str) -> str | None:
        pairs = [f"{c.key}={c.value}" for c in self._jar.values()
                 if path.startswith(c.path.rstrip("/") or "/")]
        return "; ".join(pairs) if pairs else None

    def _store_cookies(self, headers: Any) -> None:
        for line in headers.getlist("Set-Cookie"):
            name, value, options = _parse_set_cookie(line)
            if _expired(options):
                self._jar.pop(name, None)
            else:
                self._jar[name] = _Cookie(name, value, options.get("path") or "/",
                                          options.get("domain"))

    @contextlib.contextmanager
    def session_transaction(self, *args: Any, **kwargs: Any) -> Iterator[Any]:
        """The session the next request will see, to read or change before it is sent."""
        if not self.use_cookies:
            raise TypeError("Cookies are disabled. Create a client with 'use_cookies=True'.")
        app = self.app
        headers = list(kwargs.pop("headers", None) or [])
        cookie = self._cookie_header("/")
        if cookie:
            headers.append(("Cookie", cookie))
        req = build_request(app, *args, headers=headers, **kwargs)
        iface = app.session_interface
        session = iface.open_session(app, req)
        if iface.is_null_session(session):
            raise RuntimeError("Session backend did not open a session.")
        yield session
        response = app.response_class()
        iface.save_session(app, session, response)
        self._store_cookies(response.headers)

    # --- requests -------------------------------------------------------------------

    def open(self, path: str = "/", method: str = "GET", *, headers: Any = None,
             data: Any = None, json: Any = None, query_string: Any = None,
             content_type: str | None = None, follow_redirects: bool = False,
             base_url: str | None = None, query: Any = None, subdomain: str | None = None,
             **kwargs: Any) -> TestResponse:
        if kwargs:
            raise TypeError(f"unexpected arguments: {', '.join(kwargs)}")
        if subdomain:
            if base_url is not None:
                raise TypeError("give base_url or subdomain, not both")
            base_url = f"http://{subdomain}.{self.app.config['SERVER_NAME'] or 'localhost'}"
        response = self._one(path, method, headers, data, json, query_string or query,
                             content_type, base_url)
        history: list[TestResponse] = []
        while follow_redirects and response.status_code in _REDIRECTS:
            if len(history) >= 20:
                raise RuntimeError("too many redirects")
            history.append(response)
            location = urljoin(response.request.script_root + path,
                               response.headers.get("Location", "/"))
            parts = urlsplit(location)
            path = parts.path
            root = response.request.script_root
            if root and (path + "/").startswith(root + "/"):
                path = path[len(root):] or "/"  # the app is mounted there
            path += "?" + parts.query if parts.query else ""
            if response.status_code not in (307, 308):
                method, data, json, content_type = ("GET" if method != "HEAD" else "HEAD",
                                                    None, None, None)
            response = self._one(path, method, headers, data, json, None, content_type, base_url)
        response.history = history
        return response

    def _one(self, path: str, method: str, headers: Any, data: Any, json: Any,
             query_string: Any, content_type: str | None, base_url: str | None) -> TestResponse:
        req = build_request(self.app, path, method, headers, data, json, query_string, base_url,
                            content_type)
        pairs = list(req.header_list)
        if self.use_cookies and not any(k.lower() == "cookie" for k, _ in pairs):
            cookie = self._cookie_header(req.script_root + req.path)
            if cookie:
                pairs.append(("Cookie", cookie))
        target = path.split("?", 1)[0] if "://" not in path else urlsplit(path).path
        if req.raw_query:
            target += "?" + req.raw_query
        app = self.app
        server = app.server
        # Exceptions that leave the app (TESTING, PROPAGATE_EXCEPTIONS, Ctrl-C) are raised
        # here, as Flask's test client does.
        escaped = app._escaped = []
        try:
            if app._through_wsgi:
                status, resp_headers, body = self._run_wsgi(method, target, pairs, req.body,
                                                            base_url)
            else:
                status, resp_headers, body = self._run(server, method, target, pairs, req.body)
        finally:
            app._escaped = None
        if escaped:
            raise escaped[0]
        if method.upper() != "HEAD" and not any(k.lower() == "content-length"
                                                for k, _ in resp_headers):
            resp_headers.append(("Content-Length", str(len(body))))  # as the server writes
        response = TestResponse(status, resp_headers, body)
        response.request = req  # what was asked for (after redirects: the last request)
        if self.use_cookies:
            self._store_cookies(response.headers)
        return response

    def _run(self, server: Any, method: str, target: str, pairs: list,
             body: bytes) -> tuple[int, list, bytes]:
        request_class = mounted_request_class(self.app)
        if not self._preserve and request_class is self.app._make_request:
            return server.test_request(method.upper(), target or "/", pairs, body)
        made: list[Any] = []

        def recording(*args: Any) -> Any:
            made.append(request_class(*args))
            return made[-1]

        server.set_request_class(recording)
        try:
            status, resp_headers, body = server.test_request(
                method.upper(), target or "/", pairs, body)
        finally:
            server.set_request_class(self.app._make_request)
        if self._preserve:
            self._keep(made[-1] if made else None)
        return status, resp_headers, body

    def _run_wsgi(self, method: str, target: str, pairs: list, body: bytes,
                  base_url: str | None) -> tuple[int, list, bytes]:
        """The request through app(environ, start_response), as a WSGI server would send
        it, for an app whose wsgi_app was replaced: the middleware sees it."""
        from .wsgihost import call_application
        path, _, query = target.partition("?")
        host = next((v for k, v in pairs if k.lower() == "host"), "localhost")
        scheme = urlsplit(base_url).scheme if base_url else "http"
        name, _, port = host.partition(":")
        environ: dict[str, Any] = {
            "REQUEST_METHOD": method.upper(), "QUERY_STRING": query,
            "SCRIPT_NAME": (self.app.config["APPLICATION_ROOT"] or "/").rstrip("/"),
            "PATH_INFO": unquote_to_bytes(path or "/").decode("latin-1"),
            "SERVER_NAME": name, "SERVER_PORT": port or ("443" if scheme == "https" else "80"),
            "SERVER_PROTOCOL": "HTTP/1.1", "REMOTE_ADDR": "127.0.0.1",
            "wsgi.version": (1, 0), "wsgi.url_scheme": scheme, "wsgi.input": io.BytesIO(body),
            "wsgi.errors": sys.stderr, "wsgi.multithread": False, "wsgi.multiprocess": False,
            "wsgi.run_once": False, "wsgi.input_terminated": True,
        }
        for k, v in pairs:
            key = k.upper().replace("-", "_")
            key = key if key in ("CONTENT_TYPE", "CONTENT_LENGTH") else "HTTP_" + key
            environ[key] = f"{environ[key]},{v}" if key in environ else v
        if body and "CONTENT_LENGTH" not in environ:
            environ["CONTENT_LENGTH"] = str(len(body))
        status, headers, out = call_application(self.app, environ)
        if out.__class__ is not bytes:
            stream = out
            try:
                out = b"".join(c for c in stream if c.__class__ is bytes)
            finally:
                close = getattr(stream, "close", None)
                if close is not None:
                    close()
        if self._preserve:
            self._keep(environ.get("werkzeug.request"))
        return status, headers, out

    def get(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="GET", **kw)

    def post(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="POST", **kw)

    def put(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="PUT", **kw)

    def patch(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="PATCH", **kw)

    def delete(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="DELETE", **kw)

    def head(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="HEAD", **kw)

    def options(self, *args: Any, **kw: Any) -> TestResponse:
        return self.open(*args, method="OPTIONS", **kw)

    # --- WebSockets -----------------------------------------------------------------

    def websocket(self, path: str = "/", *, headers: Any = None,
                  subprotocols: Any = None, query_string: Any = None,
                  base_url: str | None = None, timeout: float = 10.0) -> "TestWebSocket":
        """Opens a WebSocket to the app, which the client serves on a loopback port while
        any of its connections is open: the real server, so handlers run as they will
        in production. The client's cookies go with the upgrade. Raises
        WebSocketRefused (with the response) when the upgrade is answered with HTTP."""
        req = build_request(self.app, path, "GET", headers, None, None, query_string,
                            base_url, None)
        pairs = [(k, v) for k, v in req.header_list if k.lower() not in _HANDSHAKE]
        if self.use_cookies and not any(k.lower() == "cookie" for k, _ in pairs):
            cookie = self._cookie_header(req.script_root + req.path)
            if cookie:
                pairs.append(("Cookie", cookie))
        target = req.path + ("?" + req.raw_query if req.raw_query else "")
        token = str(next(_tokens))
        sink: list[BaseException] = []
        addr = self._ws_listener(+1)
        sinks = self.app.__dict__.setdefault("_ws_test_sinks", {})
        sinks[token] = sink
        try:
            return TestWebSocket(self, addr, target, pairs + [(TEST_HEADER, token)],
                                 list(subprotocols or ()), timeout, sink, token)
        except BaseException:
            self._ws_done(token)
            raise

    def _ws_listener(self, change: int) -> str:
        """The loopback address serving this client's WebSockets: started with the
        first, stopped with the last."""
        with _listener_lock:
            if change > 0 and self._ws_users == 0:
                server = self.app.server
                self._ws_sid = server.start("127.0.0.1", 0)
                self._ws_addr = server.bound_addr(self._ws_sid)
            self._ws_users += change
            if self._ws_users == 0:
                self.app.server.stop(self._ws_sid, 5)
            return self._ws_addr

    def _ws_done(self, token: str) -> None:
        self.app.__dict__.get("_ws_test_sinks", {}).pop(token, None)
        self._ws_listener(-1)


FlaskClient = TestClient  # the name extensions subclass

_HANDSHAKE = frozenset(("upgrade", "connection", "sec-websocket-key", "sec-websocket-version",
                        "sec-websocket-protocol", "sec-websocket-extensions",
                        "content-type", "content-length"))
_GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
_tokens = itertools.count(1)
_listener_lock = threading.Lock()


class WebSocketRefused(Exception):
    """The upgrade was answered with an HTTP response: `response` (a TestResponse),
    `status_code`."""

    def __init__(self, response: TestResponse):
        super().__init__(f"the WebSocket upgrade was refused with {response.status_code}")
        self.response = response
        self.status_code = response.status_code


class TestWebSocket:
    """A test's end of a WebSocket (TestClient.websocket): send(), receive(), close(),
    and `with` to close it. No compression is offered, so the messages are as sent."""

    __test__ = False

    def __init__(self, client: TestClient, addr: str, target: str, pairs: list,
                 subprotocols: list[str], timeout: float, sink: list, token: str):
        self._client, self._sink, self._token = client, sink, token
        self.timeout = timeout
        self._buf = bytearray()
        self._parts: list[bytes] = []  # a fragmented message so far
        self._text = False
        self._closed: ConnectionClosed | None = None  # once the close handshake is done
        self._sent_close = False
        self._released = False
        host, _, port = addr.rpartition(":")
        self._sock = socket.create_connection((host, int(port)), timeout)
        try:
            self._handshake(target, pairs, subprotocols)
        except BaseException:
            self._sock.close()
            raise

    def _handshake(self, target: str, pairs: list, subprotocols: list[str]) -> None:
        key = base64.b64encode(os.urandom(16)).decode()
        lines = [f"GET {target} HTTP/1.1", "Upgrade: websocket", "Connection: Upgrade",
                 f"Sec-WebSocket-Key: {key}", "Sec-WebSocket-Version: 13"]
        if subprotocols:
            lines.append("Sec-WebSocket-Protocol: " + ", ".join(subprotocols))
        lines += [f"{k}: {v}" for k, v in pairs]
        self._sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        deadline = time.monotonic() + self.timeout
        while (end := self._buf.find(b"\r\n\r\n")) < 0:
            self._fill(len(self._buf) + 1, deadline)
        head = bytes(self._buf[:end]).decode("latin-1").split("\r\n")
        del self._buf[:end + 4]
        status = int(head[0].split(" ", 2)[1])
        headers = [(k.strip(), v.strip()) for k, _, v in (h.partition(":") for h in head[1:])]
        self.response_headers = Headers(headers)
        if status != 101:
            length = int(self.response_headers.get("Content-Length", 0))
            self._fill(length, deadline)
            response = TestResponse(status, headers, bytes(self._buf[:length]))
            if self._client.use_cookies:
                self._client._store_cookies(response.headers)
            self._raise_escaped()
            raise WebSocketRefused(response)
        expected = base64.b64encode(hashlib.sha1(key.encode() + _GUID).digest()).decode()
        if self.response_headers.get("Sec-WebSocket-Accept") != expected:
            raise ConnectionError("the server's Sec-WebSocket-Accept does not match")
        self.subprotocol = self.response_headers.get("Sec-WebSocket-Protocol")

    def _raise_escaped(self) -> None:
        if self._sink:
            raise self._sink.pop(0)

    # --- the wire -------------------------------------------------------------------

    def _fill(self, n: int, deadline: float) -> None:
        """Reads until n bytes wait in the buffer; TimeoutError at the deadline (what was
        read stays for the next call), ConnectionClosed(1006) at the end of the stream."""
        while len(self._buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no WebSocket message in time")
            self._sock.settimeout(left)
            try:
                data = self._sock.recv(max(65536, n - len(self._buf)))
            except socket.timeout:
                raise TimeoutError("no WebSocket message in time") from None
            except OSError:
                data = b""
            if not data:
                raise ConnectionClosed(1006, "")
            self._buf += data

    def _frame(self, deadline: float) -> tuple[int, bool, bytes]:
        """The next whole frame: (opcode, fin, payload), taken from the buffer."""
        self._fill(2, deadline)
        b0, b1 = self._buf[0], self._buf[1]
        size, at = b1 & 0x7F, 2
        if size == 126:
            self._fill(4, deadline)
            size, at = struct.unpack_from("!H", self._buf, 2)[0], 4
        elif size == 127:
            self._fill(10, deadline)
            size, at = struct.unpack_from("!Q", self._buf, 2)[0], 10
        mask = b""
        if b1 & 0x80:
            self._fill(at + 4, deadline)
            mask, at = bytes(self._buf[at:at + 4]), at + 4
        self._fill(at + size, deadline)
        payload = bytes(self._buf[at:at + size])
        del self._buf[:at + size]
        return b0 & 0x0F, bool(b0 & 0x80), _masked(payload, mask) if mask else payload

    def _send_frame(self, opcode: int, payload: bytes) -> None:
        n = len(payload)
        head = bytes((0x80 | opcode,))
        if n < 126:
            head += bytes((0x80 | n,))
        elif n < 65536:
            head += struct.pack("!BH", 0x80 | 126, n)
        else:
            head += struct.pack("!BQ", 0x80 | 127, n)
        mask = os.urandom(4)
        self._sock.sendall(head + mask + _masked(payload, mask))

    # --- the API --------------------------------------------------------------------

    def send(self, message: str | bytes) -> None:
        """Sends a text (str) or binary (bytes-like) message."""
        if self._closed is not None or self._sent_close:
            raise self._closed or ConnectionClosed(1000, "")
        if isinstance(message, str):
            self._send_frame(1, message.encode())
        else:
            self._send_frame(2, bytes(message))

    def receive(self, timeout: float | None = None) -> str | bytes:
        """The next message (str or bytes). Raises TimeoutError when none comes within
        timeout seconds (the client's default when None), ConnectionClosed (with the
        server's code and reason) once the server closed, and, in TESTING mode, the
        exception that ended the handler."""
        if self._closed is not None:
            self._raise_escaped()
            raise self._closed
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            try:
                opcode, fin, payload = self._frame(deadline)
            except ConnectionClosed as e:
                self._end(e)
                raise
            if opcode == 9:
                self._send_frame(10, payload)
            elif opcode == 8:
                code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else 1005
                if not self._sent_close:
                    self._sent_close = True
                    self._send_frame(8, payload[:2])
                closed = ConnectionClosed(code, payload[2:].decode("utf-8", "replace"))
                self._end(closed)
                self._raise_escaped()
                raise closed
            elif opcode in (0, 1, 2):
                if opcode:
                    self._text = opcode == 1
                self._parts.append(payload)
                if fin:
                    data, self._parts = b"".join(self._parts), []
                    return data.decode() if self._text else data

    def close(self, code: int = 1000, reason: str = "") -> None:
        """Closes (waiting a bounded time for the server's close), then raises, in
        TESTING mode, the exception that ended the handler, if any."""
        try:
            if self._closed is None:
                if not self._sent_close:
                    self._sent_close = True
                    try:
                        self._send_frame(8, struct.pack("!H", code) + reason.encode())
                    except OSError:
                        pass
                deadline = time.monotonic() + self.timeout
                try:
                    while True:  # what the server still sends, up to its close
                        self.receive(max(0.0, deadline - time.monotonic()))
                except (ConnectionClosed, TimeoutError):
                    pass
        finally:
            self._end(self._closed or ConnectionClosed(1006, ""))
        self._raise_escaped()

    def _end(self, closed: ConnectionClosed) -> None:
        self._closed = closed
        self._sock.close()
        if not self._released:
            self._released = True
            self._client._ws_done(self._token)

    def __enter__(self) -> "TestWebSocket":
        return self

    def __exit__(self, kind: Any, *exc: Any) -> None:
        if kind is None:
            self.close()
        else:
            with contextlib.suppress(Exception):  # the test's own exception goes on
                self.close()


def _masked(data: bytes, mask: bytes) -> bytes:
    n = len(data)
    if not n:
        return data
    key = int.from_bytes((mask * (n // 4 + 1))[:n], "little")
    return (int.from_bytes(data, "little") ^ key).to_bytes(n, "little")


def __getattr__(name: str) -> Any:
    if name == "FlaskCliRunner":  # in kiv.cli, which imports click: only when asked for
        from .cli import AppCliRunner
        return AppCliRunner
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["FlaskClient", "Headers", "TestClient", "TestResponse", "TestWebSocket",
           "WebSocketRefused"]
