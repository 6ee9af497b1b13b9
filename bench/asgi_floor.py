"""The Python share of kiv's ASGI path, in process: microseconds per request of
`ASGIHost.__call__` (the scope, the exchange, the task) and the application's run through
its receive and send, with a stand-in for the core's completion, on uvloop.

    python bench/asgi_floor.py [hello|fastapi] [-n 50000] [--rounds 3]

hello is apps/asgi_app.py's GET /, fastapi apps/fastapi_app.py's POST /items/42. For
`bare` beside them, the same application driven with nothing of kiv's: a scope literal,
trivial receive and send, a task each. Pin it to one CPU (taskset -c 0) and compare
figures of one run only.
"""

from __future__ import annotations

import argparse
import asyncio
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "apps"))

import uvloop  # noqa: E402

from kiv import asyncsupport  # noqa: E402
from kiv.asgihost import ASGIHost  # noqa: E402

BODY = b'{"name": "lamp", "price": 40.5, "tags": ["home", "light"]}'
CASES = {
    "hello": ("asgi_app", ("GET", b"/", b"/", b"", [(b"host", b"127.0.0.1:8000")], b"")),
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
        Done.count += 1


async def through_kiv(app, args, n):
    host = ASGIHost(app, "", object())
    done = Done()
    loop = asyncio.get_running_loop()

    def burst(k):  # as the core's loop_run calls the host: in a callback, outside any task
        for _ in range(k):
            host(*args, ("127.0.0.1", 5555), "1.1", done, b"127.0.0.1:8000", False)

    for i in range(0, n, 64):  # a burst of 64 connections' requests per round of the loop
        loop.call_soon(burst, min(64, n - i))
        await asyncio.sleep(0)
    await asyncio.sleep(0)


async def bare(app, args, n):
    loop = asyncio.get_running_loop()
    method, path, raw, query, headers, body = args

    async def receive():
        return {"type": "http.request", "body": body, "more_body": False}

    async def send(message):
        pass

    for i in range(n):
        loop.create_task(app({
            "type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
            "method": method, "scheme": "http", "path": path.decode(), "raw_path": raw,
            "query_string": query, "root_path": "", "headers": headers,
            "client": ("127.0.0.1", 5555), "server": ("127.0.0.1", 8000), "state": {}},
            receive, send))
        if i % 64 == 63:
            await asyncio.sleep(0)
    await asyncio.sleep(0)


async def main(opts):
    # what the loop thread sets
    asyncsupport._running = asyncio.get_running_loop()
    asyncsupport._enter_task = asyncio.tasks._enter_task
    asyncsupport._leave_task = asyncio.tasks._leave_task
    module, args = CASES[opts.case]
    app = __import__(module).app
    await through_kiv(app, args, 1000)  # warm
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
    uvloop.run(main(p.parse_args()))
