"""Async benchmark apps: the same three routes as a kiv app (`app`) and as a bare ASGI
callable (`asgi`). SLEEP (seconds, default 1) is what /sleep awaits."""

import asyncio
import os

from kiv import App

HELLO = "Hello, World!"
SLEEP = float(os.environ.get("SLEEP", "1"))

app = App("async_bench")


@app.route("/")
def hello_def():
    return HELLO


@app.route("/async")
async def hello_async():
    return HELLO


@app.route("/sleep")
async def sleep():
    await asyncio.sleep(SLEEP)
    return "ok"


if os.environ.get("HOOKS"):  # the full plan: hooks and a session around every view
    from kiv import g, session

    app.secret_key = "bench"

    @app.before_request
    def before():
        g.user = session.get("user")

    @app.after_request
    def after(response):
        response.headers["X-Frame-Options"] = "DENY"
        return response


_TEXT = [(b"content-type", b"text/plain; charset=utf-8")]


async def asgi(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    body = HELLO.encode()
    if scope["path"] == "/sleep":
        await asyncio.sleep(SLEEP)
        body = b"ok"
    await send({"type": "http.response.start", "status": 200,
                "headers": _TEXT + [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})
