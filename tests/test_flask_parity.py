"""One application's source, run on Flask and on kiv with only the import changed: every
request below must get the same answer from both (status, body, the headers an app or a
browser acts on). Where kiv differs by design (docs/guide.md), the case says so."""

import importlib.util
import io
import json
import sys

import pytest

SOURCE = '''
import functools
import json
from {fw} import (Blueprint, Flask, abort, after_this_request, flash, g, get_flashed_messages,
                  jsonify, make_response, redirect, render_template_string, request, session,
                  url_for)
from {fw}.views import MethodView, View
app = Flask(__name__)
app.secret_key = "k"
app.config["SERVER_NAME"] = None
@app.before_request
def load_user():
    g.user = session.get("user")
@app.after_request
def stamp(response):
    response.headers["X-User"] = g.get("user") or "-"
    return response
def login_required(view):
    @functools.wraps(view)
    def wrapped(**kw):
        if g.user is None:
            return redirect(url_for("auth.login", next=request.path))
        return view(**kw)
    return wrapped
auth = Blueprint("auth", __name__, url_prefix="/auth")
@auth.route("/login", methods=["GET", "POST"])
def login():
    if request.method == "POST":
        name = request.form.get("name", "")
        if not name:
            flash("name is required", "error")
            return render_template_string(
                "{{% for c, m in get_flashed_messages(with_categories=true) %}}"
                "[{{{{ c }}}}:{{{{ m }}}}]{{% endfor %}}"), 400
        session.clear()
        session["user"] = name
        return redirect(request.args.get("next") or url_for("index"))
    return render_template_string("<form>{{{{ request.args.next }}}}</form>")
@auth.route("/logout")
def logout():
    session.clear()
    return redirect(url_for("index"))
app.register_blueprint(auth)
@app.route("/")
def index():
    return render_template_string("hello {{{{ g.user or 'stranger' }}}} {{{{ url_for('index') }}}}")
@app.route("/private")
@login_required
def private():
    return jsonify(user=g.user, flashes=get_flashed_messages())
@app.route("/items/<int:n>", methods=["GET", "DELETE"])
def item(n):
    if n > 10:
        abort(404, description="no such item")
    if request.method == "DELETE":
        return "", 204
    return {{"n": n, "next": url_for("item", n=n + 1), "q": request.args.getlist("q")}}
@app.route("/echo", methods=["POST"])
def echo():
    body = request.get_json(silent=True)
    return jsonify(json=body, form=request.form.to_dict(), ct=request.mimetype,
                   files=sorted(request.files))
@app.route("/cookie")
def cookie():
    @after_this_request
    def later(response):
        response.set_cookie("seen", "1", max_age=60, httponly=True)
        return response
    resp = make_response("set", 201)
    resp.headers["X-Extra"] = "yes"
    return resp
@app.route("/tuple")
def tuple_view():
    return "made", 202, {{"X-T": "1"}}
class Thing(MethodView):
    def get(self, name):
        return f"get {{name}}"
    def post(self, name):
        return f"post {{name}}", 201
app.add_url_rule("/things/<name>", view_func=Thing.as_view("thing"))
@app.errorhandler(404)
def missing(e):
    # The default descriptions are each framework's own.
    return jsonify(error=e.description if request.endpoint == "item" else "missing"), 404
@app.route("/teapot")
def teapot():
    abort(418)
class Conflict(Exception):
    pass
@app.errorhandler(Conflict)
def on_conflict(e):
    return f"conflict: {{e}}", 409
@app.route("/conflict")
def conflict():
    raise Conflict("taken")
@app.route("/urls/<path:rest>")
def urls(rest):
    return jsonify(
        url=request.url, base=request.base_url, root=request.url_root, full=request.full_path,
        path=request.path, rest=rest, host=request.host, scheme=request.scheme,
        n=request.args.get("n", type=int), missing=request.args.get("m", "dflt"),
        anchor=url_for("item", n=1, _anchor="top x"),
        external=url_for("item", n=2, _external=True),
        static=url_for("static", filename="a b.css"),
        ua=request.user_agent.string if hasattr(request.user_agent, "string") else None,
        cookies=request.cookies.to_dict())
@app.route("/kinds/<float:f>/<uuid:u>/<any(a, b):k>")
def kinds(f, u, k):
    return jsonify(f=f, u=str(u), k=k)
@app.route("/dir/")
def directory():
    return "dir"
@app.route("/moved")
def moved():
    return redirect(url_for("directory"), 301)
@app.route("/tojson")
def tojson():
    return render_template_string("<script>var x = {{{{ data|tojson }}}};</script>{{{{ t }}}}",
                                  data={{"a": "</script>&'", "b": [1, 2.5, None]}}, t="<i>")
@app.route("/status")
def status():
    return "made", "201 CREATED"
@app.route("/permanent")
def permanent():
    session.permanent = True
    session["p"] = 1
    return "ok"
@app.route("/strictjson", methods=["POST"])
def strictjson():
    return jsonify(request.get_json())
shop = Blueprint("shop", __name__, url_prefix="/<lang>/shop")
@shop.url_value_preprocessor
def pull_lang(endpoint, values):
    g.lang = values.pop("lang")
@shop.url_defaults
def add_lang(endpoint, values):
    values.setdefault("lang", g.get("lang", "en"))
@shop.errorhandler(ValueError)
def shop_value_error(e):
    return jsonify(shop_error=str(e)), 422
cart = Blueprint("cart", __name__, url_prefix="/cart")
@cart.route("/")
def cart_index():
    return jsonify(bp=request.blueprint, bps=list(request.blueprints), me=url_for(".cart_index"),
                   shop=url_for("shop.product", pid=3), lang=g.lang)
@shop.route("/p/<int:pid>")
def product(pid):
    if pid == 0:
        raise ValueError("no product zero")
    return render_template_string(
        "{{{{ g.lang }}}} {{{{ config.SECRET_KEY }}}} {{{{ url_for('.product', pid=pid + 1) }}}} "
        "{{{{ request.blueprint }}}}", pid=pid)
shop.register_blueprint(cart)
app.register_blueprint(shop)
@app.route("/upload", methods=["POST"])
def upload():
    f = request.files["doc"]
    return jsonify(name=f.filename, ct=f.mimetype, data=f.read().decode(),
                   tags=request.form.getlist("tag"), missing="nope" in request.files)
@app.route("/plain")
def plain():
    from {fw} import Response
    return Response("a,b\\n", mimetype="text/csv", headers={{"X-Rows": "1"}})
@app.route("/abort-redirect")
def abort_redirect():
    abort(redirect("/elsewhere"))
@app.route("/errors/<kind>", methods=["GET", "POST"])
def errors(kind):
    if kind == "described":
        abort(400, description="bad thing")
    if kind == "json415":
        return jsonify(request.json)
    if kind == "forced":
        return jsonify(request.get_json(force=True), request.values.to_dict())
    if kind == "see-other":
        return redirect("/x", code=303)
    if kind == "made":
        return make_response(jsonify(ok=True), 201)
    if kind == "empty":
        from {fw} import Response
        return Response(status=204)
    if kind == "tuple-json":
        return jsonify(e=1), 400, {{"X": "1"}}
    if kind == "build":
        return url_for("no_such_endpoint")
    if kind == "read-session":
        return jsonify(user=session.get("user"))
    raise KeyError(kind)
@app.errorhandler(500)
def server_error(e):
    return jsonify(error="server", original=type(e.original_exception).__name__), 500
@app.context_processor
def inject():
    return {{"site": "Parity & Co"}}
@app.template_filter("shout")
def shout(text):
    return str(text).upper() + "!"
@app.template_global()
def double(n):
    return n * 2
@app.template_test("even")
def is_even(n):
    return n % 2 == 0
@app.route("/page")
def page():
    from {fw} import render_template
    return render_template(["missing.html", "page.html"], items=["<a>", "b"], n=3,
                           html="<b>bold</b>")
@app.route("/users/", defaults={{"page": 1}})
@app.route("/users/page/<int:page>")
def users(page):
    return jsonify(page=page, first=url_for("users", page=1), second=url_for("users", page=2))
@app.get("/loose", strict_slashes=False)
def loose():
    return "loose"
@app.post("/only-post")
def only_post():
    return "posted"
@app.route("/cookies/<op>")
def cookies(op):
    resp = make_response(jsonify(seen=request.cookies.to_dict()))
    if op == "set":
        resp.set_cookie("a", "1", samesite="Lax", secure=True, domain="localhost", path="/cookies")
        resp.set_cookie("b", "x y", max_age=10)
    elif op == "delete":
        resp.delete_cookie("a", path="/cookies", domain="localhost")
    return resp
@app.route("/stream")
def stream():
    from {fw} import Response, stream_with_context
    def gen():
        yield "a:" + request.args.get("x", "-")
        yield ",b"
    return Response(stream_with_context(gen()), mimetype="text/plain")
@app.route("/file/<name>")
def file(name):
    from {fw} import send_from_directory
    return send_from_directory("templates", name, mimetype="text/plain")
class Greeter(View):
    methods = ["GET", "POST"]
    decorators = [login_required]
    def __init__(self, greeting):
        self.greeting = greeting
    def dispatch_request(self):
        return f"{{self.greeting}} {{g.user}} {{request.method}}"
app.add_url_rule("/greet", view_func=Greeter.as_view("greet", "hi"))
@app.route("/multi", methods=["GET", "POST"])
def multi():
    a, f = request.args, request.form
    return jsonify(
        items=sorted(a.items(multi=True)), lists=sorted(a.lists()), flat=a.to_dict(),
        full=a.to_dict(flat=False), ints=a.getlist("n", type=int), first=a.get("n", type=int),
        bad=a.get("q", type=int), default=a.get("zz", 7, type=int), keys=sorted(a.keys()),
        values=sorted(request.values.getlist("n")), form=f.to_dict(flat=False),
        has="n" in a, length=len(a), copy=a.copy().getlist("n"))
@app.route("/headers")
def headers():
    h = request.headers
    resp = make_response("text")
    rh = resp.headers
    rh.add("X-Multi", "1")
    rh.add("X-Multi", "2")
    rh.extend([("X-Ext", "e")])
    rh.setdefault("X-Ext", "ignored")
    rh["X-Set"] = "a"
    rh["X-Set"] = "b"
    rh.set("X-Low", "c")
    popped = rh.pop("X-Low")
    del rh["X-Gone"]
    resp.status_code = 201
    resp.set_data(resp.get_data(as_text=True) + "!")
    resp.mimetype = "text/plain"
    resp.headers["X-Report"] = json.dumps(dict(
        get=h.get("X-A"), lower=h.get("x-a"), typed=h.get("X-N", type=int),
        all=h.getlist("X-A"), has="x-a" in h, missing=h.get("X-None", "dflt"),
        multi=rh.getlist("X-Multi"), popped=popped, status=resp.status,
        length=resp.content_length, ctype=resp.content_type, data=resp.get_data(as_text=True)),
        sort_keys=True)
    return resp
@app.route("/sess/<op>")
def sess(op):
    if op == "add":
        session.setdefault("cart", []).append(1)  # nested change: not noticed
    elif op == "mark":
        session.setdefault("cart", []).append(2)
        session.modified = True
    elif op == "set":
        session["n"] = session.get("n", 0) + 1
    elif op == "pop":
        session.pop("n", None)
    elif op == "clear":
        session.clear()
    return jsonify(dict(session))
@app.route("/async/<int:n>")
async def async_view(n):
    import asyncio
    await asyncio.sleep(0)
    if n == 0:
        abort(404, description="async missing")
    return jsonify(n=n, user=g.user, path=request.path)
@app.route("/list")
def as_list():
    return jsonify([1, "two", None])
@app.route("/flash-page")
def flash_page():
    flash("one")
    flash("two", "warn")
    return redirect(url_for("show_flashes"))
@app.route("/show-flashes")
def show_flashes():
    return render_template_string(
        "{{% for m in get_flashed_messages(category_filter=['warn']) %}}{{{{ m }}}}{{% endfor %}}"
        "|{{{{ get_flashed_messages()|join(',') }}}}")
'''


