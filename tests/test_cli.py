import json
import subprocess
import sys
import textwrap

import click
import pytest

from kiv import App, Blueprint, current_app, g
from kiv.loading import load_app

# The tutorial's shape: a plain click command added with app.cli.add_command, a database
# kept on g and closed by a teardown_appcontext function, the path taken from the config.
TUTORIAL_APP = textwrap.dedent('''
    import os, sqlite3
    import click
    from kiv import App, current_app, g

    app = App(__name__)
    app.config.from_mapping(DATABASE=os.path.join(os.path.dirname(__file__), "app.sqlite"))
    def get_db():
        if "db" not in g:
            g.db = sqlite3.connect(current_app.config["DATABASE"])
        return g.db
    @app.teardown_appcontext
    def close_db(exc):
        db = g.pop("db", None)
        if db is not None:
            db.close()
    @click.command("init-db")
    @click.option("--title", default="first")
    def init_db_command(title):
        db = get_db()
        db.executescript("DROP TABLE IF EXISTS post; CREATE TABLE post (title TEXT);")
        db.execute("INSERT INTO post VALUES (?)", (title,))
        db.commit()
        click.echo("Initialized the database.")
    app.cli.add_command(init_db_command)
    @app.route("/posts")
    def posts():
        return [row[0] for row in get_db().execute("SELECT title FROM post")]
''')


def run_cmd(*args, cwd, stdin=None):
    return subprocess.run([sys.executable, "-m", "kiv", "cmd", *args], cwd=cwd, input=stdin,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("through", ["test_cli_runner", "subprocess"])
def test_tutorial_init_db_then_view_reads_table(tmp_path, through):
    (tmp_path / "tutorial.py").write_text(TUTORIAL_APP)
    ref = f"{tmp_path / 'tutorial.py'}:app"
    args = ["init-db", "--title", "hello kiv"]
    if through == "subprocess":
        done = run_cmd(ref, *args, cwd=tmp_path)
        assert (done.returncode, done.stdout) == (0, "Initialized the database.\n")
    else:
        result = load_app(ref).test_cli_runner().invoke(args=args)
        assert (result.exit_code, result.output) == (0, "Initialized the database.\n")
    response = load_app(ref).test_client().get("/posts")
    assert response.get_json() == ["hello kiv"]


def make_app(seen, register):
    """An app with one command named 'probe' reached as the returned args, registered the
    way `register` names; the command records what it sees, teardown what it gets."""
    app = App("probe_app")
    app.teardown_appcontext(lambda exc: seen.append(("teardown", repr(exc))))

    def probe(fail):
        g.mark = "set"
        seen.append(("run", current_app._get_current_object() is app, g.mark))
        if fail:
            raise LookupError("boom")

    option = click.option("--fail", is_flag=True)
    if register == "app.cli.command":
        app.cli.command("probe")(option(probe))
        return app, ["probe"]
    if register == "add_command":
        app.cli.add_command(click.command("probe")(option(probe)))
        return app, ["probe"]
    bp = Blueprint("tools", __name__, **({} if register == "bp named" else {"cli_group": None}))
    bp.cli.command("probe")(option(probe))
    app.register_blueprint(bp)
    return app, ["tools", "probe"] if register == "bp named" else ["probe"]


@pytest.mark.parametrize("register", ["app.cli.command", "add_command", "bp named",
                                      "bp cli_group=None"])
@pytest.mark.parametrize("fail", [False, True])
def test_command_runs_in_app_context_with_teardown(register, fail):
    seen = []
    app, args = make_app(seen, register)
    result = app.test_cli_runner().invoke(args=args + (["--fail"] if fail else []))
    error = "LookupError('boom')" if fail else "None"
    assert seen == [("run", True, "set"), ("teardown", error)]
    assert result.exit_code == (1 if fail else 0)


def routes_app():
    app = App("routes_app", static_folder=None)
    app.add_url_rule("/", "index", lambda: "")
    app.add_url_rule("/users/<int:id>", "user", lambda id: "", methods=["GET", "POST"])
    bp = Blueprint("admin", __name__, url_prefix="/admin")
    bp.add_url_rule("/", "home", lambda: "", methods=["DELETE"])
    app.register_blueprint(bp)
    return app


def test_routes_table():
    result = routes_app().test_cli_runner().invoke(args=["routes", "--sort", "endpoint"])
    assert (result.exit_code, result.output.splitlines()[2:]) == (0, [
        "admin.home  DELETE     /admin/", "index       GET        /",
        "user        GET, POST  /users/<int:id>"])


def test_shell_has_app_g_and_processor_names(tmp_path):
    (tmp_path / "shellapp.py").write_text(textwrap.dedent('''
        from kiv import App
        app = App("shell_probe")
        app.shell_context_processor(lambda: {"answer": 6 * 7})
        '''))
    done = run_cmd("shellapp:app", "shell", cwd=tmp_path,
                   stdin="g.seen = answer\nprint(app.name, g.seen)\n")
    assert done.returncode == 0, done.stderr
    assert "shell_probe 42" in done.stdout


@pytest.mark.parametrize("ref,names", [
    ("missing.py:app", "No such file"), ("good:other", "has no attribute 'other'"),
    ("raises:app", "RuntimeError: half-written"), ("good:VALUE", "of type int, not a kiv App"),
])
def test_bad_app_reference_is_one_line_and_status_2(tmp_path, ref, names):
    (tmp_path / "good.py").write_text("VALUE = 1\n")
    (tmp_path / "raises.py").write_text("raise RuntimeError('half-written')\n")
    done = run_cmd(ref, "routes", cwd=tmp_path)
    assert (done.returncode, done.stdout, len(done.stderr.splitlines())) == (2, "", 1)
    assert names in done.stderr


def test_help_lists_commands_and_app_import_leaves_click_out(tmp_path):
    (tmp_path / "tutorial.py").write_text(TUTORIAL_APP)
    done = run_cmd("tutorial:app", "--help", cwd=tmp_path)
    assert done.returncode == 0
    assert [line.split()[0] for line in done.stdout.split("Commands:\n")[1].splitlines()] == [
        "init-db", "routes", "shell"]
    probe = ("import sys, kiv; kiv.App('x'); kiv.Blueprint('b', 'x'); "
             "print(sorted(m for m in sys.modules if m.split('.')[0] == 'click'))")
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                         timeout=60)
    assert out.stdout == "[]\n"


