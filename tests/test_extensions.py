"""The extensions real Flask apps use, unchanged, on kiv under install_as_flask: one app
that stacks them, driven request by request. It runs in its own interpreter, since
`flask` means kiv there (and Flask itself elsewhere in the suite)."""

import os
import subprocess
import sys

import pytest

INNER = os.environ.get("KIV_EXTENSIONS_INNER") == "1"


@pytest.mark.skipif(INNER, reason="the outer run")
def test_extensions_on_kiv():
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "kiv.as_flask",
         __file__], env=dict(os.environ, KIV_EXTENSIONS_INNER="1"), capture_output=True,
        text=True, timeout=300)
    assert done.returncode == 0 and " passed" in done.stdout, done.stdout[-4000:]


APP = '''
from flask import Flask, jsonify, session
from flask_caching import Cache
from flask_cors import CORS
from flask_httpauth import HTTPBasicAuth
from flask_jwt_extended import JWTManager, create_access_token, get_jwt_identity, jwt_required
from flask_limiter import Limiter
from flask_limiter.util import get_remote_address
from flask_login import LoginManager, current_user, login_required, login_user, logout_user
from flask_migrate import Migrate
from flask_session import Session
from flask_sqlalchemy import SQLAlchemy
from flask_wtf import CSRFProtect, FlaskForm
from wtforms import StringField
from wtforms.validators import DataRequired
from cachelib.file import FileSystemCache

app = Flask(__name__)
app.config.update(SECRET_KEY="s", JWT_SECRET_KEY="j" * 32, SQLALCHEMY_DATABASE_URI=DB,
                  SESSION_TYPE="cachelib", SESSION_CACHELIB=FileSystemCache(SESSIONS))
db = SQLAlchemy(app)
Migrate(app, db)
class User(db.Model):
    id = db.Column(db.Integer, primary_key=True)
    name = db.Column(db.String(40))
    is_active = is_authenticated = True
    def get_id(self):
        return str(self.id)
csrf, cache, auth = CSRFProtect(app), Cache(app, config={"CACHE_TYPE": "SimpleCache"}), HTTPBasicAuth()
login, limiter = LoginManager(app), Limiter(get_remote_address, app=app, storage_uri="memory://")
Session(app), CORS(app, resources={r"/api/*": {"origins": "https://a.test"}}), JWTManager(app)
login.user_loader(lambda uid: db.session.get(User, int(uid)))
auth.verify_password(lambda u, p: u if (u, p) == ("ann", "pw") else None)
class NameForm(FlaskForm):
    name = StringField(validators=[DataRequired()])
@app.route("/login/<int:uid>")
def sign_in(uid):
    login_user(db.get_or_404(User, uid)); return "in"
app.add_url_rule("/logout", "logout", lambda: (logout_user(), "out")[1])
app.add_url_rule("/me", "me", login_required(lambda: current_user.name))
@app.route("/form", methods=["GET", "POST"])
def form():
    f = NameForm()
    return "ok " + f.name.data if f.validate_on_submit() else f.csrf_token.current_token
@app.route("/api/n")
@cache.cached(timeout=60)
def counted():
    session["n"] = session.get("n", 0) + 1; return str(session["n"])
app.add_url_rule("/limited", "limited", limiter.limit("2 per minute")(lambda: "x"))
app.add_url_rule("/basic", "basic", auth.login_required(lambda: "hi " + auth.current_user()))
app.add_url_rule("/token", "token", lambda: create_access_token(identity="bob"))
app.add_url_rule("/jwt", "jwt", jwt_required()(lambda: jsonify(me=get_jwt_identity())))
if SEED:
    with app.app_context():
        db.create_all(); db.session.add(User(id=1, name="ann")); db.session.commit()
'''
BASIC = "Basic YW5uOnB3"  # ann:pw
# Steps with one client: (method, path, headers, form, status, text in the body or headers);
# "{last}" stands for the previous answer's body.
CASES = {
    "login": [("GET", "/me", {}, None, 401, ""), ("GET", "/login/1", {}, None, 200, "in"),
              ("GET", "/me", {}, None, 200, "ann"), ("GET", "/login/9", {}, None, 404, ""),
              ("GET", "/logout", {}, None, 200, "out"), ("GET", "/me", {}, None, 401, "")],
    "csrf": [("POST", "/form", {}, {"name": "x"}, 400, "CSRF token is missing"),
             ("GET", "/form", {}, None, 200, ""),
             ("POST", "/form", {}, {"name": "x", "csrf_token": "{last}"}, 200, "ok x"),
             ("POST", "/form", {}, {"name": "x", "csrf_token": "forged"}, 400, "")],
    "cors": [("GET", "/api/n", {"Origin": "https://a.test"}, None, 200, "https://a.test"),
             ("OPTIONS", "/api/n", {"Origin": "https://a.test",
                                   "Access-Control-Request-Method": "GET"}, None, 200,
              "Access-Control-Allow-Methods"),
             ("GET", "/me", {"Origin": "https://a.test"}, None, 401, "!Access-Control")],
    "cache": [("GET", "/api/n", {}, None, 200, "1"), ("GET", "/api/n", {}, None, 200, "1")],
    "limiter": [("GET", "/limited", {}, None, 200, "x"), ("GET", "/limited", {}, None, 200, "x"),
                ("GET", "/limited", {}, None, 429, "")],
    "httpauth": [("GET", "/basic", {}, None, 401, "Basic realm"),
                 ("GET", "/basic", {"Authorization": BASIC}, None, 200, "hi ann"),
                 ("GET", "/basic", {"Authorization": "Basic eDp5"}, None, 401, "")],
    "jwt": [("GET", "/jwt", {}, None, 401, "Missing Authorization"),
            ("GET", "/token", {}, None, 200, ""),
            ("GET", "/jwt", {"Authorization": "Bearer {last}"}, None, 200, "bob"),
            ("GET", "/jwt", {"Authorization": "Bearer x.y.z"}, None, 422, "")],
}


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    base = tmp_path_factory.mktemp("ext")
    names = {"DB": f"sqlite:///{base / 'app.db'}", "SESSIONS": str(base / "sessions"),
             "SEED": True}
    exec(compile(APP, "extension_app", "exec"), names)
    return names["app"]