TEMPLATES = {
    "base.html": "<title>{% block title %}{{ site }}{% endblock %}</title>"
                 "<main>{% block body %}{% endblock %}</main>",
    "macros.html": "{% macro li(x) %}<li>{{ x|shout }}</li>{% endmacro %}",
    "page.html": "{% extends 'base.html' %}{% import 'macros.html' as m %}"
                 "{% block title %}Items - {{ super() }}{% endblock %}"
                 "{% block body %}<ul>{% for i in items %}{{ m.li(i) }}{% endfor %}</ul>"
                 "{{ html }} {{ html|safe }} {{ double(n) }} {{ n is even }} {{ nothing }}"
                 "{{ items|length }} {{ request.args.get('q', '-') }} {{ session.get('user') }}"
                 " {{ url_for('page', q='a b') }} {% include 'part.txt' %}{% endblock %}",
    "part.txt": "<raw & text>",
}


def build(fw, folder, source=SOURCE, stem="parity"):
    # A module of its own, as an app is: both frameworks look for it to find their root.
    name = f"{stem}_{fw}"
    path = folder / f"{name}.py"
    path.write_text(source.format(fw=fw))
    (folder / "templates").mkdir(exist_ok=True)
    for template, text in TEMPLATES.items():
        (folder / "templates" / template).write_text(text)
    spec = importlib.util.spec_from_file_location(name, path)
    module = sys.modules[name] = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.app


