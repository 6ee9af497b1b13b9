"""Running apps for real: one process over a socket, and the CLI with worker processes."""

import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

from kiv import App, request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def http(addr, raw, timeout=5):
    host, _, port = addr.rpartition(":")
    with socket.create_connection((host.strip("[]"), int(port)), timeout=timeout) as s:
        s.sendall(raw)
        s.shutdown(socket.SHUT_WR)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data


def body_of(response):
    return response.split(b"\r\n\r\n", 1)[1]


@pytest.fixture
def served_app():
    app = App("sock", behind_balancer=True)

    @app.route("/who")
    def who():
        return {"remote": request.remote_addr, "peer": request.peer_addr}

    @app.route("/sum", methods=["POST"])
    def total():
        return {"sum": sum(request.json)}

    sid = app.server.start("127.0.0.1", 0)
    yield app, app.server.bound_addr(sid)
    app.server.stop(sid, 5)


def test_app_over_a_socket(served_app):
    _, addr = served_app
    body = b"[1, 2, 3.5]"
    raw = (b"POST /sum HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
           b"Content-Length: " + str(len(body)).encode() + b"\r\nConnection: close\r\n\r\n" + body)
    assert json.loads(body_of(http(addr, raw))) == {"sum": 6.5}


def test_forwarded_for_trusted_only_when_configured(served_app):
    app, addr = served_app
    raw = b"GET /who HTTP/1.1\r\nX-Forwarded-For: 10.0.0.5\r\nConnection: close\r\n\r\n"
    assert json.loads(body_of(http(addr, raw))) == {"remote": "10.0.0.5", "peer": "127.0.0.1"}
    app.behind_balancer = False
    app.forwarded_allow_ips = ()
    assert json.loads(body_of(http(addr, raw)))["remote"] == "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(addr, deadline):
    while time.monotonic() < deadline:
        try:
            return http(addr, b"GET /whoami HTTP/1.1\r\nConnection: close\r\n\r\n", timeout=2)
        except OSError:
            time.sleep(0.1)
    raise AssertionError(f"nothing answered on {addr}")


def children_of(pid):
    out = subprocess.run(["ps", "-o", "pid=", "--ppid", str(pid)], capture_output=True, text=True)
    return [int(p) for p in out.stdout.split()]


def reap(proc, workers):
    """Kills what is left of a balancer process and its workers, by pid."""
    for pid in workers:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    if proc.poll() is None:
        proc.kill()
        proc.wait()


def test_cli_with_workers_balances_and_leaves_nothing_behind():
    port = free_port()
    addr = f"127.0.0.1:{port}"
    proc = subprocess.Popen(
        [sys.executable, "-m", "kiv", "run", "examples.api:app", "--port", str(port),
         "--workers", "2", "--balancer"],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")]))},
    )
    workers = []
    try:
        first = json.loads(body_of(wait_for(addr, time.monotonic() + 30)))
        pids = {first["pid"]}
        for _ in range(3):
            pids.add(json.loads(body_of(wait_for(addr, time.monotonic() + 5)))["pid"])
        workers = children_of(proc.pid)
        assert len(workers) == 2 and pids == set(workers)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=15)
        assert proc.returncode == 0
        for pid in workers:
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}"):
                time.sleep(0.05)
            assert not os.path.exists(f"/proc/{pid}"), f"worker {pid} outlived the balancer"
    finally:
        reap(proc, workers)
