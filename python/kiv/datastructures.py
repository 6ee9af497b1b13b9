"""Small value types shared by requests, responses and uploaded files."""

from __future__ import annotations

from typing import Any


def mime_params(content_type: str) -> dict[str, str]:
    """The parameters of a Content-Type value, names lower-cased, quotes removed."""
    params = {}
    for part in content_type.split(";")[1:]:
        k, _, v = part.partition("=")
        if k.strip():
            params[k.strip().lower()] = v.strip().strip('"')
    return params


class MimeTypeMixin:
    """`mimetype` and `mimetype_params` from a `content_type` attribute."""

    __slots__ = ()

    @property
    def mimetype(self) -> str:
        return self.content_type.split(";")[0].strip().lower()

    @property
    def mimetype_params(self) -> dict[str, str]:
        return mime_params(self.content_type)


def chunk_bytes(chunk: Any) -> bytes:
    # The items the server accepts in a streamed body; a float is a pause of
    # the event-stream helper and carries no bytes.
    if isinstance(chunk, str):
        return chunk.encode()
    if isinstance(chunk, (bytes, bytearray, memoryview)):
        return bytes(chunk)
    if isinstance(chunk, float):
        return b""
    raise TypeError(f"response body items must be str or bytes, not {type(chunk).__name__}")
