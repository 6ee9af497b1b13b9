#!/usr/bin/env python3
"""kiv against its peers, side by side on loopback.

One command does everything: installs wrk, nginx and h2o (apt-get), creates the
virtualenv build/bench-venv with the peer servers, builds kiv into it, starts
every server pinned to one CPU, drives each with wrk pinned to the other CPU,
interleaving the servers over several rounds, and writes bench/results/NAME.md,
.json and .png (NAME is "latest", or "quick" for --quick).

Only the standard library is used here, so this runs on the system interpreter;
the servers, the chart and the Python floor run inside the virtualenv.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import http.client
import json
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
APPS = BENCH / "apps"
VENV = ROOT / "build" / "bench-venv"
VPY = VENV / "bin" / "python"
HOST = "127.0.0.1"

PIP_PACKAGES = ["granian", "uvicorn[standard]", "gunicorn", "matplotlib", "flask", "django",
                "Flask-Login", "Flask-SQLAlchemy",  # the extension-stack scenario
                # the database scenarios' driver and connection pool
                "psycopg[binary]", "psycopg_pool",
                # the ASGI scenarios: async driver, FastAPI with pydantic
                "asyncpg", "fastapi", "pydantic",
                # kiv is built without isolation so the build folder is reused
                "scikit-build-core>=0.10", "cmake", "ninja"]
OPTIONAL_PIP = ["socketify", "a2wsgi"]


def log(msg: str) -> None:
    print(msg, flush=True)


# --------------------------------------------------------------------------
# Setup


def run_quiet(cmd: list[str], what: str, logfile: Path, **kw) -> bool:
    """Runs cmd with its output in logfile; prints the tail on failure."""
    with open(logfile, "ab") as out:
        out.write(f"\n$ {' '.join(map(str, cmd))}\n".encode())
        out.flush()
        rc = subprocess.call(cmd, stdout=out, stderr=subprocess.STDOUT, **kw)
    if rc != 0:
        tail = logfile.read_text(errors="replace").splitlines()[-15:]
        log(f"   {what} failed (exit {rc}); last lines of {logfile}:")
        for line in tail:
            log("     " + line)
    return rc == 0


def setup(opts: argparse.Namespace, notes: list[str]) -> None:
    logfile = ROOT / "build" / "bench-setup.log"
    logfile.parent.mkdir(parents=True, exist_ok=True)
    missing = [pkg for pkg, binary in (("wrk", "wrk"), ("nginx", "nginx"), ("h2o", "h2o"))
               if not (shutil.which(binary) or Path("/usr/sbin", binary).exists())]
    if missing:
        log(f"== apt-get install {' '.join(missing)}")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        if not (run_quiet(["apt-get", "update", "-qq"], "apt-get update", logfile, env=env)
                and run_quiet(["apt-get", "install", "-y", "-qq", *missing], "apt-get install",
                              logfile, env=env)):
            sys.exit("cannot install " + " ".join(missing))
    if not VPY.exists():
        log(f"== creating {VENV.relative_to(ROOT)}")
        if not run_quiet([sys.executable, "-m", "venv", str(VENV)], "venv", logfile):
            sys.exit("cannot create the virtualenv")
    pip = [str(VPY), "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    log("== pip install " + " ".join(PIP_PACKAGES))
    if not run_quiet(pip + PIP_PACKAGES, "pip install", logfile):
        sys.exit("cannot install the benchmark's Python packages")
    for pkg in OPTIONAL_PIP:
        if not run_quiet(pip + [pkg], f"pip install {pkg}", logfile):
            notes.append(f"{pkg} could not be installed; its server is skipped.")
    if opts.no_build:
        return
    log("== building kiv into the virtualenv (pip install .)")
    # A build folder of its own: the project's default one may be in use by a
    # concurrent build for the system interpreter.
    if not run_quiet(pip + ["--no-build-isolation", "-C", "build-dir=build/bench-wheel", "."],
                     "kiv build", logfile, cwd=ROOT):
        sys.exit("cannot build kiv")


# --------------------------------------------------------------------------
# Processes


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def descendants(pid: int) -> list[int]:
    """pid and every process below it."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # The name field may contain spaces; the fields after it are fixed.
        ppid = int(stat[stat.rfind(")") + 2:].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(children.get(p, ()))
    return out


def rss_kib(pid: int) -> int:
    """Resident set size of pid and all its descendants, in KiB."""
    total = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        total += int(line.split()[1])
                        break
        except OSError:
            pass
    return total


def cpu_ticks(pid: int) -> int:
    """User + system CPU time of pid and all its descendants, in clock ticks."""
    total = 0
    for p in descendants(pid):
        try:
            with open(f"/proc/{p}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(")") + 2:].split()
        total += int(fields[11]) + int(fields[12])  # utime, stime
    return total


def stop_group(proc: subprocess.Popen) -> None:
    """Stops a process started in its own session, and everything it started."""
    if proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGINT, 3.0), (signal.SIGTERM, 3.0), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            break
        try:
            proc.wait(wait)
            break
        except subprocess.TimeoutExpired:
            continue
    # Workers that outlived their leader are still in its process group.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def http_get(port: int, path: str, method: str = "GET", body: bytes | None = None,
             timeout: float = 5.0, extra: dict[str, str] | None = None) -> tuple[int, bytes]:
    conn = http.client.HTTPConnection(HOST, port, timeout=timeout)
    try:
        headers = {"Content-Type": "application/octet-stream"} if body is not None else {}
        headers.update(extra or {})
        conn.request(method, path, body=body, headers=headers)
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


# --------------------------------------------------------------------------
# Servers and scenarios


@dataclass
class Scenario:
    name: str
    title: str
    path: str
    script: str
    check: Callable[[int, bytes], str | None]  # returns a fault, or None
    method: str = "GET"
    body: bytes | None = None
    static: bool = False
    needs_python_body: bool = False  # n/a for nginx
    many_conns: bool = False  # also: measured on a freshly started server
    framework: bool = False  # served only by the framework apps (hooks, sessions)
    headers: dict[str, str] = field(default_factory=dict)  # sent when validating
    app: bool = False  # looks like an application: only servers that run app_views
    db: bool = False  # needs the database
    conns: int | None = None  # connections, instead of --connections
    wsgi: bool = False  # real Flask/Django applications: only the servers with wsgi set
    ext: bool = False  # the Flask extension-stack app: only the servers with ext set
    asgi: bool = False  # apps/asgi_suite_app.py: only the servers with asgi set


def expect_text(status: int, body: bytes) -> str | None:
    if status != 200 or b"Hello, World!" not in body:
        return f"status {status}, body {body[:60]!r}"
    return None


def expect_json(want: dict) -> Callable[[int, bytes], str | None]:
    def check(status: int, body: bytes) -> str | None:
        try:
            ok = status == 200 and json.loads(body) == want
        except ValueError:
            ok = False
        return None if ok else f"status {status}, body {body[:60]!r}"
    return check


def expect_size(size: int) -> Callable[[int, bytes], str | None]:
    def check(status: int, body: bytes) -> str | None:
        return None if status == 200 and len(body) == size else (
            f"status {status}, {len(body)} bytes instead of {size}")
    return check


def expect_echo(status: int, body: bytes) -> str | None:
    return None if status == 200 and body.strip() == b"16384" else (
        f"status {status}, body {body[:60]!r}")


