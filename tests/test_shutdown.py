"""Graceful shutdown and supervised workers, through the command line in real processes."""

import json
import os
import signal
import socket
import stat
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.dirname(os.path.abspath(__file__))
WAIT = 15  # bound of every wait, in seconds


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, what, limit=WAIT):
    deadline = time.monotonic() + limit
    while not (value := predicate()):
        assert time.monotonic() < deadline, f"timed out waiting for {what() if callable(what) else what}"
        time.sleep(0.02)
    return value


def read_response(sock):
    """(status, headers dict, body) of one response; None when the peer closed first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            return None
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode().split("\r\n")
    headers = {k.lower(): v.strip() for k, v in (ln.split(":", 1) for ln in lines[1:])}
    while len(body) < int(headers.get("content-length", 0)):
        chunk = sock.recv(65536)
        if not chunk:
            break
        body += chunk
    return int(lines[0].split()[1]), headers, body


def get(path, close=False):
    extra = "Connection: close\r\n" if close else ""
    return f"GET {path} HTTP/1.1\r\nHost: t\r\n{extra}\r\n".encode()


class Served:
    """`python -m kiv run tests/serving_app.py` with extra arguments; stderr goes to a file."""

    def __init__(self, tmp_path, *args, uds=None):
        self.tmp = tmp_path
        self.port = free_port()
        self.uds = uds
        where = ["--uds", uds] if uds else ["--port", str(self.port)]
        self.stderr = open(tmp_path / "stderr", "w+")
        self.stdout = open(tmp_path / "stdout", "w+")
        env = {**os.environ, "KIV_TEST_DIR": str(tmp_path),
               "PYTHONPATH": os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")]))}
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "kiv", "run", os.path.join(TESTS, "serving_app.py"), *where,
             *args], stdout=self.stdout, stderr=self.stderr, env=env)
        # The banner comes once every worker is ready.
        wait_until(lambda: "kiv serving on" in (self.stdout.seek(0) or self.stdout.read()),
                   lambda: "the banner; log:\n" + self.log(), 30)

    def connect(self):
        if self.uds:
            s = socket.socket(socket.AF_UNIX)
            s.settimeout(WAIT)
            s.connect(self.uds)
            return s
        return socket.create_connection(("127.0.0.1", self.port), timeout=WAIT)

    def whoami(self):
        with self.connect() as s:
            s.sendall(get("/whoami", close=True))
            return json.loads(read_response(s)[2])

    def refuses(self):
        try:
            self.connect().close()
        except OSError:
            return True
        return False

    def log(self):
        self.stderr.seek(0)
        return self.stderr.read()

    def worker_pids(self):
        out = subprocess.run(["ps", "-o", "pid=", "--ppid", str(self.proc.pid)],
                             capture_output=True, text=True)
        return {int(p) for p in out.stdout.split()}

    def close(self):
        victims = self.worker_pids() if self.proc.poll() is None else set()
        for pid in victims:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.stderr.close()
        self.stdout.close()


@pytest.fixture
def served(tmp_path):
    made = []

    def start(*args, **kwargs):
        made.append(Served(tmp_path, *args, **kwargs))
        return made[-1]

    yield start
    for s in made:
        s.close()


@pytest.mark.parametrize("args,signum,view_secs,second_signal,answered,code", [
    ([], signal.SIGTERM, 2, False, True, 0),
    ([], signal.SIGINT, 2, False, True, 0),
    (["--workers", "2"], signal.SIGTERM, 2, False, True, 0),
    (["--workers", "2", "--reuse-port"], signal.SIGINT, 2, False, True, 0),
    (["--graceful-timeout", "1"], signal.SIGTERM, 30, False, False, 1),
    (["--workers", "2", "--graceful-timeout", "1"], signal.SIGTERM, 30, False, False, 1),
    ([], signal.SIGTERM, 30, True, False, 1),
], ids=["term", "int", "workers", "reuse-port", "cut-after-timeout", "workers-cut",
        "second-signal"])
def test_shutdown(served, tmp_path, args, signum, view_secs, second_signal, answered, code):
    server = served(*args)
    idle = server.connect()  # a kept-alive connection between requests
    idle.sendall(get("/whoami"))
    assert read_response(idle)[0] == 200
    busy = server.connect()
    busy.sendall(get(f"/slow/{float(view_secs)}"))  # a float converter wants the dot
    wait_until(lambda: any(n.startswith("started-") for n in os.listdir(tmp_path)),
               "the view to start")
    workers = server.worker_pids()
    started = time.monotonic()
    server.proc.send_signal(signum)
    # Idle connections are closed cleanly, and no new connection is taken.
    assert idle.recv(1) == b""
    wait_until(server.refuses, "the listener to close")
    if second_signal:
        server.proc.send_signal(signum)
    response = read_response(busy)
    if answered:
        assert response[0] == 200 and response[2] == b"done"
        assert response[1]["connection"] == "close"
    else:
        assert response is None
    assert server.proc.wait(timeout=WAIT) == code
    # Whatever happens, nothing waits for the 30-second view.
    assert time.monotonic() - started < WAIT
    wait_until(lambda: not any(os.path.exists(f"/proc/{p}") for p in workers), "workers to end", 5)


def test_dead_worker_is_restarted(served):
    server = served("--workers", "2")
    first = wait_until(lambda: len(server.worker_pids()) == 2 and server.worker_pids(), "workers")
    victim = min(first)
    os.kill(victim, signal.SIGKILL)
    now = wait_until(lambda: (p := server.worker_pids()) and victim not in p and len(p) == 2 and p,
                     lambda: "a replacement; log:\n" + server.log())
    assert len(now - first) == 1
    assert f"worker {victim} killed by signal 9; restarting in" in server.log()
    assert server.whoami()["pid"] in now


def test_workers_recycle_after_max_requests_without_losing_requests(served):
    server = served("--workers", "1", "--max-requests", "3", "--max-requests-jitter", "0")
    pids = set()
    deadline = time.monotonic() + WAIT
    while len(pids) < 2 and time.monotonic() < deadline:
        pids.add(server.whoami()["pid"])  # each on a new connection: none may be refused
    assert len(pids) == 2
    assert "recycled; starting another" in server.log()


def test_unix_socket_with_mode(served, tmp_path):
    path = str(tmp_path / "kiv.sock")
    server = served("--uds", path, "--uds-mode", "660", uds=path)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o660
    assert server.whoami()["remote_addr"] == "127.0.0.1"
    server.proc.send_signal(signal.SIGTERM)
    assert server.proc.wait(timeout=WAIT) == 0
    assert not os.path.exists(path)
