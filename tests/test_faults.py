"""Faults and load: clients that misbehave, views that fail or block, many
connections. Marked `faults`; run with: scripts/test.sh -m faults"""

import json
import os
import resource
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import kiv_threads, make_server

pytestmark = [pytest.mark.faults, pytest.mark.timeout(300)]

BIG_CALLS = []  # one entry per call of the /big view


@pytest.fixture(scope="module")
def target(tmp_path_factory):
    s = make_server(max_body=1 << 20)
    gate = threading.Event()
    s.add_rule("/", ["GET", "POST"], lambda: "ok", "i", False)
    s.add_rule("/raise", ["GET"], lambda: 1 / 0, "r", False)
    s.add_rule("/big", ["GET"], lambda: BIG_CALLS.append(1) or b"b" * (4 << 20), "b", False)
    s.add_rule("/block", ["GET"], lambda: "done" if gate.wait(30) else "late", "k", False)
    s.add_rule("/json", ["GET"], lambda: {"n": [1, 2.5, None], "s": "x"}, "j", False)
    s.add_rule("/n/<int:n>", ["GET"], lambda n: str(n), "n", False)
    static = tmp_path_factory.mktemp("static")
    (static / "f.txt").write_bytes(b"s" * 4096)
    s.set_static("/static", str(static))
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


def fd_count(pid="self"):
    return len(os.listdir(f"/proc/{pid}/fd"))


def assert_fds_back(limit, pid="self", wait=10):
    """Closed connections release their descriptors within `wait` seconds."""
    deadline = time.monotonic() + wait
    while fd_count(pid) > limit and time.monotonic() < deadline:
        time.sleep(0.1)
    assert fd_count(pid) <= limit


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
    before = fd_count()
    for _ in range(50):
        c = socket.create_connection(addr, timeout=5)
        c.sendall(partial)
        if partial.startswith(b"GET /big"):
            c.recv(1000)
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        c.close()  # reset, half-way through
    assert request(addr).endswith(b"ok")
    assert_fds_back(before + 2)


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


def test_static_files_answered_while_views_block(target):
    addr, gate = target
    blockers = [threading.Thread(target=request, args=(
        addr, b"GET /block HTTP/1.1\r\nConnection: close\r\n\r\n", 40)) for _ in range(4)]
    for t in blockers:
        t.start()
    try:
        time.sleep(0.3)
        answers = []
        workers = [threading.Thread(target=lambda: answers.append(request(
            addr, b"GET /static/f.txt HTTP/1.1\r\nConnection: close\r\n\r\n" ))) for _ in range(64)]
        for t in workers:
            t.start()
        for t in workers:
            t.join(20)
        assert len(answers) == 64 and all(a.endswith(b"s" * 4096) for a in answers)
    finally:
        gate.set()
        for t in blockers:
            t.join(40)
        gate.clear()


def answer_at_once(addr, count):
    """Opens count connections, sends a request on each, then reads every answer."""
    conns = []
    try:
        for _ in range(count):
            conns.append(socket.create_connection(addr, timeout=10))
        for c in conns:
            c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
        for c in conns:
            assert c.recv(4096).endswith(b"ok")
    finally:
        for c in conns:
            c.close()


def test_many_concurrent_connections(target):
    addr, _ = target
    answer_at_once(addr, 2000)



