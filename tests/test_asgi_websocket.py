"""ASGI websocket scopes served by kiv, from FastAPI and Starlette endpoints: the accept's
subprotocol and headers in the 101, HTTP denial responses, a close before the accept."""
import contextlib

import pytest
from websockets.exceptions import ConnectionClosed as ClientClosed, InvalidStatus
from websockets.sync.client import connect

from kiv.asgi import host_app

pytest.importorskip("fastapi")
from fastapi import FastAPI, WebSocket  # noqa: E402
from starlette.applications import Starlette  # noqa: E402
from starlette.responses import PlainTextResponse  # noqa: E402
from starlette.routing import WebSocketRoute  # noqa: E402


async def endpoint(websocket: WebSocket):
    how = websocket.query_params.get("how")
    if how == "deny":
        return await websocket.send_denial_response(
            PlainTextResponse("no token", status_code=401, headers={"X-Why": "token"}))
    if how == "close":
        return await websocket.close(code=1008)
    if how == "leave":
        return
    await websocket.accept(subprotocol="chat" if "chat" in websocket.scope["subprotocols"]
                           else None, headers=[(b"x-session", b"s1"),
                                               (b"sec-websocket-accept", b"forged")])
    await websocket.send_text(await websocket.receive_text() + "!")
    await websocket.close(4000, "done")


async def raw(scope, receive, send):
    """The denial extension by hand: a body in pieces, or an end in the middle of it."""
    assert "websocket.http.response" in scope["extensions"]
    await receive()
    await send({"type": "websocket.http.response.start", "status": 404,
                "headers": [(b"content-type", b"text/plain")]})
    await send({"type": "websocket.http.response.body", "body": b"not ", "more_body": True})
    if scope["path"] != "/cut":
        await send({"type": "websocket.http.response.body", "body": b"here"})
    assert (await receive())["type"] == "websocket.disconnect"


def fastapi_app():
    api = FastAPI()
    api.websocket("/ws")(endpoint)
    return api


MAKERS = {"fastapi": fastapi_app, "starlette": lambda: Starlette(routes=[
    WebSocketRoute("/ws", endpoint)]), "raw": lambda: raw}


@contextlib.contextmanager
def serving(kind):
    app = host_app(MAKERS[kind]())
    sid = app.server.start("127.0.0.1", 0)
    try:
        yield "ws://" + app.server.bound_addr(sid)
    finally:
        app.server.stop(sid, 5)


@pytest.mark.parametrize("kind", ["fastapi", "starlette"])
def test_accept_sends_its_subprotocol_and_headers(kind):
    with serving(kind) as url:
        for offered, chosen in (["chat", "v2"], "chat"), (None, None):
            with connect(url + "/ws", subprotocols=offered, open_timeout=10) as ws:
                assert ws.subprotocol == chosen
                assert ws.response.headers["X-Session"] == "s1"  # the forged accept: dropped
                ws.send("hi")
                assert ws.recv(timeout=10) == "hi!"
                with pytest.raises(ClientClosed) as e:
                    ws.recv(timeout=10)
                assert (e.value.rcvd.code, e.value.rcvd.reason) == (4000, "done")


@pytest.mark.parametrize("kind, path, status, body, header", [
    (kind, *case) for kind in ("fastapi", "starlette") for case in (
        ("/ws?how=deny", 401, b"no token", ("X-Why", "token")),
        ("/ws?how=close", 403, None, None), ("/ws?how=leave", 403, None, None))] + [
    ("raw", "/here", 404, b"not here", ("Content-Type", "text/plain")),
    ("raw", "/cut", 500, None, None)])
def test_refusals_before_the_accept(kind, path, status, body, header):
    with serving(kind) as url, pytest.raises(InvalidStatus) as e:
        connect(url + path, open_timeout=10)
    response = e.value.response
    assert response.status_code == status
    if body is not None:
        assert response.body == body and response.headers[header[0]] == header[1]
