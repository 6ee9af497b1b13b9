"""The signed-cookie session: a dict kept in a cookie that itsdangerous signs.

itsdangerous is imported the first time a session is opened with a secret key set,
so apps without sessions never load it.
"""

from __future__ import annotations

import base64
import binascii
import datetime as _dt
import hashlib
import hmac
import json
import time
import uuid
from typing import Any


class SessionMixin:
    """What the app asks of any session object: `permanent` lives in the data as
    "_permanent"; a session class that does not track reads and writes counts as
    always read and changed."""

    new = False
    modified = True
    accessed = True

    @property
    def permanent(self) -> bool:
        return bool(self.get("_permanent", False))  # type: ignore[attr-defined]

    @permanent.setter
    def permanent(self, value: bool) -> None:
        self["_permanent"] = bool(value)  # type: ignore[index]


class SecureCookieSession(dict, SessionMixin):
    """A dict that remembers whether it was read or changed during the request."""

    def __init__(self, initial: Any = None, new: bool = False):
        super().__init__(initial or ())
        self.modified = False
        self.accessed = False
        self.new = new

    @property
    def permanent(self) -> bool:
        return bool(dict.get(self, "_permanent", False))

    @permanent.setter
    def permanent(self, value: bool) -> None:
        self["_permanent"] = bool(value)

    def __getitem__(self, key: str) -> Any:
        self.accessed = True
        return super().__getitem__(key)

    def get(self, key: str, default: Any = None) -> Any:
        self.accessed = True
        return super().get(key, default)

    def __contains__(self, key: object) -> bool:
        self.accessed = True
        return super().__contains__(key)

    def __setitem__(self, key: str, value: Any) -> None:
        self.accessed = self.modified = True
        super().__setitem__(key, value)

    def __delitem__(self, key: str) -> None:
        self.accessed = self.modified = True
        super().__delitem__(key)

    def setdefault(self, key: str, default: Any = None) -> Any:
        self.accessed = True
        if key not in self:
            self.modified = True
        return super().setdefault(key, default)

    def pop(self, key: str, *default: Any) -> Any:
        self.accessed = self.modified = True
        return super().pop(key, *default)

    def popitem(self) -> tuple[str, Any]:
        self.accessed = self.modified = True
        return super().popitem()

    def update(self, *args: Any, **kwargs: Any) -> None:
        self.accessed = self.modified = True
        super().update(*args, **kwargs)

    def clear(self) -> None:
        self.accessed = self.modified = True
        super().clear()


