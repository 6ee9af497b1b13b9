"""Jinja2 templates: the app's environment, its loader over app and blueprint folders, and
render_template / render_template_string.

The environment is made on the first render, so an app that never renders a template
never imports Jinja2. Templates are compiled once and kept; with TEMPLATES_AUTO_RELOAD
(or, when it is None, in debug mode) Jinja2 checks the file's modification time on each
use instead.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Callable

from .globals import _current_app, _local, g, request, session


def _autoescape(name: str | None) -> bool:
    # A template given as a string is HTML unless told otherwise, as in Flask.
    if name is None:
        return True
    return name.rsplit(".", 1)[-1].lower() in ("html", "htm", "xml", "xhtml")


def _make_loader(app: Any) -> Any:
    from jinja2 import BaseLoader, FileSystemLoader, TemplateNotFound

    class AppLoader(BaseLoader):
        """The app's template folder first, then each blueprint's in registration order."""

        def __init__(self) -> None:
            self._loaders: dict[str, Any] = {}

        def _folders(self) -> list[str]:
            out = []
            for scaffold in (app, *app.blueprints.values()):
                folder = scaffold.template_folder
                if folder is not None:
                    out.append(os.path.join(scaffold.root_path, folder))
            return out

        def get_source(self, environment: Any, template: str) -> Any:
            for folder in self._folders():
                loader = self._loaders.get(folder)
                if loader is None:
                    loader = self._loaders[folder] = FileSystemLoader(folder)
                try:
                    return loader.get_source(environment, template)
                except TemplateNotFound:
                    continue
            raise TemplateNotFound(template)

        def list_templates(self) -> list[str]:
            names: set[str] = set()
            for folder in self._folders():
                if os.path.isdir(folder):
                    names.update(FileSystemLoader(folder).list_templates())
            return sorted(names)

    return AppLoader()


def create_environment(app: Any) -> Any:
    from jinja2 import Environment

    from .helpers import get_flashed_messages, url_for

    env = Environment(loader=_make_loader(app), autoescape=_autoescape,
                      auto_reload=app.templates_auto_reload, **app.jinja_options)
    env.globals.update(url_for=url_for, get_flashed_messages=get_flashed_messages,
                       config=app.config, request=request, session=session, g=g)
    env.policies["json.dumps_function"] = app.json.dumps  # |tojson writes what jsonify does
    env.filters.update(app.template_filters)
    env.globals.update(app.template_globals)
    env.tests.update(app.template_tests)
    return env


def _context(app: Any, context: dict) -> dict:
    """Context processors' values (app's, then the blueprint chain's), then the caller's."""
    processors = app.template_context_processors
    if not processors:
        return context
    req = _local.request
    names: list[Any] = [None]
    if req is not None:
        names += reversed(req.blueprints)
    merged: dict = {}
    for name in names:
        for f in processors.get(name, ()):
            merged.update(f())
    merged.update(context)
    return merged


def _render(app: Any, template: Any, context: dict) -> str:
    context = _context(app, context)
    signals = sys.modules.get("kiv.signals")
    if signals is None:
        return template.render(context)
    signals.send(signals.before_render_template, app, template=template, context=context)
    text = template.render(context)
    signals.send(signals.template_rendered, app, template=template, context=context)
    return text


def render_template(template_name_or_list: Any, **context: Any) -> str:
    app = _current_app()
    return _render(app, app.jinja_env.get_or_select_template(template_name_or_list), context)


def render_template_string(source: str, **context: Any) -> str:
    app = _current_app()
    return _render(app, app.jinja_env.from_string(source), context)


def stream_template(template_name_or_list: Any, **context: Any) -> Any:
    """The rendered text in pieces, as Jinja2 produces them."""
    app = _current_app()
    template = app.jinja_env.get_or_select_template(template_name_or_list)
    return template.generate(_context(app, context))


def get_template_attribute(template_name: str, attribute: str) -> Any:
    """A macro or variable a template defines, to call from Python."""
    return getattr(_current_app().jinja_env.get_template(template_name).module, attribute)


def stream_template_string(source: str, **context: Any) -> Any:
    """stream_template for a template given as text."""
    app = _current_app()
    return app.jinja_env.from_string(source).generate(_context(app, context))


class TemplateRegistry:
    """The app's side: filters, globals, tests and the environment made from them."""

    jinja_options: dict = {}

    def _init_templates(self) -> None:
        self.template_filters: dict[str, Callable] = {}
        self.template_globals: dict[str, Any] = {}
        self.template_tests: dict[str, Callable] = {}
        self._jinja_env: Any = None

    @property
    def templates_auto_reload(self) -> bool:
        """Whether changed template files are read again: TEMPLATES_AUTO_RELOAD, or
        when that is None, debug mode (followed when debug changes later)."""
        value = self.config.get("TEMPLATES_AUTO_RELOAD")  # type: ignore[attr-defined]
        return bool(self.debug if value is None else value)  # type: ignore[attr-defined]

    @templates_auto_reload.setter
    def templates_auto_reload(self, value: bool | None) -> None:
        self.config["TEMPLATES_AUTO_RELOAD"] = value  # type: ignore[attr-defined]
        self._follow_reload()

    def _follow_reload(self) -> None:
        env = self.__dict__.get("_jinja_env")
        if env is not None:
            env.auto_reload = self.templates_auto_reload

    @property
    def jinja_env(self) -> Any:
        if self._jinja_env is None:
            self._jinja_env = create_environment(self)
        return self._jinja_env

    def _add(self, kind: str, f: Callable, name: str | None) -> None:
        getattr(self, "template_" + kind)[name or f.__name__] = f
        if self._jinja_env is not None:
            target = {"filters": self._jinja_env.filters, "globals": self._jinja_env.globals,
                      "tests": self._jinja_env.tests}[kind]
            target[name or f.__name__] = f

    def add_template_filter(self, f: Callable, name: str | None = None) -> None:
        self._add("filters", f, name)

    def add_template_global(self, f: Callable, name: str | None = None) -> None:
        self._add("globals", f, name)

    def add_template_test(self, f: Callable, name: str | None = None) -> None:
        self._add("tests", f, name)

    def template_filter(self, name: Any = None) -> Any:
        return _decorator(self.add_template_filter, name)

    def template_global(self, name: Any = None) -> Any:
        return _decorator(self.add_template_global, name)

    def template_test(self, name: Any = None) -> Any:
        return _decorator(self.add_template_test, name)


def _decorator(add: Callable, name: Any) -> Any:
    if callable(name):  # used bare: @app.template_filter
        add(name, None)
        return name

    def decorator(f: Callable) -> Callable:
        add(f, name)
        return f
    return decorator


__all__ = ["get_template_attribute", "render_template", "render_template_string",
           "stream_template", "stream_template_string"]
