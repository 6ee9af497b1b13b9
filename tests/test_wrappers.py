"""Request and response objects as views use them, in-process and over a socket."""

import base64
import dataclasses
import datetime
import decimal
import json
import uuid

import pytest

from test_serving import http

from kiv import App, Headers, Response, jsonify, make_response, request
from kiv import json as kiv_json


@dataclasses.dataclass
class Point:
    x: int
    y: list


def make_app(**kw):
    app = App("wrappers", **kw)

    @app.route("/req/<path:rest>", methods=["GET", "POST"])
    def req(rest):
        auth = request.authorization
        return {
            "url": request.url, "base_url": request.base_url, "url_root": request.url_root,
            "host": request.host, "host_url": request.host_url, "scheme": request.scheme,
            "full_path": request.full_path, "path": request.path,
            "values": request.values.to_dict(flat=False), "data": request.get_data(as_text=True),
            "auth": [auth.type, auth.username, auth.password] if auth else None,
            "length": request.content_length, "mimetype": request.mimetype,
            "remote": request.remote_addr,
        }

    @app.route("/shape/<kind>")
    def shape(kind):
        return {
            "dict_headers": ("body", {"X-A": "1"}),
            "list_headers": ("body", [("X-A", "1"), ("X-B", "2")]),
            "headers_obj": ("body", Headers([("X-A", "1")])),
            "status_headers": ("body", 201, {"X-A": "1"}),
            "status_text": ("body", "202 ACCEPTED"),
            "response_status": (Response("body"), 203),
            "make_response": make_response("body", 207, {"X-A": "1"}),
        }[kind]

    @app.route("/cookies")
    def cookies():
        resp = Response("c", mimetype="text/plain")
        resp.set_cookie("a", "1", max_age=60, httponly=True, samesite="Strict")
        resp.set_cookie("b", "x y;z", path="/sub", secure=True)
        resp.delete_cookie("old")
        return resp

    @app.route("/json/<kind>")
    def as_json(kind):
        value = {"é": [1.5, 1e-05, 1e16, None, True], "a": {"z": "\x7f/\n"}, "b": 2 ** 63}
        return jsonify(value) if kind == "jsonify" else value

    return app


def test_request_url_parts_and_body():
    c = make_app().test_client()
    token = base64.b64encode(b"ann:pw:x").decode()
    r = c.post("/req/a%20b?q=1&q=2", data={"f": "v", "q": "3"},
               headers={"Host": "example.com:8080", "Authorization": f"Basic {token}"})
    assert r.json == {
        "url": "http://example.com:8080/req/a%20b?q=1&q=2",
        "base_url": "http://example.com:8080/req/a%20b",
        "url_root": "http://example.com:8080/", "host": "example.com:8080",
        "host_url": "http://example.com:8080/", "scheme": "http",
        "full_path": "/req/a b?q=1&q=2", "path": "/req/a b",
        "values": {"q": ["1", "2", "3"], "f": ["v"]}, "data": "f=v&q=3",
        "auth": ["basic", "ann", "pw:x"], "length": 7,
        "mimetype": "application/x-www-form-urlencoded", "remote": "127.0.0.1",
    }


@pytest.mark.parametrize("kind,status,headers", [
    ("dict_headers", 200, [("X-A", "1")]),
    ("list_headers", 200, [("X-A", "1"), ("X-B", "2")]),
    ("headers_obj", 200, [("X-A", "1")]),
    ("status_headers", 201, [("X-A", "1")]),
    ("status_text", 202, []),
    ("response_status", 203, []),
    ("make_response", 207, [("X-A", "1")]),
])
def test_returned_shapes(kind, status, headers):
    r = make_app().test_client().get(f"/shape/{kind}")
    assert (r.status_code, r.data) == (status, b"body")
    assert [(k, v) for k, v in r.header_list if k.startswith("X-")] == headers
    assert r.headers["Content-Type"] == "text/html; charset=utf-8"


def test_set_cookie_lines_are_all_kept():
    r = make_app().test_client().get("/cookies")
    lines = r.headers.getlist("Set-Cookie")
    assert len(lines) == 3
    assert lines[0].startswith("a=1; Expires=") and lines[0].endswith(
        "Max-Age=60; Path=/; HttpOnly; SameSite=Strict")
    assert lines[1] == 'b="x y\\073z"; Path=/sub; Secure'
    assert lines[2].startswith("old=; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=0")


def test_jsonify_gives_the_bytes_of_a_returned_dict():
    c = make_app().test_client()
    native, mine = c.get("/json/dict"), c.get("/json/jsonify")
    assert mine.data == native.data and native.status_code == 200
    assert mine.headers["Content-Type"] == native.headers["Content-Type"]


XFH = ("X-Forwarded-Host", "evil.example, shop.example:8443")


