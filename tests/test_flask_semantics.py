"""What a Flask app observes, checked by running the same source on Flask and on kiv."""

import logging
import sys

import pytest

from test_flask_parity import build

pytestmark = pytest.mark.parametrize("fw", ["flask", "kiv"])

# No hooks, handlers or secret key: kiv's bare plan.
PLAIN = '''
import dataclasses, datetime, decimal, uuid
from {fw} import Flask, Response, make_response, request
app = Flask(__name__)
Point = dataclasses.make_dataclass("Point", ["x"])
def stop(): raise KeyboardInterrupt
app.add_url_rule("/stop", "stop", stop)
app.add_url_rule("/boom", "boom", lambda: {{}}["k"])
app.add_url_rule("/values", "values", lambda: {{"d": datetime.datetime(2020, 1, 2, 3, 4, 5),
                 "u": uuid.UUID(int=1), "m": decimal.Decimal("1.5"), "p": Point(1)}})
app.add_url_rule("/created", "created", lambda: ([datetime.date(2020, 1, 2)], 201))
app.add_url_rule("/query", "query", lambda: repr(request.query_string))
app.add_url_rule("/stream", "stream", lambda: make_response(c for c in "ab"))
app.add_url_rule("/gone", "gone", lambda: (Response("gone", 404), {{"X-H": "1"}}))
'''

HOOKED = '''
from {fw} import Flask, request
app = Flask(__name__)
app.config["MAX_CONTENT_LENGTH"] = 10
@app.after_request
def cors(response):
    response.headers["X-Cors"] = {{"/boom": "1", "/upload": "1"}}[request.path]
    return response
app.register_error_handler(413, lambda e: ("too large", 413))
app.add_url_rule("/boom", "boom", lambda: {{}}["k"])
app.add_url_rule("/after-fails", "after_fails", lambda: "fine")
app.add_url_rule("/upload", "upload", lambda: request.get_data(), methods=["POST"])
'''

HANDLED = HOOKED + '''app.register_error_handler(500, lambda e: (
    "handled " + type(e.original_exception).__name__, 500))'''

SESSIONS = '''
from {fw} import Flask, request, session
from {fw}.sessions import SessionInterface
app = Flask(__name__)
app.secret_key = "k"
@app.route("/login")
def login():
    session.permanent = "temporary" not in request.args
    session["user"] = "ann" * int(request.args.get("times", 1))
    return "in"
app.add_url_rule("/plain", "plain", lambda: "plain")
class Memory(SessionInterface):
    store = {{}}
    def open_session(self, app, request): return dict(self.store.get("1", {{"user": "bob"}}))
    def save_session(self, app, session, response):
        self.store["1"] = dict(session, seen=session.get("seen", 0) + 1)
        response.set_cookie("sid", "1", partitioned=self.get_cookie_partitioned(app))
'''

HOSTS = '''
from {fw} import Flask, request, url_for
app = Flask(__name__, subdomain_matching=True)
app.config.update(SERVER_NAME="example.com:8080", TRUSTED_HOSTS=[".example.com"])
app.add_url_rule("/", "home", lambda: request.host + " " + url_for("home", _external=False))
app.add_url_rule("/", "user", lambda name: name, subdomain="<name>")
app.register_error_handler(400, lambda e: ("untrusted", 400))
'''

ROUTES = '''
import datetime
from werkzeug.routing import BaseConverter
from {fw} import Blueprint, Flask, render_template_string, url_for
from {fw}.views import View
class ListConverter(BaseConverter):
    regex = r"\\d+(?:,\\d+)*"
    def to_python(self, value): return [int(x) for x in value.split(",")]
    def to_url(self, value): return ",".join(str(x) for x in value)
app = Flask(__name__)
app.url_map.converters["list"] = ListConverter
app.add_url_rule("/sum/<list:nums>", "total",
                 lambda nums: {{"sum": sum(nums), "url": url_for("total", nums=[1, 2])}})
app.add_url_rule("/opts", "opts", lambda: "x", provide_automatic_options=False)
app.url_defaults(lambda endpoint, values: endpoint == "about" and app.url_map
                 .is_endpoint_expecting(endpoint, "lang") and values.setdefault("lang", "en"))
app.add_url_rule("/<lang>/about", "about", lambda lang: url_for("about"))
bp = Blueprint("bp", __name__)
bp.add_url_rule("/page", "page", lambda kind: kind + " " + url_for(".page"))
bp.add_app_template_filter(lambda s: s[::-1], "rev")
child = Blueprint("child", __name__, url_prefix="/child")
child.add_url_rule("/c", "c", lambda **kw: "nested")
bp.register_blueprint(child, url_prefix=None)
app.register_blueprint(bp, url_prefix="/bp", url_defaults={{"kind": "plain"}})
class Async(View):
    async def dispatch_request(self): return "async"
app.add_url_rule("/async", view_func=Async.as_view("async_view"))
app.url_build_error_handlers.append(lambda error, endpoint, values: "/fallback/" + endpoint)
app.add_url_rule("/links", "links", lambda: url_for("nowhere"))
app.add_url_rule("/tpl", "tpl", lambda: render_template_string(
    "{{{{ 'abc'|rev }}}} {{{{ d|tojson }}}}", d=datetime.date(2020, 1, 2)))
'''

