"""The request path in-process: routing, redirects, methods, dispatch arguments,
view results, errors, static files, through Server.test_request."""

import os
import uuid

import pytest

from conftest import Fast, RawHTTPError, make_server

HTML = ("Content-Type", "text/html; charset=utf-8")


def server_with(rules, seen=None, **flags):
    s = make_server(seen, **flags)
    for rule, methods, view, *rest in rules:
        auto = rest[0] if rest else False
        s.add_rule(rule, methods, view, getattr(view, "__name__", "v"), auto)
    return s


def ok():
    return "ok"


# --- redirects, methods, OPTIONS -------------------------------------------------

@pytest.mark.parametrize(
    "rule,target,location",
    [
        ("/a/", "/a", "/a/"),
        ("/a", "/a/", "/a"),
        ("/a/", "/a?x=1", "/a/?x=1"),
        ("/a/b", "/a//b", "/a/b"),
        ("/nothing", "/x//y/", "/x/y/"),  # collapsed even when no rule matches
        ("/", "/\\evil.example/", "/%5Cevil.example"),  # no open redirect via backslash
    ],
)
def test_redirects(rule, target, location):
    if rule == "/":
        s = server_with([("/<name>", ["GET"], ok)])
    else:
        s = server_with([(rule, ["GET"], ok)])
    status, headers, body = s.test_request("GET", target)
    assert (status, headers, body) == (308, [("Location", location)], b"")


def test_method_selection_and_405():
    seen = []
    s = server_with([("/g", ["GET"], ok)], seen)
    assert s.test_request("GET", "/g")[2] == b"ok"
    assert s.test_request("HEAD", "/g") == (200, [HTML], b"")
    status, headers, body = s.test_request("POST", "/g")
    assert status == 405 and body == b"['GET', 'HEAD']"
    args = seen[-1][1]
    assert seen[-1][0] == "dispatch"
    assert (args[7], args[8], args[9], args[10]) == (None, {}, "405", ["GET", "HEAD"])


@pytest.mark.parametrize(
    "auto,allow",
    [(True, "GET, HEAD, OPTIONS, POST"), (False, "GET, HEAD, POST")],
)
def test_automatic_options(auto, allow):
    s = server_with([("/o", ["POST", "GET"], ok, auto)])
    assert s.test_request("OPTIONS", "/o") == (200, [("Allow", allow), HTML], b"")


def test_rule_listing_options_reaches_view():
    s = server_with([("/o", ["OPTIONS"], lambda: "mine")])
    assert s.test_request("OPTIONS", "/o")[2] == b"mine"


def test_first_accepting_candidate_wins_and_allow_unites():
    s = make_server()
    s.add_rule("/p/<int:a>", ["GET"], lambda a: f"int {a!r}", "i", False)
    s.add_rule("/p/<b>", ["POST"], lambda b: f"str {b!r}", "s", False)
    assert s.test_request("GET", "/p/5")[2] == b"int 5"
    assert s.test_request("POST", "/p/5")[2] == b"str '5'"
    assert s.test_request("PUT", "/p/5")[2] == b"['GET', 'HEAD', 'POST']"


def test_404_goes_to_dispatch_even_when_fast():
    seen = []
    s = server_with([("/a", ["GET"], ok)], seen, fast=True)
    status, headers, _ = s.test_request("GET", "/zzz")
    assert status == 404 and headers == [("X-Error", "404")]
    kind, args = seen[-1]
    assert kind == "dispatch" and (args[7], args[9], args[10]) == (None, "404", None)


# --- the 11 request arguments -----------------------------------------------------

def test_request_class_arguments():
    seen = []
    s = server_with([("/items/<int:n>", ["POST"], lambda n: "x")], seen)
    s.test_request("POST", "/items/12?a=1&a=2&q=a+b%2Bc", [("X-A", "1"), ("x-a", "2")], b"hi")
    kind, args = seen[-1]
    assert kind == "pipeline"
    assert args == ("POST", "/items/12", "a=1&a=2&q=a+b%2Bc",
                    [("a", "1"), ("a", "2"), ("q", "a b+c")], [("X-A", "1"), ("x-a", "2")],
                    b"hi", "127.0.0.1", "<lambda>", {"n": 12}, None, None)


