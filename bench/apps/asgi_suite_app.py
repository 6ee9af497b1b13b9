"""The ASGI scenarios of bench/run.py as one application: /items/... goes to the FastAPI
app (fastapi_app.py), everything else to the asyncpg app (asgi_db_app.py), whose
lifespan opens the database pool. "/" answers plain text (the harness's readiness check)."""

import asgi_db_app
import fastapi_app

_fastapi = fastapi_app.app
_db = asgi_db_app.app


async def app(scope, receive, send):
    if scope["type"] == "http":
        path = scope["path"]
        if path.startswith("/items/"):
            return await _fastapi(scope, receive, send)
        if path == "/":
            await send({"type": "http.response.start", "status": 200,
                        "headers": [(b"content-type", b"text/plain"),
                                    (b"content-length", b"13")]})
            return await send({"type": "http.response.body", "body": b"Hello, World!"})
    return await _db(scope, receive, send)