def rss_kib(pid="self"):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def test_memory_and_descriptors_flat_over_a_million_requests(target):
    addr, _ = target
    # A mix of paths through the server: Python text, JSON, a converted
    # argument, a static file, a routing miss and a small POST body. The batch
    # ends with "GET /" so that its last answer ends with "ok".
    mix = (b"GET /json HTTP/1.1\r\n\r\n"
           b"GET /n/7 HTTP/1.1\r\n\r\n"
           b"GET /static/f.txt HTTP/1.1\r\n\r\n"
           b"GET /missing HTTP/1.1\r\n\r\n"
           b"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello"
           b"GET / HTTP/1.1\r\n\r\n")
    per_mix = 6
    batch = mix * 10
    per_batch = per_mix * 10

    def burst(n):
        with socket.create_connection(addr, timeout=10) as c:
            for _ in range(n // per_batch):
                c.sendall(batch)
                answers = bytearray()
                while answers.count(b"HTTP/1.1 ") < per_batch or not answers.endswith(b"ok"):
                    chunk = c.recv(1 << 20)
                    assert chunk, "connection closed mid-batch"
                    answers += chunk
                assert answers.count(b"HTTP/1.1 404 ") == 10
                assert answers.count(b"HTTP/1.1 200 ") == per_batch - 10
        return n // per_batch * per_batch

    served = burst(60_000)  # warm-up: caches, pool threads, allocator arenas
    fds, rss = fd_count(), rss_kib()
    while served < 1_000_000:
        served += burst(60_000)
    fds_end, rss_end = fd_count(), rss_kib()
    print(f"\n{served} requests: descriptors {fds} -> {fds_end}, RSS {rss} -> {rss_end} KiB")
    assert served >= 1_000_000
    assert fds_end <= fds + 2
    assert rss_end - rss < 16 * 1024


@pytest.mark.parametrize("path,count", [("/big", 64), ("/", 2_000_000)])
def test_client_that_never_reads_while_pipelining(target, path, count):
    """The server must stop reading from a client that does not read its
    answers, instead of queueing answers without bound, and keep serving others."""
    addr, _ = target
    pending = (b"GET %s HTTP/1.1\r\n\r\n" % path.encode()) * count
    fds, rss = fd_count(), rss_kib()
    big_before = len(BIG_CALLS)
    c = socket.create_connection(addr, timeout=10)
    c.setblocking(False)
    sent = 0
    stalled_since = None
    deadline = time.monotonic() + 20
    while sent < len(pending) and time.monotonic() < deadline:
        _, writable, _ = select.select([], [c], [], 0.1)
        if writable:
            try:
                sent += c.send(pending[sent:sent + 65536])
                stalled_since = None
                continue
            except BlockingIOError:
                pass
        stalled_since = stalled_since or time.monotonic()
        if time.monotonic() - stalled_since > 1.0:
            break  # the server has stopped reading: back-pressure works
    try:
        if path == "/big":
            # The kernel's buffers hold a response or two; the rest must wait.
            assert len(BIG_CALLS) - big_before <= 6
        else:
            # 38 MB of requests whose answers would take 200 MB: the server
            # must stop reading long before the end.
            assert sent < len(pending), "the server read every request without sending answers"
        assert request(addr).endswith(b"ok")
        grown = rss_kib() - rss
        print(f"\n{path}: {sent} of {len(pending)} request bytes taken, RSS +{grown} KiB")
        assert grown < 64 * 1024
    finally:
        c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        c.close()
    assert_fds_back(fds + 2)


TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)

# A server in a process of its own (for descriptor room and for exits). It
# prints its address, then follows its mode; "wait" serves until stdin closes.
CHILD = r"""
import os, resource, socket, sys, threading, time
sys.path.insert(0, sys.argv[1])
from conftest import make_server
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
mode = sys.argv[2]
s = make_server()
started = threading.Event()
def slow():
    started.set()
    time.sleep(0.3)
    return "slow"
s.add_rule("/", ["GET"], lambda: "ok", "i", False)
s.add_rule("/slow", ["GET"], slow, "s", False)
sid = s.start("127.0.0.1", 0)
host, port = s.bound_addr(sid).rsplit(":", 1)
addr = (host, int(port))
print(s.bound_addr(sid), flush=True)
if mode == "wait":
    sys.stdin.read()
    sys.exit(0)
# Leave connections in every state: idle keep-alive, mid-head, a view running.
conns = []
for _ in range(20):
    c = socket.create_connection(addr)
    c.sendall(b"GET / HTTP/1.1\r\n\r\n")
    c.recv(100)
    conns.append(c)
conns.append(socket.create_connection(addr))
conns[-1].sendall(b"GET / HT")
conns.append(socket.create_connection(addr))
conns[-1].sendall(b"GET /slow HTTP/1.1\r\n\r\n")
started.wait(5)
if mode == "busy":
    # Daemon threads keep requests, test requests and stops going while the
    # interpreter shuts down around them.
    def load():
        while True:
            try:
                x = socket.create_connection(addr)
                x.sendall(b"GET /slow HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n")
                x.recv(100)
                x.close()
            except OSError:
                pass
    def in_process():
        while True:
            s.test_request("GET", "/slow")
    other = make_server()  # a server object is borrowed while it starts
    def stopper():
        while True:
            other.stop(other.start("127.0.0.1", 0), 1)
    for fn in (load, load, in_process, stopper):
        threading.Thread(target=fn, daemon=True).start()
    time.sleep(0.2)
if mode == "exit":
    sys.exit(3)
"""


