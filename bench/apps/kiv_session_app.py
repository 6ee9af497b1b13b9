"""The session scenario on kiv, written as a Flask app would be: a before_request hook
loads the user from the signed session cookie, the view answers JSON.

flask_session_app.py is the same app for Flask; both read the cookie that
session_cookie.py prints (the secret and lifetime are shared).
"""

import datetime

from kiv import App, g, session

app = App("bench_session")
app.config.from_mapping(SECRET_KEY="bench-secret",
                        PERMANENT_SESSION_LIFETIME=datetime.timedelta(days=3650))


@app.before_request
def load_user():
    g.user = session.get("user")


@app.route("/")
def index():
    return "Hello, World!"


@app.route("/session")
def profile():
    return {"user": g.user, "visits": session.get("visits", 0)}