STATIC = '''
from {fw} import Flask, send_file
class App(Flask):
    def get_send_file_max_age(self, filename):
        return 7 if self.config.get("PER_FILE") else super().get_send_file_max_age(filename)
app = App(__name__, KWARGS)
torn = []
app.teardown_request(torn.append)
app.add_url_rule("/file", "file", lambda: send_file("public/a.txt"))
'''


def client(fw, tmp_path, source, **config):
    app = build(fw, tmp_path, source, stem=f"sem{abs(hash(source))}")
    return app.config.update(config) or app.test_client()


DATE = "Thu, 02 Jan 2020 00:00:00 GMT"
ANSWERS = {
    "values the JSON provider writes": (PLAIN, {}, "GET", "/values", {}, 200, {
        "d": "Thu, 02 Jan 2020 03:04:05 GMT", "m": "1.5", "p": {"x": 1},
        "u": "00000000-0000-0000-0000-000000000001"}, None),
    "and with a status": (PLAIN, {}, "GET", "/created", {}, 201, [DATE], None),
    "query string": (PLAIN, {}, "GET", "/query?a=%20b", {}, 200, "b'a=%20b'", None),
    "make_response(generator)": (PLAIN, {}, "GET", "/stream", {}, 200, "ab", None),
    "(response, headers)": (PLAIN, {}, "GET", "/gone", {}, 404, "gone", None),
    "500 page after after_request": (HOOKED, {}, "GET", "/boom", {}, 500, None, "1"),
    "413 handler": (HOOKED, {}, "POST", "/upload", {"data": b"x" * 11}, 413, "too large", "1"),
    "after_request raising": (HANDLED, {}, "GET", "/after-fails", {}, 500,
                              "handled KeyError", None),
    "test client on SERVER_NAME": (HOSTS, {}, "GET", "/", {}, 200, "example.com:8080 /", None),
    "subdomain=": (HOSTS, {}, "GET", "/", {"subdomain": "ann"}, 200, "ann", None),
    "TRUSTED_HOSTS": (HOSTS, {}, "GET", "/", {"headers": {"Host": "evil.com"}}, 400,
                      "untrusted", None),
    "converter of ones own": (ROUTES, {}, "GET", "/sum/1,2,3", {}, 200,
                              {"sum": 6, "url": "/sum/1,2"}, None),
    "its regex": (ROUTES, {}, "GET", "/sum/1,x", {}, 404, None, None),
    "no automatic OPTIONS": (ROUTES, {}, "OPTIONS", "/opts", {}, 405, None, None),
    "is_endpoint_expecting": (ROUTES, {}, "GET", "/en/about", {}, 200, "/en/about", None),
    "blueprint url_defaults": (ROUTES, {}, "GET", "/bp/page", {}, 200, "plain /bp/page", None),
    "nested blueprint's prefix": (ROUTES, {}, "GET", "/bp/child/c", {}, 200, "nested", None),
    "async View": (ROUTES, {}, "GET", "/async", {}, 200, "async", None),
    "url_build_error_handlers": (ROUTES, {}, "GET", "/links", {}, 200, "/fallback/nowhere",
                                 None),
    "app template filter, tojson": (ROUTES, {}, "GET", "/tpl", {}, 200, f'cba "{DATE}"', None),
}


@pytest.mark.parametrize("case", list(ANSWERS))
def test_answers(fw, tmp_path, case):
    source, config, method, path, kwargs, status, body, cors = ANSWERS[case]
    r = client(fw, tmp_path, source, **config).open(path, method=method, **kwargs)
    assert (r.status_code, r.headers.get("X-Cors")) == (status, cors)
    assert body is None or (r.get_json() if r.is_json else r.get_data(as_text=True)) == body


@pytest.mark.parametrize("source,config,path,raised", [
    (PLAIN, {"TESTING": True}, "/boom", KeyError),
    (PLAIN, {"PROPAGATE_EXCEPTIONS": True}, "/boom", KeyError),
    (PLAIN, {"DEBUG": True}, "/boom", KeyError),
    (PLAIN, {}, "/stop", KeyboardInterrupt),
    (SESSIONS, {"SESSION_COOKIE_SAMESITE": "Bogus", "TESTING": True}, "/login", ValueError),
    (SESSIONS, {"MAX_COOKIE_SIZE": 100}, "/login?times=40", UserWarning),
], ids=["TESTING", "PROPAGATE_EXCEPTIONS", "debug", "Ctrl-C", "SameSite", "MAX_COOKIE_SIZE"])
def test_what_the_test_client_raises(fw, tmp_path, source, config, path, raised):
    c = client(fw, tmp_path, source, **config)
    with pytest.warns(raised) if raised is UserWarning else pytest.raises(raised):
        c.get(path)