def expect_rows(n: int | None) -> Callable[[int, bytes], str | None]:
    """A row {"id", "randomNumber"}, or a list of n of them."""
    def check(status: int, body: bytes) -> str | None:
        try:
            data = json.loads(body) if status == 200 else None
        except ValueError:
            data = None
        items = [data] if n is None else data
        ok = (isinstance(items, list) and len(items) == (n or 1)
              and all(isinstance(r, dict) and set(r) == {"id", "randomNumber"} for r in items))
        return None if ok else f"status {status}, body {body[:60]!r}"
    return check


def expect_prefix(prefix: bytes) -> Callable[[int, bytes], str | None]:
    def check(status: int, body: bytes) -> str | None:
        return None if status == 200 and body.startswith(prefix) else (
            f"status {status}, body {body[:60]!r}")
    return check


SCENARIOS = [
    Scenario("text", "Plain text from a view", "/", "get.lua", expect_text),
    Scenario("json", "JSON from a dict", "/json", "get.lua",
             expect_json({"message": "Hello, World!"})),
    Scenario("int_arg", "Route with an int argument (/items/42)", "/items/42", "get.lua",
             expect_json({"id": 42})),
    Scenario("static_4k", "Static file, 4 KiB", "/static/4k.bin", "get.lua",
             expect_size(4096), static=True),
    Scenario("static_1m", "Static file, 1 MiB", "/static/1m.bin", "get.lua",
             expect_size(1 << 20), static=True),
    Scenario("post_16k", "POST 16 KiB body, echo its length", "/echo", "post16k.lua",
             expect_echo, method="POST", body=b"x" * 16384, needs_python_body=True),
    Scenario("pipeline16", "Pipelining depth 16, plain text", "/", "pipeline16.lua",
             expect_text),
    Scenario("c1000", "1,000 keep-alive connections, plain text", "/", "get.lua",
             expect_text, many_conns=True),
    # The cookie is the one in session.lua (see bench/apps/session_cookie.py).
    Scenario("session", "Framework app: before_request hook, session cookie read, JSON",
             "/session", "session.lua", expect_json({"user": "bench", "visits": 3}),
             framework=True, headers={"Cookie": "session=eyJ1c2VyIjoiYmVuY2giLCJ2aXNpdHMiOjN9"
                                      ".axbXEQ.HWk9omRy8lBxPGImLcGZgE0Y6Pw"}),
    # The same cookie; the page apps (kiv_page_app.py, flask_page_app.py) add /page.
    Scenario("page", "Framework app: a Jinja2 page (20-row loop, escaping) with the session",
             "/page", "session.lua", lambda status, body: None if status == 200 and
             body.count(b"<li ") == 20 and b"Hello, bench" in body else f"status {status}",
             framework=True, headers={"Cookie": "session=eyJ1c2VyIjoiYmVuY2giLCJ2aXNpdHMiOjN9"
                                      ".axbXEQ.HWk9omRy8lBxPGImLcGZgE0Y6Pw"}),
    # One Flask application with Flask-Login and Flask-SQLAlchemy (apps/flask_ext_app.py):
    # on Flask, and on kiv natively through install_as_flask. The cookie signs in user 1.
    Scenario("ext_stack", "Flask extensions: Flask-Login user + one Flask-SQLAlchemy row "
             "(SQLite), JSON", "/ext", "ext.lua",
             expect_json({"user": "bench", "item": {"id": 1, "title": "lamp", "price": 40}}),
             ext=True, headers={"Cookie": "session=eyJfdXNlcl9pZCI6IjEifQ.axetSQ"
                                ".u0Qu1BQIcknpKJOY9exHfBLKIKQ"}),
    # Scenarios that look like applications: PostgreSQL through psycopg's
    # connection pool, and views that wait as a call to another service does.
    Scenario("db", "Database: one random row as JSON", "/db", "get.lua",
             expect_rows(None), app=True, db=True),
    Scenario("queries", "Database: 20 random rows, one query each", "/queries?queries=20",
             "get.lua", expect_rows(20), app=True, db=True),
    Scenario("updates", "Database: 20 rows read and written", "/updates?queries=20",
             "get.lua", expect_rows(20), app=True, db=True),
    Scenario("wait_1ms", "A view that waits 1 ms", "/wait/1", "get.lua",
             expect_prefix(b"waited"), app=True),
    Scenario("wait_5ms", "A view that waits 5 ms", "/wait/5", "get.lua",
             expect_prefix(b"waited"), app=True),
    Scenario("wait_5ms_c256", "A view that waits 5 ms, 256 connections", "/wait/5", "get.lua",
             expect_prefix(b"waited"), app=True, conns=256),
    Scenario("wait_20ms", "A view that waits 20 ms", "/wait/20", "get.lua",
             expect_prefix(b"waited"), app=True),
    Scenario("wait_50ms", "A view that waits 50 ms", "/wait/50", "get.lua",
             expect_prefix(b"waited"), app=True),
    Scenario("mix", "Half the requests wait 5 ms, half compute (~0.5 ms)", "/wait/5",
             "mix.lua", expect_prefix(b"waited"), app=True),
    # The same Flask and Django applications (apps/wsgi_real_app.py) on every server.
    Scenario("wsgi_flask", "WSGI: Flask hello", "/flask/", "get.lua", expect_text, wsgi=True),
    Scenario("wsgi_flask_json", "WSGI: Flask jsonify", "/flask/json", "get.lua",
             expect_json({"message": "Hello, World!"}), wsgi=True),
    Scenario("wsgi_django", "WSGI: Django view (3 middlewares), JSON", "/django/", "get.lua",
             expect_json({"message": "Hello, World!", "path": "/django/"}), wsgi=True),
    # One ASGI application (apps/asgi_suite_app.py) on kiv --interface asgi, granian and
    # uvicorn: asyncpg through its pool, and a FastAPI route.
    Scenario("asgi_db", "ASGI: asyncpg, one random row as JSON", "/db", "get.lua",
             expect_rows(None), asgi=True, db=True),
    Scenario("asgi_queries", "ASGI: asyncpg, 20 random rows, one query each",
             "/queries?queries=20", "get.lua", expect_rows(20), asgi=True, db=True),
    Scenario("asgi_fastapi", "ASGI: FastAPI, path parameter, dependency, pydantic model in "
             "and out", "/items/42", "fastapi.lua",
             expect_json({"id": 42, "name": "lamp", "price": 40.5, "tags": ["home", "light"],
                          "owner": "bench", "total": 48.6}), method="POST",
             body=b'{"name": "lamp", "price": 40.5, "tags": ["home", "light"]}', asgi=True,
             headers={"Content-Type": "application/json", "X-User": "bench"}),
]


@dataclass
class Server:
    name: str
    describe: str
    static: bool
    python_body: bool = True
    framework: bool = False  # a framework app that serves only the framework scenarios
    app: bool = False  # runs app_views (the application scenarios)
    only_app: bool = False  # and nothing else
    port: int = 0
    cmd: list[str] = field(default_factory=list)
    cwd: Path = ROOT
    env: dict[str, str] = field(default_factory=dict)
    proc: subprocess.Popen | None = None
    failed: str = ""
    bad: dict[str, str] = field(default_factory=dict)  # scenario -> fault
    crashes: list[tuple[str, str]] = field(default_factory=list)  # (scenario, log tail)
    log_path: Path | None = None
    wsgi: bool = False  # runs apps/wsgi_real_app.py, and only the wsgi scenarios
    ext: bool = False  # runs apps/flask_ext_app.py, and only the ext scenarios
    asgi: bool = False  # runs apps/asgi_suite_app.py, and only the asgi scenarios
    # Extra arguments for the database scenarios (the server is restarted
    # with them, and without them after), and whether it runs with them now.
    db_args: list[str] = field(default_factory=list)
    db_mode: bool = False

    def serves(self, sc: Scenario) -> bool:
        if sc.wsgi != self.wsgi or sc.ext != self.ext or sc.asgi != self.asgi:
            return False
        if sc.framework != self.framework:
            return False
        if sc.app != self.app and (sc.app or self.only_app):
            return False
        return (self.static or not sc.static) and (self.python_body or not sc.needs_python_body)


