"""The extension-stack scenario: one Flask application, unchanged, with Flask-Login and
Flask-SQLAlchemy on SQLite. /ext reads the signed-in user (Flask-Login's user loader,
a query) and one row (another query) and answers JSON.

Flask serves it under granian (WSGI) and gunicorn; kiv serves the same file natively
with `python -m kiv run --flask flask_ext_app:app`. wrk sends the cookie in
bench/wrk/ext.lua, signed in as user 1 ({"_user_id": "1"}, made like
session_cookie.py's). Session protection is off so that a request never rewrites it.
"""

import datetime
import os
import tempfile

from flask import Flask, jsonify
from flask_login import LoginManager, UserMixin, current_user, login_required
from flask_sqlalchemy import SQLAlchemy

DB = os.environ.get("BENCH_EXT_DB") or os.path.join(tempfile.gettempdir(),
                                                    f"kiv-bench-ext-{os.getuid()}.sqlite")

app = Flask("bench_ext")
app.config.from_mapping(SECRET_KEY="bench-secret", SESSION_PROTECTION=None,
                        PERMANENT_SESSION_LIFETIME=datetime.timedelta(days=3650),
                        SQLALCHEMY_DATABASE_URI=f"sqlite:///{DB}")
db = SQLAlchemy(app)
login = LoginManager(app)


class User(UserMixin, db.Model):
    id = db.Column(db.Integer, primary_key=True)
    name = db.Column(db.String(40), nullable=False)


class Item(db.Model):
    id = db.Column(db.Integer, primary_key=True)
    title = db.Column(db.String(80), nullable=False)
    price = db.Column(db.Integer, nullable=False)


@login.user_loader
def load_user(user_id):
    return db.session.get(User, int(user_id))


@app.route("/")
def index():
    return "Hello, World!"


@app.route("/ext")
@login_required
def ext():
    item = db.session.get(Item, 1)
    return jsonify(user=current_user.name, item={"id": item.id, "title": item.title,
                                                 "price": item.price})


with app.app_context():
    db.create_all()
    if db.session.get(User, 1) is None:
        db.session.add_all([User(id=1, name="bench"), Item(id=1, title="lamp", price=40)])
        db.session.commit()
