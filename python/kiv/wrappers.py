"""Request and response objects, and the header and multi-value containers they use.

The request is built by the native server for every request handed to Python, so
its constructor only stores the eleven values it is given; everything else
(headers, query, form, cookies, URL parts) is computed on first read.
"""

from __future__ import annotations

import base64
import datetime as _dt
import io
import json as _json
import re
import sys
from http import HTTPStatus
from typing import Any, Iterable, Iterator
from urllib.parse import quote

from werkzeug.datastructures import Headers as _WerkzeugHeaders

from .accept import Accept, LanguageAccept, MIMEAccept
from .datastructures import MimeTypeMixin, chunk_bytes as _chunk_bytes
from .exceptions import (  # noqa: F401  (re-exported: older imports used this module)
    BadRequest,
    BadRequestKeyError,
    Forbidden,
    HTTPException,
    InternalServerError,
    MethodNotAllowed,
    NotFound,
    Unauthorized,
    UnsupportedMediaType,
    abort,
)
from .globals import _local, request  # noqa: F401

# A host name, IPv4 address or bracketed IPv6 address, with an optional port.
_HOST_RE = re.compile(r"(?:[A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(?::[0-9]{1,5})?")


class Headers(_WerkzeugHeaders):
    """Header pairs in order, looked up by name ignoring case; a name may repeat.

    A Werkzeug Headers to code that checks (extensions keep or replace a response's
    headers by that test); the methods below are kiv's own, and Werkzeug's others
    work on the same list through `_list`."""

    __slots__ = ("_items",)

    @property
    def _list(self) -> list[tuple[str, str]]:
        return self._items

    @_list.setter
    def _list(self, value: list[tuple[str, str]]) -> None:
        self._items = value

    def __init__(self, items: Any = None):
        if items is None:
            self._items: list[tuple[str, str]] = []
        elif isinstance(items, Headers):
            self._items = list(items._items)
        elif isinstance(items, dict):
            self._items = [(k, str(v)) for k, v in items.items()]
        elif hasattr(items, "to_wsgi_list"):  # Werkzeug's Headers (iterating one gives pairs)
            self._items = items.to_wsgi_list()
        else:
            self._items = [(k, v) for k, v in items]

    def get(self, name: str, default: Any = None, type: Any = None) -> Any:
        lname = name.lower()
        for k, v in self._items:
            if k.lower() == lname:
                if type is None:
                    return v
                try:
                    return type(v)
                except ValueError:
                    return default
        return default

    def getlist(self, name: str) -> list[str]:
        lname = name.lower()
        return [v for k, v in self._items if k.lower() == lname]

    get_all = getlist

    def __getitem__(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise BadRequestKeyError(name)  # a KeyError, and a 400 if a view lets it go
        return value

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and self.get(name) is not None

    def set(self, name: str, value: Any) -> None:
        lname = name.lower()
        self._items = [(k, v) for k, v in self._items if k.lower() != lname]
        self._items.append((name, str(value)))

    __setitem__ = set

    def setdefault(self, name: str, default: Any) -> str:
        value = self.get(name)
        if value is None:
            self.add(name, default)
            return str(default)
        return value

    def add(self, name: str, value: Any) -> None:
        self._items.append((name, str(value)))

    def extend(self, items: Any = None, **kwargs: Any) -> None:
        for k, v in _pairs(items):
            self.add(k, v)
        for k, v in kwargs.items():
            self.add(k, v)

    def update(self, items: Any = None, **kwargs: Any) -> None:
        """Replaces every header named in items (all of its values at once)."""
        new = list(_pairs(items)) + list(kwargs.items())
        names = {k.lower() for k, _ in new}
        self._items = [(k, v) for k, v in self._items if k.lower() not in names]
        for k, v in new:
            self.add(k, v)

    def remove(self, name: str) -> None:
        lname = name.lower()
        self._items = [(k, v) for k, v in self._items if k.lower() != lname]

    def __delitem__(self, name: str) -> None:
        self.remove(name)

    def pop(self, name: str, default: Any = ...) -> Any:
        value = self.get(name)
        if value is None:
            if default is ...:
                raise KeyError(name)
            return default
        self.remove(name)
        return value

    def keys(self) -> list[str]:
        return [k for k, _ in self._items]

    def values(self) -> list[str]:
        return [v for _, v in self._items]

    def items(self) -> list[tuple[str, str]]:
        return list(self._items)

    def __iter__(self) -> Iterator[tuple[str, str]]:
        return iter(list(self._items))

    def __len__(self) -> int:
        return len(self._items)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Headers) and other._items == self._items

    def copy(self) -> "Headers":
        return Headers(self)

    def to_list(self) -> list[tuple[str, str]]:
        return list(self._items)

    def __repr__(self) -> str:
        return f"Headers({self._items!r})"


def _pairs(items: Any) -> Iterable[tuple[str, Any]]:
    if items is None:
        return ()
    if isinstance(items, Headers):
        return items._items
    if isinstance(items, dict):
        return items.items()
    return items