def test_path_is_decoded_and_empty_parts():
    seen = []
    s = server_with([("/<p>", ["GET"], ok)], seen)
    s.test_request("GET", "/a%20b%zz+")
    args = seen[-1][1]
    assert args[1] == "/a b%zz+"
    assert (args[2], args[3], args[5]) == ("", [], b"")


@pytest.mark.parametrize(
    "rule,path,expected",
    [
        ("/<int:v>", "/0012", 12),
        ("/<int:v>", "/12345678901234567890", 12345678901234567890),  # beyond 64 bits
        ("/<float(signed=True):v>", "/-0.5", -0.5),
        ("/<float:v>", "/01.50", 1.5),
        ("/<uuid:v>", "/123e4567-e89b-12d3-a456-426614174000",
         uuid.UUID("123e4567-e89b-12d3-a456-426614174000")),
        ("/<any(a,b):v>", "/b", "b"),
        ("/<v>", "/%FF", "\ufffd"),
        ("/x/<path:v>", "/x/a%2Fb/c/", "a/b/c"),
    ],
)
def test_typed_route_arguments(rule, path, expected):
    got = []
    s = make_server()
    s.add_rule(rule, ["GET"], lambda v: got.append(v) or "ok", "v", False)
    if rule.endswith("path:v>"):
        s = make_server()
        s.add_rule(rule + "/", ["GET"], lambda v: got.append(v) or "ok", "v", False)
    assert s.test_request("GET", path)[0] == 200
    assert got == [expected] and type(got[0]) is type(expected)


def test_rejecting_uuid_class_skips_request_class():
    seen = []
    s = make_server(seen)
    s.set_uuid_class(lambda text: (_ for _ in ()).throw(ValueError("bad uuid")))
    s.add_rule("/<uuid:v>", ["GET"], lambda v: "ok", "v", False)
    status, _, _ = s.test_request("GET", "/123e4567-e89b-12d3-a456-426614174000")
    assert status == 500 and seen == []


# --- view results -------------------------------------------------------------

class Enum201(int):
    pass


@pytest.mark.parametrize(
    "value,expected",
    [
        ("hi", (200, [HTML], b"hi")),
        (b"\x00raw", (200, [("Content-Type", "application/octet-stream")], b"\x00raw")),
        ({"b": 1, "a": [True, None, 1.0]},
         (200, [("Content-Type", "application/json")], b'{"a":[true,null,1.0],"b":1}')),
        ([], (200, [("Content-Type", "application/json")], b"[]")),
        (["\ud800", {"\udc00": "\ud83d\ude00"}],  # lone surrogates, escaped as json.dumps does
         (200, [("Content-Type", "application/json")], b'["\\ud800",{"\\udc00":"\\ud83d\\ude00"}]')),
        (("hi", 201), (201, [HTML], b"hi")),
        (("hi", "404 NOT FOUND"), (404, [HTML], b"hi")),
        (("hi", "abc"), (200, [HTML], b"hi")),
        (("hi", 2.5), (200, [HTML], b"hi")),
        (("hi", 65536 + 404), (404, [HTML], b"hi")),
        (("hi", -1), (65535, [HTML], b"hi")),
        (("hi", Enum201(201)), (201, [HTML], b"hi")),
        (("hi", {"X": "1"}), (200, [HTML], b"hi")),
        (("hi", 200, [("Content-Type", "text/plain")]), (200, [("Content-Type", "text/plain")], b"hi")),
        (("hi", 200, [("content-type", "a"), ("Content-Type", "b")]),
         (200, [("Content-Type", "b")], b"hi")),
        (("hi", 200, {"X-A": "1"}), (200, [HTML, ("X-A", "1")], b"hi")),
        (("hi", 200, 5), (200, [HTML], b"hi")),
        (("hi", 200, None), (200, [HTML], b"hi")),
        (Fast(202, [("A", "b")], None), (202, [("A", "b")], b"")),
        (Fast(200, {"A": "b"}, "text"), (200, [("A", "b")], b"text")),
        ((("hi", 201), 200), (200, [], b"('hi', 201)")),  # through convert_slow
        (42, (200, [], b"42")),  # convert_slow
    ],
)
def test_view_result_shapes(value, expected):
    s = server_with([("/", ["GET"], lambda: value)])
    assert s.test_request("GET", "/") == expected