class NullSession(SecureCookieSession):
    """The session of an app without a secret key: readable (empty), never writable."""

    def _fail(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError(
            "The session is unavailable because no secret key was set. Set the secret_key "
            "on the application to something unique and secret.")

    __setitem__ = __delitem__ = clear = pop = popitem = update = setdefault = _fail  # type: ignore


class TaggedJSON:
    """JSON for session values that JSON alone would lose: tuples, bytes, datetimes,
    UUIDs and Markup travel as one-key objects whose key names the type (" t", " b",
    " d", " u", " m"). The tags are Flask's, so a session cookie written by a Flask app
    with the same secret key reads back here, and the other way round."""

    @classmethod
    def tag(cls, value: Any) -> Any:
        if isinstance(value, dict):
            if len(value) == 1:
                key = next(iter(value))
                if key in _UNTAG:  # a plain dict that would read back as a tag
                    return {" di": {f"{key}__": cls.tag(value[key])}}
            return {k: cls.tag(v) for k, v in value.items()}
        if isinstance(value, tuple):
            return {" t": [cls.tag(v) for v in value]}
        if isinstance(value, list):
            return [cls.tag(v) for v in value]
        if isinstance(value, bytes):
            return {" b": base64.b64encode(value).decode("ascii")}
        if callable(getattr(value, "__html__", None)):
            return {" m": str(value.__html__())}
        if isinstance(value, uuid.UUID):
            return {" u": value.hex}
        if isinstance(value, _dt.datetime):
            from .caching import http_date
            return {" d": http_date(value)}
        return value

    @staticmethod
    def untag(value: dict) -> Any:
        if len(value) == 1:
            key = next(iter(value))
            if key in _UNTAG:
                return _UNTAG[key](value[key])
        return value

    @classmethod
    def dumps(cls, value: Any) -> str:
        return json.dumps(cls.tag(value), separators=(",", ":"), sort_keys=True)

    @classmethod
    def loads(cls, value: str | bytes) -> Any:
        # One decoder per class, as json.loads would make one per call.
        decoder = cls.__dict__.get("_decoder")
        if decoder is None:
            decoder = json.JSONDecoder(object_hook=cls.untag)
            setattr(cls, "_decoder", decoder)
        if not isinstance(value, str):
            value = value.decode(json.detect_encoding(value), "surrogatepass")
        return decoder.decode(value)


def _markup(text: str) -> Any:
    from markupsafe import Markup
    return Markup(text)


def _datetime(text: str) -> _dt.datetime:
    from .caching import parse_date
    value = parse_date(text)
    if value is None:
        raise ValueError(f"not an HTTP date: {text!r}")
    return value


_UNTAG: dict[str, Any] = {
    " di": lambda d: {k[:-2]: v for k, v in d.items()},
    " t": tuple,
    " b": lambda text: base64.b64decode(text),
    " m": _markup,
    " u": uuid.UUID,
    " d": _datetime,
}


class SessionInterface:
    """What the app asks of a session backend; subclass it and set
    `app.session_interface` for sessions kept elsewhere (a database, a cache). The app
    calls open_session when a request first reads the session (and, for a backend of
    one's own, on every request, as Flask does) and save_session before the response
    is sent."""

    null_session_class = NullSession
    pickle_based = False

    def make_null_session(self, app: Any) -> Any:
        return self.null_session_class()

    def is_null_session(self, session: Any) -> bool:
        return isinstance(session, self.null_session_class)

    def get_cookie_name(self, app: Any) -> str:
        return app.config["SESSION_COOKIE_NAME"]

    def get_cookie_domain(self, app: Any) -> str | None:
        return app.config["SESSION_COOKIE_DOMAIN"] or None

    def get_cookie_path(self, app: Any) -> str:
        return app.config["SESSION_COOKIE_PATH"] or app.config["APPLICATION_ROOT"] or "/"

    def get_cookie_httponly(self, app: Any) -> bool:
        return app.config["SESSION_COOKIE_HTTPONLY"]

    def get_cookie_secure(self, app: Any) -> bool:
        return app.config["SESSION_COOKIE_SECURE"]

    def get_cookie_samesite(self, app: Any) -> str | None:
        return app.config["SESSION_COOKIE_SAMESITE"]

    def get_cookie_partitioned(self, app: Any) -> bool:
        return app.config["SESSION_COOKIE_PARTITIONED"]

    def get_expiration_time(self, app: Any, session: Any) -> _dt.datetime | None:
        if session.permanent:
            return _dt.datetime.now(_dt.timezone.utc) + app.permanent_session_lifetime
        return None

    def should_set_cookie(self, app: Any, session: Any) -> bool:
        return session.modified or (
            session.permanent and app.config["SESSION_REFRESH_EACH_REQUEST"])

    def open_session(self, app: Any, request: Any) -> Any:
        raise NotImplementedError()

    def save_session(self, app: Any, session: Any, response: Any) -> None:
        raise NotImplementedError()


class SecureCookieSessionInterface(SessionInterface):
    """Opens the session from the request's cookie and writes it into the response."""

    salt = "cookie-session"
    digest_method = staticmethod(hashlib.sha1)
    key_derivation = "hmac"
    serializer = TaggedJSON
    session_class = SecureCookieSession

    def get_signing_serializer(self, app: Any) -> Any:
        cached = self._signing(app)
        return None if cached is None else cached[1]

    def _signing(self, app: Any) -> tuple | None:
        """(settings, serializer, derived keys or None) for the app's keys, made once per
        change of SECRET_KEY or SECRET_KEY_FALLBACKS: deriving the keys is most of what
        checking a cookie costs, and they do not change between requests."""
        secret = app.secret_key
        if not secret:
            return None
        cache = app.__dict__.get("_session_serializer")
        fallbacks = app.config.get("SECRET_KEY_FALLBACKS") or []
        key = (secret, tuple(fallbacks), self.salt, self.digest_method, self.key_derivation,
               self.serializer)
        if cache is not None and cache[0] == key:
            return cache
        from itsdangerous import URLSafeTimedSerializer

        # itsdangerous tries every key in the list and signs with the last one.
        serializer = URLSafeTimedSerializer(
            [*fallbacks, secret], salt=self.salt, serializer=self.serializer,
            signer_kwargs={"key_derivation": self.key_derivation,
                           "digest_method": self.digest_method})
        derived = None
        if self.key_derivation == "hmac":
            salt = _as_bytes(self.salt)
            try:
                derived = tuple(hmac.new(_as_bytes(k), salt, self.digest_method).digest()
                                for k in reversed([*fallbacks, secret]))
            except (TypeError, ValueError):  # left to itsdangerous, which says why
                derived = None
        cache = app.__dict__["_session_serializer"] = (key, serializer, derived)
        return cache

    def _load_cookie(self, cached: tuple, value: str, max_age: int) -> Any:
        """The data of a signed cookie, or None if it is not valid now. Reads the format
        URLSafeTimedSerializer writes (payload.timestamp.signature, URL-safe base64, a
        leading "." for a compressed payload) with the derived keys kept, and accepts
        exactly what its loads(value, max_age) accepts."""
        derived = cached[2]
        if derived is None:  # another key derivation: itsdangerous does all of it
            try:
                return cached[1].loads(value, max_age=max_age)
            except Exception:
                return None
        try:
            signed, _, sig = value.encode("utf-8").rpartition(b".")
            if not _:
                return None
            sig = _b64(sig)
            for key in derived:
                if hmac.compare_digest(sig, hmac.new(key, signed, self.digest_method).digest()):
                    break
            else:
                return None
            payload, _, stamp = signed.rpartition(b".")
            stamp = _b64(stamp)
            if not _ or len(stamp) > 8:
                return None
            age = int(time.time()) - int.from_bytes(stamp, "big")
            if age > max_age or age < 0:
                return None
            if payload[:1] == b".":
                import zlib
                text = zlib.decompress(_b64(payload[1:]))
            else:
                text = _b64(payload)
            serializer = cached[1]
            return serializer.serializer.loads(
                text.decode("utf-8") if serializer.is_text_serializer else text)
        except Exception:
            return None

    def open_session(self, app: Any, request: Any) -> SecureCookieSession:
        own = type(self).get_signing_serializer is not _base_signing_serializer
        cached = None if own else self._signing(app)
        serializer = self.get_signing_serializer(app) if own else cached and cached[1]
        if serializer is None:
            return self.null_session_class()
        value = request.cookies.get(self.get_cookie_name(app))
        if not value:
            return self.session_class(new=True)
        max_age = int(app.permanent_session_lifetime.total_seconds())
        if not own:
            data = self._load_cookie(cached, value, max_age)
        else:  # a serializer of the subclass's own
            try:
                data = serializer.loads(value, max_age=max_age)
            except Exception:
                data = None
        # Tampered, expired, signed with an old key or not ours at all: start afresh.
        if not isinstance(data, dict):
            return self.session_class(new=True)
        if data.get("_permanent"):
            _permanent_seen(app)
        return self.session_class(data)

    def save_session(self, app: Any, session: Any, response: Any) -> None:
        if session.accessed and "cookie" not in (response.headers.get("Vary") or "").lower():
            response.headers.add("Vary", "Cookie")
        # A session only read (the usual request) writes no cookie: its settings are
        # looked up only when one is written or deleted.
        if not session:
            if session.modified:
                response.delete_cookie(
                    self.get_cookie_name(app), domain=self.get_cookie_domain(app),
                    path=self.get_cookie_path(app), secure=self.get_cookie_secure(app),
                    samesite=self.get_cookie_samesite(app),
                    httponly=self.get_cookie_httponly(app),
                    partitioned=self.get_cookie_partitioned(app))
            return
        if not self.should_set_cookie(app, session):
            return
        if session.permanent:
            _permanent_seen(app)
        value = self.get_signing_serializer(app).dumps(dict(session))
        response.set_cookie(self.get_cookie_name(app), value,
                            expires=self.get_expiration_time(app, session),
                            httponly=self.get_cookie_httponly(app),
                            domain=self.get_cookie_domain(app), path=self.get_cookie_path(app),
                            secure=self.get_cookie_secure(app),
                            samesite=self.get_cookie_samesite(app),
                            partitioned=self.get_cookie_partitioned(app))


_base_signing_serializer = SecureCookieSessionInterface.get_signing_serializer


def _as_bytes(value: str | bytes) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else value


def _b64(data: bytes) -> bytes:
    """URL-safe base64 as the signed format has it (padding left out); characters
    outside the alphabet are skipped, as itsdangerous' decoder skips them."""
    data += b"=" * (-len(data) % 4)
    try:
        return base64.urlsafe_b64decode(data)
    except (TypeError, ValueError, binascii.Error):
        raise ValueError("not base64") from None


def _permanent_seen(app: Any) -> None:
    """From now on the app refreshes a permanent session on requests that do not read it
    (SESSION_REFRESH_EACH_REQUEST), as Flask does; until one is seen, it opens no cookie
    for that."""
    if not getattr(app, "_permanent_sessions", True):
        app._permanent_sessions = True
        app._session_work = app._session_work or app.config["SESSION_REFRESH_EACH_REQUEST"]