def answer(client, method, path, kw):
    kw = {"headers": {"User-Agent": "parity"}, **(kw() if callable(kw) else kw)}
    r = client.open(path, method=method, **kw)
    ctype = (r.headers.get("Content-Type") or "").split(";")[0]
    body = r.get_json() if ctype == "application/json" and r.data else r.get_data(as_text=True)
    cookies = sorted(  # each cookie's name, whether it is deleted, and its attributes' names
        (c.split("=", 1)[0], "Max-Age=0" in c or "1970" in c,
         sorted(a.split("=")[0].strip().lower() for a in c.split(";")[1:]))
        for c in r.headers.getlist("Set-Cookie"))
    return {"status": r.status_code, "body": body, "type": ctype,
            "location": r.headers.get("Location"), "x-user": r.headers.get("X-User"),
            "cookies": cookies, "allow": sorted((r.headers.get("Allow") or "").split(", ")),
            "vary": r.headers.get("Vary"), "x": r.headers.get("X"),
            "report": r.headers.get("X-Report"), "multi": r.headers.getlist("X-Multi"),
            "set": r.headers.getlist("X-Set"), "ext": r.headers.getlist("X-Ext")}


UUID = "12345678-1234-5678-1234-567812345678"

# Each case is a list of requests made in turn with one client (cookies kept).
CASES = {
    "anonymous home": [("GET", "/", {})],
    "login flow": [("GET", "/private", {}),
                   ("POST", "/auth/login?next=/private", {"data": {"name": "ann"}}),
                   ("GET", "/private", {}), ("GET", "/", {}), ("GET", "/auth/logout", {}),
                   ("GET", "/", {})],
    "failed login flashes": [("POST", "/auth/login", {"data": {}})],
    "login form": [("GET", "/auth/login?next=/x", {})],
    "converters and query": [("GET", "/items/3?q=a&q=b", {}), ("GET", "/items/x", {}),
                             ("GET", "/items/99", {}), ("DELETE", "/items/3", {})],
    "wrong method": [("POST", "/items/3", {})],
    "json and form bodies": [("POST", "/echo", {"json": {"a": [1, 2]}}),
                             ("POST", "/echo", {"data": {"f": "v"}}),
                             ("POST", "/echo", {"data": "not json",
                                                "content_type": "application/json"})],
    "after_this_request and make_response": [("GET", "/cookie", {})],
    "tuple return": [("GET", "/tuple", {})],
    "method view": [("GET", "/things/a", {}), ("POST", "/things/b", {}),
                    ("PUT", "/things/c", {})],
    "http exceptions": [("GET", "/teapot", {}), ("GET", "/nowhere", {})],
    "head": [("HEAD", "/", {})],
    "own exception handler": [("GET", "/conflict", {})],
    "request URLs and url_for": [("GET", "/urls/a/b%20c?n=5&x=%20", {
        "headers": {"User-Agent": "test-agent"}}),
        ("GET", "/urls/x?n=notint", {})],
    "converters": [("GET", f"/kinds/1.5/{UUID}/a", {}), ("GET", "/kinds/1.5/nope/a", {}),
                   ("GET", f"/kinds/1.5/{UUID}/c", {})],
    "redirects": [("GET", "/dir/", {}), ("GET", "/moved", {})],
    "tojson filter": [("GET", "/tojson", {})],
    "status as text": [("GET", "/status", {})],
    "permanent session": [("GET", "/permanent", {}), ("GET", "/", {})],
    "blueprints, URL values, nested": [
        ("GET", "/de/shop/p/1", {}), ("GET", "/fr/shop/cart/", {}), ("GET", "/de/shop/p/0", {}),
        ("GET", "/de/shop/p/x", {})],
    "upload": [("POST", "/upload", lambda: {"data": {  # a file each client can close
        "doc": (io.BytesIO(b"hello"), "a b.txt", "text/plain"), "tag": ["x", "y"]}})],
    "response class, abort with a response, list": [
        ("GET", "/plain", {}), ("GET", "/abort-redirect", {}), ("GET", "/list", {})],
    "flashes by category": [("GET", "/flash-page", {}), ("GET", "/show-flashes", {}),
                            ("GET", "/show-flashes", {})],
    "errors and odd returns": [("GET", f"/errors/{k}", {}) for k in (
        "described", "json415", "see-other", "made", "empty", "tuple-json", "build", "unknown",
        "read-session")] + [("POST", "/errors/forced?a=1", {"data": '{"j": 2}'}),
                            ("HEAD", "/nowhere", {})],
    "templates: inheritance, macros, filters, context": [("GET", "/page?q=%3Cx%3E", {})],
    "defaults and shortcuts": [("GET", "/users/", {}), ("GET", "/users/page/2", {}),
                               ("POST", "/users/page/1", {}),
                               ("GET", "/loose", {}), ("GET", "/only-post", {}),
                               ("POST", "/only-post", {})],
    "cookies": [("GET", "/cookies/set", {}), ("GET", "/cookies/read", {}),
                ("GET", "/cookies/delete", {}), ("GET", "/cookies/read", {})],
    "streamed and file bodies": [("GET", "/stream?x=1", {}), ("GET", "/file/part.txt", {}),
                                 ("GET", "/file/..%2Fparity_kiv.py", {}),
                                 ("GET", "/file/missing.txt", {}), ("HEAD", "/file/part.txt", {})],
    "class views with decorators": [("GET", "/greet", {}),
                                    ("POST", "/auth/login", {"data": {"name": "bo"}}),
                                    ("POST", "/greet", {}), ("PUT", "/greet", {})],
    "multi-value containers": [("GET", "/multi?n=1&n=x&n=2&q=a&e=", {}),
                               ("POST", "/multi?n=1", {"data": {"n": ["3", "4"], "f": "v"}})],
    "headers both ways": [("GET", "/headers", {"headers": [("X-A", "1"), ("X-A", "2"),
                                                          ("X-N", "42")]})],
    "session changes": [("GET", f"/sess/{op}", {}) for op in (
        "read", "add", "read", "set", "mark", "read", "set", "pop", "read", "set", "clear",
        "read")],
    "async views": [("GET", "/async/3", {}), ("GET", "/async/0", {})],
    "get_json on a form": [("POST", "/strictjson", {"data": {"a": "1"}}),
                           ("POST", "/strictjson", {"data": "{bad", "content_type":
                                                    "application/json"})],
}


