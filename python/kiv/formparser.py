"""multipart/form-data: request.form and request.files, FileStorage, secure_filename, and the
encoder the test client uploads with.

The body is parsed when a view first reads request.form or request.files: a small body
the server has read whole, a large one as it arrives from the connection (a piece at a
time, so memory stays flat however large the upload). File parts stay in memory up to
512 KiB and then move to an anonymous temporary file in tempfile.gettempdir() (TMPDIR;
unlinked as soon as it is made, so nothing is left on disk even if the process dies);
the request closes them when it ends.
"""

from __future__ import annotations

import io
import os
import re
from typing import Any, BinaryIO, Iterator

from .exceptions import BadRequest, RequestEntityTooLarge
from .datastructures import MimeTypeMixin

SPOOL_SIZE = 512 * 1024  # file parts above this go to a temporary file
# Spooled parts are written this much per call. Large writes cost several times more
# per byte on the VMs we measured (ext4: 2.2 s of system time per GiB at 1 MiB against
# 0.3 s at 16 KiB; the kernel takes larger page cache folios for them); the extra
# calls cost far less than that anywhere.
WRITE_STEP = 16 * 1024
MAX_PART_HEADER_SIZE = 8 * 1024


class FileStorage(MimeTypeMixin):
    """An uploaded file: its part's name and headers, and its content as a stream."""

    def __init__(self, stream: BinaryIO | None = None, filename: str | None = None,
                 name: str | None = None, content_type: str | None = None,
                 headers: Any = None):
        self.stream = stream if stream is not None else io.BytesIO()
        self.filename = filename
        self.name = name
        self.headers = headers if headers is not None else []
        self.content_type = content_type or (_guess(filename) if filename else None) or ""

    @property
    def content_length(self) -> int:
        pos = self.stream.tell()
        end = self.stream.seek(0, os.SEEK_END)
        self.stream.seek(pos)
        return end

    def read(self, size: int = -1) -> bytes:
        return self.stream.read(size)

    def readline(self, size: int = -1) -> bytes:
        return self.stream.readline(size)

    def seek(self, offset: int, whence: int = 0) -> int:
        return self.stream.seek(offset, whence)

    def tell(self) -> int:
        return self.stream.tell()

    def __iter__(self) -> Iterator[bytes]:
        return iter(self.stream)

    def save(self, dst: Any, buffer_size: int = 16384) -> None:
        """Copies the content to a path or a writable binary file object (not closed)."""
        import shutil
        if isinstance(dst, (str, os.PathLike)):
            with open(dst, "wb") as f:
                shutil.copyfileobj(self.stream, f, buffer_size)
        else:
            shutil.copyfileobj(self.stream, dst, buffer_size)

    def close(self) -> None:
        try:
            self.stream.close()
        except Exception:  # noqa: BLE001  (closing must not mask the request's own outcome)
            pass

    def __bool__(self) -> bool:
        return bool(self.filename)

    def __repr__(self) -> str:
        return f"<FileStorage: {self.filename!r} ({self.content_type!r})>"


def form_limits(config: Any) -> tuple[int | None, int | None]:
    """(MAX_FORM_PARTS, MAX_FORM_MEMORY_SIZE) of an app's config; None is no limit."""
    return config.get("MAX_FORM_PARTS", 1000), config.get("MAX_FORM_MEMORY_SIZE", 500_000)


def check_form_limits(size: int, parts: int, max_parts: int | None,
                      max_memory: int | None) -> None:
    """413 when a form of `size` bytes in `parts` fields is past either limit; called
    before the fields are built, so an oversized form costs a count, not a parse."""
    if max_memory is not None and size > max_memory:
        raise RequestEntityTooLarge("The form is too large.")
    if max_parts is not None and parts > max_parts:
        raise RequestEntityTooLarge("Too many fields in the form.")


def parse_urlencoded(body: bytes, max_parts: int | None,
                     max_memory: int | None) -> list[tuple[str, str]]:
    """The pairs of an application/x-www-form-urlencoded body; 413 past a limit."""
    from urllib.parse import parse_qsl
    # Counting separators is a scan of bytes already in memory; only a body
    # within both limits is split into strings.
    check_form_limits(len(body), body.count(b"&") + 1 if body else 0, max_parts, max_memory)
    return parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True)


