"""What a Flask application observes, checked on Flask and on kiv alike: each test runs
once per framework with the same source, so Flask itself shows the answer is right."""

import datetime
import logging
import sys

import pytest

from test_flask_parity import build

FRAMEWORKS = ["flask", "kiv"]

# A plain app (no hooks, no handlers, no secret key: kiv's bare plan) and one with hooks.
PLAIN = '''
import dataclasses, datetime, decimal, uuid
from {fw} import Flask, Response, make_response, request
app = Flask(__name__)
@dataclasses.dataclass
class Point:
    x: int
@app.route("/boom")
def boom():
    raise KeyError("k")
@app.route("/stop")
def stop():
    raise KeyboardInterrupt
@app.route("/values")
def values():
    return {{"d": datetime.datetime(2020, 1, 2, 3, 4, 5), "u": uuid.UUID(int=1),
            "m": decimal.Decimal("1.5"), "p": Point(1)}}
@app.route("/values/created")
def values_created():
    return [datetime.date(2020, 1, 2)], 201
@app.route("/query")
def query():
    return type(request.query_string).__name__ + ":" + request.query_string.decode()
@app.route("/stream")
def stream():
    return make_response((part for part in ["a", "b"]))
@app.route("/gone")
def gone():
    return Response("gone", 404), {{"X-H": "1"}}
'''

HOOKED = '''
from {fw} import Flask, request
app = Flask(__name__)
app.config["MAX_CONTENT_LENGTH"] = 10
@app.after_request
def cors(response):
    if request.path == "/after-fails":
        raise ValueError("after")
    response.headers["X-Cors"] = "1"
    return response
@app.errorhandler(413)
def too_large(e):
    return "too large", 413
@app.route("/boom")
def boom():
    raise KeyError("k")
@app.route("/after-fails")
def after_fails():
    return "fine"
@app.route("/upload", methods=["POST"])
def upload():
    return request.get_data()
'''

HANDLED = HOOKED.replace("@app.errorhandler(413)", '''@app.errorhandler(500)
def server_error(e):
    return "handled " + type(e.original_exception).__name__, 500
@app.errorhandler(413)''')


@pytest.fixture(params=FRAMEWORKS)
def fw(request):
    return request.param


def client(fw, tmp_path, source, **config):
    app = build(fw, tmp_path, source, stem=f"sem{abs(hash(source))}")
    app.config.update(config)
    return app.test_client()


ANSWERS = {
    "values the JSON provider writes": (PLAIN, "GET", "/values", None, 200, {
        "d": "Thu, 02 Jan 2020 03:04:05 GMT", "m": "1.5", "p": {"x": 1},
        "u": "00000000-0000-0000-0000-000000000001"}, None),
    "and with a status": (PLAIN, "GET", "/values/created", None, 201,
                          ["Thu, 02 Jan 2020 00:00:00 GMT"], None),
    "query string": (PLAIN, "GET", "/query?a=%20b&c", None, 200, "bytes:a=%20b&c", None),
    "make_response(generator)": (PLAIN, "GET", "/stream", None, 200, "ab", None),
    "(response, headers)": (PLAIN, "GET", "/gone", None, 404, "gone", None),
    "500 page after after_request": (HOOKED, "GET", "/boom", None, 500, None, "1"),
    "413 handler": (HOOKED, "POST", "/upload", b"x" * 11, 413, "too large", "1"),
    "within the limit": (HOOKED, "POST", "/upload", b"x" * 10, 200, "x" * 10, "1"),
    "after_request raising": (HANDLED, "GET", "/after-fails", None, 500, "handled ValueError",
                              None),
    "500 handler": (HANDLED, "GET", "/boom", None, 500, "handled KeyError", "1"),
}


@pytest.mark.parametrize("case", list(ANSWERS))
def test_answers(fw, tmp_path, case):
    source, method, path, data, status, body, cors = ANSWERS[case]
    r = client(fw, tmp_path, source).open(path, method=method, data=data)
    assert (r.status_code, r.headers.get("X-Cors")) == (status, cors)
    assert body is None or (r.get_json() if r.is_json else r.get_data(as_text=True)) == body


@pytest.mark.parametrize("config,path,raised", [
    ({"TESTING": True}, "/boom", KeyError),
    ({"PROPAGATE_EXCEPTIONS": True}, "/boom", KeyError),
    ({}, "/stop", KeyboardInterrupt),
])
def test_exceptions_leave_the_test_client(fw, tmp_path, config, path, raised):
    c = client(fw, tmp_path, PLAIN, **config)
    with pytest.raises(raised):
        c.get(path)