@pytest.mark.parametrize("source", [PLAIN, HOOKED], ids=["plain", "hooked"])
def test_unhandled_exceptions_are_logged_by_the_app(fw, tmp_path, source, caplog):
    c = client(fw, tmp_path, source)
    with caplog.at_level(logging.ERROR):
        assert c.get("/boom").status_code == 500
    [record] = [r for r in caplog.records if r.name.startswith("sem")]
    assert (record.getMessage(), record.exc_info[0]) == ("Exception on /boom [GET]", KeyError)
    app = build(fw, tmp_path, source.replace("app = Flask(__name__)", "app = Flask(__name__)\n"
                                             "app.debug = True"), stem="debuglog")
    assert app.logger.getEffectiveLevel() == logging.DEBUG


@pytest.mark.parametrize("config,login,cookie_on_plain", [
    ({}, "/login", True), ({}, "/login?temporary", False),
    ({"SESSION_REFRESH_EACH_REQUEST": False}, "/login", False),
])
def test_permanent_sessions_are_refreshed(fw, tmp_path, config, login, cookie_on_plain):
    c = client(fw, tmp_path, SESSIONS, **config)
    assert c.get(login).headers.get("Set-Cookie")
    assert bool(c.get("/plain").headers.get("Set-Cookie")) == cookie_on_plain


def test_a_session_interface_of_ones_own(fw, tmp_path):
    app = build(fw, tmp_path, SESSIONS, stem="own_sessions")
    app.session_interface = sys.modules[app.import_name].Memory()
    app.config["SESSION_COOKIE_PARTITIONED"] = True
    c = app.test_client()
    assert "Partitioned" in c.get("/plain").headers["Set-Cookie"] and c.get("/plain")
    assert app.session_interface.store["1"] == {"user": "bob", "seen": 2}


def test_urls_outside_a_request_and_blueprint_names(fw, tmp_path):
    app = build(fw, tmp_path, ROUTES, stem="outside")
    app.config.update(SERVER_NAME="example.com", APPLICATION_ROOT="/root")
    with app.app_context():
        assert __import__(fw).url_for("total", nums=[3]) == "http://example.com/root/sum/3"
    bp = sys.modules[app.import_name].bp
    with pytest.raises(ValueError):
        app.register_blueprint(bp, url_prefix="/again")
    app.register_blueprint(bp, url_prefix="/again", name="again", url_defaults={"kind": "k"})
    assert app.test_client().get("/again/page").get_data(as_text=True) == "k /root/again/page"


@pytest.mark.parametrize("kwargs,config,method,path,header,value", [
    ({"static_folder": "public"}, {}, "GET", "/public/a.txt", "Cache-Control", "no-cache"),
    ({"static_url_path": ""}, {}, "GET", "/a.txt", "Cache-Control", "no-cache"),
    ({}, {"SEND_FILE_MAX_AGE_DEFAULT": 60}, "GET", "/static/a.txt", "Cache-Control",
     "public, max-age=60"),
    ({}, {"PER_FILE": True}, "GET", "/static/a.txt", "Cache-Control", "public, max-age=7"),
    ({}, {}, "HEAD", "/file", "Content-Length", "3"),
])
def test_static_files(fw, tmp_path, kwargs, config, method, path, header, value):
    for file in (tmp_path / "public" / "a.txt", tmp_path / "static" / "a.txt"):
        file.parent.mkdir(exist_ok=True) or file.write_text("hi\n")
    source = STATIC.replace("KWARGS", ", ".join(f"{k}={v!r}" for k, v in kwargs.items()))
    r = client(fw, tmp_path, source, **config).open(path, method=method)
    assert r.status_code == 200
    assert r.headers.get(header) in ((value, "public, max-age=0") if value == "no-cache"
                                     else (value,))  # kiv's max-age=0: see docs/guide.md


def test_popping_a_request_context_tears_down(fw, tmp_path):
    app = build(fw, tmp_path, STATIC.replace("KWARGS", ""), stem="teardown")
    with pytest.raises(KeyError), app.test_request_context("/file"):
        raise KeyError("k")
    response, torn = app.response_class(iter(["a"])), sys.modules[app.import_name].torn
    response.call_on_close(lambda: torn.append(None)), response.close()
    assert [type(e) for e in torn] == [KeyError, type(None)]
