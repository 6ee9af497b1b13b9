"""Helpers a view calls: url_for, make_response, redirect, jsonify, flash."""

from __future__ import annotations

import json as _json
import sys
from typing import Any

from .exceptions import HTTPException, abort  # noqa: F401  (Flask exports abort here too)
from .globals import _current_app
from .json import _default, _native_form, _provider
from .wrappers import Response


# --- JSON text, byte for byte what the server writes for a returned dict or list --------

def dumps(value: Any) -> str:
    """Compact JSON with sorted keys and ASCII-only text, as the server serialises it, also
    for the types jsonify takes beyond JSON's own (dates, UUIDs, dataclasses...)."""
    return _native_form(_json.dumps(value, separators=(",", ":"), sort_keys=True,
                                    ensure_ascii=True, default=_default))


def jsonify(*args: Any, **kwargs: Any) -> Response:
    """A JSON response written by the current app's provider (app.json)."""
    return _provider().response(*args, **kwargs)


# --- responses ------------------------------------------------------------------------

def _is_header_container(value: Any) -> bool:
    from .wrappers import Headers
    return isinstance(value, (dict, list, Headers)) or (
        isinstance(value, tuple) and not isinstance(value, str))


def fix_two_tuple(rv: tuple) -> Any:
    """(body, headers) becomes (body, 200, headers), or a response given as the body
    with the headers added (its status stays); (body, status) stays as it is."""
    if _is_header_container(rv[1]):
        if isinstance(rv[0], Response):
            for name, value in _pairs_of(rv[1]):
                rv[0].headers.set(name, value)
            return rv[0]
        return (rv[0], 200, rv[1])
    return rv


def _is_werkzeug_response(rv: Any) -> bool:
    # Extensions build Werkzeug's responses (redirects, error pages): sent as they are.
    from werkzeug.sansio.response import Response as SansIOResponse
    return isinstance(rv, SansIOResponse)


def to_response(rv: Any, response_class: type = Response) -> Response:
    """A view's return value as a response object, by the rules the server converts with."""
    if isinstance(rv, Response):
        return rv
    status = headers = None
    if isinstance(rv, tuple):
        if len(rv) == 3:
            rv, status, headers = rv
        elif len(rv) == 2:
            if _is_header_container(rv[1]):
                rv, headers = rv
            else:
                rv, status = rv
        else:
            raise TypeError("The view function did not return a valid response tuple")
    if rv is None:
        raise TypeError(
            "The view function did not return a valid response. The function either returned "
            "None or ended without a return statement.")
    if isinstance(rv, str):
        resp = response_class(rv)
    elif isinstance(rv, bytes):
        resp = response_class(rv)
    elif isinstance(rv, (dict, list)):
        resp = response_class(dumps(rv), mimetype="application/json")
    elif isinstance(rv, Response):
        resp = rv
    elif isinstance(rv, (bytearray, memoryview)):
        resp = response_class(bytes(rv))
    elif callable(getattr(rv, "_fast", None)):
        code, pairs, body = rv._fast()
        resp = response_class(body, code, _pairs_of(pairs))
    elif _is_werkzeug_response(rv):
        body = rv.response if rv.is_streamed else rv.get_data()
        resp = response_class(body, rv.status_code, rv.headers.to_wsgi_list())
    else:
        raise TypeError(
            f"The view function returned an unsupported value of type {type(rv).__name__}.")
    if status is not None:
        resp.status = status
    if headers is not None:
        for name, value in _pairs_of(headers):
            resp.headers.set(name, value)
    return resp


def _pairs_of(headers: Any) -> list[tuple[str, str]]:
    if isinstance(headers, dict):
        return list(headers.items())
    if isinstance(headers, (list, tuple)):
        return [(item[0], item[1]) for item in headers]
    to_list = getattr(headers, "to_list", None)
    return _pairs_of(to_list()) if to_list is not None else []


def make_response(*args: Any) -> Response:
    if not args:
        return _current_app().response_class()
    rv = args[0] if len(args) == 1 else args
    return _current_app().make_response(rv)


def redirect(location: str, code: int = 302, Response: type | None = None) -> Any:
    from .wrappers import Response as default_class
    cls = Response or default_class
    import html
    body = (f"<!doctype html>\n<html lang=en>\n<title>Redirecting...</title>\n<h1>Redirecting...</h1>\n"
            f"<p>You should be redirected automatically to the target URL: "
            f'<a href="{html.escape(location)}">{html.escape(location)}</a>. '
            "If not, click the link.\n")
    resp = cls(body, code)
    resp.headers.set("Location", location)
    return resp


def response_of(exc: HTTPException) -> Response:
    """The kiv response an HTTP exception answers with: the response it carries
    (any kind a view may return, Werkzeug's included), else its own error page."""
    if exc.response is not None:
        return to_response(exc.response)
    code = exc.code if exc.code is not None else 500
    body = exc.get_body()
    if code in _REASONS:  # the page names the reason the status line gives
        body = body.replace(exc.name, _REASONS[code])
    return Response(body, code, exc.get_headers())


# Reasons RFC 9110 renamed; the server's status line uses the new ones.
_REASONS = {413: "Content Too Large", 422: "Unprocessable Content"}


# --- URLs -------------------------------------------------------------------------------

def url_for(endpoint: str, *, _anchor: str | None = None, _method: str | None = None,
            _scheme: str | None = None, _external: bool | None = None,
            **values: Any) -> str:
    return _current_app().url_for(endpoint, _anchor=_anchor, _method=_method, _scheme=_scheme,
                                  _external=_external, **values)


# --- flashed messages -----------------------------------------------------------------

def flash(message: str, category: str = "message") -> None:
    session = _local_request().session
    flashes = session.get("_flashes", [])
    flashes.append((category, message))
    session["_flashes"] = flashes
    signals = sys.modules.get("kiv.signals")
    if signals is not None:
        signals.send(signals.message_flashed, _current_app(), message=message,
                     category=category)


def get_flashed_messages(with_categories: bool = False,
                         category_filter: Any = ()) -> list[Any]:
    req = _local_request()
    flashes = req._flashes
    if flashes is None:
        session = req.session
        flashes = session.pop("_flashes") if "_flashes" in session else []
        flashes = [tuple(f) for f in flashes]
        req._flashes = flashes
    if category_filter:
        flashes = [f for f in flashes if f[0] in category_filter]
    if with_categories:
        return list(flashes)
    return [f[1] for f in flashes]


def _local_request() -> Any:
    from .globals import _current_request
    return _current_request()


__all__ = ["abort", "dumps", "flash", "get_flashed_messages", "jsonify", "make_response",
           "redirect", "url_for"]
