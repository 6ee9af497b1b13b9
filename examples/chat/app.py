import json
import re

from kiv import App, abort, render_template

# A room name is part of the page's address and the topic's name: keep it plain.
ROOM = re.compile(r"[A-Za-z0-9_-]{1,40}")
MAX_NAME = 40
MAX_TEXT = 2000


def parse_message(raw):
    """The {"name", "text"} a browser sent, trimmed, or None when it is not one."""
    if not isinstance(raw, str):
        return None
    try:
        data = json.loads(raw)
    except ValueError:
        return None
    if not isinstance(data, dict):
        return None
    name, text = data.get("name"), data.get("text")
    if not isinstance(name, str) or not isinstance(text, str):
        return None
    name, text = name.strip()[:MAX_NAME], text.strip()[:MAX_TEXT]
    if not name or not text:
        return None
    return {"name": name, "text": text}


def create_app():
    app = App(__name__)

    @app.route("/")
    def index():
        return render_template("chat.html", room="lobby")

    @app.route("/room/<room>")
    def room_page(room):
        if not ROOM.fullmatch(room):
            abort(404)
        return render_template("chat.html", room=room)

    @app.websocket("/ws/<room>")
    async def room_socket(ws, room):
        if not ROOM.fullmatch(room):
            ws.close(1008, "no such room")
            return
        ws.subscribe(room)
        while True:
            message = parse_message(await ws.receive())
            # Whatever the server sends out is built here, never passed through as sent.
            if message is not None:
                app.publish(room, json.dumps(message))

    return app
