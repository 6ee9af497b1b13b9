"""Async views, hooks and error handlers on the process's event loop."""

import asyncio
import json
import socket
import threading
import urllib.request

import pytest

from kiv import App, MethodView, abort, g, request, session


def make_app():
    app = App("asyncviews")
    app.secret_key = "k"

    @app.before_request
    async def before():
        await asyncio.sleep(0)
        g.who = request.args.get("who", "nobody")

    @app.after_request
    async def after(response):
        await asyncio.sleep(0)
        response.headers["X-Who"] = g.who
        return response

    @app.errorhandler(404)
    async def missing(e):
        await asyncio.sleep(0)
        return {"missing": request.path}, 404

    @app.route("/hello")
    async def hello():
        await asyncio.sleep(0)
        session["seen"] = session.get("seen", 0) + 1
        await asyncio.sleep(0)
        return {"who": g.who, "path": request.path, "seen": session["seen"]}

    @app.route("/fail")
    async def fail():
        await asyncio.sleep(0)
        abort(404)

    @app.route("/sync")
    def sync():
        return "plain"

    class Items(MethodView):
        async def get(self):
            await asyncio.sleep(0)
            return {"who": g.who, "method": request.method}

        def post(self):
            return {"who": g.who, "method": "POST"}

    app.add_url_rule("/items", view_func=Items.as_view("items"))

    return app


@pytest.mark.parametrize("url, status, body, who", [
    ("/hello?who=ann", 200, {"who": "ann", "path": "/hello", "seen": 1}, "ann"),
    ("/fail", 404, {"missing": "/fail"}, "nobody"),
    ("/nowhere", 404, {"missing": "/nowhere"}, "nobody"),
    ("/items?who=bo", 200, {"who": "bo", "method": "GET"}, "bo"),
])
def test_async_view_hooks_and_handlers(url, status, body, who):
    r = make_app().test_client().get(url)
    assert (r.status_code, r.json, r.headers["X-Who"]) == (status, body, who)


def threads_now():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("Threads:")).split()[1])


@pytest.mark.parametrize("hooks", [False, True])
def test_requests_overlap_on_one_loop_without_a_thread_each(hooks):
    """Every request waits until all of them have started: only concurrent requests sharing
    one loop get through, and while they all wait the process has no thread per request
    (also with hooks and a session, which run on the loop too)."""
    n = 100
    app = App("overlap")
    state = {}
    if hooks:
        app.secret_key = "k"
        app.before_request(lambda: setattr(g, "seen", True))
        app.teardown_request(lambda error: None)

    @app.route("/wait")
    async def wait():
        if "event" not in state:
            state["event"], state["count"] = asyncio.Event(), 0
        state["count"] += 1
        if state["count"] == n:
            state["threads"] = threads_now()
            state["event"].set()
        await asyncio.wait_for(state["event"].wait(), 30)
        return {"path": request.path, "loop": id(asyncio.get_running_loop())}

    @app.route("/warm")
    async def warm():
        return "ok"

    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    try:
        with urllib.request.urlopen(f"http://{host}:{port}/warm", timeout=30) as r:
            assert r.read() == b"ok"
        before = threads_now()
        conns = [socket.create_connection((host, int(port)), timeout=60) for _ in range(n)]
        for c in conns:
            c.sendall(b"GET /wait HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        answers = []
        for c in conns:
            with c, c.makefile("rb") as f:
                answers.append(f.read())
    finally:
        app.server.stop(sid, 5)
    bodies = [json.loads(a.split(b"\r\n\r\n", 1)[1]) for a in answers]
    assert [b["path"] for b in bodies] == ["/wait"] * n
    assert len({b["loop"] for b in bodies}) == 1
    assert state["threads"] <= before + 2


def test_loop_bound_objects_work_across_requests():
    app = App("bound")
    state = {}

    @app.route("/use")
    async def use():
        lock = state.setdefault("lock", asyncio.Lock())
        queue = state.setdefault("queue", asyncio.Queue())
        async with lock:
            await queue.put(1)
        return {"size": queue.qsize()}

    c = app.test_client()
    assert [c.get("/use").json["size"] for _ in range(3)] == [1, 2, 3]
