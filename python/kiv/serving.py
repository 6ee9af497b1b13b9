"""Running an app: one process, supervised worker processes on one shared socket, or
worker processes behind the TCP balancer. Every model shuts down gracefully."""

from __future__ import annotations

import os
import random
import selectors
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, fields
from typing import Any, Callable

import _kiv

from .pubsub import ENV_FD as BUS_ENV
from .pubsub import Relay, bus_for

READY = "KIV-WORKER-READY "


class StartupError(Exception):
    """A mistake in how the server was asked to start: its message is one line for the
    person who typed the command (python -m kiv prints it and exits 2)."""


class AppNotFound(StartupError, LookupError):
    """The app reference names no module, file or attribute, or names something that is
    not an app."""


class ListenError(StartupError, OSError):
    """The address cannot be listened on: a host that does not resolve, a port in use or
    out of range, no permission. errno is the failed call's, if any."""

    def __init__(self, message: str, errno: int | None = None):
        super().__init__(message)
        self.errno = errno


@dataclass
class ServeOptions:
    """How to serve; the command line fills one of these."""
    host: str = "127.0.0.1"
    port: int = 8000
    uds: str | None = None  # listen on this Unix domain socket instead of host:port
    uds_mode: int | None = None  # permissions of the socket file, e.g. 0o660
    workers: int = 1
    balancer: bool = False  # workers behind the TCP balancer instead of one shared socket
    reuse_port: bool = False  # each worker binds its own SO_REUSEPORT socket
    graceful_timeout: int = 30
    max_requests: int = 0  # recycle a worker after about this many requests; 0: never
    max_requests_jitter: int | None = None  # default: a tenth of max_requests
    limit_concurrency: int = 0  # connections beyond this get 503; 0: no limit
    forwarded_allow_ips: str | None = None
    backlog: int = 2048
    quiet: bool = False
    interface: str = "kiv"  # "wsgi": the app reference names a WSGI application
    topics: bool = False  # the app publishes to topics: relay them between workers


def log(message: str) -> None:
    print(f"[kiv {os.getpid()}] {message}", file=sys.stderr, flush=True)


# --- listening sockets ---------------------------------------------------------------


def bind_socket(opts: ServeOptions, *, reuse_port: bool = False, listen: bool = True
                ) -> socket.socket:
    """The listening socket for opts: a Unix domain socket or TCP on host:port.
    ListenError, with the address in its message, when it cannot be had."""
    if opts.uds:
        try:
            if stat.S_ISSOCK(os.stat(opts.uds).st_mode):
                os.unlink(opts.uds)  # left over from an earlier run
        except FileNotFoundError:
            pass
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.bind(opts.uds)
            if opts.uds_mode is not None:
                os.chmod(opts.uds, opts.uds_mode)
            sock.listen(opts.backlog)
        except OSError as exc:
            sock.close()
            raise ListenError(f"cannot listen on {opts.uds}: {exc.strerror or exc}",
                              exc.errno) from None
        except BaseException:
            sock.close()
            raise
        return sock
    if not isinstance(opts.port, int) or not 0 <= opts.port <= 65535:
        raise ListenError(f"port {opts.port!r} is out of range (0-65535)")
    try:
        info = socket.getaddrinfo(opts.host, opts.port, type=socket.SOCK_STREAM)
    except socket.gaierror as exc:
        raise ListenError(f"cannot resolve the host {opts.host!r}: {exc.strerror}") from None
    error: OSError | None = None
    for family, kind, proto, _, address in info:
        sock = socket.socket(family, kind, proto)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if reuse_port:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            sock.bind(address)
            if listen:
                sock.listen(opts.backlog)
            return sock
        except OSError as exc:
            sock.close()
            error = exc
    where = f"[{opts.host}]:{opts.port}" if ":" in opts.host else f"{opts.host}:{opts.port}"
    if error is None:
        raise ListenError(f"cannot resolve the host {opts.host!r}")
    raise ListenError(f"cannot listen on {where}: {error.strerror or error}",
                      error.errno) from None


def _addr_text(sock: socket.socket) -> str:
    name = sock.getsockname()
    if sock.family == socket.AF_UNIX:
        return f"unix:{name}"
    if sock.family == socket.AF_INET6:
        return f"[{name[0]}]:{name[1]}"
    return f"{name[0]}:{name[1]}"