@pytest.mark.parametrize("source", [PLAIN, HOOKED], ids=["plain", "hooked"])
def test_unhandled_exceptions_are_logged_by_the_app(fw, tmp_path, source, caplog):
    c = client(fw, tmp_path, source)
    with caplog.at_level(logging.ERROR):
        assert c.get("/boom").status_code == 500
    [record] = [r for r in caplog.records if r.name.startswith("sem")]
    assert record.getMessage() == "Exception on /boom [GET]"
    assert record.exc_info[0] is KeyError


def test_debug_logs_at_debug_level(fw, tmp_path):
    app = build(fw, tmp_path, PLAIN.replace("Flask(__name__)", "Flask(__name__)\napp.debug = True"),
                stem="debuglog")
    assert app.logger.getEffectiveLevel() == logging.DEBUG


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
@app.route("/plain")
def plain():
    return "plain"
class Memory(SessionInterface):
    store = {{}}
    def open_session(self, app, request):
        return dict(self.store.get(request.cookies.get("sid"), {{"user": "bob"}}))
    def save_session(self, app, session, response):
        self.store["1"] = dict(session, seen=session.get("seen", 0) + 1)
        response.set_cookie("sid", "1", partitioned=self.get_cookie_partitioned(app))
'''


@pytest.mark.parametrize("config,login,cookie_on_plain", [
    ({}, "/login", True),
    ({}, "/login?temporary", False),
    ({"SESSION_REFRESH_EACH_REQUEST": False}, "/login", False),
])
def test_permanent_sessions_are_refreshed(fw, tmp_path, config, login, cookie_on_plain):
    c = client(fw, tmp_path, SESSIONS, **config)
    assert c.get(login).headers.get("Set-Cookie")
    assert bool(c.get("/plain").headers.get("Set-Cookie")) == cookie_on_plain


@pytest.mark.parametrize("config,expect", [
    ({"SESSION_COOKIE_PARTITIONED": True}, "Partitioned"),
    ({"SESSION_COOKIE_SAMESITE": "Bogus"}, ValueError),
    ({"MAX_COOKIE_SIZE": 100}, UserWarning),
])
def test_session_cookie_settings(fw, tmp_path, config, expect):
    c = client(fw, tmp_path, SESSIONS, TESTING=True, **config)
    if isinstance(expect, str):
        assert expect in c.get("/login").headers["Set-Cookie"]
    else:
        with pytest.raises(expect) if expect is ValueError else pytest.warns(expect):
            c.get("/login?times=40")


def test_a_session_interface_of_ones_own(fw, tmp_path):
    app = build(fw, tmp_path, SESSIONS, stem="own_sessions")
    app.session_interface = sys.modules[app.import_name].Memory()
    c = app.test_client()
    c.get("/plain"), c.get("/plain")
    assert app.session_interface.store["1"] == {"user": "bob", "seen": 2}


HOSTS = '''
from {fw} import Flask, request, url_for
app = Flask(__name__, subdomain_matching=True)
app.config.update(SERVER_NAME="example.com:8080", TRUSTED_HOSTS=[".example.com"])
@app.route("/")
def home():
    return request.host + " " + url_for("home", _external=False)
@app.route("/", subdomain="<name>")
def user(name):
    return name
@app.errorhandler(400)
def bad(e):
    return "untrusted", 400
'''


@pytest.mark.parametrize("kwargs,answer", [
    ({}, "example.com:8080 /"),
    ({"subdomain": "ann"}, "ann"),
    ({"headers": {"Host": "evil.com"}}, "untrusted"),
])
def test_test_client_hosts(fw, tmp_path, kwargs, answer):
    r = client(fw, tmp_path, HOSTS).get("/", **kwargs)
    assert r.get_data(as_text=True) == answer


ROUTES = '''
import datetime
from werkzeug.routing import BaseConverter
from {fw} import Blueprint, Flask, render_template_string, url_for
from {fw}.views import View
class ListConverter(BaseConverter):
    regex = r"\\d+(?:,\\d+)*"
    def to_python(self, value):
        return [int(x) for x in value.split(",")]
    def to_url(self, value):
        return ",".join(str(x) for x in value)
app = Flask(__name__)
app.url_map.converters["list"] = ListConverter
@app.route("/sum/<list:nums>")
def total(nums):
    return {{"sum": sum(nums), "url": url_for("total", nums=[1, 2])}}
@app.route("/opts", provide_automatic_options=False)
def opts():
    return "x"
@app.url_defaults
def lang_default(endpoint, values):
    if "lang" not in values and endpoint == "about" and app.url_map.is_endpoint_expecting(
            endpoint, "lang"):
        values["lang"] = "en"
@app.route("/<lang>/about")
def about(lang):
    return url_for("about")
bp = Blueprint("bp", __name__)
@bp.route("/page")
def page(kind):
    return kind + " " + url_for(".page")