class MultiDict(dict):
    """First value per key through the dict interface; every value through getlist."""

    def __init__(self, pairs: Any = ()):
        super().__init__()
        self._lists: dict[str, list[Any]] = {}
        for k, v in (pairs.items() if isinstance(pairs, dict) else pairs):
            self._lists.setdefault(k, []).append(v)
            if k not in self:
                super().__setitem__(k, v)

    def __missing__(self, key: str) -> Any:
        # A missing form or query field is the client's fault: a 400 that is also a KeyError.
        raise BadRequestKeyError(key)

    def get(self, key: str, default: Any = None, type: Any = None) -> Any:
        if key not in self:
            return default
        value = self[key]
        if type is None:
            return value
        try:
            return type(value)
        except (ValueError, TypeError):
            return default

    def getlist(self, key: str, type: Any = None) -> list[Any]:
        values = list(self._lists.get(key, ()))
        if type is None:
            return values
        out = []
        for v in values:
            try:
                out.append(type(v))
            except (ValueError, TypeError):
                pass
        return out

    def __setitem__(self, key: str, value: Any) -> None:
        super().__setitem__(key, value)
        self._lists[key] = [value]

    def add(self, key: str, value: Any) -> None:
        self._lists.setdefault(key, []).append(value)
        if key not in self:
            super().__setitem__(key, value)

    def items(self, multi: bool = False):  # type: ignore[override]
        if not multi:
            return super().items()
        return [(k, v) for k, vs in self._lists.items() for v in vs]

    def lists(self) -> list[tuple[str, list[Any]]]:
        return [(k, list(vs)) for k, vs in self._lists.items()]

    def listvalues(self) -> list[list[Any]]:
        return [list(vs) for vs in self._lists.values()]

    def setlist(self, key: str, values: Iterable[Any]) -> None:
        values = list(values)
        if values:
            super().__setitem__(key, values[0])
            self._lists[key] = values
        else:
            self.pop(key, None)

    def setlistdefault(self, key: str, default: Iterable[Any] | None = None) -> list[Any]:
        if key not in self:
            self.setlist(key, default or ())
        return self._lists.setdefault(key, [])

    def poplist(self, key: str) -> list[Any]:
        super().pop(key, None)
        return self._lists.pop(key, [])

    # The dict operations keep every value list in step with the first values.
    def __delitem__(self, key: str) -> None:
        super().__delitem__(key)
        del self._lists[key]

    _MISSING = object()

    def pop(self, key: str, default: Any = _MISSING) -> Any:
        if key in self:
            self._lists.pop(key, None)
            return super().pop(key)
        if default is MultiDict._MISSING:
            raise KeyError(key)
        return default

    def popitem(self) -> tuple[str, Any]:
        key, value = super().popitem()
        self._lists.pop(key, None)
        return key, value

    def setdefault(self, key: str, default: Any = None) -> Any:
        if key not in self:
            self[key] = default
        return self[key]

    def update(self, other: Any = (), **kwargs: Any) -> None:  # type: ignore[override]
        """Adds the values (as werkzeug's MultiDict does), keeping those already here."""
        pairs = other.items(multi=True) if isinstance(other, MultiDict) else (
            other.items() if isinstance(other, dict) else other)
        for k, v in [*pairs, *kwargs.items()]:
            for item in (v if isinstance(v, list) else [v]):
                self.add(k, item)

    def clear(self) -> None:
        super().clear()
        self._lists.clear()

    def to_dict(self, flat: bool = True) -> dict:
        return dict(self) if flat else {k: list(v) for k, v in self._lists.items()}

    def copy(self) -> "MultiDict":
        return type(self)(self.items(multi=True))

    __copy__ = copy

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.items(multi=True)!r})"


class Authorization(dict):
    """Credentials from an Authorization header: Basic (username, password) or a token."""

    def __init__(self, auth_type: str, data: dict | None = None, token: str | None = None):
        super().__init__(data or {})
        self.type = auth_type
        self.token = token

    @property
    def username(self) -> str | None:
        return self.get("username")

    @property
    def password(self) -> str | None:
        return self.get("password")


def parse_cookie(text: str) -> MultiDict:
    """Cookie header pairs; a double-quoted value loses its quotes and backslash escapes."""
    pairs = []
    for part in text.split(";"):
        name, eq, value = part.partition("=")
        name = name.strip()
        if not eq or not name:
            continue
        value = value.strip()
        if len(value) >= 2 and value[0] == value[-1] == '"':
            value = _unquote_cookie(value[1:-1])
        pairs.append((name, value))
    return MultiDict(pairs)


def _unquote_cookie(value: str) -> str:
    if "\\" not in value:
        return value
    out, i = bytearray(), 0
    while i < len(value):
        c = value[i]
        if c == "\\" and value[i + 1:i + 4].isdigit() and len(value[i + 1:i + 4]) == 3:
            out.append(int(value[i + 1:i + 4], 8) & 0xFF)
            i += 4
        elif c == "\\" and i + 1 < len(value):
            out += value[i + 1].encode()
            i += 2
        else:
            out += c.encode()
            i += 1
    return out.decode("utf-8", "replace")


# Characters a URL path keeps unquoted when rebuilt from its decoded form.
_PATH_SAFE = "/:@!$&'()*+,;=-._~"


