"""Flask's WSGI side, run on Flask and on kiv: app.wsgi_app called by another WSGI server,
WSGI middleware put in its place, and the routing and response details apps rely on."""

import http.client
import json
import os
import threading
import wsgiref.simple_server
from unittest.mock import ANY

import pytest
from werkzeug.test import Client

from test_flask_parity import build

MIDDLEWARE = '''
import os
from {fw} import Flask, redirect, request, url_for
from werkzeug.middleware.dispatcher import DispatcherMiddleware
from werkzeug.middleware.proxy_fix import ProxyFix
from werkzeug.middleware.shared_data import SharedDataMiddleware
app = Flask(__name__, static_folder="public")
@app.route("/where", methods=["GET", "POST"])
def where():
    return {{"root": request.script_root, "url": url_for("where", _external=True),
            "addr": request.remote_addr, "scheme": request.scheme, "form": request.form,
            "fixed": "werkzeug.proxy_fix.orig" in request.environ}}
app.add_url_rule("/go", "go", lambda: redirect(url_for("where")))
app.add_url_rule("/dir/", "dir", lambda: "dir")
def other(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [(environ["SCRIPT_NAME"] + "|" + environ["PATH_INFO"]).encode()]
shared = os.path.join(os.path.dirname(__file__), "shared")
app.wsgi_app = DispatcherMiddleware(app.wsgi_app, {{"/other": other}})
app.wsgi_app = SharedDataMiddleware(app.wsgi_app, {{"/shared": shared}})
app.wsgi_app = ProxyFix(app.wsgi_app, x_for=1, x_proto=1, x_host=1, x_prefix=1)
'''

PLAIN = MIDDLEWARE.split("def other")[0] + '''
@app.route("/f/<float:x>")
@app.route("/s/<float(signed=True):x>")
@app.route("/i/<int(signed=True):x>")
def number(x):
    return repr(x)
app.add_url_rule("/bytes", "bytes", lambda: b"<b>")
app.add_url_rule("/bytes-created", "bytes_created", lambda: (b"<b>", 201))
app.add_url_rule("/loose/", "loose", lambda: "loose", strict_slashes=False)
app.add_url_rule("/bare", "bare", lambda: "bare", strict_slashes=False)
@app.route("/env")
def env():
    request.environ["app.note"] = "kept"  # code stores things there for later in the request
    return request.environ["app.note"] + " " + request.environ["REQUEST_METHOD"]
@app.route("/agen")
def agen():
    async def parts():
        yield "a"
        yield "b"
    return parts()  # streamed from the event loop (kiv's own; Flask takes sync bodies)
@app.route("/page")
def page():
    from {fw} import render_template
    return render_template("page.html")
'''

# ProxyFix alone: its work is done by kiv's requests, on the native path.
PROXIED = PLAIN + '''
app.wsgi_app = ProxyFix(app.wsgi_app, x_for=1, x_proto=1, x_host=1, x_prefix=1)
'''

FORWARDED = {"X-Forwarded-For": "10.1.2.3", "X-Forwarded-Proto": "https",
             "X-Forwarded-Host": "example.org", "X-Forwarded-Prefix": "/pre"}


@pytest.fixture(params=["flask", "kiv"])
def fw(request):
    return request.param


def make(fw, tmp_path, source):
    (tmp_path / "shared").mkdir(exist_ok=True)
    (tmp_path / "shared" / "a.txt").write_text("shared file")
    (tmp_path / "public").mkdir(exist_ok=True)
    (tmp_path / "public" / "s.txt").write_text("static file")
    (tmp_path / "templates").mkdir(exist_ok=True)
    (tmp_path / "templates" / "page.html").write_text("first")
    return build(fw, tmp_path, source, stem=f"wsgi{abs(hash(source))}")


def answer(r):
    body = r.get_json() if r.is_json else r.get_data(as_text=True)
    return r.status_code, body, r.headers.get("Location")


WHERE = {"root": "/pre", "url": "https://example.org/pre/where", "addr": "10.1.2.3",
         "scheme": "https", "form": {}, "fixed": True}