@pytest.mark.parametrize("file,attr,name", [
    ("factory.py", "", "plain"),  # no app attribute: create_app() is called
    ("factory.py", ":create_app('x')", "x"),
    ("json.py", ":create_app", "plain"),  # named like a standard module
])
def test_app_factories_and_files_load_like_imports(tmp_path, monkeypatch, file, attr, name):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / file).write_text("from kiv import App\ndef create_app(name='plain'):\n"
                                          "    app = App(__name__)\n    app.given = name\n"
                                          "    return app\n")
    monkeypatch.chdir(tmp_path)  # not the app's folder
    monkeypatch.setattr(sys, "path", list(sys.path))
    app = load_app(f"site/{file}{attr}")
    assert app.given == name
    assert app.root_path == str(tmp_path / "site")  # templates and static beside the file
    assert json.dumps([1]) == "[1]"  # the standard module is left alone


@pytest.mark.parametrize("args,names,lines", [
    (["nosuchmod:app"], "no module named 'nosuchmod'", 1),
    (["good:nope"], "has no attribute 'nope'", 1),
    (["num:app"], "of type int, not a kiv App", 1),
    (["missing.py:app"], "No such file", 1),
    (["good:app", "--port", "99999"], "not a port number", 1),
    (["good:app", "--port", "{busy}"], "Address already in use", 1),
    (["good:app", "--port", "{busy}", "--workers", "2"], "Address already in use", 1),
    (["good:app", "--host", "nosuchhost.invalid"], "cannot resolve the host", 1),
    (["bad:app"], 'bad.py", line 2, in <module>', 5),  # the app's own frames only
])
def test_start_up_mistakes_are_short_and_status_2(tmp_path, args, names, lines):
    import socket
    (tmp_path / "good.py").write_text("from kiv import App\napp = App(__name__)\n")
    (tmp_path / "num.py").write_text("app = 42\n")
    (tmp_path / "bad.py").write_text("x = 1\nraise RuntimeError('half-written')\n")
    with socket.create_server(("127.0.0.1", 0)) as busy:
        args = [a.format(busy=busy.getsockname()[1]) for a in args]
        done = subprocess.run([sys.executable, "-m", "kiv", "run", *args], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, len(done.stderr.splitlines())) == (2, "", lines)
    assert names in done.stderr, done.stderr


@pytest.mark.parametrize("args,shown,hidden", [
    (["--help"], "run", "worker"), (["--version"], "kiv ", "usage"),
    (["run", "--help"], "(default: 8000)", "==SUPPRESS=="),
])
def test_help_and_version(args, shown, hidden):
    out = subprocess.run([sys.executable, "-m", "kiv", *args], capture_output=True,
                         text=True, timeout=60).stdout
    assert shown in out and hidden not in out
