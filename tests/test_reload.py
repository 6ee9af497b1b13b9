"""--reload: a change to a Python file or a template under the app's folder restarts the server."""

import os
import signal
import socket
import subprocess
import sys
import time
import urllib.request

import pytest

pytest.importorskip("watchfiles")

APP = """
from kiv import App, render_template
app = App(__name__)

@app.route("/")
def index():
    return render_template("page.html", version={version!r})
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def body_when(url, wanted, deadline):
    last = None
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(url, timeout=5) as r:
                last = r.read().decode()
            if last == wanted:
                return last
        except OSError:
            pass
        time.sleep(0.1)
    return last


def children_of(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(p) for p in f.read().split()]
    except OSError:
        return []


def test_reload_on_python_and_template_changes(tmp_path):
    (tmp_path / "templates").mkdir()
    (tmp_path / "templates" / "page.html").write_text("v{{ version }}")
    (tmp_path / "reloadme.py").write_text(APP.format(version="1"))
    port = free_port()
    url = f"http://127.0.0.1:{port}/"
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", PYTHONPATH=os.pathsep.join(
        filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")])))
    proc = subprocess.Popen([sys.executable, "-m", "kiv", "run", "reloadme:app", "--reload",
                             "--port", str(port)], cwd=tmp_path, env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    children = []
    try:
        assert body_when(url, "v1", time.monotonic() + 30) == "v1"
        first = children_of(proc.pid)
        (tmp_path / "reloadme.py").write_text(APP.format(version="22"))
        assert body_when(url, "v22", time.monotonic() + 30) == "v22"
        (tmp_path / "templates" / "page.html").write_text("version {{ version }}")
        assert body_when(url, "version 22", time.monotonic() + 30) == "version 22"
        children = children_of(proc.pid)
        assert len(children) == 1 and children != first
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(15)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    for pid in children:
        deadline = time.monotonic() + 5
        while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not os.path.exists(f"/proc/{pid}"), "the served child outlived the reloader"
    assert proc.returncode == 0
