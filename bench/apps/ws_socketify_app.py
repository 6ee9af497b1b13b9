"""The WebSocket benchmark app on socketify's native API.

    python ws_socketify_app.py PORT
"""

import sys

from socketify import App, CompressOptions, OpCode

app = App()


def echo(ws, message, opcode):
    ws.send(message, opcode)


def subscribe(ws):
    ws.subscribe("bench")


def publish(ws, message, opcode):
    app.publish("bench", message, opcode)


def nothing(ws, message, opcode):
    pass


COMMON = {"compression": CompressOptions.DISABLED, "max_payload_length": 16 * 1024 * 1024,
          "idle_timeout": 600}
app.ws("/echo", {**COMMON, "message": echo})
app.ws("/sub/*", {**COMMON, "open": subscribe, "message": nothing})
app.ws("/pub/*", {**COMMON, "message": publish})
app.get("/", lambda res, req: res.end("ok"))

if __name__ == "__main__":
    app.listen(int(sys.argv[1]), lambda config: None)
    app.run()
