"""WebSockets served by a real server on loopback, driven by the websockets client."""
import contextlib
import queue
import threading
import urllib.request

import pytest
from websockets.exceptions import ConnectionClosed as ClientClosed, InvalidStatus
from websockets.sync.client import connect

from kiv import App, Blueprint, abort, g, request, url_for
from kiv.websocket import ConnectionClosed

seen = queue.Queue()


def wait_for(tag):
    while (item := seen.get(timeout=10))[0] != tag:
        pass
    return item


def make_app():
    app = App("wsapp")

    @app.websocket("/echo/sync")
    def echo_sync(ws):
        while True:
            ws.send(ws.receive())

    @app.websocket("/echo/async")
    async def echo_async(ws):
        while True:
            await ws.send(await ws.receive())

    class Echo:
        def on_open(self, ws):
            self.n = 0

        def on_message(self, ws, message):
            self.n += 1
            ws.send(message)

        def on_close(self, ws, code, reason):
            seen.put(("callbacks closed", code, self.n))

    class AsyncEcho(Echo):
        async def on_message(self, ws, message):
            ws.send(message)

    class Fails:
        def on_message(self, ws, message):
            if message == "closed":
                raise ConnectionClosed()  # ends nothing but this callback
            if message == "fail":
                raise RuntimeError("callback failed")
            ws.send(f"{message} {request.path}")

        def on_close(self, ws, code, reason):
            seen.put(("fails closed", request.path, code))

    class AsyncFails(Fails):
        async def on_message(self, ws, message):
            Fails.on_message(self, ws, message)

    unblock = threading.Event()

    class Blocks:
        def on_message(self, ws, message):
            if message == "wait":
                ws.send("waiting")
                ws.send(f"released {unblock.wait(10)}")
            else:
                unblock.set()

    app.websocket("/blocks")(Blocks)
    app.websocket("/echo/callbacks")(Echo)
    app.websocket("/echo/async-callbacks")(AsyncEcho)
    app.websocket("/fails/callbacks")(Fails)
    app.websocket("/fails/async-callbacks")(AsyncFails)
    trio = app.websocket_callbacks("/echo/functions")
    trio.on_message(lambda ws, m: ws.send(m))

    @app.websocket("/room/<name>")
    async def room(ws, name):
        ws.subscribe(name)
        ws.send("joined")
        while True:
            app.publish(name, await ws.receive())

    @app.route("/say/<name>/<text>")
    def say(name, text):
        return str(app.publish(name, text))

    @app.websocket("/end/<how>")
    def end(ws, how):
        if how == "close":
            ws.close(4001, "bye")
        elif how == "raise":
            raise RuntimeError("handler failed")
        elif how == "burst":
            for i in range(1000):  # within the send queue's 1024 messages
                ws.send(str(i))
        elif how == "wait":
            try:
                ws.receive()
            except ConnectionClosed as e:
                seen.put(("peer closed", e.code, e.reason))
        elif how == "timeout":
            ws.send(repr(ws.receive(timeout=0.01)))
        elif how == "badtype":
            ws.send([1, 2])

    @app.websocket("/late")
    async def late(ws):
        # The timed-out receive leaves a cancelled future behind: what comes next
        # must still reach the next receives, in order.
        ws.send(repr(await ws.receive(timeout=0.01)))
        ws.send(await ws.receive() + await ws.receive())

    async def asgi_echo(scope, receive, send):
        assert scope["type"] == "websocket" and scope["root_path"] == "/asgi"
        await receive()
        if scope["path"].endswith("/deny"):
            return await send({"type": "websocket.close"})
        await send({"type": "websocket.accept"})
        while (event := await receive())["type"] == "websocket.receive":
            await send({"type": "websocket.send", "text": event["text"], "bytes": event["bytes"]})

    app.mount_asgi("/asgi", asgi_echo)

    bp = Blueprint("bp", __name__, url_prefix="/bp")

    @bp.before_request
    def gate():
        if request.args.get("deny") == "abort":
            abort(403)
        if request.args.get("deny") == "return":
            return "no", 401
        g.user = "ann"

    @bp.websocket("/ctx/<int:n>")
    def ctx(ws, n):
        ws.send(f"{n + 1} {request.args['q']} {g.user} {url_for('bp.ctx', n=5)}")

    app.register_blueprint(bp)
    return app


@pytest.fixture(scope="module")
def base():
    app = make_app()
    sid = app.server.start("127.0.0.1", 0)
    yield "ws://" + app.server.bound_addr(sid), app
    app.server.stop(sid, 5)


KINDS = ["sync", "async", "callbacks", "async-callbacks", "functions", "asgi"]


@pytest.mark.parametrize("compression", ["deflate", None])
@pytest.mark.parametrize("kind", KINDS)
def test_echo(base, kind, compression):
    messages = ["hello", b"\x00\xff" * 10, "é" * 100_000, bytes(range(256)) * 2000]
    path = "/asgi/echo" if kind == "asgi" else f"/echo/{kind}"
    with connect(base[0] + path, compression=compression, open_timeout=10,
                 max_size=None) as ws:
        for m in messages:
            ws.send(m)
        assert [ws.recv(timeout=10) for _ in messages] == messages
        if compression:
            assert ws.protocol.extensions  # permessage-deflate was agreed


