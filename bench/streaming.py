"""Streamed bodies and large files on kiv alone:

- stream_100m: a view returns a generator of 64 KiB chunks, 100 MiB in all; curl reads it
  (chunked) and reports the transfer rate. Median of --rounds.
- sse_500: --sse clients hold a server-sent-events stream open (an event every second,
  kept with pauses, not sleeps) while one client sends 300 ordinary requests one after
  another; their latency (median and 99th percentile) is reported.
- download_1g: --clients curl processes download one 1 GiB static file at once; the
  server's resident memory is sampled throughout and its rise over the idle server is
  reported, with every client's byte count checked.

The server is pinned to CPU 0 and the clients to CPU 1 when there are two CPUs.

    python bench/streaming.py [--rounds 3] [--clients 20]
"""
from __future__ import annotations

import argparse
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

APP = '''
import os
import kiv

app = kiv.App("bench_stream", static_folder=None)
app.static("/files", os.environ["BENCH_FILES"])
CHUNK = b"x" * 65536


@app.route("/hello")
def hello():
    return "Hello, World!"


@app.route("/events")
def events():
    def ticks():
        for i in range(3600):
            yield kiv.Event(str(i), id=i)
            yield 1.0
    return kiv.event_stream(ticks())


@app.route("/stream/<int:mib>")
def stream(mib):
    def body():
        for _ in range(mib * 16):
            yield CHUNK
    return body()
'''


def pin(cpu: str) -> list[str]:
    return ["taskset", "-c", cpu] if (os.cpu_count() or 1) >= 2 else []


def proc_status(pid: int, field: str) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def rss_kib(pid: int) -> int:
    return proc_status(pid, "VmRSS")


def wait_port(port: int, proc: subprocess.Popen) -> None:
    for _ in range(200):
        if proc.poll() is not None:
            raise SystemExit(f"server exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit("server did not start")


def curl(url: str) -> subprocess.Popen:
    return subprocess.Popen(pin("1") + ["curl", "-s", "-o", "/dev/null", "-w",
                                        "%{size_download} %{speed_download}", url],
                            stdout=subprocess.PIPE, text=True)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--clients", type=int, default=20)
    p.add_argument("--sse", type=int, default=500)
    p.add_argument("--python", default=sys.executable)
    opts = p.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        files = Path(tmp) / "files"
        files.mkdir()
        with open(files / "1g.bin", "wb") as f:
            f.truncate(1 << 30)
        (Path(tmp) / "bench_stream_app.py").write_text(APP)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        env = dict(os.environ, BENCH_FILES=str(files),
                   PYTHONPATH=tmp + os.pathsep + os.environ.get("PYTHONPATH", ""))
        server = subprocess.Popen(pin("0") + [opts.python, "-m", "kiv", "run",
                                              "bench_stream_app:app", "--host", "127.0.0.1",
                                              "--port", str(port)], env=env, cwd=tmp)
        try:
            wait_port(port, server)
            base = f"http://127.0.0.1:{port}"

            rates = []
            for _ in range(opts.rounds):
                out, _ = curl(f"{base}/stream/100").communicate(timeout=120)
                size, speed = out.split()
                assert int(size) == 100 << 20, f"streamed {size} bytes"
                rates.append(float(speed) / 1e9)
            print(f"stream_100m: {statistics.median(rates):.2f} GB/s median of "
                  f"{', '.join(f'{r:.2f}' for r in rates)}")

            streams = []
            for _ in range(opts.sse):
                s = socket.create_connection(("127.0.0.1", port), timeout=10)
                s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
                streams.append(s)
            for s in streams:  # every stream has its first event before timing starts
                got = b""
                while b"data: 0" not in got:
                    chunk = s.recv(4096)
                    assert chunk, "an event stream ended early"
                    got += chunk
            with socket.create_connection(("127.0.0.1", port), timeout=10) as c:
                lat = []
                for _ in range(300):
                    t = time.perf_counter()
                    c.sendall(b"GET /hello HTTP/1.1\r\nHost: x\r\n\r\n")
                    got = b""
                    while not got.endswith(b"Hello, World!"):
                        got += c.recv(4096)
                    lat.append((time.perf_counter() - t) * 1000)
            threads = proc_status(server.pid, "Threads")
            for s in streams:
                s.close()
            lat.sort()
            print(f"sse_{opts.sse}: ordinary requests beside {opts.sse} open event streams: "
                  f"median {lat[len(lat) // 2]:.2f} ms, p99 {lat[int(len(lat) * 0.99)]:.2f} ms; "
                  f"server threads meanwhile {threads}")

            idle = rss_kib(server.pid)
            peak = [idle]
            done = threading.Event()

            def sample() -> None:
                while not done.is_set():
                    peak[0] = max(peak[0], rss_kib(server.pid))
                    time.sleep(0.02)

            sampler = threading.Thread(target=sample)
            sampler.start()
            clients = [curl(f"{base}/files/1g.bin") for _ in range(opts.clients)]
            sizes = [int(c.communicate(timeout=600)[0].split()[0]) for c in clients]
            done.set()
            sampler.join()
            assert all(s == 1 << 30 for s in sizes), sizes
            print(f"download_1g: {opts.clients} clients, RSS idle {idle / 1024:.1f} MiB, "
                  f"peak {peak[0] / 1024:.1f} MiB, rise {(peak[0] - idle) / 1024:.1f} MiB")
        finally:
            server.terminate()
            try:
                server.wait(30)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
