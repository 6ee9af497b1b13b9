"""The benchmark app on granian's native interface (RSGI)."""

import json

HELLO = b"Hello, World!"
TEXT = [("content-type", "text/plain; charset=utf-8")]
JSON = [("content-type", "application/json")]


async def app(scope, proto):
    path = scope.path
    method = scope.method
    if method == "GET":
        if path == "/":
            return proto.response_bytes(200, TEXT, HELLO)
        if path == "/json":
            return proto.response_str(200, JSON, json.dumps({"message": "Hello, World!"}))
        if path.startswith("/items/"):
            try:
                item_id = int(path[7:])
            except ValueError:
                pass
            else:
                return proto.response_str(200, JSON, json.dumps({"id": item_id}))
    elif method == "POST" and path == "/echo":
        body = await proto()
        return proto.response_str(200, TEXT, str(len(body)))
    return proto.response_bytes(404, TEXT, b"Not Found")