@pytest.mark.parametrize("method,path,headers,data,expected", [
    ("GET", "/where", FORWARDED, None, (200, WHERE, None)),
    ("POST", "/where", FORWARDED, {"a": "1"}, (200, {**WHERE, "form": {"a": "1"}}, None)),
    ("GET", "/where", {}, None, (200, {"root": "", "url": "http://localhost/where",
                                       "addr": "127.0.0.1", "scheme": "http", "form": {},
                                       "fixed": True}, None)),
    ("GET", "/go", FORWARDED, None, (302, None, "/pre/where")),
    ("GET", "/other/x", {}, None, (200, "/other|/x", None)),
    ("GET", "/shared/a.txt", {}, None, (200, "shared file", None)),
    ("GET", "/public/s.txt", {}, None, (200, "static file", None)),
    ("GET", "/nowhere", {}, None, (404, None, None)),
], ids=["ProxyFix", "form body", "no proxy", "redirect under prefix", "DispatcherMiddleware",
        "SharedDataMiddleware", "static file", "404"])
def test_middleware_in_place_of_wsgi_app(fw, tmp_path, method, path, headers, data, expected):
    r = make(fw, tmp_path, MIDDLEWARE).test_client().open(path, method=method,
                                                          headers=headers, data=data)
    status, body, location = answer(r)
    assert (status, location) == expected[::2]
    assert expected[1] is None or body == expected[1]


@pytest.mark.parametrize("method,path,headers,expected", [
    ("GET", "/where", FORWARDED, (200, WHERE, None)),
    ("POST", "/where", FORWARDED, (200, {**WHERE, "form": {"a": "1"}}, None)),
    ("GET", "/go", FORWARDED, (302, None, "/pre/where")),
    ("GET", "/dir", FORWARDED, (308, None, "/pre/dir/")),
    ("GET", "/dir", {}, (308, None, "/dir/")),
    ("GET", "/public/s.txt", FORWARDED, (200, "static file", None)),
], ids=["ProxyFix", "form body", "redirect", "slash redirect", "no proxy", "static file"])
def test_proxy_fix_alone(fw, tmp_path, method, path, headers, expected):
    r = make(fw, tmp_path, PROXIED).test_client().open(
        path, method=method, headers=headers, data={"a": "1"} if method == "POST" else None)
    status, body, location = answer(r)
    if fw == "flask" and status == 308:  # Flask's is absolute
        location = "/" + location.split("://", 1)[1].split("/", 1)[1]
    assert (status, location) == expected[::2]
    assert expected[1] is None or body == expected[1]


def test_with_client_keeps_the_request_behind_middleware(fw, tmp_path):
    request = __import__(fw).request
    with make(fw, tmp_path, MIDDLEWARE).test_client() as client:
        client.get("/where", headers=FORWARDED)
        assert (request.script_root, request.remote_addr) == ("/pre", "10.1.2.3")


@pytest.mark.parametrize("path,base,expected", [
    ("/where", "http://localhost/mnt", (200, {"root": "/mnt", "url": "http://localhost/mnt/where",
                                             "addr": None, "scheme": "http", "form": {},
                                             "fixed": False}, None)),
    ("/go", "http://localhost/mnt", (302, None, "/mnt/where")),
    ("/dir", "http://localhost/mnt", (308, None, "/mnt/dir/")),
    ("/f/1.5", "http://localhost/", (200, "1.5", None)),
    ("/bytes", "https://localhost/", (200, "<b>", None)),
    ("/public/s.txt", "http://localhost/", (200, "static file", None)),
    ("/nowhere", "http://localhost/", (404, None, None)),
])
def test_wsgi_app_called_by_a_wsgi_client(fw, tmp_path, path, base, expected):
    app = make(fw, tmp_path, PLAIN)
    r = Client(app).get(path, base_url=base)
    status, body, location = answer(r)
    if fw == "flask" and status == 308:
        location = location.replace("http://localhost", "")  # Flask's is absolute
    assert (status, location) == expected[::2]
    assert expected[1] is None or body == expected[1]


