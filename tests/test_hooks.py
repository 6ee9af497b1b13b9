"""Request hooks and error handlers, as a Flask app relies on them."""

import threading

import pytest

from kiv import (App, Blueprint, HTTPException, NotFound, abort, after_this_request,
                 copy_current_request_context, flash, g,
                 make_response, render_template_string, request, url_for)


def make_app(debug=False, fast=True):
    app = App("hooks", debug=debug, fast=fast)
    app.events = []

    @app.before_request
    def load_user():
        g.user = request.headers.get("X-User")
        if request.path == "/blocked":
            return "blocked by hook", 403

    @app.after_request
    def stamp(response):
        response.headers["X-User"] = g.get("user") or "-"
        if request.path == "/replace":
            return make_response("replaced", 202)
        return response

    @app.teardown_request
    def done(exc):
        app.events.append((request.path, type(exc).__name__ if exc else None))

    @app.route("/hello")
    def hello():
        return f"hello {g.user}"

    @app.route("/replace")
    def replace():
        return "original"

    @app.route("/blocked")
    def blocked():
        return "view ran"

    @app.route("/boom")
    def boom():
        raise KeyError("k")

    @app.route("/value")
    def value():
        raise ValueError("bad value")

    @app.route("/teapot")
    def teapot():
        abort(418)

    @app.route("/handler-fails")
    def handler_fails():
        raise LookupError("x")

    @app.errorhandler(404)
    def missing(e):
        return {"error": "missing", "path": request.path}, 404

    @app.errorhandler(405)
    def wrong_method(e):
        return f"use {', '.join(e.valid_methods)}", 405

    @app.errorhandler(ValueError)
    def on_value(e):
        return f"value error: {e}", 400

    @app.errorhandler(LookupError)
    def on_lookup(e):
        if isinstance(e, KeyError):
            return "key error", 409
        raise RuntimeError("the handler itself fails")

    @app.errorhandler(HTTPException)
    def any_http(e):
        return f"http {e.code}", e.code

    return app


@pytest.mark.parametrize("fast", [True, False])
@pytest.mark.parametrize("method,path,status,body,user", [
    ("GET", "/hello", 200, "hello ann", "ann"),
    ("GET", "/replace", 202, "replaced", None),
    ("GET", "/blocked", 403, "blocked by hook", "ann"),
    ("GET", "/nowhere", 404, '{"error":"missing","path":"/nowhere"}', "ann"),
    ("POST", "/hello", 405, "use GET, HEAD, OPTIONS", "ann"),
    ("GET", "/value", 400, "value error: bad value", "ann"),
    ("GET", "/boom", 409, "key error", "ann"),
    ("GET", "/teapot", 418, "http 418", "ann"),
])
def test_hooks_and_handlers_shape_the_answer(method, path, status, body, user, fast):
    app = make_app(fast=fast)
    r = app.test_client().open(path, method=method, headers={"X-User": "ann"})
    assert (r.status_code, r.text) == (status, body)
    assert r.headers.get("X-User") == user
    assert app.events == [(path, None)]


@pytest.mark.parametrize("debug", [False, True])
def test_failing_handler_gives_the_plain_500_page(debug, capfd):
    app = make_app(debug=debug)
    app.config["PROPAGATE_EXCEPTIONS"] = False  # the debug page, not the test client raising
    r = app.test_client().get("/handler-fails")
    assert r.status_code == 500
    assert ("the handler itself fails" in r.text) == debug
    assert app.events == [("/handler-fails", "RuntimeError")]


def test_unhandled_exception_reaches_teardown_and_500_handler(capfd):
    app = App("t500")
    seen = []

    @app.route("/x")
    def x():
        raise OSError("disk")

    @app.teardown_request
    def td(exc):
        seen.append(repr(exc))

    @app.errorhandler(500)
    def server_error(e):
        return f"sorry: {type(e.original_exception).__name__}", 500

    r = app.test_client().get("/x")
    assert (r.status_code, r.text, seen) == (500, "sorry: OSError", ["OSError('disk')"])


@pytest.mark.parametrize("raise_in", ["before", "after"])
def test_exception_in_a_hook_is_handled_like_a_view_error(raise_in):
    app = App("hookerr")

    @app.route("/")
    def index():
        return "ok"

    if raise_in == "before":
        app.before_request(lambda: abort(401))
    else:
        @app.after_request
        def broken(response):
            raise NotFound()

    app.register_error_handler(401, lambda e: ("login first", 401))
    r = app.test_client().get("/")
    assert r.status_code == (401 if raise_in == "before" else 500)


