"""The Python framework layer through its test client."""

import importlib
import json
import os
import subprocess
import sys
import uuid

import pytest

from kiv import App, Response, abort, jsonify, redirect, request


@pytest.fixture
def app(tmp_path):
    app = App("t")
    (tmp_path / "hello.txt").write_text("static hello")
    app.static("/files", tmp_path)

    @app.route("/")
    def index():
        return "home"

    @app.route("/users/<int:uid>", methods=["GET", "DELETE"])
    def user(uid):
        return {"uid": uid, "method": request.method}

    @app.route("/search")
    def search():
        return {"q": request.args.get("q"), "all": request.args.getlist("q")}

    @app.route("/echo", methods=["POST"])
    def echo():
        return jsonify(json=request.get_json(silent=True), form=dict(request.form),
                       agent=request.headers.get("user-agent"))

    @app.route("/obj/<uuid:key>")
    def obj(key):
        return {"key": str(key), "is_uuid": isinstance(key, uuid.UUID)}

    @app.route("/teapot")
    def teapot():
        abort(403, "no tea")

    @app.route("/custom")
    def custom():
        return Response(b"raw", 202, {"X-Custom": "1"}, content_type="text/plain")

    @app.route("/go")
    def go():
        return redirect("/")

    @app.route("/boom")
    def boom():
        raise RuntimeError("kaboom")

    return app


def test_basic_routes(app):
    c = app.test_client()
    assert c.get("/").text == "home"
    r = c.get("/users/7")
    assert r.status_code == 200 and r.json == {"uid": 7, "method": "GET"}
    assert c.delete("/users/7").json["method"] == "DELETE"
    assert c.get("/search?q=a&q=b+c").json == {"q": "a", "all": ["a", "b c"]}
    key = "123e4567-e89b-12d3-a456-426614174000"
    assert c.get(f"/obj/{key}").json == {"key": key, "is_uuid": True}


def test_request_bodies(app):
    c = app.test_client()
    r = c.post("/echo", json={"a": 1}, headers={"User-Agent": "t/1"})
    assert r.json == {"json": {"a": 1}, "form": {}, "agent": "t/1"}
    r = c.post("/echo", data={"name": "x y", "n": "1"})
    assert r.json["form"] == {"name": "x y", "n": "1"} and r.json["json"] is None


def test_error_pages(app):
    c = app.test_client()
    r = c.get("/missing")
    assert r.status_code == 404 and "<h1>Not Found</h1>" in r.text
    r = c.post("/users/1")
    assert r.status_code == 405 and r.headers["Allow"] == "DELETE, GET, HEAD, OPTIONS"
    r = c.get("/teapot")
    assert r.status_code == 403 and "no tea" in r.text
    r = c.get("/boom")
    assert r.status_code == 500 and "kaboom" not in r.text


def test_debug_page_shows_traceback(app):
    app.debug = True
    app.config["PROPAGATE_EXCEPTIONS"] = False  # else the test client raises, as Flask's
    r = app.test_client().get("/boom")
    assert r.status_code == 500 and "kaboom" in r.text and "Traceback" in r.text


def test_responses_static_and_options(app):
    c = app.test_client()
    r = c.get("/custom")
    assert (r.status_code, r.data, r.headers["content-type"], r.headers["X-Custom"]) == (
        202, b"raw", "text/plain", "1")
    r = c.get("/go")
    assert r.status_code == 302 and r.headers["Location"] == "/"
    r = c.get("/files/hello.txt")
    assert r.text == "static hello" and r.headers["Content-Type"].startswith("text/plain")
    assert c.options("/users/1").headers["Allow"] == "DELETE, GET, HEAD, OPTIONS"
    assert c.head("/").data == b""


def test_view_sees_no_request_outside_handling():
    with pytest.raises(RuntimeError):
        request.method  # noqa: B018


def test_endpoint_clash_is_refused():
    app = App()

    @app.route("/a")
    def view():
        return "a"

    def other():
        return "b"

    with pytest.raises(ValueError):
        app.add_url_rule("/b", "view", other)


@pytest.mark.parametrize("layout", ["module", "package"])
def test_instance_folder_and_resources(tmp_path, monkeypatch, layout):
    # The Flask tutorial's layout: config in the instance folder, schema beside the code.
    code = tmp_path / ("pkg" if layout == "package" else "")
    code.mkdir(exist_ok=True)
    (code / ("__init__.py" if layout == "package" else "mod.py")).write_text("")
    (code / "schema.sql").write_text("create table t (x)")
    monkeypatch.syspath_prepend(str(tmp_path))
    name = "pkg" if layout == "package" else "mod"
    monkeypatch.delitem(sys.modules, name, raising=False)
    app = App(importlib.import_module(name).__name__, instance_relative_config=True)
    assert app.instance_path == str(tmp_path / "instance")
    os.makedirs(app.instance_path)
    (tmp_path / "instance" / "config.py").write_text("DATABASE = 'db.sqlite'\n")
    (tmp_path / "instance" / "config.json").write_text('{"PAGE": 5, "lower": 1}')
    assert app.config.from_pyfile("config.py") and app.config["DATABASE"] == "db.sqlite"
    assert app.config.from_file("config.json", json.load) and app.config["PAGE"] == 5
    assert "lower" not in app.config and not app.config.from_file("none", json.load, True)
    with app.open_resource("schema.sql", "r") as f, app.open_instance_resource("n", "w") as w:
        w.write(f.read())
    assert (tmp_path / "instance" / "n").read_text() == "create table t (x)"
    for bad in (lambda: app.open_resource("schema.sql", "w"), lambda: App("t", instance_path="i")):
        with pytest.raises(ValueError):
            bad()


def test_import_leaves_asyncio_until_a_loop_runs():
    code = """if True:
        import sys, kiv
        assert "asyncio" not in sys.modules
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr


def test_request_context_objects_leave_no_garbage_cycle():
    # Extensions keep per-request state on app_ctx (Flask-SQLAlchemy on every query): the
    # request must still be freed when it ends, not left for the cycle collector.
    import gc
    import weakref

    from kiv.globals import app_ctx, request_ctx
    app, seen = App("cycles"), []

    @app.route("/")
    def view():
        app_ctx.extension_state = 1
        assert request_ctx.request is request._get_current_object()
        seen.append(weakref.ref(request._get_current_object()))
        return "ok"

    client = app.test_client()
    gc.disable()
    try:
        assert client.get("/").text == "ok"
        assert seen[0]() is None
    finally:
        gc.enable()
