"""Real WSGI applications for the WSGI scenarios: Flask answers /flask/..., Django /django/.

One composite callable, so every server (kiv --interface wsgi, granian, gunicorn, uvicorn
through a2wsgi) runs exactly the same code. Django is configured here, without a project.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import django  # noqa: E402
from django.conf import settings  # noqa: E402
from flask import Flask, jsonify  # noqa: E402

settings.configure(
    DEBUG=False, SECRET_KEY="bench" * 10, ALLOWED_HOSTS=["*"], ROOT_URLCONF=__name__,
    INSTALLED_APPS=["django.contrib.contenttypes", "django.contrib.auth"],
    MIDDLEWARE=["django.middleware.security.SecurityMiddleware",
                "django.middleware.common.CommonMiddleware",
                "django.middleware.csrf.CsrfViewMiddleware"],
    DATABASES={}, USE_TZ=True)
django.setup()

from django.core.wsgi import get_wsgi_application  # noqa: E402
from django.http import JsonResponse  # noqa: E402
from django.urls import path  # noqa: E402


def django_view(request):
    return JsonResponse({"message": "Hello, World!", "path": request.path})


urlpatterns = [path("django/", django_view)]
django_app = get_wsgi_application()

flask_app = Flask(__name__)


@flask_app.route("/")  # the harness's readiness check
@flask_app.route("/flask/")
def hello():
    return "Hello, World!"


@flask_app.route("/flask/json")
def as_json():
    return jsonify(message="Hello, World!")


def app(environ, start_response):
    if environ["PATH_INFO"].startswith("/django/"):
        return django_app(environ, start_response)
    return flask_app(environ, start_response)
