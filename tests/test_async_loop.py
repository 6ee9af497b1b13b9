"""Async views served on the event loop (a real server) on the plans with hooks, sessions,
handlers and signals: the order of hooks and the error flow are those of sync views."""

import asyncio
import http.client
import json
import threading

import pytest

from kiv import App, Response, abort, after_this_request, g, request, request_started, session
from kiv.streaming import Event, event_stream


def make_app(plan):
    app = App("loopplans")
    calls = []
    @app.route("/stream")
    async def stream():
        async def gen():
            for i in range(3):
                await asyncio.sleep(0)
                yield f"{request.path}:{i};"
        return Response(gen(), 201, {"X-Kind": "agen", "X-Order": "sa"}, mimetype="text/plain")
    @app.route("/events")
    async def events():
        async def gen():
            yield "a"
            yield 0.01
            yield Event("b\nc", event="x")
        return event_stream(gen(), keepalive=0.006)

    if plan == "bare":
        return app, calls
    app.secret_key = "k"
    @app.before_request
    def before_sync():
        calls.append(("before", threading.current_thread().name))
        g.n = 1
    @app.before_request
    async def before_async():
        await asyncio.sleep(0)
        g.n += 1
        if request.args.get("stop"):
            return "stopped by a hook", 202
    @app.after_request
    async def after_async(response):
        await asyncio.sleep(0)
        response.headers["X-Order"] = response.headers.get("X-Order", "") + "a"
        return response
    @app.after_request
    def after_sync(response):
        response.headers["X-Order"] = "s"
        return response
    @app.teardown_request
    def teardown(error):
        calls.append(("teardown", type(error).__name__ if error else None))
    @app.errorhandler(KeyError)
    def on_key(e):
        return {"handled": "sync", "g": g.n}, 409
    @app.errorhandler(LookupError)
    async def on_lookup(e):
        await asyncio.sleep(0)
        return {"handled": "async", "path": request.path}, 410
    @app.errorhandler(500)
    async def on_500(e):
        return {"handled": "500", "was": type(e.original_exception).__name__}, 500
    @app.route("/view")
    async def view():
        await asyncio.sleep(0.001)
        session["count"] = session.get("count", 0) + 1

        @after_this_request
        async def mark(response):
            response.headers["X-This"] = "yes"
            return response
        return {"g": g.n, "count": session["count"], "path": request.path}
    @app.route("/raise/<kind>")
    async def fail(kind):
        await asyncio.sleep(0)
        if kind == "key":
            raise KeyError(kind)
        if kind == "index":
            raise IndexError(kind)
        if kind == "abort":
            abort(418)
        raise RuntimeError(kind)

    if plan == "signals":
        @request_started.connect_via(app)
        async def started(sender, **kw):
            await asyncio.sleep(0)
            calls.append(("started", request.path))
    return app, calls


@pytest.fixture(params=["full", "signals"])
def served(request):
    app, calls = make_app(request.param)
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    conn = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        yield conn, calls, request.param
    finally:
        conn.close()
        app.server.stop(sid, 5)


def get(conn, path, cookie=None):
    conn.request("GET", path, headers={"Cookie": cookie} if cookie else {})
    r = conn.getresponse()
    return r.status, dict(r.getheaders()), r.read()


@pytest.mark.parametrize("path, status, body, error", [
    ("/view", 200, {"g": 2, "count": 1, "path": "/view"}, None),
    ("/view?stop=1", 202, b"stopped by a hook", None),
    ("/raise/key", 409, {"handled": "sync", "g": 2}, None),
    ("/raise/index", 410, {"handled": "async", "path": "/raise/index"}, None),
    ("/raise/runtime", 500, {"handled": "500", "was": "RuntimeError"}, "RuntimeError"),
    ("/raise/abort", 418, None, None),
])
def test_hooks_and_handlers_around_an_async_view(served, path, status, body, error):
    conn, calls, plan = served
    got_status, headers, got_body = get(conn, path)
    assert got_status == status
    if body is not None:
        assert (got_body if isinstance(body, bytes) else json.loads(got_body)) == body
    # after_request functions run last-registered first, on every answer
    assert headers["X-Order"] == "sa"
    # sync hooks of an async view run on the loop's thread: no pool thread is involved
    expected = [("started", path.split("?")[0])] if plan == "signals" else []
    assert calls == expected + [("before", "kiv-asyncio"), ("teardown", error)]


def test_session_and_after_this_request(served):
    conn, _, _ = served
    status, headers, body = get(conn, "/view")
    assert (status, headers["X-This"]) == (200, "yes")
    cookie = headers["Set-Cookie"].split(";")[0]
    status, _, body = get(conn, "/view", cookie)
    assert json.loads(body) == {"g": 2, "count": 2, "path": "/view"}


@pytest.mark.parametrize("served", ["bare", "full", "signals"], indirect=True)
@pytest.mark.parametrize("path, status, kind, body", [
    ("/stream", 201, "text/plain; charset=utf-8", b"/stream:0;/stream:1;/stream:2;"),
    ("/events", 200, "text/event-stream; charset=utf-8",
     b"data: a\n\n: keep-alive\n\nevent: x\ndata: b\ndata: c\n\n"),
])
def test_async_generator_is_streamed(served, path, status, kind, body):
    conn, calls, _ = served
    for _ in range(2):  # and the connection is good for the next request
        got_status, headers, got_body = get(conn, path)
        assert (got_status, headers["Content-Type"]) == (status, kind)
        assert headers["Transfer-Encoding"] == "chunked"
        assert got_body == body
