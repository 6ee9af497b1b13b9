"""Finding the app a command line names: "module:attr", "path/to/file.py:attr", a factory
or a factory call, or a WSGI or ASGI application hosted by a kiv app."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import os
import sys
from typing import Any

from .app import App
from .asgi import host_app as host_asgi
from .serving import AppNotFound
from .wsgi import host_app as host_wsgi


def load_app(app_ref: str, interface: str = "kiv") -> Any:
    """Finds an app from "module:attr" or "path/to/file.py:attr". Without attr: `app` or
    `application`, else a factory `create_app()` or `make_app()` is called; "module:f(...)"
    calls f with the literal arguments given. With interface "wsgi" the attribute is a WSGI
    application, served through a kiv app. AppNotFound when the reference names nothing
    usable; what the app's own code raises while loading comes out as it is."""
    app = _find(app_ref, interface)
    if interface == "wsgi":
        if not callable(app):
            raise AppNotFound(f"{app_ref!r} names an object of type {type(app).__name__}, "
                              "not a WSGI application")
        return host_wsgi(app)
    if interface == "asgi":
        return host_asgi(app)
    if not isinstance(app, App):
        hint = " (a WSGI application is served with --interface wsgi)" if callable(app) else ""
        raise AppNotFound(f"{app_ref!r} names an object of type {type(app).__name__}, "
                          f"not a kiv App{hint}")
    return app


def _find(app_ref: str, interface: str = "kiv") -> Any:
    target, _, attr = app_ref.partition(":")
    if target.endswith(".py") or os.sep in target:
        module = _import_file(target)
        where = target
    else:
        if os.getcwd() not in sys.path and "" not in sys.path:
            sys.path.insert(0, os.getcwd())
        try:
            module = importlib.import_module(target)
        except ModuleNotFoundError as exc:
            # Only the module named in the reference: one the app's code imports and
            # cannot find is the app's own error.
            if exc.name and (target == exc.name or target.startswith(exc.name + ".")):
                raise AppNotFound(f"no module named {exc.name!r} (from {app_ref!r}; "
                                  f"looked in {os.getcwd()} and sys.path)") from None
            raise
        where = f"module {target!r}"
    if not attr:
        for name in ("app", "application"):
            if hasattr(module, name):
                return getattr(module, name)
        for name in ("create_app", "make_app"):
            if callable(getattr(module, name, None)):
                return getattr(module, name)()
        raise AppNotFound(f"{where} has no 'app' or 'application', nor a 'create_app' or "
                          "'make_app' factory")
    name, args, kwargs = _parse_call(attr)
    try:
        found = getattr(module, name)
    except AttributeError:
        raise AppNotFound(f"{where} has no attribute {name!r}") from None
    if args is not None:
        return found(*args, **kwargs)
    if interface == "kiv" and inspect.isfunction(found):
        return found()  # a factory named without parentheses (a WSGI app may be a function)
    return found


def _parse_call(attr: str) -> tuple[str, tuple | None, dict]:
    """"name" or "name(literal, key=literal)": the name, and the call's arguments if any."""
    try:
        expr = ast.parse(attr.strip(), mode="eval").body
    except SyntaxError:
        raise AppNotFound(f"{attr!r} is not an attribute name or a call") from None
    if isinstance(expr, ast.Name):
        return expr.id, None, {}
    if isinstance(expr, ast.Call) and isinstance(expr.func, ast.Name):
        try:
            args = tuple(ast.literal_eval(a) for a in expr.args)
            kwargs = {k.arg: ast.literal_eval(k.value) for k in expr.keywords if k.arg}
        except ValueError:
            raise AppNotFound(f"{attr!r}: a factory's arguments must be literals") from None
        return expr.func.id, args, kwargs
    raise AppNotFound(f"{attr!r} is not an attribute name or a call")


def _import_file(target: str) -> Any:
    """The module in the file target, imported as Python imports a script's neighbours: its
    folder goes on sys.path and the module is registered, so `App(__name__)` finds its
    templates and static files beside the file. Its `__main__` block does not run."""
    path = os.path.abspath(target)
    if not os.path.isfile(path):
        raise AppNotFound(f"No such file: {target!r}")
    directory, name = os.path.split(path)
    name = os.path.splitext(name)[0]
    if name == "__init__":  # a package: import it by its name
        directory, name = os.path.split(directory)
    if directory not in sys.path:
        sys.path.insert(0, directory)
    origin = getattr(sys.modules.get(name), "__file__", None)
    if origin is None:
        found = importlib.util.find_spec(name)
        origin = found.origin if found is not None else None
    if origin is not None and os.path.abspath(origin) == path:
        return importlib.import_module(name)
    # The name is another module's (a standard one, or an app loaded earlier from another
    # folder): load the file under a name of its own rather than shadow that module.
    name = "__kiv_app__"
    loader = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(loader)  # type: ignore[arg-type]
    sys.modules[name] = module
    try:
        loader.loader.exec_module(module)  # type: ignore[union-attr]
    except BaseException:
        sys.modules.pop(name, None)
        raise
    return module
