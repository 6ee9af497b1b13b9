"""The extensions real Flask apps use, stacked in one app on kiv under install_as_flask, in
an interpreter of its own (`flask` means kiv there, Flask itself elsewhere in the suite)."""

import os
import subprocess
import sys

import pytest

INNER = os.environ.get("KIV_EXTENSIONS_INNER") == "1"


@pytest.mark.skipif(INNER, reason="the outer run")
def test_extensions_on_kiv():
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p",
                           "kiv.as_flask", __file__], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, KIV_EXTENSIONS_INNER="1"))
    summary = done.stdout.strip().splitlines()[-1]
    # every case ran (only this outer test skips there): a skip would hide a missing extension
    assert done.returncode == 0 and summary.startswith(f"{len(CASES) + 3} passed, 1 skipped"), \
        done.stdout[-4000:]


APP = '''
import itertools
import werkzeug
import wtforms
from cachelib.file import FileSystemCache
from flask import Flask, jsonify, request
from flask_caching import Cache
from flask_cors import CORS
from flask_httpauth import HTTPBasicAuth
from flask_jwt_extended import JWTManager, create_access_token, get_jwt_identity, jwt_required
from flask_limiter import Limiter
from flask_login import LoginManager, UserMixin, current_user, login_required, login_user
from flask_login import logout_user
from flask_migrate import Migrate
from flask_session import Session
from flask_sqlalchemy import SQLAlchemy
from flask_wtf import CSRFProtect, FlaskForm

app = Flask(__name__)
app.config.update(SECRET_KEY="s", JWT_SECRET_KEY="j" * 32, SQLALCHEMY_DATABASE_URI=DB,
                  SESSION_TYPE="cachelib", SESSION_CACHELIB=FileSystemCache(SESSIONS),
                  RATELIMIT_STORAGE_URI="memory://")
db, auth, login = SQLAlchemy(app), HTTPBasicAuth(), LoginManager(app)
cache, limiter = Cache(app, config={"CACHE_TYPE": "SimpleCache"}), Limiter(lambda: "one", app=app)
Migrate(app, db), CSRFProtect(app), Session(app), JWTManager(app)
CORS(app, resources={r"/api/*": {"origins": "https://a.test"}})
class User(UserMixin, db.Model):
    id = db.Column(db.Integer, primary_key=True)
    name = db.Column(db.String(40))
class NameForm(FlaskForm):
    name = wtforms.StringField(validators=[wtforms.validators.DataRequired()])
login.user_loader(lambda uid: db.session.get(User, int(uid)))
auth.verify_password(lambda u, p: u if (u, p) == ("ann", "pw") else None)
app.add_url_rule("/login/<int:uid>", "in", 
                 lambda uid: login_user(db.get_or_404(User, uid)) and "in")
app.add_url_rule("/logout", "logout", lambda: (logout_user(), "out")[1])
app.add_url_rule("/me", "me", login_required(lambda: current_user.name))
@app.route("/form", methods=["GET", "POST"])
def form():
    f = NameForm()
    return "ok " + f.name.data if f.validate_on_submit() else f.csrf_token.current_token
hits = itertools.count(1)
app.add_url_rule("/api/n", "n", cache.cached(timeout=60)(lambda: str(next(hits))))
app.add_url_rule("/limited", "limited", limiter.limit("2 per minute")(lambda: "x"))
app.add_url_rule("/basic", "basic", auth.login_required(lambda: "hi " + auth.current_user()))
app.add_url_rule("/token", "token", lambda: create_access_token(identity="bob"))
app.add_url_rule("/jwt", "jwt", jwt_required()(lambda: jsonify(me=get_jwt_identity())))
app.add_url_rule("/need", "need", lambda: request.args["need"])  # a 400 if missing
app.add_url_rule("/wz", "wz", lambda: werkzeug.Response("w", 201, {"X-W": "1"}))
replaced = app.response_class("h")  # as Flask-CORS does to a response whose headers it dislikes
replaced.headers = werkzeug.datastructures.Headers([("X-H", "2")])
app.add_url_rule("/headers", "headers", lambda: replaced)
@app.websocket("/ws/user")
def ws_user(ws):  # a query on the connection's database session
    ws.send(db.session.get(User, 1).name)
@app.websocket("/ws/user-async")
async def ws_user_async(ws):
    ws.send(db.session.get(User, 1).name)
if SEED:
    with app.app_context():
        db.create_all(), db.session.add(User(id=1, name="ann")), db.session.commit()
'''
ORIGIN = {"Origin": "https://a.test"}
# Steps with one client: ("METHOD path", status, text in the body or headers ("!": not
# in them), headers, form); "{last}" stands for the previous answer's body.
CASES = {
    "login": [("GET /me", 401), ("GET /login/1", 200, "in"), ("GET /me", 200, "ann"),
              ("GET /login/9", 404), ("GET /logout", 200, "out"), ("GET /me", 401)],
    "csrf": [("POST /form", 400, "CSRF token is missing", {}, {"name": "x"}), ("GET /form", 200),
             ("POST /form", 200, "ok x", {}, {"name": "x", "csrf_token": "{last}"}),
             ("POST /form", 400, "", {}, {"name": "x", "csrf_token": "forged"})],
    "cors": [("GET /api/n", 200, "https://a.test", ORIGIN), ("OPTIONS /api/n", 200,
              "Access-Control-Allow-Methods", {**ORIGIN, "Access-Control-Request-Method": "GET"}),
             ("GET /me", 401, "!Access-Control", ORIGIN)],
    "cache": [("GET /api/n", 200, "1"), ("GET /api/n", 200, "1")],
    "limiter": [("GET /limited", 200), ("GET /limited", 200), ("GET /limited", 429)],
    "httpauth": [("GET /basic", 401, "Basic realm"), ("GET /basic", 401, "", {
        "Authorization": "Basic eDp5"}), ("GET /basic", 200, "hi ann", {
            "Authorization": "Basic YW5uOnB3"})],  # ann:pw
    "jwt": [("GET /jwt", 401, "Missing Authorization"), ("GET /token", 200),
            ("GET /jwt", 200, "bob", {"Authorization": "Bearer {last}"}),
            ("GET /jwt", 422, "", {"Authorization": "Bearer x.y.z"})],
    "werkzeug": [("GET /need", 400, "Bad Request"), ("GET /need?need=1", 200, "1"),
                 ("GET /wz", 201, "X-W"), ("GET /headers", 200, "X-H")],
}


