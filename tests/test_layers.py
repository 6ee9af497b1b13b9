"""The framework's modules import in one direction: each module imports only from its own
layer or the ones before it, deferred imports inside functions included, and no modules
import each other in a circle. A new module must be given a layer here."""

import ast
import graphlib
import pathlib

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "python" / "kiv"

LAYERS = [
    # values, exceptions and context-local storage
    {"typing", "compat", "config", "globals", "accept", "caching", "datastructures",
     "exceptions", "reload", "pubsub"},
    {"asyncsupport", "bodystream", "signals", "websocket"},
    {"formparser"},
    {"wrappers"},
    {"json", "files", "streaming", "sessions"},
    {"helpers"},
    {"hosts", "routing", "templating", "views"},
    # contexts, and the pieces an app uses to host and run things
    {"ctx", "cli", "serving", "wsgihost", "asgihost", "wsgiapp"},
    {"testing", "scaffold"},
    {"blueprints"},
    {"app"},
    # hosting an application, the command line, the package's own names
    {"wsgi", "asgi", "loading", "as_flask", "__main__", "__init__"},
]
LAYER = {name: i for i, layer in enumerate(LAYERS) for name in layer}


def imports_of(path: pathlib.Path) -> set[str]:
    """The kiv modules a file imports, wherever the import statement is."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 and node.module:
                names = [node.module]
            elif node.level == 1:  # "from . import x": a module, or a name of the package
                names = [a.name if (PACKAGE / f"{a.name}.py").exists() else "__init__"
                         for a in node.names]
            elif node.level == 0 and (node.module or "").split(".")[0] == "kiv":
                rest = node.module.split(".")[1:]
                names = rest[:1] or ["__init__"]
            else:
                continue
            found.update(n.split(".")[0] for n in names)
        elif isinstance(node, ast.Import):
            for alias in node.names:
                parts = alias.name.split(".")
                if parts[0] == "kiv":
                    found.add(parts[1] if len(parts) > 1 else "__init__")
    return found


MODULES = {p.stem: imports_of(p) for p in sorted(PACKAGE.glob("*.py"))}


@pytest.mark.parametrize("module", sorted(MODULES))
def test_module_imports_only_downwards(module):
    assert module in LAYER, f"kiv.{module} has no layer in {__file__}"
    upward = sorted(m for m in MODULES[module] if m != module and LAYER.get(m, 99) > LAYER[module])
    assert upward == [], f"kiv.{module} imports from a later layer: {upward}"


def test_no_import_cycle():
    graph = {m: deps & MODULES.keys() - {m} for m, deps in MODULES.items()}
    try:
        tuple(graphlib.TopologicalSorter(graph).static_order())
    except graphlib.CycleError as e:
        pytest.fail(f"modules import each other in a circle: {e.args[1]}")
