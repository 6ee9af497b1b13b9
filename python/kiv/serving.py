"""Running an app: one process, or several worker processes behind the balancer."""

from __future__ import annotations

import importlib
import os
import runpy
import signal
import subprocess
import sys
import time
from typing import Any

import _kiv

READY = "KIV-WORKER-READY "


def load_app(app_ref: str) -> Any:
    """Finds an app from "module:attr" or "path/to/file.py:attr" (attr defaults to app)."""
    target, _, attr = app_ref.partition(":")
    attr = attr or "app"
    if target.endswith(".py") or os.sep in target:
        # Loaded under another name so the script's __main__ block does not run.
        namespace = runpy.run_path(target, run_name="__kiv_app__")
        try:
            return namespace[attr]
        except KeyError:
            raise LookupError(f"{target} defines no {attr!r}") from None
    if os.getcwd() not in sys.path and "" not in sys.path:
        sys.path.insert(0, os.getcwd())
    module = importlib.import_module(target)
    try:
        return getattr(module, attr)
    except AttributeError:
        raise LookupError(f"module {target!r} has no attribute {attr!r}") from None


def _die_with_parent() -> None:
    """Asks the kernel to send SIGTERM to this worker if its parent dies."""
    try:
        import ctypes

        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def run_worker(app_ref: str, host: str = "127.0.0.1", port: int = 0, *, log: bool = False,
               debug: bool = False) -> None:
    """Body of one worker process: serve until SIGTERM or SIGINT."""
    _die_with_parent()
    if os.getppid() == 1:  # the parent is already gone
        return
    app = load_app(app_ref)
    app.log = app.log or log
    app.debug = app.debug or debug

    def stop(signum: int, frame: Any) -> None:
        # Once is enough: a second signal during shutdown must not raise again.
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def banner(addr: str) -> None:
        print(READY + addr, flush=True)

    try:
        app.server.run(host, port, banner=banner)
    except KeyboardInterrupt:
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


class WorkerGroup:
    """Worker processes started from a "module:attr" reference, each on its own loopback port."""

    def __init__(self, app_ref: str, count: int, *, flags: tuple[str, ...] = (),
                 start_timeout: float = 30.0):
        self.procs: list[subprocess.Popen] = []
        self.addrs: list[str] = []
        try:
            for _ in range(count):
                self.procs.append(subprocess.Popen(
                    [sys.executable, "-m", "kiv", "worker", app_ref, *flags],
                    stdout=subprocess.PIPE, text=True,
                ))
            deadline = time.monotonic() + start_timeout
            for proc in self.procs:
                self.addrs.append(self._wait_ready(proc, deadline))
        except BaseException:
            self.terminate()
            raise

    @staticmethod
    def _wait_ready(proc: subprocess.Popen, deadline: float) -> str:
        import selectors

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


def serve(app: Any, host: str = "127.0.0.1", port: int = 8000, *, workers: int = 1,
          app_ref: str | None = None, quiet: bool = False) -> None:
    """Serves app until Ctrl-C. With workers > 1, starts that many worker processes and
    runs the balancer in front of them; Ctrl-C stops the balancer and the workers."""
    if workers <= 1:
        def banner(addr: str) -> None:
            if not quiet:
                print(f" * kiv serving on http://{addr}/ (Ctrl-C to quit)", flush=True)

        try:
            app.server.run(host, port, banner=banner)
        except KeyboardInterrupt:
            pass
        return

    flags = tuple(f for f, on in (("--log", app.log), ("--debug", app.debug)) if on)
    group = WorkerGroup(app_ref or _app_ref(app), workers, flags=flags)
    try:
        if not quiet:
            print(f" * kiv balancing http://{host}:{port}/ over {workers} workers: "
                  + ", ".join(group.addrs) + " (Ctrl-C to quit)", flush=True)
        _kiv.Server().run_balancer(host, port, group.addrs)
    except KeyboardInterrupt:
        pass
    finally:
        group.terminate()