@pytest.fixture(scope="module")
def app(tmp_path_factory):
    base = tmp_path_factory.mktemp("ext")
    names = {"DB": f"sqlite:///{base}/app.db", "SESSIONS": f"{base}/s", "SEED": True}
    exec(compile(APP, "extension_app", "exec"), names)
    return names["app"], names["db"]


@pytest.mark.skipif(not INNER, reason="runs under install_as_flask")
@pytest.mark.parametrize("case", list(CASES))
def test_extension_stack(app, case):
    client, last = app[0].test_client(), ""
    for line, status, text, headers, form in (step + ("", {}, None)[len(step) - 2:]
                                              for step in CASES[case]):
        fill = {k: v.replace("{last}", last) for k, v in {**headers, **(form or {})}.items()}
        method, path = line.split()
        r = client.open(path, method=method, headers={k: fill[k] for k in headers},
                        data=form and {k: fill[k] for k in form})
        seen = r.get_data(as_text=True) + str(list(r.headers.items()))
        assert r.status_code == status and (text.lstrip("!") in seen) != text.startswith("!"), \
            (line, r.status_code, seen[:300])
        last = r.get_data(as_text=True)


@pytest.mark.skipif(not INNER, reason="runs under install_as_flask")
def test_migrate_upgrade_through_kiv_command_line(tmp_path):
    (tmp_path / "app.py").write_text(f"DB = 'sqlite:///{tmp_path}/m.db'\n"
                                     f"SESSIONS = '{tmp_path}/s'\nSEED = False\n" + APP)
    for args in (["init"], ["migrate", "-m", "users"], ["upgrade"]):  # app.py: found in cwd
        done = subprocess.run([sys.executable, "-m", "kiv", "cmd", "--flask", "app:app", "db",
                               *args], cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr[-2000:]
    import sqlite3
    tables = sqlite3.connect(tmp_path / "m.db").execute("SELECT name FROM sqlite_master")
    assert {"alembic_version", "user"} <= {name for (name,) in tables}



@pytest.mark.skipif(not INNER, reason="runs under install_as_flask")
@pytest.mark.parametrize("path", ["/ws/user", "/ws/user-async"])
def test_sqlalchemy_gives_back_a_websockets_connection(app, path):
    import queue
    app, db = app
    with app.app_context():  # before the queue: popping an app context runs its teardowns
        pool = db.engine.pool
    ended = queue.Queue()
    app.teardown_appcontext(ended.put)
    app.teardown_appcontext_funcs.insert(0, app.teardown_appcontext_funcs.pop())  # runs last
    try:
        for _ in range(2):
            with app.test_client().websocket(path) as ws:
                assert ws.receive() == "ann"
            assert ended.get(timeout=10) is None
            assert pool.checkedout() == 0
    finally:
        app.teardown_appcontext_funcs.remove(ended.put)
