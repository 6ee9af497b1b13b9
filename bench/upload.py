"""Large uploads against one kiv server process: throughput, the server's memory growth
and CPU, with the body streamed by the client from a generator (never held whole).

    python3 bench/upload.py --size-gib 4 --modes length,chunked,form

Modes: `length` (raw body with Content-Length, the view reads request.stream),
`chunked` (the same body, Transfer-Encoding: chunked), `form` (multipart/form-data with
one file part, the view reads request.files, which spools it to disk). The server runs
in a child process (`--serve`), with its temporary files in a fresh folder that must be
empty afterwards. Growth is VmHWM (peak RSS) after the upload minus VmRSS before it,
from /proc/PID/status; CPU is utime + stime from /proc/PID/stat.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
BOUNDARY = "benchB0undary"


def serve(port_file: str) -> None:
    from kiv import App, request

    app = App("upload", static_folder=None)
    app.config["MAX_CONTENT_LENGTH"] = 1 << 40

    @app.route("/raw", methods=["POST"])
    def raw():
        n = 0
        stream = request.stream
        while data := stream.read(MIB):
            n += len(data)
        return {"n": n}

    @app.route("/form", methods=["POST"])
    def form():
        f = request.files["doc"]
        f.stream.seek(0, os.SEEK_END)
        return {"n": f.stream.tell(), "title": request.form["title"]}

    sid = app.server.start("127.0.0.1", 0)
    with open(port_file + ".tmp", "w") as f:
        f.write(app.server.bound_addr(sid).rsplit(":", 1)[1])
    os.rename(port_file + ".tmp", port_file)
    while True:
        time.sleep(3600)


def proc_status(pid: int) -> dict[str, int]:
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(value.split()[0]) * 1024
    return out


def cpu_secs(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pieces(size: int, piece: bytes):
    """The body, one reused buffer at a time."""
    whole, rest = divmod(size, len(piece))
    for _ in range(whole):
        yield piece
    if rest:
        yield piece[:rest]


def upload(port: int, mode: str, size: int) -> dict:
    piece = os.urandom(MIB)
    sock = socket.create_connection(("127.0.0.1", port))
    sock.settimeout(600)
    if mode == "form":
        head = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nT\r\n"
                f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"doc\"; "
                f"filename=\"d.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n").encode()
        tail = f"\r\n--{BOUNDARY}--\r\n".encode()
        sock.sendall(b"POST /form HTTP/1.1\r\nHost: b\r\nContent-Type: multipart/form-data; "
                     b"boundary=" + BOUNDARY.encode() + b"\r\nContent-Length: %d\r\n\r\n"
                     % (len(head) + size + len(tail)) + head)
    elif mode == "length":
        sock.sendall(b"POST /raw HTTP/1.1\r\nHost: b\r\nContent-Length: %d\r\n\r\n" % size)
    else:
        sock.sendall(b"POST /raw HTTP/1.1\r\nHost: b\r\nTransfer-Encoding: chunked\r\n\r\n")
    for p in pieces(size, piece):
        if mode == "chunked":
            sock.sendall(b"%x\r\n" % len(p))
            sock.sendall(p)
            sock.sendall(b"\r\n")
        else:
            sock.sendall(p)
    sock.sendall(tail if mode == "form" else b"0\r\n\r\n" if mode == "chunked" else b"")
    data = b""
    while b"\r\n\r\n" not in data or not data.rstrip().endswith(b"}"):
        more = sock.recv(65536)
        if not more:
            break
        data += more
    sock.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return {"status": head.split(b" ", 2)[1].decode(), "reply": json.loads(body)}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-gib", type=float, default=4)
    ap.add_argument("--modes", default="length,chunked,form")
    ap.add_argument("--serve", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        serve(args.serve)
        return
    size = int(args.size_gib * (1 << 30))
    spool = tempfile.mkdtemp(prefix="kiv-upload-")
    port_file = os.path.join(spool, "port")
    env = dict(os.environ, TMPDIR=spool)
    server = subprocess.Popen([sys.executable, __file__, "--serve", port_file], env=env)
    try:
        for _ in range(200):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        with open(port_file) as f:
            port = int(f.read())
        os.unlink(port_file)
        for mode in args.modes.split(","):
            before = proc_status(server.pid)
            with open(f"/proc/{server.pid}/clear_refs", "w") as f:
                f.write("5")  # peak RSS starts again from the current one
            cpu0, t0 = cpu_secs(server.pid), time.perf_counter()
            result = upload(port, mode, size)
            wall, cpu = time.perf_counter() - t0, cpu_secs(server.pid) - cpu0
            after = proc_status(server.pid)
            print(json.dumps({
                "mode": mode, "bytes": size, "status": result["status"],
                "received": result["reply"]["n"], "secs": round(wall, 2),
                "MB/s": round(size / wall / 1e6, 1),
                "rss_before_MiB": round(before["VmRSS"] / MIB, 1),
                "peak_growth_MiB": round((after["VmHWM"] - before["VmRSS"]) / MIB, 1),
                "server_cpu_s": round(cpu, 2),
                "spool_left": os.listdir(spool),
            }), flush=True)
    finally:
        server.terminate()
        server.wait(10)
        for name in os.listdir(spool):
            os.unlink(os.path.join(spool, name))
        os.rmdir(spool)


if __name__ == "__main__":
    main()