@pytest.mark.parametrize("kind", ["sync", "async", "callbacks", "functions"])
def test_many_connections_each_in_order(base, kind):
    with contextlib.ExitStack() as stack:
        clients = [stack.enter_context(connect(f"{base[0]}/echo/{kind}", open_timeout=10))
                   for _ in range(8)]
        for i, c in enumerate(clients):
            for n in range(40):
                c.send(f"{i}.{n}")
        for i, c in enumerate(clients):
            assert [c.recv(timeout=10) for _ in range(40)] == [f"{i}.{n}" for n in range(40)]


@pytest.mark.parametrize("kind", ["callbacks", "async-callbacks"])
def test_callback_failures(base, kind, caplog):
    with connect(f"{base[0]}/fails/{kind}", open_timeout=10) as ws:
        for m in ("a", "closed", "b"):
            ws.send(m)
        assert [ws.recv(timeout=10), ws.recv(timeout=10)] == [f"a /fails/{kind}",
                                                               f"b /fails/{kind}"]
        ws.send("fail")
        with pytest.raises(ClientClosed) as e:
            ws.recv(timeout=10)
    assert (e.value.rcvd.code, e.value.rcvd.reason) == (1011, "internal error")
    assert wait_for("fails closed")[1] == f"/fails/{kind}"
    assert "callback failed" in caplog.text


def test_a_blocking_callback_holds_up_only_its_connection(base):
    with connect(f"{base[0]}/blocks", open_timeout=10) as a, \
            connect(f"{base[0]}/blocks", open_timeout=10) as b:
        a.send("wait")
        assert a.recv(timeout=10) == "waiting"
        b.send("set")
        assert a.recv(timeout=15) == "released True"


def test_async_receive_after_a_timeout(base):
    with connect(f"{base[0]}/late", open_timeout=10) as ws:
        assert ws.recv(timeout=10) == "None"
        ws.send("x")
        ws.send("y")
        assert ws.recv(timeout=10) == "xy"


@pytest.mark.parametrize("path, status", [
    ("/nowhere", 404), ("/bp/ctx/1?deny=abort", 403), ("/bp/ctx/1?deny=return", 401),
    ("/asgi/deny", 403)])
def test_refused(base, path, status):
    with pytest.raises(InvalidStatus) as e:
        connect(base[0] + path, open_timeout=10)
    assert e.value.response.status_code == status


def test_request_context(base):
    with connect(f"{base[0]}/bp/ctx/41?q=zz", open_timeout=10) as ws:
        assert ws.recv(timeout=10) == "42 zz ann /bp/ctx/5"


def test_publish_reaches_every_subscriber(base):
    url, app = base
    with connect(f"{url}/room/r1", open_timeout=10) as a, \
            connect(f"{url}/room/r1", open_timeout=10) as b:
        assert a.recv(timeout=10) == b.recv(timeout=10) == "joined"
        a.send("from a")
        b.send(b"from b")
        for c in (a, b):
            assert {c.recv(timeout=10), c.recv(timeout=10)} == {"from a", b"from b"}
        http = url.replace("ws://", "http://")
        with urllib.request.urlopen(f"{http}/say/r1/hi", timeout=10) as r:
            assert r.read() == b"2"
        assert a.recv(timeout=10) == b.recv(timeout=10) == "hi"


@pytest.mark.parametrize("how, code, reason", [
    ("return", 1000, ""), ("close", 4001, "bye"), ("raise", 1011, "internal error"),
    ("badtype", 1011, "internal error")])
def test_close_codes(base, how, code, reason, caplog):
    with connect(f"{base[0]}/end/{how}", open_timeout=10) as ws:
        with pytest.raises(ClientClosed) as e:
            ws.recv(timeout=10)
    assert (e.value.rcvd.code, e.value.rcvd.reason) == (code, reason)
    assert ("handler failed" in caplog.text) == (how == "raise")


def test_nothing_lost_before_a_normal_close(base):
    with connect(f"{base[0]}/end/burst", open_timeout=10) as ws:
        got = []
        with pytest.raises(ClientClosed) as e:
            while True:
                got.append(ws.recv(timeout=10))
    assert got == [str(i) for i in range(1000)]
    assert e.value.rcvd.code == 1000


def test_handler_sees_the_peer_close_and_timeouts(base):
    with connect(f"{base[0]}/end/timeout", open_timeout=10) as ws:
        assert ws.recv(timeout=10) == "None"
    with connect(f"{base[0]}/end/wait", open_timeout=10) as ws:
        ws.close(4000, "done")
    assert wait_for("peer closed") == ("peer closed", 4000, "done")
    with connect(f"{base[0]}/echo/callbacks", open_timeout=10) as ws:
        ws.send("one")
        ws.recv(timeout=10)
    assert wait_for("callbacks closed") == ("callbacks closed", 1000, 1)


@pytest.mark.parametrize("ending", ["drain", "stop"])
def test_server_end_closes_open_sessions(ending):
    app = make_app()
    sid = app.server.start("127.0.0.1", 0)
    url = "ws://" + app.server.bound_addr(sid)
    with contextlib.ExitStack() as stack:
        clients = [stack.enter_context(connect(f"{url}/echo/{kind}", open_timeout=10))
                   for kind in ("sync", "async")]
        end_and_check(sid, clients, getattr(app.server, ending))


def end_and_check(sid, clients, end):
    for c in clients:
        c.send("up")
        assert c.recv(timeout=10) == "up"
    ended = []
    t = threading.Thread(target=lambda: ended.append(end(sid, 10)))
    t.start()
    for c in clients:
        with pytest.raises(ClientClosed) as e:
            c.recv(timeout=10)
        assert e.value.rcvd.code == 1001
    t.join(15)
    assert ended in ([1], [True])  # drain: all closed in time; stop: stopped
