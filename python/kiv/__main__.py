"""Command line: python -m kiv run module:app [--host H] [--port P] [--workers N] [--log] [--debug]."""

from __future__ import annotations

import argparse
import sys

from .serving import load_app, run_worker, serve


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kiv")
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="serve an app")
    run.add_argument("app", help='"module:attr" or "path/to/file.py:attr"')
    run.add_argument("--host", default="127.0.0.1")
    run.add_argument("--port", type=int, default=8000)
    run.add_argument("--workers", type=int, default=1)
    run.add_argument("--log", action="store_true", help="print an access log on stderr")
    run.add_argument("--debug", action="store_true", help="show tracebacks in error pages")
    worker = sub.add_parser("worker", help=argparse.SUPPRESS)
    worker.add_argument("app")
    worker.add_argument("--log", action="store_true")
    worker.add_argument("--debug", action="store_true")
    opts = parser.parse_args(argv)

    if opts.command == "worker":
        run_worker(opts.app, log=opts.log, debug=opts.debug)
        return 0
    app = load_app(opts.app)
    app.log = app.log or opts.log
    app.debug = app.debug or opts.debug
    serve(app, opts.host, opts.port, workers=opts.workers, app_ref=opts.app)
    return 0


if __name__ == "__main__":
    sys.exit(main())
