"""send_file and send_from_directory: bodies, headers, 304s and containment."""

import http.client
import io
import os

import pytest

from kiv import App, Response, send_file, send_from_directory
from kiv.files import FileBody


@pytest.fixture
def app(tmp_path):
    root = tmp_path / "app"
    (root / "files" / "sub").mkdir(parents=True)
    (root / "files" / "a.txt").write_text("hello")
    (root / "files" / "sub" / "b.css").write_text("p{}")
    (tmp_path / "secret.txt").write_text("secret")
    os.symlink(tmp_path / "secret.txt", root / "files" / "out.txt")
    os.symlink(root / "files" / "a.txt", root / "files" / "in.txt")
    app = App("files", root_path=str(root), static_folder="files")

    @app.route("/f/<path:name>")
    def files(name):
        return send_from_directory("files", name)

    app.add_url_rule("/s/<path:name>", "s", lambda name: app.send_static_file(name))

    @app.route("/dl")
    def dl():
        return send_file("files/a.txt", as_attachment=True, download_name="rapport é.txt",
                         max_age=60)

    @app.route("/obj")
    def obj():
        return send_file(io.BytesIO(b"\x00\x01"), mimetype="application/x-thing")

    return app


@pytest.mark.parametrize("url, status, body, ctype", [
    ("/f/a.txt", 200, b"hello", "text/plain; charset=utf-8"),
    ("/f/sub/b.css", 200, b"p{}", "text/css; charset=utf-8"),
    ("/f/in.txt", 200, b"hello", "text/plain; charset=utf-8"),  # a symlink that stays inside
    ("/f/../secret.txt", 404, None, None),
    ("/f/sub/../../secret.txt", 404, None, None),
    ("/f/..%2Fsecret.txt", 404, None, None),
    ("/f/sub%2F..%2F..%2Fsecret.txt", 404, None, None),
    ("/f/..%5Csecret.txt", 404, None, None),
    ("/f/out.txt", 404, None, None),  # a symlink out of the folder
    ("/f/a.txt%00.png", 404, None, None),
    ("/f/sub", 404, None, None),
    ("/f/missing", 404, None, None),
])
@pytest.mark.parametrize("view", ["/f/", "/s/"])  # send_from_directory, send_static_file
def test_send_from_directory_stays_inside(app, view, url, status, body, ctype):
    r = app.test_client().get(url.replace("/f/", view, 1))
    assert r.status_code == status
    if status == 200:
        assert (r.data, r.headers["Content-Type"]) == (body, ctype)


def test_attachment_headers_and_object_bodies(app):
    c = app.test_client()
    r = c.get("/dl")
    assert r.data == b"hello"
    assert r.headers["Content-Disposition"] == (
        "attachment; filename=\"rapport .txt\"; filename*=UTF-8''rapport%20%C3%A9.txt")
    assert r.headers["Cache-Control"] == "public, max-age=60"
    r = c.get("/obj")
    assert (r.data, r.headers["Content-Type"], r.headers.get("ETag")) == (
        b"\x00\x01", "application/x-thing", None)


@pytest.mark.parametrize("headers, status", [
    (lambda r: {"If-None-Match": r.headers["ETag"]}, 304),
    (lambda r: {"If-None-Match": 'W/"x", ' + r.headers["ETag"]}, 304),
    (lambda r: {"If-None-Match": '"other"'}, 200),
    (lambda r: {"If-Modified-Since": r.headers["Last-Modified"]}, 304),
    (lambda r: {"If-Modified-Since": "Mon, 01 Jan 1990 00:00:00 GMT"}, 200),
    # If-None-Match decides when both are sent.
    (lambda r: {"If-None-Match": '"other"', "If-Modified-Since": r.headers["Last-Modified"]}, 200),
])
def test_conditional_requests(app, headers, status):
    c = app.test_client()
    first = c.get("/f/a.txt")
    r = c.get("/f/a.txt", headers=headers(first))
    assert r.status_code == status
    assert r.data == (b"" if status == 304 else b"hello")
    assert r.headers["ETag"] == first.headers["ETag"]


def test_etag_changes_when_the_file_does(app):
    c = app.test_client()
    first = c.get("/f/a.txt").headers["ETag"]
    path = os.path.join(app.root_path, "files", "a.txt")
    with open(path, "w") as f:
        f.write("hello again")
    os.utime(path, ns=(0, os.stat(path).st_mtime_ns + 10**9))
    r = c.get("/f/a.txt", headers={"If-None-Match": first})
    assert (r.status_code, r.data) == (200, b"hello again")


BIG = bytes(range(256)) * 300  # above the size sent from the descriptor


@pytest.fixture(scope="module")
def bodies(tmp_path_factory):
    path = tmp_path_factory.mktemp("bodies") / "big.bin"
    path.write_bytes(BIG)
    app = App("bodies")

    def opened(*args):
        with open(path, "rb") as f:
            return FileBody(f, *args)

    app.route("/bare")(opened)
    app.route("/tuple")(lambda: (opened(10, 20), 206, {"X-A": "1"}))

    @app.route("/read/<kind>")
    def read(kind):
        # Reading the body before it is sent must leave it whole for the server.
        resp = Response(opened() if kind == "file" else (c for c in ["ab", b"", b"cd"]))
        resp.headers["X-Len"] = str(len(resp.data))
        return resp

    sid = app.server.start("127.0.0.1", 0)
    host, port = app.server.bound_addr(sid).rsplit(":", 1)
    yield app, (host, int(port))
    app.server.stop(sid, 5)


@pytest.mark.parametrize("via", ["client", "wire"])
@pytest.mark.parametrize("path, status, body, header", [
    ("/bare", 200, BIG, ("Content-Type", "application/octet-stream")),
    ("/tuple", 206, BIG[10:30], ("X-A", "1")),
    ("/read/file", 200, BIG, ("X-Len", str(len(BIG)))),
    ("/read/gen", 200, b"abcd", ("X-Len", "4")),
])
def test_file_and_streamed_bodies_from_views(bodies, via, path, status, body, header):
    app, addr = bodies
    if via == "client":
        r = app.test_client().get(path)
        got = (r.status_code, r.data, r.headers.get(header[0]))
    else:
        conn = http.client.HTTPConnection(*addr, timeout=10)
        conn.request("GET", path)
        r = conn.getresponse()
        got = (r.status, r.read(), r.getheader(header[0]))
        conn.close()
    assert got == (status, body, header[1])
