"""The benchmark app on kiv: one view per scenario, plus a static mount.

BENCH_STATIC_DIR names the folder served under /static (the harness writes it).
"""

import os

from kiv import App, request

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