# --- one serving process -----------------------------------------------------------------


class _Signals:
    """SIGTERM and SIGINT: the first asks for a graceful shutdown, a second one exits at once."""

    def __init__(self) -> None:
        self.received: int | None = None
        self.previous = {s: signal.signal(s, self._handle) for s in (signal.SIGTERM, signal.SIGINT)}

    def _handle(self, signum: int, frame: Any) -> None:
        if self.received is not None:
            os._exit(1)
        self.received = signum

    def restore(self) -> None:
        for s, handler in self.previous.items():
            signal.signal(s, handler)


def _configure(app: Any, opts: ServeOptions) -> None:
    if opts.forwarded_allow_ips is not None:
        app.forwarded_allow_ips = opts.forwarded_allow_ips


def serve_on(app: Any, sock: socket.socket, opts: ServeOptions, *,
             banner: Callable[[str], None] | None = None, max_requests: int = 0) -> bool:
    """Serves app on an already listening socket until SIGTERM or SIGINT (or, with
    max_requests, until about that many requests were answered), then drains: no new
    connection, each request in progress answered, idle connections closed, the rest cut
    after the graceful timeout. True when every connection finished in time."""
    started = []
    bus = _start_bus(app)
    try:
        # ASGI lifespans start before any connection is accepted; a failure ends here.
        for host in getattr(app, "_asgi_mounts", ()):
            host.startup()
            started.append(host)
    except RuntimeError as e:
        _shutdown(started)
        raise SystemExit(str(e)) from None
    signals = _Signals()
    try:
        config = getattr(app, "config", {})
        sid = app.server.start("", 0, fd=sock.fileno(), limit_concurrency=opts.limit_concurrency,
                               count_requests=max_requests > 0,
                               body_timeout=config.get("BODY_TIMEOUT", 60),
                               body_min_rate=config.get("BODY_MIN_RATE", 1024))
        # The server holds its own duplicate of the socket.
        sock.close()
        if banner is not None:
            banner(app.server.bound_addr(sid))
        while signals.received is None:
            time.sleep(0.1)
            if max_requests and (app.server.served(sid) or 0) >= max_requests:
                break
        return app.server.drain(sid, opts.graceful_timeout)
    finally:
        signals.restore()
        _shutdown(started)
        if bus is not None:
            app.bus = None
            bus.close()


def _start_bus(app: Any) -> Any:
    """Connects app.publish() to this server's other processes (or to PUBSUB_URL) when the
    app uses topics; messages from them are fanned out here as local ones are."""
    if not getattr(app, "uses_topics", False):
        return None
    bus = bus_for(getattr(app, "config", {}).get("PUBSUB_URL"))
    if bus is not None:
        bus.start(app.deliver_topic)
        app.bus = bus
    return bus


def _shutdown(hosts: list) -> None:
    for host in reversed(hosts):
        try:
            host.shutdown()
        except Exception as e:  # noqa: BLE001  (the others still get theirs)
            log(f"ASGI lifespan shutdown failed: {e!r}")


def run_worker(load: Callable[[], Any], opts: ServeOptions, *, fd: int | None = None,
               ready_fd: int | None = None, log_requests: bool = False,
               debug: bool = False) -> int:
    """Body of one worker process: load() gives its app (imported only once the parent
    is known to be alive). With fd, serves on that inherited socket; otherwise
    binds its own (SO_REUSEPORT with opts.reuse_port, else a loopback port for the
    balancer, announced on stdout). Exit status 0 after a clean drain."""
    _die_with_parent()
    if os.getppid() == 1:  # the parent is already gone
        return 0
    app = load()
    if opts.interface == "wsgi":
        app.wsgi_multiprocess = True
    app.log = app.log or log_requests
    app.debug = app.debug or debug
    _configure(app, opts)
    if fd is not None:
        sock = socket.socket(fileno=fd)
    elif opts.reuse_port:
        sock = bind_socket(opts, reuse_port=True)
    else:
        sock = bind_socket(ServeOptions(host="127.0.0.1", port=0, backlog=opts.backlog))

    def banner(addr: str) -> None:
        if ready_fd is not None:
            os.write(ready_fd, b"ready\n")
            os.close(ready_fd)
        elif fd is None and not opts.reuse_port:  # the balancer needs to know the port
            print(READY + addr, flush=True)

    limit = 0
    if opts.max_requests > 0:
        jitter = opts.max_requests_jitter
        if jitter is None:
            jitter = opts.max_requests // 10
        limit = opts.max_requests + random.randint(0, max(0, jitter))
    clean = serve_on(app, sock, opts, banner=banner, max_requests=limit)
    return 0 if clean else 1


