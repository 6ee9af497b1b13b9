"""WSGI applications on a real socket: the environ, wsgi.input, start_response, bodies."""

import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import time
from wsgiref.validate import validator

import pytest

from kiv import App
from kiv.wsgi import host_app
from test_wire import Client

ENV_KEYS = ["REQUEST_METHOD", "SCRIPT_NAME", "PATH_INFO", "QUERY_STRING", "CONTENT_TYPE",
            "CONTENT_LENGTH", "SERVER_NAME", "SERVER_PORT", "REMOTE_ADDR", "wsgi.url_scheme"]


@contextlib.contextmanager
def served(app):
    """app (a kiv App) on 127.0.0.1, port 0; yields a function that opens a Client."""
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    clients = []

    def connect():
        clients.append(Client((host, int(port))))
        return clients[-1]
    try:
        yield connect
    finally:
        for c in clients:
            c.close()
        app.server.stop(sid, 5)


def ask(connect, raw):
    c = connect()
    c.send(raw)
    return c.response()


def env_app(environ, start_response):
    out = {k: environ.get(k) for k in ENV_KEYS}
    out.update({k: v for k, v in environ.items() if k.startswith("HTTP_")})
    out["body"] = environ["wsgi.input"].read(1 << 20).decode("latin-1")
    start_response("200 OK", [("Content-Type", "application/json")])
    return [json.dumps(out).encode()]


