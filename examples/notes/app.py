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
    HTTPException,
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
    # Bodies past NOTES_MAX_BODY get the app's own 413 page (below); the server's limit,
    # twice that, answers larger ones itself, before any Python runs, with a plain page.
    app.config.update(SECRET_KEY=_secret_key(data_folder), NOTES_MAX_BODY=16 * 1024 * 1024,
                      MAX_CONTENT_LENGTH=32 * 1024 * 1024, SESSION_COOKIE_SAMESITE="Lax",
                      NOTES_UPLOADS=uploads)

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

    @app.before_request
    def limit_body():  # after load_user: the error page shows who is signed in
        limit = app.config["NOTES_MAX_BODY"]
        if (request.content_length or 0) > limit:
            abort(413, f"A note and its file may be {limit // (1024 * 1024)} MiB at most.")

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
                return render_template("signup.html", username=username), 400
            else:
                try:
                    with db() as conn:
                        conn.execute("INSERT INTO users (username, password) VALUES (?, ?)",
                                     (username, hash_password(password)))
                except sqlite3.IntegrityError:
                    flash("That user name is taken.", "error")
                    return render_template("signup.html", username=username), 400
                else:
                    flash("Account created; please sign in.")
                    return redirect(url_for("login"))
        return render_template("signup.html")

    @app.route("/login", methods=["GET", "POST"])
    def login():
        if request.method == "POST":
            username = request.form.get("username", "").strip()
            user = db().execute("SELECT id, password FROM users WHERE username = ?",
                                (username,)).fetchone()
            if user is None or not check_password(user["password"],
                                                  request.form.get("password", "")):
                flash("Wrong user name or password.", "error")
                # The name stays in the form; only the password is typed again.
                return render_template("login.html", username=username), 401
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

    def own_note(note_id: int) -> sqlite3.Row:
        """The signed-in user's note, else 404 (another user's note does not exist for them)."""
        note = db().execute("SELECT id, title, body, filename, stored_name, created FROM notes "
                            "WHERE id = ? AND user_id = ?", (note_id, g.user["id"])).fetchone()
        if note is None:
            abort(404)
        return note

    def store_upload(upload) -> tuple[str | None, str | None]:
        if not upload:
            return None, None
        stored = uuid.uuid4().hex
        upload.save(os.path.join(uploads, stored))
        return secure_filename(upload.filename) or "file", stored

    def remove_stored(stored: str | None) -> None:
        if stored:
            try:
                os.remove(os.path.join(uploads, stored))
            except FileNotFoundError:
                pass

    def add_note(title: str, body: str, upload=None) -> int:
        filename, stored = store_upload(upload)
        with db() as conn:
            cur = conn.execute(
                "INSERT INTO notes (user_id, title, body, filename, stored_name) "
                "VALUES (?, ?, ?, ?, ?)", (g.user["id"], title, body, filename, stored))
        return cur.lastrowid

    def update_note(note: sqlite3.Row, title: str, body: str, upload=None,
                    drop_file: bool = False) -> None:
        filename, stored = note["filename"], note["stored_name"]
        if upload or drop_file:
            remove_stored(stored)
            filename, stored = store_upload(upload)
        with db() as conn:
            conn.execute("UPDATE notes SET title = ?, body = ?, filename = ?, stored_name = ? "
                         "WHERE id = ?", (title, body, filename, stored, note["id"]))

    def delete_note(note: sqlite3.Row) -> None:
        with db() as conn:
            conn.execute("DELETE FROM notes WHERE id = ?", (note["id"],))
        remove_stored(note["stored_name"])

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

    @app.route("/notes/<int:note_id>/edit", methods=["GET", "POST"])
    @login_required
    def edit_note(note_id):
        note = own_note(note_id)
        if request.method == "POST":
            title = request.form.get("title", "").strip()
            if not title:
                flash("A note needs a title.", "error")
            else:
                update_note(note, title, request.form.get("body", ""),
                            request.files.get("file"), "remove_file" in request.form)
                flash("Note updated.")
                return redirect(url_for("notes"))
        return render_template("edit.html", note=note)

    @app.post("/notes/<int:note_id>/delete")
    @login_required
    def remove_note(note_id):
        delete_note(own_note(note_id))
        flash("Note deleted.")
        return redirect(url_for("notes"))

    @app.route("/notes/<int:note_id>/file")
    @login_required
    def note_file(note_id):
        note = own_note(note_id)
        if note["stored_name"] is None:
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

    def json_fields() -> tuple[str, str]:
        data = request.get_json()  # a body that is not JSON: 400, answered as JSON below
        if not isinstance(data, dict):
            abort(400, "the body must be a JSON object")
        title, body = data.get("title", ""), data.get("body", "")
        if not isinstance(title, str) or not title.strip() or not isinstance(body, str):
            abort(400, "title (a non-empty string) is required; body must be a string")
        return title.strip(), body

    def note_json(note_id: int) -> dict:
        return as_json(db().execute("SELECT id, title, body, filename, created FROM notes "
                                    "WHERE id = ?", (note_id,)).fetchone())

    @app.post("/api/notes")
    @login_required
    def api_add_note():
        return note_json(add_note(*json_fields())), 201

    @app.get("/api/notes/<int:note_id>")
    @login_required
    def api_note(note_id):
        return as_json(own_note(note_id))

    @app.put("/api/notes/<int:note_id>")
    @login_required
    def api_update_note(note_id):
        note = own_note(note_id)
        update_note(note, *json_fields())
        return note_json(note_id)

    @app.delete("/api/notes/<int:note_id>")
    @login_required
    def api_delete_note(note_id):
        delete_note(own_note(note_id))
        return "", 204

    # --- errors: JSON under /api/, the app's own pages elsewhere --------------------------

    @app.errorhandler(HTTPException)
    def http_error(e):
        if request.path.startswith("/api/"):
            # The exception's own headers (Allow on a 405) with a JSON body.
            headers = [h for h in e.get_headers() if h[0].lower() != "content-type"]
            return {"error": e.description or e.name}, e.code, headers
        if e.code == 404:
            return render_template("404.html"), 404
        headers = [h for h in e.get_headers() if h[0].lower() != "content-type"]
        return render_template("error.html", error=e), e.code, headers

    @app.errorhandler(500)
    def server_error(e):
        if request.path.startswith("/api/"):
            return {"error": "internal server error"}, 500
        return render_template("error.html", error=e), 500

    return app
