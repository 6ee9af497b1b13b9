"""View code shared by the kiv and WSGI benchmark apps: the database scenarios
of the usual web-framework benchmarks, views that wait, and one that computes.

BENCH_DB_DSN names the database (the harness starts it); without it the
database views are absent. Each process keeps one connection pool of
BENCH_DB_POOL connections (64 by default), opened at import.
"""

import os
import random
import time

ROWS = 10_000
DB_POOL = None

if os.environ.get("BENCH_DB_DSN"):
    from psycopg_pool import ConnectionPool

    size = int(os.environ.get("BENCH_DB_POOL", "64"))
    # Reads need no transaction of their own; updates open one explicitly.
    DB_POOL = ConnectionPool(os.environ["BENCH_DB_DSN"], min_size=size, max_size=size,
                             kwargs={"autocommit": True}, open=True)
    DB_POOL.wait(30)


def _count(raw):
    """The `queries` parameter as those benchmarks read it: 1 to 500, 1 if bad."""
    try:
        n = int(raw)
    except (TypeError, ValueError):
        return 1
    return min(max(n, 1), 500)


def _random_ids(n):
    return random.sample(range(1, ROWS + 1), n)


def single_row():
    with DB_POOL.connection() as conn:
        row = conn.execute("SELECT id, randomnumber FROM world WHERE id = %s",
                           (random.randint(1, ROWS),)).fetchone()
    return {"id": row[0], "randomNumber": row[1]}


def rows(raw_n):
    with DB_POOL.connection() as conn, conn.cursor() as cur:
        out = []
        for i in _random_ids(_count(raw_n)):
            cur.execute("SELECT id, randomnumber FROM world WHERE id = %s", (i,))
            r = cur.fetchone()
            out.append({"id": r[0], "randomNumber": r[1]})
    return out


def updated_rows(raw_n):
    ids = sorted(_random_ids(_count(raw_n)))  # one lock order: no deadlocks between requests
    with DB_POOL.connection() as conn, conn.transaction(), conn.cursor() as cur:
        out = []
        for i in ids:
            cur.execute("SELECT id, randomnumber FROM world WHERE id = %s", (i,))
            r = cur.fetchone()
            out.append({"id": r[0], "randomNumber": random.randint(1, ROWS)})
        cur.executemany("UPDATE world SET randomnumber = %s WHERE id = %s",
                        [(w["randomNumber"], w["id"]) for w in out])
    return out


def wait(ms):
    """Stands in for a call to another service: the interpreter lock is free meanwhile."""
    time.sleep(ms / 1000)
    return f"waited {ms} ms"


def compute():
    """About half a millisecond of Python on a 2020s CPU."""
    return str(sum(i * i for i in range(5000)))