@pytest.mark.parametrize("raw,want", [
    (b"GET /a%20b/?q=%20&x HTTP/1.1\r\nHost: ex.com:81\r\n\r\n",
     {"PATH_INFO": "/a b/", "QUERY_STRING": "q=%20&x", "SERVER_NAME": "ex.com",
      "SERVER_PORT": "81", "SCRIPT_NAME": "", "CONTENT_LENGTH": None, "CONTENT_TYPE": ""}),
    (b"GET /caf%C3%A9 HTTP/1.1\r\nHost: h\r\n\r\n", {"PATH_INFO": "/caf\xc3\xa9"}),
    (b"GET / HTTP/1.1\r\nX-A: 1\r\nx-a: 2\r\nX-Forwarded_For: 6.6.6.6\r\nCookie: a=1\r\n"
     b"Cookie: b=2\r\n\r\n",
     {"HTTP_X_A": "1, 2", "HTTP_X_FORWARDED_FOR": None, "HTTP_COOKIE": "a=1; b=2",
      "REMOTE_ADDR": "127.0.0.1"}),
    (b"GET / HTTP/1.1\r\nHost: h\r\nX-Forwarded-Proto: https\r\nX-Forwarded-For: 9.9.9.9\r\n\r\n",
     {"wsgi.url_scheme": "https", "SERVER_PORT": "443", "REMOTE_ADDR": "9.9.9.9"}),
    (b"POST /p HTTP/1.1\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
     b"3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n",
     {"CONTENT_LENGTH": "5", "CONTENT_TYPE": "text/plain", "body": "abcde",
      "HTTP_TRANSFER_ENCODING": "chunked", "REQUEST_METHOD": "POST"}),
    (b"PUT /w/x/ HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "/w", "PATH_INFO": "/x/"}),
    (b"GET /w HTTP/1.1\r\n\r\n", {"SCRIPT_NAME": "/w", "PATH_INFO": ""}),
])
def test_environ(raw, want):
    app = App("env", static_folder=None)
    app.mount_wsgi("/", validator(env_app))
    app.mount_wsgi("/w/", validator(env_app))
    with served(app) as connect:
        got = ask(connect, raw).json()
    assert {k: got.get(k) for k in want} == want


def reads_app(environ, start_response):
    stream, out = environ["wsgi.input"], []
    for step in environ["QUERY_STRING"].split(","):
        name, _, arg = step.partition("-")
        if name == "iter":
            out += list(stream)
        else:
            out.append(getattr(stream, name)(*([int(arg)] if arg else [])))
    start_response("200 OK", [])
    return [repr(out).encode()]


@pytest.mark.parametrize("steps,want", [
    ("read-3,read,read-1", [b"ab\n", b"cd\nef", b""]),
    ("readline-1,readline,readline-99,readline", [b"a", b"b\n", b"cd\n", b"ef"]),
    ("readlines,read-5", [[b"ab\n", b"cd\n", b"ef"], b""]),
    ("readline,iter", [b"ab\n", b"cd\n", b"ef"]),
])
def test_input_never_reads_past_the_body(steps, want):
    app = host_app(reads_app)
    with served(app) as connect:
        c = connect()
        c.send(b"POST /?" + steps.encode() + b" HTTP/1.1\r\nContent-Length: 8\r\n\r\nab\ncd\nef"
               b"GET /?read HTTP/1.1\r\n\r\n")
        assert c.response().body == repr(want).encode()
        assert c.response().body == b"[b'']"  # the pipelined request kept to itself


class Body:
    """A response iterable that records its close()."""

    closed = 0

    def __init__(self, chunks, fail=False, start=None):
        self.chunks, self.fail, self.start = chunks, fail, start

    def __iter__(self):
        if self.start:  # start_response in the first step, as a generator would
            self.start[0](*self.start[1:])
        yield from self.chunks
        if self.fail:
            raise RuntimeError("broken body")

    def close(self):
        Body.closed += 1


def lazy(environ, start_response):
    def gen():
        start_response("201 Created", [("Content-Type", "text/plain")])
        yield b"la"
        yield b""
        yield b"zy"
    return gen()


def writer(environ, start_response):
    write = start_response("200 OK", [("Content-Type", "text/plain")])
    write(b"wr")
    return Body([b"ite"])


def cut(environ, start_response):
    start_response("200 OK", [("Content-Length", "3"), ("Connection", "close, x"),
                              ("Keep-Alive", "timeout=1"), ("Transfer-Encoding", "chunked")])
    return Body([b"ab", b"cdef", b"never"])


def wrapped(environ, start_response):
    start_response("200 OK", [("Content-Type", "a/b")])
    return environ["wsgi.file_wrapper"](io.BytesIO(b"f" * 100_000), 4096)


def recovered(environ, start_response):
    start_response("200 OK", [("Content-Type", "a/b")])
    try:
        raise KeyError("x")
    except KeyError:
        start_response("503 Busy", [("Content-Type", "a/b")], sys.exc_info())
    return Body([b"sorry"])


def late_error(environ, start_response):
    write = start_response("200 OK", [])
    write(b"partial")
    try:
        raise KeyError("x")
    except KeyError:
        start_response("500 Oops", [], sys.exc_info())
    return Body([b"unreached"])


def status_app(status, headers=None):
    def app(environ, start_response):
        return Body([b"x"], start=(start_response, status, [] if headers is None else headers))
    return app


@pytest.mark.parametrize("application,status,body,closes", [
    (validator(lazy), 201, b"lazy", 0),
    (validator(writer), 200, b"write", 1),
    (cut, 200, b"abc", 1),
    (validator(wrapped), 200, b"f" * 100_000, 0),
    (validator(recovered), 503, b"sorry", 1),
    (late_error, 500, None, 0),  # raised before an iterable existed
    (lambda e, s: Body([b"a"], fail=True), 500, None, 1),
    (lambda e, s: Body([b"no start_response"]), 500, None, 1),
    (status_app("299 Custom", [("X-A", "1")]), 299, b"x", 1),
    (status_app("200"), 500, None, 1),
    (status_app("2000 Big"), 500, None, 1),
    (status_app(b"200 OK"), 500, None, 1),
    (status_app("200 OK", [("X-A", "a\r\nSet-Cookie: s=1")]), 500, None, 1),
    (status_app("200 OK", [("X A", "1")]), 500, None, 1),
    (status_app("200 OK", [["X-A", "1"]]), 500, None, 1),
    (status_app("200 OK", ()), 500, None, 1),
])
def test_responses(application, status, body, closes):
    before = Body.closed
    with served(host_app(application)) as connect:
        r = ask(connect, b"GET / HTTP/1.1\r\n\r\n")
    assert r.status == status
    if body is not None:
        assert r.body == body
        assert r.header("Transfer-Encoding") is None and r.header("Keep-Alive") is None
    # close() of the application's iterable, on every path
    assert Body.closed - before == closes


@pytest.mark.parametrize("raw,status,origin", [
    (b"GET /native HTTP/1.1\r\n\r\n", 200, "kiv"),
    (b"POST /native HTTP/1.1\r\n\r\n", 405, None),  # the rule's path stays the app's
    (b"GET /native/ HTTP/1.1\r\n\r\n", 308, None),
    (b"GET /w/native/ HTTP/1.1\r\n\r\n", 200, "wsgi"),  # no slash redirect under a mount
    (b"OPTIONS /w/x HTTP/1.1\r\n\r\n", 200, "wsgi"),
    (b"DELETE /w HTTP/1.1\r\n\r\n", 200, "wsgi"),
    (b"GET /wx HTTP/1.1\r\n\r\n", 404, None),
])
def test_mount_beside_views(raw, status, origin):
    app = App("mixed", static_folder=None)
    app.route("/native")(lambda: "kiv")
    app.mount_wsgi("/w", lambda e, s: (s("200 OK", []), [b"wsgi"])[1])
    with served(app) as connect:
        r = ask(connect, raw)
    assert (r.status, r.body.decode() if origin else None) == (status, origin)


def test_cli_runs_a_wsgi_application_in_workers(tmp_path):
    (tmp_path / "wsgi_cli_app.py").write_text(
        "import json, os\n"
        "def application(environ, start_response):\n"
        "    start_response('200 OK', [('Content-Type', 'application/json')])\n"
        "    return [json.dumps([os.getpid(), environ['wsgi.multiprocess']]).encode()]\n")
    proc = subprocess.Popen(
        [sys.executable, "-m", "kiv", "run", "--interface", "wsgi", "wsgi_cli_app:application",
         "--port", "0", "--workers", "2"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()  # the banner, once every worker is ready
        host, port = line.split("http://", 1)[1].split("/", 1)[0].rsplit(":", 1)
        for _ in range(4):
            c = Client((host, int(port)))
            c.send(b"GET / HTTP/1.1\r\nConnection: close\r\n\r\n")
            pid, multiprocess = c.response().json()
            c.close()
            assert multiprocess is True and pid != proc.pid
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=40) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
