"""The notes application: create_app(data_folder) builds it."""

from __future__ import annotations

import functools
import hashlib
import hmac
import os
import secrets
import sqlite3
import uuid

from kiv import (
    App,
    abort,
    flash,
    g,
    redirect,
    render_template,
    request,
    secure_filename,
    send_from_directory,
    session,
    url_for,
)

SCHEMA = """
CREATE TABLE IF NOT EXISTS users (
    id INTEGER PRIMARY KEY,
    username TEXT UNIQUE NOT NULL,
    password TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS notes (
    id INTEGER PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    title TEXT NOT NULL,
    body TEXT NOT NULL,
    filename TEXT,
    stored_name TEXT,
    created TEXT NOT NULL DEFAULT (datetime('now'))
);
"""

# scrypt with the cost OWASP suggests for interactive logins (about 16 MiB of memory).
SCRYPT = {"n": 2 ** 14, "r": 8, "p": 1}


def hash_password(password: str) -> str:
    salt = secrets.token_bytes(16)
    digest = hashlib.scrypt(password.encode(), salt=salt, **SCRYPT)
    return f"scrypt${salt.hex()}${digest.hex()}"


def check_password(stored: str, password: str) -> bool:
    try:
        scheme, salt, digest = stored.split("$")
    except ValueError:
        return False
    if scheme != "scrypt":
        return False
    mine = hashlib.scrypt(password.encode(), salt=bytes.fromhex(salt), **SCRYPT)
    return hmac.compare_digest(mine.hex(), digest)


def _secret_key(folder: str) -> str:
    path = os.path.join(folder, "secret_key")
    if not os.path.exists(path):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(secrets.token_hex(32))
    with open(path) as f:
        return f.read().strip()


def create_app(data_folder: str | None = None) -> App:
    data_folder = os.path.abspath(data_folder or os.environ.get("NOTES_DATA", "notes-data"))
    uploads = os.path.join(data_folder, "uploads")
    os.makedirs(uploads, exist_ok=True)
    database = os.path.join(data_folder, "notes.sqlite3")
    with sqlite3.connect(database) as conn:
        conn.executescript(SCHEMA)

    app = App(__name__)
    app.config.update(SECRET_KEY=_secret_key(data_folder), MAX_CONTENT_LENGTH=16 * 1024 * 1024,
                      SESSION_COOKIE_SAMESITE="Lax", NOTES_UPLOADS=uploads)

    def db() -> sqlite3.Connection:
        if "db" not in g:
            g.db = sqlite3.connect(database)
            g.db.row_factory = sqlite3.Row
        return g.db

    @app.teardown_request
    def close_db(error):
        conn = g.pop("db", None)
        if conn is not None:
            conn.close()

    @app.before_request
    def load_user():
        user_id = session.get("user_id")
        g.user = None
        if user_id is not None:
            g.user = db().execute("SELECT id, username FROM users WHERE id = ?",
                                  (user_id,)).fetchone()

    def login_required(view):
        @functools.wraps(view)
        def wrapped(**kwargs):
            if g.user is None:
                if request.path.startswith("/api/"):
                    return {"error": "sign in first"}, 401
                flash("Please sign in first.", "error")
                return redirect(url_for("login"))
            return view(**kwargs)
        return wrapped

    # --- accounts -------------------------------------------------------------------

    @app.route("/")
    def index():
        return redirect(url_for("notes" if g.user else "login"))

    @app.route("/signup", methods=["GET", "POST"])
    def signup():
        if request.method == "POST":
            username = request.form.get("username", "").strip()
            password = request.form.get("password", "")
            if not username or len(password) < 8:
                flash("Choose a user name and a password of at least 8 characters.", "error")
            else:
                try:
                    with db() as conn:
                        conn.execute("INSERT INTO users (username, password) VALUES (?, ?)",
                                     (username, hash_password(password)))
                except sqlite3.IntegrityError:
                    flash("That user name is taken.", "error")
                else:
                    flash("Account created; please sign in.")
                    return redirect(url_for("login"))
        return render_template("signup.html")

    @app.route("/login", methods=["GET", "POST"])
    def login():
        if request.method == "POST":
            user = db().execute("SELECT id, password FROM users WHERE username = ?",
                                (request.form.get("username", "").strip(),)).fetchone()
            if user is None or not check_password(user["password"],
                                                  request.form.get("password", "")):
                flash("Wrong user name or password.", "error")
            else:
                session.clear()
                session["user_id"] = user["id"]
                flash("Signed in.")
                return redirect(url_for("notes"))
        return render_template("login.html")

    @app.route("/logout", methods=["POST"])
    def logout():
        session.clear()
        flash("Signed out.")
        return redirect(url_for("login"))

    # --- notes ------------------------------------------------------------------------

    def user_notes():
        return db().execute("SELECT id, title, body, filename, created FROM notes "
                            "WHERE user_id = ? ORDER BY id DESC", (g.user["id"],)).fetchall()

    def add_note(title: str, body: str, upload=None) -> int:
        filename = stored = None
        if upload:
            filename = secure_filename(upload.filename) or "file"
            stored = uuid.uuid4().hex
            upload.save(os.path.join(uploads, stored))
        with db() as conn:
            cur = conn.execute(
                "INSERT INTO notes (user_id, title, body, filename, stored_name) "
                "VALUES (?, ?, ?, ?, ?)", (g.user["id"], title, body, filename, stored))
        return cur.lastrowid

    @app.route("/notes", methods=["GET", "POST"])
    @login_required
    def notes():
        if request.method == "POST":
            title = request.form.get("title", "").strip()
            if not title:
                flash("A note needs a title.", "error")
            else:
                add_note(title, request.form.get("body", ""), request.files.get("file"))
                flash("Note saved.")
                return redirect(url_for("notes"))
        return render_template("notes.html", notes=user_notes())

    @app.route("/notes/<int:note_id>/file")
    @login_required
    def note_file(note_id):
        note = db().execute("SELECT filename, stored_name FROM notes WHERE id = ? AND "
                            "user_id = ?", (note_id, g.user["id"])).fetchone()
        if note is None or note["stored_name"] is None:
            abort(404)
        return send_from_directory(uploads, note["stored_name"], as_attachment=True,
                                   download_name=note["filename"])

    # --- JSON API ---------------------------------------------------------------------

    def as_json(row) -> dict:
        return {"id": row["id"], "title": row["title"], "body": row["body"],
                "created": row["created"], "file": url_for("note_file", note_id=row["id"])
                if row["filename"] else None, "filename": row["filename"]}

    @app.get("/api/notes")
    @login_required
    def api_notes():
        return {"notes": [as_json(r) for r in user_notes()]}

    @app.post("/api/notes")
    @login_required
    def api_add_note():
        data = request.get_json(silent=True) or {}
        title = str(data.get("title", "")).strip()
        if not title:
            return {"error": "title is required"}, 400
        note_id = add_note(title, str(data.get("body", "")))
        row = db().execute("SELECT id, title, body, filename, created FROM notes WHERE id = ?",
                           (note_id,)).fetchone()
        return as_json(row), 201

    @app.errorhandler(404)
    def not_found(e):
        if request.path.startswith("/api/"):
            return {"error": "not found"}, 404
        return render_template("404.html"), 404

    return app
