"""Command line: python -m kiv run module:app [options] serves an app (see python -m kiv
run --help); python -m kiv cmd module:app COMMAND [ARGS] runs one of its commands."""

from __future__ import annotations

import argparse
import os
import sys
import traceback

from .compat import ENV, install_from_env
from .loading import load_app
from .serving import ServeOptions, StartupError, run_worker, serve

PROG = "python -m kiv"


def _mode(text: str) -> int:
    try:
        return int(text, 8)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an octal mode: {text!r}") from None


def _port(text: str) -> int:
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number (0-65535)")
    return port


def _count(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number >= 0")
    return n


class _Parser(argparse.ArgumentParser):
    """A usage mistake is one line, not the whole usage text."""

    def error(self, message: str):  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class _HelpFormatter(argparse.HelpFormatter):
    """Adds "(default: X)" to an option's help when it has a default worth showing."""

    def _get_help_string(self, action: argparse.Action) -> str:
        text = action.help or ""
        if ("%(default)" not in text and action.option_strings
                and action.default not in (None, False, argparse.SUPPRESS)):
            text += " (default: %(default)s)"
        return text


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("--graceful-timeout", type=_count, default=30, metavar="SECONDS",
                   help="on SIGTERM or Ctrl-C, cut connections still open after this long; "
                        "a second signal exits at once")
    p.add_argument("--limit-concurrency", type=_count, default=0, metavar="N",
                   help="answer 503 to connections beyond N per process; 0: no limit")
    p.add_argument("--max-requests", type=_count, default=0, metavar="N",
                   help="replace a worker after about N requests; 0: never")
    p.add_argument("--max-requests-jitter", type=_count, default=None, metavar="N",
                   help="add 0..N at random to --max-requests per worker (default: a tenth)")
    p.add_argument("--forwarded-allow-ips", default=None, metavar="ADDRS",
                   help="comma-separated addresses or networks whose X-Forwarded-For and "
                        "X-Forwarded-Proto are believed, '*' for all (default: loopback)")
    p.add_argument("--log", action="store_true", help="print an access log on stderr")
    p.add_argument("--debug", action="store_true", help="show tracebacks in error pages")
    p.add_argument("--flask", action="store_true",
                   help="the app is written for Flask: `import flask` gives kiv, so it runs "
                        "on kiv natively (as KIV_AS_FLASK=1 does)")
    p.add_argument("--interface", choices=("kiv", "wsgi", "asgi"), default="kiv",
                   help="what the app reference names: a kiv app, a WSGI application such "
                        "as a Flask or Django one, or an ASGI application such as a FastAPI "
                        "or Starlette one")


def _options(opts: argparse.Namespace, **extra) -> ServeOptions:
    return ServeOptions(
        graceful_timeout=opts.graceful_timeout, limit_concurrency=opts.limit_concurrency,
        max_requests=opts.max_requests, max_requests_jitter=opts.max_requests_jitter,
        forwarded_allow_ips=opts.forwarded_allow_ips, interface=opts.interface, **extra)


def _worker_parser() -> argparse.ArgumentParser:
    # The supervisor's own command for its worker processes: kept out of --help.
    worker = _Parser(prog=f"{PROG} worker")
    worker.add_argument("app")
    worker.add_argument("--fd", type=int, default=None)
    worker.add_argument("--ready-fd", type=int, default=None)
    worker.add_argument("--reuse-port", action="store_true")
    worker.add_argument("--host", default="127.0.0.1")
    worker.add_argument("--port", type=_port, default=0)
    _add_common(worker)
    return worker


def _parser() -> argparse.ArgumentParser:
    from . import __version__
    parser = _Parser(prog=PROG, description="Serve a kiv app, or run one "
                                     "of its commands.")
    parser.add_argument("--version", action="version", version=f"kiv {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = sub.add_parser("run", help="serve an app", formatter_class=_HelpFormatter,
                         description="Serve an app until SIGTERM or Ctrl-C.")
    run.add_argument("app", help='"module:attr" or "path/to/file.py:attr"')
    run.add_argument("--host", default="127.0.0.1", help="address to listen on")
    run.add_argument("--port", type=_port, default=8000, help="TCP port, 0 for any free one")
    run.add_argument("--uds", metavar="PATH", help="listen on a Unix domain socket instead")
    run.add_argument("--uds-mode", type=_mode, default=None, metavar="OCTAL",
                     help="permissions of the --uds socket file, e.g. 660")
    run.add_argument("--workers", type=_count, default=1,
                     help="worker processes sharing one listening socket")
    run.add_argument("--reuse-port", action="store_true",
                     help="workers each listen on their own SO_REUSEPORT socket")
    run.add_argument("--balancer", action="store_true",
                     help="put the workers behind the TCP balancer instead")
    run.add_argument("--reload", action="store_true",
                     help="restart when a Python file or template under the app's folder "
                          "changes (needs watchfiles: pip install watchfiles)")
    _add_common(run)
    sub.add_parser("cmd", add_help=False, usage=f"{PROG} cmd APP [COMMAND] [ARGS]...",
                   help="run one of an app's commands (app.cli) in the app context; "
                        f"{PROG} cmd APP --help lists them")
    return parser


def _fail(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def _app_error(ref: str, exc: BaseException) -> int:
    """The app's code raised while loading: its traceback, without kiv's and the import
    machinery's frames in front of it."""
    import importlib
    ours = (os.path.dirname(os.path.abspath(__file__)),
            os.path.dirname(os.path.abspath(importlib.__file__)), "<frozen")
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename.startswith(ours):
        tb = tb.tb_next
    traceback.print_exception(type(exc), exc, tb, file=sys.stderr)
    return _fail(f"the app {ref!r} raised {type(exc).__name__} while loading (traceback above)")


# --- python -m kiv cmd ---------------------------------------------------------------

_USAGE = """usage: python -m kiv cmd [--flask] APP [COMMAND] [ARGS]...

Runs one of an app's commands (app.cli) in the app context. APP is "module:attr" or
"path/to/file.py:attr" (attr defaults to app); everything after it goes to the app's
command group, so "python -m kiv cmd APP --help" lists the commands. --flask (or
KIV_AS_FLASK=1) runs an app written for Flask: `import flask` gives kiv."""


def run_command(args: list[str], prog: str = f"{PROG} cmd") -> int:
    """`python -m kiv cmd APP ...`: the exit status of the app's command."""
    if not args or args[0] in ("-h", "--help"):
        print(_USAGE, file=sys.stdout if args else sys.stderr)
        return 0 if args else 2
    if args[0] == "--flask":  # the app imports flask: give it kiv
        os.environ[ENV] = "1"
        args = args[1:]
    install_from_env()
    ref, rest = args[0], args[1:]
    import click
    try:
        app = load_app(ref)
    except Exception as exc:
        print(f"{prog}: cannot load the app {ref!r}: {_describe(exc)}", file=sys.stderr)
        return 2
    group = getattr(app, "cli", None)
    if not isinstance(group, click.Group):
        print(f"{prog}: {ref!r} is a {type(app).__name__}, not a kiv app with commands",
              file=sys.stderr)
        return 2
    try:
        group.main(rest, prog_name=f"{prog} {ref}")
    except SystemExit as done:
        code = done.code
        return code if isinstance(code, int) else (0 if code is None else 1)
    return 0


def _describe(exc: BaseException) -> str:
    """One line: the error, and where in the app's own code it was raised."""
    if isinstance(exc, StartupError):
        return str(exc)  # says what is wrong with the reference itself
    text = f"{type(exc).__name__}: {exc}"
    if isinstance(exc, (ImportError, LookupError, OSError, SyntaxError)):
        return text  # names the module, file or attribute (or the line) already
    frames = traceback.extract_tb(exc.__traceback__)
    return f"{text} ({frames[-1].filename}, line {frames[-1].lineno})" if frames else text


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    if args[:1] == ["cmd"]:
        # Everything after the app reference belongs to the app's click group, options too.
        return run_command(args[1:])
    if args[:1] == ["worker"]:
        opts = _worker_parser().parse_args(args[1:])
        install_from_env()
        return run_worker(lambda: load_app(opts.app, opts.interface), _options(opts, host=opts.host, port=opts.port,
                                             reuse_port=opts.reuse_port),
                          fd=opts.fd, ready_fd=opts.ready_fd, log_requests=opts.log,
                          debug=opts.debug)
    opts = _parser().parse_args(args)
    if opts.flask:
        os.environ[ENV] = "1"  # the workers and the reloader's children inherit it
    install_from_env()
    if opts.reload:
        from .reload import run_with_reload
        return run_with_reload(opts.app, [a for a in args if a != "--reload"])
    try:
        app = load_app(opts.app, opts.interface)
    except StartupError as exc:
        return _fail(str(exc))
    except Exception as exc:  # noqa: BLE001  (the app's own code: show where it failed)
        return _app_error(opts.app, exc)
    app.log = app.log or opts.log
    app.debug = app.debug or opts.debug
    o = _options(opts)
    try:
        clean = serve(app, opts.host, opts.port, workers=opts.workers, app_ref=opts.app,
                      uds=opts.uds, uds_mode=opts.uds_mode, reuse_port=opts.reuse_port,
                      balancer=opts.balancer, graceful_timeout=o.graceful_timeout,
                      limit_concurrency=o.limit_concurrency, max_requests=o.max_requests,
                      max_requests_jitter=o.max_requests_jitter,
                      forwarded_allow_ips=o.forwarded_allow_ips, interface=o.interface)
    except (StartupError, ValueError) as exc:  # ValueError: options that cannot be combined
        return _fail(str(exc))
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
