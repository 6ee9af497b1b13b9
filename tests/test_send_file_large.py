"""send_file with large files: byte-exact over sockets and the test client, in bounded memory."""

import os
import socket

import pytest

from kiv import App, Response, send_file
from kiv.files import FileBody

BIG = os.urandom(1 << 16) * 80 + b"tail"  # 5 MiB and a little, not a multiple of any step
SPARSE = 256 << 20
TARGETS = [pytest.param(t, span, id=t) for t, span in [
    ("/path/big.bin", (0, None)), ("/object", (100, None)), ("/slice", (10, 70010))]]


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    folder = tmp_path_factory.mktemp("send")
    (folder / "big.bin").write_bytes(BIG)
    (folder / "small.bin").write_bytes(BIG[:1000])
    (folder / "sparse.bin").touch()
    os.truncate(folder / "sparse.bin", SPARSE)
    app = App("sendlarge", static_folder=None)
    app.route("/path/<name>")(lambda name: send_file(str(folder / name), "application/x-b"))

    @app.route("/object")
    def by_object():
        with open(folder / "big.bin", "rb") as f:  # closed before the response is sent
            f.seek(100)
            return send_file(f, mimetype="application/x-b", last_modified=1)

    @app.route("/slice")
    def a_slice():
        with open(folder / "big.bin", "rb") as f:
            return Response(FileBody(f, 10, 70000), mimetype="application/x-b")

    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    yield app, (host, int(port))
    app.server.stop(sid, 5)


def read_response(sock, buf, head_only=False):
    while b"\r\n\r\n" not in buf:
        buf += (chunk := sock.recv(65536))
        assert chunk, "connection closed before a head"
    head, _, buf = buf.partition(b"\r\n\r\n")
    length = int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
    want = 0 if head_only else length
    while len(buf) < want and (chunk := sock.recv(1 << 20)):
        buf += chunk
    return head.decode(), length, buf[:want], buf[want:]


@pytest.mark.parametrize("target,expected", TARGETS)
@pytest.mark.parametrize("methods,version", [
    (["GET", "GET"], "1.1"), (["HEAD", "GET"], "1.1"), (["GET"], "1.0")])
def test_large_file_over_a_socket(served, target, expected, methods, version):
    expected = BIG[slice(*expected)]
    with socket.create_connection(served[1], timeout=10) as s:
        rest = b""
        for method in methods:  # a second request on the same connection works
            s.sendall(f"{method} {target} HTTP/{version}\r\nHost: x\r\n\r\n".encode())
            head, length, body, rest = read_response(s, rest, method == "HEAD")
            assert (head[:13], length, body) == ("HTTP/1.1 200 ", len(expected),
                                                 b"" if method == "HEAD" else expected)
        assert rest == b"" and (version == "1.1" or s.recv(1) == b"")


@pytest.mark.parametrize("target,whole", TARGETS[:2] + [
    pytest.param("/path/small.bin", (0, 1000), id="/path/small.bin")])
@pytest.mark.parametrize("headers,status,part", [
    ({}, 200, slice(None)), ({"Range": "bytes=0-0,5-9"}, 200, slice(None)),
    ({"Range": "bytes=10-99"}, 206, slice(10, 100)),
    ({"Range": "bytes=-70"}, 206, slice(-70, None)),
    ({"Range": "bytes=900-"}, 206, slice(900, None)),
    ({"Range": "bytes=99999999-"}, 416, slice(0, 0)),
    ({"Range": "bytes=10-99", "If-Range": '"stale"'}, 200, slice(None)),
    ({"If-Modified-Since": "Fri, 01 Jan 2100 00:00:00 GMT"}, 304, slice(0, 0)),
])
def test_ranges_through_the_test_client(served, target, whole, headers, status, part):
    whole = BIG[slice(*whole)]
    r = served[0].test_client().get(target, headers=headers)
    assert (r.status_code, r.data) == (status, whole[part])
    size, start = len(whole), part.indices(len(whole))[0]
    assert r.headers.get("Content-Range") == {
        206: f"bytes {start}-{start + len(r.data) - 1}/{size}", 416: f"bytes */{size}"}.get(status)


def rss():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith("VmRSS:"))


def test_memory_does_not_grow_with_the_file(served):
    # The server runs in this process; a body read whole would be resident half-way.
    before, grown = rss(), None
    with socket.create_connection(served[1], timeout=30) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16)
        s.sendall(b"GET /path/sparse.bin HTTP/1.1\r\nConnection: close\r\n\r\n")
        received = len(read_response(s, b"", head_only=True)[3])
        view = memoryview(bytearray(1 << 20))
        while n := s.recv_into(view):
            received += n
            if grown is None and received >= SPARSE // 2:
                grown = rss() - before
    assert received == SPARSE and grown < 64 << 20
