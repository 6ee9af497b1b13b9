#!/usr/bin/env python3
"""Interleaved A/B of servers that are already running: wrk against each in turn, round
after round, with the server's CPU time per request read from /proc.

    python bench/ab.py --rounds 5 --duration 4 \
        old=18311/ new=18312/ old-ext=18331/ext@bench/wrk/ext.lua ...

Each target is NAME=PORT/PATH[@WRK_SCRIPT]. The server's processes are those whose command
line holds "port PORT" (a server and its workers); their user + system time over the
measured run, divided by the requests wrk counted, is the CPU per request. wrk runs
pinned to CPU 1 (-t1 -c64), after a one-second warm-up per run. Medians are printed last.
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import subprocess
import time

HZ = os.sysconf("SC_CLK_TCK")


def server_pids(port: str) -> list[int]:
    out = subprocess.run(["pgrep", "-f", f"port {port}"], capture_output=True, text=True)
    return [int(p) for p in out.stdout.split()]


def cpu_ticks(pids: list[int]) -> int:
    total = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total


def wrk(url: str, script: str | None, seconds: int, conns: int) -> str:
    cmd = ["taskset", "-c", "1", "wrk", "-t1", f"-c{conns}", f"-d{seconds}s"]
    if script:
        cmd += ["-s", script]
    return subprocess.run(cmd + [url], capture_output=True, text=True, check=True).stdout


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--duration", type=int, default=4)
    p.add_argument("--connections", type=int, default=64)
    p.add_argument("targets", nargs="+", help="NAME=PORT/PATH[@WRK_SCRIPT]")
    opts = p.parse_args()
    targets = []
    for target in opts.targets:
        name, rest = target.split("=", 1)
        rest, _, script = rest.partition("@")
        port, _, path = rest.partition("/")
        targets.append((name, port, "/" + path, script or None))
    results: dict[str, list[tuple[float, float]]] = {t[0]: [] for t in targets}
    for r in range(opts.rounds):
        for name, port, path, script in targets:
            url = f"http://127.0.0.1:{port}{path}"
            pids = server_pids(port)
            wrk(url, script, 1, opts.connections)
            before = cpu_ticks(pids)
            out = wrk(url, script, opts.duration, opts.connections)
            used = cpu_ticks(pids) - before
            rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
            count = int(re.search(r"(\d+) requests in", out).group(1))
            us = used / HZ / count * 1e6
            results[name].append((rps, us))
            print(f"round {r} {name:14s} {rps:10.0f} req/s {us:8.1f} us CPU/req", flush=True)
            time.sleep(0.5)
    print("medians:")
    for name, runs in results.items():
        print(f"{name:14s} {statistics.median(x[0] for x in runs):10.0f} req/s "
              f"{statistics.median(x[1] for x in runs):8.1f} us CPU/req")


if __name__ == "__main__":
    main()
