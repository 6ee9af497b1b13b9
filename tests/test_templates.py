"""Templates: folders, autoescape, the names every template sees, processors, filters, caching."""

import pytest

from kiv import (App, Blueprint, flash, g, get_template_attribute, render_template,
                 render_template_string, session, stream_template_string)


@pytest.fixture
def app(tmp_path):
    (tmp_path / "templates").mkdir()
    (tmp_path / "templates" / "page.html").write_text("<p>{{ text }}</p>")
    (tmp_path / "templates" / "page.txt").write_text("{{ text }}")
    (tmp_path / "templates" / "shared.html").write_text("app wins")
    (tmp_path / "templates" / "macros.html").write_text(
        "{% macro hello(name) %}<b>{{ name }}</b>{% endmacro %}")
    (tmp_path / "bp").mkdir()
    (tmp_path / "bp" / "tpl").mkdir()
    (tmp_path / "bp" / "tpl" / "shared.html").write_text("blueprint loses")
    (tmp_path / "bp" / "tpl" / "bp_only.html").write_text("{{ who }} from {{ where }}")
    app = App("tpl", root_path=str(tmp_path))
    app.secret_key = "k"
    bp = Blueprint("bp", "tpl", root_path=str(tmp_path / "bp"), template_folder="tpl")

    @bp.context_processor
    def bp_only():
        return {"where": "bp"}

    @bp.route("/bp")
    def bp_view():
        return render_template("bp_only.html", who="view")

    @app.route("/outside")
    def outside():
        return render_template_string("{{ where|default('none') }}")

    app.register_blueprint(bp)
    return app


@pytest.mark.parametrize("name, text, expected", [
    ("page.html", "<b>", "<p>&lt;b&gt;</p>"),
    ("page.txt", "<b>", "<b>"),
    ("shared.html", "", "app wins"),
])
def test_render_from_folders_with_autoescape_by_extension(app, name, text, expected):
    with app.test_request_context():
        assert render_template(name, text=text) == expected
        assert get_template_attribute("macros.html", "hello")("<i>") == "<b>&lt;i&gt;</b>"
        assert "".join(stream_template_string("{{ a }}-{{ b }}", a=1, b=2)) == "1-2"


def test_blueprint_folder_and_its_context_processor_only_in_its_views(app):
    c = app.test_client()
    assert c.get("/bp").text == "view from bp"
    assert c.get("/outside").text == "none"


def test_every_template_sees_request_session_g_config_url_for_and_flashes(app):
    @app.route("/all")
    def everything():
        session["user"] = "ann"
        g.x = 7
        flash("hi")
        return render_template_string(
            "{{ request.path }}|{{ session.user }}|{{ g.x }}|{{ config.SECRET_KEY }}|"
            "{{ url_for('outside') }}|{{ get_flashed_messages()|join(',') }}|{{ '<' }}")

    assert app.test_client().get("/all").text == "/all|ann|7|k|/outside|hi|&lt;"


def test_processors_filters_globals_tests(app):
    @app.context_processor
    def extra():
        return {"who": "processor", "shadowed": "processor"}

    app.add_template_filter(lambda s: s[::-1], "rev")

    @app.template_global()
    def twice(x):
        return x * 2

    @app.template_test("odd")
    def is_odd(n):
        return n % 2 == 1

    with app.test_request_context():
        out = render_template_string(
            "{{ who|rev }} {{ twice(3) }} {{ 3 is odd }} {{ shadowed }}", shadowed="caller")
    assert out == "rossecorp 6 True caller"


@pytest.mark.parametrize("auto_reload, expected", [(None, "<p>x</p>"), (True, "changed x")])
def test_templates_compiled_once_unless_auto_reload(app, tmp_path, auto_reload, expected):
    import os
    app.config["TEMPLATES_AUTO_RELOAD"] = auto_reload
    path = tmp_path / "templates" / "page.html"
    with app.test_request_context():
        render_template("page.html", text="x")
        path.write_text("changed {{ text }}")
        st = os.stat(path)
        os.utime(path, (st.st_atime + 5, st.st_mtime + 5))
        assert render_template("page.html", text="x") == expected