NGINX_CONF = """\
daemon off;
master_process off;
worker_processes 1;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{
    worker_connections 4096;
}}
http {{
    access_log off;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 65;
    keepalive_requests 100000000;
    types {{ application/octet-stream bin; }}
    server {{
        listen {host}:{port} backlog=4096;
        location = / {{
            default_type text/plain;
            return 200 "Hello, World!";
        }}
        location = /json {{
            default_type application/json;
            return 200 '{{"message": "Hello, World!"}}';
        }}
        location ~ ^/items/(\\d+)$ {{
            default_type application/json;
            return 200 '{{"id": $1}}';
        }}
        location /static/ {{
            alias {static}/;
        }}
    }}
}}
"""


# h2o: one event-loop thread, access log off, the same static folder; the fixed
# responses come from small mruby handlers (Debian's build has mruby), h2o's
# usual way to answer without a backend. Filled in by h2o_conf().
H2O_CONF = """\
num-threads: 1
pid-file: @DIR@/h2o.pid
error-log: @DIR@/error.log
http1-upgrade-to-http2: OFF
@USER@listen:
  host: @HOST@
  port: @PORT@
hosts:
  default:
    paths:
      /static:
        file.dir: @STATIC@
      /json:
        mruby.handler: |
          Proc.new do |env|
            [200, {"content-type" => "application/json"}, ['{"message": "Hello, World!"}']]
          end
      /items:
        mruby.handler: |
          Proc.new do |env|
            id = env["PATH_INFO"].to_s[1..-1].to_s
            if !id.empty? && id.each_char.all? { |c| c >= "0" && c <= "9" }
              [200, {"content-type" => "application/json"}, ['{"id": ' + id.to_i.to_s + '}']]
            else
              [404, {"content-type" => "text/plain"}, ["not found"]]
            end
          end
      /:
        mruby.handler: |
          Proc.new do |env|
            [200, {"content-type" => "text/plain"}, ["Hello, World!"]]
          end
"""
H2O_DIR = ROOT / "build" / "bench-h2o"


def h2o_conf(port: int, static_dir: Path) -> str:
    # Started as root, h2o switches to "nobody", who cannot read the private
    # temporary folder the static files are in: it stays the invoking user.
    user = ""
    if os.geteuid() == 0:
        import pwd
        user = f"user: {pwd.getpwuid(0).pw_name}\n"
    return (H2O_CONF.replace("@DIR@", str(H2O_DIR)).replace("@USER@", user)
            .replace("@HOST@", HOST).replace("@PORT@", str(port))
            .replace("@STATIC@", str(static_dir)))


def make_servers(tmp: Path, static_dir: Path, notes: list[str]) -> list[Server]:
    vbin = VENV / "bin"
    servers: list[Server] = []

    kiv = Server("kiv", "python -m kiv run, one process: its I/O threads (at least 2) and "
                 "the pool that runs the views, all on the one CPU; static files via app.static",
                 static=True, app=True)
    kiv.cmd = [str(VPY), "-m", "kiv", "run", f"{APPS / 'kiv_app.py'}:app", "--host", HOST,
               "--port", "{port}"]
    kiv.env = {"BENCH_STATIC_DIR": str(static_dir)}
    servers.append(kiv)

    granian_common = ["--host", HOST, "--port", "{port}", "--workers", "1",
                      "--runtime-threads", "1", "--no-ws", "--log-level", "warning",
                      "--static-path-route", "/static", "--static-path-mount", str(static_dir)]
    # Blocking threads at their default, as granian's documentation recommends
    # unless responses take about a millisecond or less; for a database with a
    # limited number of connections it advises a backpressure of that number.
    g = Server("granian-wsgi", "granian --interface wsgi --workers 1 --runtime-threads 1 "
               "(supervisor + 1 worker), blocking threads at their default (its "
               "documentation's advice for views that wait); backpressure at its default, and "
               f"{DB_POOL_SIZE} (the psycopg pool's size, as its documentation advises) in the "
               "database scenarios; static files via --static-path-mount", static=True, app=True)
    g.cmd = [str(vbin / "granian"), "--interface", "wsgi", *granian_common, "wsgi_app:app"]
    g.db_args = ["--backpressure", str(DB_POOL_SIZE)]
    g.cwd = APPS
    servers.append(g)
    g = Server("granian-rsgi", "granian --interface rsgi --workers 1 --runtime-threads 1 "
               "(supervisor + 1 worker), static files via --static-path-mount", static=True)
    g.cmd = [str(vbin / "granian"), "--interface", "rsgi", *granian_common, "rsgi_app:app"]
    g.cwd = APPS
    servers.append(g)

    u = Server("uvicorn", "uvicorn --loop uvloop --http httptools, one process, bare ASGI app",
               static=False)
    u.cmd = [str(vbin / "uvicorn"), "asgi_app:app", "--host", HOST, "--port", "{port}",
             "--loop", "uvloop", "--http", "httptools", "--no-access-log",
             "--log-level", "warning"]
    u.cwd = APPS
    servers.append(u)

    gu = Server("gunicorn", "gunicorn -k sync -w 1 (master + 1 sync worker), bare WSGI app",
                static=False)
    gu.cmd = [str(vbin / "gunicorn"), "-k", "sync", "-w", "1", "-b", f"{HOST}:{{port}}",
              "--log-level", "warning", "wsgi_app:app"]
    gu.cwd = APPS
    servers.append(gu)

    gt = Server("gunicorn-gthread", "gunicorn -k gthread -w 1 --threads 256 (master + 1 "
                "worker with 256 threads), bare WSGI app; application scenarios only",
                static=False, app=True, only_app=True)
    gt.cmd = [str(vbin / "gunicorn"), "-k", "gthread", "-w", "1", "--threads", "256",
              "-b", f"{HOST}:{{port}}", "--log-level", "warning", "wsgi_app:app"]
    gt.cwd = APPS
    servers.append(gt)

    probe = subprocess.run([str(VPY), "-c", "import socketify"], capture_output=True, text=True)
    if probe.returncode == 0:
        s = Server("socketify", "socketify App (one process), static files via app.static "
                   "(its helper reads the file in Python)", static=True)
        s.cmd = [str(VPY), str(APPS / "socketify_app.py"), "{port}", str(static_dir)]
        servers.append(s)
    else:
        last = (probe.stderr.strip().splitlines() or ["?"])[-1]
        notes.append(f"socketify skipped: it does not import ({last}).")

    # The session scenario: the same small app on kiv and on Flask.
    k = Server("kiv-app", "python -m kiv run, one process, the session app "
               "(before_request hook, signed session cookie)", static=False, framework=True)
    k.cmd = [str(VPY), "-m", "kiv", "run", f"{APPS / 'kiv_page_app.py'}:app", "--host", HOST,
             "--port", "{port}"]
    servers.append(k)
    g = Server("granian-flask", "granian --interface wsgi --workers 1 --runtime-threads 1, "
               "the session app on Flask", static=False, framework=True)
    g.cmd = [str(vbin / "granian"), "--interface", "wsgi", "--host", HOST, "--port", "{port}",
             "--workers", "1", "--runtime-threads", "1", "--no-ws", "--log-level", "warning",
             "flask_page_app:app"]
    g.cwd = APPS
    servers.append(g)
    gu = Server("gunicorn-flask", "gunicorn -k sync -w 1, the session app on Flask",
                static=False, framework=True)
    gu.cmd = [str(vbin / "gunicorn"), "-k", "sync", "-w", "1", "-b", f"{HOST}:{{port}}",
              "--log-level", "warning", "flask_page_app:app"]
    gu.cwd = APPS
    servers.append(gu)

    servers += wsgi_servers(vbin, notes)
    servers += ext_servers(vbin)
    servers += asgi_servers(vbin)

    nginx_bin = shutil.which("nginx") or "/usr/sbin/nginx"
    ng = Server("nginx", "nginx, one process (master_process off), fixed responses via "
                "return 200, static files via alias + sendfile; no POST echo",
                static=True, python_body=False)
    ng_dir = tmp / "nginx"
    ng_dir.mkdir()
    ng.cmd = [nginx_bin, "-p", str(ng_dir), "-c", str(ng_dir / "nginx.conf"),
              "-e", str(ng_dir / "error.log")]
    servers.append(ng)

    h2o_bin = shutil.which("h2o")
    if h2o_bin:
        version = command_output([h2o_bin, "--version"]).splitlines()[:1]
        h = Server("h2o", f"{(version or ['h2o'])[0]}, num-threads 1, fixed responses via "
                   "mruby handlers, static files via file.dir; no POST echo",
                   static=True, python_body=False)
        H2O_DIR.mkdir(parents=True, exist_ok=True)
        h.cmd = [h2o_bin, "-c", str(H2O_DIR / "h2o.conf")]
        servers.append(h)
    else:
        notes.append("h2o skipped: not installed (apt-get install h2o).")
    return servers


