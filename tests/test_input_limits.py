"""Hostile request input answers 4xx at a bounded cost, and bad cookie names are refused."""

import pytest

from kiv import App, request
from kiv.formparser import encode_multipart
from kiv.wrappers import Response


@pytest.fixture
def client():
    app = App("limits")

    @app.post("/form")
    def form():
        return {"n": len(request.form.getlist("a"))}

    @app.post("/json")
    def json_():
        return {"type": type(request.get_json()).__name__}

    return app.test_client()


def _multi(n, size=1):
    return lambda: encode_multipart({"a": ["x" * size] * n})


def _urlenc(body):
    return lambda: (body(), "application/x-www-form-urlencoded")


# Bodies are built inside the test (not at collection), and every case has a short id.
@pytest.mark.parametrize("make,status", [
    pytest.param(_urlenc(lambda: b"a&" * (1 << 20)), 413, id="1Mi-empty-fields"),
    pytest.param(_urlenc(lambda: b"a=1&" * 1000 + b"a=2"), 413, id="parts+1"),
    pytest.param(_urlenc(lambda: b"a=" + b"x" * 500_001), 413, id="memory+1"),
    pytest.param(_urlenc(lambda: b"a=1&" * 999 + b"a=2"), 200, id="parts-at-limit"),
    pytest.param(_multi(1001), 413, id="multipart-parts+1"),
    pytest.param(_multi(2, 300_000), 413, id="multipart-memory"),
    pytest.param(_multi(1000), 200, id="multipart-at-limit"),
])
def test_form_limits(client, make, status):
    body, ctype = make()
    assert client.post("/form", data=body, content_type=ctype).status_code == status


@pytest.mark.parametrize("depth,status", [(100_000, 400), (1_000, 400), (50, 200)])
@pytest.mark.parametrize("open_,close", [("[", "]"), ('{"a":', "}")], ids=["list", "object"])
def test_deep_json(client, depth, status, open_, close):
    body = open_ * depth + "1" + close * depth
    assert client.post("/json", data=body, content_type="application/json").status_code == status


@pytest.mark.parametrize("name,kwargs", [
    ("a;b", {}), ("a b", {}), ("a=b", {}), ("", {}), ("a\nb", {}), ('a"', {}), ("é", {}),
    ("ok", {"path": "/;Secure"}), ("ok", {"domain": "x.org\r\nX: y"}),
])
def test_bad_cookie_names_and_attributes_are_refused(name, kwargs):
    with pytest.raises(ValueError):
        Response().set_cookie(name, "v", **kwargs)


@pytest.mark.parametrize("value,sent", [
    ("plain", "plain"), ("a;b", '"a\\073b"'), ('q"', '"q\\""'), ("sp ace", '"sp ace"'),
])
def test_cookie_values_are_quoted_when_needed(value, sent):
    r = Response()
    r.set_cookie("id-1_x", value)
    assert r.headers["Set-Cookie"].split(";")[0] == f"id-1_x={sent}"
