"""Caching headers on a response as attributes (`response.cache_control.max_age = 60`,
`response.vary.add("Cookie")`, `response.set_etag(...)`, `make_conditional`): each change
is written to the response's headers at once, so what the headers say is what is sent."""

from __future__ import annotations

import datetime as _dt
from email.utils import format_datetime, parsedate_to_datetime
from typing import Any, Iterable


def http_date(value: _dt.datetime | _dt.date | int | float) -> str:
    if isinstance(value, (int, float)):
        value = _dt.datetime.fromtimestamp(value, _dt.timezone.utc)
    elif not isinstance(value, _dt.datetime):
        value = _dt.datetime.combine(value, _dt.time(), tzinfo=_dt.timezone.utc)
    elif value.tzinfo is None:
        value = value.replace(tzinfo=_dt.timezone.utc)
    return format_datetime(value.astimezone(_dt.timezone.utc), usegmt=True)


def parse_date(text: str | None) -> _dt.datetime | None:
    if not text:
        return None
    try:
        value = parsedate_to_datetime(text)
    except (TypeError, ValueError):
        return None
    return value if value.tzinfo else value.replace(tzinfo=_dt.timezone.utc)


class CacheControl:
    """The Cache-Control directives; flags read True/False, values their text or number."""

    _FLAGS = ("public", "private", "no_cache", "no_store", "no_transform", "must_revalidate",
              "proxy_revalidate", "immutable", "must_understand")
    _NUMBERS = ("max_age", "s_maxage", "stale_while_revalidate", "stale_if_error")

    def __init__(self, headers: Any):
        object.__setattr__(self, "_headers", headers)
        directives: dict[str, str | None] = {}
        for part in (headers.get("Cache-Control") or "").split(","):
            name, _, value = part.strip().partition("=")
            if name:
                directives[name.lower()] = value.strip('"') if value else None
        object.__setattr__(self, "_directives", directives)

    def __getattr__(self, attr: str) -> Any:
        name = attr.replace("_", "-")
        if attr in self._FLAGS:
            return name in self._directives
        if attr in self._NUMBERS:
            value = self._directives.get(name)
            return int(value) if value is not None and value.isdigit() else None
        raise AttributeError(attr)

    def __setattr__(self, attr: str, value: Any) -> None:
        if attr not in self._FLAGS and attr not in self._NUMBERS:
            raise AttributeError(f"no Cache-Control directive {attr!r}")
        name = attr.replace("_", "-")
        if value is None or value is False:
            self._directives.pop(name, None)
        elif value is True or attr in self._FLAGS:
            self._directives[name] = None
        else:
            if isinstance(value, _dt.timedelta):
                value = int(value.total_seconds())
            self._directives[name] = str(int(value))
        self._write()

    __delattr__ = lambda self, attr: self.__setattr__(attr, None)  # noqa: E731

    def _write(self) -> None:
        text = ", ".join(k if v is None else f"{k}={v}" for k, v in self._directives.items())
        if text:
            self._headers.set("Cache-Control", text)
        else:
            self._headers.remove("Cache-Control")

    def __str__(self) -> str:
        return self._headers.get("Cache-Control") or ""


class HeaderSet:
    """A comma-separated header (Vary, Allow...) as a set that keeps its order; names
    compare ignoring case."""

    def __init__(self, headers: Any, name: str):
        self._headers, self._name = headers, name
        self._items = [p.strip() for p in (headers.get(name) or "").split(",") if p.strip()]

    def _write(self) -> None:
        if self._items:
            self._headers.set(self._name, ", ".join(self._items))
        else:
            self._headers.remove(self._name)

    def add(self, item: str) -> None:
        if item.lower() not in (i.lower() for i in self._items):
            self._items.append(item)
            self._write()

    def update(self, items: Iterable[str]) -> None:
        for item in items:
            self.add(item)

    def discard(self, item: str) -> None:
        self._items = [i for i in self._items if i.lower() != item.lower()]
        self._write()

    def __contains__(self, item: str) -> bool:
        return item.lower() in (i.lower() for i in self._items)

    def __iter__(self) -> Any:
        return iter(list(self._items))

    def __len__(self) -> int:
        return len(self._items)

    def __str__(self) -> str:
        return ", ".join(self._items)


def etag_matches(tag: str | None, if_none_match: str) -> bool:
    """If-None-Match holds this tag (weak comparison, as for GET and HEAD)."""
    if tag is None:
        return False
    for candidate in if_none_match.split(","):
        candidate = candidate.strip()
        if candidate == "*":
            return True
        if candidate.startswith("W/"):
            candidate = candidate[2:]
        if candidate.strip('"') == tag:
            return True
    return False
