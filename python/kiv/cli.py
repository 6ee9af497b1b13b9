"""Commands an app carries: `app.cli` and `bp.cli`, click groups whose commands run inside
the app context, the built-in `routes` and `shell`, and the runner that
`app.test_cli_runner()` returns (`python -m kiv cmd` runs them).

Imported only when an app or a blueprint first touches `.cli`, so an app without
commands never loads click.
"""

from __future__ import annotations

import os
import sys
from functools import update_wrapper
from typing import Any, Callable

import click
from click.testing import CliRunner, Result

from .globals import current_app, has_app_context


class ScriptInfo:
    """The click context's `obj` while an app's commands run: the app they belong to,
    given directly or made on first use by create_app."""

    def __init__(self, app: Any = None, create_app: Callable[[], Any] | None = None):
        self._app = app
        self.create_app = create_app
        self.data: dict[str, Any] = {}  # free for commands to share values

    def load_app(self) -> Any:
        if self._app is None:
            if self.create_app is None:
                raise click.UsageError(
                    "No app to run this command in: run it through app.cli, "
                    "app.test_cli_runner() or 'python -m kiv cmd module:app'.")
            self._app = self.create_app()
        return self._app


def with_appcontext(f: Callable[..., Any]) -> Callable[..., Any]:
    """Runs the command callback inside its app's context unless one is already active.
    Teardown functions run when the callback returns or raises."""

    @click.pass_context
    def decorator(ctx: click.Context, /, *args: Any, **kwargs: Any) -> Any:
        if has_app_context():
            return ctx.invoke(f, *args, **kwargs)
        app = ctx.ensure_object(ScriptInfo).load_app()
        with app.app_context():
            return ctx.invoke(f, *args, **kwargs)

    return update_wrapper(decorator, f)


class AppGroup(click.Group):
    """A click group whose `command()` callbacks run in the app context (pass
    `with_appcontext=False` for one that must not) and whose `group()` makes AppGroups."""

    def command(self, *args: Any, **kwargs: Any) -> Any:
        wrap = kwargs.pop("with_appcontext", True)
        func = None
        if args and callable(args[0]):  # bare @group.command
            func, args = args[0], args[1:]

        def decorator(f: Callable[..., Any]) -> click.Command:
            if wrap:
                f = with_appcontext(f)
            return click.Group.command(self, *args, **kwargs)(f)

        return decorator(func) if func is not None else decorator

    def group(self, *args: Any, **kwargs: Any) -> Any:
        kwargs.setdefault("cls", AppGroup)
        return click.Group.group(self, *args, **kwargs)


class AppCommands(AppGroup):
    """`app.cli`: the app's own group. Any command reached through it, including plain
    click commands given to `add_command()` and blueprint groups, runs in the app context;
    `routes` and `shell` are there unless the app defines commands of those names."""

    def __init__(self, app: Any):
        super().__init__(app.name, help=f"Commands of the app {app.name!r}.")
        self.app = app

    def make_context(self, info_name: str | None, args: list[str],
                     parent: click.Context | None = None, **extra: Any) -> click.Context:
        if parent is None and "obj" not in extra:
            extra["obj"] = ScriptInfo(self.app)
        return super().make_context(info_name, args, parent, **extra)

    def invoke(self, ctx: click.Context) -> Any:
        if has_app_context():
            return super().invoke(ctx)
        info = ctx.find_object(ScriptInfo)
        app_ctx = (info.load_app() if info is not None else self.app).app_context()
        app_ctx.push()
        error: BaseException | None = None
        try:
            return super().invoke(ctx)
        except Exception as exc:
            # click ends a command early with Exit (a status, not a failure)
            if not isinstance(exc, click.exceptions.Exit):
                error = exc
            raise
        finally:
            app_ctx.pop(error)

    def get_command(self, ctx: click.Context, name: str) -> click.Command | None:
        return (super().get_command(ctx, name) or BUILTIN_COMMANDS.get(name)
                or plugin_commands().get(name))

    def list_commands(self, ctx: click.Context) -> list[str]:
        return sorted(set(super().list_commands(ctx)) | BUILTIN_COMMANDS.keys()
                      | plugin_commands().keys())