@pytest.mark.parametrize(
    "value,message",
    [
        (None, "The view function did not return a valid response. The function either "
               "returned None or ended without a return statement."),
        (("a",), "The view function did not return a valid response tuple"),
        (("a", 1, 2, 3), "The view function did not return a valid response tuple"),
        (type("F", (), {"_fast": lambda self: [200, [], b""]})(), "_fast() must return a tuple"),
        (("x", 200, [["A", "b"]]), "response headers must be a list of (name, value) tuples"),
        ({1: "a"}, "non-str dict key"),
        ({"d": object()}, "unsupported type object"),
    ],
)
def test_conversion_errors_reach_debug_page(value, message):
    s = server_with([("/", ["GET"], lambda: value)], debug=True)
    status, headers, body = s.test_request("GET", "/")
    assert status == 500
    assert body.decode() == message


def test_invalid_tuple_body_element_message():
    s = server_with([("/", ["GET"], lambda: ((1, 2), 200))], debug=True)
    s.set_convert_slow(lambda v: 1 / 0)
    assert s.test_request("GET", "/")[2] == b"invalid response body element in tuple"


@pytest.mark.parametrize(
    "headers",
    [
        [("X-A", "1\r\nSet-Cookie: evil=1")],
        [("X-A\n", "1")],
        {"X-A": "a\x00b"},
    ],
)
def test_header_injection_is_refused(headers):
    s = server_with([("/", ["GET"], lambda: ("hi", 200, headers))], debug=True)
    status, headers, _ = s.test_request("GET", "/")
    assert status == 500 and ("X-Debug", "ValueError") in headers


def test_to_list_chain_is_bounded():
    class Loop:
        def to_list(self):
            return self

    s = server_with([("/", ["GET"], lambda: ("hi", 200, Loop()))], debug=True)
    status, headers, _ = s.test_request("GET", "/")
    assert status == 500 and ("X-Debug", "ValueError") in headers


# --- error path -------------------------------------------------------------------

def raise_http():
    raise RawHTTPError(Fast(418, [("X-T", "1")], "teapot"))


@pytest.mark.parametrize(
    "trap,debug,status,printed",
    [(False, False, 418, False), (True, True, 500, False), (True, False, 500, True)],
)
def test_http_exception_handling(trap, debug, status, printed, capfd):
    s = server_with([("/", ["GET"], raise_http)], trap_http=trap, debug=debug)
    got = s.test_request("GET", "/")
    assert got[0] == status
    err = capfd.readouterr().err
    assert ("RawHTTPError" in err) == printed
    if trap and debug:
        assert ("X-Debug", "RawHTTPError") in got[1]


def test_failing_debug_page_prints_view_traceback(capfd):
    def view():
        raise KeyError("from the view")

    s = server_with([("/", ["GET"], view)], debug=True)
    s.set_debug_page(lambda e: 1 / 0)
    status, headers, body = s.test_request("GET", "/")
    assert status == 500 and body.startswith(b"<!doctype html>") and len(body) == 192
    err = capfd.readouterr().err
    assert "from the view" in err and "ZeroDivisionError" not in err


def test_failing_get_response_prints_nothing(capfd):
    class Broken(RawHTTPError):
        def get_response(self):
            raise RuntimeError("nope")

    def view():
        raise Broken(None)

    s = server_with([("/", ["GET"], view)])
    assert s.test_request("GET", "/")[0] == 500
    assert capfd.readouterr().err == ""


# --- test_request arguments -------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs,exc",
    [
        ({"headers": {"X": "1"}}, TypeError),
        ({"body": "text"}, TypeError),
        ({"body": [256]}, OverflowError),
        ({"headers": [("X", 1)]}, TypeError),
    ],
)
def test_test_request_argument_errors(kwargs, exc):
    s = server_with([("/", ["GET"], ok)])
    with pytest.raises(exc):
        s.test_request("GET", "/", **kwargs)


