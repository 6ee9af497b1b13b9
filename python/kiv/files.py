"""send_file and send_from_directory: files from views, with validators and 304s.

A file of FILE_BODY_MIN bytes or more travels as a FileBody: the server sends it from
the descriptor with sendfile(2) and never reads it into memory. Smaller files are read
into the response. The response keeps the file's path (`file_path`); the headers
(validators, Cache-Control, Content-Disposition) do not depend on how the body travels.
"""

from __future__ import annotations

import io
import os
import stat
from email.utils import parsedate_to_datetime
from typing import Any
from urllib.parse import quote

from .caching import http_date
from .exceptions import NotFound
from .globals import _current_app, _local


# Below this size reading the file is cheaper than a descriptor's round trip.
FILE_BODY_MIN = 64 * 1024


class FileBody:
    """A response body sent from an open file: `length` bytes from `offset`.

    `file` is a binary file object with fileno(), or a descriptor (an int). The body
    keeps its own duplicate of the descriptor, so the caller may close `file` as soon as
    the body exists. `length` defaults to the rest of the file; it is fixed here and
    announced as the Content-Length, and a file that shrinks before it is all sent cuts
    the connection instead of ending the response early.

    The server duplicates the descriptor again when it takes the response, so this
    object may be dropped or closed once the view has returned. Iterating it (or
    bytes()) reads the range for consumers that are not the server.
    """

    __slots__ = ("_fd", "offset", "length")

    def __init__(self, file: Any, offset: int = 0, length: int | None = None):
        self._fd = -1
        fd = file if isinstance(file, int) else file.fileno()
        size = os.fstat(fd).st_size
        if offset < 0 or (length is not None and length < 0):
            raise ValueError("offset and length must not be negative")
        if length is None:
            length = max(size - offset, 0)
        self.offset = offset
        self.length = length
        self._fd = os.dup(fd)

    @classmethod
    def _adopt(cls, fd: int, length: int) -> "FileBody":
        # A descriptor opened for this body alone: no duplicate needed.
        body = cls.__new__(cls)
        body._fd, body.offset, body.length = fd, 0, length
        return body

    def __kiv_file__(self) -> tuple[int, int, int]:
        if self._fd < 0:
            raise ValueError("I/O operation on a closed FileBody")
        return self._fd, self.offset, self.length

    def __len__(self) -> int:
        return self.length

    def __iter__(self):
        at, end = self.offset, self.offset + self.length
        while at < end:
            chunk = os.pread(self._fd, min(end - at, 1 << 16), at)
            if not chunk:
                raise OSError(f"file ended {end - at} bytes before the announced length")
            at += len(chunk)
            yield chunk

    def __bytes__(self) -> bytes:
        return b"".join(self)

    def close(self) -> None:
        fd, self._fd = self._fd, -1
        if fd >= 0:
            os.close(fd)

    def __del__(self) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<FileBody {self.length} bytes from {self.offset}>"