def start_child(mode):
    return subprocess.Popen([sys.executable, "-c", CHILD, TESTS, mode], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def child_addr(proc):
    ready, _, _ = select.select([proc.stdout], [], [], 20)
    assert ready, "the child server did not start"
    host, port = proc.stdout.readline().strip().rsplit(":", 1)
    return host, int(port)


@pytest.mark.parametrize("mode,code", [("return", 0), ("exit", 3), ("busy", 0)])
def test_process_exits_with_open_connections(mode, code):
    # Shutdown races differ from run to run: repeat.
    for _ in range(5):
        proc = start_child(mode)
        try:
            out, err = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        assert proc.returncode == code, err
        assert "Fatal" not in err and "FATAL" not in err and "Traceback" not in err, err


def test_ten_thousand_concurrent_connections():
    count = 10_000
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < count + 200:
        pytest.skip(f"descriptor limit {hard} is below {count} connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    proc = start_child("wait")
    conns = []
    try:
        addr = child_addr(proc)
        time.sleep(0.2)
        fds, rss = fd_count(proc.pid), rss_kib(proc.pid)
        for _ in range(count):
            conns.append(socket.create_connection(addr, timeout=20))
        # Two rounds: every connection is answered and stays open.
        for _ in range(2):
            for c in conns:
                c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            for c in conns:
                answer = b""
                while not answer.endswith(b"ok"):
                    chunk = c.recv(4096)
                    assert chunk, "connection closed"
                    answer += chunk
        fds_open, rss_open = fd_count(proc.pid), rss_kib(proc.pid)
        assert fds_open >= fds + count
        per_conn = (rss_open - rss) * 1024 / count
        print(f"\n{count} connections held: server descriptors {fds} -> {fds_open}, "
              f"RSS {rss} -> {rss_open} KiB ({per_conn:.0f} bytes each)")
        assert per_conn < 32 * 1024
        for c in conns:
            c.close()
        conns = []
        assert_fds_back(fds + 2, proc.pid, wait=20)
        assert request(addr).endswith(b"ok")
        proc.stdin.close()
        proc.wait(10)
        assert proc.returncode == 0
    finally:
        for c in conns:
            c.close()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def test_balancer_survives_a_killed_worker():
    from test_serving import children_of, free_port, reap, wait_for

    port = free_port()
    addr = ("127.0.0.1", port)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")]))}
    proc = subprocess.Popen(
        [sys.executable, "-m", "kiv", "run", "examples.api:app", "--port", str(port),
         "--workers", "3"], cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    workers = []
    stop = threading.Event()
    killed = []
    stats = []
    lock = threading.Lock()

    def client():
        mine = {"served": 0, "after_kill": 0, "errors_on_survivors": 0, "lost": 0, "redials": 0}
        with lock:
            stats.append(mine)
        conn, pid = None, None
        while not stop.is_set():
            try:
                if conn is None:
                    conn = socket.create_connection(addr, timeout=5)
                    pid = None
                conn.sendall(b"GET /whoami HTTP/1.1\r\n\r\n")
                data = b""
                while b"}" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        raise ConnectionResetError("closed")
                    data += chunk
                got = json.loads(data.split(b"\r\n\r\n", 1)[1])["pid"]
                assert pid in (None, got), "a connection changed workers"
                pid = got
                mine["served"] += 1
                if killed:
                    mine["after_kill"] += 1
            except OSError:
                if conn is not None:
                    conn.close()
                conn = None
                if pid is not None and killed and pid != killed[0]:
                    mine["errors_on_survivors"] += 1
                elif pid is not None:
                    mine["lost"] += 1  # its worker was killed
                else:
                    mine["redials"] += 1  # rotation handed it to the dead worker
                time.sleep(0.01)
        if conn is not None:
            conn.close()

    threads = [threading.Thread(target=client) for _ in range(12)]
    try:
        wait_for(f"127.0.0.1:{port}", time.monotonic() + 30)
        workers = children_of(proc.pid)
        assert len(workers) == 3
        for t in threads:
            t.start()
        time.sleep(2)
        killed.append(workers[1])
        os.kill(workers[1], signal.SIGKILL)
        time.sleep(3)
    finally:
        stop.set()
        for t in threads:
            t.join(10)
        proc.send_signal(signal.SIGINT)
        try:
            proc.communicate(timeout=15)
        finally:
            reap(proc, workers)
    total = {k: sum(s[k] for s in stats) for k in stats[0]}
    print(f"\nbalancer with a killed worker: {total}")
    assert total["errors_on_survivors"] == 0
    assert all(s["after_kill"] > 0 for s in stats), stats  # every client kept going
    assert total["lost"] >= 1


def test_bursts_of_quick_views_do_not_multiply_pool_threads(target):
    """Quick views keep one or two pool threads busy; a burst that queues many
    of them at once must not be mistaken for blocked views."""
    addr, _ = target
    before = kiv_threads()
    for _ in range(5):
        answer_at_once(addr, 1000)
    grown = kiv_threads() - before
    print(f"\nthreads named kiv-io: {before} before, {before + grown} after 5 bursts")
    assert grown <= 4