# Where kiv answers otherwise by design (docs/guide.md): what kiv answers, and why.
DIFFERENT = {
    # The native router answers these before Python runs, so the app's hooks do not.
    ("GET", "/dir"): {"type": "", "location": "/dir/", "x-user": None, "body": "",
                      "vary": None},
    ("OPTIONS", "/items/3"): {"x-user": None, "vary": None},
    # kiv's redirect to the shorter form of a URL is relative, with its own body.
    ("GET", "/users/page/1?x=1"): {"location": "/users/?x=1", "body": (
        '<!doctype html>\n<html lang=en>\n<title>Redirecting...</title>\n<h1>Redirecting...'
        '</h1>\n<p>You should be redirected automatically to the target URL: <a href="/users/?'
        'x=1">/users/?x=1</a>. If not, click the link.\n')},
    # The native router redirects the other slash form; Flask serves it (strict_slashes=False).
    ("GET", "/loose/"): {"status": 308, "location": "/loose", "type": "", "body": "",
                         "x-user": None, "vary": None},
    # The native float converter takes whole numbers too.
    ("GET", f"/kinds/1/{UUID}/a"): {"status": 200, "body": {"f": 1.0, "k": "a", "u": UUID}},
}


@pytest.mark.parametrize("request_line", list(DIFFERENT), ids=" ".join)
def test_documented_differences(request_line, tmp_path):
    got = {fw: answer(build(fw, tmp_path).test_client(), *request_line, {})
           for fw in ("flask", "kiv")}
    differs = DIFFERENT[request_line]
    assert {k: got["kiv"][k] for k in differs} == differs
    assert {k: got["flask"][k] for k in differs} != differs
    assert ({k: v for k, v in got["kiv"].items() if k not in differs}
            == {k: v for k, v in got["flask"].items() if k not in differs})


