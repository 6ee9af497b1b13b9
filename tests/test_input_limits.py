"""Hostile request input answers 4xx at a bounded cost, and bad cookie names are refused."""

import pytest

from kiv import App, request
from kiv.formparser import encode_multipart
from kiv.wrappers import Response

URLENC = "application/x-www-form-urlencoded"


# Bodies are made in the test, not at collection; ids stay short.
@pytest.mark.parametrize("make,status", [
    pytest.param(lambda: (b"a&" * (1 << 20), URLENC), 413, id="1Mi-empty-fields"),
    pytest.param(lambda: (b"a=1&" * 1000 + b"a=2", URLENC), 413, id="parts+1"),
    pytest.param(lambda: (b"a=" + b"x" * 500_001, URLENC), 413, id="memory+1"),
    pytest.param(lambda: encode_multipart({"a": ["x"] * 1001}), 413, id="multipart-parts+1"),
    pytest.param(lambda: encode_multipart({"a": ["x" * 300_000] * 2}), 413, id="multi-memory"),
    pytest.param(lambda: ("[" * 100_000 + "]" * 100_000, "application/json"), 400, id="deep"),
])
def test_form_and_json_limits(make, status):
    app = App("limits")
    app.post("/")(lambda: {"form": len(request.form), "json": str(request.get_json(silent=False)
                                                                  if request.is_json else 0)})
    body, ctype = make()
    assert app.test_client().post("/", data=body, content_type=ctype).status_code == status


@pytest.mark.parametrize("name,kwargs", [
    *[(bad, {}) for bad in ("a;b", "a b", "a=b", "", "a\nb", 'a"', "é")],
    ("ok", {"path": "/;Secure"}), ("ok", {"domain": "x.org\r\nX: y"}),
])
def test_bad_cookie_names_and_attributes_are_refused(name, kwargs):
    with pytest.raises(ValueError):
        Response().set_cookie(name, "v", **kwargs)
    Response().set_cookie("id-1_x!", 'a;b "c"', path="/p", domain="x.org")  # quoted, not refused
