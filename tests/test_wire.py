"""The HTTP/1.1 engine over real loopback sockets: framing, limits,
persistence, pipelining, response heads and the access log."""

import hashlib
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import Fast, make_server
from kiv.bodystream import BodyStream
from kiv.exceptions import default_exceptions
from kiv.helpers import response_of

TIMEOUT = 5
MAX_BODY = 1000
DATE_RE = r"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT"
GENERIC_TITLE = b"<title>500 Internal Server Error</title>"
HUGE = 32 << 20


def _echo(req):
    a = req.args
    body = a[5] if isinstance(a[5], bytes) else BodyStream(a[5]).read()
    return {
        "method": a[0],
        "path": a[1],
        "qs": a[2],
        "query": [list(p) for p in a[3]],
        "headers": [list(h) for h in a[4]],
        "body": body.decode("latin-1") if len(body) <= 2000 else None,
        "len": len(body),
        "sha": hashlib.sha256(body).hexdigest(),
    }


def _exception_page(req):  # the framework's page for the status in the query
    return response_of(default_exceptions[int(req.args[2])]())


def _wire_server(**flags):
    s = make_server(**flags)
    s.set_pipeline(lambda req, view, args: view(req, **args))

    def dispatch(req):  # 404 and 405 answers; shows what the engine made of the target
        a = req.args
        return Fast(int(a[9]), [("X-Path", a[1]), ("X-Query", a[2])], "")

    s.set_dispatch(dispatch)
    s.add_rule("/x", ["GET"], lambda req: "hello", "x", True)
    s.add_rule("/echo", ["GET", "POST", "PUT"], _echo, "echo", True)
    s.add_rule("/hdr", ["GET"], lambda req: ("ok", 201, [("X-A", "1"), ("X-B", "2")]), "hdr",
               True)
    s.add_rule("/big", ["GET"], lambda req: bytes(range(256)) * 400, "big", True)
    s.add_rule("/huge", ["GET"], lambda req: b"z" * HUGE, "huge", True)
    s.add_rule("/exc", ["GET"], _exception_page, "exc", True)
    return s


def _start(server):
    sid = server.start("127.0.0.1", 0)
    host, port = server.bound_addr(sid).rsplit(":", 1)
    return sid, (host, int(port))


@pytest.fixture(scope="module")
def addr():
    s = _wire_server(max_body=MAX_BODY)
    sid, a = _start(s)
    yield a
    s.stop(sid)


@pytest.fixture(scope="module")
def big_addr():
    s = _wire_server(max_body=8 << 20)
    sid, a = _start(s)
    yield a
    s.stop(sid)