def parse_multipart(body: Any, boundary: str, max_parts: int | None,
                    max_field_size: int | None) -> tuple[list, list]:
    """(form pairs, file pairs) of a body given as bytes or as a stream (read as it
    arrives); 400 for a malformed body, 413 past a limit.

    On any error every file made so far is closed before the exception leaves.
    """
    import tempfile

    from multipart import (MultipartError, MultipartSegment, ParserLimitReached,
                           PushMultipartParser)

    from .bodystream import chunks

    if not boundary or len(boundary) > 200:
        raise BadRequest("Missing or invalid multipart boundary.")
    fields: list[tuple[str, str]] = []
    files: list[tuple[str, FileStorage]] = []
    field_bytes = 0
    try:
        length = len(body) if body.__class__ is bytes else body.length
        if length is None:  # chunked
            length = -1
        parser = PushMultipartParser(
            boundary, length, max_header_size=MAX_PART_HEADER_SIZE,
            max_segment_count=max_parts if max_parts is not None else float("inf"))
        # A part's bytes collect in `sink` (a bytearray) until a file part passes
        # SPOOL_SIZE; from then on they go straight to an unbuffered temporary file,
        # `spool`, which the part's FileStorage holds so that an error closes it.
        segment = sink = spool = storage = None
        # The body piece by piece as it arrives, then the end of input.
        for event in _events(parser, _then_end(chunks(body)), b"\r\n--" + boundary.encode()):
            if event is None:  # end of a part
                if storage is None:
                    charset = segment.charset or "utf-8"
                    fields.append((segment.name, bytes(sink).decode(charset, "replace")))
                elif spool is None:
                    storage.stream = io.BytesIO(sink)
                else:
                    spool.seek(0)
                    storage.stream = io.BufferedRandom(spool)
                segment = sink = spool = storage = None
            elif isinstance(event, MultipartSegment):
                segment = event
                sink = bytearray()
                if segment.filename is not None:
                    storage = FileStorage(
                        None, segment.filename, segment.name,
                        segment.header("Content-Type") or "application/octet-stream",
                        list(segment.headerlist))
                    files.append((segment.name, storage))
            elif spool is not None:
                _write_all(spool.write, event)
            elif storage is None:
                field_bytes += len(event)
                if max_field_size is not None and field_bytes > max_field_size:
                    raise RequestEntityTooLarge("The form fields are too large.")
                sink += event
            else:
                sink += event
                if len(sink) > SPOOL_SIZE:
                    spool = storage.stream = tempfile.TemporaryFile("w+b", buffering=0)
                    _write_all(spool.write, sink)
                    sink = None
        if not parser.closed:
            raise BadRequest("The multipart body ended early.")
    except ParserLimitReached as e:
        _close(files)
        if "segment count" in str(e):
            raise RequestEntityTooLarge("Too many parts in the form.") from None
        raise BadRequest(f"Malformed multipart body: {e}") from None
    except MultipartError as e:
        _close(files)
        raise BadRequest(f"Malformed multipart body: {e}") from None
    except BaseException:
        _close(files)
        raise
    return fields, files


def _events(parser: Any, pieces: Iterator[bytes], delimiter: bytes) -> Iterator[Any]:
    """The parser's events for `pieces`, where a piece inside a part that cannot hold
    the delimiter, nor end with the start of one, is passed on as payload without the
    parser: it would only have searched it, more slowly than memmem does.

    That is safe only while the parser holds nothing back: after it passed a whole
    piece on as itself (the very object), it had nothing before and kept nothing."""
    drained = False
    for chunk in pieces:
        if drained and chunk and _plain(chunk, delimiter):
            yield chunk
            continue
        drained = False
        for event in parser.parse(chunk):
            yield event
            drained = event is chunk


def _plain(data: bytes, delimiter: bytes) -> bool:
    global _memmem
    if _memmem is False:
        _memmem = _load_memmem()
    if _memmem is None or data.__class__ is not bytes:
        if data.find(delimiter) >= 0:
            return False
    elif _memmem(data, len(data), delimiter, len(delimiter)) is not None:
        return False
    # Every start of the delimiter begins with its CR.
    at = data.find(b"\r", max(0, len(data) - len(delimiter) + 1))
    while at >= 0:
        if delimiter.startswith(data[at:]):
            return False
        at = data.find(b"\r", at + 1)
    return True


