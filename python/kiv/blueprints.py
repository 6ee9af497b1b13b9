"""Blueprints: an app's registrations, recorded now and replayed when registered."""

from __future__ import annotations

import os
from typing import Any, Callable

from .scaffold import F, Scaffold, _exception_key

# Blueprint(cli_group=...) default: the blueprint's commands form a group named after it.
_NAMED_GROUP: Any = object()


def join_rule(prefix: str | None, rule: str) -> str:
    if not prefix:
        return rule
    if not rule:
        return prefix
    return prefix.rstrip("/") + "/" + rule.lstrip("/")


class BlueprintSetupState:
    """What a blueprint's deferred functions see when the blueprint is registered."""

    def __init__(self, blueprint: "Blueprint", app: Any, options: dict, first: bool):
        self.app = app
        self.blueprint = blueprint
        self.options = options
        self.first_registration = first
        self.url_prefix = options.get("url_prefix")
        if self.url_prefix is None:
            self.url_prefix = blueprint.url_prefix
        self.name_prefix = options.get("name_prefix", "")
        self.name = options.get("name", blueprint.name)
        self.url_defaults = dict(blueprint.url_values_defaults, **options.get("url_defaults", {}))
        self.subdomain = options.get("subdomain", blueprint.subdomain)

    @property
    def full_name(self) -> str:
        return f"{self.name_prefix}.{self.name}".lstrip(".")

    def add_url_rule(self, rule: str, endpoint: str | None = None, view_func: F | None = None,
                     **options: Any) -> None:
        rule = join_rule(self.url_prefix, rule)
        if self.subdomain is not None:
            options.setdefault("subdomain", self.subdomain)
        if self.url_defaults:  # the blueprint's and its registration's, under the rule's
            options["defaults"] = dict(self.url_defaults, **(options.get("defaults") or {}))
        if endpoint is None:
            endpoint = view_func.__name__  # type: ignore[union-attr]
        self.app.add_url_rule(rule, f"{self.full_name}.{endpoint}", view_func, **options)

    def add_websocket_rule(self, rule: str, endpoint: str | None, handler: Any,
                           **options: Any) -> None:
        rule = join_rule(self.url_prefix, rule)
        if self.subdomain is not None:
            options.setdefault("subdomain", self.subdomain)
        endpoint = endpoint or handler.__name__
        self.app.add_websocket_rule(rule, f"{self.full_name}.{endpoint}", handler, **options)


