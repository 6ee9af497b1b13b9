"""The WebSocket benchmark app as a raw ASGI application (no framework).

/echo echoes; /sub/... joins the in-process subscriber set; /pub/... sends what it gets
to every subscriber, one await per subscriber (an ASGI server has no publish of its own).
"""

SUBSCRIBERS = set()


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"ok"})
        return
    path = scope["path"]
    await receive()  # websocket.connect
    await send({"type": "websocket.accept"})
    if path.startswith("/sub/"):
        SUBSCRIBERS.add(send)
    try:
        while True:
            message = await receive()
            if message["type"] == "websocket.disconnect":
                return
            out = {"type": "websocket.send"}
            if message.get("text") is not None:
                out["text"] = message["text"]
            else:
                out["bytes"] = message["bytes"]
            if path == "/echo":
                await send(out)
            elif path.startswith("/pub/"):
                for subscriber in list(SUBSCRIBERS):
                    try:
                        await subscriber(out)
                    except Exception:
                        SUBSCRIBERS.discard(subscriber)
    finally:
        SUBSCRIBERS.discard(send)
