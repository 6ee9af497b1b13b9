"""Streamed response bodies over real sockets: framing per protocol and method, a body
that fails, a client that goes away or stops reading, and server-sent events."""

import socket
import threading

import pytest

from kiv import App, Event, Response, event_stream, g, request, stream_with_context, url_for

CLOSES = []  # one entry per close() of a body, with the path it served


class Body:
    """An iterable (not an iterator) with its own close(), like a file wrapper."""

    def __init__(self, name, chunks, fail=False):
        self.name, self.chunks, self.fail = name, chunks, fail

    def __iter__(self):
        yield from self.chunks
        if self.fail:
            raise RuntimeError("body failed halfway")

    def close(self):
        CLOSES.append(self.name)


@pytest.fixture(scope="module")
def addr():
    app = App("stream")
    gone = threading.Event()
    produced = [0]

    @app.route("/gen")
    def gen():
        def chunks():
            yield "ab"
            yield b""
            yield bytearray(b"cde")
        return chunks()

    @app.route("/resp")
    def resp():
        return Response(Body("resp", [b"ab", "cde"]), 201, {"X-A": "1"})

    @app.route("/sized")
    def sized():
        return Response(Body("sized", [b"abc", b"defgh"]), headers={"Content-Length": "5"})

    @app.route("/tuple")
    def tup():
        return (c for c in ["ab", "cde"]), 202, {"X-T": "1"}

    @app.route("/fail")
    def fail():
        return Response(Body("fail", [b"ab", b"cde"], fail=True))

    @app.route("/endless")
    def endless():
        def chunks():
            try:
                while True:
                    produced[0] += 4096
                    yield b"x" * 4096
            finally:
                gone.set()
        return chunks()

    @app.route("/events")
    def events():
        return event_stream([Event("a\nb", event="t", id=7), 0.05, "c"], keepalive=0.02,
                            retry=1000)

    def pieces(tag):
        try:
            yield f"{tag}:{request.args['x']}:{g.user}:{url_for('gen')}"
        finally:
            CLOSES.append(f"{tag} {request.path}")

    for path, wrap in (("/ctx", lambda: stream_with_context(pieces("ctx"))),
                       ("/ctx-deco", lambda: stream_with_context(pieces)("ctx-deco")),
                       ("/noctx", lambda: pieces("noctx"))):
        app.add_url_rule(path, path, lambda wrap=wrap: setattr(g, "user", "ann") or wrap())

    @app.route("/nocontent")
    def nocontent():
        return "dropped", 204

    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    yield (host, int(port)), gone, produced, app
    app.server.stop(sid, 5)


def exchange(addr, raw):
    with socket.create_connection(addr, timeout=10) as s:
        s.sendall(raw)
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return head.decode(), body


CLOSE = "Connection: close\r\n"


@pytest.mark.parametrize("path,req,status,framing,body", [
    ("/gen", "GET {} HTTP/1.1\r\n" + CLOSE, 200, "Transfer-Encoding: chunked",
     b"5\r\nabcde\r\n0\r\n\r\n"),
    ("/gen", "HEAD {} HTTP/1.1\r\n" + CLOSE, 200, "Transfer-Encoding: chunked", b""),
    ("/gen", "GET {} HTTP/1.0\r\n", 200, "Connection: close", b"abcde"),
    ("/resp", "GET {} HTTP/1.1\r\n" + CLOSE, 201, "X-A: 1", b"5\r\nabcde\r\n0\r\n\r\n"),
    ("/sized", "GET {} HTTP/1.1\r\n" + CLOSE, 200, "Content-Length: 5", b"abcde"),
    ("/sized", "GET {} HTTP/1.0\r\n", 200, "Content-Length: 5", b"abcde"),
    ("/tuple", "GET {} HTTP/1.0\r\n", 202, "X-T: 1", b"abcde"),
    ("/nocontent", "GET {} HTTP/1.1\r\n" + CLOSE, 204, "", b""),
])
def test_framing(addr, path, req, status, framing, body):
    head, got = exchange(addr[0], (req.format(path) + "\r\n").encode())
    assert head.startswith(f"HTTP/1.1 {status} ")
    assert framing in head
    assert got == body
    if status == 204:
        assert "Content-Length" not in head and "Transfer-Encoding" not in head


@pytest.mark.parametrize("name,keep", [("resp", True), ("sized", True), ("fail", False)])
def test_body_closed_once_and_failure_cuts(addr, capfd, name, keep):
    before = CLOSES.count(name)
    with socket.create_connection(addr[0], timeout=10) as s:
        s.sendall(f"GET /{name} HTTP/1.1\r\n\r\nGET /gen HTTP/1.1\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
            if data.endswith(b"0\r\n\r\n") and data.count(b"HTTP/1.1 20") == 2:
                break
    # A failed body is not followed by its last chunk, nor by the next answer.
    assert data.count(b"HTTP/1.1 20") == (2 if keep else 1)
    if not keep:
        assert data.endswith(b"5\r\nabcde") and "body failed halfway" in capfd.readouterr().err
    assert CLOSES.count(name) == before + 1


@pytest.mark.parametrize("path", ["/ctx", "/ctx-deco", "/noctx"])
def test_streamed_body_with_the_request_context(addr, capfd, path):
    head, got = exchange(addr[0], f"GET {path}?x=5 HTTP/1.0\r\n\r\n".encode())
    assert head.startswith("HTTP/1.1 200 ")
    if path == "/noctx":  # no request once the view has returned: the answer is cut
        assert got == b"" and "outside of request context" in capfd.readouterr().err
    else:  # close() runs with the request too, on whichever thread ends the stream
        assert (got, CLOSES[-1]) == (f"{path[1:]}:5:ann:/gen".encode(), f"{path[1:]} {path}")


def test_client_that_goes_away_or_stops_reading(addr):
    server, gone, produced, _ = addr
    with socket.create_connection(server, timeout=10) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16)
        s.sendall(b"GET /endless HTTP/1.1\r\n\r\n")
        received = 0
        for _ in range(200):
            received += len(s.recv(4096))
            # Produced but unread stays within the socket buffers and one read-ahead,
            # however slowly this client reads.
            assert produced[0] - received < 8 << 20
    assert gone.wait(10)  # the generator was closed when the client left


def test_server_sent_events(addr):
    head, body = exchange(addr[0], b"GET /events HTTP/1.0\r\n\r\n")
    assert "Content-Type: text/event-stream" in head
    assert body == (b"retry: 1000\n\nevent: t\nid: 7\ndata: a\ndata: b\n\n"
                    b": keep-alive\n\n: keep-alive\n\ndata: c\n\n")


@pytest.mark.parametrize("method,path,body", [
    ("GET", "/gen", b"abcde"), ("HEAD", "/gen", b""), ("GET", "/sized", b"abcde"),
    ("GET", "/fail", RuntimeError),
])
def test_test_client_reads_streamed_bodies(addr, method, path, body):
    client = addr[3].test_client()
    if body is RuntimeError:
        with pytest.raises(RuntimeError):
            client.open(path, method)
    else:
        assert client.open(path, method).data == body
