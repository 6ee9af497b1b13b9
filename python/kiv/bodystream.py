"""The request body as it arrives: request.stream and WSGI's wsgi.input for bodies the
server streams (large, chunked, or sent after "Expect: 100-continue").

The server reads the socket only when the view asks, so a view that reads slowly slows
the client down instead of making the server buffer. Reading blocks the view's thread
(not the interpreter); a body that fails midway raises: ClientDisconnected (400) when
the client went away, RequestTimeout (408) when it sent too slowly, RequestEntityTooLarge
(413) when a chunked body grew past the limit. The server has already answered the
latter two and closes the connection, so the view's own answer is not sent.
"""

from __future__ import annotations

from typing import Any, Iterator

from .exceptions import BadRequest, HTTPException, RequestEntityTooLarge, RequestTimeout

CHUNK = 64 * 1024  # what readline and iteration ask the server for at a time


class ClientDisconnected(BadRequest):
    """The client closed the connection before the whole body arrived."""

    description = "The client went away before the request body was complete."


def _failure(code: int) -> HTTPException:
    if code == -408:
        return RequestTimeout()
    if code == -413:
        return RequestEntityTooLarge()
    if code == -400:
        return BadRequest("The request body is malformed.")
    return ClientDisconnected()


class BodyStream:
    """A read-only binary file over a streamed body: read, read1, readinto, readline,
    readlines and iteration by lines; reads past the end return b""."""

    __slots__ = ("_reader", "_buf", "_eof", "closed")

    def __init__(self, reader: Any):
        self._reader = reader
        self._buf = b""  # read ahead by readline, not yet handed out
        self._eof = False
        self.closed = False

    @property
    def length(self) -> int | None:
        """The announced Content-Length, or None for a chunked body."""
        return self._reader.length

    def _pull(self, size: int, whole: bool) -> bytes:
        if self._eof:
            return b""
        data = (self._reader.read if whole else self._reader.read1)(size)
        if data.__class__ is int:
            self._eof = True
            raise _failure(data)
        if len(data) < size and whole or not data:
            self._eof = True
        return data

    def read(self, size: int | None = -1) -> bytes:
        buf = self._buf
        if size is None or size < 0:
            parts = [buf] if buf else []
            self._buf = b""
            while True:
                data = self._pull(1 << 20, True)
                if not data:
                    return b"".join(parts)
                parts.append(data)
        if buf:
            if len(buf) >= size:
                self._buf = buf[size:]
                return buf[:size]
            self._buf = b""
            return buf + self._pull(size - len(buf), True)
        return self._pull(size, True) if size else b""

    def read1(self, size: int = -1) -> bytes:
        """What is there: the read-ahead, else one piece from the connection."""
        if size is None or size < 0:
            size = CHUNK
        buf = self._buf
        if buf:
            self._buf = buf[size:]
            return buf[:size]
        return self._pull(size, False) if size else b""

    def readinto(self, b: Any) -> int:
        view = memoryview(b).cast("B")
        data = self.read1(len(view))
        view[:len(data)] = data
        return len(data)

    def readline(self, size: int | None = -1) -> bytes:
        limit = -1 if size is None else size
        buf = self._buf
        start = 0
        while True:
            nl = buf.find(b"\n", start)
            if nl >= 0 and (limit < 0 or nl < limit):
                self._buf = buf[nl + 1:]
                return buf[:nl + 1]
            if 0 <= limit <= len(buf):
                self._buf = buf[limit:]
                return buf[:limit]
            start = len(buf)
            data = self._pull(CHUNK, False)
            if not data:
                self._buf = b""
                return buf
            buf += data

    def readlines(self, hint: int = -1) -> list[bytes]:
        lines, total = [], 0
        for line in self:
            lines.append(line)
            total += len(line)
            if 0 < hint <= total:
                break
        return lines

    def __iter__(self) -> Iterator[bytes]:
        return self

    def __next__(self) -> bytes:
        line = self.readline()
        if not line:
            raise StopIteration
        return line

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def close(self) -> None:
        self.closed = True

    def __enter__(self) -> "BodyStream":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()


def chunks(source: Any, size: int = 1 << 20) -> Iterator[bytes]:
    """The body in pieces of about `size` bytes: bytes as they are, a stream as it arrives."""
    if source.__class__ is bytes:
        if source:
            yield source
        return
    while True:
        data = source.read(size)
        if not data:
            return
        yield data


def read_limited(source: Any, limit: int | None) -> bytes:
    """The whole body, or RequestEntityTooLarge as soon as it passes `limit` bytes."""
    if source.__class__ is bytes:
        data = source
    elif limit is None:
        data = source.read()
    else:
        data = source.read(limit + 1)
    if limit is not None and len(data) > limit:
        raise RequestEntityTooLarge()
    return data