def kiv_build_servers(servers: list[Server], builds: list[str]) -> list[Server]:
    """kiv's app once per NAME=DIR, with the _kiv module of DIR and this tree's package."""
    base = next(s for s in servers if s.name == "kiv")
    out = []
    for given in builds:
        name, _, folder = given.partition("=")
        path = Path(folder).resolve()
        if not name or not any(path.glob("_kiv*.so")):
            sys.exit(f"--kiv-build {given}: no _kiv module in {path}")
        s = Server(f"kiv-{name}", f"{base.describe}; _kiv from {path}", static=True, app=True)
        s.cmd = list(base.cmd)
        s.env = dict(base.env, PYTHONPATH=f"{path}:{ROOT / 'python'}")
        out.append(s)
    return out


def wsgi_servers(vbin: Path, notes: list[str]) -> list[Server]:
    """The real Flask/Django applications on kiv and on the usual WSGI servers."""
    app = "wsgi_real_app:app"
    out = []
    s = Server("kiv-wsgi", "python -m kiv run --interface wsgi, one process", static=False,
               wsgi=True)
    s.cmd = [str(VPY), "-m", "kiv", "run", "--interface", "wsgi", app, "--host", HOST,
             "--port", "{port}"]
    out.append(s)
    s = Server("granian-wsgi-apps", "granian --interface wsgi --workers 1 --runtime-threads 1",
               static=False, wsgi=True)
    s.cmd = [str(vbin / "granian"), "--interface", "wsgi", "--host", HOST, "--port", "{port}",
             "--workers", "1", "--runtime-threads", "1", "--no-ws", "--log-level", "warning",
             app]
    out.append(s)
    for kind, extra in (("sync", []), ("gthread", ["--threads", "256"])):
        s = Server(f"gunicorn-{kind}-apps", f"gunicorn -k {kind} -w 1 {' '.join(extra)}",
                   static=False, wsgi=True)
        s.cmd = [str(vbin / "gunicorn"), "-k", kind, "-w", "1", *extra,
                 "-b", f"{HOST}:{{port}}", "--log-level", "warning", app]
        out.append(s)
    if subprocess.run([str(VPY), "-c", "import a2wsgi"], capture_output=True).returncode == 0:
        s = Server("uvicorn-a2wsgi", "uvicorn --loop uvloop --http httptools, the same "
                   "applications through a2wsgi's WSGIMiddleware", static=False, wsgi=True)
        s.cmd = [str(vbin / "uvicorn"), "wsgi_real_asgi:app", "--host", HOST, "--port",
                 "{port}", "--loop", "uvloop", "--http", "httptools", "--no-access-log",
                 "--log-level", "warning"]
        out.append(s)
    else:
        notes.append("uvicorn-a2wsgi skipped: a2wsgi does not import.")
    for s in out:
        s.cwd = APPS
    return out


def asgi_servers(vbin: Path) -> list[Server]:
    """apps/asgi_suite_app.py, one ASGI application, on kiv and the ASGI servers."""
    app, out = "asgi_suite_app:app", []
    s = Server("kiv-asgi", "python -m kiv run --interface asgi, one process", static=False,
               asgi=True)
    s.cmd = [str(VPY), "-m", "kiv", "run", "--interface", "asgi", app, "--host", HOST,
             "--port", "{port}"]
    out.append(s)
    s = Server("granian-asgi", "granian --interface asgi --workers 1 --runtime-threads 1",
               static=False, asgi=True)
    s.cmd = [str(vbin / "granian"), "--interface", "asgi", "--host", HOST, "--port", "{port}",
             "--workers", "1", "--runtime-threads", "1", "--no-ws", "--log-level", "warning",
             app]
    out.append(s)
    s = Server("uvicorn-asgi", "uvicorn --loop uvloop --http httptools, one process",
               static=False, asgi=True)
    s.cmd = [str(vbin / "uvicorn"), app, "--host", HOST, "--port", "{port}", "--loop",
             "uvloop", "--http", "httptools", "--no-access-log", "--log-level", "warning"]
    out.append(s)
    for s in out:
        s.cwd = APPS
    return out


def ext_servers(vbin: Path) -> list[Server]:
    """apps/flask_ext_app.py: kiv natively (--flask) against Flask under granian and
    gunicorn. They share one SQLite file, made by whichever starts first."""
    app, out = "flask_ext_app:app", []
    s = Server("kiv-flask-ext", "python -m kiv run --flask, one process: the Flask app on "
               "kiv natively", static=False, ext=True)
    s.cmd = [str(VPY), "-m", "kiv", "run", "--flask", app, "--host", HOST, "--port", "{port}"]
    out.append(s)
    s = Server("granian-flask-ext", "granian --interface wsgi --workers 1 --runtime-threads 1, "
               "the app on Flask", static=False, ext=True)
    s.cmd = [str(vbin / "granian"), "--interface", "wsgi", "--host", HOST, "--port", "{port}",
             "--workers", "1", "--runtime-threads", "1", "--no-ws", "--log-level", "warning",
             app]
    out.append(s)
    s = Server("gunicorn-flask-ext", "gunicorn -k sync -w 1, the app on Flask", static=False,
               ext=True)
    s.cmd = [str(vbin / "gunicorn"), "-k", "sync", "-w", "1", "-b", f"{HOST}:{{port}}",
             "--log-level", "warning", app]
    out.append(s)
    for s in out:
        s.cwd = APPS
        s.env = {"BENCH_EXT_DB": str(ROOT / "build" / "bench-ext.sqlite")}
    return out