def _joined(pairs: list[tuple[str, str]]) -> list[tuple[str, str]]:
    seen: dict[str, int] = {}
    out: list[tuple[str, str]] = []
    for name, value in pairs:
        key = name.lower()
        at = seen.get(key)
        if at is None:
            seen[key] = len(out)
            out.append((name, value))
        else:
            sep = "; " if key == "cookie" else ", "
            out[at] = (out[at][0], out[at][1] + sep + value)
    return out if len(out) < len(pairs) else pairs


def server_name_port(host: str | None, scheme: str) -> tuple[str, str]:
    """SERVER_NAME and SERVER_PORT for a Host value, the port defaulting by scheme."""
    default = "443" if scheme == "https" else "80"
    if not host:
        return "localhost", default
    if host.startswith("["):  # an IPv6 literal
        end = host.find("]")
        name, rest = host[:end + 1], host[end + 1:]
        return name, rest[1:] if rest.startswith(":") and rest[1:].isdigit() else default
    name, sep, port = host.rpartition(":")
    if sep and port.isdigit():
        return name, port
    return host, default


class UserAgent(str):
    """The User-Agent header: the text itself, and `.string` as code written for Flask
    reads it. (Nothing is parsed out of it: browser and platform stay None.)"""

    __slots__ = ()
    browser = platform = version = language = None

    @property
    def string(self) -> str:
        return str(self)


