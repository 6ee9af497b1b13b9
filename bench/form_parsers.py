"""Compares two multipart/form-data push parsers: speed on typical bodies, and what each
does with junk around the boundaries. Run: python bench/form_parsers.py

Needs: pip install multipart python-multipart
"""

from __future__ import annotations

import os
import time

B = b"----kivBoundary7MA4YWxkTrZu0gW"
CHUNK = 64 * 1024


def body(parts: list[tuple[bytes, bytes]], boundary: bytes = B) -> bytes:
    out = []
    for name, value in parts:
        out.append(b"--" + boundary + b"\r\n")
        out.append(b'Content-Disposition: form-data; name="' + name + b'"; filename="f.bin"\r\n'
                   b"Content-Type: application/octet-stream\r\n\r\n" + value + b"\r\n")
    out.append(b"--" + boundary + b"--\r\n")
    return b"".join(out)


def with_multipart(data: bytes) -> list[int]:
    from multipart import PushMultipartParser
    sizes: list[int] = []
    with PushMultipartParser(B, max_segment_count=100000) as parser:
        for i in range(0, len(data) or 1, CHUNK):
            for event in parser.parse(data[i:i + CHUNK]):
                if event is None:
                    continue
                if isinstance(event, (bytes, bytearray, memoryview)):
                    sizes[-1] += len(event)
                else:
                    sizes.append(0)
        for event in parser.parse(b""):
            pass
    return sizes


def with_python_multipart(data: bytes) -> list[int]:
    from python_multipart.multipart import MultipartParser
    sizes: list[int] = []

    def begin() -> None:
        sizes.append(0)

    def part_data(buf: bytes, start: int, end: int) -> None:
        sizes[-1] += end - start

    ended: list[bool] = []
    parser = MultipartParser(B, {"on_part_begin": begin, "on_part_data": part_data,
                                 "on_end": lambda: ended.append(True)})
    for i in range(0, len(data) or 1, CHUNK):
        parser.write(data[i:i + CHUNK])
    parser.finalize()
    if not ended:
        raise ValueError("incomplete")
    return sizes


PARSERS = {"multipart (push)": with_multipart, "python-multipart": with_python_multipart}

SPEED = {
    "1 x 10 MiB file": body([(b"f", os.urandom(10 * 1024 * 1024))]),
    "1000 x 100 B fields": body([(b"k%d" % i, b"v" * 100) for i in range(1000)]),
    # Content full of near-boundaries: every line starts like the delimiter.
    "1.4 MB near-delimiters": body([(b"f", (b"\r\n--" + B[:-1] + b"x") * 40000)]),
}

good = body([(b"a", b"1")])
JUNK = {
    "preamble junk": b"garbage before\r\n" + good,
    "epilogue junk": good + b"trailing garbage",
    "LF only": good.replace(b"\r\n", b"\n"),
    "no closing delimiter": good[:-len(b"--" + B + b"--\r\n")],
    "truncated in headers": good[:40],
    "boundary-like text in value": body([(b"a", b"--" + B + b"x\r\n--" + B[:-2])]),
    "no parts at all": b"--" + B + b"--\r\n",
    "8 KiB header line": (b"--" + B + b"\r\nX-Long: " + b"a" * 8192 + b"\r\n\r\nv\r\n--"
                          + B + b"--\r\n"),
}


def main() -> None:
    for label, data in SPEED.items():
        for name, parse in PARSERS.items():
            parse(data)  # warm up
            best = min(_timed(parse, data) for _ in range(5))
            print(f"{label:24} {name:18} {best * 1000:8.2f} ms "
                  f"({len(data) / best / 1e6:7.1f} MB/s)")
    print()
    for label, data in JUNK.items():
        row = []
        for name, parse in PARSERS.items():
            try:
                row.append(f"{name}: parts {parse(data)}")
            except Exception as e:  # noqa: BLE001  (what each parser raises is the point)
                row.append(f"{name}: {type(e).__name__}")
        print(f"{label:28} " + " | ".join(row))


def _timed(parse, data: bytes) -> float:
    t = time.perf_counter()
    parse(data)
    return time.perf_counter() - t


if __name__ == "__main__":
    main()
