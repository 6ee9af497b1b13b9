"""Async views against their peers, servers pinned to CPU 0, the client to CPU 1.

    python bench/async_sleep.py hello [--rounds 2] [--duration 5] [--servers ...]
        wrk -t1 -c64 per server, interleaved: kiv `def` view, kiv `async def` view (with
        uvloop and with asyncio's loop), granian ASGI on a bare ASGI app. Prints req/s,
        p50, p99, server CPU per request (from /proc) and the server's thread count.
        A name with "-hooks" (kiv-hooks-async) gives the app hooks and a session; one
        ending in "@before" runs the kiv found on $KIV_BEFORE (a PYTHONPATH) instead.

    python bench/async_sleep.py sleep [-n 10000] [--delay 1] [--servers ...]
        n connections at once, each asking for a view that awaits asyncio.sleep(delay).
        Prints when the first and the last answer came, how many were 200, the server's
        threads and its memory per waiting request ((peak RSS - idle RSS) / n).

Apps: bench/apps/async_app.py. Every server runs in its own process group and is stopped
by its pid; nothing listens beyond 127.0.0.1.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
APPS = ROOT / "bench" / "apps"
HOST = "127.0.0.1"
TICK = os.sysconf("SC_CLK_TCK")


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def server_cmd(name: str, port: int) -> tuple[list[str], dict]:
    env = dict(os.environ)
    if name.endswith("@before"):
        # Another tree's kiv (KIV_BEFORE: its PYTHONPATH), for before/after in one run.
        name = name[:-len("@before")]
        env["PYTHONPATH"] = os.environ["KIV_BEFORE"]
    if "-hooks" in name:  # the app gets hooks and a session: the full plan
        name = name.replace("-hooks", "")
        env["HOOKS"] = "1"
    if name.startswith("kiv"):
        env["KIV_EVENT_LOOP"] = "asyncio" if name.endswith("asyncio") else "uvloop"
        return [sys.executable, "-m", "kiv", "run", "--host", HOST, "--port", str(port),
                "async_app:app"], env
    if name == "granian-asgi":
        return ["granian", "--interface", "asgi", "--workers", "1", "--runtime-threads", "1",
                "--host", HOST, "--port", str(port), "async_app:asgi"], env
    raise SystemExit(f"unknown server {name}")


class Server:
    def __init__(self, name: str, sleep: float = 1.0):
        self.name, self.port = name, free_port()
        cmd, env = server_cmd(name, self.port)
        env["SLEEP"] = str(sleep)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(APPS), env.get("PYTHONPATH")]))
        self.proc = subprocess.Popen(["taskset", "-c", "0", *cmd], cwd=APPS, env=env,
                                     start_new_session=True, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection((HOST, self.port), 0.2).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise SystemExit(f"{name} exited at start")
                time.sleep(0.05)
        self.stop()
        raise SystemExit(f"{name} did not listen")

    def pids(self) -> list[int]:
        """The server's process and its children (granian's worker)."""
        out, todo = [], [self.proc.pid]
        while todo:
            pid = todo.pop()
            out.append(pid)
            for child in Path(f"/proc/{pid}/task").glob("*/children"):
                try:
                    todo += [int(c) for c in child.read_text().split()]
                except OSError:
                    pass
        return out

    def cpu_ticks(self) -> int:
        total = 0
        for pid in self.pids():
            try:
                fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except OSError:
                pass
        return total

    def status(self) -> tuple[int, int]:
        """(threads, RSS KiB) over the server's processes."""
        threads = rss = 0
        for pid in self.pids():
            try:
                text = Path(f"/proc/{pid}/status").read_text()
            except OSError:
                continue
            threads += int(re.search(r"Threads:\s+(\d+)", text).group(1))
            rss += int(re.search(r"VmRSS:\s+(\d+)", text).group(1))
        return threads, rss

    def stop(self) -> None:
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(5)


def wrk(port: int, path: str, seconds: int) -> tuple[float, float]:
    out = subprocess.run(["taskset", "-c", "1", "wrk", "-t1", "-c64", f"-d{seconds}s",
                          "--latency", f"http://{HOST}:{port}{path}"],
                         capture_output=True, text=True, timeout=seconds + 30).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    ms = []
    for q in ("50", "99"):
        m = re.search(q + r"%\s+([\d.]+)(us|ms|s)", out)
        ms.append(float(m.group(1)) * {"us": 0.001, "ms": 1, "s": 1000}[m.group(2)])
    return rps, *ms


