"""One small application per ASGI framework, with the same routes, for tests/test_asgi.py:
POST /items/<int> (JSON through a pydantic model), GET /dep (a value from the
framework's dependency injection where it has one), GET /stream (a streamed body),
GET /state (set by the lifespan startup), GET /where (root_path and path as the app
sees them)."""

import asyncio
import contextlib

from pydantic import BaseModel


class Item(BaseModel):
    name: str
    price: float


def priced(item_id: int, item: Item) -> dict:
    return {"id": item_id, "name": item.name, "total": item.price * 2}


async def chunks():
    for i in range(3):
        await asyncio.sleep(0)
        yield f"{i}\n".encode()


# --- FastAPI ----------------------------------------------------------------------------

def make_fastapi():
    from fastapi import Depends, FastAPI, Request
    from fastapi.responses import StreamingResponse

    @contextlib.asynccontextmanager
    async def lifespan(app):
        yield {"db": "ready"}

    app = FastAPI(lifespan=lifespan)

    @app.post("/items/{item_id}")
    async def items(item_id: int, item: Item):
        return priced(item_id, item)

    @app.get("/dep")
    async def dep(value: int = Depends(lambda: 7)):
        return {"dep": value}

    @app.get("/stream")
    async def stream():
        return StreamingResponse(chunks(), media_type="text/plain")

    @app.get("/state")
    async def state(request: Request):
        return {"db": request.state.db}

    @app.get("/where")
    async def where(request: Request):
        return {"root_path": request.scope["root_path"], "path": request.url.path}

    return app


# --- Starlette --------------------------------------------------------------------------

def make_starlette():
    from pydantic import ValidationError
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse, StreamingResponse
    from starlette.routing import Route

    @contextlib.asynccontextmanager
    async def lifespan(app):
        yield {"db": "ready"}

    async def items(request):
        try:
            item = Item.model_validate(await request.json())
        except ValidationError as e:
            return JSONResponse({"detail": str(e)}, 422)
        return JSONResponse(priced(request.path_params["item_id"], item))

    async def dep(request):
        return JSONResponse({"dep": 7})

    async def stream(request):
        return StreamingResponse(chunks(), media_type="text/plain")

    async def state(request):
        return JSONResponse({"db": request.state.db})

    async def where(request):
        return JSONResponse({"root_path": request.scope["root_path"], "path": request.url.path})

    return Starlette(lifespan=lifespan, routes=[
        Route("/items/{item_id:int}", items, methods=["POST"]), Route("/dep", dep),
        Route("/stream", stream), Route("/state", state), Route("/where", where)])


# --- Quart ------------------------------------------------------------------------------

def make_quart():
    from pydantic import ValidationError
    from quart import Quart, request

    app = Quart("quart_asgi")
    shared = {}

    @app.before_serving
    async def startup():
        shared["db"] = "ready"

    @app.post("/items/<int:item_id>")
    async def items(item_id):
        try:
            item = Item.model_validate(await request.get_json())
        except ValidationError as e:
            return {"detail": str(e)}, 422
        return priced(item_id, item)

    @app.get("/dep")
    async def dep():
        return {"dep": 7}

    @app.get("/stream")
    async def stream():
        return chunks(), 200, {"Content-Type": "text/plain"}

    @app.get("/state")
    async def state():
        return {"db": shared["db"]}

    @app.get("/where")
    async def where():
        # Quart strips root_path from request.path
        return {"root_path": request.root_path, "path": request.root_path + request.path}

    return app


# --- Litestar ---------------------------------------------------------------------------

def make_litestar():
    from litestar import Litestar, Request, get, post
    from litestar.di import Provide
    from litestar.response import Stream

    async def startup(app):
        app.state.db = "ready"

    @post("/items/{item_id:int}", status_code=200)
    async def items(item_id: int, data: Item) -> dict:
        return priced(item_id, data)

    async def seven() -> int:
        return 7

    @get("/dep", dependencies={"value": Provide(seven)})
    async def dep(value: int) -> dict:
        return {"dep": value}

    @get("/stream")
    async def stream() -> Stream:
        return Stream(chunks(), media_type="text/plain")

    @get("/state")
    async def state(request: Request) -> dict:
        return {"db": request.app.state.db}

    @get("/where")
    async def where(request: Request) -> dict:
        return {"root_path": request.scope["root_path"], "path": request.url.path}

    return Litestar([items, dep, stream, state, where], on_startup=[startup])


MAKERS = {"fastapi": make_fastapi, "starlette": make_starlette, "quart": make_quart,
          "litestar": make_litestar}
fastapi_app = make_fastapi()
starlette_app = make_starlette()
quart_app = make_quart()
litestar_app = make_litestar()


def make_failing():
    from starlette.applications import Starlette

    @contextlib.asynccontextmanager
    async def lifespan(app):
        raise RuntimeError("no database")
        yield

    return Starlette(lifespan=lifespan)


failing_app = make_failing()