LOG_DIR = ROOT / "build" / "bench-logs"
PG_DIR = ROOT / "build" / "bench-pg"  # data folder and socket of the benchmark's PostgreSQL
PG_ROWS = 10_000
DB_POOL_SIZE = 64  # psycopg connections per server process, the same for every server


def pg_tool(name: str) -> str | None:
    found = sorted(Path("/usr/lib/postgresql").glob(f"*/bin/{name}"),
                   key=lambda p: int(p.parts[-3]) if p.parts[-3].isdigit() else 0)
    return str(found[-1]) if found else shutil.which(name)


def as_db_owner(cmd: list[str]) -> list[str]:
    """PostgreSQL refuses to run as root: drop to the postgres account (exec, same pid)."""
    if os.geteuid() != 0:
        return cmd
    return ["setpriv", "--reuid=postgres", "--regid=postgres", "--clear-groups", "--", *cmd]


def start_database(logfile: Path) -> tuple[subprocess.Popen, str]:
    """A fresh PostgreSQL on a Unix socket in build/bench-pg, with the table
    `world` (id, randomnumber) of 10,000 rows. Returns the process and a DSN."""
    initdb, postgres, psql = pg_tool("initdb"), pg_tool("postgres"), pg_tool("psql")
    if not (initdb and postgres and psql):
        raise RuntimeError("PostgreSQL is not installed (apt-get install postgresql)")
    shutil.rmtree(PG_DIR, ignore_errors=True)
    PG_DIR.mkdir(parents=True)
    if os.geteuid() == 0:
        shutil.chown(PG_DIR, "postgres", "postgres")
    data = PG_DIR / "data"
    if not run_quiet(as_db_owner([initdb, "-D", str(data), "-A", "trust", "-U", "bench",
                                  "-E", "UTF8", "--no-sync"]), "initdb", logfile):
        raise RuntimeError(f"initdb failed (see {logfile})")
    with open(logfile, "ab") as out:
        proc = subprocess.Popen(
            as_db_owner([postgres, "-D", str(data), "-k", str(PG_DIR), "-c", "listen_addresses=",
                         "-c", "max_connections=400", "-c", "shared_buffers=128MB",
                         "-c", "synchronous_commit=off"]),
            stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
            start_new_session=True)
    sql = [psql, "-h", str(PG_DIR), "-U", "bench", "-v", "ON_ERROR_STOP=1", "-q"]
    deadline = time.monotonic() + 30
    while subprocess.call(sql + ["-d", "postgres", "-c", "SELECT 1"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL) != 0:
        if proc.poll() is not None or time.monotonic() > deadline:
            stop_database(proc)
            raise RuntimeError(f"PostgreSQL did not start (see {logfile})")
        time.sleep(0.2)
    ok = run_quiet(sql + ["-d", "postgres", "-c", "CREATE DATABASE bench"], "createdb", logfile)
    # Separate -c options: VACUUM cannot run inside the transaction of one.
    ok = ok and run_quiet(sql + ["-d", "bench",
                                 "-c", "CREATE TABLE world (id integer PRIMARY KEY, "
                                       "randomnumber integer NOT NULL)",
                                 "-c", f"INSERT INTO world SELECT i, 1 + floor(random() * "
                                       f"{PG_ROWS}) FROM generate_series(1, {PG_ROWS}) AS i",
                                 "-c", "VACUUM ANALYZE world"], "create table", logfile)
    if not ok:
        stop_database(proc)
        raise RuntimeError(f"cannot create the table (see {logfile})")
    return proc, f"host={PG_DIR} user=bench dbname=bench"


def stop_database(proc: subprocess.Popen) -> None:
    """Fast shutdown by the server's own pid (SIGINT), then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def log_tail(srv: Server, lines: int = 3) -> str:
    """The last lines of a server's output, led by its last error line if any."""
    if srv.log_path is None or not srv.log_path.exists():
        return "no output"
    text = srv.log_path.read_text(errors="replace").strip().splitlines()
    tail = [t.strip() for t in text[-lines:] if t.strip()]
    errors = [t.strip() for t in text[-60:] if re.search(r"error|exception|fatal", t, re.I)]
    if errors and errors[-1] not in tail:
        tail.insert(0, errors[-1])
    return " | ".join(tail) or "no output"


def start_server(srv: Server, cpu: str | None, tmp: Path, static_dir: Path) -> None:
    srv.port = free_port()
    cmd = [c.replace("{port}", str(srv.port))
           for c in srv.cmd + (srv.db_args if srv.db_mode else [])]
    if srv.name == "nginx":
        conf = NGINX_CONF.format(tmp=tmp / "nginx", host=HOST, port=srv.port, static=static_dir)
        (tmp / "nginx" / "nginx.conf").write_text(conf)
    if srv.name == "h2o":
        (H2O_DIR / "h2o.conf").write_text(h2o_conf(srv.port, static_dir))
    if cpu is not None:
        cmd = ["taskset", "-c", cpu, *cmd]
    # Appended to, so the output of a crashed run survives its restart.
    srv.log_path = LOG_DIR / f"{srv.name}.log"
    logf = open(srv.log_path, "ab")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)  # only a server's own (--kiv-build) counts
    env.update(srv.env)
    env["PATH"] = f"{VENV / 'bin'}:{env.get('PATH', '')}"
    srv.proc = subprocess.Popen(cmd, cwd=srv.cwd, env=env, stdout=logf, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, start_new_session=True)
    logf.close()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if srv.proc.poll() is not None:
            break
        try:
            status, _ = http_get(srv.port, "/", timeout=1.0)
            if status == 200:
                return
        except OSError:
            pass
        time.sleep(0.1)
    srv.failed = "did not start: " + log_tail(srv)
    stop_group(srv.proc)


def ensure_running(srv: Server, scenario: str, opts, tmp: Path, static_dir: Path) -> bool:
    """Restarts a server that died (noting the crash); False if it cannot be restarted."""
    assert srv.proc is not None
    if srv.proc.poll() is None:
        return True
    tail = log_tail(srv)
    srv.crashes.append((scenario, f"exit code {srv.proc.returncode}: {tail}"))
    log(f"   {srv.name} died during {scenario} (exit code {srv.proc.returncode}); restarting")
    stop_group(srv.proc)
    start_server(srv, opts.server_cpu, tmp, static_dir)
    return not srv.failed


def validate(srv: Server, scenarios: list[Scenario]) -> None:
    """One request per scenario, checked, before any measurement."""
    for sc in scenarios:
        if not srv.serves(sc):
            continue
        try:
            status, body = http_get(srv.port, sc.path, sc.method, sc.body, extra=sc.headers)
            fault = sc.check(status, body)
        except OSError as exc:
            fault = f"request failed: {exc}"
        if fault:
            srv.bad[sc.name] = fault


# --------------------------------------------------------------------------
# Load


def scenario_conns(sc: Scenario, opts) -> int:
    return sc.conns or (opts.many_connections if sc.many_conns else opts.connections)


