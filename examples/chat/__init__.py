"""Chat: rooms in the browser over WebSockets.

    python -m examples.chat [--host 127.0.0.1] [--port 8000]

The page opens a WebSocket to /ws/ROOM; the server subscribes it to the room's topic and
publishes every message it gets there, so everyone in the room (the sender too) sees it.
"""

from .app import create_app

__all__ = ["create_app"]