@pytest.mark.skipif(not INNER, reason="runs under install_as_flask")
@pytest.mark.parametrize("case", list(CASES))
def test_extension_stack(app, case):
    client, last = app.test_client(), ""
    for method, path, headers, form, status, text in CASES[case]:
        fill = {k: v.replace("{last}", last) for k, v in headers.items()}
        data = form and {k: v.replace("{last}", last) for k, v in form.items()}
        r = client.open(path, method=method, headers=fill, data=data)
        seen = r.get_data(as_text=True) + str(list(r.headers.items()))
        assert r.status_code == status and (text.lstrip("!") in seen) != text.startswith("!"), \
            (method, path, r.status_code, seen[:300])
        last = r.get_data(as_text=True)


@pytest.mark.skipif(not INNER, reason="runs under install_as_flask")
def test_migrate_upgrade_through_kiv_command_line(tmp_path):
    (tmp_path / "app.py").write_text(f"DB = 'sqlite:///{tmp_path}/m.db'\n"
                                     f"SESSIONS = '{tmp_path}/s'\nSEED = False\n" + APP)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.environ["PYTHONPATH"], str(tmp_path)]))
    for args in (["init"], ["migrate", "-m", "users"], ["upgrade"]):
        done = subprocess.run([sys.executable, "-m", "kiv", "cmd", "--flask", "app:app", "db",
                               *args], cwd=tmp_path, env=env, capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
    import sqlite3
    tables = sqlite3.connect(tmp_path / "m.db").execute("SELECT name FROM sqlite_master")
    assert {"alembic_version", "user"} <= {name for (name,) in tables}


def werkzeug_app():
    import kiv
    from werkzeug import Response as WResponse
    from werkzeug.datastructures import Headers as WHeaders
    from werkzeug.exceptions import abort
    app = kiv.App("wz")
    app.add_url_rule("/q", "q", lambda: kiv.request.args["need"])
    app.add_url_rule("/f", "f", lambda: kiv.request.form["need"], methods=["POST"])
    app.add_url_rule("/abort", "abort", lambda: abort(403))
    app.add_url_rule("/wresp", "wresp", lambda: WResponse("w", 201, {"X-W": "1"}))

    @app.route("/wheaders")
    def wheaders():
        r = kiv.Response("h")
        r.headers = WHeaders([("X-H", "2")])
        return r
    app.add_url_rule("/later", endpoint="later")  # its view comes below
    app.endpoint("later")(lambda: "later")
    return app


@pytest.mark.skipif(INNER, reason="kiv's own names")
@pytest.mark.parametrize("method,path,status,text", [
    ("GET", "/q", 400, "Bad Request"), ("GET", "/q?need=1", 200, "1"),
    ("POST", "/f", 400, "Bad Request"), ("GET", "/abort", 403, "Forbidden"),
    ("GET", "/wresp", 201, "X-W"), ("GET", "/wheaders", 200, "X-H"),
    ("GET", "/later", 200, "later")])
@pytest.mark.parametrize("hooks", [False, True])
def test_werkzeug_pieces_in_kiv_views(method, path, status, text, hooks):
    app = werkzeug_app()
    if hooks:  # the other request path: hooks, handlers and sessions
        app.after_request(lambda r: r)
    r = app.test_client().open(path, method=method)
    assert r.status_code == status and text in r.get_data(as_text=True) + str(r.headers.items())


@pytest.mark.skipif(INNER, reason="kiv's own names")
def test_blueprint_app_wide_hooks_reach_every_app():
    import kiv
    bp = kiv.Blueprint("bp", __name__)
    bp.app_template_filter("twice")(lambda s: s * 2)
    bp.app_errorhandler(404)(lambda e: ("gone", 404))
    bp.before_app_request(lambda: None if kiv.request.path != "/stop" else "stopped")
    for name in ("one", "two"):
        app = kiv.App(name)
        app.register_blueprint(bp)
        app.add_url_rule("/t", "t", lambda: kiv.render_template_string("{{ 'a'|twice }}"))
        c = app.test_client()
        assert [c.get(p).get_data(as_text=True) for p in ("/t", "/nope", "/stop")] == [
            "aa", "gone", "stopped"]
