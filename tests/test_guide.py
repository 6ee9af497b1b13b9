"""Every Python block in docs/guide.md runs as written, as the comment before it says."""

import pathlib
import re
import shlex
import sys

import pytest

from kiv.loading import load_app

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"


def _blocks():
    """[(kind, options, code)] of the fenced blocks. An unmarked Python block fails
    collection, so a new example cannot be left out."""
    fence = r"^(?:<!-- (example|file) ([^\n]*) -->\n)?```(\w*)\n(.*?)^```$"
    found = []
    for kind, marker, lang, code in re.findall(fence, GUIDE.read_text(), re.M | re.S):
        assert kind or lang != "python", f"unmarked Python block:\n{code}"
        opts: dict = {}
        for key, _, value in (w.partition("=") for w in shlex.split(marker)):
            opts.setdefault(key, []).append(value)
        found.append((kind, opts, code))
    return found


BLOCKS = _blocks()
EXAMPLES = {o["name"][0]: o for kind, o, _ in BLOCKS if kind == "example"}


def _chain(name):  # the example's blocks, after those of the example it continues
    base = EXAMPLES[name].get("continues")
    return (_chain(base[0]) if base else []) + [b for b in BLOCKS if b[1].get("name") == [name]]


@pytest.mark.parametrize("name", list(EXAMPLES))
def test_guide_example_runs(tmp_path, name):
    module, opts = tmp_path / f"guide_{name.replace('-', '_')}.py", EXAMPLES[name]
    for kind, o, code in _chain(name):
        path = module if kind == "example" else tmp_path / o["path"][0]
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text((path.read_text() if path.exists() else "") + code)
    app = load_app(f"{module}:app")
    for request in opts.get("get", []):
        path, status, *text = request.split(" ", 2)
        r = app.test_client().get(path)
        assert r.status_code == int(status) and (not text or text[0] in r.text), r.text
    for args in opts.get("cli", []):
        result = app.test_cli_runner().invoke(args=shlex.split(args))
        assert result.exit_code == 0, result.output
    for function in opts.get("run", []):
        getattr(sys.modules[module.stem], function)()