bp.add_app_template_filter(lambda s: s[::-1], "rev")
app.register_blueprint(bp, url_prefix="/bp", url_defaults={{"kind": "plain"}})
class Async(View):
    async def dispatch_request(self):
        return "async"
app.add_url_rule("/async", view_func=Async.as_view("async_view"))
app.url_build_error_handlers.append(lambda error, endpoint, values: "/fallback/" + endpoint)
@app.route("/links")
def links():
    return url_for("nowhere")
@app.route("/tpl")
def tpl():
    return render_template_string("{{{{ 'abc'|rev }}}} {{{{ d|tojson }}}}",
                                  d=datetime.date(2020, 1, 2))
'''

ROUTE_ANSWERS = {
    "converter of ones own": ("GET", "/sum/1,2,3", 200, {"sum": 6, "url": "/sum/1,2"}),
    "its regex": ("GET", "/sum/1,x", 404, None),
    "no automatic OPTIONS": ("OPTIONS", "/opts", 405, None),
    "is_endpoint_expecting": ("GET", "/en/about", 200, "/en/about"),
    "blueprint url_defaults": ("GET", "/bp/page", 200, "plain /bp/page"),
    "async View": ("GET", "/async", 200, "async"),
    "url_build_error_handlers": ("GET", "/links", 200, "/fallback/nowhere"),
    "app template filter, tojson": ("GET", "/tpl", 200, 'cba "Thu, 02 Jan 2020 00:00:00 GMT"'),
}


@pytest.mark.parametrize("case", list(ROUTE_ANSWERS))
def test_routes(fw, tmp_path, case):
    method, path, status, body = ROUTE_ANSWERS[case]
    r = client(fw, tmp_path, ROUTES).open(path, method=method)
    assert r.status_code == status
    assert body is None or (r.get_json() if r.is_json else r.get_data(as_text=True)) == body


def test_urls_outside_a_request_name_the_server(fw, tmp_path):
    app = build(fw, tmp_path, ROUTES, stem="outside")
    app.config.update(SERVER_NAME="example.com", APPLICATION_ROOT="/root")
    with app.app_context():
        assert url_for_of(fw)("total", nums=[3]) == "http://example.com/root/sum/3"


def url_for_of(fw):
    return __import__(fw).url_for


def test_a_blueprint_name_is_registered_once(fw, tmp_path):
    app = build(fw, tmp_path, ROUTES, stem="twice")
    bp = sys.modules[app.import_name].bp
    with pytest.raises(ValueError):
        app.register_blueprint(bp, url_prefix="/again")
    app.register_blueprint(bp, url_prefix="/again", name="again", url_defaults={"kind": "k"})
    assert app.test_client().get("/again/page").get_data(as_text=True) == "k /again/page"


STATIC = '''
from {fw} import Flask, send_file
class App(Flask):
    def get_send_file_max_age(self, filename):
        return 7 if self.config.get("PER_FILE") else super().get_send_file_max_age(filename)
app = App(__name__, KWARGS)
torn = []
app.teardown_request(torn.append)
@app.route("/file")
def file():
    return send_file("public/a.txt")
'''


@pytest.mark.parametrize("kwargs,config,method,path,header,value", [
    ({"static_folder": "public"}, {}, "GET", "/public/a.txt", "Cache-Control", "no-cache"),
    ({"static_url_path": ""}, {}, "GET", "/a.txt", "Cache-Control", "no-cache"),
    ({}, {"SEND_FILE_MAX_AGE_DEFAULT": 60}, "GET", "/static/a.txt", "Cache-Control",
     "public, max-age=60"),
    ({}, {"PER_FILE": True}, "GET", "/static/a.txt", "Cache-Control", "public, max-age=7"),
    ({}, {}, "HEAD", "/file", "Content-Length", "3"),
])
def test_static_files(fw, tmp_path, kwargs, config, method, path, header, value):
    for folder in ("public", "static"):
        (tmp_path / folder).mkdir(exist_ok=True)
        (tmp_path / folder / "a.txt").write_text("hi\n")
    source = STATIC.replace("KWARGS", ", ".join(f"{k}={v!r}" for k, v in kwargs.items()))
    r = client(fw, tmp_path, source, **config).open(path, method=method)
    assert r.status_code == 200
    # With no max age the server says max-age=0, where Flask says no-cache: both have the
    # browser ask again each time (docs/guide.md).
    assert r.headers.get(header) in ((value, "public, max-age=0") if value == "no-cache"
                                     else (value,))


def test_popping_a_request_context_tears_down(fw, tmp_path):
    app = build(fw, tmp_path, STATIC.replace("KWARGS", ""), stem="teardown")
    with pytest.raises(KeyError), app.test_request_context("/file"):
        raise KeyError("k")
    assert [type(e) for e in sys.modules[app.import_name].torn] == [KeyError]