def hello(opts: argparse.Namespace) -> None:
    cases = {"kiv-def": "/", "kiv-async": "/async", "kiv-async-asyncio": "/async",
             "granian-asgi": "/"}
    names = opts.servers.split(",") if opts.servers else list(cases)
    path = {n: cases[n.replace("@before", "").replace("-hooks", "")] for n in names}
    rows: dict[str, list[tuple]] = {n: [] for n in names}
    for _ in range(opts.rounds):
        for name in names:
            srv = Server(name)
            try:
                wrk(srv.port, path[name], 1)  # warm-up
                before = srv.cpu_ticks()
                rps, p50, p99 = wrk(srv.port, path[name], opts.duration)
                used = (srv.cpu_ticks() - before) / TICK
                threads, _ = srv.status()
                rows[name].append((rps, p50, p99, used / (rps * opts.duration) * 1e6, threads))
            finally:
                srv.stop()
    print(f"wrk -t1 -c64 -d{opts.duration}s, {opts.rounds} round(s), interleaved; "
          "server on CPU 0, wrk on CPU 1")
    print(f"{'server':<26} {'req/s':>10} {'p50 ms':>8} {'p99 ms':>8} {'CPU us/req':>11} "
          f"{'threads':>8}")
    for name, runs in rows.items():
        for rps, p50, p99, cpu, threads in runs:
            print(f"{name:<26} {rps:>10,.0f} {p50:>8.2f} {p99:>8.2f} {cpu:>11.1f} {threads:>8}")


async def one(port: int, sent: list, answered: list, waits: list) -> bool:
    reader, writer = await asyncio.open_connection(HOST, port)
    writer.write(b"GET /sleep HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    t = time.perf_counter()
    sent.append(t)
    data = await reader.read()
    answered.append(time.perf_counter())
    waits.append(answered[-1] - t)
    writer.close()
    return data.startswith(b"HTTP/1.1 200")


def burst(port: int, n: int) -> tuple[float, float, float, float, int]:
    """(all sent, first answer, last answer, longest wait of one request, 200s)."""
    sent: list[float] = []
    answered: list[float] = []
    waits: list[float] = []

    async def run() -> list[bool]:
        return await asyncio.gather(*(one(port, sent, answered, waits) for _ in range(n)))

    start = time.perf_counter()
    try:
        import uvloop  # the client's own speed bounds how fast requests go out
        oks = uvloop.run(run())
    except ImportError:
        oks = asyncio.run(run())
    return (max(sent) - start, min(answered) - start, max(answered) - start, max(waits),
            sum(oks))


def sleep(opts: argparse.Namespace) -> None:
    os.sched_setaffinity(0, {1})
    names = opts.servers.split(",") if opts.servers else ["kiv-async", "granian-asgi"]
    print(f"{opts.n} connections at once, each GET /sleep (asyncio.sleep({opts.delay})); "
          "server on CPU 0, client on CPU 1")
    for name in names:
        srv = Server(name, opts.delay)
        try:
            burst(srv.port, 10)  # the loop and its imports are warm
            idle_threads, idle_rss = srv.status()
            peak = [0, 0]
            done = threading.Event()

            def watch() -> None:
                while not done.wait(0.05):
                    t, r = srv.status()
                    peak[0], peak[1] = max(peak[0], t), max(peak[1], r)

            watcher = threading.Thread(target=watch)
            watcher.start()
            try:
                for label in ("first", "second"):
                    all_sent, first, last, longest, ok = burst(srv.port, opts.n)
                    print(f"{name:<18} {label:<6}: all sent by {all_sent:.2f} s, answers from "
                          f"{first:.2f} s to {last:.2f} s (spread {last - first:.2f} s), "
                          f"longest wait {longest:.2f} s, {ok} of {opts.n} were 200")
            finally:
                done.set()
                watcher.join()
            print(f"{name:<18} threads idle {idle_threads}, at most {peak[0]}; RSS idle "
                  f"{idle_rss / 1024:.1f} MiB, at most {peak[1] / 1024:.1f} MiB: "
                  f"{(peak[1] - idle_rss) / opts.n:.2f} KiB per waiting request")
        finally:
            srv.stop()


def main() -> None:
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="what", required=True)
    h = sub.add_parser("hello")
    h.add_argument("--rounds", type=int, default=2)
    h.add_argument("--duration", type=int, default=5)
    h.add_argument("--servers", default="")
    s = sub.add_parser("sleep")
    s.add_argument("-n", type=int, default=10000)
    s.add_argument("--delay", type=float, default=1.0)
    s.add_argument("--servers", default="")
    opts = p.parse_args()
    hello(opts) if opts.what == "hello" else sleep(opts)


if __name__ == "__main__":
    main()
