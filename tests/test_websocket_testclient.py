"""The test client's WebSockets: the app served on loopback for as long as one is open."""
import socket

import pytest

from kiv import App, abort, request, session
from kiv.testing import WebSocketRefused
from kiv.websocket import ConnectionClosed

KINDS = ["sync", "async", "callbacks", "async-callbacks"]


def reply(ws, message):
    if message == "raise":
        raise ValueError("handler failed")
    if message == "bye":
        ws.close(4001, "bye")
    else:
        ws.send(message if isinstance(message, bytes) else
                f"{message} {session.get('name')} {request.headers.get('X-Tag')} "
                f"{request.args.get('q')} {ws.subprotocol}")


@pytest.fixture
def app():
    app = App("wsclient")
    app.secret_key = "k"

    @app.route("/login/<name>")
    def login(name):
        session["name"] = name
        return "in"

    @app.before_request
    def gate():
        if request.args.get("deny"):
            abort(int(request.args["deny"]))

    @app.websocket("/sync", subprotocols=["chat"])
    def sync(ws):
        for m in ws:
            reply(ws, m)

    @app.websocket("/async", subprotocols=["chat"])
    async def async_(ws):
        async for m in ws:
            reply(ws, m)

    class Callbacks:
        def on_message(self, ws, message):
            reply(ws, message)

    class AsyncCallbacks:
        async def on_message(self, ws, message):
            reply(ws, message)

    app.websocket("/callbacks", subprotocols=["chat"])(Callbacks)
    app.websocket("/async-callbacks", subprotocols=["chat"])(AsyncCallbacks)

    return app


@pytest.mark.parametrize("kind", KINDS)
def test_messages_request_and_close(app, kind):
    client = app.test_client()
    client.get("/login/ann")
    with client.websocket(f"/{kind}?q=1", headers={"X-Tag": "t"},
                          subprotocols=["other", "chat"]) as ws:
        assert ws.subprotocol == "chat"
        peer = ws._sock.getpeername()
        ws.send("hi")
        assert ws.receive() == "hi ann t 1 chat"
        for size in (200, 70_000):  # the 16- and 64-bit length forms
            ws.send(bytes(range(200)) * (size // 200))
            assert ws.receive() == bytes(range(200)) * (size // 200)
        with pytest.raises(TimeoutError):
            ws.receive(timeout=0.05)
        ws.send("bye")
        with pytest.raises(ConnectionClosed) as e:
            ws.receive()
        assert (e.value.code, e.value.reason) == (4001, "bye")
    with pytest.raises(OSError):  # the last connection's end stopped the listener
        socket.create_connection(peer, timeout=5).close()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("testing", [True, False])
def test_a_failing_handler(app, kind, testing, caplog):
    app.testing = testing
    with app.test_client().websocket(f"/{kind}") as ws:
        ws.send("raise")
        if testing:  # raised in the test, as a view's exception is
            with pytest.raises(ValueError, match="handler failed"):
                ws.receive()
        else:
            with pytest.raises(ConnectionClosed) as e:
                ws.receive()
            assert e.value.code == 1011
    assert ("handler failed" in caplog.text) != testing


@pytest.mark.parametrize("path, status", [("/sync?deny=403", 403), ("/nowhere", 404),
                                          ("/login/x", 200)])
def test_refused_upgrades_carry_the_response(app, path, status):
    with pytest.raises(WebSocketRefused) as e:
        app.test_client().websocket(path)
    assert e.value.status_code == e.value.response.status_code == status

