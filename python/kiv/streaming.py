"""Server-sent events: a view returns `event_stream(events)` and the server sends each
event as it is produced, chunked, without holding a thread while the stream is quiet.

`events` yields `Event` objects, plain str or bytes (sent as one event's data), or a
number of seconds to pause; it may be an async iterable (an `async def` generator),
which an async view's stream draws on the event loop. A pause is the way to wait between events: the server keeps
it with a timer, not a blocked thread, and sends a keep-alive comment every `keepalive`
seconds of it, so proxies and clients do not take a quiet stream for a dead one.
"""
from __future__ import annotations

import re
from typing import Any, Iterable, Iterator

from .wrappers import Response

__all__ = ["Event", "event_stream"]

_LINE_BREAK = re.compile(r"\r\n|\r|\n")


def _single_line(name: str, value: Any) -> str:
    text = str(value)
    if "\r" in text or "\n" in text or "\0" in text:
        raise ValueError(f"an event's {name} must be one line without NUL")
    return text


class Event:
    """One event: `data` (may span lines), and optionally its type, id and the
    reconnection delay (milliseconds) the client should use."""

    __slots__ = ("data", "event", "id", "retry")

    def __init__(self, data: Any = "", event: str | None = None, id: Any = None,
                 retry: int | None = None):
        self.data, self.event, self.id, self.retry = data, event, id, retry

    def encode(self) -> bytes:
        lines = []
        if self.event is not None:
            lines.append("event: " + _single_line("type", self.event))
        if self.id is not None:
            lines.append("id: " + _single_line("id", self.id))
        if self.retry is not None:
            lines.append(f"retry: {int(self.retry)}")
        data = self.data.decode() if isinstance(self.data, (bytes, bytearray)) else str(self.data)
        lines.extend("data: " + line for line in _LINE_BREAK.split(data))
        return ("\n".join(lines) + "\n\n").encode()


def comment(text: str = "") -> bytes:
    """A comment line, which clients ignore: useful as a keep-alive."""
    return (": " + _single_line("comment", text) + "\n\n").encode()


def _frames(events: Iterable[Any], keepalive: float, retry: int | None) -> Iterator[Any]:
    if retry is not None:
        yield f"retry: {int(retry)}\n\n".encode()
    for item in events:
        yield from _frame(item, keepalive)


async def _async_frames(events: Any, keepalive: float, retry: int | None) -> Any:
    # On the event loop: a pause is awaited there (see stream_async_body).
    if retry is not None:
        yield f"retry: {int(retry)}\n\n".encode()
    try:
        async for item in events:
            for frame in _frame(item, keepalive):
                yield frame
    finally:
        close = getattr(events, "aclose", None)
        if close is not None:
            await close()


def _frame(item: Any, keepalive: float) -> Iterator[Any]:
    """One item of `events` as what the body sends: bytes, or seconds to pause."""
    if isinstance(item, Event):
        yield item.encode()
    elif isinstance(item, (str, bytes, bytearray)):
        yield Event(item).encode()
    elif isinstance(item, (int, float)) and not isinstance(item, bool):
        left = float(item)
        while keepalive > 0 and left > keepalive:
            yield float(keepalive)  # the server waits; no thread is held
            yield b": keep-alive\n\n"
            left -= keepalive
        if left > 0:
            yield left
    else:
        raise TypeError(f"event_stream items must be Event, str, bytes or a number of "
                        f"seconds, not {type(item).__name__}")


def event_stream(events: Iterable[Any], *, keepalive: float = 15.0, retry: int | None = None,
                 status: int = 200, headers: Any = None) -> Response:
    frames = (_async_frames if hasattr(events, "__aiter__") else _frames)(events, keepalive, retry)
    response = Response(frames, status, headers, mimetype="text/event-stream")
    response.headers.set("Cache-Control", "no-cache")
    return response
