"""Large static files over real sockets: sent from the descriptor, whole and exact, on
keep-alive and HTTP/1.0 connections and for HEAD; a file that shrinks while it is sent
cuts the connection instead of ending a response early."""

import os
import socket

import pytest

from kiv import App

BIG = bytes(range(256)) * (3 * 4096 + 7)  # about 3 MiB, not a multiple of any step


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    (folder / "big.bin").write_bytes(BIG)
    app = App("large", static_folder=None)
    app.static("/files", folder)
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    yield (host, int(port)), folder
    app.server.stop(sid, 5)


def read_response(sock, buf=b"", head_only=False):
    """One response by its Content-Length; returns (head, body, rest)."""
    while b"\r\n\r\n" not in buf:
        chunk = sock.recv(65536)
        if not chunk:
            return None, buf, b""
        buf += chunk
    head, _, buf = buf.partition(b"\r\n\r\n")
    length = int(head.split(b"Content-Length: ")[1].split(b"\r\n")[0])
    want = 0 if head_only else length
    while len(buf) < want and (chunk := sock.recv(1 << 20)):
        buf += chunk
    return head.decode(), buf[:want], buf[want:]


@pytest.mark.parametrize("requests,bodies", [
    (b"GET /files/big.bin HTTP/1.1\r\n\r\nGET /files/big.bin HTTP/1.1\r\n\r\n", [BIG, BIG]),
    (b"HEAD /files/big.bin HTTP/1.1\r\n\r\nGET /files/big.bin HTTP/1.1\r\n\r\n", [b"", BIG]),
    (b"GET /files/big.bin HTTP/1.0\r\n\r\n", [BIG]),
])
def test_large_file_whole_and_exact(served, requests, bodies):
    heads_only = requests.startswith(b"HEAD")
    with socket.create_connection(served[0], timeout=10) as s:
        s.sendall(requests)
        rest = b""
        for i, expected in enumerate(bodies):
            head, body, rest = read_response(s, rest, heads_only and i == 0)
            assert head.startswith("HTTP/1.1 200 ")
            assert f"Content-Length: {len(BIG)}" in head
            assert body == expected
        assert rest == b""


def test_file_that_shrinks_while_sent_cuts_the_connection(served):
    addr, folder = served
    path = folder / "shrinks.bin"
    block = os.urandom(1 << 16)
    with open(path, "wb") as f:  # 64 MiB, far more than socket buffers, written a block
        for _ in range(1024):    # at a time rather than built in memory
            f.write(block)
    with socket.create_connection(addr, timeout=10) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16)
        s.sendall(b"GET /files/shrinks.bin HTTP/1.1\r\n\r\n")
        buf = b""
        while b"\r\n\r\n" not in buf:
            buf += s.recv(65536)
        os.truncate(path, 1 << 20)
        received = len(buf.partition(b"\r\n\r\n")[2])
        while chunk := s.recv(1 << 20):
            received += len(chunk)
    assert b"Content-Length: 67108864" in buf
    assert received < 64 << 20  # ended by the close, not by a complete body


@pytest.mark.parametrize("range_,status,part", [
    ("bytes=1000-1999999", 206, slice(1000, 2000000)),
    ("bytes=-70000", 206, slice(len(BIG) - 70000, None)),
    ("bytes=0-0,5-9", 200, slice(None)),
])
def test_range_of_a_large_file(served, range_, status, part):
    with socket.create_connection(served[0], timeout=10) as s:
        s.sendall(f"GET /files/big.bin HTTP/1.1\r\nRange: {range_}\r\n\r\n".encode())
        head, body, rest = read_response(s)
    assert head.startswith(f"HTTP/1.1 {status} ") and body == BIG[part] and rest == b""


def test_kept_file_truncated_in_place_is_never_sent_short(served):
    # The second answer may come from the kept descriptor, with the old length: then it is cut.
    addr, folder = served
    path = folder / "hot.bin"
    path.write_bytes(BIG)
    with socket.create_connection(addr, timeout=10) as s:
        s.sendall(b"GET /files/hot.bin HTTP/1.1\r\n\r\n")
        head, body, rest = read_response(s)
        assert body == BIG and rest == b""
        os.truncate(path, 1000)
        s.sendall(b"GET /files/hot.bin HTTP/1.1\r\n\r\n")
        head, body, rest = read_response(s)
    announced = int(head.split("Content-Length: ")[1].split("\r\n")[0])
    assert body == BIG[:1000] if announced == 1000 else len(body) < announced == len(BIG)
