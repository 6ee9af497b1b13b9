#!/usr/bin/env python3
"""WebSocket servers side by side on loopback: echo round trips, broadcast, idle memory.

    python3 bench/ws.py [--rounds 3] [--seconds 5] [--servers kiv-sync,granian,...]

Builds the load generator bench/wsload/ (g++ -O2 -std=c++20, standalone Asio) into
build/wsload, installs the peers into build/bench-venv (as bench/run.py does), then for
each round starts every server in turn on a free port pinned to one CPU (taskset), with
the load generator pinned to the other, runs idle, echo and broadcast against it and
stops it by its pid. Server CPU time per message comes from /proc beside each rate.
Writes bench/results/NAME.md and .json (NAME defaults to "ws").

kiv runs from a build of this checkout: --kiv-path (default build/dev, the developer
build) is put in front of python/ on PYTHONPATH of the system interpreter. --base DIR
adds, after each kiv server, the same style from another checkout (DIR/build/dev and
DIR/python, named "NAME@base"), so a change is measured against its base in one run.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from run import (HOST, ROOT, VENV, VPY, descendants, free_port, http_get,  # noqa: E402
                 log, rss_kib, stop_group)

BENCH = ROOT / "bench"
APPS = BENCH / "apps"
LOAD_SRC = BENCH / "wsload" / "wsload.cpp"
LOAD_BIN = ROOT / "build" / "wsload"
NATIVE_SRC = BENCH / "wsload" / "native_echo.cpp"
NATIVE_BIN = ROOT / "build" / "native_echo"
LOG_DIR = ROOT / "build" / "bench-logs"
PIP = ["granian", "uvicorn[standard]", "websockets"]
OPTIONAL_PIP = ["socketify"]


def servers(opts) -> dict[str, dict]:
    vbin = VENV / "bin"

    def kiv(style: str, build: Path, tree: Path) -> dict:
        return {"cmd": [sys.executable, str(APPS / "ws_kiv_app.py"), "{port}", style],
                "env": {"PYTHONPATH": f"{build.resolve()}:{tree.resolve()}"},
                "broadcast": style == "callback",
                # A sync handler holds a pool thread for as long as its connection is
                # open, so 10,000 idle ones are not what it is for.
                "idle": style != "sync"}

    asgi = {"broadcast": True, "idle": True, "env": {}}
    base = getattr(opts, "base", None)
    styles = {}
    for style in ("sync", "async", "callback"):
        styles[f"kiv-{style}"] = kiv(style, Path(opts.kiv_path), ROOT / "python")
        if base:
            styles[f"kiv-{style}@base"] = kiv(style, Path(base) / "build" / "dev",
                                              Path(base) / "python")
    return {
        **styles,
        "granian": {**asgi, "cmd": [str(vbin / "granian"), "--interface", "asgi", "--workers", "1",
                                    "--runtime-threads", "1", "--host", HOST, "--port", "{port}",
                                    "--log-level", "warning", "ws_asgi_app:app"]},
        "uvicorn": {**asgi, "cmd": [str(vbin / "uvicorn"), "--ws", "websockets", "--loop", "uvloop",
                                    "--http", "httptools", "--host", HOST, "--port", "{port}",
                                    "--log-level", "warning", "ws_asgi_app:app"]},
        "socketify": {**asgi, "cmd": [str(VPY), str(APPS / "ws_socketify_app.py"), "{port}"]},
        # The engine alone, no Python: the floor under the kiv rows.
        "native": {**asgi, "cmd": [str(NATIVE_BIN), "{port}"]},
    }


def setup(opts, notes: list[str]) -> None:
    LOG_DIR.mkdir(parents=True, exist_ok=True)
    if not LOAD_BIN.exists() or LOAD_BIN.stat().st_mtime < LOAD_SRC.stat().st_mtime:
        log(f"== g++ -O2 -std=c++20 {LOAD_SRC.relative_to(ROOT)}")
        subprocess.run(["g++", "-O2", "-std=c++20", "-pthread", "-o", str(LOAD_BIN),
                        str(LOAD_SRC)], check=True)
    engine = [NATIVE_SRC, *sorted((ROOT / "src" / "ws").glob("*.cpp")),
              ROOT / "src" / "http" / "head_parser.cpp"]
    newest = max(p.stat().st_mtime for p in [*engine, *(ROOT / "src" / "ws").glob("*.hpp")])
    if not NATIVE_BIN.exists() or NATIVE_BIN.stat().st_mtime < newest:
        log(f"== g++ -O2 -std=c++20 {NATIVE_SRC.relative_to(ROOT)} src/ws/*.cpp")
        subprocess.run(["g++", "-O2", "-std=c++20", "-DASIO_STANDALONE", "-DASIO_NO_DEPRECATED",
                        f"-I{ROOT / 'src'}", "-o", str(NATIVE_BIN), *map(str, engine), "-lz",
                        "-pthread"], check=True)
    if opts.skip_setup:
        return
    if not VPY.exists():
        log(f"== creating {VENV.relative_to(ROOT)}")
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
    pip = [str(VPY), "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    log("== pip install " + " ".join(PIP + OPTIONAL_PIP))
    subprocess.run(pip + PIP, check=True, **quiet)
    for pkg in OPTIONAL_PIP:
        if subprocess.call(pip + [pkg], **quiet) != 0:
            notes.append(f"{pkg} could not be installed; its server is skipped.")


def cpu_seconds(pid: int) -> float:
    """User + system CPU time of pid and everything below it."""
    ticks = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            ticks += int(fields[11]) + int(fields[12])
        except (OSError, IndexError):
            pass
    return ticks / os.sysconf("SC_CLK_TCK")


def threads(pid: int) -> int:
    total = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                total += next(int(line.split()[1]) for line in f if line.startswith("Threads:"))
        except (OSError, StopIteration):
            pass
    return total


class Running:
    def __init__(self, name: str, launch: dict, opts):
        self.name, self.port = name, free_port()
        cmd = [c.replace("{port}", str(self.port)) for c in launch["cmd"]]
        env = dict(os.environ, **launch["env"])
        if not launch["env"].get("PYTHONPATH"):
            env.pop("PYTHONPATH", None)
        self.log_path = LOG_DIR / f"ws-{name}.log"
        with open(self.log_path, "ab") as logf:
            self.proc = subprocess.Popen(["taskset", "-c", opts.server_cpu, *cmd], cwd=APPS,
                                         env=env, stdout=logf, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                if http_get(self.port, "/", timeout=1.0)[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.1)
        self.stop()
        tail = self.log_path.read_text(errors="replace").strip().splitlines()[-3:]
        raise RuntimeError(f"{name} did not start: {' | '.join(tail)}")

    def stop(self) -> None:
        stop_group(self.proc)


def load(opts, *args: str, timeout: float) -> dict:
    cmd = ["taskset", "-c", opts.client_cpu, str(LOAD_BIN), *args]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    line = out.stdout.strip().splitlines()[-1] if out.stdout.strip() else ""
    if out.returncode != 0 or not line.startswith("{"):
        raise RuntimeError(f"wsload {args[0]} failed ({out.returncode}): {out.stderr.strip()[-300:]}"
                           f" {line}")
    return json.loads(line)


def run_echo(srv: Running, opts) -> dict:
    cpu0 = cpu_seconds(srv.proc.pid)
    res = load(opts, "echo", str(srv.port), "/echo", str(opts.connections), str(opts.size),
               str(opts.seconds), timeout=opts.seconds + 60)
    cpu = cpu_seconds(srv.proc.pid) - cpu0
    res["server_cpu_us_per_msg"] = cpu / res["msgs"] * 1e6 if res["msgs"] else None
    res["server_cpu_share"] = cpu / res["seconds"] if res["seconds"] else None
    return res


def run_broadcast(srv: Running, opts) -> dict:
    cpu0 = cpu_seconds(srv.proc.pid)
    res = load(opts, "broadcast", str(srv.port), "/sub/bench", "/pub/bench", str(opts.subscribers),
               str(opts.publishes), timeout=300)
    cpu = cpu_seconds(srv.proc.pid) - cpu0
    # Includes the subscribers' handshakes; the delivery rate is from the timed publishes.
    res["server_cpu_s"] = cpu
    return res


def run_idle(srv: Running, opts) -> dict:
    time.sleep(0.5)
    before, threads_before = rss_kib(srv.proc.pid), threads(srv.proc.pid)
    cmd = ["taskset", "-c", opts.client_cpu, str(LOAD_BIN), "idle", str(srv.port), "/echo",
           str(opts.subscribers)]
    client = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = ""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not line.startswith("ready"):
            line = client.stdout.readline()
            if not line:
                break
        parts = line.split()
        if len(parts) < 2 or parts[0] != "ready":
            raise RuntimeError(f"wsload idle did not get ready: {line!r}")
        time.sleep(1.0)  # let the server settle what it allocates per connection
        after, threads_after = rss_kib(srv.proc.pid), threads(srv.proc.pid)
        opened = int(parts[1])
    finally:
        client.stdin.close()
        try:
            client.wait(30)
        except subprocess.TimeoutExpired:
            client.kill()
            client.wait()
    return {"connections": opened, "rss_before_kib": before, "rss_after_kib": after,
            "kib_per_conn": (after - before) / opened if opened else None,
            "threads_before": threads_before, "threads_after": threads_after}


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(v, pattern):
    return "n/a" if v is None else pattern.format(v)


def render(data: dict) -> str:
    o = data["options"]
    out = ["# WebSocket servers side by side", "",
           f"{data['date']} on {data['machine']}. Command: `{data['command']}`.", "",
           f"Server pinned to CPU {o['server_cpu']}, load generator (bench/wsload, one thread) to "
           f"CPU {o['client_cpu']}; {o['rounds']} interleaved rounds, each server started afresh "
           "per round; medians over the rounds. The machine was shared with other work, so "
           "compare within this table only.", ""]
    s = data["summary"]
    out += [f"## Echo: {o['connections']} connections, {o['size']}-byte text messages, "
            f"one in flight per connection, {o['seconds']} s", "",
            "| server | msgs/s | p50 | p99 | server CPU per round trip | server CPU busy |",
            "|---|---:|---:|---:|---:|---:|"]
    for name, r in s.items():
        e = r.get("echo") or {}
        out.append(f"| {name} | {fmt(e.get('rate'), '{:,.0f}')} | "
                   f"{fmt(e.get('p50_us'), '{:,.0f} µs')} | {fmt(e.get('p99_us'), '{:,.0f} µs')} | "
                   f"{fmt(e.get('server_cpu_us_per_msg'), '{:.1f} µs')} | "
                   f"{fmt(e.get('server_cpu_share'), '{:.0%}')} |")
    out += ["", f"## Broadcast: {o['subscribers']:,} subscribers, one publisher, "
            f"{o['publishes']} publishes one after another", "",
            "Fan-out time: from the publisher's send until the last subscriber has the message.",
            "", "| server | fan-out median | fan-out max | deliveries/s |", "|---|---:|---:|---:|"]
    for name, r in s.items():
        b = r.get("broadcast")
        if b:
            out.append(f"| {name} | {fmt(b.get('fanout_ms_median'), '{:.1f} ms')} | "
                       f"{fmt(b.get('fanout_ms_max'), '{:.1f} ms')} | "
                       f"{fmt(b.get('deliveries_per_s'), '{:,.0f}')} |")
    out += ["", f"## Idle: {o['subscribers']:,} open connections on /echo", "",
            "| server | RSS before | RSS after | per connection | threads before → after |",
            "|---|---:|---:|---:|---:|"]
    for name, r in s.items():
        i = r.get("idle")
        if i:
            out.append(f"| {name} | {fmt(i.get('rss_before_kib'), '{:,.0f} KiB')} | "
                       f"{fmt(i.get('rss_after_kib'), '{:,.0f} KiB')} | "
                       f"{fmt(i.get('kib_per_conn'), '{:.1f} KiB')} | "
                       f"{i.get('threads_before')} → {i.get('threads_after')} |")
    if data["notes"]:
        out += ["", "## Notes", ""] + [f"- {n}" for n in data["notes"]]
    return "\n".join(out) + "\n"


def summarise(runs: list[dict]) -> dict:
    out: dict[str, dict] = {}
    for name in dict.fromkeys(r["server"] for r in runs):
        mine = [r for r in runs if r["server"] == name]
        entry = {}
        for kind in ("echo", "broadcast", "idle"):
            got = [r[kind] for r in mine if r.get(kind)]
            if got:
                entry[kind] = {k: median([g.get(k) for g in got]) for k in got[0]
                               if isinstance(got[0][k], (int, float))}
        out[name] = entry
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=5.0, help="echo duration per run")
    ap.add_argument("--connections", type=int, default=64)
    ap.add_argument("--size", type=int, default=32)
    ap.add_argument("--subscribers", type=int, default=10000,
                    help="connections for broadcast and idle")
    ap.add_argument("--publishes", type=int, default=20)
    ap.add_argument("--servers", default=",".join(servers(argparse.Namespace(kiv_path="."))))
    ap.add_argument("--scenarios", default="idle,echo,broadcast")
    ap.add_argument("--server-cpu", default="0")
    ap.add_argument("--client-cpu", default="1")
    ap.add_argument("--kiv-path", default=str(ROOT / "build" / "dev"))
    ap.add_argument("--base", help="another checkout whose kiv runs beside each kiv server")
    ap.add_argument("--skip-setup", action="store_true", help="no pip; still builds wsload")
    ap.add_argument("--name", default="ws")
    opts = ap.parse_args(argv)

    # Every connection is a descriptor in the client and in the server (which inherit this).
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = opts.subscribers + 1000
    if soft < need:
        if hard != resource.RLIM_INFINITY and hard < need:
            sys.exit(f"ulimit -n is {soft} (hard {hard}); {need} descriptors are needed")
        resource.setrlimit(resource.RLIMIT_NOFILE, (need, hard))

    notes: list[str] = []
    setup(opts, notes)
    launches = servers(opts)
    chosen = [s for s in opts.servers.split(",") if s]
    if opts.base:
        chosen = [n for s in chosen for n in ((s, s + "@base") if s + "@base" in launches
                                                else (s,))]
    if "socketify" in chosen and subprocess.call([str(VPY), "-c", "import socketify"],
                                                 stdout=subprocess.DEVNULL,
                                                 stderr=subprocess.DEVNULL) != 0:
        notes.append("socketify does not import; skipped.")
        chosen.remove("socketify")
    scenarios = opts.scenarios.split(",")
    runs: list[dict] = []
    for rnd in range(1, opts.rounds + 1):
        for name in chosen:
            launch = launches[name]
            log(f"== round {rnd}/{opts.rounds}: {name}")
            record: dict = {"round": rnd, "server": name}
            try:
                srv = Running(name, launch, opts)
            except RuntimeError as exc:
                notes.append(f"round {rnd}: {exc}")
                log(f"   {exc}")
                continue
            try:
                for kind, fn, wanted in (("idle", run_idle, launch["idle"]),
                                         ("echo", run_echo, True),
                                         ("broadcast", run_broadcast, launch["broadcast"])):
                    if kind not in scenarios or not wanted:
                        continue
                    try:
                        record[kind] = fn(srv, opts)
                        log(f"   {kind}: {json.dumps(record[kind])}")
                    except (RuntimeError, subprocess.TimeoutExpired) as exc:
                        notes.append(f"round {rnd}, {name}, {kind}: {exc}")
                        log(f"   {kind} failed: {exc}")
                    if srv.proc.poll() is not None:
                        notes.append(f"round {rnd}: {name} exited during {kind}")
                        break
            finally:
                srv.stop()
            runs.append(record)
    if "kiv-sync" in chosen:
        notes.append("kiv-sync has no idle figure: a sync handler holds a pool thread while "
                     "its connection is open.")
    notes += ["Broadcast on kiv uses callback-style handlers (/sub subscribes in on_open, /pub "
              "publishes in on_message), the same for every kiv style, so it is run once "
              "(kiv-callback). The ASGI app keeps its own set of subscribers and awaits one send "
              "per subscriber; socketify uses its native subscribe/publish."]
    data = {
        "date": f"{_dt.datetime.now(_dt.timezone.utc):%Y-%m-%d %H:%M} UTC",
        "machine": f"{platform.machine()}, {os.cpu_count()} CPUs, Python {platform.python_version()}",
        "command": "python3 bench/ws.py " + " ".join(argv if argv is not None else sys.argv[1:]),
        "options": vars(opts), "runs": runs, "summary": summarise(runs), "notes": notes,
    }
    results = BENCH / "results"
    (results / f"{opts.name}.json").write_text(json.dumps(data, indent=1))
    md = render(data)
    (results / f"{opts.name}.md").write_text(md)
    print(md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
