"""Worker models side by side, plain text (GET /): kiv --workers 2 on one shared socket,
with --reuse-port and with --balancer, one kiv process, granian --workers 2 and uvicorn
--workers 2. Every server process is pinned to CPU 0 and wrk to CPU 1; the rounds
interleave the servers, so a busy neighbour slows them all alike; the load average is
printed with every figure. CPU per request comes from /proc for each process of the
server's tree: the parent (supervisor or balancer) apart from the workers.

    python3 bench/workers.py [--rounds 3] [--duration 5] [--conns 64]

Needs wrk, taskset, kiv in --kiv-python's environment and granian and uvicorn in
--venv (bench/run.sh builds one: build/bench-venv).
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
APPS = ROOT / "bench" / "apps"
HZ = os.sysconf("SC_CLK_TCK")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def tree(pid: int) -> list[int]:
    """pid and all its descendants."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            ppid = int(stat.rsplit(")", 1)[1].split()[1])
            children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children.get(p, []))
    return out


def cpu_ticks(pid: int) -> int:
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0
    return int(fields[11]) + int(fields[12])  # utime + stime


def wait_listening(port: int, proc: subprocess.Popen) -> None:
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"server exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError("server did not start")


def wrk(port: int, seconds: int, conns: int) -> tuple[float, int]:
    out = subprocess.run(["taskset", "-c", "1", "wrk", "-t1", f"-c{conns}", f"-d{seconds}s",
                          f"http://127.0.0.1:{port}/"], capture_output=True, text=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    total = int(re.search(r"(\d+) requests in", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", out)
    if errors:
        print("    wrk reported:", errors.group(0), flush=True)
    return rps, total


def servers(opts) -> dict[str, list[str]]:
    kiv = [opts.kiv_python, "-m", "kiv", "run", f"{APPS / 'kiv_app.py'}:app", "--port", "{port}"]
    vbin = Path(opts.venv) / "bin"
    return {
        "kiv 1 process": kiv,
        "kiv --workers 2 (shared socket)": kiv + ["--workers", "2"],
        "kiv --workers 2 --reuse-port": kiv + ["--workers", "2", "--reuse-port"],
        "kiv --workers 2 --balancer": kiv + ["--workers", "2", "--balancer"],
        "granian rsgi --workers 2": [str(vbin / "granian"), "--interface", "rsgi", "--workers", "2",
                                     "--runtime-threads", "1", "--no-ws", "--log-level", "warning",
                                     "--host", "127.0.0.1", "--port", "{port}", "rsgi_app:app"],
        "uvicorn --workers 2": [str(vbin / "uvicorn"), "asgi_app:app", "--workers", "2",
                                "--host", "127.0.0.1", "--port", "{port}", "--loop", "uvloop",
                                "--http", "httptools", "--no-access-log", "--log-level", "warning"],
    }


def measure(name: str, cmd: list[str], opts) -> dict:
    port = free_port()
    cmd = ["taskset", "-c", "0"] + [c.replace("{port}", str(port)) for c in cmd]
    proc = subprocess.Popen(cmd, cwd=APPS, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True,
                            env={**os.environ, "BENCH_STATIC_DIR": str(APPS)})
    try:
        wait_listening(port, proc)
        time.sleep(1.0)  # workers of the supervised models may still be starting
        wrk(port, 2, opts.conns)  # warm-up
        pids = tree(proc.pid)
        before = {p: cpu_ticks(p) for p in pids}
        load = os.getloadavg()[0]
        rps, total = wrk(port, opts.duration, opts.conns)
        used = {p: cpu_ticks(p) - before[p] for p in pids}
    finally:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    parent = used.get(proc.pid, 0)
    # taskset execs the server, so proc.pid is the server's own parent process.
    per_worker = [v for p, v in used.items() if p != proc.pid]
    workers = sum(per_worker)
    us = lambda ticks: ticks / HZ / max(total, 1) * 1e6
    # How evenly the kernel spread the work: the busiest worker's share of worker CPU.
    busiest = max(per_worker) / workers if workers and len(per_worker) > 1 else 1.0
    return {"rps": rps, "load": load, "parent_us": us(parent), "workers_us": us(workers),
            "busiest": busiest}


def main() -> None:
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--duration", type=int, default=5)
    p.add_argument("--conns", type=int, default=64)
    p.add_argument("--kiv-python", default=sys.executable)
    p.add_argument("--venv", default=str(ROOT / "build" / "bench-venv"))
    p.add_argument("--only", default="", help="comma-separated substrings of server names")
    opts = p.parse_args()
    table = servers(opts)
    if opts.only:
        table = {k: v for k, v in table.items() if any(s in k for s in opts.only.split(","))}
    results: dict[str, list[dict]] = {k: [] for k in table}
    for r in range(opts.rounds):
        for name, cmd in table.items():
            res = measure(name, cmd, opts)
            results[name].append(res)
            print(f"round {r + 1} {name:34} {res['rps']:9.0f} req/s  load {res['load']:.2f}  "
                  f"CPU/request: parent {res['parent_us']:.1f} us, workers "
                  f"{res['workers_us']:.1f} us; busiest worker {res['busiest']:.0%}", flush=True)
    print("\nmedian over rounds:")
    for name, rs in results.items():
        med = lambda key: statistics.median(x[key] for x in rs)
        print(f"{name:34} {med('rps'):9.0f} req/s  CPU/request parent {med('parent_us'):.1f} us, "
              f"workers {med('workers_us'):.1f} us, busiest worker {med('busiest'):.0%}  (load {min(x['load'] for x in rs):.2f}"
              f"-{max(x['load'] for x in rs):.2f})")


if __name__ == "__main__":
    main()