class Request(MimeTypeMixin):
    """The request object the server builds for every request it hands to Python.

    Each app uses a subclass (App.request_class) whose class attributes carry the app and
    its proxy trust, so building one costs nothing beyond storing the server's values.
    """

    __slots__ = (
        "method", "path", "raw_query", "query", "header_list", "body", "peer_addr",
        "endpoint", "view_args", "error_code", "allowed_methods",
        "_headers", "_args", "_form", "_cookies", "_g", "_session", "_forwarded",
        "_flashes", "_files", "_after", "_state", "_environ", "__weakref__",
    )

    app: Any = None

    # Read from the app when first needed, so a running server follows changes.
    @property
    def trusted_proxy(self) -> bool:
        """Trust the first X-Forwarded-For line from any peer: our balancer is in front."""
        return bool(self.app is not None and self.app.behind_balancer)

    @property
    def forwarded_networks(self) -> tuple:
        """Networks whose X-Forwarded-For / X-Forwarded-Proto lines are believed."""
        return self.app.forwarded_allow_ips if self.app is not None else ()

    def __init__(self, method, path, query_string, query, headers, body, remote_addr,
                 endpoint, view_args, error_code, allowed_methods):
        self.method = method
        self.path = path
        self.raw_query = query_string  # as text; query_string gives Flask's bytes
        self.query = query
        self.header_list = headers
        self.body = body
        self.peer_addr = remote_addr
        self.endpoint = endpoint
        self.view_args = view_args
        self.error_code = error_code
        self.allowed_methods = allowed_methods
        self._headers = None
        self._args = None
        self._form = None
        self._cookies = None
        self._g = None
        self._session = None
        self._forwarded = None
        self._flashes = None
        self._files = None
        self._after = None

    # --- headers, query, body ---------------------------------------------

    @property
    def query_string(self) -> bytes:
        """The raw query, as bytes (Flask's type); raw_query has it as text."""
        return self.raw_query.encode("utf-8", "surrogateescape")

    @property
    def headers(self) -> Headers:
        """The request's headers, a repeated one as one value joined with ", " ("; " for
        Cookie), as a WSGI server hands them to Flask: no value is lost to get()."""
        if self._headers is None:
            self._headers = Headers(_joined(self.header_list))
        return self._headers

    def _header(self, lname: str) -> str | None:
        """One header by lower-case name, without building the Headers object."""
        for k, v in self.header_list:
            if k.lower() == lname:
                return v
        return None

    @property
    def args(self) -> MultiDict:
        if self._args is None:
            self._args = MultiDict(self.query)
        return self._args

    @property
    def data(self) -> bytes:
        return self.get_data()

    def get_data(self, cache: bool = True, as_text: bool = False, parse_form_data: bool = False):
        body = self.body
        if body.__class__ is not bytes:
            # The whole of a body that arrived whole, even after request.stream was read;
            # of a streamed one, what the view has not read yet (the server has already
            # held it to MAX_CONTENT_LENGTH).
            body = self.body = (body.getvalue() if body.__class__ is io.BytesIO
                                else self.stream.read())
        return body.decode("utf-8", "replace") if as_text else body

    @property
    def content_type(self) -> str:
        return self._header("content-type") or ""

    @property
    def content_length(self) -> int | None:
        value = self._header("content-length")
        if value is not None:
            try:
                return max(0, int(value))
            except ValueError:
                return None
        body = self.body
        if body.__class__ is io.BytesIO:
            body = body.getvalue()
        return len(body) if body.__class__ is bytes and body else None

    @property
    def is_json(self) -> bool:
        mt = self.mimetype
        return mt == "application/json" or (mt.startswith("application/") and mt.endswith("+json"))

    def get_json(self, force: bool = False, silent: bool = False, cache: bool = True) -> Any:
        if not (force or self.is_json):
            if silent:
                return None
            raise UnsupportedMediaTypeJSON()
        try:
            return _json.loads(self.get_data())
        except (ValueError, RecursionError):  # too deeply nested is bad input too
            if silent:
                return None
            raise BadRequest("Failed to decode JSON object.") from None

    @property
    def json(self) -> Any:
        return self.get_json()

    @property
    def form(self) -> MultiDict:
        if self._form is None:
            mimetype = self.mimetype
            if mimetype == "application/x-www-form-urlencoded":
                from .bodystream import read_limited
                from .formparser import form_limits, parse_urlencoded
                max_parts, max_memory = form_limits(self._config())
                body = self.body
                data = read_limited(self.get_data() if body.__class__ is io.BytesIO else
                                    body if body.__class__ is bytes else self.stream,
                                    max_memory)
                self.body = data
                self._form = MultiDict(parse_urlencoded(data, max_parts, max_memory))
            elif mimetype == "multipart/form-data":
                self._parse_multipart()
            else:
                self._form = MultiDict()
        return self._form

    @property
    def files(self) -> MultiDict:
        """Uploaded files of a multipart/form-data body, by field name (FileStorage values)."""
        if self._files is None:
            if self._form is None and self.mimetype == "multipart/form-data":
                self._parse_multipart()
            else:
                self._files = MultiDict()
        return self._files

    def _parse_multipart(self) -> None:
        from .formparser import form_limits, parse_multipart
        body = self.get_data() if self.body.__class__ is io.BytesIO else self.body
        # A streamed body is parsed as it arrives, file parts spooled to disk; it is
        # consumed then, as in Flask (get_data() gives b"" afterwards).
        source = body if body.__class__ is bytes else self.stream
        fields, files = parse_multipart(
            source, self.mimetype_params.get("boundary", ""), *form_limits(self._config()))
        if source is not body:
            self.body = b""
        self._form = MultiDict(fields)
        self._files = MultiDict(files)

    def _config(self) -> Any:
        return self.app.config if self.app is not None else {}

    def close(self) -> None:
        """Closes uploaded files; the server calls this when the request ends."""
        files = self._files
        if files:
            for _, f in files.items(multi=True):
                f.close()

    @property
    def values(self) -> MultiDict:
        """Query and form values together (a GET's body is not read, as in Flask)."""
        pairs = list(self.args.items(multi=True))
        if self.method != "GET":
            pairs += self.form.items(multi=True)
        return MultiDict(pairs)

    @property
    def cookies(self) -> MultiDict:
        if self._cookies is None:
            lines = [v for k, v in self.header_list if k.lower() == "cookie"]
            self._cookies = parse_cookie("; ".join(lines))
        return self._cookies

    @property
    def authorization(self) -> Authorization | None:
        value = self._header("authorization")
        if not value:
            return None
        scheme, _, rest = value.strip().partition(" ")
        scheme = scheme.lower()
        rest = rest.strip()
        if scheme == "basic":
            try:
                text = base64.b64decode(rest, validate=True).decode("utf-8")
            except (ValueError, UnicodeDecodeError):
                return None
            user, sep, password = text.partition(":")
            if not sep:
                return None
            return Authorization("basic", {"username": user, "password": password})
        if not scheme:
            return None
        return Authorization(scheme, token=rest or None)

    @property
    def user_agent(self) -> "UserAgent":
        return UserAgent(self._header("user-agent") or "")

    @property
    def referrer(self) -> str | None:
        return self._header("referer")

    @property
    def origin(self) -> str | None:
        return self._header("origin")

    @property
    def accept_mimetypes(self) -> MIMEAccept:
        return MIMEAccept(self._header("accept"))

    @property
    def accept_languages(self) -> LanguageAccept:
        return LanguageAccept(self._header("accept-language"))

    @property
    def accept_charsets(self) -> Accept:
        return Accept(self._header("accept-charset"))

    @property
    def accept_encodings(self) -> Accept:
        return Accept(self._header("accept-encoding"))

    @property
    def if_modified_since(self) -> _dt.datetime | None:
        from .caching import parse_date
        return parse_date(self._header("if-modified-since"))

    @property
    def if_none_match(self) -> frozenset[str]:
        """The entity tags named, without quotes or W/ (a lone "*" stays "*")."""
        tags = set()
        for tag in (self._header("if-none-match") or "").split(","):
            tag = tag.strip()
            tag = (tag[2:] if tag.startswith("W/") else tag).strip('"')
            if tag:
                tags.add(tag)
        return frozenset(tags)

    @property
    def stream(self) -> Any:
        """The body as a binary file. A large, chunked or "Expect: 100-continue" body is
        read from the connection as this is read (kiv.bodystream.BodyStream); a small one
        has arrived whole already."""
        body = self.body
        if body.__class__ is bytes:
            body = self.body = io.BytesIO(body)  # one stream, read on from where it was
            return body
        if body.__class__ is io.BytesIO:
            return body
        from .bodystream import BodyStream
        if body.__class__ is not BodyStream:
            body = self.body = BodyStream(body)
        return body

    input_stream = stream

    @property
    def max_content_length(self) -> int | None:
        return self.app.config["MAX_CONTENT_LENGTH"] if self.app is not None else None

    @property
    def url_rule(self) -> Any:
        """The rule that matched (`.rule`, `.endpoint`, `.methods`, `.arguments`), or None."""
        if self.app is None or self.endpoint is None:
            return None
        return self.app.url_map.rule_for(self.endpoint, self.view_args or {})

    @property
    def environ(self) -> dict[str, Any]:
        """The request's WSGI environ: the one it came with when the app was called as a
        WSGI application; else one made on first read (the slot stays empty until then,
        so requests that never ask pay nothing) and kept, so what code stores in it stays
        for the rest of the request, as in Flask."""
        try:
            return self._environ
        except AttributeError:
            env = self._environ = self._make_environ()
            return env

    def _make_environ(self) -> dict[str, Any]:
        scheme = self.scheme
        name, port = server_name_port(self.host, scheme)
        env: dict[str, Any] = {
            "REQUEST_METHOD": self.method, "SCRIPT_NAME": self._script_root,
            "PATH_INFO": self.path.encode("utf-8", "surrogateescape").decode("latin-1"),
            "QUERY_STRING": self.raw_query, "SERVER_NAME": name, "SERVER_PORT": port,
            "SERVER_PROTOCOL": "HTTP/1.1", "REMOTE_ADDR": self.remote_addr,
            "wsgi.version": (1, 0), "wsgi.url_scheme": scheme,
            # A body that arrived whole, from its start; a streamed one as it goes on.
            "wsgi.input": (io.BytesIO(self.get_data())
                           if self.body.__class__ in (bytes, io.BytesIO) else self.stream),
            "wsgi.errors": sys.stderr, "wsgi.multithread": True, "wsgi.multiprocess": False,
            "wsgi.run_once": False,
        }
        for k, v in self.header_list:
            key = k.upper()
            if "_" in key:  # X-Forwarded_For must not pass for X-Forwarded-For
                continue
            key = key.replace("-", "_")
            if key not in ("CONTENT_TYPE", "CONTENT_LENGTH"):
                key = "HTTP_" + key
            env[key] = f"{env[key]},{v}" if key in env else v
        length = self.content_length
        if length and "CONTENT_LENGTH" not in env:  # chunked, read whole
            env["CONTENT_LENGTH"] = str(length)
        return env

    # --- the client and the URL -------------------------------------------

    def _forwarded_values(self) -> tuple[str, str, str | None]:
        """(client address, scheme, forwarded host or None), believing forwarded headers
        only from trusted peers."""
        if self._forwarded is None:
            addr, scheme = self.peer_addr, "http"
            chain: list[str] = []
            first = proto = fhost = None
            for k, v in self.header_list:
                lk = k.lower()
                if lk == "x-forwarded-for":
                    if first is None:
                        first = v
                    chain += [p.strip() for p in v.split(",") if p.strip()]
                elif lk == "x-forwarded-proto":
                    proto = v
                elif lk == "x-forwarded-host":
                    fhost = v
            if self.trusted_proxy:
                # Our balancer puts its line first; only that line is believed. It passes
                # the client's Host on as sent, so a forwarded host would be the client's.
                fhost = None
                if first is not None and first.split(",")[0].strip():
                    addr = first.split(",")[0].strip()
            elif (chain or proto or fhost) and _trusted(self.peer_addr,
                                                        self.forwarded_networks):
                if chain:
                    # Walk back from the nearest hop; the first untrusted one is the client.
                    addr = chain[0]
                    for hop in reversed(chain):
                        if not _trusted(hop, self.forwarded_networks):
                            addr = hop
                            break
            else:
                proto = fhost = None
            if proto:
                scheme = proto.split(",")[-1].strip().lower()
            if fhost is not None:
                # The nearest proxy's value; anything that is not a plain host[:port] is
                # ignored rather than let into URLs.
                fhost = fhost.split(",")[-1].strip()
                if not _HOST_RE.fullmatch(fhost):
                    fhost = None
            self._forwarded = (addr, scheme, fhost)
        return self._forwarded

    @property
    def remote_addr(self) -> str:
        """The client's address: the connection's peer, or what a trusted proxy forwarded."""
        return self._forwarded_values()[0]

    @property
    def access_route(self) -> list[str]:
        chain = [part.strip() for k, v in self.header_list
                 if k.lower() == "x-forwarded-for" for part in v.split(",")]
        return [c for c in chain if c] or [self.peer_addr]

    @property
    def scheme(self) -> str:
        return self._forwarded_values()[1]

    @property
    def is_secure(self) -> bool:
        return self.scheme in ("https", "wss")

    @property
    def host(self) -> str:
        """The Host header, or the host a trusted proxy forwarded (X-Forwarded-Host),
        without the scheme's default port (as Flask gives it, and URLs are built from it)."""
        host = self._forwarded_values()[2] or self._header("host") or "localhost"
        if host.endswith((":80", ":443")):
            port = host.rsplit(":", 1)[1]
            if (port == "80") == (self.scheme in ("http", "ws")):
                host = host[:-len(port) - 1]
        return host

    # Where the app is mounted: "" when it answers at the server's root, as it does
    # when served; the test client mounts it at APPLICATION_ROOT.
    _script_root = ""

    @property
    def root_path(self) -> str:
        return self._script_root

    script_root = root_path

    @property
    def host_url(self) -> str:
        return f"{self.scheme}://{self.host}/"

    @property
    def url_root(self) -> str:
        return f"{self.scheme}://{self.host}{self._script_root}/"

    @property
    def base_url(self) -> str:
        return (f"{self.scheme}://{self.host}{self._script_root}"
                f"{quote(self.path, safe=_PATH_SAFE)}")

    @property
    def url(self) -> str:
        base = self.base_url
        return f"{base}?{self.raw_query}" if self.raw_query else base

    @property
    def full_path(self) -> str:
        return f"{self.path}?{self.raw_query}"

    # --- framework state --------------------------------------------------

    @property
    def blueprint(self) -> str | None:
        endpoint = self.endpoint
        if endpoint and "." in endpoint:
            return endpoint.rpartition(".")[0]
        return None

    @property
    def blueprints(self) -> list[str]:
        """The current blueprint and its parents, innermost first."""
        name = self.blueprint
        if name is None:
            return []
        parts = name.split(".")
        return [".".join(parts[:i]) for i in range(len(parts), 0, -1)]

    @property
    def g(self) -> "_AppCtxGlobals":
        if self._g is None:
            self._g = _AppCtxGlobals()
        return self._g

    @property
    def session(self) -> Any:
        if self._session is None:
            iface = self.app.session_interface
            session = iface.open_session(self.app, self)
            # A backend that cannot open one gives None: the null session stands in.
            self._session = iface.make_null_session(self.app) if session is None else session
        return self._session


