#!/usr/bin/env python3
"""The extension-stack request (apps/flask_ext_app.py, /ext) in-process, without sockets:
what the framework layer costs around Flask-Login and Flask-SQLAlchemy.

    python bench/ext_floor.py kiv|flask [--db] [-n 5000]

kiv runs the app natively (install_as_flask, App.pipeline with the request object the
server would build); flask calls the real Flask app as WSGI. Without --db the two
database reads are answered by a stand-in session, so what is left is the framework,
Flask-Login, the signed cookie and the JSON; with --db SQLAlchemy and SQLite run too,
and the cycle collector's work per request is counted (gc callbacks). Figures are the
thread's CPU time (best of five), so other processes on the machine matter less.
"""

from __future__ import annotations

import argparse
import gc
import io
import os
import sys
import tempfile
import time
from pathlib import Path

APPS = Path(__file__).resolve().parent / "apps"
COOKIE = "session=eyJfdXNlcl9pZCI6IjEifQ.axetSQ.u0Qu1BQIcknpKJOY9exHfBLKIKQ"  # wrk/ext.lua's


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("framework", choices=["kiv", "flask"])
    p.add_argument("--db", action="store_true", help="real SQLAlchemy reads on SQLite")
    p.add_argument("-n", type=int, default=5000, help="requests per measurement")
    opts = p.parse_args()
    sys.path.insert(0, str(APPS))
    os.environ.setdefault("BENCH_EXT_DB", os.path.join(tempfile.gettempdir(),
                                                       f"kiv-ext-floor-{os.getuid()}.sqlite"))
    if opts.framework == "kiv":
        import kiv
        kiv.install_as_flask()
    import flask_ext_app as m

    if not opts.db:
        class User(m.UserMixin):
            id, name = 1, "bench"

        class Item:
            id, title, price = 1, "lamp", 40

        rows = {m.User: User(), m.Item: Item()}

        class StandIn:
            def get(self, cls, ident):
                return rows[cls]

            def remove(self):
                pass

        m.db.session = StandIn()
    app = m.app
    if opts.framework == "kiv":
        app.server  # noqa: B018  (builds the plan: request class and pipeline)
        make, pipeline, view = app._make_request, app.pipeline, app.view_functions["ext"]
        headers = [("Host", "127.0.0.1:8000"), ("User-Agent", "wrk"), ("Cookie", COOKIE)]
        args = ("GET", "/ext", "", [], headers, b"", "127.0.0.1", "ext", {}, None, None)

        def one():
            return pipeline(make(*args), view, {})
    else:
        environ = {"REQUEST_METHOD": "GET", "PATH_INFO": "/ext", "QUERY_STRING": "",
                   "SERVER_NAME": "127.0.0.1", "SERVER_PORT": "8000",
                   "SERVER_PROTOCOL": "HTTP/1.1", "wsgi.url_scheme": "http", "SCRIPT_NAME": "",
                   "HTTP_HOST": "127.0.0.1:8000", "HTTP_USER_AGENT": "wrk",
                   "HTTP_COOKIE": COOKIE, "REMOTE_ADDR": "127.0.0.1",
                   "wsgi.input": io.BytesIO(b""), "wsgi.errors": sys.stderr,
                   "wsgi.version": (1, 0), "wsgi.multithread": True,
                   "wsgi.multiprocess": False, "wsgi.run_once": False}

        def one():
            body = app(dict(environ), lambda status, headers, exc_info=None: None)
            data = b"".join(body)
            getattr(body, "close", lambda: None)()
            return data

    print("answer:", one())
    collected = {0: [0, 0], 1: [0, 0], 2: [0, 0]}
    started = [0]

    def on_gc(phase: str, info: dict) -> None:
        if phase == "start":
            started[0] = time.thread_time_ns()
        else:
            c = collected[info["generation"]]
            c[0] += 1
            c[1] += time.thread_time_ns() - started[0]

    best = float("inf")
    for _ in range(5):
        t0 = time.thread_time_ns()
        for _ in range(opts.n):
            one()
        best = min(best, (time.thread_time_ns() - t0) / opts.n / 1000)
    gc.callbacks.append(on_gc)
    for _ in range(opts.n):
        one()
    gc.callbacks.remove(on_gc)
    print(f"{opts.framework}{' --db' if opts.db else ''}: {best:.1f} us CPU per request; "
          "collections per 1,000 requests (us per request): " + ", ".join(
              f"gen{g} {c * 1000 / opts.n:.1f} ({ns / opts.n / 1000:.2f})"
              for g, (c, ns) in collected.items()))


if __name__ == "__main__":
    main()