@pytest.mark.parametrize("allow,peer_header,remote,scheme,host", [
    (None, [("X-Forwarded-For", "10.0.0.5, 127.0.0.1"), ("X-Forwarded-Proto", "https"), XFH],
     "10.0.0.5", "https", "shop.example:8443"),
    ((), [("X-Forwarded-For", "10.0.0.5"), ("X-Forwarded-Proto", "https"), XFH],
     "127.0.0.1", "http", "localhost"),
    ("10.0.0.0/8, 127.0.0.1", [("X-Forwarded-For", "1.2.3.4, 10.0.0.9")], "1.2.3.4", "http",
     "localhost"),
    ("192.168.0.0/16", [("X-Forwarded-For", "1.2.3.4"), XFH], "127.0.0.1", "http", "localhost"),
    ("*", [("X-Forwarded-For", "1.2.3.4"), ("X-Forwarded-Host", "a b/c")], "1.2.3.4", "http",
     "localhost"),
    ("*", [("X-Forwarded-Host", "[::1]:8080")], "127.0.0.1", "http", "[::1]:8080"),
    ("balancer", [("X-Forwarded-For", "1.2.3.4"), XFH], "1.2.3.4", "http", "localhost"),
])
def test_forwarded_headers_believed_only_from_allowed_peers(allow, peer_header, remote, scheme,
                                                           host):
    kw = ({"behind_balancer": True} if allow == "balancer"
          else {} if allow is None else {"forwarded_allow_ips": allow})
    r = make_app(**kw).test_client().get("/req/x", headers=peer_header)
    assert (r.json["remote"], r.json["scheme"], r.json["host"]) == (remote, scheme, host)
    assert r.json["url"] == f"{scheme}://{host}/req/x"


def test_session_and_method_views_over_a_socket():
    app = App("sock")
    app.secret_key = "k"
    from kiv import session

    @app.route("/n")
    def read():
        return {"n": session.get("n", 0)}

    @app.route("/n", methods=["POST"])
    def bump():
        session["n"] = session.get("n", 0) + 1
        return {"n": session["n"]}

    sid = app.server.start("127.0.0.1", 0)
    try:
        addr = app.server.bound_addr(sid)
        first = http(addr, b"POST /n HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n"
                           b"Connection: close\r\n\r\n")
        head, _, body = first.partition(b"\r\n\r\n")
        cookie = [line.split(b":", 1)[1].split(b";")[0].strip()
                  for line in head.split(b"\r\n") if line.lower().startswith(b"set-cookie:")]
        assert json.loads(body) == {"n": 1} and len(cookie) == 1
        second = http(addr, b"GET /n HTTP/1.1\r\nHost: x\r\nCookie: " + cookie[0]
                      + b"\r\nConnection: close\r\n\r\n")
        assert json.loads(second.partition(b"\r\n\r\n")[2]) == {"n": 1}
        assert b"set-cookie" not in second.lower()
    finally:
        app.server.stop(sid, 5)


def test_example_api_lists_and_creates_items():
    from examples.api import app

    c = app.test_client()
    before = c.get("/items").json
    r = c.post("/items", json={"name": "second", "price": 3})
    assert r.status_code == 201 and r.json["name"] == "second"
    assert c.get("/items").json == before + [r.json]
    assert c.post("/items", json={"nope": 1}).status_code == 400
    assert c.delete("/items").headers["Allow"] == "GET, HEAD, OPTIONS, POST"


@pytest.mark.parametrize("kind,header,offers,best", [
    ("mime", "text/html;q=0.9, application/json", ["text/html", "application/json"],
     "application/json"),
    ("mime", "text/*;q=0.5, */*;q=0.1", ["image/png", "text/csv"], "text/csv"),
    ("mime", "application/json;q=0, */*", ["application/json"], None),  # q=0 refuses
    ("mime", "image/png;q=oops, text/html", ["image/png", "text/html"], "text/html"),
    ("lang", "en, de;q=0.5", ["de", "en-GB"], "en-GB"),  # "en" takes its regions
    ("lang", "en-GB, fr;q=0.1", ["de", "en"], "en"),  # a region falls back to its language
    ("lang", "en-GB, fr;q=0.1", ["fr", "en"], "fr"),  # but only when nothing else fits
])
def test_accept_headers_pick_the_best_offer(kind, header, offers, best):
    app = App("accept")
    name = "accept_mimetypes" if kind == "mime" else "accept_languages"
    with app.test_request_context(headers={"Accept": header, "Accept-Language": header}):
        assert getattr(request, name).best_match(offers) == best