@pytest.mark.parametrize("case", list(CASES))
def test_flask_and_kiv_answer_alike(case, tmp_path):
    clients = {fw: build(fw, tmp_path).test_client() for fw in ("flask", "kiv")}
    for method, path, kw in CASES[case]:
        got = {fw: answer(c, method, path, kw) for fw, c in clients.items()}
        for fw in got:  # error pages are each framework's own
            if got[fw]["type"] == "text/html" and got[fw]["status"] >= 400:
                got[fw]["body"] = None
        assert got["kiv"] == got["flask"], (method, path, json.dumps(got, indent=1))


HOSTS = '''
from {fw} import Blueprint, Flask, request, url_for
app = Flask(__name__, subdomain_matching=True)
app.config["SERVER_NAME"] = "example.com"
@app.route("/")
def home():
    return f"main {{url_for('user_home', user='bob')}} {{url_for('api.status')}}"
@app.route("/", subdomain="<user>")
def user_home(user):
    return f"{{user}} {{url_for('home')}} {{url_for('user_home', user=user)}} {{request.host}}"
@app.route("/n", subdomain="<int:n>.num", methods=["POST"])
def number(n):
    return f"{{n + 1}}"
api = Blueprint("api", __name__, subdomain="api")
@api.route("/status")
def status():
    return url_for("home", _external=False) + " " + url_for("status", _external=True)
v1 = Blueprint("v1", __name__, subdomain="v1")
@v1.route("/ping")
def ping():
    return url_for("api.v1.ping")
api.register_blueprint(v1)
app.register_blueprint(api)
'''


@pytest.mark.parametrize("host,method,path", [
    ("example.com", "GET", "/"), ("bob.example.com", "GET", "/"), ("BOB.example.com:80", "GET", "/"),
    ("api.example.com", "GET", "/status"), ("example.com", "GET", "/status"),
    ("v1.api.example.com", "GET", "/ping"), ("7.num.example.com", "POST", "/n"),
    ("x.num.example.com", "POST", "/n"), ("7.num.example.com", "GET", "/n"),
])
def test_subdomains_like_flask(tmp_path, host, method, path):
    got = []
    for fw in ("flask", "kiv"):
        r = build(fw, tmp_path, HOSTS, "hosts").test_client().open(
            path, method=method, headers={"Host": host})
        got.append((r.status_code, r.get_data(as_text=True) if r.status_code == 200 else None))
    assert got[1] == got[0]
