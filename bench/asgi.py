"""ASGI applications on kiv and on its peers, servers pinned to CPU 0, wrk to CPU 1.

    python bench/asgi.py [--rounds 3] [--duration 5] [--servers a,b] [--scenarios a,b]
                         [--before REF] [--name asgi]

Scenarios (every server runs the same application file):

    hello     GET /                     a bare ASGI app's plain text (apps/asgi_app.py)
    adb       GET /db                   asyncpg, one random row as JSON (apps/asgi_db_app.py)
    aqueries  GET /queries?queries=20   asyncpg, 20 rows, one query each
    fastapi   POST /items/42            FastAPI: path parameter, dependency, pydantic
                                        model in and out (apps/fastapi_app.py)

Servers: kiv (`python -m kiv run --interface asgi`), granian (`--interface asgi
--workers 1 --runtime-threads 1`), uvicorn (`--loop uvloop --http httptools`), kiv-views
(the database endpoints as kiv `async def` views, apps/kiv_async_db_app.py) and, with
--before REF, kiv-before: the same kiv with the Python package of git REF (its `kiv`
folder exported to build/asgi-before), so one interleaved run compares both; with
KIV_BEFORE set (a PYTHONPATH: another tree's package and build), kiv-before runs that.
The caller's PYTHONPATH follows the package's folder, so that it may name the _kiv build.

Each run starts the server afresh, warms it for a second, then measures wrk -t1 -c64 and
the CPU time the server's processes used (utime + stime from /proc, over every process
of its tree) and the context switches of all its threads. Figures per round and medians
go to bench/results/NAME.md and .json. PostgreSQL is started as bench/run.py does (a Unix
socket in build/bench-pg), pinned to CPU 1 with wrk so that the server has CPU 0 to
itself, and stopped by its pid; every server runs in its own process group and is stopped
by its pid.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
APPS = BENCH / "apps"
HOST = "127.0.0.1"
TICK = os.sysconf("SC_CLK_TCK")
BEFORE = ROOT / "build" / "asgi-before"
POOL = 64  # database connections per server process, the same for every server

sys.path.insert(0, str(BENCH))
import run as _run  # noqa: E402  (PostgreSQL start/stop)

SCENARIOS = {
    "hello": ("GET / (bare ASGI app, plain text)", "/", None, "asgi_app:app", None),
    "adb": ("GET /db", "/db", None, "asgi_db_app:app", "kiv_async_db_app:app"),
    "aqueries": ("GET /queries?queries=20", "/queries?queries=20", None, "asgi_db_app:app",
                 "kiv_async_db_app:app"),
    "fastapi": ("POST /items/42 (FastAPI)", "/items/42", "fastapi.lua", "fastapi_app:app",
                None),
}
SERVERS = ["kiv", "kiv-before", "granian", "uvicorn", "kiv-views"]


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def command(name: str, target: str, port: int) -> tuple[list[str], dict]:
    env = dict(os.environ)
    path = [str(APPS)]
    if name.startswith("kiv"):
        path.insert(0, str(BEFORE if name == "kiv-before" else ROOT / "python"))
        interface = "kiv" if name == "kiv-views" else "asgi"
        cmd = [sys.executable, "-m", "kiv", "run", "--interface", interface, "--host", HOST,
               "--port", str(port), target]
    elif name == "granian":
        cmd = [sys.executable, "-m", "granian", "--interface", "asgi", "--workers", "1",
               "--runtime-threads", "1", "--no-ws", "--log-level", "warning", "--host", HOST,
               "--port", str(port), target]
    elif name == "uvicorn":
        cmd = [sys.executable, "-m", "uvicorn", "--loop", "uvloop", "--http", "httptools",
               "--no-access-log", "--log-level", "warning", "--host", HOST, "--port",
               str(port), target]
    else:
        raise SystemExit(f"unknown server {name}")
    if name == "kiv-before" and os.environ.get("KIV_BEFORE"):
        path = [str(APPS), os.environ["KIV_BEFORE"]]  # another tree: its package and build
    else:
        # The caller's path last: it may name the _kiv build to use (the package first).
        path.append(os.environ.get("PYTHONPATH", ""))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, path))
    return cmd, env


class Server:
    def __init__(self, name: str, target: str, dsn: str, log: Path):
        self.name, self.port = name, free_port()
        cmd, env = command(name, target, self.port)
        env.update(BENCH_DB_DSN=dsn, BENCH_DB_POOL=str(POOL))
        with open(log, "ab") as out:
            self.proc = subprocess.Popen(["taskset", "-c", "0", *cmd], cwd=APPS, env=env,
                                         start_new_session=True, stdout=out, stderr=out,
                                         stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                socket.create_connection((HOST, self.port), 0.2).close()
                return
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError(f"{name} exited at start (see {log})")
                time.sleep(0.05)
        self.stop()
        raise RuntimeError(f"{name} did not listen")

    def cpu_ticks(self) -> int:
        total = 0
        for pid in _run.descendants(self.proc.pid):
            try:
                fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
                total += int(fields[11]) + int(fields[12])
            except OSError:
                pass
        return total

    def switches(self) -> int:
        """Context switches (voluntary and not) of every thread of the server's processes."""
        total = 0
        for pid in _run.descendants(self.proc.pid):
            for status in Path(f"/proc/{pid}/task").glob("*/status"):
                try:
                    total += sum(int(line.split()[1]) for line in status.read_text().splitlines()
                                 if "ctxt_switches:" in line)
                except OSError:
                    pass
        return total

    def stop(self) -> None:
        _run.stop_group(self.proc)


