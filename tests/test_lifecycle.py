"""Starting, stopping and running servers."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _kiv
from conftest import make_server

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def get(addr, path="/", timeout=5):
    host, _, port = addr.rpartition(":")
    host = host.strip("[]")
    with socket.create_connection((host, int(port)), timeout=timeout) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data


@pytest.fixture
def server():
    s = make_server()
    s.add_rule("/", ["GET"], lambda: "up", "i", False)
    started = []
    yield s, started
    for sid in started:
        s.stop(sid, 5)


def test_start_bound_addr_and_stop(server):
    s, started = server
    before = s.running_servers
    sid = s.start("127.0.0.1", 0)
    started.append(sid)
    addr = s.bound_addr(sid)
    host, port = addr.rsplit(":", 1)
    assert host == "127.0.0.1" and int(port) > 0
    assert s.running_servers == before + 1
    assert get(addr).endswith(b"\r\n\r\nup")
    # Another Server object sees and stops the same id.
    assert _kiv.Server().stop(sid, 5) is True
    assert s.bound_addr(sid) is None and s.running_servers == before
    assert s.stop(sid) is False
    with pytest.raises(OSError):
        get(addr, timeout=2)


def test_ids_increase_and_failures_use_them_up(server):
    s, started = server
    a = s.start("127.0.0.1", 0)
    started.append(a)
    taken = int(s.bound_addr(a).rsplit(":", 1)[1])
    with pytest.raises(RuntimeError) as info:
        s.start("127.0.0.1", taken)
    assert str(info.value) == "Address already in use (os error 98)"
    with pytest.raises(RuntimeError):  # a configuration failure takes no id
        _kiv.Server().start("127.0.0.1", 0)
    b = s.start("127.0.0.1", 0)
    started.append(b)
    assert b == a + 2


def test_ipv6_address_in_brackets(server):
    s, started = server
    try:
        sid = s.start("::1", 0)
    except RuntimeError as e:
        pytest.skip(f"no IPv6 loopback here: {e}")
    started.append(sid)
    addr = s.bound_addr(sid)
    assert addr.startswith("[::1]:")
    assert get(addr).endswith(b"up")


@pytest.mark.parametrize("host,message", [
    ("no-such-host.invalid", "failed to lookup address information: "),
])
def test_unresolvable_host(server, host, message):
    s, _ = server
    with pytest.raises(RuntimeError) as info:
        s.start(host, 0)
    assert str(info.value).startswith(message)


def test_open_connection_survives_stop(server):
    s, _ = server
    sid = s.start("127.0.0.1", 0)
    host, port = s.bound_addr(sid).rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=5) as c:
        c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        assert c.recv(4096).endswith(b"up")
        assert s.stop(sid, 5) is True
        c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        assert c.recv(4096).endswith(b"up")


def test_stop_zero_timeout_removes_entry(server):
    s, _ = server
    sid = s.start("127.0.0.1", 0)
    result = s.stop(sid, 0)
    assert result in (True, False)
    assert s.bound_addr(sid) is None


def test_run_returns_when_stopped_elsewhere(server):
    s, _ = server
    banners = []

    def banner(addr):
        banners.append(addr)
        raise ValueError("banner failures are ignored")

    result = {}
    t = threading.Thread(target=lambda: result.setdefault("addr", s.run("127.0.0.1", 0, 0, banner)))
    t.start()
    deadline = time.monotonic() + 10
    while not banners and time.monotonic() < deadline:
        time.sleep(0.01)
    assert banners, "run never called its banner"
    assert get(banners[0]).endswith(b"up")
    # While run holds the object, even shared calls on it fail at once.
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        s.bound_addr(1)
    other = _kiv.Server()
    for sid in range(1, 10_000):
        if other.bound_addr(sid) == banners[0]:
            assert other.stop(sid, 5)
            break
    t.join(10)
    assert not t.is_alive() and result["addr"] == banners[0]


def test_ctrl_c_stops_run():
    code = textwrap.dedent(f"""
        import sys
        sys.path[:0] = [{os.path.join(ROOT, 'tests')!r}]
        from conftest import make_server
        s = make_server()
        s.add_rule("/", ["GET"], lambda: "up", "i", False)
        try:
            s.run("127.0.0.1", 0, banner=lambda a: print(a, flush=True))
        except KeyboardInterrupt:
            print("interrupted", s.running_servers, flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        addr = proc.stdout.readline().strip()
        assert get(addr).endswith(b"up")
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=10)
        assert out.strip() == "interrupted 0"
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_blocked_views_do_not_starve_others(server):
    s, started = server
    gate = threading.Event()
    s.add_rule("/block", ["GET"], lambda: "released" if gate.wait(20) else "timeout", "b", False)
    sid = s.start("127.0.0.1", 0)
    started.append(sid)
    addr = s.bound_addr(sid)
    results = []
    blockers = [threading.Thread(target=lambda: results.append(get(addr, "/block", 30)))
                for _ in range(4)]
    for t in blockers:
        t.start()
    time.sleep(0.3)
    # Four pool threads sit in views; the pool must still grow for this one.
    assert get(addr, "/", 10).endswith(b"up")
    gate.set()
    for t in blockers:
        t.join(30)
    assert [r.endswith(b"released") for r in results] == [True] * 4
