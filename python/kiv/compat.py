"""Running code written for Flask on kiv: `install_as_flask()` makes `import flask`
(and the submodules extensions import) give kiv's own modules.

Nothing is imitated here: each Flask module name is bound to the kiv module that holds
the same objects (`flask.globals` is kiv.globals, `flask.testing.FlaskClient` is
kiv's test client), and what extensions need that kiv lacked was added to kiv itself.
The call only fills sys.modules, so an app that never makes it pays nothing, and one
that does pays nothing per request either.
"""

from __future__ import annotations

import importlib
import os
import sys

# Flask's module name -> the kiv module that stands for it.
MODULES = {
    "flask": "kiv",
    "flask.app": "kiv.app",
    "flask.blueprints": "kiv.blueprints",
    "flask.cli": "kiv.cli",
    "flask.config": "kiv.config",
    "flask.ctx": "kiv.ctx",
    "flask.globals": "kiv.globals",
    "flask.helpers": "kiv.helpers",
    "flask.json": "kiv.json",
    "flask.json.provider": "kiv.json",
    "flask.sessions": "kiv.sessions",
    "flask.signals": "kiv.signals",
    "flask.templating": "kiv.templating",
    "flask.testing": "kiv.testing",
    "flask.typing": "kiv.typing",
    "flask.views": "kiv.views",
    "flask.wrappers": "kiv.wrappers",
    "flask.sansio": "kiv",
    "flask.sansio.app": "kiv.app",
    "flask.sansio.blueprints": "kiv.blueprints",
    "flask.sansio.scaffold": "kiv.scaffold",
}

ENV = "KIV_AS_FLASK"  # "1": kiv's command line installs this before loading the app


def install_as_flask() -> None:
    """Makes `import flask` and `from flask.x import y` give kiv's modules, for this
    process. Call it before anything imports Flask (at the top of the app's entry
    module, in conftest.py, or run `python -m kiv run --flask module:app`)."""
    present = sys.modules.get("flask")
    if present is not None and not getattr(present, "__name__", "").startswith("kiv"):
        raise RuntimeError(
            "Flask itself is imported already: install_as_flask() must run before "
            f"anything imports flask (it was imported from {present.__file__}).")
    for name, target in MODULES.items():
        sys.modules[name] = importlib.import_module(target)


def installed() -> bool:
    """True once install_as_flask() ran in this process."""
    mod = sys.modules.get("flask")
    return mod is not None and mod.__name__ == "kiv"


def install_from_env() -> None:
    if os.environ.get(ENV) == "1":
        install_as_flask()