def _trusted(addr: str, networks: tuple) -> bool:
    import ipaddress
    try:
        ip = ipaddress.ip_address(addr.strip("[]"))
    except ValueError:
        return False
    if ip.version == 6 and ip.ipv4_mapped is not None:
        ip = ip.ipv4_mapped
    return any(ip in net for net in networks)


class UnsupportedMediaTypeJSON(UnsupportedMediaType):
    description = "Did not attempt to load JSON data because the request Content-Type was not 'application/json'."


class _AppCtxGlobals:
    """`g`: a plain namespace for one request."""

    def get(self, name: str, default: Any = None) -> Any:
        return self.__dict__.get(name, default)

    def pop(self, name: str, default: Any = ...) -> Any:
        if default is ...:
            return self.__dict__.pop(name)
        return self.__dict__.pop(name, default)

    def setdefault(self, name: str, default: Any = None) -> Any:
        return self.__dict__.setdefault(name, default)

    def __contains__(self, name: str) -> bool:
        return name in self.__dict__

    def __iter__(self):
        return iter(self.__dict__)

    def __repr__(self) -> str:
        return f"<g {self.__dict__!r}>"


def _status_line(code: int) -> str:
    try:
        return f"{code} {HTTPStatus(code).phrase.upper()}"
    except ValueError:
        return f"{code} UNKNOWN"