def send_file(path_or_file: Any, mimetype: str | None = None, as_attachment: bool = False,
              download_name: str | None = None, conditional: bool = True,
              etag: bool | str = True, last_modified: Any = None,
              max_age: int | None = None) -> Any:
    app = _current_app()
    path = None
    if isinstance(path_or_file, (str, os.PathLike)):
        path = os.path.join(app.root_path, os.fspath(path_or_file))
        st = os.stat(path)
        if last_modified is None:
            last_modified = st.st_mtime
        if etag is True:
            etag = _file_etag(path, st)
        body = _open_body(path, st.st_size)
        name = download_name or os.path.basename(path)
    else:
        body = _file_object_body(path_or_file)
        name = download_name or os.path.basename(getattr(path_or_file, "name", "") or "")
        if etag is True:
            etag = None  # no stable identity for a file object's content
    if mimetype is None:
        if not name:
            raise ValueError("Unable to detect the MIME type because a file name is not "
                             "available. Either set 'download_name', pass a path instead of "
                             "a file, or set 'mimetype'.")
        mimetype = _guess(name)

    response = app.response_class(body, mimetype=mimetype)
    response.file_path = path
    headers = response.headers
    if download_name is not None or as_attachment:
        headers.set("Content-Disposition", _disposition(
            "attachment" if as_attachment else "inline", name))
    if max_age is None:
        max_age = app.get_send_file_max_age(path)
    if callable(max_age):
        max_age = max_age(path)
    if isinstance(max_age, int) and max_age > 0:
        headers.set("Cache-Control", f"public, max-age={max_age}")
    else:
        headers.set("Cache-Control", "no-cache")
    if not conditional:
        return response

    modified = _as_timestamp(last_modified)
    if modified is not None:
        headers.set("Last-Modified", http_date(int(modified)))
    if isinstance(etag, str):
        etag = etag if etag.startswith(('"', 'W/"')) else f'"{etag}"'
        headers.set("ETag", etag)
    else:
        etag = None
    req = _local.request
    if req is None or req.method not in ("GET", "HEAD"):
        return response
    if _not_modified(req, etag, modified):
        response.status_code = 304
        response.body = b""
        headers.remove("Content-Disposition")
        return response
    headers.set("Accept-Ranges", "bytes")
    if req.method == "HEAD" and path is not None:
        # The server writes the length of a body it sends; a HEAD answer has none.
        headers.set("Content-Length", str(st.st_size))
    wanted = req._header("range")
    if wanted is not None and req.method == "GET" and _if_range_holds(req, etag, modified):
        _apply_range(response, wanted)
    return response


def send_from_directory(directory: str | os.PathLike[str], path: str | os.PathLike[str],
                        **kwargs: Any) -> Any:
    """send_file for `path` inside `directory`; anything that would leave it is a 404."""
    folder = os.path.join(_current_app().root_path, os.fspath(directory))
    target = safe_join(folder, os.fspath(path))
    if target is None:
        raise NotFound()
    try:
        st = os.stat(target)
    except (OSError, ValueError):
        raise NotFound() from None
    if not stat.S_ISREG(st.st_mode):
        raise NotFound()
    return send_file(target, **kwargs)


def safe_join(directory: str, path: str) -> str | None:
    """directory/path, or None when path is absolute, climbs out, holds a NUL or a
    backslash, or resolves (through symlinks) to somewhere outside directory."""
    if not path or "\x00" in path or "\\" in path or path.startswith("/"):
        return None
    parts = path.split("/")
    if any(p in ("..", ".") for p in parts) or (os.altsep and os.altsep in path):
        return None
    base = os.path.realpath(directory)
    target = os.path.realpath(os.path.join(base, *[p for p in parts if p]))
    if os.path.commonpath([base, target]) != base or target == base:
        return None
    return target


# --- helpers ------------------------------------------------------------------------

def _open_body(path: str, size: int) -> Any:
    if size < FILE_BODY_MIN:
        with open(path, "rb") as f:
            return f.read()
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        # The size of what was opened, should the path have been replaced meanwhile.
        return FileBody._adopt(fd, os.fstat(fd).st_size)
    except BaseException:
        os.close(fd)
        raise


def _file_object_body(f: Any) -> Any:
    """From the file's position to its end: a FileBody for a large regular file with a
    descriptor, else the bytes read."""
    try:
        if isinstance(f, io.TextIOBase):
            raise ValueError("a text file's position is no byte offset")
        fd = f.fileno()
        st = os.fstat(fd)
        at = f.tell() if f.seekable() else -1
    except (AttributeError, OSError, ValueError):  # io.UnsupportedOperation is both
        at = -1
    if at >= 0 and stat.S_ISREG(st.st_mode) and st.st_size - at >= FILE_BODY_MIN:
        return FileBody(fd, at, st.st_size - at)
    body = f.read()
    return body.encode() if isinstance(body, str) else body