def wrk_cmd(sc: Scenario, port: int, conns: int, seconds: float, opts, lua: Path) -> list[str]:
    cmd = ["wrk", "-t1", "-c", str(conns), "-d", f"{max(1, round(seconds))}s",
           "--timeout", f"{opts.timeout}s", "-s", str(lua), f"http://{HOST}:{port}{sc.path}"]
    if opts.client_cpu is not None:
        cmd = ["taskset", "-c", opts.client_cpu, *cmd]
    return cmd


def parse_wrk(out: str) -> dict | None:
    m = re.search(r"^BENCH_RESULT (\{.*\})$", out, re.M)
    if not m:
        return None
    r = json.loads(m.group(1))
    secs = r["duration_us"] / 1e6
    r["rps"] = r["requests"] / secs if secs > 0 else 0.0
    r["errors"] = r["connect"] + r["read"] + r["write"] + r["status"] + r["timeout"]
    if r["latency_samples"] == 0:  # nothing was timed (see report.lua)
        for key in ("p50_us", "p90_us", "p99_us", "mean_us"):
            r[key] = None
    return r


def run_wrk(cmd: list[str], seconds: float, sample_pid: int | None = None) -> tuple[str, list[int]]:
    """Runs wrk to the end; with sample_pid, samples that process tree's RSS meanwhile."""
    samples: list[int] = []
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True)
    try:
        if sample_pid is None:
            out, _ = proc.communicate(timeout=seconds + 60)
            return out, samples
        deadline = time.monotonic() + seconds + 60
        while proc.poll() is None and time.monotonic() < deadline:
            samples.append(rss_kib(sample_pid))
            time.sleep(0.2)
        out, _ = proc.communicate(timeout=max(1.0, deadline - time.monotonic()))
        return out, samples
    finally:
        stop_group(proc)


def measure(srv: Server, sc: Scenario, opts, lua: Path, tmp: Path, static_dir: Path) -> dict:
    conns = scenario_conns(sc, opts)
    if srv.db_args and srv.db_mode != sc.db:
        assert srv.proc is not None
        stop_group(srv.proc)
        srv.db_mode = sc.db
        start_server(srv, opts.server_cpu, tmp, static_dir)
        if srv.failed:
            return {"failed": f"could not be restarted: {srv.failed}"}
    if sc.many_conns:
        # The memory figure is growth over an idle process; a fresh one, so that
        # heap kept from earlier scenarios (1 MiB files, 16 KiB bodies) cannot
        # hide the connections' cost.
        assert srv.proc is not None
        stop_group(srv.proc)
        start_server(srv, opts.server_cpu, tmp, static_dir)
        if srv.failed:
            return {"failed": f"could not be restarted: {srv.failed}"}
    elif not ensure_running(srv, sc.name, opts, tmp, static_dir):
        return {"failed": f"could not be restarted: {srv.failed}"}
    assert srv.proc is not None
    baseline = rss_kib(srv.proc.pid) if sc.many_conns else None
    if opts.warmup > 0:
        run_wrk(wrk_cmd(sc, srv.port, conns, opts.warmup, opts, lua), opts.warmup)
        if not ensure_running(srv, sc.name, opts, tmp, static_dir):
            return {"failed": f"could not be restarted: {srv.failed}"}
        if sc.many_conns:  # a restart resets the idle baseline
            baseline = rss_kib(srv.proc.pid)
    crashes_before = len(srv.crashes)
    ticks_before = cpu_ticks(srv.proc.pid)
    out, samples = run_wrk(wrk_cmd(sc, srv.port, conns, opts.duration, opts, lua), opts.duration,
                           srv.proc.pid if sc.many_conns else None)
    ticks = cpu_ticks(srv.proc.pid) - ticks_before
    time.sleep(0.2)  # a server that dies as wrk disconnects does so at once
    ensure_running(srv, sc.name, opts, tmp, static_dir)
    res = parse_wrk(out)
    if res is None:
        return {"failed": "wrk printed no result: " + out.strip()[-300:]}
    if res["requests"]:
        res["cpu_us"] = ticks / os.sysconf("SC_CLK_TCK") * 1e6 / res["requests"]
    res["connections"] = conns
    if len(srv.crashes) > crashes_before:
        # Errors mean it died while wrk was still sending, which voids the
        # figures; without errors it died as wrk disconnected.
        if res["errors"]:
            return {"failed": "the server died during the run: " + srv.crashes[-1][1]}
        res["crashed"] = srv.crashes[-1][1]
    if sc.many_conns and samples:
        res["rss_idle_kib"] = baseline
        res["rss_load_kib"] = max(samples)
        res["kib_per_conn"] = (max(samples) - baseline) / conns
    return res


# --------------------------------------------------------------------------
# Report


def median(values: list[float]) -> float | None:
    return statistics.median(values) if values else None


def summarise(servers: list[Server], scenarios: list[Scenario], runs: list[dict]) -> dict:
    summary: dict = {}
    for sc in scenarios:
        rows = {}
        for srv in servers:
            mine = [r for r in runs if r["server"] == srv.name and r["scenario"] == sc.name]
            ok = [r for r in mine if "failed" not in r]
            if not srv.serves(sc):
                rows[srv.name] = {"status": "n/a"}
                continue
            if sc.name in srv.bad or not ok:
                reason = srv.failed or srv.bad.get(sc.name) or (
                    mine[-1]["failed"] if mine else "not measured")
                rows[srv.name] = {"status": "failed", "reason": reason}
                continue
            row = {
                "status": "ok",
                "runs": len(ok),
                "rps": median([r["rps"] for r in ok]),
                "p50_ms": median([r["p50_us"] / 1000 for r in ok if r["p50_us"] is not None]),
                "p99_ms": median([r["p99_us"] / 1000 for r in ok if r["p99_us"] is not None]),
                "cpu_us": median([r["cpu_us"] for r in ok if r.get("cpu_us") is not None]),
                "errors": sum(r["errors"] for r in ok),
                "requests": sum(r["requests"] for r in ok),
                "crashed_runs": sum(1 for r in ok if "crashed" in r),
            }
            if sc.many_conns:
                mem = [r for r in ok if "kib_per_conn" in r]
                if mem:
                    row["rss_idle_mib"] = median([r["rss_idle_kib"] / 1024 for r in mem])
                    row["rss_load_mib"] = median([r["rss_load_kib"] / 1024 for r in mem])
                    row["kib_per_conn"] = median([r["kib_per_conn"] for r in mem])
            rows[srv.name] = row
        # kiv's own row, or the first kiv server of the scenario (kiv-wsgi, kiv-asgi, ...)
        kiv_rows = sorted((name != "kiv", i, r) for i, (name, r) in enumerate(rows.items())
                          if name.startswith("kiv") and r.get("status") == "ok")
        base = kiv_rows[0][2].get("rps") if kiv_rows else None
        for row in rows.values():
            if row.get("status") == "ok" and base:
                row["vs_kiv"] = row["rps"] / base
        summary[sc.name] = rows
    return summary


def fmt(v: float | None, pattern: str) -> str:
    return "–" if v is None else format(v, pattern)


PANEL_NOTES = {
    "pipeline16": "; 16 requests per write, latency per batch of 16 (wrk's coordinated-omission "
                  "correction, which assumes one request in flight per connection, undone)",
    "c1000": "; each server freshly restarted first; RSS summed over its processes, idle "
             "after start-up and peak during the measured run; KiB/conn = (peak - idle) / "
             "connections",
}


