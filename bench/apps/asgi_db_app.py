"""The async database scenarios as one bare ASGI callable, the same code on every server.

BENCH_DB_DSN names the database (a libpq key=value string, as the harness gives it);
BENCH_DB_POOL connections (64 by default) are opened by the lifespan startup, on the
loop that serves the requests, as asyncpg's pool must be.

    GET /db                   one random row of `world` as {"id", "randomNumber"}
    GET /queries?queries=N    N random rows (1 to 500), one query each, as a JSON list
"""

import json
import os
import random
from urllib.parse import parse_qs

import asyncpg

ROWS = 10_000
JSON = [(b"content-type", b"application/json")]
SELECT = "SELECT id, randomnumber FROM world WHERE id = $1"
pool = None


def _connect_args(dsn):
    """asyncpg's keywords from a libpq "key=value ..." string."""
    args = dict(item.split("=", 1) for item in dsn.split())
    return {"host": args.get("host"), "user": args.get("user"),
            "database": args.get("dbname")}


async def _startup():
    global pool
    if not os.environ.get("BENCH_DB_DSN"):
        return  # serving only the routes that need no database
    size = int(os.environ.get("BENCH_DB_POOL", "64"))
    pool = await asyncpg.create_pool(**_connect_args(os.environ["BENCH_DB_DSN"]),
                                     min_size=size, max_size=size)


def _count(query):
    """The `queries` parameter as those benchmarks read it: 1 to 500, 1 if bad."""
    try:
        n = int(parse_qs(query.decode("latin-1")).get("queries", ["1"])[0])
    except ValueError:
        return 1
    return min(max(n, 1), 500)


async def _reply(send, status, body):
    await send({"type": "http.response.start", "status": status,
                "headers": JSON + [(b"content-length", str(len(body)).encode())]})
    await send({"type": "http.response.body", "body": body})


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await _startup()
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                if pool is not None:
                    await pool.close()
                await send({"type": "lifespan.shutdown.complete"})
                return
    path = scope["path"]
    if path == "/db":
        async with pool.acquire() as conn:
            row = await conn.fetchrow(SELECT, random.randint(1, ROWS))
        return await _reply(send, 200, json.dumps({"id": row[0], "randomNumber": row[1]})
                            .encode())
    if path == "/queries":
        ids = random.sample(range(1, ROWS + 1), _count(scope["query_string"]))
        async with pool.acquire() as conn:
            rows = [await conn.fetchrow(SELECT, i) for i in ids]
        return await _reply(send, 200, json.dumps(
            [{"id": r[0], "randomNumber": r[1]} for r in rows]).encode())
    return await _reply(send, 404, b'{"error": "not found"}')