def wrk(port: int, path: str, script: str | None, seconds: float) -> dict:
    cmd = ["taskset", "-c", "1", "wrk", "-t1", "-c64", f"-d{int(seconds)}s", "--latency"]
    if script:
        cmd += ["-s", str(BENCH / "wrk" / script)]
    out = subprocess.run(cmd + [f"http://{HOST}:{port}{path}"], capture_output=True,
                         text=True, timeout=seconds + 30).stdout
    done = int(re.search(r"(\d+) requests in", out).group(1))
    m = re.search(r"50%\s+([\d.]+)(us|ms|s)", out)
    p50 = float(m.group(1)) * {"us": 0.001, "ms": 1, "s": 1000}[m.group(2)]
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errs = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    errors = (int(bad.group(1)) if bad else 0) + (sum(map(int, errs.groups())) if errs else 0)
    return {"requests": done, "p50_ms": p50, "errors": errors}


def check(port: int, scenario: str) -> None:
    import http.client
    conn = http.client.HTTPConnection(HOST, port, timeout=10)
    try:
        if scenario == "fastapi":
            conn.request("POST", "/items/42", body=b'{"name": "lamp", "price": 40.5, '
                         b'"tags": ["home", "light"]}', headers={
                             "Content-Type": "application/json", "X-User": "bench"})
        else:
            conn.request("GET", SCENARIOS[scenario][1])
        resp = conn.getresponse()
        raw = resp.read()
        data = raw if scenario == "hello" else json.loads(raw)
    finally:
        conn.close()
    want = {"hello": None, "adb": lambda d: set(d) == {"id", "randomNumber"},
            "aqueries": lambda d: len(d) == 20 and all(set(r) == {"id", "randomNumber"}
                                                       for r in d),
            "fastapi": lambda d: d == {"id": 42, "name": "lamp", "price": 40.5,
                                       "tags": ["home", "light"], "owner": "bench",
                                       "total": 48.6}}[scenario]
    if resp.status != 200 or not (want(data) if want else data == b"Hello, World!"):
        raise RuntimeError(f"bad answer: {resp.status} {data!r:.80}")