def render_md(data: dict, scenarios: list[Scenario], servers: list[Server]) -> str:
    m, c = data["machine"], data["config"]
    lines = [f"# kiv benchmark: {data['name']}", "",
             f"Run {data['started']} ({data['elapsed_s']:.0f} s), `{data['command']}`.", "",
             f"Machine: {m['nproc']} CPUs, {m['cpu_model']}, kernel {m['kernel']}, "
             f"Python {m['python']}, wrk {m['wrk']}, nginx {m['nginx']}.",
             "Packages: " + ", ".join(f"{k} {v}" for k, v in m["packages"].items()) + ".",
             f"Load average before / after: {m['loadavg_before']} / {m['loadavg_after']}.", "",
             f"Servers pinned to CPU {c['server_cpu']}, wrk (one thread) to CPU "
             f"{c['client_cpu']}; {c['rounds']} round(s), each server in turn per scenario; "
             f"{c['warmup']} s warm-up then {c['duration']} s measured per run; "
             f"{c['connections']} connections ({c['many_connections']} in the c1000 scenario). "
             "Figures are medians over the rounds; errors are summed over all measured runs "
             "(socket errors + responses with status >= 400). \"(died)\" marks a server "
             "that crashed as wrk disconnected at the end of a measured run (restarted; see "
             "Notes); a run during which a server died counts as failed.", ""]
    for sc in scenarios:
        rows = data["summary"][sc.name]
        lines += [f"## {sc.title}", "",
                  f"`{sc.method} {sc.path}`" + PANEL_NOTES.get(sc.name, ""), ""]
        if sc.many_conns:
            lines += ["| server | req/s | p50 ms | p99 ms | errors | vs kiv | RSS idle MiB "
                      "| RSS loaded MiB | KiB/conn |",
                      "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        else:
            lines += ["| server | req/s | p50 ms | p99 ms | CPU us/req | errors | vs kiv |",
                      "|---|---:|---:|---:|---:|---:|---:|"]
        for srv in servers:
            row = rows[srv.name]
            if row["status"] != "ok":
                cell = "n/a" if row["status"] == "n/a" else "failed"
                extra = 3 if sc.many_conns else 1
                lines.append(f"| {srv.name} | {cell} |" + " |" * (4 + extra))
                continue
            mark = " (died)" if row.get("crashed_runs") else ""
            cpu = "" if sc.many_conns else f"{fmt(row.get('cpu_us'), '.1f')} | "
            line = (f"| {srv.name}{mark} | {row['rps']:,.0f} | {fmt(row['p50_ms'], '.2f')} | "
                    f"{fmt(row['p99_ms'], '.2f')} | {cpu}{row['errors']:,} | "
                    f"{fmt(row.get('vs_kiv'), '.2f')} |")
            if sc.many_conns:
                line += (f" {fmt(row.get('rss_idle_mib'), '.1f')} | "
                         f"{fmt(row.get('rss_load_mib'), '.1f')} | "
                         f"{fmt(row.get('kib_per_conn'), '.1f')} |")
            lines.append(line)
        lines.append("")
    failures = [f"- {srv} / {sc}: {row['reason']}" for sc, rows in data["summary"].items()
                for srv, row in rows.items() if row["status"] == "failed"]
    if failures:
        lines += ["## Failed", ""] + failures + [""]
    floor = data.get("python_floor")
    if floor:
        lines += ["## Python floor (in-process, server CPU)", "",
                  "Microseconds per request of the Python work alone as kiv does it "
                  "(request object from 11 arguments, view through `App.pipeline`), and of "
                  "`server.test_request` (the whole in-process request: handling, native "
                  "conversion and two thread hops).", "",
                  "| view | request object | pipeline + view | together | test_request |",
                  "|---|---:|---:|---:|---:|"]
        for row in floor["views"]:
            lines.append(f"| {row['view']} | {row['request_us']:.2f} | {row['pipeline_us']:.2f} "
                         f"| {row['together_us']:.2f} | {fmt(row.get('test_request_us'), '.1f')} |")
        lines.append("")
    lines += ["## Servers", ""] + [f"- **{s.name}**: {s.describe}" for s in servers] + [""]
    if data["notes"]:
        lines += ["## Notes", ""] + [f"- {n}" for n in data["notes"]] + [""]
    return "\n".join(lines)


def command_output(cmd: list[str]) -> str:
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
        return (p.stdout + p.stderr).strip()
    except (OSError, subprocess.TimeoutExpired):
        return ""


def machine_info() -> dict:
    model = ""
    for line in command_output(["lscpu"]).splitlines():
        if line.startswith("Model name:"):
            model = line.split(":", 1)[1].strip()
    wrk_v = command_output(["wrk", "-v"]).splitlines()
    nginx_v = command_output([shutil.which("nginx") or "/usr/sbin/nginx", "-v"])
    versions = command_output([str(VPY), "-c", (
        "import importlib.metadata as m, json\n"
        "out = {}\n"
        "for p in ('kiv', 'granian', 'uvicorn', 'httptools', 'uvloop', 'gunicorn', 'socketify',\n"
        "          'psycopg', 'psycopg-pool', 'asyncpg', 'fastapi', 'pydantic'):\n"
        "    try: out[p] = m.version(p)\n"
        "    except Exception: pass\n"
        "print(json.dumps(out))")])
    return {
        "nproc": os.cpu_count(),
        "cpu_model": model,
        "kernel": platform.release(),
        "python": command_output([str(VPY), "-c", "import platform;"
                                  "print(platform.python_version())"]),
        "wrk": wrk_v[0].split()[1] if wrk_v and len(wrk_v[0].split()) > 1 else "?",
        "nginx": nginx_v.split("/")[-1] if nginx_v else "?",
        "packages": json.loads(versions) if versions.startswith("{") else {},
        "loadavg_before": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }


# --------------------------------------------------------------------------
# Main


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="smoke run: 1 round x 2 s")
    p.add_argument("--rounds", type=int, help="rounds over all servers (default 3)")
    p.add_argument("--duration", type=float, help="measured seconds per run (default 5)")
    p.add_argument("--warmup", type=float, default=1.0, help="warm-up seconds before each run")
    p.add_argument("--connections", type=int, default=64)
    p.add_argument("--many-connections", type=int, default=1000)
    p.add_argument("--timeout", type=int, default=4, help="wrk request timeout, seconds")
    p.add_argument("--servers", help="comma-separated subset of servers")
    p.add_argument("--scenarios", help="comma-separated subset of scenarios")
    p.add_argument("--server-cpu", default="0")
    p.add_argument("--client-cpu", default="1")
    p.add_argument("--name", help="results file name (default latest, or quick with --quick)")
    p.add_argument("--skip-setup", action="store_true", help="no apt/pip/build step")
    p.add_argument("--no-build", action="store_true", help="keep the kiv already in the venv")
    p.add_argument("--no-floor", action="store_true", help="skip the Python floor")
    p.add_argument("--kiv-build", action="append", default=[], metavar="NAME=DIR",
                   help="also run kiv's app with the _kiv module built in DIR (server "
                        "kiv-NAME; repeatable), e.g. to compare two builds interleaved")
    opts = p.parse_args(argv)
    # --quick changes the defaults only; explicit values still win.
    if opts.rounds is None:
        opts.rounds = 1 if opts.quick else 3
    if opts.duration is None:
        opts.duration = 2.0 if opts.quick else 5.0
    opts.name = opts.name or ("quick" if opts.quick else "latest")
    if (os.cpu_count() or 1) < 2:
        opts.server_cpu = opts.client_cpu = None
    return opts


