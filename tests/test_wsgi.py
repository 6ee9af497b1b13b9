"""WSGI applications on a real socket: the environ, wsgi.input, start_response, bodies."""

import contextlib
import contextvars
import dataclasses
import io
import json
import signal
import subprocess
import sys
import threading
from typing import Any, ClassVar
from wsgiref.validate import validator

import pytest

from kiv import App
from kiv.wsgi import call_application, host_app
from test_wire import Client


@contextlib.contextmanager
def served(app):
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    clients = []
    try:
        yield lambda: clients.append(Client((host, int(port)))) or clients[-1]
    finally:
        [c.close() for c in clients]
        app.server.stop(sid, 5)


def chunked_body(c):
    body = b""
    while size := int(c.take_until(b"\r\n")[:-2], 16):
        body += c.take(size)
        assert c.take(2) == b"\r\n"
    assert c.take(2) == b"\r\n"
    return body


def read(c, head_only=False):
    """The next response on c, its body read by Content-Length or chunked framing;
    body None when the server cut the connection before the body was complete."""
    r = c.response(head_only=True)
    try:
        if head_only:
            pass
        elif r.header("Transfer-Encoding") == "chunked":
            r.body = chunked_body(c)
        else:
            r.body = c.take(int(r.header("Content-Length") or 0))
    except (EOFError, ConnectionResetError):
        r.body = None
    return r


def ask(connect, raw):
    (c := connect()).send(raw)
    return read(c, raw.startswith(b"HEAD "))


def env_app(environ, start_response):
    out = {k: v for k, v in environ.items() if isinstance(v, str)}
    out["body"] = environ["wsgi.input"].read(1 << 20).decode("latin-1")
    start_response("200 OK", [("Content-Type", "application/json")])
    return [json.dumps(out).encode()]


