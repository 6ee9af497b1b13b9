"""Session limits per WebSocket route, over the app's WEBSOCKET_* config values."""
import pytest

from kiv import App
from kiv.websocket import ConnectionClosed


@pytest.fixture(scope="module")
def client():
    app = App("wslimits")
    app.config.update(WEBSOCKET_MAX_MESSAGE_SIZE=1000)

    def echo(ws):
        for m in ws:
            ws.send(m)

    app.websocket("/default")(echo)
    app.websocket("/small", endpoint="small", max_message_size=100)(echo)
    app.websocket("/quiet", endpoint="quiet", idle_timeout=0.2, ping_interval=None)(echo)
    return app.test_client()


@pytest.mark.parametrize("path, size, closed", [
    ("/small", 100, False), ("/small", 101, True), ("/default", 1000, False),
    ("/default", 1001, True)])
def test_message_size(client, path, size, closed):
    with client.websocket(path) as ws:
        ws.send("x" * size)
        if closed:
            with pytest.raises(ConnectionClosed) as e:
                ws.receive()
            assert e.value.code == 1009
        else:
            assert ws.receive() == "x" * size


def test_idle_timeout_without_pings(client):
    with client.websocket("/quiet") as quiet, client.websocket("/default") as other:
        with pytest.raises(ConnectionClosed) as e:
            quiet.receive()  # a silent client, never pinged
        assert e.value.code == 1001
        other.send("still open")
        assert other.receive() == "still open"

