"""200 concurrent requests to an async view that awaits asyncio.sleep(0.5): wall time.
Run: python bench/async_sleep.py [N] [SECONDS]"""

import asyncio
import sys
import time

from kiv import App

app = App("async_sleep")


@app.route("/sleep")
async def sleep_view():
    await asyncio.sleep(float(sys.argv[2]) if len(sys.argv) > 2 else 0.5)
    return "ok"


async def one(host: str, port: int) -> bytes:
    reader, writer = await asyncio.open_connection(host, port)
    writer.write(b"GET /sleep HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    data = await reader.read()
    writer.close()
    return data.split(b"\r\n", 1)[0]


async def main(n: int) -> None:
    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    try:
        for label in ("first (pool threads start)", "second"):
            t = time.perf_counter()
            lines = await asyncio.gather(*(one(host, int(port)) for _ in range(n)))
            took = time.perf_counter() - t
            ok = sum(1 for line in lines if line.endswith(b" 200 OK"))
            print(f"{label}: {n} requests, {ok} answered 200, {took:.2f} s")
    finally:
        app.server.stop(sid, 5)


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 200))
