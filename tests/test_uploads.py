"""Uploads: multipart bodies into request.form and request.files, spooling, limits, cleanup."""

import io
import os
import tempfile

import pytest

from kiv import App, request
from kiv.formparser import SPOOL_SIZE, encode_multipart, parse_multipart, secure_filename


@pytest.fixture
def spool_dir(tmp_path, monkeypatch):
    folder = tmp_path / "spool"
    folder.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(folder))
    return folder


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def app():
    app = App("uploads")
    app.seen = []

    @app.route("/up", methods=["POST"])
    def up():
        f = request.files["doc"]
        app.seen.append(f)
        out = io.BytesIO()
        f.save(out)
        return {"title": request.form["title"], "tags": request.form.getlist("tag"),
                "name": f.filename, "field": f.name, "type": f.mimetype, "size": len(out.getvalue()),
                "on_disk": not isinstance(f.stream, io.BytesIO), "same": out.getvalue() == app.sent}

    @app.route("/boom", methods=["POST"])
    def boom():
        app.seen.append(request.files["doc"])
        raise RuntimeError("after reading the upload")

    return app


@pytest.mark.parametrize("size, on_disk", [(10, False), (512 * 1024, False),
                                           (512 * 1024 + 1, True), (3 * 1024 * 1024, True)])
def test_upload_through_test_client(app, spool_dir, size, on_disk):
    app.sent = os.urandom(size)
    r = app.test_client().post("/up", data={
        "title": "héllo", "tag": ["a", "b"], "doc": (io.BytesIO(app.sent), "r.png", "image/png")})
    assert r.status_code == 200
    assert r.json == {"title": "héllo", "tags": ["a", "b"], "name": "r.png", "field": "doc",
                      "type": "image/png", "size": size, "on_disk": on_disk, "same": True}
    assert app.seen[-1].stream.closed
    assert list(spool_dir.iterdir()) == []


def test_save_to_path(app, tmp_path):
    app.sent = b"x" * 100

    @app.route("/save", methods=["POST"])
    def save():
        request.files["doc"].save(tmp_path / "out.bin")
        return "ok"

    assert app.test_client().post("/save", data={"doc": (io.BytesIO(app.sent), "a")}).text == "ok"
    assert (tmp_path / "out.bin").read_bytes() == app.sent


def test_files_closed_when_the_view_raises(app, spool_dir):
    before = open_fds()
    r = app.test_client().post("/boom", data={"doc": (io.BytesIO(b"z" * (600 * 1024)), "z")})
    assert r.status_code == 500
    assert app.seen[-1].stream.closed
    assert open_fds() == before


def _body(parts, boundary="B0UND"):
    return "".join(f"--{boundary}\r\nContent-Disposition: form-data; name=\"{n}\"{fn}\r\n\r\n{v}\r\n"
                   for n, fn, v in parts).encode() + f"--{boundary}--\r\n".encode()


BIG = ("doc", '; filename="big.bin"', "y" * (700 * 1024))
GOOD = _body([("title", "", "t"), BIG])


@pytest.mark.parametrize("ctype, body, status", [
    ("multipart/form-data", GOOD, 400),  # no boundary
    ("multipart/form-data; boundary=B0UND", GOOD[:-20], 400),  # cut short
    ("multipart/form-data; boundary=B0UND", GOOD.replace(b"\r\n", b"\n"), 400),
    ("multipart/form-data; boundary=B0UND",
     _body([BIG, ("x", "", "1"), ("y", "", "2"), ("z", "", "3")]), 413),  # parts limit
    ("multipart/form-data; boundary=B0UND", _body([BIG, ("title", "", "t" * 100)]), 413),
    ("multipart/form-data; boundary=B0UND",
     b"--B0UND\r\nX: " + b"h" * 20000 + b"\r\n\r\nv\r\n--B0UND--\r\n", 400),
])
def test_bad_bodies_answer_400_or_413_and_leave_nothing(app, spool_dir, ctype, body, status):
    app.config.update(MAX_FORM_PARTS=3, MAX_FORM_MEMORY_SIZE=50)
    app.sent = b""
    client = app.test_client()
    before = open_fds()
    r = client.post("/up", data=body, headers={"Content-Type": ctype})
    assert r.status_code == status
    assert open_fds() == before
    assert list(spool_dir.iterdir()) == []


def test_encoder_and_parser_agree_on_odd_names(app):
    body, ctype = encode_multipart({'a"b': "1", "f": (io.BytesIO(b"\r\n--x\r\n"), 'q"uote.txt')})

    @app.route("/echo", methods=["POST"])
    def echo():
        f = request.files['f']
        return {"form": dict(request.form), "file": [f.filename, f.read().decode()]}

    r = app.test_client().post("/echo", data=body, headers={"Content-Type": ctype})
    assert r.json == {"form": {'a"b': "1"}, "file": ['q"uote.txt', "\r\n--x\r\n"]}


@pytest.mark.parametrize("name, safe", [
    ("My cool movie.mov", "My_cool_movie.mov"),
    ("../../../etc/passwd", "etc_passwd"),
    ("..\\..\\windows\\x.ini", "windows_x.ini"),
    ("i contain cool \xfcml\xe4uts.txt", "i_contain_cool_umlauts.txt"),
    ("NUL.txt", "_NUL.txt"),
    ("...", ""),
    ("a\x00b.txt", "ab.txt"),
])
def test_secure_filename(name, safe):
    assert secure_filename(name) == safe


@pytest.mark.parametrize("size", [SPOOL_SIZE - 2, SPOOL_SIZE + 1, 3 * SPOOL_SIZE + 5])
@pytest.mark.parametrize("cut, step", [(c, s) for c in (-1, 0, 1, 3, 9, 12) for s in (4093, 1 << 20)])
def test_streamed_parts_survive_any_split(size, cut, step):  # reads of step, one ending at cut
    content = ((b"\r\n--B0UNX\r" + bytes(range(256))) * (size // 256 + 1))[:size]  # near-misses
    body = _body([("a", "", "1"), ("f", '; filename="f"', "@"), ("b", "", "2")]).replace(b"@", content)
    stream, reads = io.BytesIO(body), iter([(body.index(content) + size + cut) % step or step])
    stream.length, read = len(body), stream.read
    stream.read = lambda n: read(min(n, next(reads, step)))
    fields, files = parse_multipart(stream, "B0UND", 10, 1000)
    assert (fields, [(name, f.read(), isinstance(f.stream, io.BytesIO)) for name, f in files]) == \
        ([("a", "1"), ("b", "2")], [("f", content, size <= SPOOL_SIZE)])
    files[0][1].close()
