"""What carrying a published message to another process adds: one-way latency from
publish() in one process to delivery in another, through the workers' relay and through
Redis (a redis-server started here on a Unix socket, stopped by its pid).

    python bench/pubsub_latency.py [--messages 2000] [--size 32]

Each message carries its send time (CLOCK_MONOTONIC is shared by all processes); the
receiver reports the median, p99 and max of the differences. Messages are sent one at a
time, each after the previous one arrived, so the figure is latency, not queueing.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from kiv.pubsub import Relay, RedisBus, WorkerBus  # noqa: E402

ECHO = r"""
import os, sys, time
sys.path.insert(0, sys.argv[1])
from kiv.pubsub import bus_for, RedisBus
bus = RedisBus(sys.argv[2]) if len(sys.argv) > 2 else bus_for(None)
# Answer each message with its own: the parent measures the round trip and halves it.
bus.start(lambda topic, msg: bus.publish("back", msg))
print("ready", flush=True)
sys.stdin.readline()
"""


def run(make_bus, child_args, env, pass_fds, messages: int, size: int) -> list[float]:
    import queue
    got: queue.Queue = queue.Queue()
    child = subprocess.Popen([sys.executable, "-c", ECHO, *child_args], env=env,
                             pass_fds=pass_fds, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             text=True)
    for fd in pass_fds:
        os.close(fd)
    bus = make_bus()
    try:
        assert child.stdout.readline() == "ready\n"
        bus.start(lambda topic, msg: got.put(time.perf_counter_ns()))
        # Redis subscriptions take effect asynchronously: warm up until one comes back.
        deadline = time.monotonic() + 10
        while True:
            bus.publish("t", b"w" * size)
            try:
                got.get(timeout=0.2)
                break
            except queue.Empty:
                if time.monotonic() > deadline:
                    raise RuntimeError("no answer from the other process")
        while not got.empty():
            got.get()
        out = []
        for _ in range(messages):
            t0 = time.perf_counter_ns()
            bus.publish("t", b"x" * size)
            out.append((got.get(timeout=10) - t0) / 2 / 1000)
        return out
    finally:
        bus.close()
        child.stdin.close()
        child.terminate()
        child.wait(10)


def report(name: str, us: list[float]) -> None:
    us.sort()
    print(f"| {name} | {statistics.median(us):.1f} | {us[int(len(us) * 0.99)]:.1f} | "
          f"{us[-1]:.1f} |")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--messages", type=int, default=2000)
    ap.add_argument("--size", type=int, default=32)
    opts = ap.parse_args()
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python")
    print(f"one-way latency, µs, {opts.messages} messages of {opts.size} bytes\n")
    print("| carried by | median | p99 | max |\n|---|---:|---:|---:|")

    relay = Relay()
    try:
        mine = relay.add_worker()[1]
        theirs = relay.add_worker()[1]
        env = dict(os.environ, KIV_BUS_FD=str(theirs))
        report("workers' relay", run(lambda: WorkerBus(mine), [here], env, (theirs,),
                                     opts.messages, opts.size))
    finally:
        relay.close()

    server = shutil.which("redis-server")
    if server is None:
        print("\n(redis-server is not installed: Redis not measured)")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        sock = os.path.join(tmp, "redis.sock")
        proc = subprocess.Popen([server, "--port", "0", "--unixsocket", sock, "--save", "",
                                 "--appendonly", "no"], stdout=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(sock):
                if time.monotonic() > deadline or proc.poll() is not None:
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.05)
            url = f"unix://{sock}"
            report("Redis (Unix socket)", run(lambda: RedisBus(url), [here, url], None, (),
                                              opts.messages, opts.size))
        finally:
            proc.terminate()
            proc.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
