"""The WebSocket benchmark app on kiv.

    python ws_kiv_app.py PORT sync|async|callback

/echo echoes in the given handler style; /sub/TOPIC subscribes the connection and
/pub/TOPIC publishes what it gets (both callback style: no thread between messages).
"""

import sys

from kiv import App

app = App("ws_bench")


@app.route("/")
def index():
    return "ok"


def sync_echo(ws):
    while True:
        ws.send(ws.receive())


async def async_echo(ws):
    while True:
        ws.send(await ws.receive())


class CallbackEcho:
    def on_open(self, ws):
        pass

    def on_message(self, ws, message):
        ws.send(message)

    def on_close(self, ws, code, reason):
        pass


class Subscriber:
    def on_open(self, ws):
        ws.subscribe("bench")

    def on_message(self, ws, message):
        pass

    def on_close(self, ws, code, reason):
        pass


class Publisher:
    def on_open(self, ws):
        pass

    def on_message(self, ws, message):
        app.publish("bench", message)

    def on_close(self, ws, code, reason):
        pass


if __name__ == "__main__":
    port, style = int(sys.argv[1]), sys.argv[2]
    app.websocket("/echo")({"sync": sync_echo, "async": async_echo, "callback": CallbackEcho}[style])
    app.websocket("/sub/<topic>")(Subscriber)
    app.websocket("/pub/<topic>")(Publisher)
    app.run("127.0.0.1", port, quiet=True)
