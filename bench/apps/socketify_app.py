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


async def echo(res, req):
    data = await res.get_data()
    res.write_header("Content-Type", "text/plain; charset=utf-8").end(str(len(data.getvalue())))


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
