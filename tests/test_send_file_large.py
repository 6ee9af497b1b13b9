"""send_file with large files: sent from the descriptor over real sockets and through the
test client, byte-exact on keep-alive and HTTP/1.0 connections, nothing for HEAD, a file
object the view closes at once, and server memory that does not grow with the file."""

import os
import socket

import pytest

from kiv import App, Response, send_file
from kiv.files import FileBody

BIG = os.urandom(1 << 16) * 80 + b"tail"  # 5 MiB and a little, not a multiple of any step
SPARSE = 256 << 20


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    folder = tmp_path_factory.mktemp("send")
    (folder / "big.bin").write_bytes(BIG)
    with open(folder / "sparse.bin", "wb") as f:
        f.truncate(SPARSE)
    app = App("sendlarge", static_folder=None)

    @app.route("/path/<name>")
    def by_path(name):
        return send_file(str(folder / name), mimetype="application/octet-stream")

    @app.route("/object")
    def by_object():
        with open(folder / "big.bin", "rb") as f:
            f.seek(100)
            return send_file(f, mimetype="application/octet-stream")

    @app.route("/slice")
    def a_slice():
        with open(folder / "big.bin", "rb") as f:
            return Response(FileBody(f, 10, 70000), mimetype="application/octet-stream")

    return app


TARGETS = [("/path/big.bin", BIG), ("/object", BIG[100:]), ("/slice", BIG[10:70010])]


@pytest.fixture(scope="module")
def addr(app):
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    yield host, int(port)
    app.server.stop(sid, 5)


def read_response(sock, buf, head_only=False):
    """One response framed by its Content-Length; returns (head, body, rest)."""
    while b"\r\n\r\n" not in buf:
        chunk = sock.recv(65536)
        assert chunk, "connection closed before a head"
        buf += chunk
    head, _, buf = buf.partition(b"\r\n\r\n")
    length = int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
    want = 0 if head_only else length
    while len(buf) < want and (chunk := sock.recv(1 << 20)):
        buf += chunk
    return head.decode(), length, buf[:want], buf[want:]


@pytest.mark.parametrize("target,expected", TARGETS)
@pytest.mark.parametrize("methods,version", [
    (["GET", "GET"], "1.1"),   # a second request on the same connection works
    (["HEAD", "GET"], "1.1"),
    (["GET"], "1.0"),
])
def test_large_file_over_a_socket(addr, target, expected, methods, version):
    with socket.create_connection(addr, timeout=10) as s:
        rest = b""
        for method in methods:
            s.sendall(f"{method} {target} HTTP/{version}\r\nHost: x\r\n\r\n".encode())
            head, length, body, rest = read_response(s, rest, method == "HEAD")
            assert head.startswith("HTTP/1.1 200 ") and length == len(expected)
            assert body == (b"" if method == "HEAD" else expected)
        assert rest == b""
        if version == "1.0":
            assert s.recv(1) == b""  # closed after the one response


@pytest.mark.parametrize("target,expected", TARGETS)
@pytest.mark.parametrize("method", ["GET", "HEAD"])
def test_large_file_through_the_test_client(app, target, expected, method):
    r = app.test_client().open(target, method=method)
    assert (r.status_code, r.data) == (200, b"" if method == "HEAD" else expected)


def test_not_modified_large_file_has_no_body(app):
    client = app.test_client()
    etag = client.get("/path/big.bin").headers["ETag"]
    r = client.get("/path/big.bin", headers={"If-None-Match": etag})
    assert (r.status_code, r.data) == (304, b"")


def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmRSS:"))


def test_memory_does_not_grow_with_the_file(addr):
    # The server runs in this process; a body read whole would be resident while it is
    # sent, so the sample is taken half-way through the download.
    before = rss()
    grown = None
    with socket.create_connection(addr, timeout=30) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16)
        s.sendall(b"GET /path/sparse.bin HTTP/1.1\r\nConnection: close\r\n\r\n")
        buf = b""
        while b"\r\n\r\n" not in buf:
            buf += s.recv(65536)
        head, _, body = buf.partition(b"\r\n\r\n")
        assert f"Content-Length: {SPARSE}".encode() in head
        received = len(body)
        view = memoryview(bytearray(1 << 20))
        while n := s.recv_into(view):
            received += n
            if grown is None and received >= SPARSE // 2:
                grown = rss() - before
    assert received == SPARSE
    assert grown < 64 << 20
