"""A WebSocket connection's request, as a view's: before_request decides the upgrade,
after_request and teardown run once the handler ends, in every handler style."""
import queue

import pytest
from websockets.exceptions import ConnectionClosed as ClientClosed, InvalidStatus
from websockets.sync.client import connect

from kiv import App, g, request, session, signals

events = queue.Queue()
KINDS = ["sync", "async", "callbacks", "async-callbacks"]


def act(ws, message):
    """One message's work, shared by the handler styles; True ends the handler."""
    if message == "raise":
        raise ValueError("boom")
    if message == "handled":
        raise KeyError("taken by an error handler")
    if message == "return":
        return True
    g.seen = g.get("seen", 0) + 1  # g lives as long as the connection
    ws.send(f"{message} {g.user} {session.get('name')} {request.path} {g.seen}")
    return False


def make_app():
    app = App("wshooks")
    app.secret_key = "k"

    @app.before_request
    def gate():
        if request.args.get("refuse"):
            return "no", 403
        g.user = "ann"

    app.after_request(lambda response: events.put(("after", response.status_code)) or response)

    @app.teardown_request
    def torn(exc):
        events.put(("teardown_request", type(exc).__name__ if exc else None, g.get("user")))

    @app.teardown_appcontext
    def torn_app(exc):
        events.put(("teardown_appcontext", type(exc).__name__ if exc else None))

    app.errorhandler(KeyError)(lambda e: ("handled", 418))
    for signal in (signals.appcontext_pushed, signals.request_started, signals.request_finished,
                   signals.request_tearing_down, signals.appcontext_popped):
        signal.connect(lambda sender, name=signal.name, **kw: events.put((name,)), app, weak=False)

    @app.websocket("/sync")
    def sync(ws):
        while not act(ws, ws.receive()):
            pass

    @app.websocket("/async")
    async def async_(ws):
        while not act(ws, await ws.receive()):
            pass

    class Callbacks:
        def on_message(self, ws, message):
            if act(ws, message):
                ws.close()

    class AsyncCallbacks:
        async def on_message(self, ws, message):
            if act(ws, message):
                ws.close()

    app.websocket("/callbacks")(Callbacks)
    app.websocket("/async-callbacks")(AsyncCallbacks)
    return app


@pytest.fixture(scope="module")
def served():
    app = make_app()
    sid = app.server.start("127.0.0.1", 0)
    cookie = app.session_interface.get_signing_serializer(app).dumps({"name": "bob"})
    yield "ws://" + app.server.bound_addr(sid), {"Cookie": f"session={cookie}"}
    app.server.stop(sid, 5)


STARTED = [("appcontext-pushed",), ("request-started",)]


def hook_events(n=6):
    return [events.get(timeout=10) for _ in range(n)]


def ended(status, error, user):
    return [("after", status), ("request-finished",), ("teardown_request", error, user),
            ("teardown_appcontext", error), ("request-tearing-down",), ("appcontext-popped",)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ending, code, status, error", [
    ("return", 1000, 200, None), ("peer", None, 200, None),
    ("raise", 1011, 500, "ValueError"), ("handled", 1011, 418, None)])
def test_hooks_run_when_the_handler_ends(served, kind, ending, code, status, error, caplog):
    url, cookie = served
    with connect(f"{url}/{kind}", additional_headers=cookie, open_timeout=10) as ws:
        for n in (1, 2):
            ws.send("hi")
            assert ws.recv(timeout=10) == f"hi ann bob /{kind} {n}"
        assert hook_events(2) == STARTED and events.empty()  # nothing else at the upgrade
        if ending == "peer":
            ws.close()
        else:
            ws.send(ending)
            with pytest.raises(ClientClosed) as e:
                ws.recv(timeout=10)
            assert e.value.rcvd.code == code
    assert hook_events() == ended(status, error, "ann")
    assert ("ValueError: boom" in caplog.text) == (ending == "raise")


@pytest.mark.parametrize("kind", KINDS)
def test_a_refused_upgrade_is_a_finished_request(served, kind):
    with pytest.raises(InvalidStatus) as e:
        connect(f"{served[0]}/{kind}?refuse=1", open_timeout=10)
    assert e.value.response.status_code == 403
    assert hook_events(8) == STARTED + ended(403, None, None)