def export_before(ref: str) -> None:
    import shutil
    shutil.rmtree(BEFORE, ignore_errors=True)
    BEFORE.mkdir(parents=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", ref, "python/kiv"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "--strip-components=1", "-C", str(BEFORE)], input=archive,
                   check=True)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--duration", type=int, default=5)
    p.add_argument("--servers", default="kiv,granian,uvicorn")
    p.add_argument("--scenarios", default=",".join(SCENARIOS))
    p.add_argument("--before", help="git ref whose kiv package runs as kiv-before")
    p.add_argument("--name", default="asgi")
    opts = p.parse_args()
    servers = opts.servers.split(",")
    if opts.before and "kiv-before" not in servers:
        servers.insert(1, "kiv-before")
    if "kiv-before" in servers and not os.environ.get("KIV_BEFORE"):
        if not opts.before:
            raise SystemExit("kiv-before needs --before REF (or KIV_BEFORE, a PYTHONPATH)")
        export_before(opts.before)
    scenarios = opts.scenarios.split(",")
    logs = ROOT / "build" / "asgi-bench-logs"
    logs.mkdir(parents=True, exist_ok=True)
    started = _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds")
    load_before = os.getloadavg()
    database, dsn = None, ""
    runs: list[dict] = []

    def on_term(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_term)
    try:
        if any(s in ("adb", "aqueries") for s in scenarios):
            database, dsn = _run.start_database(logs / "postgres.log")
            # Beside wrk, off the server's CPU: its backends (forked later) inherit this.
            os.sched_setaffinity(database.pid, {1})
        for rnd in range(1, opts.rounds + 1):
            for sc in scenarios:
                _, path, script, target, views_target = SCENARIOS[sc]
                for name in servers:
                    if name == "kiv-views":
                        if views_target is None:
                            continue
                        app_ref = views_target
                    else:
                        app_ref = target
                    row = {"round": rnd, "scenario": sc, "server": name}
                    try:
                        srv = Server(name, app_ref, dsn, logs / f"{name}.log")
                    except RuntimeError as e:
                        row["failed"] = str(e)
                        runs.append(row)
                        print(f"round {rnd} {sc:9} {name:11} failed: {e}", flush=True)
                        continue
                    try:
                        check(srv.port, sc)
                        wrk(srv.port, path, script, 1)  # warm-up
                        before, switched = srv.cpu_ticks(), srv.switches()
                        res = wrk(srv.port, path, script, opts.duration)
                        used = (srv.cpu_ticks() - before) / TICK
                        switched = srv.switches() - switched
                        row.update(res, rps=res["requests"] / opts.duration,
                                   cpu_us=used / max(res["requests"], 1) * 1e6,
                                   switches=switched / max(res["requests"], 1))
                        print(f"round {rnd} {sc:9} {name:11} {row['rps']:>9,.0f} req/s  "
                              f"p50 {row['p50_ms']:6.2f} ms  {row['cpu_us']:6.1f} us CPU/req  "
                              f"{row['switches']:5.2f} switches/req  "
                              f"errors {row['errors']}", flush=True)
                    except (RuntimeError, ValueError, OSError, AttributeError) as e:
                        row["failed"] = str(e)
                        print(f"round {rnd} {sc:9} {name:11} failed: {e}", flush=True)
                    finally:
                        srv.stop()
                    runs.append(row)
                    time.sleep(0.3)
    except KeyboardInterrupt:
        print("interrupted")
        return 130
    finally:
        if database is not None:
            _run.stop_database(database)
    report(opts, servers, scenarios, runs, started, load_before)
    return 0


def report(opts, servers, scenarios, runs, started, load_before) -> None:
    summary: dict = {}
    lines = ["# ASGI applications: kiv, granian, uvicorn", "",
             f"Run {started}: `python bench/asgi.py {' '.join(sys.argv[1:])}`", "",
             f"Servers on CPU 0, wrk -t1 -c64 on CPU 1; {opts.rounds} round(s) of "
             f"{opts.duration:g} s each (after 1 s of warm-up), servers interleaved and "
             f"restarted for every run; {POOL} database connections per server. Load average "
             f"before / after: {' '.join(f'{x:.2f}' for x in load_before)} / "
             f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}. Medians over the rounds; "
             "CPU is the server processes' user + system time per request; switches are the "
             "context switches of all their threads per request.", ""]
    for sc in scenarios:
        summary[sc] = {}
        lines += [f"## {SCENARIOS[sc][0]}", "",
                  "| server | req/s | p50 ms | CPU us/req | switches/req | errors | req/s vs kiv | "
                  "CPU vs kiv | rounds (req/s, us/req) |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|---|"]
        for name in servers:
            ok = [r for r in runs if r["scenario"] == sc and r["server"] == name
                  and "failed" not in r]
            if not ok:
                continue
            summary[sc][name] = {
                "rps": statistics.median(r["rps"] for r in ok),
                "p50_ms": statistics.median(r["p50_ms"] for r in ok),
                "cpu_us": statistics.median(r["cpu_us"] for r in ok),
                "switches": statistics.median(r["switches"] for r in ok),
                "errors": sum(r["errors"] for r in ok),
                "rounds": [(round(r["rps"]), round(r["cpu_us"], 1)) for r in ok]}
        base = summary[sc].get("kiv")
        for name, s in summary[sc].items():
            rel = (f"{s['rps'] / base['rps']:.2f} | {s['cpu_us'] / base['cpu_us']:.2f}"
                   if base else "– | –")
            per = ", ".join(f"{r:,} / {c}" for r, c in s["rounds"])
            lines.append(f"| {name} | {s['rps']:,.0f} | {s['p50_ms']:.2f} | {s['cpu_us']:.1f} | "
                         f"{s['switches']:.2f} | "
                         f"{s['errors']} | {rel} | {per} |")
        lines.append("")
    failed = [f"- round {r['round']} {r['scenario']} {r['server']}: {r['failed']}"
              for r in runs if "failed" in r]
    if failed:
        lines += ["## Failed runs", ""] + failed + [""]
    out = BENCH / "results"
    (out / f"{opts.name}.json").write_text(json.dumps(
        {"started": started, "argv": sys.argv[1:], "rounds": opts.rounds,
         "duration": opts.duration, "pool": POOL, "summary": summary, "runs": runs},
        indent=1) + "\n")
    (out / f"{opts.name}.md").write_text("\n".join(lines))
    print("\n".join(lines))


if __name__ == "__main__":
    sys.exit(main())
