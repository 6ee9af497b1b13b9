"""The smallest kiv app.

    python examples/hello.py [--host 127.0.0.1] [--port 8000] [--workers N]
    python -m kiv run examples.hello:app --workers 2
"""

import argparse

from kiv import App

app = App("hello")


@app.route("/")
def index():
    return "Hello from kiv!\n"


@app.route("/hello/<name>")
def hello(name):
    return {"hello": name}


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--workers", type=int, default=1)
    opts = parser.parse_args()
    app.run(opts.host, opts.port, workers=opts.workers)
