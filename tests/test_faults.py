"""Faults and load: clients that misbehave, views that fail or block, many
connections. Marked `faults`; run with: scripts/test.sh -m faults"""

import os
import socket
import threading
import time

import pytest

from conftest import make_server

pytestmark = [pytest.mark.faults, pytest.mark.timeout(300)]


@pytest.fixture(scope="module")
def target():
    s = make_server(max_body=1 << 20)
    gate = threading.Event()
    s.add_rule("/", ["GET", "POST"], lambda: "ok", "i", False)
    s.add_rule("/raise", ["GET"], lambda: 1 / 0, "r", False)
    s.add_rule("/big", ["GET"], lambda: b"b" * (4 << 20), "b", False)
    s.add_rule("/block", ["GET"], lambda: "done" if gate.wait(30) else "late", "k", False)
    sid = s.start("127.0.0.1", 0)
    host, port = s.bound_addr(sid).rsplit(":", 1)
    yield (host, int(port)), gate
    gate.set()
    s.stop(sid, 5)


def request(addr, raw=b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", timeout=10):
    with socket.create_connection(addr, timeout=timeout) as c:
        c.sendall(raw)
        data = b""
        while chunk := c.recv(65536):
            data += chunk
    return data


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    "partial",
    [
        b"GET / HT",                                                   # mid-head
        b"POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly-some",    # mid-body
        b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab",  # mid-chunk
        b"GET /big HTTP/1.1\r\n\r\n",                                  # mid-response
    ],
)
def test_disconnects_leave_the_server_sound(target, partial):
    addr, _ = target
    before = open_fds()
    for _ in range(50):
        c = socket.create_connection(addr, timeout=5)
        c.sendall(partial)
        if partial.startswith(b"GET /big"):
            c.recv(1000)
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        c.close()  # reset, half-way through
    assert request(addr).endswith(b"ok")
    deadline = time.monotonic() + 10
    while open_fds() > before + 2 and time.monotonic() < deadline:
        time.sleep(0.1)
    assert open_fds() <= before + 2


def test_raising_view_on_every_request(target, capfd):
    addr, _ = target
    for _ in range(200):
        assert request(addr, b"GET /raise HTTP/1.1\r\nConnection: close\r\n\r\n").startswith(
            b"HTTP/1.1 500 ")
    assert request(addr).endswith(b"ok")
    assert capfd.readouterr().err.count("ZeroDivisionError") >= 200


def test_blocked_views_while_others_are_served(target):
    addr, gate = target
    results = []
    blockers = [threading.Thread(target=lambda: results.append(
        request(addr, b"GET /block HTTP/1.1\r\nConnection: close\r\n\r\n", timeout=40)))
        for _ in range(20)]
    for t in blockers:
        t.start()
    time.sleep(0.5)
    start = time.monotonic()
    for _ in range(20):
        assert request(addr).endswith(b"ok")
    assert time.monotonic() - start < 10
    gate.set()
    for t in blockers:
        t.join(40)
    assert len(results) == 20 and all(r.endswith(b"done") for r in results)
    gate.clear()


def test_many_concurrent_connections(target):
    addr, _ = target
    conns = []
    try:
        for _ in range(2000):
            conns.append(socket.create_connection(addr, timeout=10))
        for c in conns:
            c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        for c in conns:
            assert c.recv(4096).endswith(b"ok")
    finally:
        for c in conns:
            c.close()


def test_memory_and_descriptors_flat(target):
    addr, _ = target

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    def burst(n):
        with socket.create_connection(addr, timeout=10) as c:
            raw = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n" * 50
            for _ in range(n // 50):
                c.sendall(raw)
                answers = b""
                # Whole answers only: each ends with its 2-byte body "ok".
                while answers.count(b"\r\n\r\nok") < 50:
                    answers += c.recv(65536)

    burst(20_000)
    fds, rss = open_fds(), rss_kib()
    for _ in range(10):
        burst(10_000)
    assert open_fds() <= fds + 2
    assert rss_kib() - rss < 16 * 1024