@pytest.mark.parametrize("path,expected", [
    ("/f/1.5", (200, "1.5")), ("/f/01.50", (200, "1.5")), ("/f/1", (404, None)),
    ("/f/-1.5", (404, None)), ("/f/.5", (404, None)), ("/f/1.", (404, None)),
    ("/s/-1.5", (200, "-1.5")), ("/s/1", (404, None)), ("/i/-3", (200, "-3")),
    ("/loose/", (200, "loose")), ("/loose", (200, "loose")), ("/bare", (200, "bare")),
    ("/bare/", (200, "bare")), ("/dir", (308, None)), ("/env", (200, "kept GET")),
])
def test_converters_slashes_and_environ(fw, tmp_path, path, expected):
    r = make(fw, tmp_path, PLAIN).test_client().get(path)
    assert (r.status_code, r.get_data(as_text=True) if expected[1] else None) == expected


@pytest.mark.parametrize("path,status", [("/bytes", 200), ("/bytes-created", 201)])
def test_bytes_are_sent_as_the_default_mimetype(fw, tmp_path, path, status):
    r = make(fw, tmp_path, PLAIN).test_client().get(path)
    assert (r.status_code, r.content_type, r.data) == (status, "text/html; charset=utf-8",
                                                         b"<b>")


@pytest.mark.parametrize("debug,config,expected", [
    (True, None, "changed"), (False, None, "first"), (True, False, "first"),
    (False, True, "changed"),
])
def test_templates_reload_in_debug_mode(fw, tmp_path, debug, config, expected):
    app = make(fw, tmp_path, PLAIN)
    app.config["TEMPLATES_AUTO_RELOAD"] = config
    client = app.test_client()
    assert client.get("/page").data == b"first"
    app.debug = debug  # after the environment exists, as `run(debug=True)` may be
    page = tmp_path / "templates" / "page.html"
    page.write_text("changed")
    os.utime(page, (page.stat().st_atime, page.stat().st_mtime + 10))
    assert client.get("/page").data.decode() == expected


@pytest.mark.parametrize("source", [MIDDLEWARE, PROXIED], ids=["middleware", "ProxyFix"])
def test_middleware_runs_on_the_served_app(tmp_path, source):
    app = make("kiv", tmp_path, source)
    sid = app.server.start("127.0.0.1", 0)
    try:
        host, port = app.server.bound_addr(sid).rsplit(":", 1)
        conn = http.client.HTTPConnection(host, int(port), timeout=10)
        seen = []
        # A prefix that would make the relative Location name another host is not used.
        evil = {**FORWARDED, "X-Forwarded-Prefix": "//evil.com"}
        for path, headers in [("/where", FORWARDED), ("/dir", FORWARDED), ("/dir", evil),
                              ("/other/y", {})]:
            conn.request("GET", path, headers=headers)
            r = conn.getresponse()
            seen.append((r.status, r.read().decode(), r.getheader("Location")))
        conn.close()
    finally:
        app.server.stop(sid, 5)
    assert json.loads(seen[0][1]) == WHERE
    assert [s[::2] for s in seen[1:3]] == [(308, "/pre/dir/"), (308, "/dir/")]
    assert seen[3][:2] == ((200, "/other|/y") if source is MIDDLEWARE else (404, ANY))


def test_a_kiv_app_under_another_wsgi_server(tmp_path):
    app = make("kiv", tmp_path, PLAIN)
    server = wsgiref.simple_server.make_server("127.0.0.1", 0, app,
                                              handler_class=_QuietHandler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.start()
    try:
        conn = http.client.HTTPConnection("127.0.0.1", server.server_port, timeout=10)
        conn.request("POST", "/where", body="a=1",
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        r = conn.getresponse()
        got = (r.status, json.loads(r.read()))
        conn.request("GET", "/agen")
        streamed = conn.getresponse().read()
        conn.close()
    finally:
        server.shutdown()
        thread.join(10)
        server.server_close()
    assert got == (200, {"root": "", "url": f"http://127.0.0.1:{server.server_port}/where",
                         "addr": "127.0.0.1", "scheme": "http", "form": {"a": "1"},
                         "fixed": False})
    assert streamed == b"ab"


class _QuietHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, *args):
        pass
