"""Flask's own tutorial app (flaskr) and its tests, from Flask's source release, run on
kiv: unchanged under install_as_flask, and with its imports changed to kiv."""

import os
import re
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

VERSION = "3.1.3"
ROOT = Path(__file__).resolve().parents[1]
CACHE = ROOT / "build" / "flask-sdist"


@pytest.fixture(scope="module")
def tutorial(tmp_path_factory):
    archive = CACHE / f"flask-{VERSION}.tar.gz"
    if not archive.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        done = subprocess.run(
            [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary",
             ":all:", f"flask=={VERSION}", "-d", str(CACHE)],
            capture_output=True, text=True, timeout=300)
        if done.returncode != 0 or not archive.exists():
            pytest.skip(f"Flask {VERSION}'s source release is not reachable: "
                        f"{done.stderr.strip()[-300:]}")
    out = tmp_path_factory.mktemp("sdist")
    prefix = f"flask-{VERSION}/examples/tutorial/"
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers() if m.name.startswith(prefix)]
        tar.extractall(out, members=members, filter="data")
    return out / prefix


def to_kiv_imports(folder: Path) -> None:
    for path in folder.rglob("*.py"):
        text = path.read_text()
        text = re.sub(r"^from flask import", "from kiv import", text, flags=re.M)
        text = re.sub(r"^import flask$", "import kiv as flask", text, flags=re.M)
        assert "flask import" not in text.replace("flaskr", "")
        path.write_text(text)


@pytest.mark.parametrize("mode", ["as_flask", "kiv_imports"])
def test_tutorial_suite_passes(tutorial, tmp_path, mode):
    import shutil
    app = tmp_path / "tutorial"
    shutil.copytree(tutorial, app)
    args = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests"]
    if mode == "as_flask":
        args[3:3] = ["-p", "kiv.as_flask"]
    else:
        to_kiv_imports(app)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), str(app)]))
    done = subprocess.run(args, cwd=app, env=env, capture_output=True, text=True,
                          timeout=300)
    assert re.search(r"\b24 passed\b", done.stdout) and done.returncode == 0, \
        done.stdout[-3000:] + done.stderr[-2000:]
    if mode == "as_flask":
        # It ran on kiv: Flask itself was never imported by that run.
        probe = subprocess.run(
            [sys.executable, "-c", "import kiv.as_flask, flaskr, sys; "
             "print(sys.modules['flask'].__name__, type(flaskr.create_app()).__module__)"],
            cwd=app, env=env, capture_output=True, text=True, timeout=60)
        assert probe.stdout.split() == ["kiv", "kiv.app"], probe.stderr
