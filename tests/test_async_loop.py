"""Async views served on the event loop (a real server) on the plans with hooks, sessions,
handlers and signals: the order of hooks and the error flow are those of sync views."""

import asyncio
import contextvars
import datetime
import http.client
import json
import sys
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


def task_app(plan):
    """Views that depend on their task: the first step of each runs at once, before any
    task would have been scheduled, and must still see one of its own."""
    app = App("tasks")
    if plan == "full":
        app.before_request(lambda: None)
    var = contextvars.ContextVar("var")
    leaked = []

    @app.route("/timeout")
    async def timeout():
        task = asyncio.current_task()
        try:
            async with asyncio.timeout(0.01):
                await asyncio.sleep(30)
        except TimeoutError:
            return {"timed_out": True, "same_task": asyncio.current_task() is task}
        return {"timed_out": False}

    @app.route("/var")
    async def set_var():
        before = var.get(None)
        var.set(request.path)  # left set: the next request must not see it
        if request.args.get("wait"):
            await asyncio.sleep(0)
        return {"before": before, "after": var.get()}

    @app.route("/cancel-self")
    async def cancel_self():
        asyncio.current_task().cancel()
        try:
            await asyncio.sleep(30)
        except asyncio.CancelledError:
            return "cancelled"
        return "not cancelled"

    @app.route("/group")
    async def group():
        k = request.args.get("k", 1, type=int)

        async def child(i):
            await asyncio.sleep(0)
            return i * k
        async with asyncio.TaskGroup() as tg:
            tasks = [tg.create_task(child(i)) for i in range(3)]
        return {"results": [t.result() for t in tasks]}

    @app.route("/cancel-and-return")
    async def cancel_and_return():
        asyncio.current_task().cancel()  # no await follows: the request still ends well
        return "returned"

    @app.route("/wait")
    async def wait():
        await asyncio.sleep(0.01)
        return "waited"

    @app.route("/when")
    async def when():  # JSON the core refuses goes to the app's provider, as on the pool
        return {"when": datetime.date(2020, 1, 2)}

    @app.route("/leak")
    async def leak():
        leaked.append(asyncio.current_task())
        return "ok"

    @app.route("/cancel-leaked")
    async def cancel_leaked():
        leaked.pop().cancel()  # a finished request's task: must not hit this one
        await asyncio.sleep(0.01)
        return "survived"

    return app


OLD = pytest.mark.skipif(sys.version_info < (3, 11), reason="asyncio.timeout, TaskGroup")


@pytest.fixture(params=["bare", "full"])
def tasks_served(request):
    app = task_app(request.param)
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    conn = http.client.HTTPConnection(host, int(port), timeout=10)
    try:
        yield conn
    finally:
        conn.close()
        app.server.stop(sid, 5)


@pytest.mark.parametrize("sequence", [
    pytest.param([("/timeout", {"timed_out": True, "same_task": True}), ("/timeout", None)],
                 marks=OLD),
    [("/var", {"before": None, "after": "/var"}), ("/var?wait=1", None), ("/var", None)],
    [("/cancel-self", b"cancelled"), ("/cancel-self", None)],
    [("/cancel-and-return", b"returned"), ("/wait", b"waited"), ("/wait", None)],
    [("/when", {"when": "Thu, 02 Jan 2020 00:00:00 GMT"})],
    pytest.param([("/group?k=2", {"results": [0, 2, 4]}), ("/group?k=2", None)], marks=OLD),
    [("/leak", b"ok"), ("/cancel-leaked", b"survived"), ("/leak", b"ok"),
     ("/leak", b"ok"), ("/cancel-leaked", b"survived"), ("/cancel-leaked", b"survived")],
])
def test_each_request_has_a_task_and_context_of_its_own(tasks_served, sequence):
    expected = None
    for path, body in sequence:
        expected = body if body is not None else expected
        status, _, got = get(tasks_served, path)
        assert status == 200, got
        assert (got if isinstance(expected, bytes) else json.loads(got)) == expected

