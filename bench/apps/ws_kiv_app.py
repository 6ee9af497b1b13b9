"""The WebSocket benchmark app on kiv.

    python ws_kiv_app.py PORT sync|async|callback

/echo echoes in the given handler style; /sub/TOPIC subscribes the connection and
/pub/TOPIC publishes what it gets (both callback style: no thread between messages).
"""

import os
import sys

# The echo handlers are the example's (also what the conformance suite runs against).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "examples"))
from ws_echo import app, install  # noqa: E402


@app.route("/")
def index():
    return "ok"


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
    install(style)
    app.websocket("/sub/<topic>")(Subscriber)
    app.websocket("/pub/<topic>")(Publisher)
    app.run("127.0.0.1", port, quiet=True)
