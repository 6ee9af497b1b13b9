"""Real Flask and Django applications through kiv.wsgi, and the engine's refusals before them."""

import functools
import re

import django
import pytest

from kiv import App
from kiv.wsgi import host_app
from test_wire import FOLLOWER, REFUSED
from test_wsgi import ask, served


def call(connect, method, target, headers=(), body=b""):
    head = "".join(f"{k}: {v}\r\n" for k, v in [("Content-Length", len(body)), *headers])
    return ask(connect, f"{method} {target} HTTP/1.1\r\n{head}\r\n".encode() + body)


def cookies(resp):
    return "; ".join(v.split(";", 1)[0] for k, v in resp.headers if k.lower() == "set-cookie")


def make_flask():
    from flask import Flask, Response, request, session, stream_with_context, url_for

    app = Flask("wsgi_flask")
    app.secret_key = "not so secret"

    @app.route("/count")
    def count():
        session["n"] = session.get("n", 0) + 1
        return f"{session['n']} {url_for('count')}"

    @app.post("/upload")
    def upload():
        return {"data": request.files["doc"].read().decode(), "note": request.form["note"]}

    @app.route("/stream")
    def stream():
        parts = (f"{request.args['p']}{i}," for i in range(3))  # request read as it streams
        return Response(stream_with_context(parts), mimetype="text/plain")
    return app


@pytest.mark.parametrize("prefix", ["", "/f"])
def test_flask_session_upload_stream(prefix):
    host = App("beside", static_folder=None)
    host.mount_wsgi(prefix, make_flask())
    with served(host) as connect:
        first = call(connect, "GET", prefix + "/count")
        again = call(connect, "GET", prefix + "/count", [("Cookie", cookies(first))])
        assert [first.body, again.body] == [f"{n} {prefix}/count".encode() for n in (1, 2)]
        form = (b"--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi\r\n"
                b"--XyZ\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a.txt\"\r\n"
                b"Content-Type: text/plain\r\n\r\nline 1\nline 2\r\n--XyZ--\r\n")
        up = call(connect, "POST", prefix + "/upload",
                  [("Content-Type", "multipart/form-data; boundary=XyZ")], form)
        assert up.json() == {"data": "line 1\nline 2", "note": "hi"}
        assert call(connect, "GET", prefix + "/stream?p=x").body == b"x0,x1,x2,"


@pytest.fixture(scope="module")
def django_app(tmp_path_factory):
    from django.conf import settings

    static = tmp_path_factory.mktemp("static")
    (static / "site.css").write_bytes(b"body { color: teal }\n" * 500)
    if not settings.configured:
        settings.configure(
            SECRET_KEY="t" * 50, ALLOWED_HOSTS=["*"], ROOT_URLCONF=__name__, USE_TZ=True,
            INSTALLED_APPS=[f"django.contrib.{name}" for name in
                            ("admin", "auth", "contenttypes", "sessions", "messages")],
            MIDDLEWARE=["django.contrib.sessions.middleware.SessionMiddleware",
                        "django.middleware.csrf.CsrfViewMiddleware",
                        "django.contrib.auth.middleware.AuthenticationMiddleware"],
            SESSION_ENGINE="django.contrib.sessions.backends.signed_cookies",
            TEMPLATES=[{"BACKEND": "django.template.backends.django.DjangoTemplates",
                        "APP_DIRS": True}], STATIC_URL="/static/", STATIC_ROOT=str(static))
        django.setup()
    from django.core.wsgi import get_wsgi_application
    return get_wsgi_application()


@functools.cache
def __getattr__(name):
    # This module is the URLconf; Django reads urlpatterns after the settings exist.
    if name != "urlpatterns":
        raise AttributeError(name)
    from django import conf, http, shortcuts, urls
    from django.contrib import admin
    from django.middleware.csrf import get_token
    from django.views.static import serve

    def form(request):
        if request.method == "POST":
            return http.HttpResponse(f"thanks {request.POST['name']}")
        return http.HttpResponse(f'<form method=post><input name=csrfmiddlewaretoken '
                                 f'value="{get_token(request)}"><input name=name></form>')
    return [urls.path("form/", form), urls.path("go", lambda r: shortcuts.redirect("/form/")),
            urls.path("static/<path:path>", serve, {"document_root": conf.settings.STATIC_ROOT}),
            urls.path("admin/", admin.site.urls)]


def test_django_form_redirect_static_admin(django_app):
    urlenc = ("Content-Type", "application/x-www-form-urlencoded")
    with served(host_app(django_app)) as connect:
        page = call(connect, "GET", "/form/")
        token = re.search(rb'value="([^"]+)"', page.body).group(1).decode()
        form, jar = f"csrfmiddlewaretoken={token}&name=Ada".encode(), ("Cookie", cookies(page))
        assert call(connect, "POST", "/form/", [jar, urlenc], form).body == b"thanks Ada"
        assert call(connect, "POST", "/form/", [urlenc], form).status == 403  # no cookie
        go, css, login, admin = (call(connect, "GET", t) for t in (
            "/go", "/static/site.css", "/admin/login/", "/admin/"))
        assert (go.status, go.header("Location")) == (302, "/form/")
        assert (css.status, css.body) == (200, b"body { color: teal }\n" * 500)
        assert login.status == 200 and b'id="login-form"' in login.body
        assert (admin.status, admin.header("Location")) == (302, "/admin/login/?next=/admin/")


@pytest.mark.parametrize("which", ["flask", "django"])
def test_refused_requests_never_reach_the_application(which, request):
    inner, calls = make_flask() if which == "flask" else request.getfixturevalue("django_app"), []
    app = lambda environ, start: calls.append(1) or inner(environ, start)  # noqa: E731
    with served(host_app(app, max_body=1000)) as connect:
        for name, raw, status in REFUSED:
            (c := connect()).send(raw + FOLLOWER)
            assert (name, c.response().status, c.rest_until_close()) == (name, status, b"")
        assert calls == []
        assert call(connect, "GET", "/x").status == 404  # the application's own answer
    assert calls == [1]