def plugin_commands() -> dict[str, click.Command]:
    """Commands that installed packages offer to Flask apps (the "flask.commands"
    entry points, e.g. Flask-Migrate's `db`): loaded only once install_as_flask()
    made `flask` mean kiv, since they import flask."""
    from .compat import installed
    if not installed():
        return {}
    found = _PLUGINS.get("flask")
    if found is None:
        from importlib.metadata import entry_points
        found = _PLUGINS["flask"] = {}
        for ep in entry_points(group="flask.commands"):
            try:
                found[ep.name] = ep.load()
            except Exception as exc:  # a broken plugin must not take the others down
                print(f"kiv: the command {ep.name!r} of {ep.value} did not load: {exc}",
                      file=sys.stderr)
    return found


_PLUGINS: dict[str, dict[str, click.Command]] = {}


class AppCliRunner(CliRunner):
    """A click test runner whose `invoke()` runs the app's group unless given another
    command, with the app as the context's ScriptInfo."""

    def __init__(self, app: Any, **kwargs: Any):
        self.app = app
        super().__init__(**kwargs)

    def invoke(self, cli: click.Command | None = None,  # type: ignore[override]
               args: Any = None, **kwargs: Any) -> Result:
        if cli is None:
            cli = self.app.cli
        kwargs.setdefault("obj", ScriptInfo(self.app))
        return super().invoke(cli, args, **kwargs)


# --- built-in commands ---------------------------------------------------------------

_ROUTE_COLUMNS = ("endpoint", "methods", "rule")


@click.command("routes", short_help="Show the app's routes.")
@click.option("--sort", "-s", type=click.Choice(_ROUTE_COLUMNS), default="rule",
              show_default=True, help="Column to sort the routes by.")
@click.option("--all-methods", is_flag=True, help="Show HEAD and OPTIONS too.")
@with_appcontext
def routes_command(sort: str, all_methods: bool) -> None:
    """Show every route: its endpoint, its methods and its rule."""
    hidden = frozenset() if all_methods else frozenset(("HEAD", "OPTIONS"))
    rows = [(endpoint, ", ".join(sorted(rule.methods - hidden)), rule.rule)
            for endpoint, rules in current_app.url_map.by_endpoint.items()
            for rule in rules]
    if not rows:
        click.echo("No routes were registered.")
        return
    column = _ROUTE_COLUMNS.index(sort)
    rows.sort(key=lambda row: (row[column], row))
    header = ("Endpoint", "Methods", "Rule")
    widths = [max(len(text) for text in column_texts)
              for column_texts in zip(header, *rows)]
    for row in (header, tuple("-" * w for w in widths), *rows):
        click.echo("  ".join(text.ljust(w) for text, w in zip(row, widths)).rstrip())


@click.command("shell", short_help="Run a Python shell in the app context.")
@with_appcontext
def shell_command() -> None:
    """Run an interactive Python shell in the app context, with `app`, `g` and what the
    app's shell context processors return in its namespace."""
    import code

    app = current_app._get_current_object()
    namespace: dict[str, Any] = {}
    startup = os.environ.get("PYTHONSTARTUP")
    if startup and os.path.isfile(startup):
        with open(startup) as f:
            exec(compile(f.read(), startup, "exec"), namespace)
    namespace.update(app.make_shell_context())
    if sys.stdin.isatty():
        _readline_completion(namespace)
    banner = (f"Python {sys.version} on {sys.platform}\n"
              f"App: {app.name} (root path {app.root_path})")
    code.interact(banner=banner, local=namespace, exitmsg="")


def _readline_completion(namespace: dict[str, Any]) -> None:
    """Tab completes names of the shell's namespace; history as the plain REPL keeps it."""
    hook = getattr(sys, "__interactivehook__", None)
    if hook is not None:
        hook()
    try:
        import readline
        import rlcompleter
    except ImportError:
        return
    readline.set_completer(rlcompleter.Completer(namespace).complete)
    readline.parse_and_bind("tab: complete")


BUILTIN_COMMANDS: dict[str, click.Command] = {"routes": routes_command,
                                              "shell": shell_command}
