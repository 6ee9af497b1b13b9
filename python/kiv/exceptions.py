"""HTTP exceptions: raised by views, hooks and abort(), answered with their own page."""

from __future__ import annotations

import html
from typing import Any, Iterable


class HTTPException(Exception):
    """An exception that answers with its own HTTP response."""

    code: int = 500
    name = "Internal Server Error"
    description = "The server encountered an internal error."

    def __init__(self, description: str | None = None, response: Any = None):
        super().__init__(description or self.description)
        if description is not None:
            self.description = description
        self.response = response

    def get_headers(self) -> list[tuple[str, str]]:
        return [("Content-Type", "text/html; charset=utf-8")]

    def get_body(self) -> str:
        return (f"<!doctype html>\n<html lang=en>\n<title>{self.code} {self.name}</title>\n"
                f"<h1>{self.name}</h1>\n<p>{html.escape(self.description)}</p>\n")

    def get_response(self) -> Any:
        if self.response is not None:
            return self.response
        from .wrappers import Response
        return Response(self.get_body(), self.code, self.get_headers())

    def __str__(self) -> str:
        return f"{self.code} {self.name}: {self.description}"


def _http(code: int, name: str, description: str,
          cls_name: str | None = None) -> type[HTTPException]:
    # name is the reason phrase the status line carries, so the page says the same.
    cls = type(cls_name or name.replace(" ", "").replace("'", ""), (HTTPException,),
               {"code": code, "name": name, "description": description})
    cls.__module__ = __name__
    return cls


BadRequest = _http(
    400, "Bad Request",
    "The browser (or proxy) sent a request that this server could not understand.")
Unauthorized = _http(
    401, "Unauthorized",
    "The server could not verify that you are authorized to access the URL requested.")
Forbidden = _http(
    403, "Forbidden",
    "You don't have the permission to access the requested resource.")
NotFound = _http(404, "Not Found", "The requested URL was not found on the server.")
NotAcceptable = _http(
    406, "Not Acceptable", "The resource cannot answer in a form the client accepts.")
RequestTimeout = _http(408, "Request Timeout", "The server closed the request after waiting.")
Conflict = _http(409, "Conflict", "The request conflicts with the current state of the resource.")
Gone = _http(410, "Gone", "The requested URL is no longer available on this server.")
RequestEntityTooLarge = _http(
    413, "Content Too Large", "The data value transmitted exceeds the capacity limit.",
    "RequestEntityTooLarge")
UnsupportedMediaType = _http(
    415, "Unsupported Media Type", "The server does not support the media type of the request.")
UnprocessableEntity = _http(
    422, "Unprocessable Content", "The request was well-formed but had semantic errors.",
    "UnprocessableEntity")
TooManyRequests = _http(429, "Too Many Requests", "This user has exceeded an allotted request count.")
InternalServerError = _http(
    500, "Internal Server Error",
    "The server encountered an internal error and was unable to complete your request.")
NotImplemented_ = _http(501, "Not Implemented", "The server does not support this action.")
ServiceUnavailable = _http(
    503, "Service Unavailable", "The server is temporarily unable to service your request.")


class MethodNotAllowed(HTTPException):
    code, name = 405, "Method Not Allowed"
    description = "The method is not allowed for the requested URL."

    def __init__(self, valid_methods: Iterable[str] | None = None, description: str | None = None,
                 response: Any = None):
        super().__init__(description, response)
        self.valid_methods = list(valid_methods or [])

    def get_headers(self) -> list[tuple[str, str]]:
        headers = super().get_headers()
        if self.valid_methods:
            headers.append(("Allow", ", ".join(self.valid_methods)))
        return headers


default_exceptions: dict[int, type[HTTPException]] = {
    cls.code: cls for cls in (
        BadRequest, Unauthorized, Forbidden, NotFound, MethodNotAllowed, NotAcceptable,
        RequestTimeout, Conflict, Gone, RequestEntityTooLarge, UnsupportedMediaType,
        UnprocessableEntity, TooManyRequests, InternalServerError, NotImplemented_,
        ServiceUnavailable)
}


def abort(status: Any, *args: Any, **kwargs: Any) -> None:
    """Raises the HTTP exception for a status code; given a response, answers with it."""
    if not isinstance(status, int):
        raise HTTPException(response=status)
    cls = default_exceptions.get(status)
    if cls is None:
        exc = HTTPException(*args, **kwargs)
        exc.code = status
        exc.name = "Error"
        raise exc
    raise cls(*args, **kwargs)
