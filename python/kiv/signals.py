"""Flask's signals, for code that listens to them (`template_rendered.connect(f, app)`).

Until a receiver connects to one of the signals sent around every request, an app's
request path neither sends nor checks them: connect receivers before the app serves,
as with hooks (the test client looks again before each request).
"""

from __future__ import annotations

from typing import Any

from blinker import Namespace

from .asyncsupport import ensure_sync

_signals = Namespace()

template_rendered = _signals.signal("template-rendered")
before_render_template = _signals.signal("before-render-template")
request_started = _signals.signal("request-started")
request_finished = _signals.signal("request-finished")
request_tearing_down = _signals.signal("request-tearing-down")
got_request_exception = _signals.signal("got-request-exception")
appcontext_tearing_down = _signals.signal("appcontext-tearing-down")
appcontext_pushed = _signals.signal("appcontext-pushed")
appcontext_popped = _signals.signal("appcontext-popped")
message_flashed = _signals.signal("message-flashed")

# Sent around every request: an app sends them only while one has a receiver (it
# looks when its plan is made, which the test client does before each request).
REQUEST_SIGNALS = (request_started, request_finished, request_tearing_down,
                   got_request_exception, appcontext_tearing_down, appcontext_pushed,
                   appcontext_popped)


def request_signals_live(app: Any) -> bool:
    return any(s.has_receivers_for(app) for s in REQUEST_SIGNALS)


def send(signal: Any, sender: Any, **kwargs: Any) -> None:
    if signal.receivers:
        signal.send(sender, _async_wrapper=ensure_sync, **kwargs)


async def send_async(signal: Any, sender: Any, **kwargs: Any) -> None:
    """send() on the event loop's thread: async receivers are awaited there."""
    if signal.receivers:
        for receiver in signal.receivers_for(sender):
            rv = receiver(sender, **kwargs)
            if hasattr(rv, "__await__"):
                await rv


__all__ = ["appcontext_popped", "appcontext_pushed", "appcontext_tearing_down",
           "before_render_template", "got_request_exception", "message_flashed",
           "request_finished", "request_started", "request_tearing_down",
           "template_rendered"]
