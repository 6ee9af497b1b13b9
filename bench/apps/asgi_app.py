"""The benchmark app as a bare ASGI callable (uvicorn with httptools and uvloop)."""

import json

HELLO = b"Hello, World!"
TEXT = [(b"content-type", b"text/plain; charset=utf-8")]
JSON = [(b"content-type", b"application/json")]


async def _reply(send, status, headers, body):
    await send({"type": "http.response.start", "status": status,
                "headers": headers + [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    path = scope["path"]
    method = scope["method"]
    if method == "GET":
        if path == "/":
            return await _reply(send, 200, TEXT, HELLO)
        if path == "/json":
            body = json.dumps({"message": "Hello, World!"}).encode()
            return await _reply(send, 200, JSON, body)
        if path.startswith("/items/"):
            try:
                item_id = int(path[7:])
            except ValueError:
                pass
            else:
                return await _reply(send, 200, JSON, json.dumps({"id": item_id}).encode())
    elif method == "POST" and path == "/echo":
        size = 0
        more = True
        while more:
            message = await receive()
            size += len(message.get("body", b""))
            more = message.get("more_body", False)
        return await _reply(send, 200, TEXT, str(size).encode())
    return await _reply(send, 404, TEXT, b"Not Found")
