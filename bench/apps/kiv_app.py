"""The benchmark app on kiv: one view per scenario, plus a static mount.

BENCH_STATIC_DIR names the folder served under /static (the harness writes it).
"""

import os
import sys

from kiv import App, request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

app = App("bench")


@app.route("/")
def plaintext():
    return "Hello, World!"


@app.route("/json")
def json_view():
    return {"message": "Hello, World!"}


@app.route("/items/<int:id>")
def item(id):
    return {"id": id}


@app.route("/echo", methods=["POST"])
def echo():
    return str(len(request.data))


if os.environ.get("BENCH_STATIC_DIR"):
    app.static("/static", os.environ["BENCH_STATIC_DIR"])


# Scenarios that look like applications (view code shared with the WSGI app).
import app_views  # noqa: E402


@app.route("/wait/<int:ms>")
def wait(ms):
    return app_views.wait(ms)


@app.route("/compute")
def compute():
    return app_views.compute()


if app_views.DB_POOL is not None:

    @app.route("/db")
    def db():
        return app_views.single_row()

    @app.route("/queries")
    def queries():
        return app_views.rows(request.args.get("queries"))

    @app.route("/updates")
    def updates():
        return app_views.updated_rows(request.args.get("queries"))
