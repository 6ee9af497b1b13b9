"""JSON as Flask apps use it: `kiv.json.dumps` / `loads`, and `app.json`, the app's provider.

A dict or list a view returns is written by the server's native writer, which takes JSON
types only. `jsonify()` and these functions also take what Flask's provider takes: dates
and datetimes (as HTTP dates), UUIDs and decimals (as text), dataclasses (as objects) and
anything with `__html__`. Their output is byte for byte the native writer's when the
provider's settings are left as they are.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import json as _json
import re
import sys
import uuid
from typing import IO, Any

from .globals import _local

__all__ = ["JSONProvider", "dump", "dumps", "jsonify", "load", "loads"]


def _default(value: Any) -> Any:
    if isinstance(value, _dt.date):
        from .caching import http_date
        return http_date(value)
    decimal = sys.modules.get("decimal")  # not imported: value is no Decimal
    if isinstance(value, uuid.UUID) or (decimal is not None
                                        and isinstance(value, decimal.Decimal)):
        return str(value)
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return dataclasses.asdict(value)
    if hasattr(value, "__html__"):
        return str(value.__html__())
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


# JSON text byte for byte as the server's native writer writes a returned dict or list.

_EXP_PAD = re.compile(r"(e[+-])0(\d)")


def _fix_numbers(text: str) -> str:
    """Rewrites json.dumps output where the server's writer differs: exponents without a
    leading zero (1e-05 -> 1e-5) and DEL as a raw byte. String contents are left alone
    except for the DEL escape."""
    out, i, n = [], 0, len(text)
    while i < n:
        q = text.find('"', i)
        if q < 0:
            out.append(_EXP_PAD.sub(r"\1\2", text[i:]))
            break
        out.append(_EXP_PAD.sub(r"\1\2", text[i:q]))
        j = q + 1
        while text[j] != '"':
            j += 2 if text[j] == "\\" else 1
        out.append(re.sub(r"(?<!\\)((?:\\\\)*)\\u007f", "\\1\x7f", text[q:j + 1]))
        i = j + 1
    return "".join(out)


def _native_form(text: str) -> str:
    """json.dumps text (compact, sorted, ASCII) as the server's writer would write it."""
    if "e-0" in text or "e+0" in text or "\\u007f" in text:
        text = _fix_numbers(text)
    return text


class JSONProvider:
    """`app.json`: set `sort_keys`, `ensure_ascii`, `compact` or `default` on it (or
    subclass it as App.json_provider_class) to change what jsonify writes."""

    default = staticmethod(_default)
    sort_keys = True
    ensure_ascii = True
    compact = True
    mimetype = "application/json"

    def __init__(self, app: Any):
        self._app = app

    def dumps(self, obj: Any, **kwargs: Any) -> str:
        if kwargs:
            kwargs.setdefault("default", self.default)
            return _json.dumps(obj, **kwargs)
        # One encoder per settings (json.dumps makes one per call); encoding keeps no
        # state in it, so threads share it.
        settings = (self.default, self.sort_keys, self.ensure_ascii, self.compact)
        made = self.__dict__.get("_encoder")
        if made is None or made[0] != settings:
            made = self.__dict__["_encoder"] = (settings, _json.JSONEncoder(
                default=settings[0], sort_keys=settings[1], ensure_ascii=settings[2],
                separators=(",", ":") if settings[3] else None,
                indent=None if settings[3] else 2))
        text = made[1].encode(obj)
        if settings[1] and settings[2] and settings[3]:  # the native writer's form
            text = _native_form(text)
        return text

    def loads(self, s: str | bytes, **kwargs: Any) -> Any:
        return _json.loads(s, **kwargs)

    def dump(self, obj: Any, fp: IO[str], **kwargs: Any) -> None:
        fp.write(self.dumps(obj, **kwargs))

    def load(self, fp: IO[Any], **kwargs: Any) -> Any:
        return self.loads(fp.read(), **kwargs)

    def response(self, *args: Any, **kwargs: Any) -> Any:
        """jsonify: one argument as it is, several as a list, keywords as an object."""
        if args and kwargs:
            raise TypeError("jsonify() behavior undefined when passed both args and kwargs")
        value = args[0] if len(args) == 1 else (list(args) if args else kwargs)
        response_class = getattr(self._app, "response_class", None)
        if response_class is None:
            from .wrappers import Response as response_class
        return response_class(self.dumps(value), mimetype=self.mimetype)


_plain = JSONProvider(None)


def _provider() -> JSONProvider:
    req = _local.request
    app = req.app if req is not None else _local.app
    return app.json if app is not None else _plain


def dumps(obj: Any, **kwargs: Any) -> str:
    """With the current app's provider (outside one, the default settings)."""
    return _provider().dumps(obj, **kwargs)


def dump(obj: Any, fp: IO[str], **kwargs: Any) -> None:
    _provider().dump(obj, fp, **kwargs)


def loads(s: str | bytes, **kwargs: Any) -> Any:
    return _provider().loads(s, **kwargs)


def load(fp: IO[Any], **kwargs: Any) -> Any:
    return _provider().load(fp, **kwargs)


def jsonify(*args: Any, **kwargs: Any) -> Any:
    return _provider().response(*args, **kwargs)


DefaultJSONProvider = JSONProvider  # the name extensions subclass or call