def main(argv: list[str] | None = None) -> int:
    opts = parse_args(argv)
    notes: list[str] = []
    if opts.server_cpu is None:
        notes.append("Fewer than 2 CPUs: no pinning; server and wrk share the CPU.")
    if not opts.skip_setup:
        setup(opts, notes)
    for tool in ("wrk", "taskset"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed")
    if not VPY.exists():
        sys.exit(f"no virtualenv at {VENV}: run without --skip-setup once")

    # Both sides keep 1,000+ sockets open.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    want = 16384 if hard == resource.RLIM_INFINITY else min(16384, hard)
    if soft < want:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))

    # SIGTERM takes the same road out as Ctrl-C, so every process is stopped.
    def on_term(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_term)

    started = time.monotonic()
    started_at = _dt.datetime.now().astimezone().isoformat(timespec="seconds")
    tmp = Path(tempfile.mkdtemp(prefix="kiv-bench-"))
    database: subprocess.Popen | None = None
    LOG_DIR.mkdir(parents=True, exist_ok=True)
    for old in LOG_DIR.glob("*.log"):
        old.unlink()
    servers: list[Server] = []
    try:
        static_dir = tmp / "static"
        static_dir.mkdir()
        (static_dir / "4k.bin").write_bytes(os.urandom(4096))
        (static_dir / "1m.bin").write_bytes(os.urandom(1 << 20))
        lua_dir = tmp / "wrk"
        lua_dir.mkdir()
        report = (BENCH / "wrk" / "report.lua").read_text()
        scenarios = SCENARIOS
        if opts.scenarios:
            want = opts.scenarios.split(",")
            scenarios = [s for s in SCENARIOS if s.name in want]
        lua = {}
        for sc in scenarios:
            conns = scenario_conns(sc, opts)
            lua[sc.name] = lua_dir / f"{sc.name}.lua"
            lua[sc.name].write_text(f"bench_connections = {conns}\n"
                                    + (BENCH / "wrk" / sc.script).read_text() + "\n" + report)

        machine = machine_info()
        servers = make_servers(tmp, static_dir, notes)
        servers += kiv_build_servers(servers, opts.kiv_build)
        if opts.servers:
            want = opts.servers.split(",")
            servers = [s for s in servers if s.name in want]
        if any(sc.db for sc in scenarios):
            log("== starting PostgreSQL in build/bench-pg")
            try:
                database, dsn = start_database(LOG_DIR / "postgres.log")
            except RuntimeError as e:
                log(f"   {e}; the database scenarios are skipped")
                notes.append(f"Database scenarios skipped: {e}.")
                scenarios = [sc for sc in scenarios if not sc.db]
            else:
                for srv in servers:
                    if srv.app or srv.asgi:
                        srv.env["BENCH_DB_DSN"] = dsn
                        srv.env["BENCH_DB_POOL"] = str(DB_POOL_SIZE)
        for srv in servers:
            log(f"== starting {srv.name}")
            start_server(srv, opts.server_cpu, tmp, static_dir)
            if srv.failed:
                log(f"   {srv.name} {srv.failed}")
                notes.append(f"{srv.name} {srv.failed}")
                continue
            validate(srv, scenarios)
            for sc_name, fault in srv.bad.items():
                log(f"   {srv.name} fails the {sc_name} check: {fault}")

        runs: list[dict] = []
        for rnd in range(1, opts.rounds + 1):
            for sc in scenarios:
                for srv in servers:
                    if srv.failed or not srv.serves(sc) or sc.name in srv.bad:
                        continue
                    res = measure(srv, sc, opts, lua[sc.name], tmp, static_dir)
                    res.update(server=srv.name, scenario=sc.name, round=rnd)
                    runs.append(res)
                    if "failed" in res:
                        log(f"   round {rnd} {sc.name:10} {srv.name:13} failed: {res['failed']}")
                    else:
                        extra = (f"  +{res['kib_per_conn']:.1f} KiB/conn"
                                 if "kib_per_conn" in res else "")
                        if "crashed" in res:
                            extra += "  (the server died as wrk disconnected)"
                        p99 = "–" if res["p99_us"] is None else f"{res['p99_us'] / 1000:.2f}"
                        cpu = "–" if res.get("cpu_us") is None else f"{res['cpu_us']:.1f}"
                        log(f"   round {rnd} {sc.name:10} {srv.name:13} {res['rps']:>10,.0f} req/s"
                            f"  p99 {p99:>7} ms  CPU {cpu:>6} us/req  errors {res['errors']}"
                            + extra)
                    time.sleep(0.3)  # let closed connections drain before the next server

        for srv in servers:
            if srv.proc is not None:
                stop_group(srv.proc)

        floor = None
        if not opts.no_floor:
            log("== Python floor")
            cmd = [str(VPY), str(BENCH / "python_floor.py"), "--json"]
            if opts.quick:
                cmd.append("--quick")
            if opts.server_cpu is not None:
                cmd = ["taskset", "-c", opts.server_cpu, *cmd]
            p = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
            if p.returncode == 0:
                floor = json.loads(p.stdout)
            else:
                notes.append("python_floor.py failed: " + p.stderr.strip()[-300:])

        for srv in servers:
            by_scenario: dict[str, list[str]] = {}
            for sc_name, why in srv.crashes:
                by_scenario.setdefault(sc_name, []).append(why)
            for sc_name, whys in by_scenario.items():
                notes.append(f"{srv.name} died {len(whys)} time(s) in {sc_name} and was "
                             f"restarted; last: {whys[-1][:300]}")
        machine["loadavg_after"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
        data = {
            "name": opts.name,
            "started": started_at,
            "elapsed_s": time.monotonic() - started,
            "command": " ".join(["bench/run.sh", *(argv if argv is not None else sys.argv[1:])]),
            "machine": machine,
            "config": {k: getattr(opts, k) for k in (
                "rounds", "duration", "warmup", "connections", "many_connections", "timeout",
                "server_cpu", "client_cpu")},
            "servers": {s.name: {"describe": s.describe, "command": s.cmd,
                                 "failed": s.failed or None, "bad": s.bad,
                                 "crashes": s.crashes} for s in servers},
            "scenarios": {s.name: {"title": s.title, "method": s.method, "path": s.path}
                          for s in scenarios},
            "summary": summarise(servers, scenarios, runs),
            "runs": runs,
            "python_floor": floor,
            "notes": notes,
        }
        out_dir = BENCH / "results"
        out_dir.mkdir(exist_ok=True)
        (out_dir / f"{opts.name}.json").write_text(json.dumps(data, indent=1) + "\n")
        md = render_md(data, scenarios, servers)
        (out_dir / f"{opts.name}.md").write_text(md)
        p = subprocess.run([str(VPY), str(BENCH / "plot.py"), str(out_dir / f"{opts.name}.json"),
                            str(out_dir / f"{opts.name}.png")], capture_output=True, text=True)
        if p.returncode != 0:
            log("chart failed: " + p.stderr.strip()[-500:])
        log("")
        log(md)
        log(f"Written: bench/results/{opts.name}.md, .json, .png")
        return 0
    except KeyboardInterrupt:
        log("interrupted")
        return 130
    finally:
        for srv in servers:
            if srv.proc is not None:
                stop_group(srv.proc)
        if database is not None:
            stop_database(database)
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
