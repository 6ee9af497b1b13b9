"""Flask's tutorial app and its 24 tests, as released, on kiv: unchanged, and kiv-imported."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SDIST = ROOT / "build" / "flask-sdist" / "flask-3.1.3.tar.gz"
TUTORIAL = "flask-3.1.3/examples/tutorial/"


@pytest.fixture(scope="module")
def tutorial(tmp_path_factory):
    if not SDIST.exists():
        done = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps",
                               "--no-binary", ":all:", "flask==3.1.3", "-d", SDIST.parent],
                              capture_output=True, text=True, timeout=300)
        if not SDIST.exists():
            pytest.skip(f"the package index is not reachable: {done.stderr[-300:]}")
    out = tmp_path_factory.mktemp("sdist")
    with tarfile.open(SDIST) as tar:
        tar.extractall(out, [m for m in tar if m.name.startswith(TUTORIAL)], filter="data")
    return out / TUTORIAL


@pytest.mark.parametrize("mode", ["as_flask", "kiv_imports"])
def test_tutorial_suite_passes(tutorial, tmp_path, mode):
    app = shutil.copytree(tutorial, tmp_path / "tutorial")
    plugin = ["-p", "kiv.as_flask"] if mode == "as_flask" else []
    for path in app.rglob("*.py") if mode == "kiv_imports" else ():
        path.write_text(re.sub("(?m)^from flask import", "from kiv import", path.read_text()))
    # The native module this run imports, not whichever one is installed.
    native = os.path.dirname(importlib.util.find_spec("_kiv").origin)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python"), native, str(app)]))
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           *plugin, "tests"], cwd=app, env=env, capture_output=True,
                          text=True, timeout=300)
    assert re.search(r"\b24 passed\b", done.stdout) and done.returncode == 0, \
        done.stdout[-3000:] + done.stderr[-2000:]