class Response:
    """A response a view may return; the server reads it through _fast()."""

    default_status = 200
    default_mimetype = "text/html"

    def __init__(self, response: Any = None, status: int | str | HTTPStatus | None = None,
                 headers: Any = None, mimetype: str | None = None,
                 content_type: str | None = None, direct_passthrough: bool = False):
        if response is None:
            body: Any = b""
        elif isinstance(response, (str, bytes)):
            body = response
        elif isinstance(response, (bytearray, memoryview)):
            body = bytes(response)
        elif isinstance(response, (list, tuple)):
            body = b"".join(c.encode() if isinstance(c, str) else bytes(c) for c in response)
        else:  # any other iterable of chunks is sent as it is produced
            body = response
        self.body = body
        self.status_code = self.default_status
        if status is not None:
            self.status = status  # type: ignore[assignment]
        self.headers = Headers(headers)
        if content_type is None:
            if mimetype is None and "content-type" not in self.headers:
                mimetype = self.default_mimetype
            if mimetype is not None:
                content_type = _with_charset(mimetype)
        if content_type is not None:
            self.headers.set("Content-Type", content_type)

    # --- status -------------------------------------------------------------

    @property
    def status(self) -> str:
        return _status_line(self.status_code)

    @status.setter
    def status(self, value: int | str | HTTPStatus) -> None:
        if isinstance(value, int):
            self.status_code = int(value)
        else:
            digits = str(value).strip().split(" ", 1)[0]
            try:
                self.status_code = int(digits)
            except ValueError:
                raise ValueError("Empty status argument") from None

    # --- body -----------------------------------------------------------------

    @property
    def data(self) -> bytes:
        return self.get_data()

    @data.setter
    def data(self, value: str | bytes) -> None:
        self.body = value

    def get_data(self, as_text: bool = False) -> Any:
        body = self.body
        if isinstance(body, bytes):
            data = body
        elif isinstance(body, str):
            data = body.encode()
        else:
            data = self._read_body()
        return data.decode("utf-8", "replace") if as_text else data

    def set_data(self, value: str | bytes) -> None:
        self.body = value

    def _read_body(self) -> bytes:
        # A streamed or file body is read whole on first access and the
        # response keeps the bytes, so the body is never produced twice.
        body = self.body
        if isinstance(body, (bytearray, memoryview)):
            data = bytes(body)
        else:
            try:
                data = b"".join(_chunk_bytes(c) for c in body)
            finally:
                close = getattr(body, "close", None)
                if close is not None:
                    close()
        self.body = data
        return data

    @property
    def is_streamed(self) -> bool:
        """True when the body is produced as it is sent (no length known up front)."""
        return not isinstance(self.body, _IN_MEMORY) and not hasattr(self.body, "__kiv_file__")

    @property
    def content_length(self) -> int | None:
        body = self.body
        if isinstance(body, _IN_MEMORY):
            return len(self.data)
        if hasattr(body, "__kiv_file__"):
            return len(body)
        value = self.headers.get("Content-Length")  # a stream is not read to count it
        return int(value) if value and value.isdigit() else None

    @property
    def content_type(self) -> str | None:
        return self.headers.get("Content-Type")

    @content_type.setter
    def content_type(self, value: str) -> None:
        self.headers.set("Content-Type", value)

    @property
    def mimetype(self) -> str | None:
        ct = self.headers.get("Content-Type")
        return ct.split(";")[0].strip() if ct else None

    @mimetype.setter
    def mimetype(self, value: str) -> None:
        self.headers.set("Content-Type", _with_charset(value))

    @property
    def location(self) -> str | None:
        return self.headers.get("Location")

    @location.setter
    def location(self, value: str) -> None:
        self.headers.set("Location", value)

    @property
    def is_json(self) -> bool:
        mt = self.mimetype or ""
        return mt == "application/json" or (mt.startswith("application/") and mt.endswith("+json"))

    def get_json(self, force: bool = False, silent: bool = False) -> Any:
        if not (force or self.is_json):
            return None
        try:
            return _json.loads(self.data)
        except ValueError:
            if silent:
                return None
            raise

    @property
    def json(self) -> Any:
        return self.get_json()

    # --- caching headers ------------------------------------------------------

    @property
    def cache_control(self) -> Any:
        from .caching import CacheControl
        return CacheControl(self.headers)

    @property
    def vary(self) -> Any:
        from .caching import HeaderSet
        return HeaderSet(self.headers, "Vary")

    @property
    def allow(self) -> Any:
        from .caching import HeaderSet
        return HeaderSet(self.headers, "Allow")

    def _date_header(self, name: str) -> _dt.datetime | None:
        from .caching import parse_date
        return parse_date(self.headers.get(name))

    def _set_date_header(self, name: str, value: Any) -> None:
        from .caching import http_date
        if value is None:
            self.headers.remove(name)
        else:
            self.headers.set(name, http_date(value))

    last_modified = property(lambda self: self._date_header("Last-Modified"),
                             lambda self, v: self._set_date_header("Last-Modified", v))
    expires = property(lambda self: self._date_header("Expires"),
                       lambda self, v: self._set_date_header("Expires", v))

    def get_etag(self) -> tuple[str | None, bool | None]:
        """(tag, weak), or (None, None) without an ETag."""
        value = self.headers.get("ETag")
        if not value:
            return None, None
        weak = value.startswith("W/")
        return (value[2:] if weak else value).strip('"'), weak

    def set_etag(self, etag: str, weak: bool = False) -> None:
        if '"' in etag:
            raise ValueError("an entity tag may not contain a double quote")
        self.headers.set("ETag", f'{"W/" if weak else ""}"{etag}"')

    def add_etag(self, overwrite: bool = False, weak: bool = False) -> None:
        """An ETag from the body's hash, unless there is one (or the body is streamed)."""
        if (overwrite or "etag" not in self.headers) and not self.is_streamed:
            import hashlib
            self.set_etag(hashlib.sha1(self.get_data()).hexdigest(), weak)

    def make_conditional(self, request_or_environ: Any = None, **_: Any) -> "Response":
        """Becomes 304 Not Modified, without a body, when a GET or HEAD already holds this
        version (by If-None-Match, else If-Modified-Since)."""
        from .caching import etag_matches
        req = request_or_environ if request_or_environ is not None else _local.request
        if req is None or req.method not in ("GET", "HEAD") or self.status_code != 200:
            return self
        inm = req.headers.get("If-None-Match")
        if inm is not None:
            fresh = etag_matches(self.get_etag()[0], inm)
        else:
            since, modified = req.if_modified_since, self.last_modified
            fresh = since is not None and modified is not None and modified <= since
        if fresh:
            close = getattr(self.body, "close", None)
            if close is not None and not isinstance(self.body, _IN_MEMORY):
                close()
            self.status_code, self.body = 304, b""
            for name in ("Content-Length", "Content-Type"):
                self.headers.remove(name)
        return self

    # --- cookies ----------------------------------------------------------------

    def set_cookie(self, key: str, value: str = "", max_age: int | _dt.timedelta | None = None,
                   expires: Any = None, path: str | None = "/", domain: str | None = None,
                   secure: bool = False, httponly: bool = False,
                   samesite: str | None = None, partitioned: bool = False) -> None:
        line = dump_cookie(
            key, value, max_age=max_age, expires=expires, path=path, domain=domain,
            secure=secure, httponly=httponly, samesite=samesite, partitioned=partitioned)
        limit = self.max_cookie_size
        if limit and len(line) > limit:
            import warnings
            warnings.warn(
                f"The {key!r} cookie is too large: the value was {len(value)} bytes but the "
                f"header required {len(line) - len(value)} extra bytes. The final size was "
                f"{len(line)} bytes but the limit is {limit} bytes. Browsers may silently "
                "ignore cookies larger than this.", stacklevel=2)
        self.headers.add("Set-Cookie", line)

    @property
    def max_cookie_size(self) -> int:
        """The app's MAX_COOKIE_SIZE (4093 outside an app): larger cookies are warned of."""
        from .globals import _local
        app = _local.request.app if _local.request is not None else _local.app
        return app.config.get("MAX_COOKIE_SIZE", 4093) if app is not None else 4093

    def call_on_close(self, func: Any) -> Any:
        """func runs when the response is closed."""
        self.__dict__.setdefault("_on_close", []).append(func)
        return func

    def close(self) -> None:
        """Closes a streamed body and runs the call_on_close functions."""
        close = getattr(self.body, "close", None)
        if close is not None:
            close()
        for func in self.__dict__.pop("_on_close", ()):
            func()

    def delete_cookie(self, key: str, path: str | None = "/", domain: str | None = None,
                      secure: bool = False, httponly: bool = False,
                      samesite: str | None = None, partitioned: bool = False) -> None:
        self.set_cookie(key, "", max_age=0, expires=0, path=path, domain=domain, secure=secure,
                        httponly=httponly, samesite=samesite, partitioned=partitioned)

    def _fast(self):
        try:
            return (self.status_code, self.headers._items, self.body)
        except AttributeError:  # headers replaced by another container (Werkzeug's Headers)
            return (self.status_code, [(k, str(v)) for k, v in self.headers.items()], self.body)

    def __repr__(self) -> str:
        size = "streamed" if self.is_streamed else f"{self.content_length} bytes"
        return f"<{type(self).__name__} {size} [{self.status}]>"


