"""Every Python block in docs/guide.md runs as written, as the comment before it says."""

import pathlib
import re
import shlex

import pytest

from kiv.serving import load_app

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
def _fences(lines):
    """(line before the fence, language, code) of each fenced block."""
    i = 0
    while i < len(lines):
        if lines[i].startswith("```"):
            end = lines.index("```", i + 1)
            yield (lines[i - 1] if i else ""), lines[i][3:].strip(), "\n".join(lines[i + 1:end])
            i = end
        i += 1


def _blocks():
    """(kind, options, code) of each marked block; a Python block without a marker is
    an error, so a new example cannot be left out of the test."""
    found = []
    for before, lang, code in _fences(GUIDE.read_text().splitlines()):
        marker = re.fullmatch(r"<!-- (example|file) (.*) -->", before)
        if marker is None:
            assert lang != "python", f"an unmarked Python block:\n{code}"
            continue
        options: dict = {}
        for word in shlex.split(marker[2]):
            key, _, value = word.partition("=")
            options.setdefault(key, []).append(value)
        found.append((marker[1], {k: v if k in ("get", "cli") else v[0]
                                  for k, v in options.items()}, code + "\n"))
    return found


BLOCKS = _blocks()
EXAMPLES = {o["name"]: (o, code) for kind, o, code in BLOCKS if kind == "example"}


def _source(name):
    options, code = EXAMPLES[name]
    base = options.get("continues")
    return (_source(base) + "\n" if base else "") + code


def _files(name):
    options = EXAMPLES[name][0]
    own = [(o["path"], code) for kind, o, code in BLOCKS
           if kind == "file" and o["name"] == name]
    return own + (_files(options["continues"]) if "continues" in options else [])


@pytest.mark.parametrize("name", list(EXAMPLES))
def test_guide_example_runs(tmp_path, name):
    options = EXAMPLES[name][0]
    for path, text in _files(name):
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    module = tmp_path / f"guide_{name.replace('-', '_')}.py"
    module.write_text(_source(name))
    app = load_app(f"{module}:app")
    client = app.test_client()
    for request in options.get("get", []):
        path, status, *text = request.split(" ", 2)
        r = client.get(path)
        assert r.status_code == int(status), r.text
        assert not text or text[0] in r.text
    for args in options.get("cli", []):
        result = app.test_cli_runner().invoke(args=shlex.split(args))
        assert result.exit_code == 0, result.output
    if "run" in options:
        vars(__import__(module.stem))[options["run"]]()
    continued = any(o.get("continues") == name for o, _ in EXAMPLES.values())
    assert continued or options.keys() - {"name", "continues"}, "an example that checks nothing"
