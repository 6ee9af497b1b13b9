"""Real ASGI applications (FastAPI, Starlette, Quart, Litestar) served by kiv over loopback:
at the root through `python -m kiv run --interface asgi`, and mounted under /api of a kiv
app (root_path)."""

import json
import os
import re
import signal
import subprocess
import sys
import urllib.error
import urllib.request
from pathlib import Path

import pytest

from kiv import App

pytest.importorskip("fastapi")
pytest.importorskip("quart")
pytest.importorskip("litestar")

import asgi_apps  # noqa: E402  (tests/ is on sys.path)

TESTS = Path(__file__).resolve().parent
FRAMEWORKS = sorted(asgi_apps.MAKERS)


def fetch(base, path, body=None):
    req = urllib.request.Request(base + path, data=body, method="POST" if body else "GET",
                                 headers={"Content-Type": "application/json"} if body else {})
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.headers.get("Transfer-Encoding"), r.read()
    except urllib.error.HTTPError as e:
        return e.code, None, e.read()


@pytest.fixture(scope="module", params=FRAMEWORKS)
def served(request):
    """(framework, base URL): the app at the root of `python -m kiv run --interface asgi`."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen([sys.executable, "-m", "kiv", "run", "--interface", "asgi",
                             "--port", "0", f"asgi_apps:{request.param}_app"],
                            cwd=TESTS, env=env, stdout=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        line = proc.stdout.readline()
        m = re.search(r"http://[\d.]+:\d+", line)
        assert m, f"no banner: {line!r}"
        yield request.param, m.group(0)
    finally:
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(15) == 0  # lifespan shutdown and drain finished cleanly


CASES = [
    # (path, JSON body, status, expected JSON or text)
    ("/items/3", {"name": "pen", "price": 1.5}, 200, {"id": 3, "name": "pen", "total": 3.0}),
    ("/dep", None, 200, {"dep": 7}),
    ("/state", None, 200, {"db": "ready"}),
    ("/stream", None, 200, "0\n1\n2\n"),
]


@pytest.mark.parametrize("path, body, status, expected", CASES)
def test_frameworks_served_at_the_root(served, path, body, status, expected):
    _, base = served
    got_status, coding, raw = fetch(base, path, json.dumps(body).encode() if body else None)
    assert got_status == status
    if isinstance(expected, str):
        assert coding == "chunked"  # streamed, not gathered first
        assert raw.decode() == expected
    else:
        assert json.loads(raw) == expected


def test_invalid_model_and_missing_route(served):
    _, base = served
    assert fetch(base, "/items/3", b'{"name": 1}')[0] in (400, 422)
    assert fetch(base, "/missing")[0] == 404


@pytest.fixture(scope="module")
def mounted():
    """Every framework under /<name>/api of one kiv app, lifespans started."""
    app = App("host")

    @app.route("/")
    def index():
        return "kiv"

    for name, make in asgi_apps.MAKERS.items():
        app.mount_asgi(f"/{name}/api", make())
    for host in app._asgi_mounts:
        host.startup()
    sid = app.server.start("127.0.0.1", 0)
    try:
        yield "http://" + app.server.bound_addr(sid)
    finally:
        app.server.stop(sid, 5)
        for host in app._asgi_mounts:
            host.shutdown()


@pytest.mark.parametrize("name", FRAMEWORKS)
def test_mounted_under_a_prefix(mounted, name):
    prefix = f"/{name}/api"
    status, _, raw = fetch(mounted, prefix + "/where?x=1")
    assert status == 200
    assert json.loads(raw) == {"root_path": prefix, "path": prefix + "/where"}
    assert json.loads(fetch(mounted, prefix + "/state")[2]) == {"db": "ready"}
    assert fetch(mounted, prefix + "/stream")[2] == b"0\n1\n2\n"
    assert fetch(mounted, "/")[2] == b"kiv"  # the kiv app's own rules still answer


def test_failed_lifespan_startup_stops_the_server():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-m", "kiv", "run", "--interface", "asgi",
                           "--port", "0", "asgi_apps:failing_app"], cwd=TESTS, env=env,
                          capture_output=True, text=True, timeout=30)
    assert done.returncode != 0
    assert "ASGI lifespan startup failed" in done.stderr and "no database" in done.stderr
    assert "kiv serving" not in done.stdout


async def _digest_app(scope, receive, send):
    """Answers the SHA-256 of the request body and the number of messages it came in."""
    import hashlib
    h, messages = hashlib.sha256(), 0
    while True:
        message = await receive()
        assert message["type"] == "http.request"
        h.update(message["body"])
        messages += 1
        if not message.get("more_body"):
            break
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": f"{h.hexdigest()} {messages}".encode()})


@pytest.mark.parametrize("size", [10, 3 << 20])
def test_request_body_reaches_the_application_whole(size):
    import hashlib
    import http.client
    app = App("host")
    app.mount_asgi("/d", _digest_app)
    sid = app.server.start("127.0.0.1", 0)
    try:
        body = os.urandom(size)
        conn = http.client.HTTPConnection(*app.server.bound_addr(sid).split(":"), timeout=10)
        conn.request("POST", "/d", body=body)
        digest, messages = conn.getresponse().read().decode().split()
        assert digest == hashlib.sha256(body).hexdigest()
        assert (int(messages) > 1) == (size > 1 << 20)  # a large body arrives in pieces
    finally:
        app.server.stop(sid, 5)


@pytest.mark.parametrize("size", [0, 10, 64 << 10, (64 << 10) + 1, 200 << 10])
def test_whole_body_given_in_order_then_disconnect(size):
    import asyncio

    from kiv.asgihost import _Exchange

    async def drain():
        exchange = _Exchange(body, None)
        exchange.finished = True  # the response went out: receive() then says disconnect
        messages = [await exchange.receive()]
        while messages[-1]["more_body"]:
            messages.append(await exchange.receive())
        return messages, await exchange.receive()

    body = os.urandom(size)
    messages, after = asyncio.run(drain())
    assert b"".join(m["body"] for m in messages) == body
    assert len(messages) == max(1, -(-size // (64 << 10)))
    assert after == {"type": "http.disconnect"}


@pytest.mark.parametrize("host, server", [
    (b"example.com:8080", ("example.com", 8080)), (b"example.com", ("example.com", 80)),
    (b"[::1]:9000", ("::1", 9000)), (b"[::1]", ("::1", 80)), (b"::1", ("::1", 80)),
])
def test_scope_server_from_host_header(host, server):
    from kiv.asgihost import _host_port
    assert _host_port(host) == server
    assert _host_port(host) == server  # and again, once remembered


async def raw_app(scope, receive, send):
    """A bare ASGI application: its scope as JSON, with response headers in the forms
    ASGI allows (tuples or lists of bytes), whole or streamed, or an unsafe one."""
    if scope["type"] != "http":
        return
    await receive()
    kind = scope["path"].rsplit("/", 1)[-1]
    body = json.dumps({"server": scope["server"], "scheme": scope["scheme"]}).encode()
    headers = [(b"content-type", b"application/json"), [b"x-raw", b"caf\xe9"]]
    if kind == "bad":
        headers.append((b"x-bad", b"a\r\nInjected: yes"))
    await send({"type": "http.response.start", "status": 201, "headers": headers})
    if kind == "stream":
        for i in range(0, len(body), 7):
            await send({"type": "http.response.body", "body": body[i:i + 7], "more_body": True})
        body = b""
    await send({"type": "http.response.body", "body": body})


@pytest.mark.parametrize("path, sent, status, chunked", [
    ("/raw/whole", {"Host": "example.com:8080"}, 201, False),
    ("/raw/stream", {"Host": "example.com:8080"}, 201, True),
    ("/raw/whole", {"Host": "example.com", "X-Forwarded-Proto": "https"}, 201, False),
    ("/raw/bad", {"Host": "example.com"}, 500, False),
])
def test_raw_application_scope_and_response_headers(path, sent, status, chunked):
    import http.client

    app = App("raw")
    app.mount_asgi("/raw", raw_app)
    sid = app.server.start("127.0.0.1", 0)
    try:
        host, port = app.server.bound_addr(sid).rsplit(":", 1)
        conn = http.client.HTTPConnection(host, int(port), timeout=10)
        conn.request("GET", path, headers=sent)
        r = conn.getresponse()
        body = r.read()
        conn.close()
    finally:
        app.server.stop(sid, 5)
    assert r.status == status
    if status != 201:
        assert r.getheader("Injected") is None
        return
    assert (r.getheader("Transfer-Encoding") == "chunked") == chunked
    assert r.getheader("X-Raw") == "caf\xe9"  # the application's bytes, as they are
    name, _, port = sent["Host"].partition(":")
    proto = sent.get("X-Forwarded-Proto", "http")
    assert json.loads(body) == {"server": [name, int(port or 80)], "scheme": proto}
