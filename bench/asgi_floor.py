"""The Python share of kiv's ASGI path, in process: microseconds per request of
`ASGIHost.__call__` (the scope, the exchange, the task) and the application's run through
its receive and send, with a stand-in for the core's completion, on uvloop.

    python bench/asgi_floor.py [hello|fastapi|adb|aqueries] [-n 50000] [--rounds 3]

hello is apps/asgi_app.py's GET /, fastapi apps/fastapi_app.py's POST /items/42. For
`bare` beside them, the same application driven with nothing of kiv's: a scope literal,
trivial receive and send, a task each. Pin it to one CPU (taskset -c 0) and compare
figures of one run only.

adb and aqueries are apps/asgi_db_app.py's GET /db and /queries?queries=20 on a
PostgreSQL of their own (started as bench/run.py does, pinned to CPU 1, stopped at the
end), 64 requests in flight on a pool of 64 connections: the CPU that asyncpg and the
application cost on this process's loop, with no server at all. No server can serve
those requests for less than `bare`.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "apps"))
sys.path.insert(1, str(Path(__file__).resolve().parent))

import uvloop  # noqa: E402

from kiv import asyncsupport  # noqa: E402
from kiv.asgihost import ASGIHost  # noqa: E402

BODY = b'{"name": "lamp", "price": 40.5, "tags": ["home", "light"]}'
CASES = {
    "hello": ("asgi_app", ("GET", b"/", b"/", b"", [(b"host", b"127.0.0.1:8000")], b"")),
    "adb": ("asgi_db_app", ("GET", b"/db", b"/db", b"", [(b"host", b"127.0.0.1:8000")], b"")),
    "aqueries": ("asgi_db_app", ("GET", b"/queries", b"/queries", b"queries=20",
                                 [(b"host", b"127.0.0.1:8000")], b"")),
    "fastapi": ("fastapi_app", ("POST", b"/items/42", b"/items/42", b"", [
        (b"host", b"127.0.0.1:8000"), (b"content-type", b"application/json"),
        (b"x-user", b"bench"), (b"content-length", str(len(BODY)).encode())], BODY)),
}


class Done:
    """Takes the response as the core does: the one-piece answer's (status, headers, body)."""

    count = 0

    def __call__(self, value, error=None):
        if error is not None:
            raise error

    def whole(self, status, headers, body):
        answered()


# Whether the case waits on a database: then each burst of 64 is answered before the
# next goes out, as 64 connections that each wait for their answer would.
WAITS = False


_want = [0, None]  # answers awaited, and the future that waits for them


def answered():
    Done.count += 1
    if _want[1] is not None and Done.count >= _want[0]:
        _want[1].set_result(None)
        _want[1] = None


async def settle(target):
    """Waits (without spinning: the wait must cost no CPU) for `target` answers."""
    if Done.count < target:
        _want[0], _want[1] = target, asyncio.get_running_loop().create_future()
        await _want[1]


async def through_kiv(app, args, n):
    host = ASGIHost(app, "", object())
    done = Done()
    loop = asyncio.get_running_loop()
    base = Done.count

    def burst(k):  # as the core's loop_run calls the host: in a callback, outside any task
        for _ in range(k):
            host(*args, ("127.0.0.1", 5555), "1.1", done, b"127.0.0.1:8000", False)

    for i in range(0, n, 64):  # a burst of 64 connections' requests per round of the loop
        loop.call_soon(burst, min(64, n - i))
        await asyncio.sleep(0)
        if WAITS:
            await settle(base + min(i + 64, n))
    await asyncio.sleep(0)


async def bare(app, args, n):
    loop = asyncio.get_running_loop()
    method, path, raw, query, headers, body = args

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        if message["type"] == "http.response.body" and not message.get("more_body"):
            answered()

    base = Done.count
    for i in range(n):
        loop.create_task(app({
            "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
            "method": method, "scheme": "http", "path": path.decode(), "raw_path": raw,
            "query_string": query, "root_path": "", "headers": headers,
            "client": ("127.0.0.1", 5555), "server": ("127.0.0.1", 8000), "state": {}},
            receive, send))
        if i % 64 == 63:
            await asyncio.sleep(0)
            if WAITS:
                await settle(base + i + 1)
    await asyncio.sleep(0)


async def lifespan_startup(app):
    sent = []

    async def receive():
        return {"type": "lifespan.startup"}

    async def send(message):
        sent.append(message["type"])
        raise asyncio.CancelledError  # stop the app's lifespan loop once it has answered

    try:
        await app({"type": "lifespan", "asgi": {"version": "3.0"}, "state": {}}, receive, send)
    except asyncio.CancelledError:
        pass
    if sent != ["lifespan.startup.complete"]:
        raise SystemExit(f"lifespan startup answered {sent}")


async def main(opts):
    global WAITS
    # what the loop thread sets
    asyncsupport._running = asyncio.get_running_loop()
    asyncsupport._enter_task = asyncio.tasks._enter_task
    asyncsupport._leave_task = asyncio.tasks._leave_task
    module, args = CASES[opts.case]
    app = __import__(module).app
    WAITS = module == "asgi_db_app"
    if WAITS:
        await lifespan_startup(app)
    await through_kiv(app, args, 1000 if not WAITS else 640)  # warm
    for rnd in range(opts.rounds):
        for name, run in (("kiv", through_kiv), ("bare", bare)):
            t = time.process_time()
            await run(app, args, opts.n)
            print(f"round {rnd + 1} {opts.case} {name:5} "
                  f"{(time.process_time() - t) / opts.n * 1e6:7.2f} us/request", flush=True)


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("case", nargs="?", default="hello", choices=sorted(CASES))
    p.add_argument("-n", type=int, default=50000)
    p.add_argument("--rounds", type=int, default=3)
    opts = p.parse_args()
    if CASES[opts.case][0] != "asgi_db_app":
        uvloop.run(main(opts))
        raise SystemExit
    import run as _run  # the bench harness: its PostgreSQL
    logs = Path(__file__).resolve().parent.parent / "build" / "asgi-bench-logs"
    logs.mkdir(parents=True, exist_ok=True)
    database, dsn = _run.start_database(logs / "postgres-floor.log")
    try:
        os.sched_setaffinity(database.pid, {1})  # beside the client's CPU, as in bench/asgi.py
        os.environ["BENCH_DB_DSN"] = dsn
        uvloop.run(main(opts))
    finally:
        _run.stop_database(database)