def test_head_is_case_sensitive():
    s = server_with([("/", ["GET", "head"], ok)])
    assert s.test_request("HEAD", "/")[2] == b""
    assert s.test_request("head", "/")[2] == b"ok"


def test_body_limit():
    s = server_with([("/", ["POST"], ok)], max_body=3)
    status, headers, body = s.test_request("POST", "/", None, b"1234")
    assert status == 413 and len(body) == 133 and headers == [HTML]


# --- static files -----------------------------------------------------------------

@pytest.fixture
def site(tmp_path):
    root = tmp_path / "site"
    (root / "css").mkdir(parents=True)
    (root / "img").mkdir()
    (root / "css" / "app.css").write_text("body{}")
    (root / "a b.txt").write_text("spaced")
    (root / "IMG.PNG").write_bytes(b"\x89PNG")
    (root / "img" / "x.png").write_bytes(b"img")
    (tmp_path / "secret").write_text("secret")
    os.symlink(tmp_path / "secret", root / "leak")
    return root


@pytest.mark.parametrize(
    "path,status,body",
    [
        ("/static/css/app.css", 200, b"body{}"),
        ("/static/css%5capp.css", 200, b"body{}"),
        ("/static/a%20b.txt", 200, b"spaced"),
        ("/static/IMG.PNG", 200, b"\x89PNG"),
        ("/static/../secret", 404, None),
        ("/static/%2e%2e/secret", 404, None),
        ("/static/..%5csecret", 404, None),
        ("/static/a%00b", 404, None),
        ("/static/leak", 404, None),
        ("/static", 404, None),
        ("/static/", 404, None),
        ("/static/missing.css", 404, None),
        ("/staticx/a", 200, b"routed"),
    ],
)
def test_static_files(site, path, status, body):
    s = server_with([("/<path:p>", ["GET"], lambda p: "routed")])
    s.set_static("/static", str(site))
    got = s.test_request("GET", path)
    assert got[0] == status
    if body is not None:
        assert got[2] == body


def test_static_headers_and_conditional(site):
    s = make_server()
    s.set_static("/s", str(site))
    s.set_static("/s/img", str(site / "img"))
    status, headers, body = s.test_request("POST", "/s/css/app.css")
    assert status == 200 and [h[0] for h in headers] == ["Content-Type", "Last-Modified",
                                                         "Cache-Control", "ETag", "Accept-Ranges"]
    assert headers[0] == ("Content-Type", "text/css; charset=utf-8")
    assert headers[2] == ("Cache-Control", "public, max-age=43200")
    assert s.test_request("GET", "/s/img/x.png")[2] == b"img"
    lm = headers[1][1]
    assert s.test_request("GET", "/s/css/app.css", [("if-modified-since", lm)]) == (
        304, [headers[3]], b"")
    assert s.test_request("GET", "/s/css/app.css", [("If-Modified-Since", "garbage")])[0] == 200


@pytest.mark.parametrize("cc,header", [(0, "public, max-age=0"), (-1, None)])
def test_static_cache_control(site, cc, header):
    s = make_server(cc_max_age=cc)
    s.set_static("/s", str(site))
    headers = dict(s.test_request("GET", "/s/IMG.PNG")[1])
    assert headers.get("Cache-Control") == header
    assert headers["Content-Type"] == "image/png"


def test_missing_static_file_is_404_even_when_rule_matches(site):
    s = server_with([("/s/<x>", ["GET"], ok)])
    s.set_static("/s", str(site))
    assert s.test_request("GET", "/s/nope")[0] == 404


# --- router caching ---------------------------------------------------------------

def test_router_rebuilt_after_add_rule():
    s = server_with([("/a", ["GET"], ok)])
    assert s.test_request("GET", "/b")[0] == 404
    s.add_rule("/b", ["GET"], ok, "b", False)
    assert s.test_request("GET", "/b")[0] == 200
