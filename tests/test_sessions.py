"""Config, cookies, the signed session, flashed messages and the test client's jar."""

import datetime as dt
import sys

import pytest

from kiv import App, flash, get_flashed_messages, redirect, request, session


def make_app(**config):
    app = App("sessions")
    app.secret_key = "s3cret"
    app.config.from_mapping(config)

    @app.route("/login", methods=["POST"])
    def login():
        session["user"] = request.form["name"]
        session.permanent = request.form.get("remember") == "1"
        flash("welcome")
        flash("check your mail", "info")
        return redirect("/me")

    @app.route("/me")
    def me():
        return {"user": session.get("user"),
                "flashes": get_flashed_messages(with_categories=True)}

    @app.route("/info")
    def info():
        return {"info": get_flashed_messages(category_filter=["info"])}

    @app.route("/logout")
    def logout():
        session.clear()
        return "bye"

    @app.route("/cookies")
    def cookies():
        return dict(request.cookies)

    return app


def set_cookies(response):
    return response.headers.getlist("Set-Cookie")


def test_login_session_and_flashes_across_requests():
    c = make_app().test_client()
    r = c.post("/login", data={"name": "ann"}, follow_redirects=True)
    assert r.json == {"user": "ann",
                      "flashes": [["message", "welcome"], ["info", "check your mail"]]}
    assert [h.status_code for h in r.history] == [302]
    assert (r.request.method, r.request.path, r.history[0].request.path) == ("GET", "/me", "/login")
    # Flashes are consumed once; the session stays.
    assert c.get("/me").json == {"user": "ann", "flashes": []}
    r = c.get("/logout")
    assert "Max-Age=0" in set_cookies(r)[0]
    assert c.get("/me").json["user"] is None


def test_session_cookie_written_only_when_changed():
    c = make_app().test_client()
    assert set_cookies(c.get("/me")) == []
    r = c.post("/login", data={"name": "ann"})
    assert len(set_cookies(r)) == 1 and r.headers["Vary"] == "Cookie"
    c.get("/me")  # consumes the flashes: a change
    r = c.get("/me")
    assert set_cookies(r) == [] and r.headers["Vary"] == "Cookie"


@pytest.mark.parametrize("config,expect,absent", [
    ({}, ["session=", "HttpOnly", "Path=/"], ["Secure", "Expires", "SameSite"]),
    ({"SESSION_COOKIE_NAME": "sid", "SESSION_COOKIE_SECURE": True,
      "SESSION_COOKIE_SAMESITE": "Lax", "SESSION_COOKIE_PATH": "/app",
      "SESSION_COOKIE_DOMAIN": "example.com", "SESSION_COOKIE_HTTPONLY": False},
     ["sid=", "Secure", "SameSite=Lax", "Path=/app", "Domain=example.com"], ["HttpOnly"]),
])
def test_session_cookie_attributes_follow_config(config, expect, absent):
    r = make_app(**config).test_client().post("/login", data={"name": "a"})
    line = set_cookies(r)[0]
    assert all(part in line for part in expect), line
    assert not any(part in line for part in absent), line


def test_permanent_session_gets_an_expiry():
    app = make_app(PERMANENT_SESSION_LIFETIME=dt.timedelta(hours=1))
    line = set_cookies(app.test_client().post("/login", data={"name": "a", "remember": "1"}))[0]
    assert "Expires=" in line


@pytest.mark.parametrize("tamper", [
    lambda v: v[:-2] + ("AA" if not v.endswith("AA") else "BB"),  # bad signature
    lambda v: "garbage",
    lambda v: "",
    lambda v: "a.b.c",
])
def test_bad_cookie_reads_as_an_empty_session(tamper):
    c = make_app().test_client()
    c.post("/login", data={"name": "ann"})
    cookie = c.get_cookie("session")
    c.set_cookie("session", tamper(cookie.value))
    r = c.get("/me")
    assert (r.status_code, r.json["user"]) == (200, None)


def test_expired_session_reads_as_empty(monkeypatch):
    app = make_app(PERMANENT_SESSION_LIFETIME=60)
    c = app.test_client()
    c.post("/login", data={"name": "ann"})
    import itsdangerous.timed
    later = itsdangerous.timed.time.time() + 120
    monkeypatch.setattr(itsdangerous.timed.time, "time", lambda: later)
    assert c.get("/me").json["user"] is None


def test_other_secret_cannot_read_the_cookie():
    c = make_app().test_client()
    c.post("/login", data={"name": "ann"})
    other = make_app().test_client()
    other.app.secret_key = "another"
    other.set_cookie("session", c.get_cookie("session").value)
    assert other.get("/me").json["user"] is None


def test_session_transaction_reads_and_writes_the_jar():
    c = make_app().test_client()
    with c.session_transaction() as sess:
        sess["user"] = "bob"
    assert c.get("/me").json["user"] == "bob"
    with c.session_transaction() as sess:
        assert sess["user"] == "bob"


def test_without_secret_key_session_reads_empty_and_refuses_writes(capfd):
    app = make_app()
    app.secret_key = None
    c = app.test_client()
    assert c.get("/me").json == {"user": None, "flashes": []}
    assert c.post("/login", data={"name": "a"}).status_code == 500
    with pytest.raises(RuntimeError):
        with c.session_transaction():
            pass