def _load_memmem() -> Any:
    try:
        import ctypes
        f = ctypes.CDLL(None).memmem
    except (ImportError, OSError, AttributeError, TypeError):
        return None
    f.restype = ctypes.c_void_p
    f.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    return f


# libc's memmem, two to three times as fast as bytes.find for a delimiter in binary
# data (which falls back to its two-way search); None where there is none, False
# until first needed (so that importing kiv does not import ctypes).
_memmem: Any = False


def _then_end(pieces: Iterator[bytes]) -> Iterator[bytes]:
    yield from pieces
    yield b""


def _write_all(write: Any, data: Any) -> None:
    view = memoryview(data)
    done, size = 0, len(view)
    while done < size:
        done += write(view[done:done + WRITE_STEP])


def _close(files: list) -> None:
    for _, f in files:
        f.close()


# --- the test client's side: encode a dict with files as multipart/form-data ------------

def has_files(data: dict) -> bool:
    return any(_is_file(v) or (isinstance(v, list) and any(_is_file(i) for i in v))
               for v in data.values())


def _is_file(value: Any) -> bool:
    return isinstance(value, tuple) or hasattr(value, "read") or isinstance(value, FileStorage)


def encode_multipart(data: dict) -> tuple[bytes, str]:
    """(body, content type) for a dict of fields and files: a file is a binary file object,
    a (file, filename) or (file, filename, content_type) tuple, or a FileStorage."""
    import uuid
    boundary = "kiv-" + uuid.uuid4().hex
    out = io.BytesIO()
    for key, values in data.items():
        for value in (values if isinstance(values, list) else [values]):
            out.write(f"--{boundary}\r\n".encode())
            if _is_file(value):
                stream, filename, ctype = _file_parts(value)
                out.write(f'Content-Disposition: form-data; name="{_quote(key)}"; '
                          f'filename="{_quote(filename)}"\r\nContent-Type: {ctype}\r\n\r\n'
                          .encode())
                content = stream.read()
                out.write(content.encode() if isinstance(content, str) else content)
            else:
                out.write(f'Content-Disposition: form-data; name="{_quote(key)}"\r\n\r\n'
                          .encode())
                out.write(value if isinstance(value, bytes) else str(value).encode())
            out.write(b"\r\n")
    out.write(f"--{boundary}--\r\n".encode())
    return out.getvalue(), f"multipart/form-data; boundary={boundary}"


def _file_parts(value: Any) -> tuple[Any, str, str]:
    if isinstance(value, FileStorage):
        return value.stream, value.filename or "", value.content_type or \
            "application/octet-stream"
    if isinstance(value, tuple):
        stream, filename, *rest = value
        if isinstance(stream, (bytes, str)):
            stream = io.BytesIO(stream.encode() if isinstance(stream, str) else stream)
    else:
        stream = value
        filename = os.path.basename(getattr(value, "name", "") or "")
        rest = []
    ctype = rest[0] if rest else (_guess(filename) or "application/octet-stream")
    return stream, filename, ctype


def _guess(filename: str) -> str | None:
    import mimetypes
    return mimetypes.guess_type(filename)[0]


def _quote(text: str) -> str:
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\r", "").replace("\n", "")


# --- secure_filename ---------------------------------------------------------------------

_UNSAFE = re.compile(r"[^A-Za-z0-9_.-]")
_WINDOWS_DEVICES = frozenset(
    ["CON", "PRN", "AUX", "NUL", *(f"COM{i}" for i in range(10)),
     *(f"LPT{i}" for i in range(10))])


def secure_filename(filename: str) -> str:
    """A name safe to join to a folder: ASCII letters, digits, '_', '.', '-'; no path parts,
    no leading dots; '' when nothing is left (choose a name of your own then)."""
    import unicodedata
    text = unicodedata.normalize("NFKD", filename).encode("ascii", "ignore").decode("ascii")
    for sep in (os.sep, os.altsep, "/", "\\"):
        if sep:
            text = text.replace(sep, " ")
    text = _UNSAFE.sub("", "_".join(text.split())).strip("._")
    if text.split(".")[0].upper() in _WINDOWS_DEVICES:
        text = "_" + text
    return text
