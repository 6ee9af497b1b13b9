"""The app the serving tests run in real server processes."""

import os
import time

from kiv import App, request

app = App("serving")


@app.route("/slow/<float:secs>")
def slow(secs):
    # Tells the test that the view is running, so it can signal the server then.
    marker = os.path.join(os.environ["KIV_TEST_DIR"], f"started-{os.getpid()}")
    with open(marker, "w"):
        pass
    time.sleep(secs)
    return "done"


@app.route("/whoami")
def whoami():
    return {"pid": os.getpid(), "remote_addr": request.remote_addr,
            "forwarded_for": request.headers.get("X-Forwarded-For"),
            "server": os.environ.get("KIV_TEST_NAME")}


@app.route("/echo", methods=["GET", "POST"])
def echo():
    return {"path": request.path, "query": request.query_string.decode(), "length": len(request.body or b""),
            "server": os.environ.get("KIV_TEST_NAME")}


@app.websocket("/ws/echo")
def ws_echo(ws):
    while True:
        message = ws.receive()
        if message == "close-me":
            ws.close(4001, "asked to")
            return
        ws.send(message)


@app.websocket("/ws/room/<name>")
def ws_room(ws, name):
    ws.subscribe(name)
    ws.send("joined")  # subscribed from here on: the client may publish
    while True:
        app.publish(name, f"{os.environ.get('KIV_TEST_NAME')}: {ws.receive()}")
