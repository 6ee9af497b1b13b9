"""The TCP balancer: rotation, the added X-Forwarded-For line, relaying, stop.

run_balancer blocks its thread until a signal handler raises, so each balancer
runs in a child process that is stopped with SIGINT. Workers are small socket
servers in threads of this process that record what they receive.
"""

import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import _kiv

WAIT = 10  # upper bound of every wait, in seconds

# The child reports the exception that ended run_balancer, then stays alive
# (with its relayed connections) until its stdin closes.
CHILD = r"""
import sys
import _kiv
host, port, idle, workers = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
try:
    _kiv.Server().run_balancer(host, port, workers, idle_timeout=idle)
except KeyboardInterrupt as exc:
    print(type(exc).__name__, flush=True)
    sys.stdin.read()
"""


def reply_for(name):
    return b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(name), name.encode())


class Conn:
    def __init__(self):
        self.data = bytearray()
        self.closed = threading.Event()


class Worker:
    """Accepts connections, records their bytes, answers each request head
    (ending in a blank line) with `reply`, and closes after the peer's EOF."""

    def __init__(self, name, host="127.0.0.1", reply=None):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.bind((host, 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.reply = reply if reply is not None else reply_for(name)
        self.conns = []
        self.cond = threading.Condition()
        threading.Thread(target=self._accept, daemon=True).start()

    def addr(self, host="127.0.0.1"):
        return f"[{host}]:{self.port}" if ":" in host else f"{host}:{self.port}"

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            record = Conn()
            with self.cond:
                self.conns.append(record)
                self.cond.notify_all()
            threading.Thread(target=self._serve, args=(conn, record), daemon=True).start()

    def _serve(self, conn, record):
        conn.settimeout(WAIT)
        pending = b""
        try:
            while chunk := conn.recv(65536):
                record.data += chunk
                pending += chunk
                while b"\r\n\r\n" in pending:
                    _, pending = pending.split(b"\r\n\r\n", 1)
                    conn.sendall(self.reply)
        except OSError:
            pass
        finally:
            conn.close()
            record.closed.set()

    def conn(self, index):
        with self.cond:
            assert self.cond.wait_for(lambda: len(self.conns) > index, WAIT), "no connection"
            return self.conns[index]

    def close(self):
        self.sock.close()


def wait_until(predicate, what):
    deadline = time.monotonic() + WAIT
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        time.sleep(0.01)


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def kernel_hex(host):
    """The address as /proc/net/tcp{,6} prints it: 32-bit words in host order."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    raw = socket.inet_pton(family, host)
    return "".join(raw[i:i + 4][::-1].hex().upper() for i in range(0, len(raw), 4))


def is_listening(host, port):
    # Read the kernel's socket table instead of probing with connect(): a
    # probe would be accepted and take a turn of the rotation. The address
    # must match too: a free port on ::1 may be in use on 127.0.0.1.
    want = f"{kernel_hex(host)}:{port:04X}"
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A" and fields[1] == want:
                return True
    return False


class Child:
    def __init__(self, proc, host, port):
        self.proc, self.host, self.port = proc, host, port

    def connect(self):
        return socket.create_connection((self.host, self.port), timeout=WAIT)

    def interrupt(self):
        """SIGINT; returns the name of the exception run_balancer raised."""
        self.proc.send_signal(signal.SIGINT)
        ready, _, _ = select.select([self.proc.stdout], [], [], WAIT)
        assert ready, "child did not report after SIGINT"
        return self.proc.stdout.readline().decode().strip()


@pytest.fixture
def balancer():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.dirname(_kiv.__file__), env.get("PYTHONPATH")) if p)
    procs = []

    def start(workers, host="127.0.0.1", idle=60):
        port = free_port(host)
        proc = subprocess.Popen([sys.executable, "-c", CHILD, host, str(port), str(idle),
                                 *workers],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env)
        procs.append(proc)
        deadline = time.monotonic() + WAIT
        while not is_listening(host, port):
            if proc.poll() is not None:
                pytest.fail("balancer exited: " + proc.stderr.read().decode())
            assert time.monotonic() < deadline, "balancer did not start listening"
            time.sleep(0.01)
        return Child(proc, host, port)

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        proc.wait(timeout=WAIT)
        for pipe in (proc.stdin, proc.stdout, proc.stderr):
            pipe.close()


@pytest.fixture
def workers():
    made = []

    def make(*args, **kwargs):
        made.append(Worker(*args, **kwargs))
        return made[-1]

    yield make
    for w in made:
        w.close()


def recv_exactly(sock, n):
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return bytes(out)


def recv_to_end(sock):
    """Everything until the peer closes; a reset also counts as the end."""
    out = bytearray()
    try:
        while chunk := sock.recv(65536):
            out += chunk
    except ConnectionResetError:
        pass
    return bytes(out)


REQUEST = b"GET / HTTP/1.1\r\nHost: x\r\n\r\n"


@pytest.mark.parametrize("first_is_dead", [False, True], ids=["both-live", "first-refuses"])
def test_connections_rotate_over_workers(balancer, workers, first_is_dead):
    second = workers("B")
    first = None if first_is_dead else workers("A")
    first_addr = f"127.0.0.1:{free_port()}" if first_is_dead else first.addr()
    child = balancer([first_addr, second.addr()])
    seen = []
    for _ in range(4):
        with child.connect() as c:
            c.sendall(REQUEST)
            try:
                c.shutdown(socket.SHUT_WR)  # the worker then closes after its reply
            except OSError:
                pass  # a refused turn may already have reset the connection
            seen.append(recv_to_end(c))
    if first_is_dead:
        # No failover: the refused turns close the client without data.
        assert seen == [b"", reply_for("B"), b"", reply_for("B")]
    else:
        assert seen == [reply_for("A"), reply_for("B")] * 2


@pytest.mark.parametrize(
    "pieces",
    [
        [REQUEST],
        [b"GE", b"T / HTTP/1.1", b"\r\nHost: x\r\n\r\n"],
        [b"GET / HTTP/1.1\r\n", b"Host: x\r\n\r\n"],
        [b"GET /" + b"p" * 3000 + b" HTTP/1.1\r\nHost: x\r\n\r\n"],
        [b"GET / HTTP/1.1\r\nX-Forwarded-For: 10.9.9.9\r\n\r\n"],
        [b"GET / HTTP/1.1\nHost: x\r\n\r\n"],
    ],
    ids=["one-send", "split-first-line", "line-then-headers", "long-first-line",
         "client-header-kept", "bare-lf"],
)
def test_first_line_gets_forwarded_for(balancer, workers, pieces):
    w = workers("A")
    child = balancer([w.addr()])
    sent = b"".join(pieces)
    cut = sent.index(b"\n") + 1
    expected = sent[:cut] + b"X-Forwarded-For: 127.0.0.1\r\n" + sent[cut:]
    later = b"POST /two HTTP/1.1\r\nX-Forwarded-For: 1.1.1.1\r\nContent-Length: 0\r\n\r\n"
    with child.connect() as c:
        for piece in pieces:
            c.sendall(piece)
            time.sleep(0.05)
        assert recv_exactly(c, len(w.reply)) == w.reply
        assert bytes(w.conn(0).data) == expected
        # Only the connection's first line gets the added header.
        c.sendall(later)
        assert recv_exactly(c, len(w.reply)) == w.reply
        assert bytes(w.conn(0).data) == expected + later


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.parametrize(
    "front,worker_host,worker_addr,client_ip",
    [
        ("127.0.0.1", "127.0.0.1", "localhost:{}", "127.0.0.1"),
        pytest.param("::1", "::1", "[::1]:{}", "::1",
                     marks=pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback")),
    ],
    ids=["worker-by-name", "ipv6"],
)
def test_address_forms(balancer, workers, front, worker_host, worker_addr, client_ip):
    w = workers("A", host=worker_host)
    child = balancer([worker_addr.format(w.port)], host=front)
    with child.connect() as c:
        c.sendall(REQUEST)
        assert recv_exactly(c, len(w.reply)) == w.reply
    assert bytes(w.conn(0).data) == (
        b"GET / HTTP/1.1\r\nX-Forwarded-For: %s\r\nHost: x\r\n\r\n" % client_ip.encode())


@pytest.mark.parametrize("size,pause,forwarded", [
    (8192, True, True),     # at the limit: still waiting for the line feed
    (8193, False, False),   # one byte over: dropped
    (9000, False, False),
])
def test_first_line_limit(balancer, workers, size, pause, forwarded):
    w = workers("A")
    child = balancer([w.addr()])
    head = b"GET /" + b"a" * (size - 5)
    with child.connect() as c:
        c.sendall(head)
        if forwarded:
            time.sleep(0.3)  # let the balancer buffer all of it
            c.sendall(b"\r\n\r\n")
            assert recv_exactly(c, len(w.reply)) == w.reply
            assert bytes(w.conn(0).data) == head + b"\r\nX-Forwarded-For: 127.0.0.1\r\n\r\n"
        else:
            assert recv_to_end(c) == b""
    # The worker is connected only once the first line is complete.
    assert len(w.conns) == (1 if forwarded else 0)


@pytest.mark.parametrize("first_request", [False, True], ids=["silent", "idle-after-request"])
def test_idle_client_is_let_go(balancer, workers, first_request):
    w = workers("A")
    child = balancer([w.addr()], idle=1)
    with child.connect() as c:
        if first_request:
            c.sendall(REQUEST)
            assert recv_exactly(c, len(w.reply)) == w.reply
        # Nothing moves now: the balancer closes the client and the worker.
        c.settimeout(WAIT)
        assert recv_to_end(c) == b""
    if first_request:
        assert w.conn(0).closed.wait(WAIT)
    else:
        assert not w.conns


def test_half_closed_client_gets_whole_response(balancer, workers):
    body = bytes(range(256)) * 1200  # larger than both relay buffers
    reply = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
    w = workers("A", reply=reply)
    child = balancer([w.addr()])
    with child.connect() as c:
        c.sendall(REQUEST)
        c.shutdown(socket.SHUT_WR)
        assert recv_to_end(c) == reply
    # The worker saw the client's end of stream as its own.
    assert w.conn(0).closed.wait(WAIT)


def test_interrupt_stops_accepting_but_not_relaying(balancer, workers):
    w = workers("A")
    child = balancer([w.addr()])
    with child.connect() as c:
        c.sendall(REQUEST)
        assert recv_exactly(c, len(w.reply)) == w.reply
        assert child.interrupt() == "KeyboardInterrupt"

        def refused():
            try:
                socket.create_connection(("127.0.0.1", child.port), timeout=WAIT).close()
            except ConnectionRefusedError:
                return True
            except ConnectionResetError:
                # A connection that reached the backlog as the listener closed is reset;
                # the next attempt is refused.
                return False
            return False

        wait_until(refused, "the listener to close")
        c.sendall(REQUEST)
        assert recv_exactly(c, len(w.reply)) == w.reply
    child.proc.stdin.close()
    assert child.proc.wait(timeout=WAIT) == 0


@pytest.mark.parametrize("case,error,message", [
    ("empty", RuntimeError, "run_balancer 需要至少一个 worker 地址"),
    ("taken", RuntimeError, "Address already in use (os error 98)"),
    ("str-workers", TypeError, "argument 'workers': Can't extract `str` to `Vec`"),
])
def test_start_failures(case, error, message):
    workers = {"empty": [], "str-workers": "127.0.0.1:1"}.get(case, ["127.0.0.1:1"])
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        port = holder.getsockname()[1] if case == "taken" else 0
        with pytest.raises(error) as info:
            _kiv.Server().run_balancer("127.0.0.1", port, workers)
    assert str(info.value) == message