@pytest.mark.parametrize("header,expected", [
    ("a=1; b=two", {"a": "1", "b": "two"}),
    ('q="x y\\"z"', {"q": 'x y"z'}),
    ("a=1; a=2; junk; =x", {"a": "1"}),
])
def test_request_cookies(header, expected):
    c = make_app().test_client()
    assert c.get("/cookies", headers={"Cookie": header}).json == expected


def test_config_loaders(monkeypatch, tmp_path):
    app = App("cfg")

    class Settings:
        SECRET_KEY = "from-object"
        lower = "ignored"

    app.config.from_object(Settings)
    assert app.secret_key == "from-object" and "lower" not in app.config
    monkeypatch.setenv("KIV_MAX_CONTENT_LENGTH", "10")
    monkeypatch.setenv("KIV_NAME", "plain text")
    monkeypatch.setenv("KIV_DB__HOST", '"db"')
    app.config.from_prefixed_env("KIV")
    assert (app.config["MAX_CONTENT_LENGTH"], app.config["NAME"], app.config["DB"]) == (
        10, "plain text", {"HOST": "db"})
    module = tmp_path / "kiv_test_settings.py"
    module.write_text("DEBUG = True\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    app.config.from_object("kiv_test_settings")
    assert app.debug is True
    sys.modules.pop("kiv_test_settings", None)


def test_max_content_length_sets_the_body_limit():
    app = App("limit")

    @app.route("/up", methods=["POST"])
    def up():
        return str(len(request.data))

    app.config["MAX_CONTENT_LENGTH"] = 10
    c = app.test_client()
    assert c.post("/up", data=b"x" * 10).text == "10"
    assert c.post("/up", data=b"x" * 11).status_code == 413


def test_with_client_keeps_the_last_request_current():
    from kiv import g

    app = make_app()
    app.before_request(lambda: setattr(g, "seen", request.path))
    with app.test_client() as c:
        c.post("/login", data={"name": "ann"})
        assert (session["user"], g.seen, request.method) == ("ann", "/login", "POST")
        c.get("/logout")
        assert "user" not in session and g.seen == "/logout"
    with pytest.raises(RuntimeError):
        session.get("user")


@pytest.mark.parametrize("writer", ["flask", "kiv"])
def test_session_cookies_read_by_flask_and_kiv_alike(writer):
    # A Flask app moved to kiv keeps its users' sessions, values JSON alone would lose too.
    import uuid

    import flask
    from markupsafe import Markup
    values = {"t": (1, ("a",)), "b": b"\x00\xff", "u": uuid.UUID(int=7), "m": Markup("<b>"),
              "d": dt.datetime(2020, 1, 2, 3, 4, 5, tzinfo=dt.timezone.utc),
              "n": [{" t": "looks like a tag"}, {"x": None}]}
    apps = {"flask": (flask.Flask("f"), flask.session), "kiv": (App("k"), session)}
    for app, store in apps.values():
        app.secret_key = "shared"
        app.add_url_rule("/set", "set", lambda store=store: store.update(values) or "ok")
        app.add_url_rule("/get", "get", lambda store=store: repr(sorted(store.items())))
    client = apps[writer][0].test_client()
    client.get("/set")
    reader = apps["kiv" if writer == "flask" else "flask"][0].test_client()
    reader.set_cookie("session", client.get_cookie("session").value)
    assert reader.get("/get").text == repr(sorted(values.items()))


def _signed(key, stamp=None, compress=False):
    import itsdangerous
    s = itsdangerous.URLSafeTimedSerializer(key, salt="cookie-session",
                                            signer_kwargs={"key_derivation": "hmac"})
    if stamp is not None:
        s.make_signer = lambda salt, s=s, m=s.make_signer: _at(m(salt), stamp)
    return s.dumps({"k": "v" * (200 if compress else 1)})


def _at(signer, stamp):
    signer.get_timestamp = lambda: stamp
    return signer


@pytest.mark.parametrize("cookie, fallbacks", [
    (lambda: _signed("s3cret"), []),
    (lambda: _signed("old"), ["old"]),  # signed with a key since replaced
    (lambda: _signed("old"), []),
    (lambda: _signed("s3cret", compress=True), []),  # a long payload is compressed
    (lambda: _signed("s3cret", stamp=int(dt.datetime.now().timestamp()) + 600), []),
    (lambda: _signed("s3cret", stamp=1), []),  # long expired
    (lambda: _signed("s3cret").replace(".", ".é", 1), []),
    (lambda: _signed("s3cret").rsplit(".", 1)[0] + ".", []),
])
def test_session_cookie_accepted_exactly_when_itsdangerous_accepts_it(cookie, fallbacks):
    import itsdangerous
    app = make_app(SECRET_KEY_FALLBACKS=fallbacks, PERMANENT_SESSION_LIFETIME=3600)
    value = cookie()
    try:
        expected = itsdangerous.URLSafeTimedSerializer(
            [*fallbacks, "s3cret"], salt="cookie-session",
            signer_kwargs={"key_derivation": "hmac"}).loads(value, max_age=3600)
    except itsdangerous.BadData:
        expected = None
    with app.test_request_context("/", headers={"Cookie": f"session={value}"}):
        assert (dict(session) or None) == expected