def _file_etag(path: str, st: os.stat_result) -> str:
    # Changes when the file is replaced or rewritten; the path keeps two files of the
    # same size and time apart.
    import zlib
    return f'"{st.st_mtime_ns:x}-{st.st_size:x}-{zlib.adler32(path.encode()):x}"'


def _guess(name: str) -> str:
    import mimetypes
    mimetype, encoding = mimetypes.guess_type(name)
    if encoding == "gzip":
        return "application/gzip"
    return mimetype or "application/octet-stream"


def _disposition(kind: str, name: str) -> str:
    try:
        name.encode("ascii")
    except UnicodeEncodeError:
        # RFC 6266 section 4.3: an ASCII fallback plus the UTF-8 name in filename*.
        fallback = name.encode("ascii", "ignore").decode("ascii") or "download"
        return (f'{kind}; filename="{_q(fallback)}"; '
                f"filename*=UTF-8''{quote(name, safe='')}")
    return f'{kind}; filename="{_q(name)}"'


def _q(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\r", "").replace("\n", "")


def _as_timestamp(value: Any) -> float | None:
    if value is None:
        return None
    if isinstance(value, (int, float)):
        return float(value)
    return value.timestamp()


def _parse_range(wanted: str, size: int) -> tuple[int, int] | None:
    """(start, length) of a single byte range; (0, 0) when it cannot be satisfied;
    None for anything else (several ranges, another unit, bad syntax), which is
    answered with the whole file (RFC 9110 section 14.2)."""
    unit, _, ranges = wanted.partition("=")
    if unit.strip().lower() != "bytes" or "," in ranges:
        return None
    first, dash, last = ranges.strip().partition("-")
    if not dash or not (first or last) or not (first + last).isdigit() or not (
            first.isascii() and last.isascii()):
        return None
    if not first:  # a suffix: the last N bytes
        n = min(int(last), size)
        return (size - n, n) if n else (0, 0)
    start = int(first)
    if last and int(last) < start:
        return None
    if start >= size:
        return (0, 0)
    end = min(int(last), size - 1) if last else size - 1
    return start, end - start + 1


def _apply_range(response: Any, wanted: str) -> None:
    body = response.body
    size = len(body)
    part = _parse_range(wanted, size)
    if part is None:
        return
    start, length = part
    headers = response.headers
    if length == 0:
        response.status_code = 416
        response.body = b""
        headers.set("Content-Range", f"bytes */{size}")
        return
    response.status_code = 206
    headers.set("Content-Range", f"bytes {start}-{start + length - 1}/{size}")
    if isinstance(body, FileBody):
        response.body = FileBody(body._fd, body.offset + start, length)
    else:
        response.body = body[start:start + length]


def _if_range_holds(req: Any, etag: str | None, modified: float | None) -> bool:
    # RFC 9110 section 13.1.5: a range applies only while the validator still matches
    # (a strong comparison); otherwise the whole file goes out.
    value = req._header("if-range")
    if value is None:
        return True
    value = value.strip()
    if value.startswith(('"', "W/")):
        return etag is not None and not etag.startswith("W/") and value == etag
    try:
        return modified is not None and int(modified) == parsedate_to_datetime(value).timestamp()
    except (TypeError, ValueError, IndexError):
        return False


def _not_modified(req: Any, etag: str | None, modified: float | None) -> bool:
    # RFC 9110 section 13.2.2: If-None-Match, when present, decides; If-Modified-Since
    # counts only without it.
    inm = req._header("if-none-match")
    if inm is not None:
        if etag is None:
            return False
        if inm.strip() == "*":
            return True
        mine = etag.removeprefix("W/")
        return any(t.strip().removeprefix("W/") == mine for t in inm.split(","))
    ims = req._header("if-modified-since")
    if ims is None or modified is None:
        return False
    try:
        since = parsedate_to_datetime(ims).timestamp()
    except (TypeError, ValueError, IndexError):
        return False
    return int(modified) <= since


__all__ = ["FileBody", "safe_join", "send_file", "send_from_directory"]
