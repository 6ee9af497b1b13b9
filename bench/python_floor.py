#!/usr/bin/env python3
"""The Python floor: what one request costs in Python alone, the way kiv runs it.

For each benchmark view this times, in-process and without sockets:
  - building the request object from the 11 arguments the server passes
    (the callable the app hands to Server.set_request_class),
  - calling the view through App.pipeline (what the server calls in fast mode),
  - both together: the least Python work any server can do for that request;
and, reported apart, server.test_request: the whole request through the native
handling code, including the native conversion of the result and the hops to
and from the blocking pool. Native conversion has no Python entry point of its
own, so it is only visible inside that last figure.

    python bench/python_floor.py [--json] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "apps"))
os.environ.pop("BENCH_STATIC_DIR", None)

import kiv_app  # noqa: E402  (the same views the socket benchmark serves)

HEADERS = [("Host", "127.0.0.1:8000"), ("User-Agent", "wrk"), ("Accept", "*/*")]
BODY_16K = b"x" * 16384

# (label, method, path, endpoint, view_args, body, request headers)
CASES = [
    ("text", "GET", "/", "plaintext", {}, b"", HEADERS),
    ("json", "GET", "/json", "json_view", {}, b"", HEADERS),
    ("int_arg", "GET", "/items/42", "item", {"id": 42}, b"", HEADERS),
    ("post_16k", "POST", "/echo", "echo", {}, BODY_16K,
     HEADERS + [("Content-Type", "application/octet-stream"), ("Content-Length", "16384")]),
]


def best_us(fn, iterations: int, repeats: int) -> float:
    """Best-of-repeats mean time of one call, in microseconds."""
    best = float("inf")
    for _ in range(repeats):
        loop = range(iterations)
        t0 = time.perf_counter_ns()
        for _ in loop:
            fn()
        best = min(best, (time.perf_counter_ns() - t0) / iterations)
    return best / 1000


def measure(iterations: int, repeats: int) -> list[dict]:
    app = kiv_app.app
    make_request = app._make_request  # what the server calls with the 11 arguments
    pipeline = app.pipeline
    server = app.server
    rows = []
    for label, method, path, endpoint, view_args, body, headers in CASES:
        view = app.view_functions[endpoint]
        args = (method, path, "", [], headers, body, "127.0.0.1", endpoint, view_args, None,
                None)
        req = make_request(*args)

        # Sanity: the view answers through the pipeline and through the server.
        assert pipeline(req, view, view_args) is not None
        status, _, _ = server.test_request(method, path, headers, body)
        assert status == 200, (label, status)

        def together():
            pipeline(make_request(*args), view, view_args)

        rows.append({
            "view": label,
            "request_us": best_us(lambda: make_request(*args), iterations, repeats),
            "pipeline_us": best_us(lambda: pipeline(req, view, view_args), iterations, repeats),
            "together_us": best_us(together, iterations, repeats),
            "test_request_us": best_us(lambda: server.test_request(method, path, headers, body),
                                       max(1, iterations // 20), repeats),
        })
    return rows


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.add_argument("--quick", action="store_true", help="fewer iterations")
    opts = p.parse_args()
    iterations, repeats = (20000, 3) if opts.quick else (200000, 5)
    rows = measure(iterations, repeats)
    if opts.json:
        print(json.dumps({"iterations": iterations, "repeats": repeats, "views": rows}))
        return 0
    print(f"{'view':10} {'request':>10} {'pipeline':>10} {'together':>10} {'test_request':>13}"
          "   (microseconds per request)")
    for r in rows:
        print(f"{r['view']:10} {r['request_us']:10.2f} {r['pipeline_us']:10.2f} "
              f"{r['together_us']:10.2f} {r['test_request_us']:13.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
