"""The smallest kiv app: python examples/hello.py [--port N]."""

import argparse
import sys
import os

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from kiv import App, jsonify  # noqa: E402

app = App("hello")


@app.route("/")
def index():
    return "Hello from kiv!\n"


@app.route("/hello/<name>")
def hello(name):
    return {"hello": name}


@app.route("/items/<int:item_id>", methods=["GET", "DELETE"])
def item(item_id):
    return jsonify(id=item_id)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    opts = parser.parse_args()
    if hasattr(app, "run"):
        app.run(opts.host, opts.port)
    else:
        # Until the socket server lands, show the app answering in-process.
        client = app.test_client()
        for path in ("/", "/hello/world", "/items/7"):
            r = client.get(path)
            print(path, r.status_code, r.text.strip())
