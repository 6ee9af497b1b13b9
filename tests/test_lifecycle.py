"""Starting, stopping and running servers."""

import os
import select
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


# --- drain, accept errors and connection limits -------------------------------------


def connect(addr, timeout=10):
    host, _, port = addr.rpartition(":")
    return socket.create_connection((host, int(port)), timeout=timeout)


def until_close(sock):
    data = b""
    try:
        while chunk := sock.recv(65536):
            data += chunk
    except ConnectionResetError:
        data += b"<reset>"
    return data


@pytest.mark.parametrize("complete,result", [(True, True), (False, False)],
                         ids=["request-finished", "request-cut"])
def test_drain_lets_requests_in_progress_finish(server, complete, result):
    s, _ = server
    running, release = threading.Event(), threading.Event()

    def slow():
        running.set()
        release.wait(20)
        return "slow"

    s.add_rule("/slow", ["GET"], slow, "slow", False)
    sid = s.start("127.0.0.1", 0)
    addr = s.bound_addr(sid)
    idle = connect(addr)
    idle.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    assert idle.recv(4096).endswith(b"up")
    busy = connect(addr)
    busy.sendall(b"GET /slow HTTP/1.1\r\nHost: x\r\n\r\n")
    assert running.wait(10)  # the view is in progress before the drain starts
    outcome = []
    t = threading.Thread(target=lambda: outcome.append(s.drain(sid, 10 if complete else 1)))
    t.start()
    try:
        assert until_close(idle) == b""  # the idle connection is closed, cleanly
        if complete:
            release.set()
            answer = until_close(busy)
            assert answer.startswith(b"HTTP/1.1 200") and b"Connection: close\r\n" in answer
        else:
            assert until_close(busy) in (b"", b"<reset>")  # cut after the timeout
    finally:
        release.set()
        t.join(15)
    assert outcome == [result]
    assert s.bound_addr(sid) is None and s.drain(sid, 1) is False
    with pytest.raises(OSError):
        connect(addr, timeout=2)


# Fills every free descriptor, then frees them when told, so accepts fail with
# EMFILE in between.
FD_CHILD = r"""
import os, resource, sys
sys.path.insert(0, sys.argv[1])
from conftest import make_server
s = make_server()
s.add_rule("/", ["GET"], lambda: "up", "i", False)
sid = s.start("127.0.0.1", 0)
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(soft, 512), hard))
print(s.bound_addr(sid), flush=True)
sys.stdin.readline()
held = []
while True:
    try:
        held.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        break
print("full", flush=True)
sys.stdin.readline()
for fd in held:
    os.close(fd)
print("freed", flush=True)
sys.stdin.readline()
"""


def test_accepting_resumes_when_descriptors_are_free():
    proc = subprocess.Popen([sys.executable, "-c", FD_CHILD, os.path.dirname(__file__)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        addr = proc.stdout.readline().strip()
        proc.stdin.write("fill\n")
        proc.stdin.flush()
        assert proc.stdout.readline() == "full\n"
        c = connect(addr)  # completed by the kernel; accept() fails in the server
        c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        c.settimeout(0.5)
        with pytest.raises(socket.timeout):
            c.recv(1)  # no descriptor to accept it with
        c.settimeout(10)
        proc.stdin.write("free\n")
        proc.stdin.flush()
        assert proc.stdout.readline() == "freed\n"
        assert until_close(c).endswith(b"up")
        assert get(addr).endswith(b"up")
    finally:
        proc.kill()
        proc.wait()


@pytest.mark.parametrize("head,body,status", [
    (b"GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"p" * 30 + b"\r\n\r\n", b"", b"408"),
    (b"POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 12\r\n\r\n", b"b" * 12, b"200"),
], ids=["slow-head", "slow-body"])
def test_whole_head_deadline(server, head, body, status):
    # The head gets one second in all; a body only the per-read limit. Both are
    # trickled over several seconds, a byte every 0.3 s.
    s, started = server
    s.add_rule("/p", ["POST"], lambda: "posted", "p", False)
    sid = s.start("127.0.0.1", 0, head_timeout=1)
    started.append(sid)
    with connect(s.bound_addr(sid)) as c:
        if body:
            c.sendall(head)
        for byte in body or head:
            c.sendall(bytes([byte]))
            if select.select([c], [], [], 0.3)[0]:
                break  # answered (or closed) before the last byte
        assert until_close_or_answer(c).startswith(b"HTTP/1.1 " + status)


def until_close_or_answer(sock):
    data = b""
    while b"\r\n\r\n" not in data and (chunk := sock.recv(65536)):
        data += chunk
    return data


def test_connections_beyond_the_limit_get_503(server):
    s, started = server
    sid = s.start("127.0.0.1", 0, limit_concurrency=2)
    started.append(sid)
    addr = s.bound_addr(sid)
    held = [connect(addr), connect(addr)]
    for c in held:
        c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        assert c.recv(4096).endswith(b"up")
    with connect(addr) as extra:
        extra.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        answer = until_close(extra)
        assert answer.startswith(b"HTTP/1.1 503") and b"Connection: close\r\n" in answer
    held.pop().close()
    deadline = time.monotonic() + 10
    while not get(addr).startswith(b"HTTP/1.1 200"):  # once the server saw the close
        assert time.monotonic() < deadline
        time.sleep(0.05)
    held[0].close()