def test_request_details_for_code_written_for_flask_and_wsgi():
    app = App("details")

    @app.route("/a/<int:n>", methods=["POST"])
    def a(n):
        env = request.environ
        return {"rule": request.url_rule.rule, "inm": sorted(request.if_none_match),
                "ims": request.if_modified_since.year, "stream": request.stream.read().decode(),
                "env": [env["PATH_INFO"], env["QUERY_STRING"], env["HTTP_X_A"], "HTTP_X_B" in env,
                        env["CONTENT_LENGTH"], env["wsgi.input"].read().decode()]}

    r = app.test_client().post("/a/3?q=1", data="body", headers=[
        ("If-None-Match", 'W/"a", "b"'), ("If-Modified-Since", "Wed, 21 Oct 2015 07:28:00 GMT"),
        ("X-A", "1"), ("X-A", "2"), ("X_B", "forged")])
    assert r.json == {"rule": "/a/<int:n>", "inm": ["a", "b"], "ims": 2015, "stream": "body",
                      "env": ["/a/3", "q=1", "1,2", False, "4", "body"]}


@pytest.mark.parametrize("value,text", [
    (datetime.datetime(2020, 1, 2, 3, 4, 5), '"Thu, 02 Jan 2020 03:04:05 GMT"'),
    (datetime.date(2020, 1, 2), '"Thu, 02 Jan 2020 00:00:00 GMT"'),
    ([uuid.UUID(int=1), decimal.Decimal("1.50")],
     '["00000000-0000-0000-0000-000000000001","1.50"]'),
    (Point(1, [2.5e-7]), '{"x":1,"y":[2.5e-7]}'),
    ({"b": "\u00e9\x7f", "a": 1}, '{"a":1,"b":"\\u00e9\x7f"}'),
])
def test_jsonify_takes_what_flask_takes(value, text):
    app = App("json")
    app.add_url_rule("/", "v", lambda: jsonify(value))
    assert app.test_client().get("/").text == text
    if isinstance(value, dict):  # and writes what the server writes for a returned dict
        app.add_url_rule("/native", "n", lambda: value)
        assert app.test_client().get("/native").text == text


def test_app_json_settings_and_kiv_json():
    app = App("json2")
    assert app.json.dumps({"b": 1, "a": 2}) == '{"a":2,"b":1}'  # settings changed after use
    app.json.sort_keys, app.json.compact = False, False
    app.add_url_rule("/", "v", lambda: jsonify(b=1, a=kiv_json.loads("[2]")))
    assert app.test_client().get("/").text == '{\n  "b": 1,\n  "a": [\n    2\n  ]\n}'
    assert kiv_json.dumps({"b": 1, "a": 2}) == '{"a":2,"b":1}'  # no app: the defaults
    with pytest.raises(TypeError):
        kiv_json.dumps(object())


@pytest.mark.parametrize("headers,status", [
    ({}, 200), ({"If-None-Match": '"v0", W/"v1"'}, 304),
    ({"If-None-Match": '"v0"', "If-Modified-Since": "Wed, 01 Jan 2020 12:00:00 GMT"}, 200),
    ({"If-Modified-Since": "Wed, 01 Jan 2020 12:00:00 GMT"}, 304),
    ({"If-Modified-Since": "Wed, 01 Jan 2020 11:59:59 GMT"}, 200),
])
def test_caching_headers_and_conditional_answers(headers, status):
    app = App("caching")

    @app.route("/c", methods=["GET", "POST"])
    def c():
        r = Response("body")
        r.cache_control.max_age, r.cache_control.public = 60, True
        r.cache_control.public = r.cache_control.no_cache = False
        r.vary.add("Cookie"), r.vary.add("Accept-Encoding"), r.vary.add("cookie")
        r.last_modified = datetime.datetime(2020, 1, 1, 12)
        r.set_etag("v1")
        return r.make_conditional()

    client = app.test_client()
    r = client.get("/c", headers=headers)
    assert (r.status_code, r.data) == (status, b"body" if status == 200 else b"")
    assert (r.headers["Cache-Control"], r.headers["Vary"], r.headers["ETag"]) == (
        "max-age=60", "Cookie, Accept-Encoding", '"v1"')
    assert client.post("/c", headers=headers).status_code == 200  # only GET and HEAD


@pytest.mark.parametrize("op,first,lists", [
    (lambda d: d.pop("a"), {"b": "3"}, [("b", ["3"])]),
    (lambda d: d.setlist("a", ["9"]), {"a": "9", "b": "3"}, [("a", ["9"]), ("b", ["3"])]),
    (lambda d: d.setlist("a", []), {"b": "3"}, [("b", ["3"])]),
    (lambda d: d.update({"a": "5", "c": ["6", "7"]}), {"a": "1", "b": "3", "c": "6"},
     [("a", ["1", "2", "5"]), ("b", ["3"]), ("c", ["6", "7"])]),
    (lambda d: d.poplist("b"), {"a": "1"}, [("a", ["1", "2"])]),
])
def test_multidict_keeps_first_values_and_lists_in_step(op, first, lists):
    from kiv import MultiDict
    d = MultiDict([("a", "1"), ("a", "2"), ("b", "3")])
    op(d)
    assert (dict(d), d.lists(), d.copy().lists()) == (first, lists, lists)
