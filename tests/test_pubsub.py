"""Carrying published messages between processes: the workers' relay, and Redis."""

import os
import queue
import shutil
import subprocess
import sys
import time

import pytest

from kiv.pubsub import Relay, RedisBus, WorkerBus

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