def test_hooks_added_after_first_request_take_effect():
    app = App("late")

    @app.route("/")
    def index():
        return "plain"

    c = app.test_client()
    assert c.get("/").text == "plain"
    app.before_request(lambda: "from hook")
    assert c.get("/").text == "from hook"


def test_teardown_appcontext_runs_per_request_and_per_context():
    app = App("appctx")
    closed = []
    app.teardown_appcontext(closed.append)

    @app.route("/")
    def index():
        raise LookupError("db")

    app.test_client().get("/")
    with app.app_context():
        pass
    assert [type(e).__name__ for e in closed] == ["LookupError", "NoneType"]


@pytest.mark.parametrize("plan", ["bare", "hooks", "async"])
def test_after_this_request_runs_before_after_request(plan):
    app, order = App("after_this"), []
    if plan != "bare":
        app.after_request(lambda r: order.append("after_request") or r)

    def x():
        after_this_request(lambda r: order.append("this") or r.set_cookie("p", request.path) or r)
        return "x"

    async def ax():
        return x()

    app.add_url_rule("/x", view_func=ax if plan == "async" else x)
    c = app.test_client()
    assert c.get("/x").text == "x" and c.get_cookie("p").value == "/x"
    c.get("/nowhere")  # only the request that asked
    assert order == ["this"] if plan == "bare" else ["this", "after_request", "after_request"]


@pytest.mark.parametrize("fast", [True, False])
def test_url_values_taken_from_the_path_and_given_back_to_url_for(fast):
    app = App("lang", fast=fast)
    bp = Blueprint("site", __name__, url_prefix="/<lang>")

    # Every route of this app has a language, so its preprocessor is app-wide.
    bp.app_url_value_preprocessor(lambda ep, values: setattr(g, "lang", values.pop("lang")))
    bp.url_defaults(lambda ep, values: "lang" in g and values.setdefault("lang", g.lang))
    app.url_defaults(lambda ep, values: ep == "site.page" and values.setdefault("n", 1))
    bp.add_url_rule("/page/<int:n>", "page", lambda n: (
        f"{g.lang} {n} {url_for('.page')} {url_for('.page', lang='fr', n=n + 1)}"))
    app.register_blueprint(bp)
    c = app.test_client()
    assert c.get("/de/page/3").text == "de 3 /de/page/1 /fr/page/4"
    assert c.get("/de/nowhere").status_code == 404  # not a KeyError in pull_lang


def test_copy_current_request_context_carries_the_request_into_a_thread():
    app = App("copyctx")

    @app.route("/job")
    def job():
        g.user, seen = "ann", []
        t = threading.Thread(target=copy_current_request_context(
            lambda: seen.append((request.args["n"], g.user))))
        t.start()
        t.join(10)
        return str(seen)

    assert app.test_client().get("/job?n=2").text == "[('2', 'ann')]"


def test_signals_follow_the_request_only_while_connected():
    from kiv import signals
    app, events = App("sig"), []
    app.add_url_rule("/p", "p", lambda: flash("hi") or render_template_string("{{ 1 }}"))
    app.add_url_rule("/boom", "boom", lambda: {}["k"])
    receivers = [(getattr(signals, n), lambda sender, n=n, **kw: events.append(
        (n, *[type(v).__name__ for k, v in sorted(kw.items()) if k != "context"])))
        for n in signals.__all__]
    app.secret_key = "k"
    c = app.test_client()
    for sig, f in receivers:
        sig.connect(f, app)
    try:
        assert c.get("/p").text == "1" and c.get("/boom").status_code == 500
    finally:
        for sig, f in receivers:
            sig.disconnect(f)
    c.get("/p")  # nothing sent once they are gone
    start, end = ["appcontext_pushed", "request_started"], ["appcontext_popped"]
    assert [e[0] for e in events] == start + [
        "message_flashed", "before_render_template", "template_rendered", "request_finished",
        "request_tearing_down", "appcontext_tearing_down"] + end + start + [
        "got_request_exception", "request_finished", "request_tearing_down",
        "appcontext_tearing_down"] + end
    assert events[-2] == ("appcontext_tearing_down", "KeyError")
