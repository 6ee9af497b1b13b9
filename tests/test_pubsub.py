"""Carrying published messages between processes: the workers' relay, and Redis."""

import contextlib
import os
import queue
import shutil
import subprocess
import sys
import time

import pytest
from websockets.sync.client import connect

from kiv.pubsub import Relay, RedisBus, WorkerBus

ROOM_APP = """
import os
from kiv import App
app = App(__name__)
app.config["PUBSUB_URL"] = os.environ.get("TEST_PUBSUB_URL")

@app.websocket("/room/<name>")
def room(ws, name):
    ws.subscribe(name)
    ws.send(str(os.getpid()))
    while True:
        app.publish(name, ws.receive())
"""

CHILD = r"""
import os, sys
from kiv.pubsub import bus_for
bus = bus_for(None)
got = []
bus.start(lambda t, m: (got.append((t, m)), print(repr((t, m)), flush=True)))
print("ready", flush=True)
sys.stdin.readline()
bus.publish("room", "from %d" % os.getpid())
bus.publish("bin", bytes([0, 255]) * 3)
sys.stdin.readline()
"""


def test_relay_carries_each_workers_messages_to_the_others_only():
    relay = Relay()
    procs = []
    try:
        for _ in range(3):
            fd = relay.add_worker()[1]
            procs.append(subprocess.Popen(
                [sys.executable, "-c", CHILD], pass_fds=(fd,), text=True,
                env=dict(os.environ, KIV_BUS_FD=str(fd)),
                stdin=subprocess.PIPE, stdout=subprocess.PIPE))
            os.close(fd)
        for p in procs:
            assert p.stdout.readline() == "ready\n"
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        for p in procs:
            lines = {p.stdout.readline().strip() for _ in range(4)}
            others = {q.pid for q in procs if q is not p}
            assert lines == {repr(("room", f"from {pid}")) for pid in others} | {
                repr(("bin", bytes([0, 255]) * 3))}
    finally:
        for p in procs:
            p.kill()
            p.wait(10)
        relay.close()


def test_a_worker_that_does_not_read_loses_messages_not_the_others():
    relay = Relay()
    relay.MAX_QUEUED = 256 * 1024
    ends = [WorkerBus(relay.add_worker()[1]) for _ in range(3)]
    got: queue.Queue = queue.Queue()
    ends[1].start(lambda t, m: got.put(m))  # ends[2] never reads
    try:
        for i in range(200):  # 3.2 MB: more than ends[2]'s socket buffer and queue hold
            ends[0].publish("t", b"%d:" % i + b"x" * 16384)
            assert got.get(timeout=10).split(b":")[0] == b"%d" % i
        assert relay.dropped > 0
    finally:
        for end in ends:
            end.close()
        relay.close()


@pytest.fixture
def redis_url(tmp_path):
    server = shutil.which("redis-server")
    if server is None:
        pytest.skip("redis-server is not installed")
    sock = tmp_path / "redis.sock"
    proc = subprocess.Popen([server, "--port", "0", "--unixsocket", str(sock), "--save", "",
                             "--appendonly", "no"], stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not sock.exists():
            assert time.monotonic() < deadline and proc.poll() is None, "redis did not start"
            time.sleep(0.05)
        yield f"unix://{sock}"
    finally:
        proc.terminate()
        proc.wait(10)


def test_redis_bus_reaches_other_processes_and_skips_its_own(redis_url):
    a, b = RedisBus(redis_url), RedisBus(redis_url)
    got_a: queue.Queue = queue.Queue()
    got_b: queue.Queue = queue.Queue()
    a.start(lambda t, m: got_a.put((t, m)))
    b.start(lambda t, m: got_b.put((t, m)))
    try:
        # psubscribe is asynchronous: publish until the first message arrives.
        deadline = time.monotonic() + 10
        while got_b.empty():
            assert time.monotonic() < deadline, "the subscription never took effect"
            a.publish("warmup", "w")
            time.sleep(0.05)
        while not got_b.empty():
            got_b.get()
        a.publish("room", "héllo")
        a.publish("room", b"\x00\xff")
        b.publish("other", "back")
        assert [got_b.get(timeout=10) for _ in range(2)] == [("room", "héllo"), ("room", b"\x00\xff")]
        assert got_a.get(timeout=10) == ("other", "back")
        assert got_a.empty()
    finally:
        a.close()
        b.close()


def _serve(app_dir, port, *extra, env=None):
    return subprocess.Popen(
        [sys.executable, "-m", "kiv", "run", "rooms:app", "--port", str(port), *extra],
        cwd=app_dir, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(
            [str(app_dir), *filter(None, [os.environ.get("PYTHONPATH")])]), **(env or {})})


def _join(stack, port, deadline):
    while True:
        try:
            ws = stack.enter_context(connect(f"ws://127.0.0.1:{port}/room/r", open_timeout=5))
            return ws, ws.recv(timeout=5)
        except OSError:
            assert time.monotonic() < deadline, f"nothing answered on port {port}"
            time.sleep(0.1)


@pytest.mark.parametrize("how", ["workers", "redis"])
def test_publish_reaches_subscribers_in_other_processes(tmp_path, how, request):
    (tmp_path / "rooms.py").write_text(ROOM_APP)
    ports = [_free_port(), _free_port()]
    if how == "workers":
        procs = [_serve(tmp_path, ports[0], "--workers", "2")]
        ports[1] = ports[0]
    else:
        url = request.getfixturevalue("redis_url")
        procs = [_serve(tmp_path, p, env={"TEST_PUBSUB_URL": url}) for p in ports]
    clients = []
    stack = contextlib.ExitStack()
    try:
        deadline = time.monotonic() + 30
        # Connect until two different processes hold a subscriber each.
        by_pid = {}
        attempt = 0
        while len(by_pid) < 2:
            # A worker still starting takes no connections: ones that reach a process
            # already seen are closed, and the next try waits a little.
            assert time.monotonic() < deadline, "one process took all"
            ws, pid = _join(stack, ports[attempt % 2], deadline)
            attempt += 1
            if pid in by_pid:
                ws.close()
                time.sleep(0.05)
                continue
            clients.append(ws)
            by_pid[pid] = ws
        sender, receiver = by_pid.values()
        got = None
        for attempt in range(100):  # a Redis subscription starts asynchronously
            sender.send(f"hello {attempt}")
            try:
                got = receiver.recv(timeout=0.2)
                break
            except TimeoutError:
                pass
        assert got is not None and got.startswith("hello ")
        sender.send("last")  # reaches every subscriber, in both processes
        for c in clients:
            while (m := c.recv(timeout=5)) != "last":
                assert m.startswith("hello ")
    finally:
        stack.close()
        for p in procs:
            p.terminate()
            p.wait(30)


def _free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