class Blueprint(Scaffold):
    def __init__(self, name: str, import_name: str, static_folder: str | None = None,
                 static_url_path: str | None = None, template_folder: str | None = None,
                 url_prefix: str | None = None, subdomain: str | None = None,
                 url_defaults: dict | None = None, root_path: str | None = None,
                 cli_group: Any = _NAMED_GROUP):
        super().__init__(import_name, static_folder, static_url_path, root_path)
        if not name:
            raise ValueError("'name' may not be empty.")
        if "." in name:
            raise ValueError("'name' may not contain a dot '.' character.")
        self.name = name
        self.url_prefix = url_prefix
        self.subdomain = subdomain
        self.template_folder = template_folder
        self.url_values_defaults = url_defaults or {}
        self.deferred_functions: list[Callable[[BlueprintSetupState], None]] = []
        self._blueprints: list[tuple["Blueprint", dict]] = []
        self._got_registered_once = False
        self.cli_group = cli_group

    @property
    def cli(self) -> Any:
        """The blueprint's click group (made on first use). When the blueprint is
        registered, it joins the app's group under cli_group (default: the blueprint's
        name), or with cli_group=None its commands join the app's group directly."""
        group = self.__dict__.get("_cli")
        if group is None:
            from .cli import AppGroup
            group = self.__dict__["_cli"] = AppGroup(self.name)
        return group

    def record(self, func: Callable[[BlueprintSetupState], None]) -> None:
        self.deferred_functions.append(func)

    def record_once(self, func: Callable[[BlueprintSetupState], None]) -> None:
        def wrapper(state: BlueprintSetupState) -> None:
            if state.first_registration:
                func(state)
        self.record(wrapper)

    def add_url_rule(self, rule: str, endpoint: str | None = None, view_func: F | None = None,
                     provide_automatic_options: bool | None = None, **options: Any) -> None:
        if endpoint and "." in endpoint:
            raise ValueError("'endpoint' may not contain a dot '.' character.")
        if view_func is not None and "." in getattr(view_func, "__name__", ""):
            raise ValueError("'view_func' name may not contain a dot '.' character.")
        self.record(lambda s: s.add_url_rule(
            rule, endpoint, view_func, provide_automatic_options=provide_automatic_options,
            **options))

    def add_websocket_rule(self, rule: str, endpoint: str | None = None, handler: Any = None,
                           **options: Any) -> None:
        if endpoint and "." in endpoint:
            raise ValueError("'endpoint' may not contain a dot '.' character.")
        self.record(lambda s: s.add_websocket_rule(rule, endpoint, handler, **options))

    def register_blueprint(self, blueprint: "Blueprint", **options: Any) -> None:
        if blueprint is self:
            raise ValueError("Cannot register a blueprint on itself")
        self._blueprints.append((blueprint, options))

    # Hooks on the whole app, registered through the blueprint.
    def before_app_request(self, f: F) -> F:
        self.record_once(lambda s: s.app.before_request(f))
        return f

    def after_app_request(self, f: F) -> F:
        self.record_once(lambda s: s.app.after_request(f))
        return f

    def teardown_app_request(self, f: F) -> F:
        self.record_once(lambda s: s.app.teardown_request(f))
        return f

    def app_url_value_preprocessor(self, f: F) -> F:
        self.record_once(lambda s: s.app.url_value_preprocessor(f))
        return f

    def app_url_defaults(self, f: F) -> F:
        self.record_once(lambda s: s.app.url_defaults(f))
        return f

    def app_errorhandler(self, code: int | type[BaseException]) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.record_once(lambda s: s.app.register_error_handler(code, f))
            return f
        return decorator

    # Template helpers for the whole app, registered through the blueprint.
    def app_context_processor(self, f: F) -> F:
        self.record_once(lambda s: s.app.template_context_processors.setdefault(
            None, []).append(f))
        return f

    def app_template_filter(self, name: str | None = None) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.record_once(lambda s: s.app.add_template_filter(f, name))
            return f
        return decorator

    def app_template_global(self, name: str | None = None) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.record_once(lambda s: s.app.add_template_global(f, name))
            return f
        return decorator

    def app_template_test(self, name: str | None = None) -> Callable[[F], F]:
        def decorator(f: F) -> F:
            self.record_once(lambda s: s.app.add_template_test(f, name))
            return f
        return decorator

    def add_app_template_filter(self, f: F, name: str | None = None) -> None:
        self.record_once(lambda s: s.app.add_template_filter(f, name))

    def add_app_template_test(self, f: F, name: str | None = None) -> None:
        self.record_once(lambda s: s.app.add_template_test(f, name))

    def add_app_template_global(self, f: F, name: str | None = None) -> None:
        self.record_once(lambda s: s.app.add_template_global(f, name))

    def register(self, app: Any, options: dict) -> None:
        """Replays the recorded registrations onto app (App.register_blueprint calls this)."""
        name_prefix = options.get("name_prefix", "")
        self_name = options.get("name", self.name)
        name = f"{name_prefix}.{self_name}".lstrip(".")
        # record_once functions run on each app's first registration of this blueprint.
        first_on_app = not any(bp is self for bp in app.blueprints.values())
        if name in app.blueprints:
            which = "this" if app.blueprints[name] is self else "a different"
            raise ValueError(f"The name {self_name!r} is already registered for {which} "
                             "blueprint. Use 'name=' to give it a unique name.")
        first_name_registration = True
        app.blueprints[name] = self
        state = BlueprintSetupState(self, app, options, first_on_app)
        self._got_registered_once = True

        folder = static_folder_of(self)
        if self.static_folder is not None and first_name_registration:
            url = self.static_url_path or ""
            app._add_static(join_rule(state.url_prefix, url), folder, f"{name}.static")

        if first_name_registration:
            for kind in ("before_request_funcs", "after_request_funcs",
                         "teardown_request_funcs", "url_value_preprocessors",
                         "url_default_functions"):
                mine = getattr(self, kind)
                theirs = getattr(app, kind)
                for key, funcs in mine.items():
                    target = name if key is None else f"{name}.{key}"
                    theirs.setdefault(target, []).extend(funcs)
            for key, funcs in self.template_context_processors.items():
                target = name if key is None else f"{name}.{key}"
                app.template_context_processors.setdefault(target, []).extend(funcs)
            for key, codes in self.error_handler_spec.items():
                target = name if key is None else f"{name}.{key}"
                dest = app.error_handler_spec.setdefault(target, {})
                for code, handlers in codes.items():
                    dest.setdefault(code, {}).update(handlers)

        for deferred in self.deferred_functions:
            deferred(state)

        group = self.__dict__.get("_cli")
        if group is not None and group.commands:
            cli_group = options.get("cli_group", self.cli_group)
            if cli_group is None:
                app.cli.commands.update(group.commands)
            else:
                app.cli.add_command(group, name if cli_group is _NAMED_GROUP else cli_group)

        for child, child_options in self._blueprints:
            child_options = dict(child_options)
            child_prefix = child_options.get("url_prefix")
            if child_prefix is None:  # given as None or not at all: the child's own
                child_prefix = child.url_prefix
            if state.url_prefix is not None and child_prefix is not None:
                child_options["url_prefix"] = (state.url_prefix.rstrip("/") + "/"
                                               + child_prefix.lstrip("/"))
            else:
                child_options["url_prefix"] = (child_prefix if child_prefix is not None
                                               else state.url_prefix)
            child_options["name_prefix"] = name
            child_sub = child_options.get("subdomain", child.subdomain)
            if state.subdomain is not None:
                child_options["subdomain"] = (f"{child_sub}.{state.subdomain}" if child_sub
                                              else state.subdomain)
            child.register(app, child_options)
        app._changed()

    def register_error_handler(self, code_or_exception: Any, f: F) -> None:
        _exception_key(code_or_exception)  # refuse bad keys now, not at registration
        super().register_error_handler(code_or_exception, f)


def static_folder_of(scaffold: Scaffold) -> str | None:
    folder = scaffold.static_folder
    return folder if folder is not None and os.path.isdir(folder) else None