@pytest.mark.filterwarnings("ignore:Unknown REQUEST_METHOD")
@pytest.mark.parametrize("raw,want", [
    (b"GET /a%20b/?q=%20&x HTTP/1.1\r\nHost: ex.com:81\r\n\r\n",
     {"PATH_INFO": "/a b/", "QUERY_STRING": "q=%20&x", "SERVER_NAME": "ex.com",
      "SERVER_PORT": "81", "SCRIPT_NAME": "", "CONTENT_LENGTH": None, "CONTENT_TYPE": ""}),
    (b"GET /caf%C3%A9 HTTP/1.1\r\nHost: h\r\n\r\n", {"PATH_INFO": "/caf\xc3\xa9"}),
    (b"GET / HTTP/1.1\r\nX-A: 1\r\nx-a: 2\r\nX-Forwarded_For: 6\r\nCookie: a=1\r\n"
     b"Cookie: b=2\r\n\r\n",
     {"HTTP_X_A": "1, 2", "HTTP_X_FORWARDED_FOR": None, "HTTP_COOKIE": "a=1; b=2",
      "REMOTE_ADDR": "127.0.0.1"}),
    (b"GET / HTTP/1.1\r\nHost: h\r\nX-Forwarded-Proto: https\r\nX-Forwarded-For: 9.9.9.9\r\n\r\n",
     {"wsgi.url_scheme": "https", "SERVER_PORT": "443", "REMOTE_ADDR": "9.9.9.9"}),
    (b"POST /p HTTP/1.1\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
     b"3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
     {"CONTENT_LENGTH": "5", "CONTENT_TYPE": "text/plain", "body": "abcde",
      "HTTP_TRANSFER_ENCODING": "chunked", "REQUEST_METHOD": "POST"}),
    # Under a mount: no slash redirect, OPTIONS or 405 of the core; kiv's rules still win.
    (b"PUT /w/x/ HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "/w", "PATH_INFO": "/x/"}),
    (b"DELETE /w HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "/w", "PATH_INFO": ""}),
    (b"OPTIONS /w/kiv/ HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "/w", "status": 200}),
    (b"GET /wx HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "", "PATH_INFO": "/wx"}),
    (b"PURGE /w/ HTTP/1.1\r\n\r\n", {"REQUEST_METHOD": "PURGE", "PATH_INFO": "/"}),
    (b"OPTIONS /w HTTP/1.1\r\n\r\n", {"REQUEST_METHOD": "OPTIONS", "PATH_INFO": ""}),
    (b"GET /w//x/ HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "/w", "PATH_INFO": "//x/"}),
    # The decoded path's bytes, as latin-1: %2F is a slash, non-UTF-8 bytes survive.
    (b"GET /w%2Fx%FF HTTP/1.1\r\nX-B: caf\xc3\xa9\r\n\r\n",
     {"SCRIPT_NAME": "/w", "PATH_INFO": "/x\xff", "HTTP_X_B": "caf\xc3\xa9"}),
    (b"GET //kiv HTTP/1.1\r\n\r\n", {"status": 308}),
    (b"GET /kiv HTTP/1.1\r\n\r\n", {"kiv": True}),
    (b"POST /kiv HTTP/1.1\r\n\r\n", {"status": 405}),
    (b"GET /kiv/ HTTP/1.1\r\n\r\n", {"status": 308}),
])
def test_environ(raw, want):
    app = App("env", static_folder=None)
    app.route("/kiv")(lambda: {"kiv": True})
    app.mount_wsgi("/", validator(env_app))
    app.mount_wsgi("/w/", validator(env_app))
    with served(app) as connect:
        r = ask(connect, raw)
    got = dict(r.json() if r.status == 200 else {}, status=r.status)
    assert {k: got.get(k) for k in want} == want


@pytest.mark.parametrize("version", ["1.0", "1.1"])
def test_protocol_and_peer_port(version):
    with served(host_app(env_app)) as connect:
        (c := connect()).send(f"GET / HTTP/{version}\r\n\r\n".encode())
        env, port = read(c).json(), c.sock.getsockname()[1]
    assert (env["SERVER_PROTOCOL"], env["REMOTE_PORT"]) == (f"HTTP/{version}", str(port))


def reads_app(environ, start_response):
    steps, stream = environ["QUERY_STRING"].split(";"), environ["wsgi.input"]
    start_response("200 OK", [])
    return [repr([eval(step, {"s": stream}) for step in steps]).encode()]


@pytest.mark.parametrize("steps,want", [
    ("s.read(3);s.read();s.read(1)", [b"ab\n", b"cd\nef", b""]),
    ("s.readline(1);s.readline();s.readline(99);s.readlines()", [b"a", b"b\n", b"cd\n", [b"ef"]]),
    ("s.readline();list(s)", [b"ab\n", [b"cd\n", b"ef"]]),
])
def test_input_never_reads_past_the_body(steps, want):
    with served(host_app(reads_app)) as connect:
        (c := connect()).send(f"POST /?{steps} HTTP/1.1\r\nContent-Length: 8\r\n\r\n".encode()
                              + b"ab\ncd\nefGET /?s.read() HTTP/1.1\r\n\r\n")
        assert c.response().body == repr(want).encode()
        assert c.response().body == b"[b'']"  # the pipelined request kept to itself


@dataclasses.dataclass
class Body:
    """Calls start_response in its first step, as a generator would; counts close()."""

    start: Any
    chunks: list
    closed: ClassVar[int] = 0
    # The core closes a streamed body on its pool once the body is out, which may be
    # after the client has read it all.
    changed: ClassVar[threading.Condition] = threading.Condition()

    def __iter__(self):
        self.start()
        for chunk in self.chunks:
            yield chunk.encode()  # a str chunk is a fault: the answer must be a 500

    def close(self):
        with Body.changed:
            Body.closed += 1
            Body.changed.notify_all()


def body_app(chunks, status="200 OK", headers=None, write=b""):
    headers = [("Content-Type", "a/b")] if headers is None else headers
    return lambda e, start: Body(lambda: start(status, headers)(write), chunks)


def recovered(environ, start_response, late=False):
    start_response("200 OK", [("Content-Type", "a/b")])(b"partial" if late else b"")
    try:
        raise KeyError("x")
    except KeyError:
        start_response("503 Busy", [("Content-Type", "a/b")], sys.exc_info())
    return Body(lambda: None, ["sorry"])


@pytest.mark.parametrize("application,status,body,closes", [
    (validator(body_app(["la", "", "zy"], "201 Created")), 201, b"lazy", 1),
    (validator(body_app(["ite"], write=b"wr")), 200, b"write", 1),
    (body_app(["ab", "cdef", "never"], headers=[
        ("Content-Length", "3"), ("Connection", "close, x"), ("Keep-Alive", "timeout=1"),
        ("Transfer-Encoding", "chunked")]), 200, b"abc", 1),
    (validator(lambda e, s: (s("200 OK", [("Content-Type", "a/b")]), e["wsgi.file_wrapper"](
        io.BytesIO(b"f" * 100_000), 4096))[1]), 200, b"f" * 100_000, 0),
    (validator(recovered), 503, b"sorry", 1),
    (lambda e, s: recovered(e, s, late=True), 500, ..., 0),  # raised before an iterable
    # A failure after the first byte cuts the connection: the head is already out.
    (lambda e, s: Body(lambda: s("200 OK", []), ["a", 5]), 200, None, 1),
    (body_app(["ab", "cd"], headers=[("Content-Length", "10")]), 200, None, 1),
    (lambda e, s: s("200 OK", [("Content-Length", "10")]) and [b"ab"], 200, None, 0),
    (lambda e, s: Body(lambda: None, ["no start_response"]), 500, ..., 1),
    (body_app(["x"], "299 Custom", [("X-A", "1")]), 299, b"x", 1),
    (body_app(["x"], "200"), 500, ..., 1),
    (body_app(["x"], b"200 OK"), 500, ..., 1),
    (body_app(["x"], headers=[("X-A", "a\r\nSet-Cookie: s=1")]), 500, ..., 1),
    (body_app(["x"], headers=[("X A", "1")]), 500, ..., 1),
    (lambda e, s: s("200 OK", [("X-A", "a\nb")]) and [b"x"], 500, ..., 0),
    (body_app(["x"], headers=[["X-A", "1"]]), 500, ..., 1),
    (body_app(["x"], headers=()), 500, ..., 1),
])
def test_responses(application, status, body, closes):
    before = Body.closed
    with served(host_app(application)) as connect:
        r = ask(connect, b"GET / HTTP/1.1\r\n\r\n")
    # body: ... for the core's own error page, None for a connection cut mid-body
    assert (r.status, ... if body is ... else r.body) == (status, body)
    # The application's hop-by-hop headers never go out; the engine frames the body.
    assert [k.lower() for k, _ in r.headers].count("transfer-encoding") <= 1
    assert r.header("Keep-Alive") is None and r.header("Connection") == "keep-alive"
    # close() of the application's iterable, on every path
    with Body.changed:
        Body.changed.wait_for(lambda: Body.closed - before >= closes, timeout=10)
    assert Body.closed - before == closes


def test_each_block_is_sent_before_the_next_is_made():
    received = threading.Event()
    waited = []

    def app(environ, start_response):
        start_response("200 OK", [])
        yield b"first"
        waited.append(received.wait(timeout=10))  # bounded: a held-back block fails below
        yield b"second"

    with served(host_app(app)) as connect:
        (c := connect()).send(b"GET / HTTP/1.1\r\n\r\n")
        c.response(head_only=True)
        assert c.take_until(b"\r\n") == b"5\r\n" and c.take(5) == b"first"
        received.set()
        assert c.take(2) == b"\r\n" and chunked_body(c) == b"second"
    assert waited == [True]


@pytest.mark.parametrize("headers,head_body,length", [
    ([("Content-Length", "5")], [], "5"),  # the length a GET would have
    ([], [b"hello"], "5"),
    ([("Content-Length", "5")], [b"hello"], "5"),
    ([], [], None),  # no length rather than a wrong 0
])
def test_head_answers_the_length_of_get(headers, head_body, length):
    def app(environ, start_response):
        start_response("200 OK", list(headers))
        return list(head_body) if environ["REQUEST_METHOD"] == "HEAD" else [b"hello"]

    with served(host_app(app)) as connect:
        (c := connect()).send(b"HEAD / HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n")
        assert read(c, head_only=True).header("Content-Length") == length
        assert read(c).body == b"hello"  # nothing of the HEAD's body came first


class Tracked(io.FileIO):
    closed_count = 0

    def close(self):
        Tracked.closed_count += not self.closed
        super().close()


@pytest.mark.parametrize("opener,seek,headers,want,framing", [
    # A real file goes out from its descriptor: announced by the core, not chunked.
    (Tracked, 1000, [], slice(1000, None), "Content-Length"),
    (Tracked, 0, [("Content-Length", "100")], slice(0, 100), "Content-Length"),
    (lambda p: io.BytesIO(p.read_bytes()), 0, [], slice(None), "Transfer-Encoding"),
])
def test_file_wrapper(tmp_path, opener, seek, headers, want, framing):
    data = bytes(range(256)) * 1000
    (path := tmp_path / "f").write_bytes(data)
    before = Tracked.closed_count

    def app(environ, start_response):
        (f := opener(path)).seek(seek)
        start_response("200 OK", list(headers))
        return environ["wsgi.file_wrapper"](f, 4096)

    with served(host_app(app)) as connect:
        r = ask(connect, b"GET / HTTP/1.1\r\n\r\n")
    assert r.body == data[want] and r.header(framing) is not None
    assert Tracked.closed_count - before == (opener is Tracked)


def test_cli_runs_a_wsgi_application_in_workers(tmp_path):
    (tmp_path / "wsgi_cli_app.py").write_text(
        "def application(environ, start_response):\n    start_response('200 OK', [])\n"
        "    return [repr(environ['wsgi.multiprocess']).encode()]\n")
    proc = subprocess.Popen([sys.executable, "-m", "kiv", "run", "--interface", "wsgi",
                             "wsgi_cli_app:application", "--port", "0", "--workers", "2"],
                            cwd=tmp_path, stdout=subprocess.PIPE, text=True)
    try:
        banner = proc.stdout.readline()  # printed once every worker is ready
        host, port = banner.split("http://", 1)[1].split("/", 1)[0].rsplit(":", 1)
        with contextlib.closing(Client((host, int(port)))) as c:
            c.send(b"GET / HTTP/1.1\r\n\r\n")
            assert c.response().body == b"True"  # wsgi.multiprocess
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=40) == 0
    finally:
        proc.kill()  # by its pid; a no-op once it has exited
        proc.wait()


def test_streamed_body_keeps_the_applications_context_on_other_threads():
    # Flask's stream_with_context sets context variables in the call and reads them while
    # the body streams; the core pulls the body later, on any pool thread.
    var = contextvars.ContextVar("var")

    def application(environ, start_response):
        var.set(environ["PATH_INFO"])
        start_response("200 OK", [])
        yield b"first"
        yield var.get("lost").encode()

    status, _, stream = call_application(application, {"PATH_INFO": "/p", "REQUEST_METHOD": "GET"})
    got = []
    t = threading.Thread(target=lambda: (got.extend(stream), stream.close()))
    t.start()
    t.join(10)
    assert b"".join(c for c in got if isinstance(c, bytes)) == b"first/p"
    assert var.get("unset") == "unset"  # and the caller's context is left alone
