"""Routing, redirects and Host checks as a client on a real socket sees them."""

import socket

import pytest

from conftest import make_server

RULES = ["/u/<int:id>", "/u/<int:uid>/posts", "/v/<any(docs,blog):s>", "/v/<any(admin):s>/delete",
         "/caf\u00e9", "/ok", "/d\u00e9j\u00e0/"]


@pytest.fixture(scope="module")
def addr():
    server = make_server()
    for i, rule in enumerate(RULES):
        server.add_rule(rule, ["GET"], lambda _i=i, **kw: f"{_i} {kw!r}", str(i), True)
    sid = server.start("127.0.0.1", 0)
    yield socket.getaddrinfo(*server.bound_addr(sid).rsplit(":", 1))[0][4]
    server.stop(sid)


def exchange(addr, host, target, follower=b""):
    """Sends one request (and a follower); answers (status, headers, body) per response."""
    with socket.create_connection(addr, timeout=5) as sock:
        sock.sendall(f"GET {target} HTTP/1.1\r\n{host}\r\n".encode() + follower)
        reader, out = sock.makefile("rb"), []
        while status := reader.readline():
            lines = iter(reader.readline, b"\r\n")
            headers = dict(line.decode().rstrip().split(": ", 1) for line in lines)
            body = reader.read(int(headers.get("Content-Length", 0))).decode()
            out.append((int(status.split()[1]), headers, body))
            if headers.get("Connection") == "close":
                return out + [(reader.read(),)]  # what follows a closing answer: nothing
            if len(out) == 1 + bool(follower):
                return out


@pytest.mark.parametrize("target,status,want", [
    ("/u/5", 200, "0 {'id': 5}"), ("/u/7/posts", 200, "1 {'uid': 7}"),
    ("/u/" + "9" * 30, 200, "0 {'id': " + "9" * 30 + "}"),  # beyond 64 bits, still an int
    ("/v/docs", 200, "2 {'s': 'docs'}"), ("/v/docs/delete", 404, ""),
    ("/v/admin/delete", 200, "3 {'s': 'admin'}"), ("/caf%C3%A9", 200, "4 {}"),
    ("/u%2F5", 404, ""), ("/d%C3%A9j%C3%A0?x", 308, "/d%C3%A9j%C3%A0/?x"),
    ("/ok/?next=\\x", 308, "/ok?next=%5Cx"), ("/ok//?a=/\\\\b", 308, "/ok/?a=/%5C%5Cb"),
])
def test_routes_and_redirects(addr, target, status, want):
    got, headers, body = exchange(addr, "Host: t\r\n", target)[0]
    assert (got, {200: body, 308: headers.get("Location"), 404: ""}[status]) == (status, want)


@pytest.mark.parametrize("host,status", [
    ("", 200), ("Host: [::1]:80\r\n", 200), ("HOST: a%41.b:\r\n", 200), ("Host:\r\n", 200),
    ("Host: a\r\nhost: a\r\n", 400), ("Host: a b\r\n", 400), ("Host: u@a\r\n", 400),
    ("Host: [::1]x\r\n", 400),
])
def test_host_line(addr, host, status):
    answers = exchange(addr, host, "/ok", b"GET /ok HTTP/1.1\r\n\r\n")
    # A refused request closes the connection; the follower is never answered.
    assert [a[0] for a in answers] == ([200, 200] if status == 200 else [400, b""])
