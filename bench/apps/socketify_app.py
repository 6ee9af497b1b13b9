"""The benchmark app on socketify's native API.

    python socketify_app.py PORT [STATIC_DIR]
"""

import json
import sys

from socketify import App


def plaintext(res, req):
    res.write_header("Content-Type", "text/plain; charset=utf-8").end("Hello, World!")


def json_view(res, req):
    body = json.dumps({"message": "Hello, World!"})
    res.write_header("Content-Type", "application/json").end(body)


def item(res, req):
    try:
        item_id = int(req.get_parameter(0))
    except (TypeError, ValueError):
        res.write_status(404).end("Not Found")
        return
    res.write_header("Content-Type", "application/json").end(json.dumps({"id": item_id}))


# Responses waiting for the rest of their body. socketify's own awaitable
# (res.get_data) crashed the process under concurrent uploads here, so the
# body is collected with on_data and the response kept referenced meanwhile.
_receiving: set = set()


def echo(res, req):
    size = 0

    def on_data(res, chunk, is_end):
        nonlocal size
        if chunk:
            size += len(chunk)
        if is_end:
            _receiving.discard(res)
            res.write_header("Content-Type", "text/plain; charset=utf-8").end(str(size))

    _receiving.add(res)
    res.on_aborted(_receiving.discard)
    res.on_data(on_data)


def main() -> None:
    port = int(sys.argv[1])
    app = App()
    app.get("/", plaintext)
    app.get("/json", json_view)
    app.get("/items/:id", item)
    app.post("/echo", echo)
    if len(sys.argv) > 2:
        app.static("/static", sys.argv[2])

    def listening(config):
        print(f"socketify listening on 127.0.0.1:{port}", flush=True)

    app.listen({"port": port, "host": "127.0.0.1"}, listening)
    app.run()


if __name__ == "__main__":
    main()
