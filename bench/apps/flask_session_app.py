"""The session scenario on Flask (served by granian --interface wsgi and by gunicorn);
the same app as kiv_session_app.py."""

import datetime

from flask import Flask, g, session

app = Flask("bench_session")
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
