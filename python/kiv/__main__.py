"""Command line: python -m kiv run module:app [options] serves an app (see python -m kiv
run --help); python -m kiv cmd module:app COMMAND [ARGS] runs one of its commands."""

from __future__ import annotations

import argparse
import sys

from .serving import ServeOptions, load_app, run_worker, serve


def _mode(text: str) -> int:
    return int(text, 8)


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("--graceful-timeout", type=int, default=30, metavar="SECONDS",
                   help="on SIGTERM or Ctrl-C, cut connections still open after this long "
                        "(default 30); a second signal exits at once")
    p.add_argument("--limit-concurrency", type=int, default=0, metavar="N",
                   help="answer 503 to connections beyond N per process (default: no limit)")
    p.add_argument("--max-requests", type=int, default=0, metavar="N",
                   help="replace a worker after about N requests (default: never)")
    p.add_argument("--max-requests-jitter", type=int, default=None, metavar="N",
                   help="add 0..N at random to --max-requests per worker (default: a tenth)")
    p.add_argument("--forwarded-allow-ips", default=None, metavar="ADDRS",
                   help="comma-separated addresses or networks whose X-Forwarded-For and "
                        "X-Forwarded-Proto are believed, '*' for all (default: loopback)")
    p.add_argument("--log", action="store_true", help="print an access log on stderr")
    p.add_argument("--debug", action="store_true", help="show tracebacks in error pages")
    p.add_argument("--interface", choices=("kiv", "wsgi", "asgi"), default="kiv",
                   help="what the app reference names: a kiv app (default), a WSGI "
                        "application such as a Flask or Django one, or an ASGI application "
                        "such as a FastAPI or Starlette one")


def _options(opts: argparse.Namespace, **extra) -> ServeOptions:
    return ServeOptions(
        graceful_timeout=opts.graceful_timeout, limit_concurrency=opts.limit_concurrency,
        max_requests=opts.max_requests, max_requests_jitter=opts.max_requests_jitter,
        forwarded_allow_ips=opts.forwarded_allow_ips, interface=opts.interface, **extra)


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    if args[:1] == ["cmd"]:
        # Everything after the app reference belongs to the app's click group, options too.
        from .cli import main as run_command
        return run_command(args[1:])
    parser = argparse.ArgumentParser(prog="python -m kiv")
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="serve an app")
    run.add_argument("app", help='"module:attr" or "path/to/file.py:attr"')
    run.add_argument("--host", default="127.0.0.1")
    run.add_argument("--port", type=int, default=8000)
    run.add_argument("--uds", metavar="PATH", help="listen on a Unix domain socket instead")
    run.add_argument("--uds-mode", type=_mode, default=None, metavar="OCTAL",
                     help="permissions of the --uds socket file, e.g. 660")
    run.add_argument("--workers", type=int, default=1,
                     help="worker processes sharing one listening socket (default 1)")
    run.add_argument("--reuse-port", action="store_true",
                     help="workers each listen on their own SO_REUSEPORT socket")
    run.add_argument("--balancer", action="store_true",
                     help="put the workers behind the TCP balancer instead")
    run.add_argument("--reload", action="store_true",
                     help="restart when a Python file or template under the app's folder "
                          "changes (needs watchfiles: pip install 'kiv[reload]')")
    _add_common(run)
    sub.add_parser("cmd", add_help=False, usage="python -m kiv cmd APP [COMMAND] [ARGS]...",
                   help="run one of an app's commands (app.cli) in the app context; "
                        "python -m kiv cmd APP --help lists them")
    worker = sub.add_parser("worker", help=argparse.SUPPRESS)
    worker.add_argument("app")
    worker.add_argument("--fd", type=int, default=None)
    worker.add_argument("--ready-fd", type=int, default=None)
    worker.add_argument("--reuse-port", action="store_true")
    worker.add_argument("--host", default="127.0.0.1")
    worker.add_argument("--port", type=int, default=0)
    _add_common(worker)
    opts = parser.parse_args(args)

    if opts.command == "worker":
        return run_worker(opts.app, _options(opts, host=opts.host, port=opts.port,
                                             reuse_port=opts.reuse_port),
                          fd=opts.fd, ready_fd=opts.ready_fd, log_requests=opts.log,
                          debug=opts.debug)
    if opts.reload:
        from .reload import run_with_reload
        return run_with_reload(opts.app, [a for a in args if a != "--reload"])
    app = load_app(opts.app, opts.interface)
    app.log = app.log or opts.log
    app.debug = app.debug or opts.debug
    o = _options(opts)
    clean = serve(app, opts.host, opts.port, workers=opts.workers, app_ref=opts.app,
                  uds=opts.uds, uds_mode=opts.uds_mode, reuse_port=opts.reuse_port,
                  balancer=opts.balancer, graceful_timeout=o.graceful_timeout,
                  limit_concurrency=o.limit_concurrency, max_requests=o.max_requests,
                  max_requests_jitter=o.max_requests_jitter,
                  forwarded_allow_ips=o.forwarded_allow_ips, interface=o.interface)
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
