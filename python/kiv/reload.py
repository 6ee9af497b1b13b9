"""--reload: serve the app in a child process and start a new one when a Python file or a
template under the app's folder changes (needs watchfiles: pip install watchfiles).

The supervisor never imports the app, so a change that breaks the import only stops the
child; the next change starts it again.
"""

from __future__ import annotations

import importlib.util
import os
import signal
import subprocess
import sys
import threading
from typing import Any

WATCHED_SUFFIXES = (".py", ".html", ".htm", ".xml", ".jinja", ".jinja2", ".j2", ".txt",
                    ".json", ".toml", ".cfg", ".ini")
IGNORED_DIRS = frozenset(("__pycache__", ".git", ".hg", ".venv", "venv", "node_modules",
                          ".mypy_cache", ".pytest_cache", "build"))


def app_folder(app_ref: str) -> str:
    """The folder to watch for "module:attr" or "path/to/file.py:attr"."""
    target = app_ref.rsplit(":", 1)[0] if ":" in app_ref else app_ref
    if target.endswith(".py") or os.sep in target:
        return os.path.dirname(os.path.abspath(target))
    if os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    found = importlib.util.find_spec(target)
    if found is None or found.origin is None:
        return os.getcwd()
    return os.path.dirname(os.path.abspath(found.origin))


def watched(change: Any, path: str) -> bool:
    parts = path.split(os.sep)
    if any(p in IGNORED_DIRS for p in parts):
        return False
    return path.endswith(WATCHED_SUFFIXES)


def run_with_reload(app_ref: str, child_argv: list[str]) -> int:
    try:
        import watchfiles
    except ImportError:
        print("--reload needs watchfiles: pip install watchfiles", file=sys.stderr)
        return 2
    folder = app_folder(app_ref)
    cmd = [sys.executable, "-m", "kiv", *child_argv]
    stop = threading.Event()

    def on_signal(signum: int, frame: Any) -> None:
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    print(f" * watching {folder} for changes", file=sys.stderr, flush=True)
    child = subprocess.Popen(cmd)
    try:
        for changes in watchfiles.watch(folder, watch_filter=watched, stop_event=stop,
                                        raise_interrupt=False):
            names = sorted({os.path.relpath(p, folder) for _, p in changes})
            print(f" * {', '.join(names)} changed, restarting", file=sys.stderr, flush=True)
            _stop(child)
            child = subprocess.Popen(cmd)
    finally:
        _stop(child)
    return 0


def _stop(child: subprocess.Popen) -> None:
    if child.poll() is not None:
        return
    # The first signal lets requests in progress finish; a second one exits at once.
    child.send_signal(signal.SIGTERM)
    try:
        child.wait(3)
        return
    except subprocess.TimeoutExpired:
        pass
    child.send_signal(signal.SIGTERM)
    try:
        child.wait(2)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()
