"""The async database endpoints of asgi_db_app.py as kiv `async def` views.

The asyncpg pool is opened by the first request, on the loop the views run on."""

import asyncio
import os
import random

import asyncpg

from kiv import App, request

from asgi_db_app import ROWS, SELECT, _connect_args

app = App("kiv_async_db")
_pool = None
_opening = None


async def pool():
    global _pool, _opening
    if _pool is None:
        if _opening is None:
            size = int(os.environ.get("BENCH_DB_POOL", "64"))
            _opening = asyncio.ensure_future(asyncpg.create_pool(
                **_connect_args(os.environ["BENCH_DB_DSN"]), min_size=size, max_size=size))
        _pool = await _opening
    return _pool


def _count(raw):
    try:
        n = int(raw)
    except (TypeError, ValueError):
        return 1
    return min(max(n, 1), 500)


@app.route("/db")
async def db():
    async with (await pool()).acquire() as conn:
        row = await conn.fetchrow(SELECT, random.randint(1, ROWS))
    return {"id": row[0], "randomNumber": row[1]}


@app.route("/queries")
async def queries():
    ids = random.sample(range(1, ROWS + 1), _count(request.args.get("queries")))
    async with (await pool()).acquire() as conn:
        rows = [await conn.fetchrow(SELECT, i) for i in ids]
    return [{"id": r[0], "randomNumber": r[1]} for r in rows]