_IN_MEMORY = (str, bytes, bytearray, memoryview)  # bodies whose bytes exist already


def _with_charset(mimetype: str) -> str:
    if "charset=" not in mimetype and (
            mimetype.startswith("text/") or mimetype in (
                "application/xml", "application/javascript", "application/ecmascript")
            or mimetype.endswith("+xml")):
        return mimetype + "; charset=utf-8"
    return mimetype


# Cookie values are sent as they are when every character is one of these; anything else
# is sent double-quoted with backslash escapes, which parse_cookie undoes.
_COOKIE_PLAIN = frozenset(
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789!#$%&'()*+-./:<=>?@[]^_`{|}~")


def _quote_cookie(value: str) -> str:
    if all(c in _COOKIE_PLAIN for c in value):
        return value
    out = []
    for c in value:
        if c in _COOKIE_PLAIN or c == " " or c == ",":
            out.append(c)
        elif c in '"\\':
            out.append("\\" + c)
        elif ord(c) < 128:
            out.append(f"\\{ord(c):03o}")
        else:
            out.extend(f"\\{b:03o}" for b in c.encode())
    return '"' + "".join(out) + '"'


# A cookie name is an HTTP token (RFC 6265 section 4.1.1): visible ASCII but separators.
_COOKIE_NAME_RE = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+")
# Characters that would end an attribute or the header line early.
_ATTR_BAD_RE = re.compile(r"[;\x00-\x1f\x7f]")


def dump_cookie(key: str, value: str = "", max_age: Any = None, expires: Any = None,
                path: str | None = "/", domain: str | None = None, secure: bool = False,
                httponly: bool = False, samesite: str | None = None,
                partitioned: bool = False) -> str:
    """One Set-Cookie value (RFC 6265 section 4.1)."""
    from email.utils import format_datetime
    if isinstance(key, bytes):
        key = key.decode("latin-1")
    if not _COOKIE_NAME_RE.fullmatch(key):
        raise ValueError(f"invalid cookie name {key!r}: letters, digits and !#$%&'*+-.^_`|~ only")
    for attr, text in (("domain", domain), ("path", path)):
        if text and _ATTR_BAD_RE.search(text):
            raise ValueError(f"invalid cookie {attr} {text!r}: no ';' or control characters")
    if isinstance(value, bytes):
        value = value.decode()
    parts = [f"{key}={_quote_cookie(value)}"]
    if isinstance(max_age, _dt.timedelta):
        max_age = int(max_age.total_seconds())
    if expires is not None:
        if isinstance(expires, (int, float)):
            expires = _dt.datetime.fromtimestamp(expires, _dt.timezone.utc)
        elif isinstance(expires, _dt.datetime) and expires.tzinfo is None:
            expires = expires.replace(tzinfo=_dt.timezone.utc)
        if isinstance(expires, _dt.datetime):
            expires = format_datetime(expires.astimezone(_dt.timezone.utc), usegmt=True)
        parts.append(f"Expires={expires}")
    elif max_age is not None:
        when = _dt.datetime.now(_dt.timezone.utc) + _dt.timedelta(seconds=int(max_age))
        parts.append(f"Expires={format_datetime(when, usegmt=True)}")
    if max_age is not None:
        parts.append(f"Max-Age={int(max_age)}")
    if domain:
        parts.append(f"Domain={domain}")
    if path is not None:
        parts.append(f"Path={path}")
    if secure or partitioned:
        parts.append("Secure")
    if httponly:
        parts.append("HttpOnly")
    if samesite:
        samesite = samesite.title()
        if samesite not in ("Strict", "Lax", "None"):
            raise ValueError("SameSite must be 'Strict', 'Lax' or 'None'")
        parts.append(f"SameSite={samesite}")
    if partitioned:
        parts.append("Partitioned")
    return "; ".join(parts)