def _die_with_parent() -> None:
    """Asks the kernel to send SIGTERM to this worker if its parent dies."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def _app_ref(app: Any) -> str:
    """A "module:attr" reference to an app defined in the running program."""
    main = sys.modules.get("__main__")
    for module in [main] + [m for m in list(sys.modules.values()) if m is not main]:
        if module is None:
            continue
        for name, value in list(vars(module).items()):
            if value is app:
                if module is main:
                    path = getattr(main, "__file__", None)
                    if path is None:
                        break
                    return f"{os.path.abspath(path)}:{name}"
                return f"{module.__name__}:{name}"
    raise RuntimeError("cannot find this app by name; run it with: python -m kiv run module:app")


def _worker_command(app_ref: str, opts: ServeOptions, flags: tuple[str, ...]) -> list[str]:
    cmd = [sys.executable, "-m", "kiv", "worker", app_ref, *flags,
           "--graceful-timeout", str(opts.graceful_timeout),
           "--limit-concurrency", str(opts.limit_concurrency),
           "--max-requests", str(opts.max_requests)]
    if opts.max_requests_jitter is not None:
        cmd += ["--max-requests-jitter", str(opts.max_requests_jitter)]
    if opts.forwarded_allow_ips is not None:
        cmd += ["--forwarded-allow-ips", opts.forwarded_allow_ips]
    if opts.interface != "kiv":
        cmd += ["--interface", opts.interface]
    return cmd


def _bus_env(relay: Relay | None) -> tuple[dict[str, str] | None, int | None]:
    """The environment and the inherited fd that connect a new worker to the relay."""
    if relay is None:
        return None, None
    fd = relay.add_worker()[1]
    return dict(os.environ, **{BUS_ENV: str(fd)}), fd


# --- supervised workers on one socket ----------------------------------------------------


class Supervisor:
    """Worker processes that accept on one listening socket, bound here and inherited
    (or, with reuse_port, one SO_REUSEPORT socket each). A worker that dies is restarted
    after a delay that doubles while workers keep dying young; one that recycled itself
    (max_requests) is replaced at once. Shutdown drains every worker."""

    START_TIMEOUT = 30.0
    MAX_DELAY = 10.0

    def __init__(self, app_ref: str, opts: ServeOptions, flags: tuple[str, ...] = (),
                 on_started: Callable[[str], None] | None = None):
        self.app_ref, self.opts, self.flags = app_ref, opts, flags
        self.on_started = on_started
        self.sock: socket.socket | None = None
        self.procs: list[subprocess.Popen | None] = [None] * opts.workers
        self.started = [0.0] * opts.workers
        self.delay = [0.0] * opts.workers
        self.restart_at = [0.0] * opts.workers
        # Carries app.publish() between the workers of an app that uses topics.
        self.relay = Relay() if opts.topics else None

    def _spawn(self, slot: int, ready_w: int | None = None) -> subprocess.Popen:
        cmd = _worker_command(self.app_ref, self.opts, self.flags)
        fds: list[int] = []
        if self.opts.reuse_port:
            cmd += ["--reuse-port", "--host", self.opts.host, "--port", str(self.port)]
        else:
            assert self.sock is not None
            cmd += ["--fd", str(self.sock.fileno())]
            fds.append(self.sock.fileno())
        if ready_w is not None:
            cmd += ["--ready-fd", str(ready_w)]
            fds.append(ready_w)
        env, bus_fd = _bus_env(self.relay)
        if bus_fd is not None:
            fds.append(bus_fd)
        # Its own session: a Ctrl-C in the terminal reaches only the supervisor, which
        # then drains the workers once (a second signal would make them quit at once).
        try:
            proc = subprocess.Popen(cmd, pass_fds=fds, start_new_session=True, env=env)
        finally:
            if bus_fd is not None:
                os.close(bus_fd)  # the worker's end: its exit must reach the relay
        self.procs[slot] = proc
        self.started[slot] = time.monotonic()
        return proc

    def start(self) -> str:
        if self.opts.reuse_port:
            # Bound but not listening: it keeps the port (the one port 0 picked) without
            # taking any connection; the workers each listen on their own socket.
            self.sock = bind_socket(self.opts, reuse_port=True, listen=False)
            self.port = self.sock.getsockname()[1]
        else:
            self.sock = bind_socket(self.opts)
        addr = _addr_text(self.sock)
        pipes = []
        try:
            for slot in range(self.opts.workers):
                r, w = os.pipe()
                pipes.append(r)
                try:
                    self._spawn(slot, ready_w=w)
                finally:
                    os.close(w)
            deadline = time.monotonic() + self.START_TIMEOUT
            for slot, r in enumerate(pipes):
                self._wait_ready(slot, r, deadline)
        except BaseException:
            self.stop(kill=True)
            raise
        finally:
            for r in pipes:
                os.close(r)
        return addr

    def _wait_ready(self, slot: int, r: int, deadline: float) -> None:
        with selectors.DefaultSelector() as sel:
            sel.register(r, selectors.EVENT_READ)
            if not sel.select(max(0.0, deadline - time.monotonic())):
                raise RuntimeError("a worker did not start in time")
        if not os.read(r, 64):
            proc = self.procs[slot]
            assert proc is not None
            raise RuntimeError(f"a worker exited during start-up (code {proc.wait()})")

    def check(self) -> None:
        """Restarts workers that have exited, each when its delay has passed."""
        now = time.monotonic()
        for slot, proc in enumerate(self.procs):
            if proc is not None and proc.poll() is not None:
                lived = now - self.started[slot]
                if proc.returncode == 0:
                    log(f"worker {proc.pid} recycled; starting another")
                    self.delay[slot] = 0.0
                else:
                    how = (f"killed by signal {-proc.returncode}" if proc.returncode < 0
                           else f"exited with code {proc.returncode}")
                    # A worker that ran for a while died of something passing; one
                    # that dies young will probably die again: back off.
                    if lived > self.MAX_DELAY:
                        self.delay[slot] = 0.0
                    self.delay[slot] = min(self.MAX_DELAY, max(0.1, self.delay[slot] * 2))
                    log(f"worker {proc.pid} {how}; restarting in {self.delay[slot]:.1f} s")
                self.procs[slot] = None
                self.restart_at[slot] = now + self.delay[slot]
            if self.procs[slot] is None and now >= self.restart_at[slot]:
                self._spawn(slot)

    def pids(self) -> list[int]:
        return [p.pid for p in self.procs if p is not None]

    def stop(self, kill: bool = False) -> bool:
        """SIGTERM to every worker (SIGKILL with kill), then waits for them: the graceful
        timeout and a little more. True when all of them drained cleanly."""
        # New connections are refused as soon as every worker has closed its copy.
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        live = [p for p in self.procs if p is not None and p.poll() is None]
        for p in live:
            try:
                p.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + self.opts.graceful_timeout + 5
        clean = True
        for p in [p for p in self.procs if p is not None]:
            try:
                p.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
            clean = clean and p.returncode == 0
        self.procs = [None] * len(self.procs)
        if self.relay is not None:
            self.relay.close()
            self.relay = None
        if self.opts.uds:
            _unlink_quietly(self.opts.uds)
        return clean

    def _handle(self, signum: int, frame: Any) -> None:
        if self.received:
            for pid in self.pids():
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            os._exit(1)
        self.received.append(signum)

    def run(self) -> bool:
        """Starts the workers and supervises them until SIGTERM or SIGINT, then drains
        them; a second signal kills them and exits at once. True after a clean drain."""
        self.received: list[int] = []
        previous = {s: signal.signal(s, self._handle) for s in (signal.SIGTERM, signal.SIGINT)}
        try:
            addr = self.start()
            if self.on_started:
                self.on_started(addr)
            while not self.received:
                self.check()
                time.sleep(0.1)
            return self.stop()
        finally:
            for s, h in previous.items():
                signal.signal(s, h)


def _unlink_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


# --- workers behind the balancer ---------------------------------------------------------


class WorkerGroup:
    """Worker processes started from a "module:attr" reference, each on its own loopback port."""

    def __init__(self, app_ref: str, count: int, *, flags: tuple[str, ...] = (),
                 start_timeout: float = 30.0, opts: ServeOptions | None = None):
        self.procs: list[subprocess.Popen] = []
        self.addrs: list[str] = []
        opts = opts or ServeOptions()
        self.relay = Relay() if opts.topics else None
        try:
            for _ in range(count):
                env, bus_fd = _bus_env(self.relay)
                try:
                    self.procs.append(subprocess.Popen(
                        _worker_command(app_ref, opts, flags), env=env,
                        pass_fds=() if bus_fd is None else (bus_fd,),
                        stdout=subprocess.PIPE, text=True, start_new_session=True,
                    ))
                finally:
                    if bus_fd is not None:
                        os.close(bus_fd)
            deadline = time.monotonic() + start_timeout
            for proc in self.procs:
                self.addrs.append(self._wait_ready(proc, deadline))
        except BaseException:
            self.terminate()
            raise

    @staticmethod
    def _wait_ready(proc: subprocess.Popen, deadline: float) -> str:
        assert proc.stdout is not None
        with selectors.DefaultSelector() as sel:
            sel.register(proc.stdout, selectors.EVENT_READ)
            while True:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise RuntimeError("a worker did not start in time")
                if sel.select(remaining):
                    line = proc.stdout.readline()
                    if not line:
                        raise RuntimeError(f"a worker exited during start-up (code {proc.wait()})")
                    if line.startswith(READY):
                        return line[len(READY):].strip()

    def terminate(self, timeout: float = 5.0) -> None:
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
        deadline = time.monotonic() + timeout
        for proc in self.procs:
            try:
                proc.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            if proc.stdout:
                proc.stdout.close()
        if self.relay is not None:
            self.relay.close()
            self.relay = None


# --- entry point -------------------------------------------------------------------------


def serve(app: Any, host: str = "127.0.0.1", port: int = 8000, *, workers: int = 1,
          app_ref: str | None = None, quiet: bool = False, **options: Any) -> bool:
    """Serves app until SIGTERM or Ctrl-C, then shuts down gracefully. With workers > 1,
    runs that many supervised worker processes on one socket (or, with balancer=True,
    behind the TCP balancer). Other keywords are ServeOptions fields. True when the
    shutdown finished every connection in time."""
    known = {f.name for f in fields(ServeOptions)}
    unknown = set(options) - known
    if unknown:
        raise TypeError(f"unknown serving option(s): {', '.join(sorted(unknown))}")
    opts = ServeOptions(host=host, port=port, workers=workers, quiet=quiet, **options)
    # With a broker every process reaches it on its own; without, the workers need a relay.
    opts.topics = bool(getattr(app, "uses_topics", False)) and not (
        getattr(app, "config", {}).get("PUBSUB_URL"))
    if opts.uds and (opts.reuse_port or opts.balancer):
        raise ValueError("--uds shares one socket among the workers; it cannot be combined "
                         "with --reuse-port or --balancer")
    say = (lambda text: None) if opts.quiet else (lambda text: print(text, flush=True))

    # Recycling needs a supervisor to start the next worker.
    if opts.workers <= 1 and not opts.max_requests:
        if threading.current_thread() is not threading.main_thread():
            raise RuntimeError("serve() handles signals, so it runs on the main thread")
        _configure(app, opts)
        sock = bind_socket(opts)
        try:
            return serve_on(app, sock, opts, banner=lambda addr: say(
                f" * kiv serving on {_url(addr)} (Ctrl-C to quit)"))
        finally:
            sock.close()
            if opts.uds:
                _unlink_quietly(opts.uds)

    opts.workers = max(1, opts.workers)
    flags = tuple(f for f, on in (("--log", app.log), ("--debug", app.debug)) if on)
    ref = app_ref or _app_ref(app)
    if opts.balancer:
        group = WorkerGroup(ref, opts.workers, flags=flags, opts=opts)
        try:
            say(f" * kiv balancing http://{host}:{port}/ over {opts.workers} workers: "
                + ", ".join(group.addrs) + " (Ctrl-C to quit)")
            _kiv.Server().run_balancer(host, port, group.addrs)
        except KeyboardInterrupt:
            pass
        finally:
            group.terminate(opts.graceful_timeout + 5)
        return True

    supervisor = Supervisor(ref, opts, flags, on_started=lambda addr: say(
        f" * kiv serving on {_url(addr)} with {opts.workers} workers (Ctrl-C to quit)"))
    return supervisor.run()


def _url(addr: str) -> str:
    return addr if addr.startswith("unix:") else f"http://{addr}/"