class Client:
    """A blocking client that reads whole responses off one connection."""

    def __init__(self, addr):
        self.sock = socket.create_connection(addr, timeout=TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def _more(self):
        chunk = self.sock.recv(1 << 16)
        if not chunk:
            raise EOFError("server closed the connection")
        self.buf += chunk

    def take(self, n):
        while len(self.buf) < n:
            self._more()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def take_until(self, sep):
        while sep not in self.buf:
            self._more()
        i = self.buf.index(sep) + len(sep)
        out, self.buf = self.buf[:i], self.buf[i:]
        return out

    def response(self, head_only=False):
        head = self.take_until(b"\r\n\r\n").decode("latin-1")
        lines = head.split("\r\n")[:-2]
        status = int(lines[0].split(" ")[1])
        headers = [tuple(line.split(": ", 1)) for line in lines[1:]]
        length = int(dict((k.lower(), v) for k, v in headers).get("content-length", 0))
        body = b"" if head_only or status == 100 else self.take(length)
        return Resp(status, lines, headers, body)

    def closed(self):
        """True once the server has closed its side with nothing more to read."""
        if self.buf:
            return False
        try:
            return self.sock.recv(1 << 16) == b""
        except ConnectionResetError:
            return True

    def rest_until_close(self):
        """Everything the server still sends, up to its close."""
        out = self.buf
        self.buf = b""
        while True:
            try:
                chunk = self.sock.recv(1 << 16)
            except ConnectionResetError:
                return out
            if not chunk:
                return out
            out += chunk


class Resp:
    def __init__(self, status, lines, headers, body):
        self.status, self.lines, self.headers, self.body = status, lines, headers, body

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def json(self):
        return json.loads(self.body)


@pytest.fixture
def client(addr):
    c = Client(addr)
    yield c
    c.close()


def get(path="/x", version="1.1", extra=""):
    return f"GET {path} HTTP/{version}\r\nHost: t\r\n{extra}\r\n".encode()


def post(path, body, extra=""):
    return (f"POST {path} HTTP/1.1\r\nHost: t\r\nContent-Length: {len(body)}\r\n{extra}\r\n"
            .encode() + body)


# --- pipelining and persistence ------------------------------------------------


def test_pipelined_requests_in_one_packet_answered_in_order(client):
    client.send(get("/echo?n=1") + post("/echo?n=2", b"abc") + get("/echo?n=3"))
    got = [client.response().json() for _ in range(3)]
    assert [(r["qs"], r["body"]) for r in got] == [("n=1", ""), ("n=2", "abc"), ("n=3", "")]
    client.send(get("/x"))  # and the connection is still usable afterwards
    assert client.response().body == b"hello"


def test_pipelined_answers_precede_a_refusal(client):
    client.send(get("/x") + get("/echo?n=2") + b"GET * HTTP/1.1\r\n\r\n" + get("/x"))
    assert client.response().body == b"hello"
    assert client.response().json()["qs"] == "n=2"
    assert client.response().status == 400
    assert client.rest_until_close() == b""


def test_pipelined_answers_sent_before_waiting_for_more(client):
    # Two complete requests and the start of a third: the first two answers
    # must not wait for the rest of the third.
    client.send(get("/x") + get("/x") + b"GET /x HT")
    assert [client.response().body for _ in range(2)] == [b"hello", b"hello"]
    client.send(b"TP/1.1\r\n\r\n")
    assert client.response().body == b"hello"


def test_pipelined_expect_continue_after_held_back_answer(client):
    client.send(get("/x") + b"POST /echo HTTP/1.1\r\nExpect: 100-continue\r\n"
                b"Content-Length: 2\r\n\r\n")
    assert client.response().body == b"hello"
    assert client.take(25) == b"HTTP/1.1 100 Continue\r\n\r\n"
    client.send(b"ok")
    assert client.response().json()["body"] == "ok"


@pytest.mark.parametrize(
    "version,connection,open_after",
    [
        ("1.0", None, False),
        ("1.0", "keep-alive", True),
        ("1.0", "KEEP-ALIVE", True),
        ("1.0", "keep-alive, foo", False),  # only a whole value counts
        ("1.1", None, True),
        ("1.1", "close", False),
        ("1.1", "CLOSE", False),
        ("1.1", "close, foo", True),
        ("1.1", "keep-alive, Upgrade", True),
    ],
)
def test_connection_persistence(client, version, connection, open_after):
    extra = f"Connection: {connection}\r\n" if connection else ""
    client.send(get("/x", version, extra))
    r = client.response()
    assert r.body == b"hello"
    assert r.header("Connection") == ("keep-alive" if open_after else "close")
    if open_after:
        client.send(get("/x"))
        assert client.response().status == 200
    else:
        assert client.closed()


def test_closing_request_with_pipelined_followers_answers_only_itself(client):
    client.send(get("/x", extra="Connection: close\r\n") + get("/x") + get("/x"))
    rest = client.rest_until_close()
    assert rest.count(b"HTTP/1.1 ") == 1 and rest.endswith(b"hello")


def test_head_gets_full_length_and_no_body(client):
    client.send(b"HEAD /big HTTP/1.1\r\n\r\n" + get("/x"))
    r = client.response(head_only=True)
    assert r.status == 200 and r.header("Content-Length") == str(256 * 400)
    # The next bytes are the second response, not body bytes of the first.
    assert client.response().body == b"hello"


def test_response_head_order(client):
    client.send(get("/hdr"))
    r = client.response()
    assert r.lines[0] == "HTTP/1.1 201 Created"
    assert r.lines[1] == "Server: kiv/0.1.0"
    assert re.fullmatch("Date: " + DATE_RE, r.lines[2])
    assert r.lines[3:] == [
        "Content-Length: 2",
        "Connection: keep-alive",
        "Content-Type: text/html; charset=utf-8",
        "X-A: 1",
        "X-B: 2",
    ]
    assert r.body == b"ok"


def test_large_response_then_pipelined_request(client):
    client.send(get("/big") + get("/x"))
    assert client.response().body == bytes(range(256)) * 400
    assert client.response().body == b"hello"


# --- refused requests ------------------------------------------------------------

FOLLOWER = get("/x")

REFUSED = [
    # framing that cannot be trusted
    ("cl-not-number", b"POST /echo HTTP/1.1\r\nContent-Length: abc\r\n\r\n", 400),
    ("cl-negative", b"POST /echo HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400),
    ("cl-plus", b"POST /echo HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello", 400),
    ("cl-list", b"POST /echo HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\nhello", 400),
    ("cl-conflict", b"POST /echo HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!",
     400),
    # transfer codings other than a lone chunked are not implemented
    ("te-gzip", b"POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 501),
    ("te-chunked-not-last",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 501),
    ("te-gzip-chunked",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n", 501),
    # malformed heads
    ("obs-fold", b"GET /x HTTP/1.1\r\nX-A: 1\r\n  folded\r\n\r\n", 400),
    ("bare-cr", b"GET /x HTTP/1.1\r\nX-A: 1\r2\r\n\r\n", 400),
    ("nul", b"GET /x HTTP/1.1\r\nX-A: 1\x002\r\n\r\n", 400),
    ("space-before-colon", b"GET /x HTTP/1.1\r\nX-A : 1\r\n\r\n", 400),
    ("bad-version", b"GET /x HTTP/2.0\r\n\r\n", 400),
    ("101-headers", b"GET /x HTTP/1.1\r\n" + b"X-H: v\r\n" * 101 + b"\r\n", 400),
    # targets
    ("asterisk", b"OPTIONS * HTTP/1.1\r\n\r\n", 400),
    ("relative", b"GET x HTTP/1.1\r\n\r\n", 400),
    ("path-8193", b"GET /" + b"a" * 8192 + b" HTTP/1.1\r\n\r\n", 414),
    ("target-100k", b"GET /" + b"a" * 100_000 + b" HTTP/1.1\r\n\r\n", 414),
    # bodies
    ("cl-over-max", b"POST /echo HTTP/1.1\r\nContent-Length: 1001\r\n\r\n" + b"a" * 1001, 413),
    ("chunk-0x",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n", 400),
    ("chunk-empty-size", b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n\r\n", 400),
    ("chunk-no-crlf-after-data",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXY0\r\n\r\n", 400),
    ("chunk-line-too-long",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1;" + b"e" * 1100, 400),
    ("chunk-signed",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n+5\r\nhello\r\n0\r\n\r\n", 400),
    ("chunk-ext-bare-cr",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;a\rb\r\nhello\r\n0\r\n\r\n",
     400),
    ("trailer-control-byte",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX-T: a\x0bb\x7f\r\n\r\n", 400),
    ("chunk-ext-nul",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;a\x00\r\nhello\r\n0\r\n\r\n",
     400),
    ("http10-transfer-encoding",
     b"POST /echo HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400),
    ("trailers-over-64k",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n"
     + b"X-T: " + b"t" * 1000 + b"\r\n" * 1 + (b"X-T: " + b"t" * 1000 + b"\r\n") * 70 + b"\r\n",
     431),
    ("complete-head-over-64k",
     b"GET /x HTTP/1.1\r\n" + (b"X-L: " + b"a" * 900 + b"\r\n") * 75 + b"\r\n", 431),
    ("chunks-over-max",
     b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
     b"258\r\n" + b"a" * 600 + b"\r\n258\r\n" + b"b" * 600 + b"\r\n0\r\n\r\n", 413),
]


@pytest.mark.parametrize("raw,status", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refused_request_gets_page_and_close(client, raw, status):
    client.send(raw + FOLLOWER)
    r = client.response()
    assert r.status == status
    assert r.header("Connection") == "close"
    assert r.header("Content-Type") == "text/html; charset=utf-8"
    # The page names the status the status line gives.
    assert f"<title>{r.lines[0].split(' ', 1)[1]}</title>".encode() in r.body
    # The follower is never read as a request of its own.
    assert client.rest_until_close() == b""


@pytest.mark.parametrize("code", [400, 413, 422, 501])
def test_framework_page_names_the_status_line_reason(client, code):
    client.send(get(f"/exc?{code}"))
    r = client.response()
    assert r.status == code and f"<title>{r.lines[0][9:]}</title>".encode() in r.body


def test_head_over_64k_is_431(client):
    client.send(b"GET /x HTTP/1.1\r\n" + b"X-Long: " + b"a" * 70000)
    r = client.response()
    assert r.status == 431 and b"Request Header Fields Too Large" in r.body
    assert client.rest_until_close() == b""


def test_413_arrives_before_any_body_byte(client):
    client.send(b"POST /echo HTTP/1.1\r\nContent-Length: 1001\r\n\r\n")
    assert client.response().status == 413
    assert client.closed()


def test_expect_continue_over_the_limit_gets_413_without_100(client):
    client.send(b"POST /echo HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5000\r\n\r\n")
    assert client.response().status == 413


def test_expect_continue_then_body(client):
    client.send(b"POST /echo HTTP/1.1\r\nExpect: 100-Continue\r\nContent-Length: 5\r\n\r\n")
    assert client.take(25) == b"HTTP/1.1 100 Continue\r\n\r\n"
    client.send(b"hello")
    assert client.response().json()["body"] == "hello"


def test_expect_continue_ignored_for_http10(client):
    client.send(b"POST /echo HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi")
    r = client.response()
    assert r.status == 200 and r.json()["body"] == "hi"


# --- accepted edge cases ----------------------------------------------------------


@pytest.mark.parametrize(
    "extra,body,expected",
    [
        ("Content-Length: 5\r\n", b"hello", "hello"),
        ("Content-Length:   5  \r\n", b"hello", "hello"),
        ("Content-Length: 5\r\ncontent-length: 5\r\n", b"hello", "hello"),
        ("Content-Length: 0\r\n", b"", ""),
        ("Transfer-Encoding: chunked\r\n", b"5;name=v\r\nhello\r\nA\r\n0123456789\r\n0\r\n\r\n",
         "hello0123456789"),
        ("Transfer-Encoding: CHUNKED\r\n", b"2 \r\nhi\r\n0\r\nX-T: 1\r\nY-T: 2\r\n\r\n", "hi"),
        ("Transfer-Encoding: chunked\n", b"2\nhi\r\n0\n\n", "hi"),  # bare LF line ends
    ],
)
def test_body_framings_then_pipelined_request(client, extra, body, expected):
    client.send(f"POST /echo HTTP/1.1\r\n{extra}\r\n".encode() + body + FOLLOWER)
    r = client.response()
    assert r.status == 200 and r.json()["body"] == expected
    assert r.header("Connection") == "keep-alive"
    assert client.response().body == b"hello"


def test_body_of_exactly_max_body(client):
    client.send(post("/echo", b"z" * MAX_BODY))
    assert client.response().json()["len"] == MAX_BODY


def test_chunked_with_content_length_is_read_as_chunked_then_closed(client):
    client.send(b"POST /echo HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n"
                b"5\r\nhello\r\n0\r\n\r\n" + FOLLOWER)
    r = client.response()
    assert r.json()["body"] == "hello" and r.header("Connection") == "close"
    assert client.rest_until_close() == b""


def test_chunk_crossing_limit_refused_when_announced(client):
    client.send(b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                b"258\r\n" + b"a" * 600 + b"\r\n258\r\n")  # 600 + 600 > 1000; no data sent
    assert client.response().status == 413


@pytest.mark.parametrize(
    "target,path,query",
    [
        ("http://h/nope?y=1", "/nope", "y=1"),
        ("https://host:8443/a/b", "/a/b", ""),
        ("http://h", "/", ""),
        ("http://", "/", ""),
        ("http://h?y=1", "/", ""),  # a query in the authority part is dropped
        ("/a?b=1?c", "/a", "b=1?c"),
        ("/a?", "/a", ""),
    ],
)
def test_target_forms(client, target, path, query):
    client.send(get(target))
    r = client.response()
    assert r.status == 404
    assert (r.header("X-Path"), r.header("X-Query")) == (path, query)


@pytest.mark.parametrize("query", ["", "q=" + "b" * 40_000])  # a long query fits in a head
def test_path_of_8192_bytes_accepted(client, query):
    path = "/" + "a" * 8191
    client.send(get(path + ("?" + query if query else "")))
    r = client.response()
    assert r.status == 404 and r.header("X-Path") == path


def test_100_headers_accepted(client):
    client.send(b"GET /echo HTTP/1.1\r\n" + b"".join(b"X-%d: v\r\n" % i for i in range(100))
                + b"\r\n")
    assert len(client.response().json()["headers"]) == 100


def test_headers_kept_in_order_and_values_decoded_lossily(client):
    client.send(b"GET /echo HTTP/1.1\r\nX-A: 1\r\nx-a:  2 \r\nX-U: caf\xc3\xa9 \xff!\r\n\r\n")
    assert client.response().json()["headers"] == [
        ["X-A", "1"], ["x-a", "2"], ["X-U", "caf\u00e9 \ufffd!"]]


def test_head_trickled_byte_by_byte(client):
    raw = get("/echo", extra="X-Pad: " + "p" * 8000 + "\r\n")
    for i in range(len(raw)):
        client.send(raw[i:i + 1])
    r = client.response()
    assert r.status == 200 and r.json()["headers"][1][1] == "p" * 8000


def test_body_split_across_packets_with_follower(client):
    body = bytes(range(256)) * 3
    raw = post("/echo", body)
    client.send(raw[:60])
    time.sleep(0.05)
    client.send(raw[60:400])
    time.sleep(0.05)
    client.send(raw[400:] + FOLLOWER)
    assert client.response().json()["sha"] == hashlib.sha256(body).hexdigest()
    assert client.response().body == b"hello"


def test_chunked_split_across_packets(client):
    pieces = [b"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3", b";x=1\r", b"\nab",
              b"c\r", b"\n4\r\nd", b"efg\r\n0\r\nT: 1", b"\r\n", b"\r\n"]
    for p in pieces:
        client.send(p)
        time.sleep(0.02)
    assert client.response().json()["body"] == "abcdefg"


def test_large_bodies(big_addr):
    c = Client(big_addr)
    try:
        body = os.urandom(3 << 20)
        c.send(post("/echo", body) + FOLLOWER)
        got = c.response().json()
        assert (got["len"], got["sha"]) == (len(body), hashlib.sha256(body).hexdigest())
        assert c.response().body == b"hello"
        chunked = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 70000]), body[i:i + 70000])
                           for i in range(0, len(body), 70000))
        c.send(b"PUT /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked + b"0\r\n\r\n")
        assert c.response().json()["sha"] == hashlib.sha256(body).hexdigest()
    finally:
        c.close()


def test_many_connections_in_parallel(addr):
    clients = [Client(addr) for _ in range(50)]
    try:
        for i, c in enumerate(clients):
            c.send(get(f"/echo?i={i}"))
        assert [c.response().json()["qs"] for c in clients] == [f"i={i}" for i in range(50)]
    finally:
        for c in clients:
            c.close()


# --- access log -----------------------------------------------------------------

LOG_SERVER = """
import sys
sys.path.insert(0, {tests!r})
from conftest import make_server
s = make_server(log=True)
s.add_rule("/x", ["GET"], lambda: "hello", "x", True)
sid = s.start("127.0.0.1", 0)
print(s.bound_addr(sid), flush=True)
sys.stdin.read()
s.stop(sid)
"""


def test_access_log_lines():
    tests = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.Popen([sys.executable, "-c", LOG_SERVER.format(tests=tests)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        host, port = proc.stdout.readline().decode().strip().rsplit(":", 1)
        c = Client((host, int(port)))
        c.send(get("/x") + b"HEAD /x HTTP/1.1\r\n\r\n" + get("/nope?q=1"))
        assert c.response().status == 200
        assert c.response(head_only=True).status == 200
        assert c.response().status == 404
        c.close()
        c = Client((host, int(port)))
        c.send(b"GET * HTTP/1.1\r\n\r\n")  # refused by the engine: not logged
        assert c.response().status == 400
        c.close()
        _, err = proc.communicate(b"", timeout=TIMEOUT)
    finally:
        proc.kill()
        proc.wait()
    lines = err.decode().splitlines()
    prefix = r"127\.0\.0\.1 - - \[" + DATE_RE + r"\] "
    assert len(lines) == 3, lines
    assert re.fullmatch(prefix + r'"GET /x" 200 5', lines[0])
    assert re.fullmatch(prefix + r'"HEAD /x" 200 0', lines[1])
    assert re.fullmatch(prefix + r'"GET /nope\?q=1" 404 4', lines[2])


# --- read time limit (a full minute: run with -m slow) ----------------------------


@pytest.mark.slow
@pytest.mark.timeout(150)
def test_read_time_limit(addr):
    idle = Client(addr)
    idle.send(get("/x"))
    assert idle.response().status == 200
    mid_body = Client(addr)
    mid_body.send(b"POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc")
    busy = Client(addr)  # a body slower than the limit in total, but never silent for long
    stalled = Client(addr)  # asks for a large answer and never reads it
    stalled.send(get("/huge"))
    for c in (idle, mid_body, busy):
        c.sock.settimeout(75)
    raw = b"hello world"
    busy.send(b"POST /echo HTTP/1.1\r\nContent-Length: 11\r\n\r\n")

    def trickle():
        for i in range(len(raw)):
            busy.send(raw[i:i + 1])
            time.sleep(66 / len(raw))

    start = time.monotonic()
    t = threading.Thread(target=trickle)
    t.start()
    try:
        r = mid_body.response()
        assert r.status == 408 and GENERIC_TITLE in r.body
        assert 59 <= time.monotonic() - start <= 64
        assert idle.closed()  # without a word
    finally:
        t.join()
    assert busy.response().json()["body"] == "hello world"
    # The write that made no progress was cut: the client finds the end of
    # the stream well before the whole answer.
    stalled.sock.settimeout(10)
    received = 0
    try:
        while chunk := stalled.sock.recv(1 << 20):
            received += len(chunk)
    except ConnectionResetError:
        pass
    assert 0 < received < HUGE


# --- real clients ----------------------------------------------------------------

def test_http_client_keep_alive_and_chunked_upload(addr):
    import http.client

    conn = http.client.HTTPConnection(*addr, timeout=TIMEOUT)
    try:
        for i in range(3):  # one connection, several requests
            conn.request("POST", f"/echo?i={i}", body=b"payload", headers={"X-N": str(i)})
            r = conn.getresponse()
            data = json.loads(r.read())
            assert r.status == 200 and r.getheader("Connection") == "keep-alive"
            assert data["query"] == [["i", str(i)]] and data["body"] == "payload"
        conn.request("PUT", "/echo", body=iter([b"ab", b"cd"]), encode_chunked=True)
        assert json.loads(conn.getresponse().read())["body"] == "abcd"
    finally:
        conn.close()


def test_urllib_and_curl(addr):
    import urllib.error
    import urllib.request

    base = f"http://{addr[0]}:{addr[1]}"
    with urllib.request.urlopen(base + "/x", timeout=TIMEOUT) as r:
        assert r.status == 200 and r.read() == b"hello"
    with pytest.raises(urllib.error.HTTPError) as info:
        urllib.request.urlopen(base + "/missing", timeout=TIMEOUT)
    assert info.value.code == 404
    out = subprocess.run(
        ["curl", "-sS", "-i", "--max-time", "5", "-H", "Expect: 100-continue",
         "--data-binary", "curl-body", base + "/echo"],
        capture_output=True, timeout=10, check=True,
    ).stdout
    head, _, body = out.rpartition(b"\r\n\r\n")
    assert b"HTTP/1.1 200 OK" in head and json.loads(body)["body"] == "curl-body"
