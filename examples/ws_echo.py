"""A WebSocket echo server: text comes back as text, binary as binary.

    python examples/ws_echo.py [--host 127.0.0.1] [--port 8000] [--style sync|async|callback]

Each style answers on /echo and on /, so a client that only knows the server's
address (a conformance suite, a load generator) finds it.
"""

import argparse

from kiv import App

app = App("ws_echo")


def sync_echo(ws):
    # A ConnectionClosed from receive() ends the handler, and with it the connection.
    while True:
        ws.send(ws.receive())


async def async_echo(ws):
    while True:
        ws.send(await ws.receive())


class CallbackEcho:
    # One instance per connection; nothing to set up or tear down for an echo.
    def on_open(self, ws):
        pass

    def on_message(self, ws, message):
        ws.send(message)

    def on_close(self, ws, code, reason):
        pass


STYLES = {"sync": sync_echo, "async": async_echo, "callback": CallbackEcho}


def install(style):
    handler = STYLES[style]
    app.websocket("/")(handler)
    app.websocket("/echo")(handler)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--style", choices=sorted(STYLES), default="sync")
    opts = parser.parse_args()
    install(opts.style)
    app.run(opts.host, opts.port)
