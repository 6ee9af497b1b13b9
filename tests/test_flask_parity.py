"""One application's source, run on Flask and on kiv with only the import changed: every
request below must get the same answer from both (status, body, the headers an app or a
browser acts on). Where kiv differs by design (docs/guide.md), DIFFERENT says how."""

import importlib.util
import json
import sys

import pytest

SOURCE = '''
from {fw} import (Blueprint, Flask, abort, g, jsonify, redirect, request, session, url_for)
app = Flask(__name__)
app.secret_key = "k"
@app.before_request
def load_user():
    g.user = session.get("user")
@app.after_request
def stamp(response):
    response.headers["X-User"] = g.get("user") or "-"
    return response
auth = Blueprint("auth", __name__, url_prefix="/auth")
@auth.route("/login", methods=["GET", "POST"])
def login():
    if request.method == "POST":
        session["user"] = request.form["name"]
        return redirect(request.args.get("next") or url_for("index"))
    return f"form {{request.args.get('next')}}"
app.register_blueprint(auth)
@app.route("/")
def index():
    if g.user is None:
        return redirect(url_for("auth.login", next=request.path))
    return f"hello {{g.user}}"
@app.route("/items/<int:n>", methods=["GET", "DELETE"])
def item(n):
    if n > 10:
        abort(404, description="no such item")
    return ("", 204) if request.method == "DELETE" else {{"n": n, "next": url_for("item", n=n + 1)}}
@app.errorhandler(404)
def missing(e):  # the default descriptions are each framework's own
    return jsonify(error=e.description if request.endpoint == "item" else "missing"), 404
@app.errorhandler(500)
def server_error(e):
    return jsonify(error=type(e.original_exception).__name__), 500
@app.route("/boom")
def boom():
    raise KeyError("k")
@app.route("/users/", defaults={{"page": 1}})
@app.route("/users/page/<int:page>")
def users(page):
    return jsonify(page=page, first=url_for("users", page=1), second=url_for("users", page=2))
@app.route("/kinds/<float:f>/<uuid:u>")
def kinds(f, u):
    return jsonify(f=f, u=str(u))
@app.route("/dir/")
def directory():
    return "dir"
@app.route("/request")
def request_view():
    a = request.args
    return jsonify(
        url=request.url, host=request.host, ua=request.user_agent.string,
        static=url_for("static", filename="a b.css"), lists=sorted(a.lists()),
        full=a.to_dict(flat=False), ints=a.getlist("n", type=int), header=request.headers["X-A"])
'''


def build(fw, folder, source=SOURCE, stem="parity"):
    # A module of its own, as an app is: both frameworks look for it to find their root.
    name = f"{stem}_{fw}"
    path = folder / f"{name}.py"
    path.write_text(source.format(fw=fw))
    found = importlib.util.spec_from_file_location(name, path)
    module = sys.modules[name] = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module.app


def answer(client, method, path, headers=(), data=None):
    r = client.open(path, method=method, headers=[("User-Agent", "parity"), *headers],
                    data=data)
    ctype = (r.headers.get("Content-Type") or "").split(";")[0]
    body = r.get_json() if ctype == "application/json" and r.data else r.get_data(as_text=True)
    if ctype == "text/html" and r.status_code >= 300:
        body = None  # error and redirect pages are each framework's own
    return {"status": r.status_code, "body": body, "type": ctype,
            "location": r.headers.get("Location"), "x-user": r.headers.get("X-User"),
            "vary": r.headers.get("Vary"), "cookies": len(r.headers.getlist("Set-Cookie"))}


UUID = "12345678-1234-5678-1234-567812345678"

# Each case: requests made in turn with one client (cookies kept).
CASES = {
    "login flow": [("GET", "/"), ("POST", "/auth/login?next=/", [], {"name": "ann"}),
                   ("GET", "/")],
    "converters and 404s": [("GET", "/items/3"), ("GET", "/items/x"), ("GET", "/items/99"),
                            ("DELETE", "/items/3"), ("POST", "/items/3"), ("OPTIONS", "/items/3"),
                            ("GET", f"/kinds/1.5/{UUID}"), ("GET", f"/kinds/1/{UUID}"),
                            ("GET", "/kinds/1.5/nope")],
    "500 handler goes through after_request": [("GET", "/boom")],
    "rules with defaults": [("GET", "/users/"), ("GET", "/users/page/2")],
    "request details": [("GET", "/request?n=1&n=x&n=2&q=a%20b",
                         [("X-A", "1"), ("X-A", "2"), ("Host", "localhost:80")])],
}


# Where kiv answers otherwise by design: what kiv answers.
DIFFERENT = {
    # The native router answers these before Python runs, so the app's hooks do not, and
    # its redirect's Location is relative.
    ("GET", "/dir"): {"type": "", "location": "/dir/", "x-user": None, "body": "",
                      "vary": None},
    # So is the redirect of a URL that a rule's defaults spell shorter.
    ("GET", "/users/page/1"): {"location": "/users/"},
}


def open_both(tmp_path, requests, source=SOURCE, stem="parity"):
    clients = {fw: build(fw, tmp_path, source, stem).test_client() for fw in ("flask", "kiv")}
    for method, path, *rest in requests:
        yield (method, path), {fw: answer(c, method, path, *rest) for fw, c in clients.items()}


@pytest.mark.parametrize("case", list(CASES))
def test_flask_and_kiv_answer_alike(case, tmp_path):
    for request_line, got in open_both(tmp_path, CASES[case]):
        assert got["kiv"] == got["flask"], (request_line, json.dumps(got, indent=1))


@pytest.mark.parametrize("request_line", list(DIFFERENT), ids=" ".join)
def test_documented_differences(request_line, tmp_path):
    (_, got), = open_both(tmp_path, [request_line])
    differs = DIFFERENT[request_line]
    assert {k: got["kiv"][k] for k in differs} == differs
    assert {k: got["flask"][k] for k in differs} != differs
    assert ({k: v for k, v in got["kiv"].items() if k not in differs}
            == {k: v for k, v in got["flask"].items() if k not in differs})


HOSTS = '''
from {fw} import Blueprint, Flask, request, url_for
app = Flask(__name__, subdomain_matching=True)
app.config["SERVER_NAME"] = "example.com"
@app.route("/")
def home():
    return {{"to": url_for("user_home", user="bob"), "api": url_for("api.v1.ping")}}
@app.route("/", subdomain="<user>")
def user_home(user):
    return {{"user": user, "home": url_for("home"), "me": url_for("user_home", user=user)}}
api = Blueprint("api", __name__, subdomain="api")
v1 = Blueprint("v1", __name__, subdomain="v1")
@v1.route("/ping", methods=["POST"])
def ping():
    return {{"me": url_for(".ping")}}
api.register_blueprint(v1)
app.register_blueprint(api)
'''


@pytest.mark.parametrize("host,method,path", [
    ("example.com", "GET", "/"), ("bob.example.com", "GET", "/"),
    ("v1.api.example.com", "POST", "/ping"), ("v1.api.example.com", "GET", "/ping"),
    ("example.com", "POST", "/ping"),
])
def test_subdomains_like_flask(tmp_path, host, method, path):
    (_, got), = open_both(tmp_path, [(method, path, [("Host", host)])], HOSTS, "hosts")
    assert got["kiv"] == got["flask"]
