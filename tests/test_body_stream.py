"""Request bodies streamed to the view as it reads them: memory stays flat, 100 Continue
only when the body is wanted, unread bodies, and the body deadline."""

import contextlib
import hashlib
import socket
import threading

import pytest

from kiv import App, request
from test_wire import Client

MIB = 1 << 20
BOUNDARY = "streamB0und"


@contextlib.contextmanager
def served(app, **start):
    sid = app.server.start("127.0.0.1", 0, **start)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    try:
        yield host, int(port)
    finally:
        app.server.stop(sid, 5)


def make_app():
    app = App("bodies", static_folder=None)
    app.config["MAX_CONTENT_LENGTH"] = 1 << 30

    @app.route("/raw", methods=["POST"])
    def raw():
        h, n = hashlib.sha256(), 0
        while data := request.stream.read(MIB):
            h.update(data)
            n += len(data)
        return {"n": n, "sha": h.hexdigest()}

    @app.route("/form", methods=["POST"])
    def form():
        f = request.files["doc"]
        h, n = hashlib.sha256(), 0
        while data := f.read(MIB):
            h.update(data)
            n += len(data)
        return {"n": n, "sha": h.hexdigest(), "title": request.form["title"]}

    @app.route("/ignore", methods=["POST"])
    def ignore():
        return "ignored"

    @app.route("/urlencoded", methods=["POST"])
    def urlencoded():
        return {"a": len(request.form["a"])}

    return app


def peak_rss_reset():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current RSS


def peak_rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM")


def send_stream(sock, kind, size, piece=b"\x5a" * MIB):
    """Sends a body of `size` bytes from one reused buffer; returns its sha256."""
    h = hashlib.sha256()
    if kind == "form":
        head = (f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nT\r\n"
                f"--{BOUNDARY}\r\nContent-Disposition: form-data; name=\"doc\"; "
                f"filename=\"d.bin\"\r\n\r\n").encode()
        tail = f"\r\n--{BOUNDARY}--\r\n".encode()
        sock.sendall(b"POST /form HTTP/1.1\r\nContent-Type: multipart/form-data; boundary="
                     + BOUNDARY.encode() + b"\r\nContent-Length: %d\r\n\r\n"
                     % (len(head) + size + len(tail)) + head)
    elif kind == "length":
        sock.sendall(b"POST /raw HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % size)
    else:
        sock.sendall(b"POST /raw HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n")
    for _ in range(size // len(piece)):
        h.update(piece)
        sock.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if kind == "chunked" else piece)
    sock.sendall(tail if kind == "form" else b"0\r\n\r\n" if kind == "chunked" else b"")
    return h.hexdigest()


@pytest.mark.parametrize("kind", ["length", "chunked", "form"])
def test_large_upload_keeps_memory_flat(kind, tmp_path, monkeypatch):
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    size = 128 * MIB
    with served(make_app()) as addr:
        c = Client(addr)
        c.sock.settimeout(60)
        peak_rss_reset()
        before = peak_rss()
        sha = send_stream(c.sock, kind, size)
        r = c.response()
        growth = peak_rss() - before
        assert r.status == 200
        assert (r.json()["n"], r.json()["sha"]) == (size, sha)
        assert growth < 32 * MIB, growth
        c.close()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("path, wanted", [("/raw", True), ("/ignore", False)])
def test_100_continue_only_when_the_view_reads(path, wanted):
    with served(make_app()) as addr:
        c = Client(addr)
        c.send(f"POST {path} HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n"
               .encode())
        first = c.response()
        if wanted:
            assert first.status == 100
            c.send(b"hello")
            assert c.response().json()["n"] == 5
        else:
            # Answered without asking for the body; the body may or may not follow, so
            # the connection cannot carry another request.
            assert (first.status, first.body) == (200, b"ignored")
            assert first.header("Connection") == "close"
        c.close()


@pytest.mark.parametrize("size, kept", [(200_000, True), (4 * MIB, False)])
def test_unread_body_is_drained_or_closes(size, kept):
    with served(make_app()) as addr:
        c = Client(addr)
        c.sock.settimeout(30)
        c.send(b"POST /ignore HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % size)
        sender = threading.Thread(target=lambda: _send_quietly(c.sock, b"q" * size + (
            b"POST /raw HTTP/1.1\r\nContent-Length: 2\r\n\r\nok")))
        sender.start()
        r = c.response()
        assert r.body == b"ignored"
        if kept:
            assert c.response().json()["n"] == 2  # the pipelined request after the body
        else:
            assert r.header("Connection") == "close"
        sender.join(30)
        c.close()


def _send_quietly(sock, data):
    with contextlib.suppress(OSError):
        sock.sendall(data)


@pytest.mark.parametrize("length, sent", [(100, b"abc"), (4 * MIB, b"x" * 70000)])
def test_trickled_body_gets_408_and_close(length, sent):
    with served(make_app(), body_timeout=1, body_min_rate=0) as addr:
        c = Client(addr)
        c.sock.settimeout(15)  # bounded: the sweeper cuts within a few seconds
        c.send(b"POST /raw HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % length + sent)
        r = c.response()
        assert r.status == 408
        assert c.rest_until_close() == b""
        c.close()


@pytest.mark.parametrize("size, status", [(1000, 200), (600_000, 413)])
def test_streamed_urlencoded_form_keeps_its_memory_limit(size, status):
    with served(make_app()) as addr:
        c = Client(addr)
        body = b"a=" + b"v" * size
        c.send(b"POST /urlencoded HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded"
               b"\r\nTransfer-Encoding: chunked\r\n\r\n%x\r\n%s\r\n0\r\n\r\n" % (len(body), body))
        assert c.response().status == status
        c.close()
